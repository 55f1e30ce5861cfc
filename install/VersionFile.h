#pragma once
// CVersionFile is VERSION-FILE for one run: where the installed version is written, so that at
// every moment, a kill or a power cut included, it holds the old value or the new one.
//   prepare, at the start, before DEST changes: the path is resolved against the working folder
//     (install/PathResolve.h: an operator's link outside DEST is followed; below DEST no link
//     is, one on the way refuses the file), its name is checked to fit, every existing folder
//     on its way to be a folder, and the deepest existing folder is opened. From then on the
//     file is reached only through that descriptor, or, inside DEST, through the tree's.
//   stage, before the commit point (under the run's lock): missing folders are made, the
//     temporaries an interrupted run left beside the file are removed (fs/Leftovers.h), and the
//     new text is written into a fresh temporary ".NAME.<16 random hex digits>.velk-new" beside
//     the file, mode 0600, and synced (fs/FileReplacement.h): a name nobody can know ahead, so
//     nothing planted there stops the run. Inside DEST the folders are reached under the
//     entries' rules (no link followed: fs/FolderBelow.h), and what is made there gets the tree's owner.
//   publish, after it: the temporary is renamed over the file and the folder synced.
// A device (/dev/null, a flash partition) cannot be replaced: publish writes it in place from
// its start, never cut, and syncs it where the device can be synced. A regular file in a
// folder that takes no new file (not the updater's to write) is written in place too, cut to
// the text, and synced: not atomically. A replaced file keeps its permission bits (and its
// owner where the process may keep it); a new one is made with mode 0600 before the umask.
// Every failure prints a line "version file ..." with the call and the path, and the errno
// where the call's own line does not give it already.

#include <sys/types.h>

#include <string>
#include <vector>

#include "fs/FileReplacement.h"
#include "fs/UniqueFd.h"

namespace velk {

// What a step of the version file comes to.
enum class VersionOutcome {
    kDone,
    kRefused,     // prepare: the path cannot be used (its name does not fit, a folder on its way is
                  // a file, a link another user planted, it is DEST or a folder that holds it, ...)
    kNoFolder,    // stage: a folder on the way cannot be made, reached or opened
    kNoFile,      // the temporary cannot be made, or not renamed; the file cannot be opened
    kNotWritten,  // a write, a sync or a close failed
    kNotSynced,   // publish: renamed into place, but the folder's sync failed
};

class CVersionFile {
public:
    // kDone, or kRefused. `destPath` is DEST resolved.
    VersionOutcome prepare(const std::string& given, const std::string& destPath);
    // Inside DEST: the file's path below DEST ("state/version"); empty when it lies outside.
    const std::string& belowDest() const { return below; }

    // The version the file holds now, into `text`: kDone, or kRefused (printed) where it is no
    // regular file that can be read whole. `destTree` is DEST's folder, for a file inside it,
    // whose folders are reached under the entries' rules.
    VersionOutcome readCurrent(int destTree, std::string& text) const;

    // Writes `text` ready to publish. `tree` is the folder DEST's entries are made in (DEST,
    // or the staged tree) with `shownTree` naming it in messages, and `owner` what entries made
    // there get; used only inside DEST. kDone, kRefused (inside DEST: a link on the way),
    // kNoFolder, kNoFile or kNotWritten.
    VersionOutcome stage(const std::string& text, int tree, const std::string& shownTree, const Ownership& owner);
    // The staged text becomes the file's content, durably: kDone, kNoFile, kNotWritten, or
    // kNotSynced, where it is the content but its folder could not be synced.
    VersionOutcome publish();
    // Removes what stage made and publish did not take.
    void abandon() { replacement.abandon(); }

    const std::string& shown() const { return given; }

private:
    enum class Way { kReplace, kInPlace, kDevice };

    VersionOutcome refuse(const std::string& why);
    VersionOutcome openDeepestFolder(const std::string& path);
    VersionOutcome openFolderInTree(int tree, const std::string& shownTree, const Ownership& owner);
    void removeOwnLeftovers();
    VersionOutcome makeMissingFolders();
    VersionOutcome writeInPlace(bool cut);
    VersionOutcome report(const char* call, const std::string& path, int error, VersionOutcome outcome) const;

    std::string given;
    std::string resolved;             // the file's path, resolved
    std::string below;                // see belowDest
    std::string leaf;                 // the file's own name
    std::string deepest;              // the path of `folder`, for messages ("" for the root)
    std::vector<std::string> missing; // folders still to make below it
    std::string text;                 // what publish writes in place
    Way way = Way::kReplace;
    CUniqueFd folder;                 // the deepest existing folder, then the file's own folder
    CFileReplacement replacement;
};

}  // namespace velk
