#pragma once
// CTarReader, the last stage of the untgza pipeline: takes a ustar stream in pieces of any
// size, cuts it into 512-byte blocks and has each entry (regular file, directory, symbolic
// link) made, or hands a regular file's data to the optional open/write/close callbacks.
// Entries are made by the entry maker given with setEntryMaker (brn/tar/EntryMaker.h) at
// their archive name below the maker's root; without one, on disk at the path the entry
// callback names, whose directory before the name is trusted (brn/tar/SafePath.h). Either
// way brn/tar/PathWalker.h holds the rules. Calling order: construct, init, optionally
// setOutputCallback and setEntryMaker, update any number of times, finish, destroy; one
// reader per archive. The reader owns copies of its callbacks and the output of the entry
// being written, never a maker given to it. A ".." component fails the stream.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "fs/UniqueFd.h"
#include "brn/tar/DiskEntryMaker.h"
#include "brn/tar/EntryMaker.h"
#include "brn/tar/TarHeader.h"

namespace brn {

// File-type bits of TAR_FILE_INFO_T::type, as in st_mode.
constexpr uint32_t kTarTypeFifo = 0x1000;
constexpr uint32_t kTarTypeCharDevice = 0x2000;
constexpr uint32_t kTarTypeDirectory = 0x4000;
constexpr uint32_t kTarTypeBlockDevice = 0x6000;
constexpr uint32_t kTarTypeRegular = 0x8000;
constexpr uint32_t kTarTypeSymlink = 0xA000;

// One entry as decoded from its header; overwritten by every header.
struct TAR_FILE_INFO_T {
    std::string name;      // stored path, every backslash turned into a slash
    uint32_t mode = 0;     // permission bits from the header (not applied)
    uint32_t uid = 0;      // owner named in the header, or the running process's user
    uint32_t gid = 0;      // that owner's primary group, or the running process's group
    uint32_t size = 0;     // data bytes that follow the header (regular files only)
    uint32_t type = 0;     // one of kTarType*
    std::string linkname;  // symbolic link target as stored; meaningful only for kTarTypeSymlink
};

// Asked for every entry: sets outPath (where the entry is made when no entry maker was set;
// with one, only an empty outPath matters: it fails the entry) and, for a regular file, may
// set redirect to send its data through the output callbacks. Negative: fail.
using TarEntryCallback = std::function<int(const TAR_FILE_INFO_T& info, bool& redirect, std::string& outPath)>;
// Opens a redirected file and stores a handle (-1 on entry). Negative: fail.
using TarOpenCallback = std::function<int(const TAR_FILE_INFO_T& info, int& handle)>;
// Takes 1..512 data bytes of a redirected file. Negative: fail.
using TarWriteCallback = std::function<int(const char* data, int count, int handle)>;
// Closes a handle. Negative: the handle stays recorded as open.
using TarCloseCallback = std::function<int(int handle)>;

// Why the stream failed, recorded where the fault is found; kNone while it has not.
enum class TarError : int {
    kNone = 0,
    kBadHeader = 1,         // a block that is no header: no magic and an empty name
    kUnsupportedFlag = 2,   // hard link, long name, pax header or unknown typeflag
    kEmptyLinkTarget = 3,   // a symbolic link without a target
    kBadSize = 4,           // a size in base-256 form or above 4294967295
    kDotDot = 5,            // the name has a ".." component
    kThroughLink = 6,       // the path goes through a symbolic link the archive made
    kRefused = 7,           // the entry or open callback refused the entry
    kNoOutPath = 8,         // not redirected and given no path
    kMakeFailed = 9,        // the file, directory or link could not be made
    kUnsupportedType = 10,  // a device or a FIFO
    kWriteFailed = 11,      // the data could not be written
    kCloseFailed = 12,      // the output could not be closed
    kDataAfterEnd = 13,     // a non-zero block after the end marker
    kEndsInsideEntry = 14,  // finish: the archive ended inside an entry's data
};

// The cause in words, for reports: "a hard link, long name or extended header", ...
const char* describe(TarError error);

// What the next 512-byte block must be:
//   kHeader -> (entry with data) kData -> ... -> kHeader -> (zero block) kZeroBlocks
// Any failure goes to kNothing, where it stays.
enum class TarExpect : int {
    kHeader = 0,      // an entry header, or the first zero block of the end marker
    kData = 1,        // data of the current entry; `remaining` bytes to go
    kZeroBlocks = 2,  // end marker seen: only zero blocks may follow
    kNothing = 3,     // failed: every later update is refused
};

class CTarReader {
public:
    static constexpr int kOk = 0;
    static constexpr int kInitNoCallback = -1;        // init: the entry callback is empty
    static constexpr int kUpdateNoCallback = -1;      // update: init was never successful
    static constexpr int kUpdateFailedBefore = -2;    // update: an earlier block failed
    static constexpr int kUpdateBadArguments = -3;    // update: data null or len <= 0
    static constexpr int kUpdateFirstBlockFailed = -4;  // the block completed first in this call failed
    static constexpr int kUpdateLaterBlockFailed = -5;  // a further block of this call failed
    static constexpr int kFinishIncomplete = -1;      // finish: entry data missing, or failed

    CTarReader();
    virtual ~CTarReader();
    CTarReader(const CTarReader&) = delete;
    CTarReader& operator=(const CTarReader&) = delete;

    [[nodiscard]] int init(TarEntryCallback onEntry);
    bool setOutputCallback(TarOpenCallback onOpen, TarWriteCallback onWrite, TarCloseCallback onClose);
    // Entries not redirected are made by `maker` at their names from the next entry on
    // (nullptr: on disk at the callback's outPath, the default). It must outlive the reader.
    // False, and nothing changed, while a file made by the current maker is open.
    bool setEntryMaker(CEntryMaker* maker);
    // Data of an entry made by the maker that lies in whole blocks of `data` goes to the
    // maker in one write per call (a block split across calls in one write of its own);
    // redirected data goes to the write callback one block at a time. A failed write fails
    // the stream as its first block would: -4 when that block is the first of the call.
    [[nodiscard]] int update(const char* data, int len);
    [[nodiscard]] int finish();

    // Why the stream failed; kNone while it has not.
    TarError lastError() const { return failure; }
    // True once the stream failed on an entry whose path was refused for safety, as
    // opposed to damaged or unsupported data.
    bool refusedUnsafePath() const { return failure == TarError::kDotDot || failure == TarError::kThroughLink; }

private:
    void fail(TarError error);
    TarError closeCurrentFile();
    TarError fromMaker(int makerResult);
    TarError parseHeader(const char* block, TAR_FILE_INFO_T& entry);
    TarError processBlock(const char* block);
    TarError expectHeader(const char* block);
    TarError expectData(const char* block);
    TarError processInPlace(const char* data, size_t available, size_t& taken);
    TarError writeData(const char* data, size_t count);
    TarError expectZeroBlocks(const char* block);
    TarError openRedirected();
    TarError makeDirect(const std::string& outPath);
    TarError rootAtPath(const std::string& outPath, std::string& below);
    TarError startData();

    TarEntryCallback entryCallback;
    TarOpenCallback openCallback;
    TarWriteCallback writeCallback;
    TarCloseCallback closeCallback;
    CEntryMaker* maker = nullptr;             // the caller's maker; nullptr: pathMaker
    CEntryMaker* outputMaker = nullptr;       // the maker of the file being written
    std::string pathRootDir;                  // the trusted directory pathMaker is rooted at
    CUniqueFd pathRoot;                       // that directory, opened
    std::unique_ptr<CDiskEntryMaker> pathMaker;  // makes entries at the callback's paths
    bool redirected = false;                  // output is a callback handle, not our descriptor
    TarExpect state = TarExpect::kHeader;
    char blockBuffer[kTarBlockSize];          // a block arriving in pieces is assembled here
    char zeroBlock[kTarBlockSize] = {};       // the end-of-archive block, for comparison
    int output = -1;                          // maker's or callback's handle of the current entry; -1 none
    int held = 0;                             // bytes in blockBuffer, 0..511 between calls
    TAR_FILE_INFO_T info;                     // the current entry
    uint32_t remaining = 0;                   // data bytes of the current entry still to come
    TarError failure = TarError::kNone;       // see lastError
};

}  // namespace brn
