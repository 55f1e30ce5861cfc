#include "fs/FileUtil.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fs/FileModes.h"
#include "fs/Message.h"
#include "fs/UniqueFd.h"

namespace velk {

namespace {

// writeAll
constexpr int kWriteAllBadArguments = -1;  // null buffer, length <= 0 or descriptor < 0
constexpr int kWriteAllFailed = -2;        // a write failed, or wrote nothing

// readChunks
constexpr int kReadOk = 0;
constexpr int kReadBadArguments = -1;  // chunk size 0 or above INT_MAX, descriptor < 0 or no callback
constexpr int kReadFailed = kReadChunksFailed;
constexpr int kReadRefused = -3;       // onChunk returned a negative value

constexpr size_t kMaxWriteSlice = 65536;  // most bytes handed to one write()

// POSIX calls see a path only up to its first NUL byte; a path holding one would name
// another file than the caller meant, so it is refused.
bool isUsablePath(const std::string& path) {
    return path.find('\0') == std::string::npos;
}


bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

// Reads until `buffer` holds `size` bytes or the input ends; the bytes held, or -1 (errno set).
ssize_t fillChunk(int fd, char* buffer, size_t size) {
    size_t held = 0;
    while (held < size) {
        const ssize_t got = readWaiting(fd, buffer + held, size - held);
        if (got < 0) return -1;
        if (got == 0) break;
        held += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(held);
}

}  // namespace

// A bind mount shares its source's device number; the kernel marks the root of every mount.
bool isMountRoot(int dirFd, const char* name) {
    struct statx stx;
    if (statx(dirFd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE, &stx) != 0) return false;
    return (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 && (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

bool isDirectory(const std::string& path) {
    struct stat st;
    if (!isUsablePath(path) || ::stat(path.c_str(), &st) != 0) {
        return false;
    }
    return S_ISDIR(st.st_mode);
}

bool makeDirs(const std::string& path) {
    if (path.empty() || !isUsablePath(path)) {
        return false;
    }
    if (isDirectory(path)) {
        return true;
    }
    // Make every prefix ending in a slash, then the whole path: a/, a/b/, a/b/c.
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] != '/' && i + 1 != path.size()) {
            continue;
        }
        const std::string prefix = path.substr(0, i + 1);
        if (::mkdir(prefix.c_str(), kNewFolderMode) != 0) {
            const int err = errno;
            if (err == EEXIST) {
                continue;
            }
            brn::message("mkdir %s failed(%d,%s)\n", prefix.c_str(), err, std::strerror(err));
            return false;
        }
    }
    return true;
}

mode_t processUmask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

std::string parentDir(const std::string& path) {
    if (path.empty()) {
        return ".";
    }
    if (isSeparator(path.back())) {
        return path.size() == 1 ? std::string("/") : path.substr(0, path.size() - 1);
    }
    const auto last = std::find_if(path.rbegin(), path.rend(), isSeparator);
    if (last == path.rend()) {
        return ".";
    }
    const size_t at = static_cast<size_t>(path.rend() - last) - 1;
    return at == 0 ? std::string("/") : path.substr(0, at);
}

std::string workingFolder() {
    std::string dir(PATH_MAX, '\0');
    while (getcwd(&dir[0], dir.size()) == nullptr) {
        if (errno != ERANGE) return std::string();
        dir.resize(dir.size() * 2);
    }
    dir.resize(dir.find('\0'));
    return dir;
}

std::string relativePathsProblem(const std::vector<std::string>& paths) {
    const bool relative = std::any_of(paths.begin(), paths.end(),
                                      [](const std::string& path) { return !path.empty() && path[0] != '/'; });
    if (!relative || !workingFolder().empty()) return std::string();
    const int error = errno;
    const std::string why = error == ENOENT ? "is gone"
                                            : "cannot be named(" + std::to_string(error) + "," + strerror(error) + ")";
    return "the working folder " + why + ": relative paths cannot be resolved";
}

int writeAll(const char* buffer, int length, int fd) {
    if (buffer == nullptr || length <= 0 || fd < 0) {
        return kWriteAllBadArguments;
    }
    // A write that takes only part of its slice (the disk or the file size limit was
    // reached) is followed by one for the rest, which then fails with the reason.
    const size_t total = static_cast<size_t>(length);
    for (size_t done = 0; done < total;) {
        const size_t slice = std::min(total - done, kMaxWriteSlice);
        const ssize_t written = ::write(fd, buffer + done, slice);
        if (written < 0) {
            const int err = errno;
            brn::message("write failed(%d,%s)\n", err, std::strerror(err));
            return kWriteAllFailed;
        }
        if (written == 0) {
            brn::messageLine("write failed: nothing written");
            return kWriteAllFailed;
        }
        done += static_cast<size_t>(written);
    }
    return length;
}

namespace {

// Makes `call` until it is neither interrupted nor refused for want of room or bytes; the
// latter waits for `events` on the descriptor.
template <typename Call>
ssize_t waiting(int fd, short events, Call call) {
    for (;;) {
        const ssize_t done = call();
        if (done >= 0 || (errno != EINTR && errno != EAGAIN)) return done;
        if (errno == EINTR) continue;
        struct pollfd ready = {fd, events, 0};
        if (poll(&ready, 1, -1) < 0 && errno != EINTR) return -1;
    }
}

}  // namespace

ssize_t readWaiting(int fd, char* buffer, size_t size) {
    return waiting(fd, POLLIN, [&] { return ::read(fd, buffer, size); });
}

ssize_t writeWaiting(int fd, const char* buffer, size_t size) {
    return waiting(fd, POLLOUT, [&] { return ::write(fd, buffer, size); });
}

int readChunks(int fd, size_t chunkSize, const std::function<int(const char*, int)>& onChunk) {
    if (fd < 0 || chunkSize == 0 || chunkSize > static_cast<size_t>(INT_MAX) || !onChunk) {
        return kReadBadArguments;
    }
    std::vector<char> buffer(chunkSize);
    for (;;) {
        const ssize_t held = fillChunk(fd, buffer.data(), chunkSize);
        if (held < 0) {
            return kReadFailed;
        }
        if (held == 0) {
            return kReadOk;
        }
        const int took = onChunk(buffer.data(), static_cast<int>(held));
        if (took < 0) {
            return kReadRefused;
        }
        if (took < held || static_cast<size_t>(held) < chunkSize) {
            return kReadOk;
        }
    }
}

}  // namespace velk
