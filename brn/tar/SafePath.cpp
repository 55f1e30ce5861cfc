#include "brn/tar/SafePath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/FileUtil.h"
#include "app/UniqueFd.h"

namespace brn {

namespace {

constexpr mode_t kDirectoryMode = 0755;
constexpr mode_t kFileMode = 0600;

// The directory that holds an entry, opened without following links below the trusted
// directory, and the entry's own name in it.
struct ParentDir {
    CUniqueFd fd;
    std::string leaf;  // empty when the path names the trusted directory itself
};

bool endsWithAtBoundary(const std::string& path, const std::string& tail) {
    if (path.size() < tail.size()) return false;
    const size_t cut = path.size() - tail.size();
    if (path.compare(cut, tail.size(), tail) != 0) return false;
    return cut == 0 || path[cut - 1] == '/' || (!tail.empty() && tail[0] == '/');
}

int reportMkdirFailure(const std::string& path, int error) {
    printf("mkdir %.*s failed(%d,%s)\n", int(path.size()), path.data(), error, strerror(error));
    return kSafePathMakeFailed;
}

// Opens the trusted directory, following links; a missing one is made when allowed.
int openTrustedDir(const std::string& dir, bool makeMissing, CUniqueFd& fd) {
    const std::string path = dir.empty() ? std::string(".") : dir;
    const int opened = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int error = errno;
    fd.reset(opened);
    if (opened < 0 && error == ENOENT && makeMissing) {
        if (!makeDirs(path)) return kSafePathMakeFailed;
        fd.reset(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    return fd.get() < 0 ? kSafePathNoParent : kSafePathOk;
}

// Moves `dir` one level down into `component`, making it when missing and allowed.
// `shown` is the path of that component, for messages.
int enterDirectory(CUniqueFd& dir, const std::string& component, bool makeMissing, const std::string& name,
                   const std::string& shown) {
    struct stat st;
    if (fstatat(dir.get(), component.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT || !makeMissing) return kSafePathNoParent;
        if (mkdirat(dir.get(), component.c_str(), kDirectoryMode) != 0 && errno != EEXIST) {
            return reportMkdirFailure(shown, errno);
        }
    } else if (S_ISLNK(st.st_mode)) {
        return refuseThroughLink(name, shown);
    }
    // O_NOFOLLOW also catches a link that appeared after the lstat above.
    const int next = openat(dir.get(), component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return errno == ELOOP ? refuseThroughLink(name, shown) : kSafePathNoParent;
    dir.reset(next);
    return kSafePathOk;
}

// Walks from the trusted directory to the directory that holds the entry.
int openEntryParent(const std::string& outPath, const std::string& name, bool makeMissing, ParentDir& parent) {
    const EntryTarget target = splitEntryPath(outPath, name);
    if (hasDotDotComponent(target.below)) return refuseDotDot(name);
    int result = openTrustedDir(target.trustedDir, makeMissing, parent.fd);
    if (result != kSafePathOk) return result;
    const std::string& below = target.below;
    size_t pos = 0, begin = 0, end = 0, nextBegin = 0, nextEnd = 0;
    const bool any = nextPathComponent(below, pos, begin, end);
    while (any && nextPathComponent(below, pos, nextBegin, nextEnd)) {
        // Another component follows, so [begin, end) must be a real directory.
        result = enterDirectory(parent.fd, below.substr(begin, end - begin), makeMissing, name,
                                target.trustedDir + below.substr(0, end));
        if (result != kSafePathOk) return result;
        begin = nextBegin;
        end = nextEnd;
    }
    parent.leaf = any ? below.substr(begin, end - begin) : std::string();
    return kSafePathOk;
}

}  // namespace

bool nextPathComponent(const std::string& path, size_t& pos, size_t& begin, size_t& end) {
    while (pos < path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos) slash = path.size();
        begin = pos;
        end = slash;
        pos = slash + 1;
        const bool dot = end - begin == 1 && path[begin] == '.';
        if (end > begin && !dot) return true;
    }
    return false;
}

int refuseDotDot(const std::string& name) {
    printf("tar: %.*s: refusing a '..' path component\n", int(name.size()), name.data());
    return kSafePathDotDot;
}

int refuseThroughLink(const std::string& name, const std::string& link) {
    printf("tar: %.*s: refusing to go through the symbolic link %.*s\n", int(name.size()), name.data(),
           int(link.size()), link.data());
    return kSafePathThroughLink;
}

bool hasDotDotComponent(const std::string& path) {
    size_t pos = 0, begin = 0, end = 0;
    while (nextPathComponent(path, pos, begin, end)) {
        if (end - begin == 2 && path.compare(begin, 2, "..") == 0) return true;
    }
    return false;
}

int checkEntryName(const std::string& name) {
    return hasDotDotComponent(name) ? refuseDotDot(name) : kSafePathOk;
}

EntryTarget splitEntryPath(const std::string& outPath, const std::string& name) {
    if (endsWithAtBoundary(outPath, name)) {
        const size_t cut = outPath.size() - name.size();
        return {outPath.substr(0, cut), name};
    }
    // A path of the callback's own: trust its parent, check its last component.
    const size_t last = outPath.find_last_not_of('/');
    if (last == std::string::npos) return {outPath, std::string()};
    const size_t slash = outPath.rfind('/', last);
    const size_t cut = slash == std::string::npos ? 0 : slash + 1;
    return {outPath.substr(0, cut), outPath.substr(cut)};
}

int safeOpenRegularFile(const std::string& outPath, const std::string& name, int* fd) {
    ParentDir parent;
    const int result = openEntryParent(outPath, name, true, parent);
    if (result != kSafePathOk) return result;
    if (parent.leaf.empty()) return kSafePathNoLeaf;
    const char* leaf = parent.leaf.c_str();
    // O_NONBLOCK keeps a FIFO from blocking the open; it changes nothing for a regular file.
    int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_LARGEFILE;
    struct stat st;
    if (fstatat(parent.fd.get(), leaf, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode)) {
            // Replace the link itself: what it points at stays untouched.
            if (unlinkat(parent.fd.get(), leaf, 0) != 0) return kSafePathCreateFailed;
            flags |= O_EXCL;
        } else if (!S_ISREG(st.st_mode)) {
            return kSafePathCreateFailed;
        }
    }
    CUniqueFd file(openat(parent.fd.get(), leaf, flags, kFileMode));
    if (file.get() < 0 || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return kSafePathCreateFailed;
    *fd = file.release();
    return kSafePathOk;
}

int safeMakeSymlink(const std::string& outPath, const std::string& name, const std::string& target) {
    ParentDir parent;
    const int result = openEntryParent(outPath, name, false, parent);
    if (result != kSafePathOk) return result;
    if (parent.leaf.empty()) return kSafePathNoLeaf;
    const char* leaf = parent.leaf.c_str();
    // Whatever is at the path goes first, as remove() would take it; a non-empty
    // directory stays and then makes symlinkat fail.
    struct stat st;
    if (fstatat(parent.fd.get(), leaf, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        (void)unlinkat(parent.fd.get(), leaf, S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0);
    }
    if (symlinkat(target.c_str(), parent.fd.get(), leaf) != 0) return kSafePathCreateFailed;
    return kSafePathOk;
}

int safeMakeDirectory(const std::string& outPath, const std::string& name) {
    ParentDir parent;
    const int result = openEntryParent(outPath, name, true, parent);
    if (result != kSafePathOk || parent.leaf.empty()) return result;
    struct stat st;
    const char* leaf = parent.leaf.c_str();
    // An existing name of any kind is kept: a directory, a link (never entered later)
    // or a file (entries below it then fail).
    if (fstatat(parent.fd.get(), leaf, &st, AT_SYMLINK_NOFOLLOW) == 0) return kSafePathOk;
    if (mkdirat(parent.fd.get(), leaf, kDirectoryMode) != 0 && errno != EEXIST) {
        return reportMkdirFailure(outPath, errno);
    }
    return kSafePathOk;
}

}  // namespace brn
