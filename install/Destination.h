#pragma once
// CDestination is DEST for one run of velk-unpack: where the new tree is made, and how it is
// committed. Before anything in it changes, DEST is resolved once (install/PathResolve.h: the
// root, however spelled, is refused, and so is a symbolic link another user planted in a shared
// folder on the way), its parent is made when missing and opened, and the run's lock is taken
// (install/InstallLock.h). Under the lock, the staging folders and probes an earlier run left
// beside DEST go (those of DEST's owner or the updater; fs/Leftovers.h). The two kinds then
// prepare and commit each in their own way: in place (install/InPlaceDestination.h) or staged
// beside DEST and swapped in (install/StagedDestination.h). Entries are made through fd() from
// then on, never through a path again; as root in a DEST of another user's, they get DEST's
// owner and group (ownership()). Commit is the end of an install: the new tree is made durable
// before the version file names it, and everything that can fail comes before the commit point.
// Every successful install leaves an index of its tree beside DEST (install/TreeIndexWriter.h),
// recorded as entries are made (newIndex) and put in place by the commit.
// Calling order: resolve, prepare, entries through fd(), then commit or discard. The
// descriptors, the lock and the index being written live as long as the object.

#include <sys/types.h>

#include <string>

#include "fs/FileUtil.h"
#include "fs/UniqueFd.h"
#include "install/InstallLock.h"
#include "install/KeptTree.h"
#include "install/TreeIndexReader.h"
#include "install/TreeIndexWriter.h"

namespace velk {

class CVersionFile;

// What resolving and preparing DEST comes to. Every outcome but kReady and kUnusable is printed.
enum class DestOutcome {
    kReady,
    kUnusable,      // resolve: DEST is empty or resolves to the root (nothing printed: a usage error)
    kUnresolvable,  // resolve: a component cannot be examined, or a link another user planted
    kNotDirectory,  // DEST, or the folder that holds it, is no folder
    kCannotOpen,    // DEST, its parent or the staging folder cannot be made, opened or examined
    kBusy,          // another run holds the lock
    kLockRefused,   // no lock can be taken (install/InstallLock.h)
    kLockLost,      // the lock file was removed or replaced right after it was taken
    kMountBelow,    // DEST is or holds a mount point, or cannot be checked for one
    kCannotEmpty,   // in place: something in DEST cannot be removed
    kNotSwappable,  // staged: the file system cannot exchange two folders in one step
    kNothingKept,   // rollback: no kept tree that DEST replaced (install/KeptTree.h)
    kKeptRefused,   // staged: a kept tree cannot be kept or replaced, or a rollback was interrupted
    kVersionUnreadable,  // keeping: the version of the tree to keep cannot be read
};

// What committing the tree comes to. Every outcome but kCommitted is printed.
enum class CommitOutcome {
    kCommitted,          // the tree is DEST, durably, and the version file names it
    kNotDurable,         // the tree could not be synced: the version file is as it was
    kVersionNotWritten,  // the version file could not be written: it is as it was, and so, staged, is DEST
    kLockLost,           // the lock file was removed or replaced: nothing more was changed
    kNotSwapped,         // staged: the tree could not take DEST's place, or the swap was undone
    kNoVersionForTree,   // staged: the new tree is in place, but the version file was not written
    kNotKnownDurable,    // staged: the new tree and its version are in place, not known to be durable
};

class CDestination {
public:
    // `given` is DEST as the caller wrote it; messages show it so.
    explicit CDestination(std::string given);
    virtual ~CDestination() = default;
    CDestination(const CDestination&) = delete;
    CDestination& operator=(const CDestination&) = delete;

    DestOutcome resolve();
    // Locks DEST and readies the folder entries are made in. `keepBelow` (when not empty) is a
    // path below DEST whose regular file an emptying keeps: the version file.
    virtual DestOutcome prepare(const std::string& keepBelow) = 0;
    // After prepare: where the tree DEST holds is to be kept (--keep-previous), its version,
    // read before anything changes; kVersionUnreadable (printed) where it cannot be read.
    virtual DestOutcome readReplacedVersion(const CVersionFile&) { return DestOutcome::kReady; }
    // `text` is the version, not empty. Whatever it comes to, nothing staged for the version
    // file is left behind.
    CommitOutcome commit(CVersionFile& version, const std::string& text);
    // A tree not committed goes (staged); in place nothing changes.
    virtual void discard() {}

    // The folder entries are made in, and its name in messages.
    int fd() const { return tree.get(); }
    virtual std::string shownTree() const { return given; }
    // What entries made in the tree get: DEST's owner and group when root installs into
    // another user's DEST.
    const Ownership& ownership() const { return owner; }
    // The old tree, whose files an entry maker may reuse (install/ReusingEntryMaker.h); -1 where
    // there is none apart from the tree being made.
    virtual int reusableTree() const { return -1; }
    // The tree an earlier update kept beside DEST (install/KeptTree.h), whose names of the old
    // tree's files do not stop their reuse; -1 where there is none.
    virtual int keptTree() const { return -1; }
    // The index the commit puts beside DEST, recorded as the tree is made.
    CTreeIndexWriter& newIndex() { return index; }
    // The old tree's index into `reader` (staged: DEST as it was): usable only where it is a
    // private file of DEST's owner or the updater, whole, and made for DEST's folder.
    IndexOpen readOldIndex(CTreeIndexReader& reader) const;
    const std::string& shown() const { return given; }
    const std::string& path() const { return resolved; }

protected:
    // The helper names beside DEST (fs/HelperName.h): the staged tree, and the probe of a swap.
    static constexpr const char* kStagingSuffix = ".velk-staging";
    static constexpr const char* kProbeSuffix = ".velk-probe";

    DestOutcome openParentAndLock();
    void noteOwner(uid_t user, gid_t group);
    // What entries made get (see ownership()), without noteOwner's cleaning.
    void takeOwner(uid_t user, gid_t group);
    // The first mount point strictly below the folder `dirFd` (DEST, as found) into `point`
    // ("/sub/mnt"; empty when there is none), and kReady; kMountBelow (printed) where it cannot
    // be told.
    DestOutcome mountBelow(int dirFd, std::string& point) const;
    // "dest DEST: WHAT(errno,text)", and `outcome`.
    DestOutcome report(DestOutcome outcome, const std::string& what, int error) const;
    DestOutcome refuseNotDirectory() const;
    // Under the lock, the kept unit opened into `kept`, given its tree where a stopped update
    // left it waiting beside DEST (`dest`, null where DEST is missing), and removed where it
    // has none: kKeptRefused (printed) while a rollback is marked as interrupted, or, when
    // `keeping`, where the unit's name holds something that is not a unit of ours.
    DestOutcome checkKept(CKeptTree& kept, bool keeping, const struct stat* dest) const;
    // syncfs of the tree; false, printed, when it fails.
    bool syncTree() const;
    bool lockStillHeld() const { return lock.check() == LockOutcome::kHeld; }
    // Records the version file inside DEST as the run's own, and puts the index of the tree in
    // the folder `installed` (DEST now) in place. A failure is printed, never the install's.
    void publishIndex(const CVersionFile& version, int installed);
    // Removes the old tree's index (DEST's owner's or the updater's) before the tree it names is
    // changed: from then until the new one is in place, there is none.
    void dropOldIndex();
    // "write version file PATH failed" after the version file's own line, and kVersionNotWritten.
    static CommitOutcome versionNotWritten(const CVersionFile& version);
    std::string shownParent() const;

    std::string given;
    std::string resolved;  // absolute, no links, never "/"
    std::string name;      // last component of `resolved`
    Ownership owner;       // see ownership()
    CUniqueFd parent;      // the directory that holds DEST
    CUniqueFd tree;        // the folder entries are made in
    CTreeIndexWriter index;

private:
    virtual CommitOutcome commitTree(CVersionFile& version, const std::string& text) = 0;

    CInstallLock lock;
};

}  // namespace velk
