#pragma once
// CInPlaceDestination makes the new tree in DEST itself. prepare: under the lock DEST is made
// when missing, opened once, checked to hold no mount point (fs/MountPoints.h), and emptied
// through its descriptor (fs/TreeRemover.h), keeping the version file when it lies inside.
// The old tree's index beside DEST, and a tree an update kept beside it (install/KeptTree.h),
// are removed before the emptying.
// commit, in this order (durable before declared):
//   syncfs(DEST) -> the version's temporary written and synced -> the lock checked -> the
//   index of the new tree put in place (install/TreeIndexWriter.h) -> the temporary renamed
//   over the version file, its folder synced.
// A failure before the rename leaves the version file as it was; there is nothing to undo, as
// the tree is DEST from the start. A kill or a power cut leaves a partly unpacked DEST and the
// old version file. Calling order as for install/Destination.h.

#include <string>

#include "install/Destination.h"

namespace velk {

class CInPlaceDestination : public CDestination {
public:
    using CDestination::CDestination;

    DestOutcome prepare(const std::string& keepBelow) override;

private:
    CommitOutcome commitTree(CVersionFile& version, const std::string& text) override;
    DestOutcome openDest();
    DestOutcome emptyKeeping(const std::string& keepBelow);
    DestOutcome refuseEmptying(int code) const;
};

}  // namespace velk
