#pragma once
// CDiskEntryMaker makes tar entries on disk below one directory, its root, given as an open
// descriptor: every step is relative to a descriptor (openat, mkdirat, symlinkat,
// unlinkat), so no later path lookup can lead outside the root, and no symbolic link the
// archive placed is ever followed (brn/tar/PathWalker.h holds the rules). A handle is a file
// descriptor; it belongs to the maker's caller until closeFile closes it. The root
// descriptor is borrowed and must stay open while the maker lives; the maker keeps the
// directories of the last entry's parent open meanwhile.
// Files are made with mode 0600 and directories 0755 (before the umask). With
// keepPermissions, each gets its entry's permission bits (mode & 0777; set-user-ID,
// set-group-ID and sticky bits never, ownership never changes) once it is complete: a file
// as it is closed, a directory at once when its owner keeps full access to it (nothing made
// later is hindered), else at applyPermissions, when nothing more is made, deepest first so
// that no directory locks its owner out of one below it. The last entry of a name wins.
// A hard link is made with linkat between two directory descriptors, and only to a file this
// maker made: it keeps a keyed hash of the device and inode of every file it made that still
// has a name (about 11 bytes a file), so a file that was below the root before, or took the
// place of one made here, is never given another name.
// With giveOwnership, every file, directory and symbolic link made here is given that owner
// and group as it is made (a hard link is a name of a file made here): root installing into
// a tree that belongs to another user leaves nothing of its own in it. The entries' own
// owners are never applied.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <sys/types.h>
#include <string>
#include <utility>

#include "brn/tar/EntryMaker.h"
#include "brn/tar/EntryTree.h"
#include "brn/tar/KindTable.h"
#include "brn/tar/PathWalker.h"
#include "fs/FileUtil.h"

namespace brn {

class CDiskEntryMaker : public CEntryMaker, private CEntryTree {
public:
    // shownPrefix starts the paths in messages ("dest/" for a root opened from "dest").
    CDiskEntryMaker(int rootFd, const std::string& shownPrefix);

    void keepPermissions(bool keep) { keepModes = keep; }
    void giveOwnership(const Ownership& owner) { ownership = owner; }

    int openFile(const std::string& name, uint32_t mode, int& handle) override;
    // writeAll: a failed or short write prints its message; what was written stays.
    int write(int handle, const char* data, size_t count) override;
    // A write error can show up only at close (a full disk): "tar: <name>: close failed(...)".
    int closeFile(int handle, const std::string& name) override;
    int makeSymlink(const std::string& name, const std::string& target) override;
    int makeHardLink(const std::string& name, const std::string& target) override;
    int makeDirectory(const std::string& name, uint32_t mode) override;
    // Gives the directories whose modes were held back their modes. 0, or the number that
    // could not be changed (each reported).
    int applyPermissions();
    // Makes `name` (under the rules of a file entry) another name of the regular file open as
    // `file`, linked through that descriptor (AT_EMPTY_PATH, or its /proc name), never through
    // a path: a file of another tree whose bytes are the entry's. It then counts as made here.
    // kEntryMakerOk, a kSafePath* code, or kEntryLinkFailed when it cannot be linked here (the
    // name is then free).
    int linkFile(const std::string& name, int file);
    // Calls `look` with the folder a file entry `name` would be made in, reached (missing
    // folders made) under the same rules and borrowed for the call. A kSafePath* code.
    int visitFileFolder(const std::string& name, const std::function<void(int folder)>& look);
    // An unnamed file (O_TMPFILE) in `folder`, made as openFile makes a file and given the mode
    // closeFile gives one of entry mode `mode`: it carries what a file made there gets (owner,
    // group, mode, ACL, extended attributes, inode flags). Its descriptor, which the caller
    // owns, or -1 with errno (EOPNOTSUPP: the file system makes no unnamed files).
    int makeUnnamedFile(int folder, uint32_t mode) const;
    // Opens the directory `name` below the root under the same rules (missing levels made,
    // no link followed) and stores a descriptor the caller owns; the root's own name ("" or
    // ".") gives a new descriptor of the root. A kSafePath* code.
    int openDirectory(const std::string& name, int& fd);

private:
    DirRef root() const override { return rootFd; }
    int lookup(DirRef dir, const std::string& name, NodeKind& kind) override;
    int enter(DirRef dir, const std::string& name, DirRef& child) override;
    void leave(DirRef dir) override;
    int makeDirectory(DirRef dir, const std::string& name) override;
    int remove(DirRef dir, const std::string& name, bool directory) override;
    int createFile(DirRef dir, const std::string& name, int& handle) override;
    int createSymlink(DirRef dir, const std::string& name, const std::string& target) override;
    int createHardLink(DirRef targetDir, const std::string& target, DirRef dir, const std::string& name) override;
    bool madeAsFile(DirRef dir, const std::string& name) override;

    uint64_t fileKey(dev_t device, ino_t inode) const;
    int giveMade(DirRef dir, const std::string& name, mode_t kind) const;
    // A new file in `folder` (openat with `flags`, mode 0600 before the umask, given the owner
    // of giveOwnership): its descriptor, or -1 with errno.
    int newFileAt(int folder, const char* name, int flags) const;
    // Gives an open file the mode a completed file of entry mode `mode` has: 0 or -1 (errno).
    int giveFileMode(int file, uint32_t mode) const;

    // A directory as heldModes knows it: its depth (components) and its name, "." and empty
    // components dropped, so that every spelling of one directory is one key.
    using HeldKey = std::pair<size_t, std::string>;
    static HeldKey heldKey(const std::string& name);
    int setDirectoryMode(const std::string& name, uint32_t mode);

    int rootFd;
    bool keepModes = false;
    Ownership ownership;
    int modeHandle = -1;    // the file being written, whose mode is fileMode
    uint32_t fileMode = 0;
    // Modes of directories that would lock their owner out, deepest first.
    std::map<HeldKey, uint32_t, std::greater<HeldKey>> heldModes;
    SipKey secret;           // keys madeFiles
    CKindTable madeFiles;    // 1 under the key of each file made here that still has a name
    CPathWalker walker;
};

}  // namespace brn
