#include "fs/Descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace velk {

// The lowest free number is the one open() gives, so filling 0, 1 and 2 in order puts
// /dev/null on exactly the closed ones.
int fillClosedStandardDescriptors() {
    int filled = 0;
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) return -1;
        filled |= 1 << fd;
    }
    return filled;
}

bool isOpenForWriting(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags != -1 && (flags & O_ACCMODE) != O_RDONLY;
}

}  // namespace velk
