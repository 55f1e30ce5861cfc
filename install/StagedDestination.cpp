#include "install/StagedDestination.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "fs/FileModes.h"
#include "fs/FolderBelow.h"
#include "fs/HelperName.h"
#include "fs/Leftovers.h"
#include "fs/Message.h"
#include "install/TreeIndexFormat.h"
#include "install/VersionFile.h"

namespace velk {

namespace {

constexpr mode_t kPrivateMode = 0700;  // the staging folder and the probe, until the swap
constexpr const char* kAccessAcl = "system.posix_acl_access";
constexpr const char* kDefaultAcl = "system.posix_acl_default";

// "atomic install: DEST: WHAT(errno,text)": every refusal of the staged install starts so.
void sayAtomic(const std::string& shownDest, const std::string& what, int error) {
    brn::message("atomic install: %s: %s(%d,%s)\n", shownDest.c_str(), what.c_str(), error, strerror(error));
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

// A removal refused for want of a right (an immutable file, a folder of another user's, a
// read-only file system) or by a mount point fails the same way in the next run.
bool failsAgain(int error) { return error == EPERM || error == EACCES || error == EROFS || error == EXDEV; }

}  // namespace

DestOutcome CStagedDestination::refuse(DestOutcome outcome, const std::string& what, int error) const {
    sayAtomic(given, what, error);
    return outcome;
}

std::string CStagedDestination::shownTree() const {
    return staging.empty() ? given : shownParent() + "/" + staging;
}

DestOutcome CStagedDestination::prepare(const std::string&) {
    if (DestOutcome ready = openParentAndLock(); ready != DestOutcome::kReady) return ready;
    if (DestOutcome swappable = checkSwappable(); swappable != DestOutcome::kReady) return swappable;
    const uid_t user = destExisted ? destState.st_uid : geteuid();
    const gid_t group = destExisted ? destState.st_gid : getegid();
    // Before the leftovers go: the old tree a stopped update had not moved into its unit is one.
    takeOwner(user, group);
    const DestOutcome checked = checkKept(kept, keeping, destExisted ? &destState : nullptr);
    if (checked != DestOutcome::kReady) return checked;
    noteOwner(user, group);
    return makeStaging();
}

// DEST must be a directory of the parent's own file system, or missing, with no mount
// point below it: a swap cannot move a mount point, and would carry away what is mounted.
DestOutcome CStagedDestination::checkSwappable() {
    if (fstatat(parent.get(), name.c_str(), &destState, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) return refuse(DestOutcome::kCannotOpen, "cannot examine " + resolved, errno);
        return DestOutcome::kReady;
    }
    if (!S_ISDIR(destState.st_mode)) {
        brn::message("atomic install: %s is not a directory\n", given.c_str());
        return DestOutcome::kNotDirectory;
    }
    destExisted = true;
    struct stat above;
    if (fstat(parent.get(), &above) != 0 || above.st_dev != destState.st_dev ||
        isMountRoot(parent.get(), name.c_str())) {
        brn::message("atomic install: %s is a mount point, which cannot be swapped\n", given.c_str());
        return DestOutcome::kMountBelow;
    }
    oldTree.reset(openSubfolder(parent.get(), name));
    if (oldTree.get() < 0) return refuse(DestOutcome::kCannotOpen, "cannot open " + resolved, errno);
    std::string point;
    if (DestOutcome checked = mountBelow(oldTree.get(), point); checked != DestOutcome::kReady) return checked;
    if (point.empty()) return DestOutcome::kReady;
    brn::message("atomic install: %s%s is a mount point inside DEST, which cannot be swapped\n", given.c_str(),
                 point.c_str());
    return DestOutcome::kMountBelow;
}

// A folder beside DEST under a helper name nobody can know ahead, mode 0700: its name goes to
// `made` once it is made.
DestOutcome CStagedDestination::makePrivateFolder(const char* suffix, std::string& made) {
    const std::string folder = unpredictableName(name, suffix);
    if (folder.empty() || mkdirat(parent.get(), folder.c_str(), kPrivateMode) != 0) {
        return refuse(DestOutcome::kCannotOpen, "cannot make " + shownParent() + "/" + folder,
                      folder.empty() ? EAGAIN : errno);
    }
    made = folder;
    return DestOutcome::kReady;
}

// The staging folder gets a name no other run or user can know ahead, and mode 0700 (and, as
// root, DEST's owner): nobody but DEST's owner can read the tree it holds before it takes DEST's
// mode and ACLs right before the swap.
DestOutcome CStagedDestination::makeStaging() {
    if (DestOutcome made = makePrivateFolder(kStagingSuffix, staging); made != DestOutcome::kReady) return made;
    if (destExisted) {
        if (DestOutcome probed = probeExchange(); probed != DestOutcome::kReady) return probed;
    }
    tree.reset(openSubfolder(parent.get(), staging));
    if (tree.get() < 0) return refuse(DestOutcome::kCannotOpen, "cannot open " + shownTree(), errno);
    if (owner.given && fchown(tree.get(), owner.user, owner.group) != 0) {
        return refuse(DestOutcome::kCannotOpen, "cannot give " + shownTree() + " DEST's owner", errno);
    }
    return DestOutcome::kReady;
}

// Exchanges the empty staging folder with an empty probe folder: a file system that cannot
// exchange two names in one step says so here, before anything of DEST changes.
DestOutcome CStagedDestination::probeExchange() {
    std::string probe;
    if (DestOutcome made = makePrivateFolder(kProbeSuffix, probe); made != DestOutcome::kReady) return made;
    const int exchanged = renameat2(parent.get(), staging.c_str(), parent.get(), probe.c_str(), RENAME_EXCHANGE);
    const int error = errno;
    (void)unlinkat(parent.get(), probe.c_str(), AT_REMOVEDIR);
    if (exchanged == 0) return DestOutcome::kReady;
    return refuse(DestOutcome::kNotSwappable, "the file system cannot swap two folders in one step", error);
}

// Owner and group first: a change of owner may clear bits that the mode then sets again. The
// ACLs before the mode: the folder never grants more than DEST does on the way. A DEST that
// did not exist gets the mode a new folder gets here. False, printed, on a failure.
bool CStagedDestination::takeOverMetadata() {
    if (!destExisted) {
        if (fchmod(tree.get(), newFolderMode(parent.get())) == 0) return true;
        sayAtomic(given, "cannot give the new tree the mode of a new folder", errno);
        return false;
    }
    if (geteuid() == 0 && fchown(tree.get(), destState.st_uid, destState.st_gid) != 0) {
        sayAtomic(given, "cannot give the new tree DEST's owner", errno);
        return false;
    }
    for (const char* acl : {kDefaultAcl, kAccessAcl}) {
        if (int error = copyAcl(oldTree.get(), tree.get(), acl); error != 0) {
            sayAtomic(given, std::string("cannot give the new tree DEST's ") + acl, error);
            return false;
        }
    }
    if (fchmod(tree.get(), destState.st_mode & kModeBits) == 0) return true;
    sayAtomic(given, "cannot give the new tree DEST's mode", errno);
    return false;
}

// Staged: removes the staging folder and what it holds (after the swap: the old tree). 0, or
// the errno of the removal that failed (printed), the rest then left under the staging name.
int CStagedDestination::removeStaging() {
    if (staging.empty()) return 0;
    tree.reset();
    const int error = removeBeside(parent.get(), staging, shownTree());
    staging.clear();
    return error;
}

// Puts the staged tree in DEST's place, or the old tree back in it: the same step both ways.
int CStagedDestination::exchange(bool back) const {
    const int folder = parent.get();
    const char* staged = staging.c_str();
    const char* dest = name.c_str();
    if (destExisted) return renameat2(folder, staged, folder, dest, RENAME_EXCHANGE);
    if (back) return renameat2(folder, dest, folder, staged, RENAME_NOREPLACE);
    int renamed = renameat2(folder, staged, folder, dest, RENAME_NOREPLACE);
    if (renamed != 0 && errno == EINVAL) renamed = renameat(folder, staged, folder, dest);  // no NOREPLACE here
    return renamed;
}

// After the commit point: the old tree back in DEST, durably, and the message says so. Where
// the exchange back fails, DEST is the new tree, the old one is kept under the staging name for
// the next run to remove, and the version file does not name the tree in DEST.
CommitOutcome CStagedDestination::undoExchange(CommitOutcome outcome) {
    if (exchange(true) != 0) {
        const int error = errno;
        staging.clear();
        unitPlaced = false;  // a unit placed names the tree now in DEST: it stays
        sayAtomic(given, "the new tree is in place but the version file was not written", error);
        return CommitOutcome::kNoVersionForTree;
    }
    if (fsync(parent.get()) == 0) {
        brn::message("atomic install: %s: the swap was undone: DEST holds the old tree again\n", given.c_str());
        return outcome;
    }
    sayAtomic(given, "the swap was undone: DEST holds the old tree again, but not known to be durable", errno);
    return outcome;
}

// Once the version names the new tree, the old one, now under the staging name, goes. Where it
// cannot, the run still succeeded; the message says what is left, and whether the next run
// removes it.
void CStagedDestination::removeOldTree() {
    const std::string left = shownTree();
    const int error = removeStaging();
    if (error == 0) return;
    brn::message("atomic install: %s: the old tree is left in %s(%d,%s)\n", given.c_str(), left.c_str(), error,
                 strerror(error));
    if (!failsAgain(error)) {
        brn::message("atomic install: the next run removes the old tree\n");
        return;
    }
    brn::message("atomic install: no later run can remove it either until what refused it is mended; files "
                 "reused from it keep a second link there until then\n");
}

// Everything that can fail before the exchange: the staged tree whole, with its version when
// that lies inside DEST, and the version's temporary beside its file otherwise.
CommitOutcome CStagedDestination::prepareSwap(CVersionFile& version, const std::string& text) {
    const bool inside = !version.belowDest().empty();
    if (inside) {
        VersionOutcome written = version.stage(text, tree.get(), shownTree(), ownership());
        if (written == VersionOutcome::kDone) written = version.publish();
        if (written != VersionOutcome::kDone) return versionNotWritten(version);
    }
    if (!takeOverMetadata()) return CommitOutcome::kNotSwapped;
    if (!syncTree()) return CommitOutcome::kNotDurable;
    if (!inside && version.stage(text, tree.get(), shownTree(), ownership()) != VersionOutcome::kDone) {
        return versionNotWritten(version);
    }
    return CommitOutcome::kCommitted;
}

// The unit kept before knows DEST's version where it names DEST's folder, even where a stopped
// update left the version file behind; otherwise the version file says it.
DestOutcome CStagedDestination::readReplacedVersion(const CVersionFile& version) {
    if (!keepsReplacedTree() || kept.versionOf(destState, replacedVersion) ||
        version.readCurrent(oldTree.get(), replacedVersion) == VersionOutcome::kDone) {
        return DestOutcome::kReady;
    }
    brn::message("keep previous: the tree in %s cannot be kept without its version\n", given.c_str());
    return DestOutcome::kVersionUnreadable;
}

// Keeping, an update to the version DEST has already (a rerun after a stop, a repair) keeps
// the tree kept before: "previous" stays the other version.
CStagedDestination::Keeping CStagedDestination::keepingFor(const std::string& text) const {
    if (!keepsReplacedTree()) return Keeping::kNone;
    std::string keptVersion;
    const bool same = replacedVersion == text && kept.tree() >= 0 && kept.versionOf(kept.treeState(), keptVersion);
    return same ? Keeping::kSameUnit : Keeping::kNewUnit;
}

// The unit kept before, its versions naming the new tree too before the exchange, so that it
// pairs with DEST whichever tree a kill leaves there.
bool CStagedDestination::rekeyKeptUnit(const std::string& text) {
    struct stat staged;
    std::string keptVersion;
    (void)kept.versionOf(kept.treeState(), keptVersion);
    int error = fstat(tree.get(), &staged) != 0 ? errno : 0;
    if (error == 0) {
        error = kept.rewriteVersions({{staged.st_ino, text}, {destState.st_ino, text},
                                      {kept.treeState().st_ino, keptVersion}}, ownership());
    }
    if (error == 0) return true;
    sayAtomic(given, "cannot record the new tree with the kept one", error);
    return false;
}

// The unit that will keep the old tree, made with both trees' versions, the old index moved
// into it, and put at the fixed name before the exchange: from the commit point on, the version
// of the tree in DEST is on record, whatever the version file says yet. The unit kept before
// takes the fresh name, to go once the update is committed.
bool CStagedDestination::placeKeptUnit(const std::string& text) {
    struct stat staged;
    if (fstat(tree.get(), &staged) != 0) {
        sayAtomic(given, "fstat of the new tree failed", errno);
        return false;
    }
    unitName = CKeptTree::makeUnit(parent.get(), name, shownParent(), ownership(),
                                   {{staged.st_ino, text}, {destState.st_ino, replacedVersion}}, unitFolder);
    if (unitName.empty()) return false;
    const std::string index = helperName(name, kIndexSuffix);
    if (renameat(parent.get(), index.c_str(), unitFolder.get(), index.c_str()) != 0 && errno != ENOENT) dropOldIndex();
    if (int error = CKeptTree::install(parent.get(), name, unitName, unitReplaced); error != 0) {
        sayAtomic(given, "the unit that keeps the replaced tree cannot be put in place", error);
        return false;
    }
    unitPlaced = true;
    return true;
}

// After the version's rename: the old tree, under the staging name, goes into the unit. Where
// that fails the install still stands, the old tree goes, and no tree is kept.
void CStagedDestination::keepOldTree() {
    if (renameat(parent.get(), staging.c_str(), unitFolder.get(), CKeptTree::kTreeName) != 0) {
        sayAtomic(given, "the replaced tree cannot be kept", errno);
        removeOldTree();
    } else {
        staging.clear();
        if (fsync(unitFolder.get()) != 0 || fsync(parent.get()) != 0) {
            sayAtomic(given, "the kept tree is in place, but not known to be durable", errno);
        }
    }
    unitPlaced = false;  // the unit at the fixed name stays; what has the fresh name goes
    abandonUnit();
}

// A unit this run placed goes back where it was, with the old index beside DEST again, and
// the unit under the fresh name (this run's, or the one kept before once committed) is removed.
void CStagedDestination::abandonUnit() {
    if (unitName.empty()) return;
    if (unitPlaced && CKeptTree::uninstall(parent.get(), name, unitName, unitReplaced) == 0) {
        const std::string index = helperName(name, kIndexSuffix);
        (void)renameat2(unitFolder.get(), index.c_str(), parent.get(), index.c_str(), RENAME_NOREPLACE);
    }
    unitFolder.reset();
    (void)removeBeside(parent.get(), unitName, shownParent() + "/" + unitName);
    unitName.clear();
}

CommitOutcome CStagedDestination::commitTree(CVersionFile& version, const std::string& text) {
    if (CommitOutcome prepared = prepareSwap(version, text); prepared != CommitOutcome::kCommitted) return prepared;
    if (!lockStillHeld()) return CommitOutcome::kLockLost;
    const Keeping keepingWay = keepingFor(text);
    if (keepingWay == Keeping::kNewUnit) {
        if (!placeKeptUnit(text)) return CommitOutcome::kNotSwapped;
    } else if (keepingWay == Keeping::kSameUnit && !rekeyKeptUnit(text)) {
        return CommitOutcome::kNotSwapped;
    } else {
        // The old index names the old tree's folder, whose inode a later tree may get: it goes
        // before the swap, so that a kill before the new one is in place leaves none.
        dropOldIndex();
    }
    if (exchange(false) != 0) {
        sayAtomic(given, "swap failed", errno);
        return CommitOutcome::kNotSwapped;  // a unit placed goes back with the discard
    }
    if (fsync(parent.get()) != 0) {
        sayAtomic(given, "fsync of the parent failed", errno);
        return undoExchange(CommitOutcome::kNotSwapped);
    }
    if (version.belowDest().empty()) {
        const VersionOutcome published = version.publish();
        // Renamed already, the version names the new tree: going back would part them.
        if (published == VersionOutcome::kNotSynced) {
            brn::message("atomic install: %s: the new tree and its version are in place, but not known to be "
                         "durable\n", given.c_str());
            return CommitOutcome::kNotKnownDurable;
        }
        if (published != VersionOutcome::kDone) return undoExchange(versionNotWritten(version));
    }
    // The identities of reused files move once more as the old tree's names go: taken after.
    const CUniqueFd installed(fcntl(tree.get(), F_DUPFD_CLOEXEC, 0));
    if (keepingWay == Keeping::kNewUnit) {
        keepOldTree();
    } else {
        removeOldTree();
        if (keepingWay == Keeping::kNone) {
            (void)CKeptTree::remove(parent.get(), name, shownParent(), {owner.user, geteuid()});
        }
    }
    publishIndex(version, installed.get());
    return CommitOutcome::kCommitted;
}

}  // namespace velk
