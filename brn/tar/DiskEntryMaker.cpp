#include "brn/tar/DiskEntryMaker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "brn/ByteOrder.h"
#include "fs/FileUtil.h"
#include "fs/Message.h"
#include "fs/UniqueFd.h"

namespace brn {

namespace {

constexpr mode_t kDirectoryMode = 0755;
constexpr mode_t kFileMode = 0600;
constexpr uint32_t kPermissionBits = 0777;    // never set-user-ID, set-group-ID or sticky
constexpr uint32_t kOwnerFullAccess = 0700;

NodeKind kindOf(mode_t mode) {
    if (S_ISDIR(mode)) return NodeKind::kDirectory;
    if (S_ISLNK(mode)) return NodeKind::kSymlink;
    if (S_ISREG(mode)) return NodeKind::kRegular;
    return NodeKind::kOther;
}

constexpr uint8_t kMade = 1;  // madeFiles' value for a file made here

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

CDiskEntryMaker::CDiskEntryMaker(int root, const std::string& shownPrefix)
    : rootFd(root), secret(randomTableKey()), walker(*this, shownPrefix) {}

int CDiskEntryMaker::openFile(const std::string& name, uint32_t mode, int& handle) {
    const int result = walker.openFile(name, handle);
    if (result == kSafePathOk) {
        modeHandle = handle;
        fileMode = mode;
    }
    return result;
}

int CDiskEntryMaker::write(int handle, const char* data, size_t count) {
    if (handle < 0) return kEntryBadHandle;
    // The reader never asks for more than one update piece, whose length is an int.
    if (data == nullptr || count == 0 || count > size_t(INT_MAX)) return kEntryWriteFailed;
    return writeAll(data, int(count), handle) < 0 ? kEntryWriteFailed : kEntryMakerOk;
}

int CDiskEntryMaker::closeFile(int handle, const std::string& name) {
    if (handle < 0) return kEntryBadHandle;
    if (handle == modeHandle && giveFileMode(handle, fileMode) != 0) {
        const int error = errno;
        brn::message("tar: %.*s: chmod failed(%d,%s)\n", int(name.size()), name.data(), error, strerror(error));
        close(handle);
        return kEntryCloseFailed;
    }
    // The file's data starts on its way to the disk now, without waiting: the sync at the end
    // of the install then waits only for the rest, and a stream's writing overlaps its download.
    (void)sync_file_range(handle, 0, 0, SYNC_FILE_RANGE_WRITE);
    if (close(handle) != 0) {
        const int error = errno;
        brn::message("tar: %.*s: close failed(%d,%s)\n", int(name.size()), name.data(), error, strerror(error));
        return kEntryCloseFailed;
    }
    return kEntryMakerOk;
}

// A link that takes the place of an empty directory takes its held mode with it.
int CDiskEntryMaker::makeSymlink(const std::string& name, const std::string& target) {
    const int result = walker.makeSymlink(name, target);
    if (result == kSafePathOk) heldModes.erase(heldKey(name));
    return result;
}

int CDiskEntryMaker::makeHardLink(const std::string& name, const std::string& target) {
    return walker.makeHardLink(name, target);
}

int CDiskEntryMaker::makeDirectory(const std::string& name, uint32_t mode) {
    const int result = walker.makeDirectory(name);
    if (result != kSafePathOk || !keepModes) return result;
    const HeldKey key = heldKey(name);
    if ((mode & kOwnerFullAccess) != kOwnerFullAccess) {
        heldModes[key] = mode;
        return result;
    }
    heldModes.erase(key);
    return setDirectoryMode(name, mode) == 0 ? result : kSafePathCreateFailed;
}

int CDiskEntryMaker::applyPermissions() {
    int failed = 0;
    for (const auto& [key, mode] : heldModes) failed += setDirectoryMode(key.second, mode) != 0;
    heldModes.clear();
    return failed;
}

CDiskEntryMaker::HeldKey CDiskEntryMaker::heldKey(const std::string& name) {
    HeldKey key;
    size_t pos = 0, begin = 0, end = 0;
    while (nextPathComponent(name, pos, begin, end)) {
        if (key.first++ > 0) key.second += '/';
        key.second.append(name, begin, end - begin);
    }
    return key;
}

// Reached under the entries' rules: an entry that later put a link in the directory's
// place is not followed. The root itself, named by "" or ".", keeps its mode.
int CDiskEntryMaker::setDirectoryMode(const std::string& name, uint32_t mode) {
    DirRef dir = 0;
    const int result = walker.enterDirectory(name, dir);
    if (result == kSafePathNoLeaf) return 0;
    if (result != kSafePathOk) return -1;
    const int changed = fchmod(fd(dir), mode & kPermissionBits);
    const int error = errno;
    leave(dir);
    if (changed == 0) return 0;
    brn::message("tar: %.*s: chmod failed(%d,%s)\n", int(name.size()), name.data(), error, strerror(error));
    return -1;
}

// The name is placed by the walker as a file entry's would be. A file system or a process
// that cannot link the descriptor leaves the name free for the caller to write the file.
int CDiskEntryMaker::linkFile(const std::string& name, int file) {
    struct stat given;
    if (fstat(file, &given) != 0) return kEntryLinkFailed;
    bool cannotLink = false;
    const int result = walker.placeFile(name, [&](DirRef dir, const std::string& leaf) {
        if (linkat(file, "", fd(dir), leaf.c_str(), AT_EMPTY_PATH) == 0) return 0;
        const std::string self = "/proc/self/fd/" + std::to_string(file);
        if (linkat(AT_FDCWD, self.c_str(), fd(dir), leaf.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
        cannotLink = true;
        return 0;
    });
    if (cannotLink) return kEntryLinkFailed;
    if (result == kSafePathOk) madeFiles.set(fileKey(given.st_dev, given.st_ino), kMade);
    return result;
}

// Every file, named or not, is made here: what a new file is given at its making is given alike
// to the unnamed ones that tell what a file made here gets.
int CDiskEntryMaker::newFileAt(int folder, const char* name, int flags) const {
    const int made = openat(folder, name, flags | O_CLOEXEC, kFileMode);
    if (made < 0 || !ownership.given || fchown(made, ownership.user, ownership.group) == 0) return made;
    return closeFailed(made);
}

int CDiskEntryMaker::giveFileMode(int file, uint32_t mode) const {
    return keepModes ? fchmod(file, mode & kPermissionBits) : 0;
}

int CDiskEntryMaker::visitFileFolder(const std::string& name, const std::function<void(int folder)>& look) {
    return walker.visitParent(name, [&look](DirRef dir) { look(fd(dir)); });
}

int CDiskEntryMaker::makeUnnamedFile(int folder, uint32_t mode) const {
    const int made = newFileAt(folder, ".", O_TMPFILE | O_RDWR);
    return made < 0 || giveFileMode(made, mode) == 0 ? made : closeFailed(made);
}

int CDiskEntryMaker::openDirectory(const std::string& name, int& dirFd) {
    DirRef dir = 0;
    const int result = walker.enterDirectory(name, dir);
    if (result == kSafePathNoLeaf) {
        dirFd = openat(rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        return dirFd >= 0 ? kSafePathOk : kSafePathNoParent;
    }
    if (result == kSafePathOk) dirFd = fd(dir);
    return result;
}

int CDiskEntryMaker::lookup(DirRef dir, const std::string& name, NodeKind& kind) {
    struct stat st;
    if (fstatat(fd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        kind = NodeKind::kMissing;
        return errno == ENOENT ? 0 : errno;
    }
    kind = kindOf(st.st_mode);
    return 0;
}

int CDiskEntryMaker::enter(DirRef dir, const std::string& name, DirRef& child) {
    const int opened = openat(fd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (opened < 0) return errno;
    child = opened;
    return 0;
}

void CDiskEntryMaker::leave(DirRef dir) { close(fd(dir)); }

int CDiskEntryMaker::makeDirectory(DirRef dir, const std::string& name) {
    if (mkdirat(fd(dir), name.c_str(), kDirectoryMode) != 0) return errno;
    return giveMade(dir, name, S_IFDIR);
}

// A file made here that loses its last name is forgotten: its inode may serve another file.
int CDiskEntryMaker::remove(DirRef dir, const std::string& name, bool directory) {
    struct stat st;
    const bool lastName = !directory && fstatat(fd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                          S_ISREG(st.st_mode) && st.st_nlink == 1;
    const int error = resultOf(unlinkat(fd(dir), name.c_str(), directory ? AT_REMOVEDIR : 0));
    if (error == 0 && lastName) madeFiles.set(fileKey(st.st_dev, st.st_ino), 0);
    return error;
}

// O_EXCL makes the file new: a name that appeared since the lookup, a link or a FIFO
// among them, is refused rather than opened.
int CDiskEntryMaker::createFile(DirRef dir, const std::string& name, int& handle) {
    const int opened = newFileAt(fd(dir), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_LARGEFILE);
    if (opened < 0) return errno;
    struct stat st;
    if (fstat(opened, &st) != 0) {
        const int error = errno;
        close(opened);
        return error;
    }
    madeFiles.set(fileKey(st.st_dev, st.st_ino), kMade);
    handle = opened;
    return 0;
}

int CDiskEntryMaker::createSymlink(DirRef dir, const std::string& name, const std::string& target) {
    if (symlinkat(target.c_str(), fd(dir), name.c_str()) != 0) return errno;
    return giveMade(dir, name, S_IFLNK);
}

// A directory or link just made is reached again without following a link, and given away only
// while it still is what was made here (of that kind, the updater's): a name another user put in
// its place meanwhile is never given to DEST's owner. ESTALE for such a name.
int CDiskEntryMaker::giveMade(DirRef dir, const std::string& name, mode_t kind) const {
    if (!ownership.given) return 0;
    CUniqueFd made(openat(fd(dir), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (made.get() < 0 || fstat(made.get(), &st) != 0) return errno;
    if ((st.st_mode & S_IFMT) != kind || st.st_uid != geteuid()) return ESTALE;
    return resultOf(fchownat(made.get(), "", ownership.user, ownership.group, AT_EMPTY_PATH));
}

// Flags 0: a link at the target is not followed (the walker has refused one already).
int CDiskEntryMaker::createHardLink(DirRef targetDir, const std::string& target, DirRef dir, const std::string& name) {
    return resultOf(linkat(fd(targetDir), target.c_str(), fd(dir), name.c_str(), 0));
}

bool CDiskEntryMaker::madeAsFile(DirRef dir, const std::string& name) {
    struct stat st;
    if (fstatat(fd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return false;
    return madeFiles.find(fileKey(st.st_dev, st.st_ino)) == kMade;
}

uint64_t CDiskEntryMaker::fileKey(dev_t device, ino_t inode) const {
    unsigned char bytes[16];
    storeLe64(bytes, uint64_t(device));
    storeLe64(bytes + 8, uint64_t(inode));
    return sipHash24(secret, bytes, sizeof bytes);
}

}  // namespace brn
