#include "install/PackageRun.h"

#include "fs/FileUtil.h"

namespace velk {

RunEnd CPackageRun::run() {
    bool decodeFailed = false, shortChunk = false;
    uint64_t done = 0;
    // After the first failure no more bytes are taken, so the reader stops early. A chunk
    // shorter than the others is the last: reading met the end while gathering it.
    auto onChunk = [this, &decodeFailed, &shortChunk, &done](const char* data, int length) {
        decodeFailed = decoder.buffToFile(data, length) < 0;
        shortChunk = size_t(length) < kReadChunkSize;
        done += uint64_t(length);
        for (const Watcher& watcher : observers) {
            if (!decodeFailed || watcher.refusedToo) watcher.see(data, length, done);
        }
        return decodeFailed ? 0 : length;
    };
    source.markStart();
    if (source.readChunks(onChunk) < 0) return RunEnd::kReadFailed;
    // A download that met another version of the resource did not reach its end.
    if (source.changedSinceStart()) return RunEnd::kSourceChanged;
    inputEnded = !decodeFailed || shortChunk;
    if (decodeFailed) return RunEnd::kDecodeFailed;
    if (!decoder.atPackageBoundary()) return RunEnd::kEndsInsidePackage;
    if (decoder.packageIndex() == 0) return RunEnd::kNoPackage;  // no package was completed
    return RunEnd::kWhole;
}

bool CPackageRun::restReadable(RunEnd end) const {
    return end != RunEnd::kReadFailed && (!source.isStream() || inputEnded);
}

}  // namespace velk
