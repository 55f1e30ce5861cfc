#include "brn/tar/DiskTree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "fs/FileModes.h"
#include "fs/UniqueFd.h"

namespace brn {

namespace {

NodeKind kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return NodeKind::kDirectory;
    if (S_ISLNK(mode)) return NodeKind::kSymlink;
    if (S_ISREG(mode)) return NodeKind::kRegular;
    return NodeKind::kOther;
}

int fd(DirRef dir) { return static_cast<int>(dir); }

int resultOf(int callResult) { return callResult == 0 ? 0 : errno; }

// Closes a descriptor a failed call leaves useless, keeping that call's errno: -1.
int closeFailed(int file) {
    const int error = errno;
    close(file);
    errno = error;
    return -1;
}

}  // namespace

int CDiskTree::lookup(DirRef dir, const std::string& name, NodeKind& kind) {
    struct stat st;
    if (fstatat(fd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        kind = NodeKind::kMissing;
        return errno == ENOENT ? 0 : errno;
    }
    kind = kindOf(st.st_mode);
    return 0;
}

int CDiskTree::enter(DirRef dir, const std::string& name, DirRef& child) {
    const int opened = openat(fd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (opened < 0) return errno;
    child = opened;
    return 0;
}

void CDiskTree::leave(DirRef dir) { close(fd(dir)); }

int CDiskTree::makeDirectory(DirRef dir, const std::string& name) {
    if (mkdirat(fd(dir), name.c_str(), velk::kNewFolderMode) != 0) return errno;
    return giveMade(dir, name, S_IFDIR);
}

// A file made here that loses its last name is forgotten: its inode may serve another file.
int CDiskTree::remove(DirRef dir, const std::string& name, bool directory) {
    struct stat st;
    const bool lastName = !directory && fstatat(fd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                          S_ISREG(st.st_mode) && st.st_nlink == 1;
    const int error = resultOf(unlinkat(fd(dir), name.c_str(), directory ? AT_REMOVEDIR : 0));
    if (error == 0 && lastName) madeFiles.forget(st);
    return error;
}

// O_EXCL makes the file new: a name that appeared since the lookup, a link or a FIFO
// among them, is refused rather than opened.
int CDiskTree::createFile(DirRef dir, const std::string& name, int& handle) {
    velk::CUniqueFd opened(newFileAt(fd(dir), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_LARGEFILE));
    struct stat st;
    if (opened.get() < 0 || fstat(opened.get(), &st) != 0) return errno;
    madeFiles.add(st);
    handle = opened.release();
    return 0;
}

int CDiskTree::createSymlink(DirRef dir, const std::string& name, const std::string& target) {
    if (symlinkat(target.c_str(), fd(dir), name.c_str()) != 0) return errno;
    return giveMade(dir, name, S_IFLNK);
}

// Flags 0: a link at the target is not followed (the walker has refused one already).
int CDiskTree::createHardLink(DirRef targetDir, const std::string& target, DirRef dir, const std::string& name) {
    return resultOf(linkat(fd(targetDir), target.c_str(), fd(dir), name.c_str(), 0));
}

bool CDiskTree::madeAsFile(DirRef dir, const std::string& name) {
    struct stat st;
    if (fstatat(fd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return false;
    return madeFiles.holds(st);
}

// Without AT_EMPTY_PATH's privilege (CAP_DAC_READ_SEARCH), the descriptor's /proc name links it.
int CDiskTree::linkOpenFile(DirRef dir, const std::string& name, int file) {
    struct stat given;
    if (fstat(file, &given) != 0) return errno;
    if (linkat(file, "", fd(dir), name.c_str(), AT_EMPTY_PATH) != 0) {
        const std::string self = "/proc/self/fd/" + std::to_string(file);
        if (linkat(AT_FDCWD, self.c_str(), fd(dir), name.c_str(), AT_SYMLINK_FOLLOW) != 0) return errno;
    }
    madeFiles.add(given);
    return 0;
}

int CDiskTree::makeUnnamedFile(int folder) const { return newFileAt(folder, ".", O_TMPFILE | O_RDWR); }

// Every file, named or not, is made here: what a new file is given at its making is given alike
// to the unnamed ones that tell what a file made here gets.
int CDiskTree::newFileAt(int folder, const char* name, int flags) const {
    const int made = openat(folder, name, flags | O_CLOEXEC, velk::kNewFileMode);
    if (made < 0 || !ownership.given || fchown(made, ownership.user, ownership.group) == 0) return made;
    return closeFailed(made);
}

// A folder or link just made is reached again without following a link, and given away only
// while it still is what was made here (of that kind, the updater's): a name another user put in
// its place meanwhile is never given to the tree's owner. ESTALE for such a name.
int CDiskTree::giveMade(DirRef dir, const std::string& name, mode_t kind) const {
    if (!ownership.given) return 0;
    velk::CUniqueFd made(openat(fd(dir), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (made.get() < 0 || fstat(made.get(), &st) != 0) return errno;
    if ((st.st_mode & S_IFMT) != kind || st.st_uid != geteuid()) return ESTALE;
    return resultOf(fchownat(made.get(), "", ownership.user, ownership.group, AT_EMPTY_PATH));
}

}  // namespace brn
