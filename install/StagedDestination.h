#pragma once
// CStagedDestination makes the new tree beside DEST and swaps it in whole: DEST is the old tree
// or the new one at every moment. prepare: under the lock it is checked that DEST can be swapped
// in one step (a folder of its parent's file system, or missing, with no mount point at or
// below it, on a file system that exchanges two folders: an empty probe is exchanged to find
// out), and a staging folder ".NAME.<16 random hex digits>.velk-staging" is made beside it,
// mode 0700 (and, as root, DEST's owner), and opened: nobody but DEST's owner can read the tree
// before the swap. Nothing of DEST changes before the commit point. commit, in this order:
//   a version file inside DEST is written into the staged tree -> the staged tree takes DEST's
//   owner and group (as root), ACLs and mode -> syncfs(staged tree), which makes those durable
//   with the tree -> a version file outside DEST gets its temporary written and synced -> the
//   lock checked -> the old index removed -> DEST and the staged tree exchanged (renameat2
//   RENAME_EXCHANGE, or a rename when DEST was missing): the commit point -> fsync(parent) ->
//   the version's rename and its folder's sync -> the old tree, now under the staging name,
//   removed -> the index of the new tree put in place (install/TreeIndexWriter.h). From the
//   commit point until the new index is in place there is none.
// After the exchange, a failed sync or rename exchanges back, syncs the parent, says "the swap
// was undone: DEST holds the old tree again", and ends with DEST and the version file as they
// were; only when the exchange back fails too is the new tree left in DEST without its version
// ("the new tree is in place but the version file was not written"). Once the version file is
// renamed, nothing goes back: a failed sync of its folder leaves the new tree and its version
// ("... in place, but not known to be durable"). An old tree that cannot be removed after a
// complete install is named, with whether the next run can remove it; the install stands.
// A staging folder not committed is removed on every way out, the destructor's included.
// Keeping the replaced tree (--keep-previous), the old index goes into a fresh kept unit
// (install/KeptTree.h) with both trees' versions instead of being removed, and the unit takes
// the fixed name, before the exchange; after the version's rename the old tree goes into it and
// the unit kept before is removed; a failure before that puts the unit kept before back. An
// update to the version DEST has keeps the unit kept before, its versions naming the new tree
// too. Without keeping, a unit kept before is removed after the old tree.
// An update never starts while a rollback is marked as interrupted, nor keeps a tree over a
// name at the unit's place that is not a unit of DEST's owner or the updater.

#include <sys/stat.h>

#include <string>

#include "install/Destination.h"
#include "install/KeptTree.h"

namespace velk {

class CStagedDestination : public CDestination {
public:
    // `keepPrevious`: the replaced tree is kept beside DEST (install/KeptTree.h), not removed.
    explicit CStagedDestination(std::string dest, bool keepPrevious = false)
        : CDestination(std::move(dest)), keeping(keepPrevious) {}
    ~CStagedDestination() override {
        (void)removeStaging();
        abandonUnit();
    }

    DestOutcome prepare(const std::string& keepBelow) override;
    void discard() override {
        (void)removeStaging();
        abandonUnit();
    }
    // "PARENT/.NAME.<digits>.velk-staging" while it holds the new tree.
    std::string shownTree() const override;
    // DEST's own folder, the old tree, opened without following a link; -1 when DEST did not exist.
    int reusableTree() const override { return oldTree.get(); }
    int keptTree() const override { return kept.tree(); }
    DestOutcome readReplacedVersion(const CVersionFile& version) override;

private:
    CommitOutcome commitTree(CVersionFile& version, const std::string& text) override;
    DestOutcome checkSwappable();
    DestOutcome makePrivateFolder(const char* suffix, std::string& made);
    DestOutcome makeStaging();
    DestOutcome probeExchange();
    DestOutcome refuse(DestOutcome outcome, const std::string& what, int error) const;
    CommitOutcome prepareSwap(CVersionFile& version, const std::string& text);
    bool takeOverMetadata();
    int exchange(bool back) const;
    CommitOutcome undoExchange(CommitOutcome outcome);
    int removeStaging();
    void removeOldTree();
    // What becomes of the tree DEST holds: removed with any kept tree; kept in a new unit; or,
    // an update to the version DEST has, removed, the kept tree staying.
    enum class Keeping { kNone, kNewUnit, kSameUnit };
    Keeping keepingFor(const std::string& text) const;
    bool rekeyKeptUnit(const std::string& text);
    bool placeKeptUnit(const std::string& text);
    void keepOldTree();
    void abandonUnit();
    bool keepsReplacedTree() const { return keeping && destExisted; }

    std::string staging;       // the staging folder's name beside DEST; empty once none is ours
    bool destExisted = false;
    struct stat destState {};  // DEST as found, when it existed
    CUniqueFd oldTree;         // DEST as it was, when it existed
    bool keeping = false;      // see the constructor
    std::string replacedVersion;
    CKeptTree kept;            // the unit an earlier update kept, when it is ours
    std::string unitName;      // the fresh name of the unit this run makes; empty once none is ours
    CUniqueFd unitFolder;      // that unit
    bool unitPlaced = false;   // it is at the fixed name, and what was there before at `unitName`
    bool unitReplaced = false; // a unit was there before
};

}  // namespace velk
