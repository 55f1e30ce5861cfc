#pragma once
// CKeptTree is the tree an update replaced, kept beside DEST so that `--rollback` can swap it
// back in. It is one folder ".NAME.velk-previous" (fs/HelperName.h), mode 0700 and, as root in
// another user's DEST, that user's, holding:
//   tree              the replaced tree, with the mode, ACLs and owner it had as DEST
//   versions          "velk-kept 1\n", then "INODE HEXVERSION\n" for each of the two trees, DEST's
//                     and the kept one: the version each carries, by the inode of its folder
//   .NAME.velk-index  the kept tree's index (install/TreeIndexReader.h), where it had one
//   rollback          while a rollback runs, "INODE\n": the tree being swapped into DEST
// The versions are keyed by the folders, not by where they stand, so they stay true as the two
// trees trade places: at every kill point the unit says which version each tree is. Only a unit
// that is a folder (no link) of DEST's owner or the updater, that nobody else may enter, whose
// tree is a folder of the same kind on the same file system and whose versions name both DEST
// and that tree, is ever used: another user's name there is never swapped into DEST.
// A unit is made with its versions under a fresh name ".NAME.<16 random hex digits>.velk-keeping"
// and takes the fixed name before the update's exchange, so that the version of the tree that
// becomes DEST is on record from the commit point on, whatever the version file says yet; the
// old tree moves in after. A unit is removed by renaming it to such a fresh name first, so the
// fixed name holds a unit or none, and a kill leaves only names a later run removes.
// Calling order: open, then the accessors; or the static helpers. Owns its descriptors; the
// parent folder is borrowed.

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "fs/FileUtil.h"
#include "fs/UniqueFd.h"

namespace velk {

enum class KeptOpen {
    kOpen,
    kMissing,  // no unit at the fixed name
    kForeign,  // something there that is not a unit of DEST's owner or the updater, or not private
    kDamaged,  // a unit without a tree, or whose versions cannot be read
};

// The version each of the two trees carries, by the device and inode of its folder.
struct KeptVersion {
    ino_t folder = 0;
    std::string text;
};

class CKeptTree {
public:
    static constexpr const char* kSuffix = ".velk-previous";  // the unit's fixed name
    static constexpr const char* kUnitSuffix = ".velk-keeping";  // a unit being made or removed
    static constexpr const char* kTreeName = "tree";

    // The unit of `name` in `parent`, where it belongs to one of `owners`.
    KeptOpen open(int parent, const std::string& name, const std::vector<uid_t>& owners);
    int unit() const { return unitFd.get(); }
    // The kept tree; -1 where the unit has none (an update stopped before it moved it in).
    int tree() const { return treeFd.get(); }
    const struct stat& treeState() const { return treeSt; }
    // A unit without its tree (an update stopped after its exchange) takes the tree it names
    // beside DEST's folder `dest`, which waits under a staging name `stagingSuffix` of
    // `owners`', before a run removes it as a leftover. True where the unit has its tree now.
    bool adoptTree(int parent, const std::string& name, const struct stat& dest, const std::string& stagingSuffix,
                   const std::vector<uid_t>& owners);
    // The version of the tree in the folder `folder`; false where the unit names none.
    bool versionOf(const struct stat& folder, std::string& text) const;
    // The folder a rollback was swapping into DEST when it stopped; false where none was running.
    bool pendingRollback(ino_t& target) const;
    // Marks, durably, that `target` is being swapped into DEST; clears the mark. 0 or errno.
    int markRollback(ino_t target, const Ownership& owner) const;
    int clearRollback() const;

    // Replaces the unit's versions with `kept`. 0 or errno.
    int rewriteVersions(const std::vector<KeptVersion>& kept, const Ownership& owner) const;
    // Makes a private unit under a fresh name beside `name` with the versions of DEST's tree and
    // of the tree it replaces (`kept`), and opens it into `unitFolder`. The name, or empty
    // (printed) on a failure.
    static std::string makeUnit(int parent, const std::string& name, const std::string& shownParent,
                                const Ownership& owner, const std::vector<KeptVersion>& versions,
                                CUniqueFd& unitFolder);
    // Puts the unit `made` at the fixed name. A unit there before (one checked to be ours) takes
    // the name `made` in exchange, and `replacedOne` says so: the caller removes it once the
    // update is committed. uninstall puts both back. 0 or errno.
    static int install(int parent, const std::string& name, const std::string& made, bool& replacedOne);
    static int uninstall(int parent, const std::string& name, const std::string& made, bool replacedOne);
    // Removes the unit of `name` (one of `owners`'), renamed away first. 0 or errno (printed).
    static int remove(int parent, const std::string& name, const std::string& shownParent,
                      const std::vector<uid_t>& owners);

private:
    KeptOpen openUnit(int parent, const std::string& name, const std::vector<uid_t>& owners);
    bool readVersions();
    bool takeTree(int parent, const std::string& leaf);

    CUniqueFd unitFd;
    CUniqueFd treeFd;
    struct stat unitSt {};
    struct stat treeSt {};
    std::vector<KeptVersion> versions;
};

}  // namespace velk
