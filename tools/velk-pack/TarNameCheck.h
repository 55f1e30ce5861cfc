#pragma once
// CTarNameCheck follows a tar file on its way into a package, unchanged, and refuses it at
// the first entry name that holds a backslash, which unpacking would read as a slash. The
// names are those the unpacker's own tar reader forms, read by that reader with backslashes
// kept over a record that makes nothing (brn/tar/ListingEntryMaker.h): ustar names joined
// with their prefix, pax and GNU long names, the targets of hard links, whatever the slicing.
// Where the reader stops (the end marker, a block that is no header, an entry it refuses)
// nothing after is ever unpacked, so the rest is not looked at, and the reader's own messages
// are not shown: the file need not be a tar archive at all.
// Calling order: construct with the name to report, update any number of times. Memory: the
// reader's block and the record's few bytes per entry.

#include <string>

#include "brn/tar/ListingEntryMaker.h"
#include "brn/tar/TarReader.h"

namespace velk {

class CTarNameCheck {
public:
    static constexpr int kBackslashInName = -1;  // printed once; every later update is refused
    static constexpr int kBadArguments = -2;     // data null or len <= 0

    explicit CTarNameCheck(std::string sourceName);
    CTarNameCheck(const CTarNameCheck&) = delete;
    CTarNameCheck& operator=(const CTarNameCheck&) = delete;

    // len, or a negative code.
    [[nodiscard]] int update(const char* data, int len);

private:
    void checkEntry(const brn::TAR_FILE_INFO_T& entry);

    std::string source;
    brn::CListingEntryMaker record;
    brn::CTarReader reader;
    bool reading = true;   // the reader still takes the file
    bool refused = false;  // a name with a backslash was found
};

}  // namespace velk
