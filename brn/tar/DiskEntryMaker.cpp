#include "brn/tar/DiskEntryMaker.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "app/FileUtil.h"

namespace brn {

int CDiskEntryMaker::openFile(const std::string& outPath, const std::string& name, int& handle) {
    int fd = -1;
    const int result = safeOpenRegularFile(outPath, name, &fd);
    if (result != kSafePathOk) return result;
    handle = fd;
    return kEntryMakerOk;
}

int CDiskEntryMaker::write(int handle, const char* data, size_t count) {
    if (handle < 0) return kEntryBadHandle;
    // The reader never asks for more than one update piece, whose length is an int.
    if (data == nullptr || count == 0 || count > size_t(INT_MAX)) return kEntryWriteFailed;
    return writeAll(data, int(count), handle) < 0 ? kEntryWriteFailed : kEntryMakerOk;
}

int CDiskEntryMaker::closeFile(int handle, const std::string& name) {
    if (handle < 0) return kEntryBadHandle;
    if (close(handle) != 0) {
        const int error = errno;
        printf("tar: %.*s: close failed(%d,%s)\n", int(name.size()), name.data(), error, strerror(error));
        return kEntryCloseFailed;
    }
    return kEntryMakerOk;
}

int CDiskEntryMaker::makeSymlink(const std::string& outPath, const std::string& name, const std::string& target) {
    return safeMakeSymlink(outPath, name, target);
}

int CDiskEntryMaker::makeDirectory(const std::string& outPath, const std::string& name) {
    return safeMakeDirectory(outPath, name);
}

}  // namespace brn
