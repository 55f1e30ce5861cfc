#pragma once
// CDiskTree is the path walker's tree on disk (brn/tar/EntryTree.h): a folder is a
// descriptor, the root one borrowed from the caller (open while the tree lives), every other
// one entered with O_NOFOLLOW and handed back with leave. Each step is one call relative to a
// folder descriptor (fstatat, openat, mkdirat, symlinkat, linkat, unlinkat), so no path
// lookup can lead outside the root. New files are made with mode 0600 and folders 0755, before
// the umask (fs/FileModes.h). With giveOwnership every file, folder and link made here is
// given that owner and group as it is made: root installing into a tree that belongs to
// another user leaves nothing of its own in it. It keeps the record of the files it made
// (brn/tar/MadeFiles.h), which madeAsFile asks. Results are 0 or an errno, as the walker wants.

#include <sys/types.h>

#include <string>

#include "brn/tar/EntryTree.h"
#include "brn/tar/MadeFiles.h"
#include "fs/FileUtil.h"

namespace brn {

class CDiskTree : public CEntryTree {
public:
    explicit CDiskTree(int rootFd) : rootFd(rootFd) {}

    void giveOwnership(const velk::Ownership& owner) { ownership = owner; }

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

    // Makes the new name `name` of `dir` for the regular file open as `file`, linked through
    // that descriptor (AT_EMPTY_PATH, or its /proc name), never through a path, and records
    // the file as made here.
    int linkOpenFile(DirRef dir, const std::string& name, int file);
    // An unnamed file (O_TMPFILE) in `folder`, made as createFile makes a file: it carries what
    // a file made there gets (owner, group, mode, ACL, extended attributes, inode flags). Its
    // descriptor, which the caller owns, or -1 with errno (EOPNOTSUPP: the file system makes
    // no unnamed files).
    int makeUnnamedFile(int folder) const;

private:
    int newFileAt(int folder, const char* name, int flags) const;
    int giveMade(DirRef dir, const std::string& name, mode_t kind) const;

    int rootFd;
    velk::Ownership ownership;
    CMadeFiles madeFiles;
};

}  // namespace brn
