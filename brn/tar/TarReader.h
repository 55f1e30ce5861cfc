#pragma once
// CTarReader, the last stage of the untgza pipeline: takes a tar stream in pieces of any
// size, cuts it into 512-byte blocks and hands each entry (regular file, directory, symbolic
// link, hard link) to the entry maker given to init (brn/tar/EntryMaker.h), which makes it at
// its archive name below the maker's root under the rules of brn/tar/PathWalker.h. The stream
// is ustar with the extensions common writers add (brn/tar/TarExtensions.h: pax headers, GNU
// long names), and the old-style folder: a regular-file entry whose name ends in '/', which
// has no data whatever its size field says. A header whose checksum does not match fails the
// stream, as does a ".." component in a name (or a hard link's target), a name component
// over 255 bytes or a symbolic link target over 4095, before the maker hears of the entry.
// Calling order: construct, init, update any number of times, finish, destroy; one reader
// per archive. The reader owns the output of the entry being written, never the maker.
// Memory: one block, and the data of one extension header (at most kMaxExtensionBytes,
// allocated once when one comes).

#include <cstdint>
#include <string>

#include "brn/tar/EntryMaker.h"
#include "brn/tar/TarError.h"
#include "brn/tar/TarExtensions.h"
#include "brn/tar/TarHeader.h"

namespace brn {

// What the next 512-byte block must be:
//   kHeader -> (entry with data) kData -> ... -> kHeader -> (zero block) kZeroBlocks
//   kHeader -> (extension header with data) kExtension -> ... -> kHeader
// Any failure goes to kNothing, where it stays.
enum class TarExpect : int {
    kHeader = 0,      // an entry or extension header, or the first zero block of the end marker
    kData = 1,        // data of the current entry; `remaining` bytes to go
    kZeroBlocks = 2,  // end marker seen: only zero blocks may follow
    kNothing = 3,     // failed: every later update is refused
    kExtension = 4,   // data of an extension header; `remaining` bytes to go into extensionData
};

class CTarReader {
public:
    static constexpr int kOk = 0;
    static constexpr int kInitNoMaker = -1;           // init: maker is null
    static constexpr int kUpdateNoMaker = -1;         // update: init was never successful
    static constexpr int kUpdateFailedBefore = -2;    // update: an earlier block failed
    static constexpr int kUpdateBadArguments = -3;    // update: data null or len <= 0
    static constexpr int kUpdateFirstBlockFailed = -4;  // the block completed first in this call failed
    static constexpr int kUpdateLaterBlockFailed = -5;  // a further block of this call failed
    static constexpr int kFinishIncomplete = -1;      // finish: entry data missing, or failed

    CTarReader() = default;
    ~CTarReader();
    CTarReader(const CTarReader&) = delete;
    CTarReader& operator=(const CTarReader&) = delete;

    // Every entry goes to `maker`, which must outlive the reader.
    [[nodiscard]] int init(CEntryMaker* maker);
    // Data of a file that lies in whole blocks of `data` goes to the maker in one write per
    // call (a block split across calls in one write of its own). A failed write fails the
    // stream as its first block would: -4 when that block is the first of the call.
    [[nodiscard]] int update(const char* data, int len);
    [[nodiscard]] int finish();

    // Why the stream failed; kNone while it has not.
    TarError lastError() const { return failure; }

private:
    void fail(TarError error);
    TarError closeCurrentFile();
    TarError parseHeader(const UstarHeader& header, TAR_FILE_INFO_T& entry);
    TarError decodeType(const UstarHeader& header, TAR_FILE_INFO_T& entry);
    void formName(std::string& name) const;
    TarError processBlock(const char* block);
    TarError expectHeader(const char* block);
    TarError startExtension(const UstarHeader& header);
    TarError expectExtension(const char* block);
    TarError expectData(const char* block);
    TarError processInPlace(const char* data, size_t available, size_t& taken);
    TarError writeData(const char* data, size_t count);
    TarError expectZeroBlocks(const char* block);
    TarError makeEntry();
    TarError startData();

    CEntryMaker* maker = nullptr;             // the output, borrowed; nullptr until init
    TarExpect state = TarExpect::kHeader;
    char blockBuffer[kTarBlockSize];          // a block arriving in pieces is assembled here
    char zeroBlock[kTarBlockSize] = {};       // the end-of-archive block, for comparison
    int output = -1;                          // the maker's handle of the file being written; -1 none
    int held = 0;                             // bytes in blockBuffer, 0..511 between calls
    uint64_t blockOffset = 0;                 // offset in the archive of the block being processed
    TAR_FILE_INFO_T info;                     // the current entry
    uint32_t remaining = 0;                   // data bytes of the current entry or extension still to come
    CTarExtensions extensions;                // what extension headers said for the entries to come
    unsigned char extensionFlag = 0;          // the typeflag of the extension header being read
    std::string extensionData;                // its data so far
    TarError failure = TarError::kNone;       // see lastError
};

}  // namespace brn
