#include "install/PathResolve.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <vector>

#include "fs/FileUtil.h"
#include "fs/FolderBelow.h"

namespace velk {

namespace {

constexpr int kMaxLinks = 40;  // as the kernel allows on one lookup

// Splits on '/' into `components`, in front of the ones already there.
void pushFront(std::deque<std::string>& components, const std::string& path) {
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= path.size()) {
        size_t slash = path.find('/', at);
        if (slash == std::string::npos) slash = path.size();
        if (slash > at) parts.push_back(path.substr(at, slash - at));
        at = slash + 1;
    }
    components.insert(components.begin(), parts.begin(), parts.end());
}

// The target of the link at `path`, or an empty string with errno set.
std::string linkTarget(const std::string& path, size_t size) {
    std::string target(size + 1, '\0');
    const ssize_t n = readlink(path.c_str(), &target[0], target.size());
    if (n < 0) return std::string();
    target.resize(size_t(n));
    return target;
}

// A link in a sticky folder anyone may write is followed only when it belongs to the caller
// or to the folder's owner, as the kernel decides with fs.protected_symlinks.
bool isPlantedLink(const std::string& folder, const struct stat& link) {
    struct stat st;
    if (stat(folder.empty() ? "/" : folder.c_str(), &st) != 0) return true;
    const bool shared = (st.st_mode & S_ISVTX) != 0 && (st.st_mode & S_IWOTH) != 0;
    return shared && link.st_uid != geteuid() && link.st_uid != st.st_uid;
}

ResolvedPath failure(int error, const std::string& at) {
    ResolvedPath result;
    result.error = error;
    result.failedAt = at;
    return result;
}

// Puts the target of the link at `link` (lying in `resolved`) in front of what is left to
// resolve. A failure when the link may not be followed or cannot be read; else nothing failed.
ResolvedPath follow(const std::string& link, const struct stat& st, std::string& resolved,
                    std::deque<std::string>& components) {
    if (isPlantedLink(resolved, st)) {
        ResolvedPath refused = failure(EACCES, link);
        refused.untrustedLink = true;
        return refused;
    }
    const std::string target = linkTarget(link, size_t(st.st_size));
    if (target.empty()) return failure(errno != 0 ? errno : ENOENT, link);
    if (target[0] == '/') resolved.clear();
    pushFront(components, target);
    return ResolvedPath();
}

}  // namespace

bool isAtOrBelow(const std::string& path, const std::string& dir) {
    if (dir.empty()) return false;
    if (dir == "/") return true;
    return path.compare(0, dir.size(), dir) == 0 && (path.size() == dir.size() || path[dir.size()] == '/');
}

ResolvedPath resolvePath(const std::string& path, bool followLast, const std::string& fence) {
    if (path.empty()) return failure(ENOENT, path);
    // A relative path is resolved against the working folder or not at all: never against "/".
    const std::string base = path[0] == '/' ? std::string() : workingFolder();
    if (path[0] != '/' && base.empty()) return failure(errno, ".");
    std::deque<std::string> components;
    pushFront(components, base + "/" + path);
    std::string resolved;  // "" stands for "/"
    int links = 0;
    while (!components.empty()) {
        const std::string part = components.front();
        components.pop_front();
        if (part == ".") continue;
        if (isDotDot(part)) {
            if (!resolved.empty()) resolved.erase(resolved.rfind('/'));  // the root's parent is the root
            continue;
        }
        const std::string candidate = resolved + "/" + part;
        struct stat st;
        if (lstat(candidate.c_str(), &st) != 0) {
            if (errno != ENOENT && errno != ENOTDIR) return failure(errno, candidate);
            resolved = candidate;  // missing: kept as named
            continue;
        }
        const bool last = components.empty();
        const bool fenced = isAtOrBelow(resolved.empty() ? "/" : resolved, fence);
        if (!S_ISLNK(st.st_mode) || (last && (fenced || !followLast))) {
            resolved = candidate;
            continue;
        }
        if (fenced || ++links > kMaxLinks) return failure(ELOOP, candidate);
        if (ResolvedPath refused = follow(candidate, st, resolved, components); !refused.failedAt.empty()) {
            return refused;
        }
    }
    ResolvedPath result;
    result.ok = true;
    result.path = resolved.empty() ? "/" : resolved;
    return result;
}

}  // namespace velk
