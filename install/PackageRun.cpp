#include "install/PackageRun.h"

#include "fs/FileUtil.h"

namespace velk {

RunEnd CPackageRun::run() {
    bool decodeFailed = false, shortChunk = false;
    uint64_t done = 0, chunksRead = 0;
    if (line != nullptr) line->observeMarks([this](uint64_t taken) { seeTaken(taken); });
    // After the first failure no more bytes are taken, so the reader stops early. A chunk
    // shorter than the others is the last: reading met the end while gathering it.
    auto onChunk = [this, &decodeFailed, &shortChunk, &done, &chunksRead](const char* data, int length) {
        decodeFailed = decoder.buffToFile(data, length) < 0;
        shortChunk = size_t(length) < kReadChunkSize;
        done += uint64_t(length);
        ++chunksRead;
        for (const ChunkReader& reader : readers) reader(data, length);
        if (decodeFailed) return 0;
        if (line != nullptr) {
            line->mark(done);
        } else {
            seeTaken(done);
        }
        return length;
    };
    source.markStart();
    const int read = source.readChunks(onChunk);
    // What the line still holds may be refused yet: one thread would have stopped there,
    // before reading on.
    if (!decodeFailed) decodeFailed = decoder.settle() < 0;
    if (read < 0 && !decodeFailed) return RunEnd::kReadFailed;
    // A download that met another version of the resource did not reach its end.
    if (source.changedSinceStart()) return RunEnd::kSourceChanged;
    // A failure belongs to the first chunk the observers did not hear of: it ended the input
    // if it is the last one read and short.
    inputEnded = !decodeFailed || (shortChunk && chunksTaken + 1 == chunksRead);
    if (source.changedSinceStart()) return RunEnd::kSourceChanged;
    inputEnded = !decodeFailed || shortChunk;
    if (decodeFailed) return RunEnd::kDecodeFailed;
    if (!decoder.atPackageBoundary()) return RunEnd::kEndsInsidePackage;
    if (decoder.packageIndex() == 0) return RunEnd::kNoPackage;  // no package was completed
    return RunEnd::kWhole;
}

void CPackageRun::seeTaken(uint64_t done) {
    ++chunksTaken;
    for (const ProgressObserver& observer : observers) observer(done);
}

bool CPackageRun::restReadable(RunEnd end) const {
    return end != RunEnd::kReadFailed && (!source.isStream() || inputEnded);
}

}  // namespace velk
