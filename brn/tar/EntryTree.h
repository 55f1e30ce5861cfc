#pragma once
// CEntryTree is what the path walker (brn/tar/PathWalker.h) needs of a tree to make entries
// in it: look a name up without following links, enter a directory, and make or remove one
// name in a directory. The walker holds the rules; a tree only carries out single steps, so
// the same rules serve the file system (directories are descriptors) and the in-memory
// record of velk-inspect (directories are keys). Directories are named by DirRef values the
// tree hands out from root() and enter(); each one from enter() is given back with leave().
// Results are 0 or an errno value, so the walker can report what the system said.

#include <cstdint>
#include <string>

namespace brn {

using DirRef = int64_t;

enum class NodeKind : int {
    kMissing = 0,
    kDirectory = 1,
    kSymlink = 2,
    kRegular = 3,
    kOther = 4,  // a FIFO, a device or a socket
};

class CEntryTree {
public:
    virtual ~CEntryTree() = default;

    // The directory entries are made below; never left.
    virtual DirRef root() const = 0;
    // What is at `name` in `dir`, a symbolic link not followed.
    virtual int lookup(DirRef dir, const std::string& name, NodeKind& kind) = 0;
    // Opens the directory `name` of `dir` without following a link: ELOOP or ENOTDIR when
    // something else took its place since it was looked up.
    virtual int enter(DirRef dir, const std::string& name, DirRef& child) = 0;
    virtual void leave(DirRef dir) = 0;
    // Makes the directory `name` (EEXIST when the name is taken).
    virtual int makeDirectory(DirRef dir, const std::string& name) = 0;
    // Removes `name`: a directory only when it is empty (ENOTEMPTY otherwise).
    virtual int remove(DirRef dir, const std::string& name, bool directory) = 0;
    // Creates the regular file `name`, which must be new (EEXIST otherwise), for writing,
    // and gives a handle.
    virtual int createFile(DirRef dir, const std::string& name, int& handle) = 0;
    virtual int createSymlink(DirRef dir, const std::string& name, const std::string& target) = 0;
    // Makes the new name `name` of `dir` for the file `target` of `targetDir` (EEXIST when the
    // name is taken), never following a link at `target`.
    virtual int createHardLink(DirRef targetDir, const std::string& target, DirRef dir, const std::string& name) = 0;
    // True when `name` is a regular file that createFile made in this tree and that is still
    // that file (not one that was there before, or took its place since).
    virtual bool madeAsFile(DirRef dir, const std::string& name) = 0;
};

}  // namespace brn
