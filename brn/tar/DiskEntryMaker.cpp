#include "brn/tar/DiskEntryMaker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "fs/FileUtil.h"
#include "fs/Message.h"

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

int fd(DirRef dir) { return static_cast<int>(dir); }

int resultOf(int callResult) { return callResult == 0 ? 0 : errno; }

}  // namespace

CDiskEntryMaker::CDiskEntryMaker(int root, const std::string& shownPrefix) : rootFd(root), walker(*this, shownPrefix) {}

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
    if (keepModes && handle == modeHandle && fchmod(handle, fileMode & kPermissionBits) != 0) {
        const int error = errno;
        brn::message("tar: %.*s: chmod failed(%d,%s)\n", int(name.size()), name.data(), error, strerror(error));
        close(handle);
        return kEntryCloseFailed;
    }
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
    return resultOf(mkdirat(fd(dir), name.c_str(), kDirectoryMode));
}

int CDiskEntryMaker::remove(DirRef dir, const std::string& name, bool directory) {
    return resultOf(unlinkat(fd(dir), name.c_str(), directory ? AT_REMOVEDIR : 0));
}

// O_EXCL makes the file new: a name that appeared since the lookup, a link or a FIFO
// among them, is refused rather than opened.
int CDiskEntryMaker::createFile(DirRef dir, const std::string& name, int& handle) {
    const int opened =
        openat(fd(dir), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_LARGEFILE, kFileMode);
    if (opened < 0) return errno;
    handle = opened;
    return 0;
}

int CDiskEntryMaker::createSymlink(DirRef dir, const std::string& name, const std::string& target) {
    return resultOf(symlinkat(target.c_str(), fd(dir), name.c_str()));
}

}  // namespace brn
