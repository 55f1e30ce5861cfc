#include "fs/FileTraits.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velk {

namespace {

constexpr int kSizeRetries = 4;  // an attribute that keeps growing between its size and its read

// Reads what `call` gives into `bytes`, asking its size first (call(nullptr, 0)); the value
// may change in between, so a value grown meanwhile is asked again. 0 or errno.
template <class Call>
int readSized(const Call& call, std::string& bytes) {
    for (int attempt = 0; attempt < kSizeRetries; ++attempt) {
        const ssize_t size = call(nullptr, 0);
        if (size < 0) return errno;
        bytes.resize(size_t(size));
        if (size == 0) return 0;
        const ssize_t got = call(&bytes[0], bytes.size());
        if (got >= 0) {
            bytes.resize(size_t(got));
            return 0;
        }
        if (errno != ERANGE) return errno;
    }
    return ERANGE;
}

int readAttributes(int fd, std::vector<std::pair<std::string, std::string>>& attributes) {
    std::string names;
    if (int error = readSized([fd](char* to, size_t size) { return flistxattr(fd, to, size); }, names)) {
        return error == ENOTSUP ? 0 : error;  // a file system without extended attributes
    }
    for (size_t at = 0; at < names.size();) {
        const std::string name(names.c_str() + at);
        at += name.size() + 1;
        std::string value;
        const int error = readSized(
            [fd, &name](char* to, size_t size) { return fgetxattr(fd, name.c_str(), to, size); }, value);
        if (error == ENODATA) continue;  // removed since it was listed
        if (error != 0) return error;
        attributes.emplace_back(name, std::move(value));
    }
    std::sort(attributes.begin(), attributes.end());
    return 0;
}

}  // namespace

int readFileTraits(int fd, const struct stat& st, FileTraits& traits) {
    traits = FileTraits();
    traits.owner = st.st_uid;
    traits.group = st.st_gid;
    traits.mode = st.st_mode;
    // The request is declared with a long, the kernel writes an int at its start, and an
    // emulator may write the whole long: a long holds either, and equal flags read equal.
    traits.flagsError = ioctl(fd, FS_IOC_GETFLAGS, &traits.flags) == 0 ? 0 : errno;
    if (traits.flagsError != 0) traits.flags = 0;
    return readAttributes(fd, traits.attributes);
}

}  // namespace velk
