#pragma once
// CDiskEntryMaker makes tar entries on disk through brn/tar/SafePath.h: nothing is made
// outside the trusted directory or through a symbolic link the archive placed. A handle
// is a file descriptor; it belongs to the maker's caller until closeFile closes it.
// Stateless: one instance may serve any number of readers, in turn or at once.

#include "brn/tar/EntryMaker.h"

namespace brn {

class CDiskEntryMaker : public CEntryMaker {
public:
    int openFile(const std::string& outPath, const std::string& name, int& handle) override;
    // writeAll: a failed or short write prints its message; what was written stays.
    int write(int handle, const char* data, size_t count) override;
    // A write error can show up only at close (a full disk): "tar: <name>: close failed(...)".
    int closeFile(int handle, const std::string& name) override;
    int makeSymlink(const std::string& outPath, const std::string& name, const std::string& target) override;
    int makeDirectory(const std::string& outPath, const std::string& name) override;
};

}  // namespace brn
