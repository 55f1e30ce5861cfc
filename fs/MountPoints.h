#pragma once
// Finding the mount points below a folder, which an install must neither empty nor swap: the
// kernel's table /proc/self/mountinfo where it can be read, else (a chroot, early boot without
// /proc) a walk of the folder itself (fs/TreeRemover.h, removing nothing), which finds a
// folder of another device, or the root of a bind mount of the same one. Stateless.

#include <string>

namespace velk {

struct MountBelow {
    bool found = false;
    bool checked = true;  // false: neither the table nor the walk could tell (the walk printed why)
    int error = 0;        // when not checked and the table could not be opened: its errno
    std::string point;    // the mount point's path below `dir` ("/sub/mnt"), when found
};

// The first mount point strictly below `dir` (resolved), which is open as `dirFd`;
// `shown` names it in messages.
MountBelow findMountBelow(const std::string& dir, int dirFd, const std::string& shown);

}  // namespace velk
