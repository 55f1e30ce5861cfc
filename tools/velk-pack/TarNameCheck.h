#pragma once
// CTarNameCheck follows a tar file on its way into a package, unchanged, and refuses it at
// the first entry name that holds a backslash, which unpacking would read as a slash. It
// finds the headers as the unpacker's tar reader does: a zero block ends the archive, a
// block with neither the ustar magic nor a name is no header, a name joins the POSIX prefix,
// and only a regular file has data, its size rounded up to whole blocks. Where the reader
// stops (the end marker, no header, a size in base-256 form or above 4294967295, a kind of
// entry it refuses) nothing after is ever unpacked, so the rest is not looked at: the file
// need not be a tar archive at all.
// Calling order: construct with the name to report, update any number of times. It keeps at
// most one partial header block; a header or skipped data may span any number of pieces.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "brn/tar/TarHeader.h"

namespace velk {

class CTarNameCheck {
public:
    static constexpr int kBackslashInName = -1;  // printed once; every later update is refused
    static constexpr int kBadArguments = -2;     // data null or len <= 0

    explicit CTarNameCheck(std::string sourceName) : source(std::move(sourceName)) {}

    // len, or a negative code.
    [[nodiscard]] int update(const char* data, int len);

private:
    // What the next bytes of the file are:
    //   kHeader -> (a regular file with data) kData -> kHeader ...
    //   kHeader -> (end marker, or where the reader stops) kNotRead
    //   kHeader -> (a name with a backslash) kRefused
    enum class Expect : int {
        kHeader = 0,   // a header block; `collected` bytes of it are in `header`
        kData = 1,     // `dataLeft` bytes of an entry's data and padding to skip
        kNotRead = 2,  // unpacking reads no further: nothing more is looked at
        kRefused = 3,  // a name with a backslash was found
    };

    void readHeader();

    std::string source;
    Expect expect = Expect::kHeader;
    unsigned char header[brn::kTarBlockSize] = {};
    size_t collected = 0;
    uint64_t dataLeft = 0;
};

}  // namespace velk
