#pragma once
// CSourceFile is the package file of one run, opened and checked once, before DEST is
// touched: every later read goes through that descriptor, so a SOURCE inside DEST is read
// whole even after DEST was emptied. markStart() notes its size and its modification and
// change times as reading begins; changedSinceStart() tells whether they moved by the end,
// for a file rewritten, or still being appended to, while it was read cannot be trusted to
// be one update. SOURCE "-" is standard input instead: a stream (a pipe, a socket, a file),
// read once to its end; its size is not known, and nothing about it can change. A parent may
// have made it non-blocking: reads wait for bytes (fs/FileUtil.h readWaiting), and its flags,
// shared with the parent, stay as they are.
// Calling order: open, markStart, read through fd(), changedSinceStart.

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string>

#include "fs/UniqueFd.h"

namespace velk {

class CSourceFile {
public:
    // kExitOk, or kExitNoSource / kExitOpenFailed / kExitNotRegular; problem() then says why
    // ("not found(2,No such file or directory)", "not a regular file", ...).
    int open(const std::string& path);
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
    int fail(int status, const char* what, int error);

    CUniqueFd file;
    bool stream = false;
    bool marked = false;
    struct stat atStart {};
    std::string why;
};

}  // namespace velk
