#pragma once
// The end of an install, in one place: the new tree and its version are made durable, the tree
// takes DEST's place, and only then does the version file name it (durable before declared).
// Everything that can fail comes before the commit point; after it only renames and syncs
// remain, and a failure there is undone. Right before the commit point the run checks that its
// lock still holds the lock file's name: a run whose lock file was removed or replaced, so that
// another run may have come in, ends there with kExitIncomplete.
//   in place: syncfs(DEST) -> the version's temporary written and synced -> the lock checked
//             -> renamed over the version file, its folder synced.
//   staged:   a version file inside DEST is written into the staged tree -> the staged tree
//             takes DEST's owner and group (as root), ACLs and mode -> syncfs(staged tree),
//             which makes those durable with the tree -> a version file outside DEST gets its
//             temporary written and synced -> the lock checked -> DEST and the staged tree
//             exchanged (renameat2 RENAME_EXCHANGE, or a rename when DEST was missing): the
//             commit point -> fsync(parent) -> the version's rename and its folder's sync -> the
//             old tree, now under the staging name, removed.
// After the exchange, a failed sync or rename exchanges back, syncs the parent, says "the swap
// was undone: DEST holds the old tree again", and ends non-zero with the version file as it
// was; only when the exchange back fails too is the new tree left in DEST without its version,
// which gets a message of its own ("the new tree is in place but the version file was not
// written") and kExitIncomplete. Once the version file is renamed, nothing goes back: a failed
// sync of its folder then leaves the new tree and its version ("... in place, but not known to
// be durable"), kExitIncomplete. An old tree that cannot be removed after a complete install is
// named, with whether the next run can remove it; the status stays kExitOk. Stateless.

#include <string>

namespace velk {

class CDestination;
class CVersionFile;

// kExitOk; kExitIncomplete (a sync or the swap failed); kExitVersionFailed (the version file
// could not be written). Each failure prints why. `text` is the version, not empty.
int commitInstall(CDestination& dest, CVersionFile& version, const std::string& text);

}  // namespace velk
