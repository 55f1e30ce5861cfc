#pragma once
// CDiskEntryMaker makes tar entries on disk below one directory, its root, given as an open
// descriptor: every step is relative to a descriptor (openat, mkdirat, symlinkat,
// unlinkat), so no later path lookup can lead outside the root, and no symbolic link the
// archive placed is ever followed (brn/tar/PathWalker.h holds the rules). A handle is a file
// descriptor; it belongs to the maker's caller until closeFile closes it. The root
// descriptor is borrowed and must stay open while the maker lives; the maker keeps the
// directories of the last entry's parent open meanwhile.

#include <string>

#include "brn/tar/EntryMaker.h"
#include "brn/tar/EntryTree.h"
#include "brn/tar/PathWalker.h"

namespace brn {

class CDiskEntryMaker : public CEntryMaker, private CEntryTree {
public:
    // shownPrefix starts the paths in messages ("dest/" for a root opened from "dest").
    CDiskEntryMaker(int rootFd, const std::string& shownPrefix);

    int openFile(const std::string& name, int& handle) override;
    // writeAll: a failed or short write prints its message; what was written stays.
    int write(int handle, const char* data, size_t count) override;
    // A write error can show up only at close (a full disk): "tar: <name>: close failed(...)".
    int closeFile(int handle, const std::string& name) override;
    int makeSymlink(const std::string& name, const std::string& target) override;
    int makeDirectory(const std::string& name) override;
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
    int createFile(DirRef dir, const std::string& name, bool exclusive, int& handle) override;
    int createSymlink(DirRef dir, const std::string& name, const std::string& target) override;

    int rootFd;
    CPathWalker walker;
};

}  // namespace brn
