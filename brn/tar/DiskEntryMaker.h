#pragma once
// CDiskEntryMaker makes tar entries on disk below one directory, its root, given as an open
// descriptor that must stay open while the maker lives. It is the tar output only: the rules
// are the path walker's (brn/tar/PathWalker.h: no symbolic link the archive placed is ever
// followed, the folders of the last entry's parent stay open), the steps on disk, the record
// of files made this run and the hand-over of ownership are the disk tree's
// (brn/tar/DiskTree.h), and folder modes held back are kept by brn/tar/HeldModes.h. A handle
// is a file descriptor; it belongs to the maker's caller until closeFile closes it.
// Files are made with mode 0600 and directories 0755 (before the umask). With
// keepPermissions, each gets its entry's permission bits (mode & 0777; set-user-ID,
// set-group-ID and sticky bits never, ownership never changes) once it is complete: a file
// as it is closed, a directory at once when its owner keeps full access to it, else at
// applyPermissions, when nothing more is made. The last entry of a name wins.
// A hard link is made only to a file this maker made and that is still that file, so a file
// that was below the root before is never given another name.
// For an --atomic --link-unchanged run (install/ReusingEntryMaker.h) the maker also hands on
// three requests to the walker and the tree, so one object stands for the staged tree:
// linkFile, visitFileFolder and makeUnnamedFile.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "brn/tar/DiskTree.h"
#include "brn/tar/EntryMaker.h"
#include "brn/tar/HeldModes.h"
#include "brn/tar/PathWalker.h"

namespace brn {

class CDiskEntryMaker : public CEntryMaker {
public:
    // shownPrefix starts the paths in messages ("dest/" for a root opened from "dest").
    CDiskEntryMaker(int rootFd, const std::string& shownPrefix);

    void keepPermissions(bool keep) { keepModes = keep; }
    // Every file, directory and symbolic link made from now on gets `owner`'s owner and group.
    void giveOwnership(const velk::Ownership& owner) { tree.giveOwnership(owner); }

    MakeOutcome openFile(const std::string& name, uint32_t mode, int& handle) override;
    // writeAll: a failed or short write prints its message; what was written stays.
    MakeOutcome write(int handle, const char* data, size_t count) override;
    // A write error can show up only at close (a full disk): "tar: <name>: close failed(...)".
    MakeOutcome closeFile(int handle, const std::string& name) override;
    MakeOutcome makeSymlink(const std::string& name, const std::string& target) override;
    MakeOutcome makeHardLink(const std::string& name, const std::string& target) override;
    MakeOutcome makeDirectory(const std::string& name, uint32_t mode) override;
    // Gives the directories whose modes were held back their modes. 0, or the number that
    // could not be changed (each reported).
    int applyPermissions();

    // Makes `name` (under the rules of a file entry) another name of the regular file open as
    // `file` (CDiskTree::linkOpenFile): a file of another tree whose bytes are the entry's. It
    // then counts as made here. kNotLinked when it cannot be linked here (the name is free).
    MakeOutcome linkFile(const std::string& name, int file);
    // Calls `look` with the folder a file entry `name` would be made in, reached (missing
    // folders made) under the same rules and borrowed for the call.
    MakeOutcome visitFileFolder(const std::string& name, const std::function<void(int folder)>& look);
    // An unnamed file in `folder` (CDiskTree::makeUnnamedFile) given the mode closeFile gives a
    // file of entry mode `mode`. Its descriptor, which the caller owns, or -1 with errno.
    int makeUnnamedFile(int folder, uint32_t mode) const;

private:
    // Gives an open file the mode a completed file of entry mode `mode` has: 0 or -1 (errno).
    int giveFileMode(int file, uint32_t mode) const;
    bool setDirectoryMode(const std::string& name, uint32_t mode);

    bool keepModes = false;
    int modeHandle = -1;  // the file being written, whose mode is fileMode
    uint32_t fileMode = 0;
    CDiskTree tree;
    CPathWalker walker;
    CHeldModes heldModes;
};

}  // namespace brn
