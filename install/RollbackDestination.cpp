#include "install/RollbackDestination.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fs/FolderBelow.h"
#include "fs/HelperName.h"
#include "fs/Message.h"
#include "install/TreeIndexFormat.h"
#include "install/TreeIndexReader.h"
#include "install/VersionFile.h"

namespace velk {

namespace {

void sayRollback(const std::string& shownDest, const std::string& what, int error) {
    brn::message("rollback: %s: %s(%d,%s)\n", shownDest.c_str(), what.c_str(), error, strerror(error));
}

}  // namespace

DestOutcome CRollbackDestination::prepare(const std::string&) {
    if (DestOutcome ready = openParentAndLock(); ready != DestOutcome::kReady) return ready;
    if (DestOutcome opened = openDestFolder(); opened != DestOutcome::kReady) return opened;
    takeOwner(destState.st_uid, destState.st_gid);
    return openKept();
}

// DEST must be a folder of its parent's file system that holds no mount point: the exchange
// could not move one.
DestOutcome CRollbackDestination::openDestFolder() {
    tree.reset(openSubfolder(parent.get(), name));
    if (tree.get() < 0) {
        if (errno == ENOENT) return nothingKept("DEST does not exist");
        if (errno == ENOTDIR || errno == ELOOP) return refuseNotDirectory();
        return report(DestOutcome::kCannotOpen, "open", errno);
    }
    struct stat above;
    if (fstat(tree.get(), &destState) != 0 || fstat(parent.get(), &above) != 0) {
        return report(DestOutcome::kCannotOpen, "fstat", errno);
    }
    std::string point;
    if (DestOutcome checked = mountBelow(tree.get(), point); checked != DestOutcome::kReady) return checked;
    if (above.st_dev == destState.st_dev && !isMountRoot(parent.get(), name.c_str()) && point.empty()) {
        return DestOutcome::kReady;
    }
    brn::message("rollback: %s is or holds a mount point, which cannot be swapped\n", given.c_str());
    return DestOutcome::kMountBelow;
}

DestOutcome CRollbackDestination::nothingKept(const std::string& why) const {
    brn::message("rollback: %s: no kept tree to roll back to: %s\n", given.c_str(), why.c_str());
    return DestOutcome::kNothingKept;
}

// The unit must be DEST's owner's or the updater's, private, and name both trees; a mark of an
// interrupted rollback says whether the exchange happened already.
DestOutcome CRollbackDestination::openKept() {
    switch (kept.open(parent.get(), name, {destState.st_uid, geteuid()})) {
        case KeptOpen::kOpen: break;
        case KeptOpen::kMissing: return nothingKept("no update kept the tree it replaced");
        case KeptOpen::kForeign:
            return nothingKept(helperName(name, CKeptTree::kSuffix) + " is not one this program kept");
        case KeptOpen::kDamaged: return nothingKept(helperName(name, CKeptTree::kSuffix) + " is damaged");
    }
    if (!kept.adoptTree(parent.get(), name, destState, kStagingSuffix, {destState.st_uid, geteuid()})) {
        return nothingKept("the update that was to keep one was stopped first");
    }
    ino_t marked = 0;
    resuming = kept.pendingRollback(marked) && marked == destState.st_ino;
    if (resuming) {
        brn::message("rollback: %s: completing the rollback that was interrupted\n", given.c_str());
        return kept.versionOf(destState, targetVersion) ? DestOutcome::kReady : nothingKept("its versions are damaged");
    }
    std::string current;
    if (!kept.versionOf(destState, current) || !kept.versionOf(kept.treeState(), targetVersion)) {
        return nothingKept("the kept tree is not the one DEST replaced");
    }
    if (kept.treeState().st_dev != destState.st_dev || isMountRoot(kept.unit(), CKeptTree::kTreeName)) {
        return nothingKept("the kept tree is on another file system");
    }
    return DestOutcome::kReady;
}

// Marked first, so that a kill after the exchange is known for what it was.
CommitOutcome CRollbackDestination::swapTrees() {
    if (int error = kept.markRollback(kept.treeState().st_ino, ownership()); error != 0) {
        sayRollback(given, "cannot mark the rollback", error);
        return CommitOutcome::kNotSwapped;
    }
    if (renameat2(kept.unit(), CKeptTree::kTreeName, parent.get(), name.c_str(), RENAME_EXCHANGE) != 0) {
        sayRollback(given, "swap failed", errno);
        (void)kept.clearRollback();
        return CommitOutcome::kNotSwapped;
    }
    if (fsync(parent.get()) != 0 || fsync(kept.unit()) != 0) {
        sayRollback(given, "fsync of the parent failed", errno);
        return undo(CommitOutcome::kNotSwapped);
    }
    return CommitOutcome::kCommitted;
}

// Before the version's rename: the trees back as they were, and the mark cleared.
CommitOutcome CRollbackDestination::undo(CommitOutcome outcome) {
    if (renameat2(kept.unit(), CKeptTree::kTreeName, parent.get(), name.c_str(), RENAME_EXCHANGE) != 0) {
        sayRollback(given, "the kept tree is in place but the version file was not written; run --rollback again",
                    errno);
        return CommitOutcome::kNoVersionForTree;
    }
    const bool durable = fsync(parent.get()) == 0 && fsync(kept.unit()) == 0 && kept.clearRollback() == 0;
    brn::message("rollback: %s: the swap was undone: DEST holds its tree again%s\n", given.c_str(),
                 durable ? "" : ", but not known to be durable");
    return outcome;
}

// Each index goes with its tree. After an interruption only an index known to be DEST's (made
// for DEST's folder, whole) is moved beside it; an index that does not describe the folder it
// stands beside is never used anyway.
void CRollbackDestination::exchangeIndexes(bool onlyWhereMisplaced) {
    const std::string index = helperName(name, kIndexSuffix);
    if (onlyWhereMisplaced) {
        CTreeIndexReader reader;
        if (reader.open(kept.unit(), name, tree.get(), {destState.st_uid, geteuid()}) != IndexOpen::kUsable) return;
    }
    const int unit = kept.unit();
    const int folder = parent.get();
    if (renameat2(unit, index.c_str(), folder, index.c_str(), RENAME_EXCHANGE) == 0 || errno != ENOENT) return;
    if (renameat2(unit, index.c_str(), folder, index.c_str(), RENAME_NOREPLACE) == 0 || errno != ENOENT) return;
    (void)renameat2(folder, index.c_str(), unit, index.c_str(), RENAME_NOREPLACE);
}

CommitOutcome CRollbackDestination::finish() {
    exchangeIndexes(resuming);
    if (fsync(parent.get()) == 0 && kept.clearRollback() == 0) return CommitOutcome::kCommitted;
    sayRollback(given, "the kept tree and its version are in place, but not known to be durable", errno);
    return CommitOutcome::kNotKnownDurable;
}

CommitOutcome CRollbackDestination::commitTree(CVersionFile& version, const std::string& text) {
    const bool outside = version.belowDest().empty();
    if (outside && version.stage(text, tree.get(), shownTree(), ownership()) != VersionOutcome::kDone) {
        return versionNotWritten(version);
    }
    if (!lockStillHeld()) return CommitOutcome::kLockLost;
    if (!resuming) {
        if (CommitOutcome swapped = swapTrees(); swapped != CommitOutcome::kCommitted) return swapped;
    }
    if (outside) {
        const VersionOutcome published = version.publish();
        if (published == VersionOutcome::kNotSynced) {
            sayRollback(given, "the kept tree and its version are in place, but not known to be durable", EIO);
            return CommitOutcome::kNotKnownDurable;
        }
        // Resumed, the version file may name the tree in DEST already: the mark stays for a rerun.
        if (published != VersionOutcome::kDone) {
            return resuming ? versionNotWritten(version) : undo(versionNotWritten(version));
        }
    }
    return finish();
}

}  // namespace velk
