#pragma once
// CTreeRemover empties a directory given as an open descriptor: everything below it goes,
// depth first, the directory itself stays. Every step is relative to a descriptor (openat
// with O_NOFOLLOW | O_DIRECTORY, fdopendir, unlinkat), so no path is ever built for a system
// call: it works at any depth and path length, and a directory swapped for a link while it
// is being emptied is removed as the link it now is, never followed. It never enters
// another file system: a mount point below the root (another device, or a bind mount)
// stops it before anything in it is touched. At most kOpenLevels directory streams are
// open at once; a deeper level is reached again from the deepest open one, checking that
// every directory on the way is still the one it left. Prints "ready to del <path>" before
// each removal, as the file helpers do.
// In survey mode nothing is removed or changed: the walk only looks for a mount point below the
// root (for a system without /proc, where the kernel's table cannot be read).
// One regular file may be kept (keep): it stays, and so do the folders on its way.
// Calling order: construct, keep, run once.

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "fs/UniqueFd.h"

namespace velk {

class CTreeRemover {
public:
    enum class Mode : int { kRemove = 0, kSurvey = 1 };

    static constexpr int kOk = 0;
    static constexpr int kCannotOpen = -1;     // the root, or a directory reached again, cannot be read
    static constexpr int kCannotExamine = -2;  // an entry cannot be examined
    static constexpr int kSubdirFailed = -3;   // a subdirectory cannot be opened or read
    static constexpr int kRemoveFailed = -4;   // an entry cannot be removed
    static constexpr int kMountPoint = -5;     // a mount point lies below the root
    static constexpr int kChanged = -6;        // a directory on the way was replaced meanwhile

    // `rootFd` is borrowed; shownRoot names it in messages.
    CTreeRemover(int rootFd, std::string shownRoot, Mode mode = Mode::kRemove);
    CTreeRemover(const CTreeRemover&) = delete;
    CTreeRemover& operator=(const CTreeRemover&) = delete;

    // The file with this device and inode number stays where it is.
    void keep(dev_t device, ino_t inode);
    [[nodiscard]] int run();
    // After kMountPoint: the mount point, as shownRoot + "/" + its path below the root.
    const std::string& mountPoint() const { return foundMount; }
    // After a failure: the errno of the call that failed (EXDEV for a mount point, ESTALE for
    // a directory replaced meanwhile).
    int error() const { return failure; }

private:
    static constexpr size_t kOpenLevels = 8;

    // One directory on the way from the root to the one being emptied.
    struct Level {
        std::string name;  // in its parent; empty for the root
        dev_t device = 0;
        ino_t inode = 0;
        DirHandle stream{nullptr, &closedir};  // null while closed (deep levels)
        long position = 0;      // survey mode: where reading stopped when the stream was closed
        bool holdsKept = false; // the kept file lies below: the folder stays
    };

    int openRoot();
    int removeEntry(const char* name);
    int descend(const char* name, int parentFd);
    int finishLevel();
    int reopen(size_t level);
    int parentFd() const;
    std::string shownPath(const std::string& name) const;
    std::string shownUpTo(size_t level) const;
    int report(const char* call, const std::string& path, int result);
    int refuseMountPoint(const std::string& path);
    bool isKept(const struct stat& st);

    int rootFd;
    std::string shownRoot;
    Mode mode;
    bool keeping = false;
    dev_t keptDevice = 0;
    ino_t keptInode = 0;
    std::string foundMount;
    int failure = 0;
    std::vector<Level> levels;
};

}  // namespace velk
