#include "fs/FileUtil.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fs/UniqueFd.h"
#include "fs/Message.h"

namespace {

// writeAll
constexpr int kWriteAllBadArguments = -1;  // null buffer, length <= 0 or descriptor < 0
constexpr int kWriteAllFailed = -2;        // a write failed, or wrote nothing

// readFile64
constexpr int kReadOk = 0;
constexpr int kReadBadArguments = -1;  // chunk size <= 0, descriptor < 0 or no callback
constexpr int kReadFailed = -2;        // a read failed or ended before the expected end
constexpr int kReadRefusedChunk = -3;  // funcOnOutput failed on a full chunk
constexpr int kReadRefusedLast = -4;   // funcOnOutput failed on the last, partial chunk

constexpr size_t kMaxWriteSlice = 65536;  // most bytes handed to one write()
constexpr int kMinReadBuffer = 65536;     // readFile64 reads at least this much at once when it can
constexpr mode_t kDirMode = 0755;         // before the process umask

// POSIX calls see a path only up to its first NUL byte; a path holding one would name
// another file than the caller meant, so it is refused.
bool isUsablePath(const std::string& path) {
    return path.find('\0') == std::string::npos;
}

using OutputFunc = std::function<int(const char*, int)>;

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

// Bytes from the current position to the end, the position left where it was; 0 when
// the descriptor cannot seek (a pipe), -1 when the position cannot be restored.
int64_t bytesToEnd(int fd) {
    const off64_t here = ::lseek64(fd, 0, SEEK_CUR);
    const off64_t end = ::lseek64(fd, 0, SEEK_END);
    if (here < 0 || end < 0) {
        return 0;
    }
    if (end != here && ::lseek64(fd, here, SEEK_SET) < 0) {
        return -1;
    }
    return end > here ? end - here : 0;
}

enum class Delivery {
    kAllWhole,  // every whole delivery was taken; fewer bytes than one delivery remain
    kStopped,   // the callback took fewer bytes than offered: reading ends with success
    kRefused,   // the callback returned a negative value
};

// Offers `held` bytes to funcOnOutput in deliveries of exactly `deliverySize` bytes while
// that many remain; `*used` receives the bytes taken. A callback that claims more than
// it was offered is taken to have used the whole delivery.
Delivery deliverWhole(const char* data, size_t held, size_t deliverySize, const OutputFunc& funcOnOutput,
                      size_t* used) {
    *used = 0;
    while (held - *used >= deliverySize) {
        const int took = funcOnOutput(data + *used, static_cast<int>(deliverySize));
        if (took < 0) {
            brn::message("readFile64 funcOnOutput error %d\n", took);
            return Delivery::kRefused;
        }
        const size_t taken = std::min(static_cast<size_t>(took), deliverySize);
        *used += taken;
        if (taken < deliverySize) {
            return Delivery::kStopped;
        }
    }
    return Delivery::kAllWhole;
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
        if (::mkdir(prefix.c_str(), kDirMode) != 0) {
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

// One buffer per call: every delivery but the last is exactly the delivery size; the
// rest of a buffer that holds less than that is moved to its front before the next read.
int readFile64(int fd, int chunkSize, const std::function<int(const char*, int)>& funcOnOutput,
               int64_t maxLength) {
    if (chunkSize <= 0 || fd < 0 || !funcOnOutput) {
        return kReadBadArguments;
    }
    int64_t count = bytesToEnd(fd);
    if (count < 0) {
        return kReadFailed;
    }
    if (maxLength >= 1 && maxLength < count) {
        count = maxLength;
    }
    if (count == 0) {
        return kReadOk;
    }
    const size_t bufferSize = static_cast<size_t>(std::min<int64_t>(std::max(chunkSize, kMinReadBuffer), count));
    const size_t deliverySize = std::min(static_cast<size_t>(chunkSize), bufferSize);
    std::vector<char> buffer(bufferSize);
    size_t held = 0;
    while (count > 0) {
        // Never read past the count: a maximum length is a limit, not a hint.
        const size_t room = static_cast<size_t>(std::min<int64_t>(bufferSize - held, count));
        const ssize_t got = ::read(fd, buffer.data() + held, room);
        if (got <= 0) {
            return kReadFailed;
        }
        count -= got;
        held += static_cast<size_t>(got);
        size_t used = 0;
        const Delivery delivered = deliverWhole(buffer.data(), held, deliverySize, funcOnOutput, &used);
        if (delivered == Delivery::kRefused) {
            return kReadRefusedChunk;
        }
        if (delivered == Delivery::kStopped) {
            return kReadOk;
        }
        if (used > 0) {
            std::memmove(buffer.data(), buffer.data() + used, held - used);
            held -= used;
        }
    }
    if (held > 0 && funcOnOutput(buffer.data(), static_cast<int>(held)) < 0) {
        return kReadRefusedLast;
    }
    return kReadOk;
}
