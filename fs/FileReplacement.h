#pragma once
// CFileReplacement replaces one file durably, the way git's lockfile and LevelDB's CURRENT do:
// the new content goes into a temporary file beside it, made fresh (O_CREAT | O_EXCL |
// O_NOFOLLOW, so nothing planted at that name is followed or reused), synced, renamed over the
// name, and the folder synced. Readers, a kill or a power cut find the old content or the whole
// new one, never a mix. The temporary takes the mode of the file it replaces (and its owner and
// group, where the process may give them), or `mode` (and the owner giveOwnership named, if
// any) for a new name.
// Calling order: begin, then write (or write through fd()) any number of times, seal, commit.
// Any step may be followed by abandon, which removes the temporary; the destructor abandons
// what was not committed. Every step returns 0 or the errno of the call that failed, which
// failedCall() names ("open", "write", "fsync", "rename", ...). The folder is borrowed and must
// stay open until commit or abandon.

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "fs/FileUtil.h"
#include "fs/UniqueFd.h"

namespace velk {

class CFileReplacement {
public:
    CFileReplacement() = default;
    ~CFileReplacement() { abandon(); }
    CFileReplacement(const CFileReplacement&) = delete;
    CFileReplacement& operator=(const CFileReplacement&) = delete;

    // Makes `temporary` in `folder`, to replace `leaf` there later.
    [[nodiscard]] int begin(int folder, const std::string& leaf, const std::string& temporary, mode_t mode);
    int fd() const { return file.get(); }
    // The owner and group the temporary gets when no file of that name exists yet.
    void giveOwnership(const Ownership& owner) { ownership = owner; }
    // Writes all of `data`, going on after a partial write.
    [[nodiscard]] int write(const char* data, size_t size);
    // Gives the temporary the mode of the file it replaces, syncs and closes it.
    [[nodiscard]] int seal();
    // Renames the sealed temporary over `leaf` and syncs the folder. After a failed sync the
    // new content is in place but not known to be durable.
    [[nodiscard]] int commit();
    // Removes the temporary, unless it was renamed already.
    void abandon();

    const char* failedCall() const { return failed; }
    const std::string& temporaryName() const { return temporary; }

private:
    int fail(const char* call, int error);

    int folder = -1;
    std::string leaf;
    std::string temporary;  // empty while no temporary exists
    CUniqueFd file;
    Ownership ownership;
    const char* failed = "";
};

}  // namespace velk
