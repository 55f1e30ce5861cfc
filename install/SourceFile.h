#pragma once
// CSourceFile is the package file of one run, opened and checked once, before DEST is
// touched: every later read goes through that descriptor, so a SOURCE inside DEST is read
// whole even after DEST was emptied. markStart() notes its size and its modification and
// change times as reading begins; changedSinceStart() tells whether they moved by the end,
// for a file rewritten, or still being appended to, while it was read cannot be trusted to
// be one update. SOURCE "-" is standard input instead: a stream (a pipe, a socket, a file),
// read once to its end; its size is not known, and nothing about it can change. A parent may
// have made it non-blocking: reads wait for bytes (fs/FileUtil.h readWaiting), and its flags,
// shared with the parent, stay as they are. A pipe is widened to 1 MiB (F_SETPIPE_SZ, or the
// system's pipe-max-size where that is less), so the writer runs ahead by whole chunks.
// Calling order: open, markStart, read through fd(), changedSinceStart.

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>

#include "fs/UniqueFd.h"

namespace velk {

// SOURCE "-" is standard input, and this is where it differs from a file, for both programs:
// it is read once, as it arrives, its size unknown (CSourceFile); it is no path, so nothing is
// resolved against the working folder for it; a terminal there brings no package and is
// refused; it has no name to find its signature by, so --pubkey needs --signature; and a run
// that ended early is not read on to its end for a signature (install/PackageRun.h
// restReadable), since the rest may never come. A file of that name is "./-".
constexpr const char* kStandardInput = "-";
bool isStandardInput(const std::string& source);
// SOURCE's path to resolve against the working folder; empty for standard input.
std::string pathToResolve(const std::string& source);
// True for standard input that is a terminal.
bool readsFromTerminal(const std::string& source);
// The signature file of SOURCE: `named`, or SOURCE + ".minisig"; empty for standard input
// when none is named.
std::string signaturePathFor(const std::string& source, const std::string& named);

// What opening SOURCE comes to.
enum class SourceOpen {
    kOpened,
    kMissing,     // no such file
    kUnopenable,  // it cannot be opened (a folder on its way the caller cannot search included)
    kNotRegular,  // it cannot be examined, or is a folder, a FIFO, a device
};

class CSourceFile {
public:
    // kOpened, or why not; problem() then says it in words ("not found(2,No such file or
    // directory)", "not a regular file", ...).
    SourceOpen open(const std::string& path);
    const std::string& problem() const { return why; }

    int fd() const { return file.get(); }
    bool isStream() const { return stream; }
    // The file's size in bytes; 0 for a stream.
    uint64_t size() const { return stream ? 0 : uint64_t(atStart.st_size); }
    // Hands every byte from `offset` to the end to `take`, for a hash of the whole input: a file
    // is read there with pread (its position does not move), a stream where reading stopped,
    // waiting for bytes as the chunk reader does. 0, or the errno of a failed read.
    int readRest(uint64_t offset, const std::function<void(const char* data, int length)>& take) const;

    // Notes the file's state the first time it is called; later calls change nothing.
    void markStart();
    // Emptying DEST unlinks a SOURCE that lies inside it, which moves its change time and link
    // count but not its content: call right after the emptying to take the new change time,
    // as long as the link count is all that moved besides it.
    void acceptOwnUnlink();
    bool changedSinceStart() const;

private:
    SourceOpen fail(SourceOpen outcome, const char* what, int error);

    CUniqueFd file;
    bool stream = false;
    bool marked = false;
    struct stat atStart {};
    std::string why;
};

}  // namespace velk
