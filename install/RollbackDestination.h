#pragma once
// CRollbackDestination is DEST for `velk-unpack --rollback`: it swaps the tree an update kept
// (install/KeptTree.h) back into DEST, and the version file's content with the kept version,
// under the same lock and commit rules as an install. prepare, before anything changes: DEST
// is resolved, its parent opened and the lock taken; DEST must be a folder and no mount point,
// and the kept unit beside it a private one of DEST's owner or the updater whose versions name
// both DEST's folder and the kept one (otherwise "no kept tree", and nothing is touched).
// target() is then the kept tree's version. commit, in this order:
//   the version's temporary written and synced (outside DEST: inside, each tree carries its
//   own) -> the lock checked -> "rollback" marked in the unit, synced -> DEST and the kept
//   tree exchanged (renameat2 RENAME_EXCHANGE): the commit point -> fsync(parent), fsync(unit)
//   -> the version's rename and its folder's sync -> the two indexes exchanged -> the mark
//   cleared, the folders synced.
// The version file thus names a tree only once DEST is that tree. A kill after the exchange
// leaves the mark: the next --rollback finds DEST already the marked tree and completes the
// version file and the indexes instead of swapping again; a mark whose tree is not in DEST
// (killed before the exchange) is cleared and the rollback done. Any other run refuses to
// start while a mark is there (install/StagedDestination.h). A failure after the exchange and
// before the version's rename exchanges back, as an --atomic install does.

#include <sys/stat.h>

#include <string>

#include "install/Destination.h"
#include "install/KeptTree.h"

namespace velk {

class CRollbackDestination : public CDestination {
public:
    using CDestination::CDestination;

    DestOutcome prepare(const std::string& keepBelow) override;
    // The version of the tree that becomes DEST.
    const std::string& target() const { return targetVersion; }

private:
    CommitOutcome commitTree(CVersionFile& version, const std::string& text) override;
    DestOutcome openDestFolder();
    DestOutcome openKept();
    DestOutcome nothingKept(const std::string& why) const;
    CommitOutcome swapTrees();
    CommitOutcome undo(CommitOutcome outcome);
    void exchangeIndexes(bool onlyWhereMisplaced);
    CommitOutcome finish();

    CKeptTree kept;
    struct stat destState {};
    bool resuming = false;  // an interrupted rollback had swapped the trees already
    std::string targetVersion;
};

}  // namespace velk
