#include "install/InPlaceDestination.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <vector>

#include "brn/tar/SafePath.h"
#include "fs/FileModes.h"
#include "fs/FolderBelow.h"
#include "fs/Message.h"
#include "fs/TreeRemover.h"
#include "install/VersionFile.h"

namespace velk {

DestOutcome CInPlaceDestination::prepare(const std::string& keepBelow) {
    if (DestOutcome ready = openParentAndLock(); ready != DestOutcome::kReady) return ready;
    if (DestOutcome opened = openDest(); opened != DestOutcome::kReady) return opened;
    struct stat st;
    if (fstat(tree.get(), &st) != 0) return report(DestOutcome::kCannotOpen, "fstat", errno);
    noteOwner(st.st_uid, st.st_gid);
    CKeptTree kept;
    if (DestOutcome checked = checkKept(kept, false, &st); checked != DestOutcome::kReady) return checked;
    std::string point;
    if (DestOutcome checked = mountBelow(tree.get(), point); checked != DestOutcome::kReady) return checked;
    if (point.empty()) return emptyKeeping(keepBelow);
    brn::message("%s%s is a mount point: nothing on it is removed\n", given.c_str(), point.c_str());
    (void)refuseEmptying(CTreeRemover::kMountPoint);
    return DestOutcome::kMountBelow;
}

// DEST is opened without following a link: its path was resolved, so a link there now is
// not the directory that was named.
DestOutcome CInPlaceDestination::openDest() {
    if (mkdirat(parent.get(), name.c_str(), kNewFolderMode) != 0 && errno != EEXIST) {
        return report(DestOutcome::kCannotOpen, "mkdir " + resolved, errno);
    }
    tree.reset(openSubfolder(parent.get(), name));
    if (tree.get() >= 0) return DestOutcome::kReady;
    return errno == ENOTDIR || errno == ELOOP ? refuseNotDirectory() : report(DestOutcome::kCannotOpen, "open", errno);
}

// The file at `keepBelow` is looked up without following a link: one on the way, or anything
// but a regular file there, is no version file to keep.
DestOutcome CInPlaceDestination::emptyKeeping(const std::string& keepBelow) {
    dropOldIndex();  // a kill from now on leaves no index, never one of the old tree
    // A kept tree pairs with the tree about to go: so does it, first.
    (void)CKeptTree::remove(parent.get(), name, shownParent(), {owner.user, geteuid()});
    CTreeRemover remover(tree.get(), given);
    std::vector<std::string> parts = brn::pathComponents(keepBelow);
    if (!parts.empty()) {
        const std::string leafName = std::move(parts.back());
        parts.pop_back();
        const CUniqueFd folder(openFolderBelow(tree.get(), parts));
        struct stat st;
        if (folder.get() >= 0 && fstatat(folder.get(), leafName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            remover.keep(st.st_dev, st.st_ino);
        }
    }
    if (int removed = remover.run(); removed < 0) return refuseEmptying(removed);
    return DestOutcome::kReady;
}

// `code` is the remover's (fs/TreeRemover.h), which printed what it could not remove.
DestOutcome CInPlaceDestination::refuseEmptying(int code) const {
    brn::message("dest %s cannot be emptied (%d)\n", given.c_str(), code);
    return DestOutcome::kCannotEmpty;
}

CommitOutcome CInPlaceDestination::commitTree(CVersionFile& version, const std::string& text) {
    if (!syncTree()) return CommitOutcome::kNotDurable;
    if (version.stage(text, tree.get(), shownTree(), ownership()) != VersionOutcome::kDone) {
        return versionNotWritten(version);
    }
    if (!lockStillHeld()) return CommitOutcome::kLockLost;
    publishIndex(version, tree.get());
    if (version.publish() != VersionOutcome::kDone) return versionNotWritten(version);
    return CommitOutcome::kCommitted;
}

}  // namespace velk
