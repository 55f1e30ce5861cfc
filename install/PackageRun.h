#pragma once
// The run loop velk-unpack and velk-inspect share: SOURCE (a file, a stream on standard input,
// or a URL) is read in 102400-byte chunks (install/SourceFile.h) into a decoder,
// short reads of a pipe gathered into whole chunks; reading stops at the first failure, so a damaged file is
// never buffered whole; and the input as a whole is judged the same way by both programs.
// Observers see every chunk the decoder took, in order (a progress line); readers see every
// chunk read, the one the decoder refused included (a hash of every byte of the input).
// Calling order: construct, add observers, run once. Borrows the source and the decoder.

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
    // (data, length, bytes taken so far, this chunk included)
    using ChunkObserver = std::function<void(const char* data, int length, uint64_t done)>;

    CPackageRun(CSourceFile& source, CUnPackFile& decoder) : source(source), decoder(decoder) {}
    CPackageRun(const CPackageRun&) = delete;
    CPackageRun& operator=(const CPackageRun&) = delete;

    void addObserver(ChunkObserver observer) { observers.push_back({std::move(observer), false}); }
    void addReader(ChunkObserver reader) { observers.push_back({std::move(reader), true}); }
    [[nodiscard]] RunEnd run();
    // Whether the readers' view can be completed to the whole input after a run that ended
    // so: a file's rest can be read, a stream's only when reading reached its end already
    // (the rest of a stream the decoder refused may never end).
    bool restReadable(RunEnd end) const;

private:
    CSourceFile& source;
    CUnPackFile& decoder;
    struct Watcher {
        ChunkObserver see;
        bool refusedToo;  // a reader: sees the chunk the decoder refused as well
    };
    std::vector<Watcher> observers;
    bool inputEnded = false;  // reading saw the end of the input
};

}  // namespace velk
