#pragma once
// CDestination is DEST for one run of velk-unpack. Before anything in it changes, DEST is
// resolved once (install/PathResolve.h: the root, however spelled, is refused) and the run's
// lock is taken. Then either
//   in place: DEST is made when missing, opened once, checked to hold no mount point, and
//             emptied through its descriptor (fs/TreeRemover.h); or
//   staged:   it is checked that DEST can be swapped in one step, a staging folder
//             ".NAME.velk-staging" beside it (one left by an interrupted run is removed
//             first) is made and opened; commit() makes the staged tree durable, exchanges
//             it with DEST (renameat2 RENAME_EXCHANGE, or a plain rename when DEST is
//             missing), syncs the parent and removes the old tree. DEST is wholly the old
//             tree or wholly the new one at every moment.
// Entries are made through fd() from then on, never through a path again.
// The lock is flock on ".NAME.velk-lock" in DEST's parent: beside DEST, so emptying DEST or
// swapping it for another tree leaves it in place, and released by the kernel when the
// process ends however it ends. It is never removed (two runs could then lock two different
// files). Where the parent cannot hold it (a read-only parent of a mounted DEST), DEST's own
// directory is locked instead (in place only). Calling order: resolve, prepareInPlace or
// prepareStaged, entries through fd(), then commit, or discard after a failure. The
// descriptors and the lock live as long as the object.

#include <string>

#include "fs/UniqueFd.h"

namespace velk {

class CDestination {
public:
    // `given` is DEST as the caller wrote it; messages show it so.
    explicit CDestination(std::string given);

    // kExitOk; kExitUsage for an empty DEST or one that resolves to the root (nothing
    // printed: the caller prints the usage line); kExitIncomplete when it cannot be resolved.
    int resolve();
    // Each kExitOk or kExitIncomplete (printed). Staged, nothing of DEST changes before commit.
    int prepareInPlace();
    int prepareStaged();
    // Makes the tree in fd() durable; staged, swaps it in for DEST and removes the old one.
    int commit();
    // Staged: removes the staging folder and what it holds. In place: nothing.
    void discard();

    // The folder entries are made in: DEST, or the staging folder (DEST after commit).
    int fd() const { return dest.get(); }
    // The start of the paths in messages about entries made in fd(): "DEST/".
    std::string shownPrefix() const;
    const std::string& shown() const { return given; }
    const std::string& path() const { return resolved; }

private:
    int openParent();
    int lock(bool fallBackOnDest);
    int openDest();
    int refuseMountBelow() const;
    int checkSwappable();
    int makeStaging();
    int probeExchange();
    int removeBeside(const std::string& leaf) const;
    int swap();

    std::string given;
    std::string resolved;   // absolute, no links, never "/"
    std::string name;       // last component of `resolved`
    std::string staging;    // the staging folder's name beside DEST; empty in place
    bool destExisted = false;
    CUniqueFd parent;       // the directory that holds DEST
    CUniqueFd lockFile;     // holds the lock (may be DEST's directory itself)
    CUniqueFd dest;         // DEST, or the staging folder
};

}  // namespace velk
