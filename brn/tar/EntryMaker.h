#pragma once
// CEntryMaker is the tar reader's one output: it is told of every entry as its header is
// decoded, opens regular files and writes their data through handles, and makes symbolic
// links and directories, each at an entry's name taken relative to the maker's own root,
// under the rules of brn/tar/PathWalker.h. CDiskEntryMaker makes them below a directory
// descriptor; CListingEntryMaker only records (and may report) what would be made. Every
// call gives a MakeOutcome (brn/tar/MakeOutcome.h). Calling order per entry: noteEntry, then for a regular file openFile, write any number of times,
// closeFile, or makeSymlink, makeHardLink or makeDirectory. The reader never owns its maker;
// the maker must outlive every reader using it. How the reader forms names for a maker is
// the maker's setting too (keepBackslashes), so every reader feeding it reads names alike.

#include <cstddef>
#include <cstdint>
#include <string>

#include "brn/tar/MakeOutcome.h"

namespace brn {

// File-type bits of TAR_FILE_INFO_T::type, as in st_mode.
constexpr uint32_t kTarTypeFifo = 0x1000;
constexpr uint32_t kTarTypeCharDevice = 0x2000;
constexpr uint32_t kTarTypeDirectory = 0x4000;
constexpr uint32_t kTarTypeBlockDevice = 0x6000;
constexpr uint32_t kTarTypeRegular = 0x8000;
constexpr uint32_t kTarTypeSymlink = 0xA000;
// Not an st_mode kind: another name for a regular file an earlier entry made.
constexpr uint32_t kTarTypeHardLink = 0x10000;

// One entry as decoded from its header; overwritten by every header.
struct TAR_FILE_INFO_T {
    std::string name;      // stored path (or long name), every backslash turned into a slash
                           // unless the maker keeps them
    uint32_t mode = 0;     // permission bits from the header
    uint32_t size = 0;     // data bytes that follow the header (regular files only)
    uint32_t type = 0;     // one of kTarType*
    std::string linkname;  // symbolic link target as stored, or the entry name a hard link names
                           // (formed as `name` is); meaningful only for links
};

class CEntryMaker {
public:
    CEntryMaker() = default;
    virtual ~CEntryMaker() = default;
    CEntryMaker(const CEntryMaker&) = delete;
    CEntryMaker& operator=(const CEntryMaker&) = delete;

    // Told of every entry whose name passed the ".." rule, in archive order, before it is
    // made (and before a device or FIFO is refused).
    virtual void noteEntry(const TAR_FILE_INFO_T&) {}
    // Opens a regular file for writing from its start and stores a handle >= 0 in `handle`.
    // `mode` holds the entry's permission bits as the archive stores them.
    virtual MakeOutcome openFile(const std::string& name, uint32_t mode, int& handle) = 0;
    // Writes all `count` bytes (count >= 1) at the end of what was written so far.
    virtual MakeOutcome write(int handle, const char* data, size_t count) = 0;
    // Ends the file; `name` is the entry's, for messages. The handle is gone even on failure.
    virtual MakeOutcome closeFile(int handle, const std::string& name) = 0;
    // Makes a symbolic link to `target` in place of whatever is at the name.
    virtual MakeOutcome makeSymlink(const std::string& name, const std::string& target) = 0;
    // Makes `name` another name of the regular file `target`, which this maker made since it
    // was constructed and which is still that file; anything else is refused
    // (MakeOutcome::kNotMadeHere). A regular file or a link at `name` is replaced.
    virtual MakeOutcome makeHardLink(const std::string& name, const std::string& target) = 0;
    // Makes a directory with its missing parents; a directory at the name is kept, a link or
    // a regular file this maker made is replaced, anything else is refused.
    virtual MakeOutcome makeDirectory(const std::string& name, uint32_t mode) = 0;

    // Off (the default), a backslash in an entry name is a slash, as in packages made on
    // Windows; on, it is an ordinary byte of the name, as tar keeps it.
    void keepBackslashes(bool keep) { backslashesKept = keep; }
    bool keepsBackslashes() const { return backslashesKept; }

private:
    bool backslashesKept = false;
};

}  // namespace brn
