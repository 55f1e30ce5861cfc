#include "install/Destination.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "brn/tar/SafePath.h"
#include "fs/FileModes.h"
#include "fs/FileUtil.h"
#include "fs/HelperName.h"
#include "fs/Leftovers.h"
#include "fs/Message.h"
#include "fs/MountPoints.h"
#include "fs/TreeRemover.h"
#include "install/ExitStatus.h"
#include "install/PathResolve.h"

namespace velk {

namespace {

constexpr mode_t kPrivateMode = 0700;  // the staging folder and the probe, until the swap
constexpr const char* kStagingSuffix = ".velk-staging";
constexpr const char* kProbeSuffix = ".velk-probe";
constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
constexpr const char* kAccessAcl = "system.posix_acl_access";
constexpr const char* kDefaultAcl = "system.posix_acl_default";

int report(const std::string& shown, const std::string& what, int error) {
    brn::message("dest %s: %s(%d,%s)\n", shown.c_str(), what.c_str(), error, strerror(error));
    return kExitIncomplete;
}

int refuseNotDirectory(const std::string& shown) {
    brn::message("dest %s is not a directory\n", shown.c_str());
    return kExitIncomplete;
}

// Copies one ACL of `from` to `to`, or removes it from `to` when `from` has none. 0 or errno;
// a file system without ACLs has nothing to copy.
int copyAcl(int from, int to, const char* acl) {
    const ssize_t size = fgetxattr(from, acl, nullptr, 0);
    if (size < 0) {
        if (errno == ENOTSUP) return 0;
        if (errno != ENODATA) return errno;
        return fremovexattr(to, acl) == 0 || errno == ENODATA || errno == ENOTSUP ? 0 : errno;
    }
    std::vector<char> value(size_t(size) + 1);
    const ssize_t got = fgetxattr(from, acl, value.data(), value.size());
    if (got < 0) return errno;
    return fsetxattr(to, acl, value.data(), size_t(got), 0) == 0 ? 0 : errno;
}

// The mode mkdir gives a new folder in `parent`: 0755 less the umask, or 0755 itself where the
// parent has a default ACL, which then takes the umask's place.
mode_t newFolderMode(int parent) {
    if (fgetxattr(parent, kDefaultAcl, nullptr, 0) > 0) return kNewFolderMode;
    return kNewFolderMode & ~processUmask();
}

}  // namespace

int reportAtomic(const std::string& shownDest, const std::string& what, int error) {
    brn::message("atomic install: %s: %s(%d,%s)\n", shownDest.c_str(), what.c_str(), error, strerror(error));
    return kExitIncomplete;
}

CDestination::CDestination(std::string dest) : given(std::move(dest)) {}

int CDestination::resolve() {
    if (given.empty()) return kExitUsage;
    const ResolvedPath result = resolvePath(given, true);
    if (!result.ok && result.error == EACCES && result.untrustedLink) {
        brn::message("dest %s: refusing to follow the symbolic link %s: it belongs to another user of a shared "
                     "folder\n", given.c_str(), result.failedAt.c_str());
        return kExitIncomplete;
    }
    if (!result.ok) return report(given, "cannot resolve " + result.failedAt, result.error);
    if (result.path == "/") return kExitUsage;
    resolved = result.path;
    name = resolved.substr(resolved.rfind('/') + 1);
    return kExitOk;
}

std::string CDestination::shownParent() const { return parentDir(resolved); }

std::string CDestination::shownTree() const {
    return staging.empty() ? given : shownParent() + "/" + staging;
}

int CDestination::prepareInPlace(const std::string& keepBelow) {
    if (int opened = openParent(); opened != kExitOk) return opened;
    if (int locked = lock.take(parent.get(), name, given, shownParent()); locked != kExitOk) return locked;
    if (int opened = openDest(); opened != kExitOk) return opened;
    struct stat st;
    if (fstat(tree.get(), &st) != 0) return report(given, "fstat", errno);
    noteOwner(st.st_uid, st.st_gid);
    if (int mounted = refuseMountBelow(tree.get(), false); mounted != kExitOk) return mounted;
    return emptyKeeping(keepBelow);
}

// Root installing into a tree that belongs to another user gives every entry that user's owner
// and group. Helpers that an earlier run left beside DEST are removed while the lock is held, so
// that no live run's are among them, and only those of DEST's owner or of the updater: another
// user's name of the same form stays, and neither blocks the run nor is removed through it.
void CDestination::noteOwner(uid_t user, gid_t group) {
    owner.given = geteuid() == 0 && (user != geteuid() || group != getegid());
    owner.user = user;
    owner.group = group;
    (void)removeLeftovers(parent.get(), shownParent(), name, {kStagingSuffix, kProbeSuffix}, {user, geteuid()});
}

// The parent is made when missing, as DEST itself would have been with all its levels.
int CDestination::openParent() {
    const std::string dir = shownParent();
    if (!isDirectory(dir) && !makeDirs(dir)) return refuseNotDirectory(given);
    parent.reset(open(dir.c_str(), kDirFlags));
    if (parent.get() < 0) return errno == ENOTDIR ? refuseNotDirectory(given) : report(given, "open " + dir, errno);
    return kExitOk;
}

// DEST is opened without following a link: its path was resolved, so a link there now is
// not the directory that was named.
int CDestination::openDest() {
    if (mkdirat(parent.get(), name.c_str(), kNewFolderMode) != 0 && errno != EEXIST) {
        return report(given, "mkdir " + resolved, errno);
    }
    tree.reset(openat(parent.get(), name.c_str(), kDirFlags | O_NOFOLLOW));
    if (tree.get() < 0) {
        return errno == ENOTDIR || errno == ELOOP ? refuseNotDirectory(given) : report(given, "open", errno);
    }
    return kExitOk;
}

// Emptying never crosses into another file system, and a swap would carry one away: a mount
// point below DEST is found here, before anything is removed or swapped.
int CDestination::refuseMountBelow(int dirFd, bool forSwap) const {
    const MountBelow below = findMountBelow(resolved, dirFd, given);
    if (!below.checked && below.error != 0) return report(given, "cannot read /proc/self/mountinfo", below.error);
    if (!below.checked) {
        brn::message("dest %s cannot be checked for mount points below it\n", given.c_str());
        return kExitIncomplete;
    }
    if (!below.found) return kExitOk;
    if (forSwap) {
        brn::message("atomic install: %s%s is a mount point inside DEST, which cannot be swapped\n", given.c_str(),
                     below.point.c_str());
        return kExitIncomplete;
    }
    brn::message("%s%s is a mount point: nothing on it is removed\n", given.c_str(), below.point.c_str());
    brn::message("dest %s cannot be emptied (%d)\n", given.c_str(), CTreeRemover::kMountPoint);
    return kExitIncomplete;
}

// The file at `keepBelow` is looked up without following a link: one on the way, or anything
// but a regular file there, is no version file to keep.
int CDestination::emptyKeeping(const std::string& keepBelow) {
    CTreeRemover remover(tree.get(), given);
    std::vector<std::string> parts = brn::pathComponents(keepBelow);
    if (!parts.empty()) {
        const std::string leafName = std::move(parts.back());
        parts.pop_back();
        CUniqueFd folder(openat(tree.get(), ".", kDirFlags));
        for (size_t level = 0; folder.get() >= 0 && level < parts.size(); ++level) {
            folder.reset(openat(folder.get(), parts[level].c_str(), kDirFlags | O_NOFOLLOW));
        }
        struct stat st;
        if (folder.get() >= 0 && fstatat(folder.get(), leafName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            remover.keep(st.st_dev, st.st_ino);
        }
    }
    if (int removed = remover.run(); removed < 0) {
        brn::message("dest %s cannot be emptied (%d)\n", given.c_str(), removed);
        return kExitIncomplete;
    }
    return kExitOk;
}

int CDestination::prepareStaged() {
    if (int opened = openParent(); opened != kExitOk) return opened;
    if (int locked = lock.take(parent.get(), name, given, shownParent()); locked != kExitOk) return locked;
    if (int swappable = checkSwappable(); swappable != kExitOk) return swappable;
    if (destExisted) {
        noteOwner(destState.st_uid, destState.st_gid);
    } else {
        noteOwner(geteuid(), getegid());
    }
    return makeStaging();
}

// DEST must be a directory of the parent's own file system, or missing, with no mount
// point below it: a swap cannot move a mount point, and would carry away what is mounted.
int CDestination::checkSwappable() {
    if (fstatat(parent.get(), name.c_str(), &destState, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) return reportAtomic(given, "cannot examine " + resolved, errno);
        return kExitOk;
    }
    if (!S_ISDIR(destState.st_mode)) {
        brn::message("atomic install: %s is not a directory\n", given.c_str());
        return kExitIncomplete;
    }
    destExisted = true;
    struct stat above;
    if (fstat(parent.get(), &above) != 0 || above.st_dev != destState.st_dev ||
        isMountRoot(parent.get(), name.c_str())) {
        brn::message("atomic install: %s is a mount point, which cannot be swapped\n", given.c_str());
        return kExitIncomplete;
    }
    oldTree.reset(openat(parent.get(), name.c_str(), kDirFlags | O_NOFOLLOW));
    if (oldTree.get() < 0) return reportAtomic(given, "cannot open " + resolved, errno);
    return refuseMountBelow(oldTree.get(), true);
}

// The staging folder gets a name no other run or user can know ahead, and mode 0700 (and, as
// root, DEST's owner): nobody but DEST's owner can read the tree it holds before it takes DEST's
// mode and ACLs right before the swap.
int CDestination::makeStaging() {
    const std::string folder = unpredictableName(name, kStagingSuffix);
    if (folder.empty() || mkdirat(parent.get(), folder.c_str(), kPrivateMode) != 0) {
        return reportAtomic(given, "cannot make " + shownParent() + "/" + folder, folder.empty() ? EAGAIN : errno);
    }
    staging = folder;
    if (destExisted) {
        if (int probed = probeExchange(); probed != kExitOk) return probed;
    }
    tree.reset(openat(parent.get(), staging.c_str(), kDirFlags | O_NOFOLLOW));
    if (tree.get() < 0) return reportAtomic(given, "cannot open " + shownTree(), errno);
    if (owner.given && fchown(tree.get(), owner.user, owner.group) != 0) {
        return reportAtomic(given, "cannot give " + shownTree() + " DEST's owner", errno);
    }
    return kExitOk;
}

// Exchanges the empty staging folder with an empty probe folder: a file system that cannot
// exchange two names in one step says so here, before anything of DEST changes.
int CDestination::probeExchange() {
    const std::string probe = unpredictableName(name, kProbeSuffix);
    if (probe.empty() || mkdirat(parent.get(), probe.c_str(), kPrivateMode) != 0) {
        return reportAtomic(given, "cannot make " + shownParent() + "/" + probe, probe.empty() ? EAGAIN : errno);
    }
    const int exchanged = renameat2(parent.get(), staging.c_str(), parent.get(), probe.c_str(), RENAME_EXCHANGE);
    const int error = errno;
    (void)unlinkat(parent.get(), probe.c_str(), AT_REMOVEDIR);
    if (exchanged == 0) return kExitOk;
    return reportAtomic(given, "the file system cannot swap two folders in one step", error);
}

// Owner and group first: a change of owner may clear bits that the mode then sets again. The
// ACLs before the mode: the folder never grants more than DEST does on the way. A DEST that
// did not exist gets the mode a new folder gets here.
int CDestination::takeOverMetadata() {
    if (!destExisted) {
        if (fchmod(tree.get(), newFolderMode(parent.get())) == 0) return kExitOk;
        return reportAtomic(given, "cannot give the new tree the mode of a new folder", errno);
    }
    if (geteuid() == 0 && fchown(tree.get(), destState.st_uid, destState.st_gid) != 0) {
        return reportAtomic(given, "cannot give the new tree DEST's owner", errno);
    }
    for (const char* acl : {kDefaultAcl, kAccessAcl}) {
        if (int error = copyAcl(oldTree.get(), tree.get(), acl); error != 0) {
            return reportAtomic(given, std::string("cannot give the new tree DEST's ") + acl, error);
        }
    }
    if (fchmod(tree.get(), destState.st_mode & kModeBits) != 0) {
        return reportAtomic(given, "cannot give the new tree DEST's mode", errno);
    }
    return kExitOk;
}

int CDestination::discard() {
    if (staging.empty()) return 0;
    tree.reset();
    const int error = removeBeside(parent.get(), staging, shownTree());
    staging.clear();
    return error;
}

}  // namespace velk
