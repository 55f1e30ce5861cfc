#include "fs/FileReplacement.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "fs/FileModes.h"

namespace velk {

int CFileReplacement::begin(int folderFd, const std::string& leafName, const std::string& temporaryName,
                            mode_t mode) {
    abandon();
    folder = folderFd;
    leaf = leafName;
    failed = "";
    file.reset(openat(folder, temporaryName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (file.get() < 0) return fail("open", errno);
    temporary = temporaryName;
    return 0;
}

int CFileReplacement::write(const char* data, size_t size) {
    for (size_t done = 0; done < size;) {
        const ssize_t written = ::write(file.get(), data + done, size - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return fail("write", written < 0 ? errno : ENOSPC);
        done += size_t(written);
    }
    return 0;
}

// The replaced file's owner first: fchown may clear set-ID bits, which fchmod then restores.
int CFileReplacement::seal() {
    struct stat existing;
    if (fstatat(folder, leaf.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(existing.st_mode)) {
        (void)fchown(file.get(), existing.st_uid, existing.st_gid);  // kept where the process may
        if (fchmod(file.get(), existing.st_mode & kModeBits) != 0) return fail("fchmod", errno);
    } else if (ownership.given && fchown(file.get(), ownership.user, ownership.group) != 0) {
        return fail("fchown", errno);
    }
    if (fsync(file.get()) != 0) return fail("fsync", errno);
    // A full disk may show up only when the file is closed.
    if (close(file.release()) != 0) return fail("close", errno);
    return 0;
}

int CFileReplacement::commit() {
    if (renameat(folder, temporary.c_str(), folder, leaf.c_str()) != 0) return fail("rename", errno);
    temporary.clear();
    if (fsync(folder) != 0) return fail("fsync", errno);
    return 0;
}

void CFileReplacement::abandon() {
    file.reset();
    if (!temporary.empty()) (void)unlinkat(folder, temporary.c_str(), 0);
    temporary.clear();
}

int CFileReplacement::fail(const char* call, int error) {
    failed = call;
    return error;
}

}  // namespace velk
