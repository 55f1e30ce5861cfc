#pragma once
// CDestination is DEST for one run of velk-unpack: where the new tree is made. Before anything
// in it changes, DEST is resolved once (install/PathResolve.h: the root, however spelled, is
// refused, and so is a symbolic link another user planted in a shared folder on the way), its
// parent is made when missing and opened, and the run's lock is taken (install/InstallLock.h).
// Under the lock, the staging folders and probes an earlier run left beside DEST go (those of
// DEST's owner or the updater; fs/Leftovers.h). Then either
//   in place: DEST is made when missing, opened once, checked to hold no mount point
//             (fs/MountPoints.h), and emptied through its descriptor (fs/TreeRemover.h), keeping
//             the version file when it lies inside; or
//   staged:   it is checked that DEST can be swapped in one step, and a staging folder
//             ".NAME.<16 random hex digits>.velk-staging" is made beside it, mode 0700, and
//             opened. install/Commit.h gives it DEST's mode and ACLs and swaps it in.
// Entries are made through fd() from then on, never through a path again; as root in a DEST of
// another user's, they get DEST's owner and group (ownership()). The helper names beside DEST
// fit any legal NAME (fs/HelperName.h), and those of a run are its own: no other run or user
// can know them ahead. A staging folder not committed is removed on every way out. Calling
// order: resolve, prepareInPlace or prepareStaged, entries through fd(), then install/Commit.h
// or discard. The descriptors and the lock live as long as the object.

#include <sys/stat.h>

#include <string>

#include "fs/FileUtil.h"
#include "fs/UniqueFd.h"
#include "install/InstallLock.h"

namespace velk {

class CDestination {
public:
    // `given` is DEST as the caller wrote it; messages show it so.
    explicit CDestination(std::string given);
    ~CDestination() { (void)discard(); }
    CDestination(const CDestination&) = delete;
    CDestination& operator=(const CDestination&) = delete;

    // kExitOk; kExitUsage for an empty DEST or one that resolves to the root (nothing
    // printed: the caller prints the usage line); kExitIncomplete when it cannot be resolved.
    int resolve();
    // Each kExitOk or kExitIncomplete (printed). In place, `keepBelow` (when not empty) is a
    // path below DEST whose regular file the emptying keeps. Staged, nothing of DEST changes.
    int prepareInPlace(const std::string& keepBelow);
    int prepareStaged();
    // Staged: removes the staging folder and what it holds (after the swap: the old tree).
    // 0, or the errno of the removal that failed (printed), the rest then left under the
    // staging name. In place: nothing.
    int discard();
    // What entries made in the tree get: DEST's owner and group when root installs into
    // another user's DEST.
    const Ownership& ownership() const { return owner; }
    // kExitOk while this run's lock still holds the lock file's name (install/InstallLock.h).
    int checkLock() const { return lock.check(); }

    // The folder entries are made in: DEST, or the staging folder.
    int fd() const { return tree.get(); }
    // That folder in messages ("DEST", or "PARENT/.NAME.<digits>.velk-staging").
    std::string shownTree() const;
    const std::string& shown() const { return given; }
    const std::string& path() const { return resolved; }

    // For the commit sequence (install/Commit.h), staged only.
    bool staged() const { return !staging.empty(); }
    bool existed() const { return destExisted; }
    int parentFd() const { return parent.get(); }
    const std::string& leaf() const { return name; }
    const std::string& stagingName() const { return staging; }
    // Staged: DEST's own folder, the old tree, opened without following a link; -1 when DEST
    // did not exist.
    int oldTreeFd() const { return oldTree.get(); }
    // Gives the staged tree DEST's owner and group (as root), its ACLs and mode; where DEST did
    // not exist, the mode of a new folder.
    int takeOverMetadata();
    // The staging name holds the old tree now, which a later run removes: leave it.
    void forgetStaging() { staging.clear(); }

private:
    int openParent();
    int openDest();
    int refuseMountBelow(int dirFd, bool forSwap) const;
    int emptyKeeping(const std::string& keepBelow);
    int checkSwappable();
    void noteOwner(uid_t user, gid_t group);
    int makeStaging();
    int probeExchange();
    std::string shownParent() const;

    std::string given;
    std::string resolved;   // absolute, no links, never "/"
    std::string name;       // last component of `resolved`
    std::string staging;    // the staging folder's name beside DEST; empty in place
    bool destExisted = false;
    struct stat destState {};  // DEST as found, when it existed (staged)
    Ownership owner;        // see ownership()
    CUniqueFd parent;       // the directory that holds DEST
    CInstallLock lock;
    CUniqueFd oldTree;      // staged: DEST as it was, when it existed
    CUniqueFd tree;         // DEST, or the staging folder
};

// A refusal of the staged install: "atomic install: DEST: WHAT(errno,text)", and -7.
int reportAtomic(const std::string& shownDest, const std::string& what, int error);

}  // namespace velk
