#include "install/PackageRun.h"

#include "fs/FileUtil.h"

namespace velk {

RunEnd CPackageRun::run() {
    bool decodeFailed = false;
    uint64_t done = 0;
    // After the first failure no more bytes are taken, so the reader stops early.
    auto onChunk = [this, &decodeFailed, &done](const char* data, int length) {
        if (decoder.buffToFile(data, length) < 0) {
            decodeFailed = true;
            return 0;
        }
        done += uint64_t(length);
        for (const ChunkObserver& observer : observers) observer(data, length, done);
        return length;
    };
    source.markStart();
    readCode = readFile64(source.fd(), kChunkSize, onChunk, -1);
    if (readCode < 0) return RunEnd::kReadFailed;
    if (source.changedSinceStart()) return RunEnd::kSourceChanged;
    if (decodeFailed) return RunEnd::kDecodeFailed;
    if (!decoder.atPackageBoundary()) return RunEnd::kEndsInsidePackage;
    if (decoder.completedPackages() == 0) return RunEnd::kNoPackage;
    return RunEnd::kWhole;
}

}  // namespace velk
