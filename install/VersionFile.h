#pragma once
// Writes the installed version into VERSION-FILE so that at every moment, a kill or a power
// cut included, the file holds the old value or the new one, never a mix and never nothing:
// the text goes into a temporary file beside it, which is synced, renamed over the name, and
// the folder is synced. The path is resolved first (install/PathResolve.h): an operator's link
// at the name outside DEST is followed, so its target is what gets replaced; below DEST,
// where a package may have planted links, no link is followed (one on the way refuses the
// write, one at the name is replaced) and the folder is reached through DEST's descriptor.
// A replaced file keeps its permission bits (and its owner where the process may keep
// it); a new one is made with mode 0600 before the umask. A device (a block device, or
// /dev/full) is written in place, as before: nothing can be renamed over it. Stateless.

#include <string>

namespace velk {

class CDestination;

// 0, or a negative code of writeFile's (fs/FileUtil.h) for the same cause: -2 the folder
// cannot be made or reached, -3 the file cannot be made or renamed, -4 a write or sync
// failed. Each failure prints the call, the path and the errno; the old file stays as it was.
int replaceVersionFile(const std::string& text, const std::string& path, const CDestination& dest);

}  // namespace velk
