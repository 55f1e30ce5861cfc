#pragma once
// CDestination is DEST for one run of velk-unpack. Before anything in it changes, DEST is
// resolved once (app/PathResolve.h: the root, however spelled, is refused), the run's lock
// is taken, DEST is made when missing and opened once, and it is checked that no mount point
// lies below it; only then is it emptied, through its descriptor (app/TreeRemover.h).
// Entries are made through fd() from then on, never through the path again.
// The lock is flock on ".NAME.velk-lock" in DEST's parent: beside DEST, so emptying DEST or
// swapping it for another tree leaves it in place, and released by the kernel when the
// process ends however it ends. It is never removed (two runs could then lock two different
// files). Where the parent cannot hold it (a read-only parent of a mounted DEST), DEST's own
// directory is locked instead. Calling order: resolve, prepare, then fd(); the descriptors
// and the lock live as long as the object.

#include <string>

#include "app/UniqueFd.h"

namespace velk {

class CDestination {
public:
    // `given` is DEST as the caller wrote it; messages show it so.
    explicit CDestination(std::string given);

    // kExitOk; kExitUsage for an empty DEST or one that resolves to the root (nothing
    // printed: the caller prints the usage line); kExitIncomplete when it cannot be resolved.
    int resolve();
    // Lock, make and open, look for mount points, empty. kExitOk or kExitIncomplete (printed).
    int prepare();

    int fd() const { return dest.get(); }
    const std::string& shown() const { return given; }
    const std::string& path() const { return resolved; }

private:
    int openParent();
    int lock();
    int openDest();
    int refuseMountBelow() const;

    std::string given;
    std::string resolved;   // absolute, no links, never "/"
    std::string name;       // last component of `resolved`
    CUniqueFd parent;       // the directory that holds DEST
    CUniqueFd lockFile;     // holds the lock (may be DEST's directory itself)
    CUniqueFd dest;
};

}  // namespace velk
