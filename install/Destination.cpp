#include "install/Destination.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fs/HelperName.h"
#include "fs/Leftovers.h"
#include "fs/Message.h"
#include "fs/MountPoints.h"
#include "install/FolderCursor.h"
#include "install/KeptTree.h"
#include "install/PathResolve.h"
#include "install/VersionFile.h"

namespace velk {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

DestOutcome fromLock(LockOutcome outcome) {
    switch (outcome) {
        case LockOutcome::kHeld: return DestOutcome::kReady;
        case LockOutcome::kBusy: return DestOutcome::kBusy;
        case LockOutcome::kRefused: return DestOutcome::kLockRefused;
        case LockOutcome::kLost: break;
    }
    return DestOutcome::kLockLost;
}

}  // namespace

CDestination::CDestination(std::string dest) : given(std::move(dest)) {}

DestOutcome CDestination::resolve() {
    if (given.empty()) return DestOutcome::kUnusable;
    const ResolvedPath result = resolvePath(given, true);
    if (!result.ok && result.error == EACCES && result.untrustedLink) {
        brn::message("dest %s: refusing to follow the symbolic link %s: it belongs to another user of a shared "
                     "folder\n", given.c_str(), result.failedAt.c_str());
        return DestOutcome::kUnresolvable;
    }
    if (!result.ok) return report(DestOutcome::kUnresolvable, "cannot resolve " + result.failedAt, result.error);
    if (result.path == "/") return DestOutcome::kUnusable;
    resolved = result.path;
    name = resolved.substr(resolved.rfind('/') + 1);
    return DestOutcome::kReady;
}

std::string CDestination::shownParent() const { return parentDir(resolved); }

DestOutcome CDestination::report(DestOutcome outcome, const std::string& what, int error) const {
    brn::message("dest %s: %s(%d,%s)\n", given.c_str(), what.c_str(), error, strerror(error));
    return outcome;
}

DestOutcome CDestination::refuseNotDirectory() const {
    brn::message("dest %s is not a directory\n", given.c_str());
    return DestOutcome::kNotDirectory;
}

// The parent is made when missing, as DEST itself would have been with all its levels.
DestOutcome CDestination::openParentAndLock() {
    const std::string dir = shownParent();
    if (!isDirectory(dir) && !makeDirs(dir)) return refuseNotDirectory();
    parent.reset(open(dir.c_str(), kDirFlags));
    if (parent.get() < 0) {
        return errno == ENOTDIR ? refuseNotDirectory() : report(DestOutcome::kCannotOpen, "open " + dir, errno);
    }
    return fromLock(lock.take(parent.get(), name, given, dir));
}

// Root installing into a tree that belongs to another user gives every entry that user's owner
// and group. Helpers that an earlier run left beside DEST are removed while the lock is held, so
// that no live run's are among them, and only those of DEST's owner or of the updater: another
// user's name of the same form stays, and neither blocks the run nor is removed through it.
void CDestination::noteOwner(uid_t user, gid_t group) {
    takeOwner(user, group);
    (void)removeLeftovers(parent.get(), shownParent(), name,
                          {kStagingSuffix, kProbeSuffix, kIndexTemporarySuffix, CKeptTree::kUnitSuffix},
                          {user, geteuid()});
    index.begin(parent.get(), name, shownParent(), owner);
}

void CDestination::takeOwner(uid_t user, gid_t group) {
    owner.given = geteuid() == 0 && (user != geteuid() || group != getegid());
    owner.user = user;
    owner.group = group;
}

IndexOpen CDestination::readOldIndex(CTreeIndexReader& reader) const {
    const int old = reusableTree();
    struct stat st;
    if (old < 0 || fstat(old, &st) != 0) return IndexOpen::kMissing;
    return reader.open(parent.get(), name, old, {st.st_uid, geteuid()});
}

void CDestination::dropOldIndex() {
    (void)removeLeftovers(parent.get(), shownParent(), name, {kIndexSuffix}, {owner.user, geteuid()});
}

void CDestination::publishIndex(const CVersionFile& version, int installed) {
    if (!version.belowDest().empty()) index.addEntry(IndexKind::kOwn, treePath(version.belowDest()));
    (void)index.publish(installed);
}

// A rollback marked as interrupted is completed by --rollback alone: an update now would
// install over a version file that may not name DEST's tree yet. Keeping needs the unit's name
// to be free or a unit of ours: another user's name there is never exchanged or removed.
DestOutcome CDestination::checkKept(CKeptTree& kept, bool keeping, const struct stat* dest) const {
    const KeptOpen opened = kept.open(parent.get(), name, {owner.user, geteuid()});
    ino_t marked = 0;
    if (opened == KeptOpen::kOpen && kept.pendingRollback(marked)) {
        brn::message("dest %s: a rollback was interrupted: run velk-unpack --rollback %s VERSION-FILE again to "
                     "complete it\n", given.c_str(), given.c_str());
        return DestOutcome::kKeptRefused;
    }
    const bool adopted = opened == KeptOpen::kOpen && dest != nullptr &&
                         kept.adoptTree(parent.get(), name, *dest, kStagingSuffix, {owner.user, geteuid()});
    // A unit left without its tree names folders that are gone, whose inodes a later folder may
    // get: it goes (its versions stay known to `kept` for this run).
    if (opened == KeptOpen::kOpen && !adopted) {
        (void)CKeptTree::remove(parent.get(), name, shownParent(), {owner.user, geteuid()});
    }
    if (opened != KeptOpen::kForeign || !keeping) return DestOutcome::kReady;
    brn::message("keep previous: %s/%s is not one this program kept: no tree is kept over it\n",
                 shownParent().c_str(), helperName(name, CKeptTree::kSuffix).c_str());
    return DestOutcome::kKeptRefused;
}

// Emptying never crosses into another file system, and a swap would carry one away: a mount
// point below DEST is found before anything is removed or swapped.
DestOutcome CDestination::mountBelow(int dirFd, std::string& point) const {
    const MountBelow below = findMountBelow(resolved, dirFd, given);
    if (!below.checked && below.error != 0) {
        return report(DestOutcome::kMountBelow, "cannot read /proc/self/mountinfo", below.error);
    }
    if (!below.checked) {
        brn::message("dest %s cannot be checked for mount points below it\n", given.c_str());
        return DestOutcome::kMountBelow;
    }
    point = below.found ? below.point : std::string();
    return DestOutcome::kReady;
}

bool CDestination::syncTree() const {
    if (syncfs(tree.get()) == 0) return true;
    const int error = errno;
    brn::message("dest %s: syncfs failed(%d,%s)\n", given.c_str(), error, strerror(error));
    return false;
}

CommitOutcome CDestination::versionNotWritten(const CVersionFile& version) {
    brn::message("write version file %s failed\n", version.shown().c_str());
    return CommitOutcome::kVersionNotWritten;
}

CommitOutcome CDestination::commit(CVersionFile& version, const std::string& text) {
    const CommitOutcome outcome = commitTree(version, text);
    if (outcome != CommitOutcome::kCommitted) version.abandon();
    return outcome;
}

}  // namespace velk
