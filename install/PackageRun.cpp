#include "install/PackageRun.h"

#include <cerrno>

#include "fs/FileUtil.h"

namespace velk {

RunEnd CPackageRun::run() {
    bool decodeFailed = false;
    uint64_t done = 0;
    // After the first failure no more bytes are taken, so the reader stops early.
    auto onChunk = [this, &decodeFailed, &done](const char* data, int length) {
        decodeFailed = decoder.buffToFile(data, length) < 0;
        done += uint64_t(length);
        for (const Watcher& watcher : observers) {
            if (!decodeFailed || watcher.refusedToo) watcher.see(data, length, done);
        }
        return decodeFailed ? 0 : length;
    };
    source.markStart();
    if (readChunks(source.fd(), kChunkSize, onChunk) < 0) {
        readErrno = errno;
        return RunEnd::kReadFailed;
    }
    if (source.changedSinceStart()) return RunEnd::kSourceChanged;
    if (decodeFailed) return RunEnd::kDecodeFailed;
    if (!decoder.atPackageBoundary()) return RunEnd::kEndsInsidePackage;
    if (decoder.completedPackages() == 0) return RunEnd::kNoPackage;
    return RunEnd::kWhole;
}

}  // namespace velk
