#include "brn/sign/SmallFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "fs/UniqueFd.h"

namespace brn {

int readSmallFile(const std::string& path, size_t maxBytes, std::string& text) {
    text.clear();
    velk::CUniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) return errno == ENOENT || errno == ENOTDIR ? kSmallFileMissing : kSmallFileUnreadable;
    return readSmallFile(fd.get(), maxBytes, text);
}

int readSmallFile(int fd, size_t maxBytes, std::string& text) {
    text.clear();
    struct stat st;
    if (::fstat(fd, &st) != 0) return kSmallFileUnreadable;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return kSmallFileUnreadable;
    }
    // One byte more than allowed tells a file that is too large from one that fits exactly.
    std::string bytes(maxBytes + 1, '\0');
    size_t have = 0;
    while (have < bytes.size()) {
        ssize_t n = ::read(fd, &bytes[have], bytes.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return kSmallFileUnreadable;
        if (n == 0) break;
        have += size_t(n);
    }
    if (have > maxBytes) return kSmallFileTooLarge;
    bytes.resize(have);
    text.swap(bytes);
    return kSmallFileOk;
}

}  // namespace brn
