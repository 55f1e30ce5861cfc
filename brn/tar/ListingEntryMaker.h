#pragma once
// CListingEntryMaker lists and checks what a tar reader would make without touching the
// file system. It keeps the paths made so far (directories, regular files with their data
// byte counts, symbolic links with their targets) and applies the rules of
// brn/tar/SafePath.h to them, so its verdicts and messages are those of CDiskEntryMaker on
// an empty destination. Memory grows with the number of names, never with data. One
// instance may serve several readers in a row (packages sharing one destination); clear
// forgets everything. Handles index the open files; closeFile frees them.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "brn/tar/EntryMaker.h"

namespace brn {

enum class MadeKind : int {
    kDirectory = 0,    // made by an entry, or as a missing parent of one
    kRegularFile = 1,  // `bytes` written to it
    kSymlink = 2,      // pointing at `target`
};

struct MADE_ENTRY_T {
    MadeKind kind = MadeKind::kDirectory;
    uint64_t bytes = 0;  // data bytes of a regular file
    std::string target;  // target of a symbolic link
};

class CListingEntryMaker : public CEntryMaker {
public:
    // Keys are paths as the reader makes them, spelled without empty or "." components
    // ("out//a/./b" is "out/a/b"); the trusted directory of each path (see SafePath.h) is
    // taken to exist and to be a directory, as an emptied destination is.
    using Tree = std::map<std::string, MADE_ENTRY_T>;

    int openFile(const std::string& outPath, const std::string& name, int& handle) override;
    int write(int handle, const char* data, size_t count) override;
    int closeFile(int handle, const std::string& name) override;
    int makeSymlink(const std::string& outPath, const std::string& name, const std::string& target) override;
    int makeDirectory(const std::string& outPath, const std::string& name) override;

    const Tree& tree() const { return made; }
    uint64_t dataBytes() const { return totalBytes; }  // every data byte written, in all files
    void clear();

private:
    // Walks to the entry's parent as SafePath does, making missing directories when allowed,
    // and gives the entry's key (empty when the path names the trusted directory itself).
    int findEntry(const std::string& outPath, const std::string& name, bool makeMissing, std::string& key);
    int enterDirectory(const std::string& key, bool makeMissing, const std::string& name, const EntryTarget& target,
                       size_t end);
    bool hasChildren(const std::string& key) const;

    Tree made;
    std::vector<MADE_ENTRY_T*> openFiles;  // by handle; null when closed. Tree nodes are never erased.
    uint64_t totalBytes = 0;
};

}  // namespace brn
