#include "fs/TreeRemover.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "fs/FileModes.h"
#include "fs/FileUtil.h"
#include "fs/Message.h"

namespace velk {

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool isDotOrDotDot(const char* name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }

// A folder its owner cannot read, search or write (a package unpacked with its modes kept
// may bring one) gets owner access back, so that its owner can empty it; its mode goes
// with it anyway. Only a folder of our own, reached without following a link. For one
// that cannot even be opened to read.
void grantOwnerAccess(int dirFd, const char* name) {
    CUniqueFd path(openat(dirFd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (path.get() < 0 || fstat(path.get(), &st) != 0 || st.st_uid != geteuid()) return;
    if ((st.st_mode & S_IRWXU) == S_IRWXU) return;
    // A descriptor opened with O_PATH cannot be changed directly; its /proc name can.
    const std::string self = "/proc/self/fd/" + std::to_string(path.get());
    (void)chmod(self.c_str(), (st.st_mode & kModeBits) | S_IRWXU);
}

}  // namespace

CTreeRemover::CTreeRemover(int root, std::string shown, Mode walkMode)
    : rootFd(root), shownRoot(std::move(shown)), mode(walkMode) {}

void CTreeRemover::keep(dev_t device, ino_t inode) {
    keeping = true;
    keptDevice = device;
    keptInode = inode;
}

// Marks every folder on the way to the kept file, so that none of them is removed.
bool CTreeRemover::isKept(const struct stat& st) {
    if (!keeping || st.st_dev != keptDevice || st.st_ino != keptInode || !S_ISREG(st.st_mode)) return false;
    for (Level& level : levels) level.holdsKept = true;
    return true;
}

int CTreeRemover::refuseMountPoint(const std::string& path) {
    foundMount = path;
    failure = EXDEV;
    if (mode == Mode::kRemove) brn::message("%s is a mount point: nothing on it is removed\n", path.c_str());
    return kMountPoint;
}

int CTreeRemover::run() {
    if (int opened = openRoot(); opened != kOk) return opened;
    while (!levels.empty()) {
        if (!levels.back().stream) {
            if (int reopened = reopen(levels.size() - 1); reopened != kOk) return reopened;
        }
        errno = 0;
        const dirent* entry = readdir(levels.back().stream.get());
        if (entry == nullptr) {
            if (errno != 0) return report("readdir", shownPath(std::string()), kSubdirFailed);
            if (int finished = finishLevel(); finished != kOk) return finished;
            continue;
        }
        if (isDotOrDotDot(entry->d_name)) continue;
        if (int removed = removeEntry(entry->d_name); removed != kOk) return removed;
    }
    return kOk;
}

// A stream of its own on the root, so reading it moves no offset the caller shares.
int CTreeRemover::openRoot() {
    CUniqueFd fd(openat(rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0) return report("opendir", shownRoot, kCannotOpen);
    Level root;
    root.device = st.st_dev;
    root.inode = st.st_ino;
    root.stream.reset(fdopendir(fd.get()));
    if (!root.stream) return report("opendir", shownRoot, kCannotOpen);
    fd.release();
    levels.push_back(std::move(root));
    return kOk;
}

int CTreeRemover::removeEntry(const char* entryName) {
    const std::string name = entryName;
    const int dirFd = parentFd();
    struct stat st;
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return kOk;  // gone meanwhile
        return report("lstat", shownPath(name), kCannotExamine);
    }
    if (S_ISDIR(st.st_mode)) {
        if (st.st_dev != levels.front().device || isMountRoot(dirFd, name.c_str())) {
            return refuseMountPoint(shownPath(name));
        }
        return descend(name.c_str(), dirFd);
    }
    if (mode == Mode::kSurvey || isKept(st)) return kOk;
    brn::message("ready to del %s\n", shownPath(name).c_str());
    if (unlinkat(dirFd, name.c_str(), 0) != 0 && errno != ENOENT) {
        return report("remove", shownPath(name), kRemoveFailed);
    }
    return kOk;
}

// Opens the subdirectory without following a link: one put in its place since it was
// examined is removed as what it now is.
int CTreeRemover::descend(const char* name, int dirFd) {
    CUniqueFd child(openat(dirFd, name, kDirectoryFlags));
    if (child.get() < 0 && errno == EACCES && mode == Mode::kRemove) {
        grantOwnerAccess(dirFd, name);
        child.reset(openat(dirFd, name, kDirectoryFlags));
    }
    if (child.get() < 0) {
        if (errno == ENOENT) return kOk;
        if (errno != ELOOP && errno != ENOTDIR) return report("opendir", shownPath(name), kSubdirFailed);
        if (mode == Mode::kSurvey) return kOk;
        brn::message("ready to del %s\n", shownPath(name).c_str());
        if (unlinkat(dirFd, name, 0) != 0) return report("remove", shownPath(name), kRemoveFailed);
        return kOk;
    }
    struct stat st;
    if (fstat(child.get(), &st) != 0) return report("fstat", shownPath(name), kSubdirFailed);
    if (st.st_dev != levels.front().device) return refuseMountPoint(shownPath(name));
    if (mode == Mode::kRemove && (st.st_mode & S_IRWXU) != S_IRWXU && st.st_uid == geteuid()) {
        (void)fchmod(child.get(), (st.st_mode & kModeBits) | S_IRWXU);  // see grantOwnerAccess
    }
    Level level;
    level.name = name;
    level.device = st.st_dev;
    level.inode = st.st_ino;
    level.stream.reset(fdopendir(child.get()));
    if (!level.stream) return report("opendir", shownPath(name), kSubdirFailed);
    child.release();
    // Deep levels keep no stream while a child is emptied: at most kOpenLevels stay open.
    if (levels.size() >= kOpenLevels) {
        levels.back().position = telldir(levels.back().stream.get());
        levels.back().stream.reset();
    }
    levels.push_back(std::move(level));
    return kOk;
}

// The directory on top is empty now: remove it from its parent.
int CTreeRemover::finishLevel() {
    if (levels.size() == 1) {
        levels.clear();
        return kOk;
    }
    const std::string shown = shownPath(std::string());
    const std::string name = levels.back().name;
    const bool stays = mode == Mode::kSurvey || levels.back().holdsKept;
    levels.pop_back();
    if (!levels.back().stream) {
        if (int reopened = reopen(levels.size() - 1); reopened != kOk) return reopened;
    }
    if (stays) return kOk;
    brn::message("ready to del %s\n", shown.c_str());
    if (unlinkat(parentFd(), name.c_str(), AT_REMOVEDIR) != 0) return report("remove", shown, kRemoveFailed);
    return kOk;
}

// Opens `level` again from the deepest open level above it, name by name, without following
// links, and checks that each directory is the one that was left. Its entries are read from
// the start again, where those already removed are gone; a survey, which removes nothing,
// goes on from where it stopped.
int CTreeRemover::reopen(size_t level) {
    size_t from = level;
    while (!levels[from].stream) --from;  // the root always has its stream
    CUniqueFd current;
    int at = dirfd(levels[from].stream.get());
    for (size_t next = from + 1; next <= level; ++next) {
        CUniqueFd opened(openat(at, levels[next].name.c_str(), kDirectoryFlags));
        struct stat st;
        if (opened.get() < 0 || fstat(opened.get(), &st) != 0) return report("opendir", shownUpTo(next), kCannotOpen);
        if (st.st_dev != levels[next].device || st.st_ino != levels[next].inode) {
            brn::message("%s was replaced while it was emptied\n", shownUpTo(next).c_str());
            failure = ESTALE;
            return kChanged;
        }
        current = std::move(opened);
        at = current.get();
    }
    levels[level].stream.reset(fdopendir(current.get()));
    if (!levels[level].stream) return report("opendir", shownUpTo(level), kCannotOpen);
    current.release();
    if (mode == Mode::kSurvey) seekdir(levels[level].stream.get(), levels[level].position);
    return kOk;
}

int CTreeRemover::parentFd() const { return dirfd(levels.back().stream.get()); }

// The path of `name` in the directory on top, or of that directory itself when name is empty.
std::string CTreeRemover::shownPath(const std::string& name) const {
    const std::string path = shownUpTo(levels.size() - 1);
    return name.empty() ? path : path + "/" + name;
}

// The path of the directory at `level`, the root being level 0.
std::string CTreeRemover::shownUpTo(size_t level) const {
    std::string path = shownRoot;
    for (size_t i = 1; i <= level && i < levels.size(); ++i) path += "/" + levels[i].name;
    return path;
}

// Prints "<call> <path> failed(<errno>,<text>)" for the call that just failed; gives `result`.
int CTreeRemover::report(const char* call, const std::string& path, int result) {
    failure = errno;
    brn::message("%s %s failed(%d,%s)\n", call, path.c_str(), failure, std::strerror(failure));
    return result;
}

}  // namespace velk
