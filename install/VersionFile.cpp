#include "install/VersionFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "install/Destination.h"
#include "fs/FileUtil.h"
#include "install/PathResolve.h"
#include "fs/UniqueFd.h"
#include "brn/tar/DiskEntryMaker.h"
#include "fs/Message.h"

namespace velk {

namespace {

constexpr int kNoFolder = -2;   // the folder cannot be made or reached
constexpr int kNoFile = -3;     // the temporary file cannot be made, or not renamed
constexpr int kNotWritten = -4; // a write, a sync or a close failed
constexpr mode_t kNewFileMode = 0600;

int report(const char* call, const std::string& path, int result) {
    const int error = errno;
    brn::message("version file: %s %s failed(%d,%s)\n", call, path.c_str(), error, strerror(error));
    return result;
}

// The folder that holds the version file, opened: through DEST's descriptor under the
// entries' rules when it lies in DEST, else by its path (made when missing).
int openFolder(const std::string& folder, const CDestination& dest, CUniqueFd& fd) {
    if (isAtOrBelow(folder, dest.path())) {
        brn::CDiskEntryMaker walker(dest.fd(), dest.shown() + "/");
        int opened = -1;
        const int result = walker.openDirectory(folder.substr(dest.path().size()), opened);
        fd.reset(opened);
        return result == brn::kSafePathOk ? 0 : kNoFolder;
    }
    if (!isDirectory(folder) && !makeDirs(folder)) return kNoFolder;
    fd.reset(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.get() >= 0 ? 0 : report("open", folder, kNoFile);
}

// Writes `text` into a new file `temporary` in `folder` and syncs it, with the mode (and
// owner) of `existing` when it is a regular file.
int writeTemporary(int folder, const std::string& temporary, const std::string& text, const struct stat* existing,
                   const std::string& shown) {
    (void)unlinkat(folder, temporary.c_str(), 0);  // left by an interrupted run
    CUniqueFd file(openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          kNewFileMode));
    if (file.get() < 0) return report("open", shown, kNoFile);
    if (writeAll(text.data(), int(text.size()), file.get()) != int(text.size())) return kNotWritten;
    if (existing != nullptr) {
        (void)fchown(file.get(), existing->st_uid, existing->st_gid);  // kept where the process may
        if (fchmod(file.get(), existing->st_mode & 07777) != 0) return report("fchmod", shown, kNotWritten);
    }
    if (fsync(file.get()) != 0) return report("fsync", shown, kNotWritten);
    if (close(file.release()) != 0) return report("close", shown, kNotWritten);
    return 0;
}

// A folder that takes no new file (it is not the updater's to write) around a version file
// that is: the file is written over in place, synced, as it always was, and not atomically.
int writeInPlace(int folder, const std::string& leaf, const std::string& text, const std::string& shown) {
    brn::message("version file %s: its folder takes no new file; written in place\n", shown.c_str());
    CUniqueFd file(openat(folder, leaf.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    if (file.get() < 0) return report("open", shown, kNoFile);
    if (writeAll(text.data(), int(text.size()), file.get()) != int(text.size())) return kNotWritten;
    if (ftruncate(file.get(), off_t(text.size())) != 0) return report("ftruncate", shown, kNotWritten);
    if (fsync(file.get()) != 0) return report("fsync", shown, kNotWritten);
    return close(file.release()) == 0 ? 0 : report("close", shown, kNotWritten);
}

bool isReadOnlyFolder(int error) { return error == EACCES || error == EPERM || error == EROFS; }

int replaceIn(int folder, const std::string& leaf, const std::string& text, const std::string& shown) {
    struct stat st;
    const bool exists = fstatat(folder, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    const bool regular = exists && S_ISREG(st.st_mode);
    const std::string temporary = "." + leaf + ".velk-new";
    if (regular && faccessat(folder, ".", W_OK, AT_EACCESS) != 0 && isReadOnlyFolder(errno)) {
        return writeInPlace(folder, leaf, text, shown);
    }
    int result = writeTemporary(folder, temporary, text, regular ? &st : nullptr, shown);
    if (result == 0 && renameat(folder, temporary.c_str(), folder, leaf.c_str()) != 0) {
        result = report("rename", shown, kNoFile);
    }
    if (result != 0) {
        (void)unlinkat(folder, temporary.c_str(), 0);
        return result;
    }
    return fsync(folder) == 0 ? 0 : report("fsync", parentDir(shown), kNotWritten);
}

// lstat: below DEST a link at the name is replaced, never followed to a device.
bool isDevice(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode));
}

}  // namespace

int replaceVersionFile(const std::string& text, const std::string& path, const CDestination& dest) {
    if (text.empty() || text.size() > size_t(INT_MAX)) return kNotWritten;
    const ResolvedPath resolved = resolvePath(path, true, dest.path());
    if (!resolved.ok) {
        if (resolved.error == ELOOP) {
            brn::message("version file %s: refusing to go through the symbolic link %s\n", path.c_str(),
                   resolved.failedAt.c_str());
        } else {
            errno = resolved.error;
            report("lstat", resolved.failedAt, 0);
        }
        return kNoFolder;
    }
    if (isDevice(resolved.path)) return writeFile(text, resolved.path);
    CUniqueFd folder;
    if (int opened = openFolder(parentDir(resolved.path), dest, folder); opened != 0) return opened;
    return replaceIn(folder.get(), resolved.path.substr(resolved.path.rfind('/') + 1), text, path);
}

}  // namespace velk
