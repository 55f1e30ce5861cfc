#pragma once
// CSourceFile is the package file of one run, opened and checked once, before DEST is
// touched: every later read goes through that descriptor, so a SOURCE inside DEST is read
// whole even after DEST was emptied. markStart() notes its size and its modification and
// change times as reading begins; changedSinceStart() tells whether they moved by the end,
// for a file rewritten, or still being appended to, while it was read cannot be trusted to
// be one update. Calling order: open, markStart, read through fd(), changedSinceStart.

#include <sys/stat.h>

#include <cstdint>
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
    uint64_t size() const { return uint64_t(atStart.st_size); }

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
    bool marked = false;
    struct stat atStart {};
    std::string why;
};

}  // namespace velk
