#pragma once
// The run loop velk-unpack and velk-inspect share: SOURCE (a file, a stream on standard input,
// or a URL) is read in 102400-byte chunks (install/SourceFile.h) into a decoder,
// short reads of a pipe gathered into whole chunks; reading stops at the first failure, so a damaged file is
// never buffered whole; and the input as a whole is judged the same way by both programs.
// Observers hear of every chunk the decoder took, in order, once it went through every stage
// (a progress line); readers see every chunk read, the one the decoder refused included (a
// hash of every byte of the input). With a stage line (brn/untgza/StageLine.h), the one the
// decoder runs its pipelines on, observers are called on the line's last thread while blocks
// are in flight, and reading may run a few chunks ahead of the writing: a refusal found
// there ends the run as it would have ended at the chunk it belongs to.
// Calling order: construct, add observers, run once. Borrows the source, the decoder and the line.

#include <cstdint>
#include <functional>
#include <vector>

#include "VelkFile/UnPackFile.h"
#include "install/SourceFile.h"

namespace velk {

// How reading the source ended, first cause first.
enum class RunEnd : int {
    kWhole = 0,              // every package whole, and the input ends right behind one
    kReadFailed = 1,         // reading failed; the source's readFailure() says why
    kSourceChanged = 2,      // the file's size or times moved while it was read
    kDecodeFailed = 3,       // a package failed; the decoder says why (and printed it)
    kEndsInsidePackage = 4,  // the input ended inside a package
    kNoPackage = 5,          // the input held no package
};

class CPackageRun {
public:
    // Bytes taken so far, the chunk just taken included.
    using ProgressObserver = std::function<void(uint64_t done)>;
    // Every chunk as it is read.
    using ChunkReader = std::function<void(const char* data, int length)>;

    CPackageRun(CSourceFile& source, CUnPackFile& decoder, brn::CStageLine* line = nullptr)
        : source(source), decoder(decoder), line(line) {}
    CPackageRun(const CPackageRun&) = delete;
    CPackageRun& operator=(const CPackageRun&) = delete;

    void addObserver(ProgressObserver observer) { observers.push_back(std::move(observer)); }
    void addReader(ChunkReader reader) { readers.push_back(std::move(reader)); }
    [[nodiscard]] RunEnd run();
    // Whether the readers' view can be completed to the whole input after a run that ended
    // so: a file's rest can be read, a stream's only when reading reached its end already
    // (the rest of a stream the decoder refused may never end).
    bool restReadable(RunEnd end) const;

private:
    void seeTaken(uint64_t done);

    CSourceFile& source;
    CUnPackFile& decoder;
    brn::CStageLine* line;
    std::vector<ProgressObserver> observers;
    std::vector<ChunkReader> readers;
    uint64_t chunksTaken = 0;  // chunks the observers heard of: all went through every stage
    bool inputEnded = false;  // reading saw the end of the input
};

}  // namespace velk
