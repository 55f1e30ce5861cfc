#include "install/InstallLock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fs/FileModes.h"
#include "fs/HelperName.h"
#include "fs/Message.h"

namespace velk {

namespace {

// O_NONBLOCK: a FIFO planted at the name must not hold the run; fstat then refuses it.
constexpr int kLockFlags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// A write lock needs a descriptor open for writing: a lock file anyone may write, anyone may
// hold. In a sticky folder anyone may write (/tmp), another user may have made it first, so
// there it must belong to the updater, to the folder's owner or to DEST's, as the kernel's
// fs.protected_regular decides for files made there.
bool onlyUpdatersMayLock(const struct stat& lock, const struct stat& folder, uid_t destOwner) {
    const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
    const bool trustedOwner =
        !shared || lock.st_uid == geteuid() || lock.st_uid == folder.st_uid || lock.st_uid == destOwner;
    return trustedOwner && (lock.st_mode & S_IWOTH) == 0;
}

}  // namespace

// Root makes the lock file for DEST's owner: a service user that owns DEST may then take
// the same lock in its own runs, and gains no power over DEST it did not have.
LockOutcome CInstallLock::take(int parent, const std::string& name, const std::string& shownDest,
                              const std::string& shownParent) {
    folder = parent;
    lockName = helperName(name, ".velk-lock");
    shownLock = shownParent + "/" + lockName;
    struct stat dest;
    const bool destExists = fstatat(parent, name.c_str(), &dest, AT_SYMLINK_NOFOLLOW) == 0;
    file.reset(openat(parent, lockName.c_str(), kLockFlags | O_CREAT | O_EXCL, kNewFileMode));
    if (file.get() >= 0 && destExists && geteuid() == 0) (void)fchown(file.get(), dest.st_uid, dest.st_gid);
    if (file.get() < 0 && errno == EEXIST) file.reset(openat(parent, lockName.c_str(), kLockFlags));
    if (file.get() < 0) return refuse(LockOutcome::kRefused, "cannot open the lock file", errno);
    struct stat st, folder;
    if (fstat(file.get(), &st) != 0 || fstat(parent, &folder) != 0) {
        return refuse(LockOutcome::kRefused, "cannot examine the lock file", errno);
    }
    if (!S_ISREG(st.st_mode)) return refuse(LockOutcome::kRefused, "the lock file is not a regular file", EINVAL);
    if (!onlyUpdatersMayLock(st, folder, destExists ? dest.st_uid : geteuid())) {
        return refuse(LockOutcome::kRefused,
                      "another user could hold the lock file (anyone may write it, or another user made it)", EPERM);
    }
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (fcntl(file.get(), F_OFD_SETLK, &whole) == 0) return check();
    if (errno != EAGAIN && errno != EACCES) return refuse(LockOutcome::kRefused, "cannot lock", errno);
    brn::message("dest %s is busy: another update is running\n", shownDest.c_str());
    return LockOutcome::kBusy;
}

LockOutcome CInstallLock::check() const {
    struct stat locked, named;
    if (fstat(file.get(), &locked) != 0) return refuse(LockOutcome::kLost, "cannot examine the lock file", errno);
    const bool found = fstatat(folder, lockName.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0;
    if (found && named.st_dev == locked.st_dev && named.st_ino == locked.st_ino) return LockOutcome::kHeld;
    return refuse(LockOutcome::kLost, "the lock file was removed or replaced while it was held", found ? ESTALE : errno);
}

LockOutcome CInstallLock::refuse(LockOutcome outcome, const std::string& what, int error) const {
    brn::message("lock %s: %s(%d,%s)\n", shownLock.c_str(), what.c_str(), error, strerror(error));
    return outcome;
}

}  // namespace velk
