#pragma once
// CZUncompress: a push-style inflater. Compressed bytes arrive in pieces of any size; they
// are gathered into 16384-byte slices, inflated with zlib (raw deflate) and handed to the
// output callback in blocks of exactly 16384 bytes; only the last block, at the end of the
// deflate data or at finish, may be shorter. In gzip mode (CGunzip) it also consumes
// the member header, keeps the CRC-32 and byte count of its output and compares both with
// the 8-byte member trailer. Calling order: init, any number of update, finish; init may be
// called again at any time to start over. Both buffers are allocated once, in the
// constructor; the object owns copies of its callbacks.

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "brn/Stage.h"

namespace brn {

// What a gzip member header carries; whatever it does not carry stays zero or empty.
struct GZ_HEADER_INFO_T {
    uint32_t modificationTime = 0;  // MTIME, seconds since 1970
    std::string fileName;           // FNAME without its terminating zero
    std::string comment;            // FCOMMENT without its terminating zero
    unsigned char subfieldId1 = 0;  // SI1 of the first extra subfield, when it is complete
    unsigned char subfieldId2 = 0;  // SI2 of that subfield
    std::string subfieldData;       // its LEN data bytes
};

// Why the stream failed, recorded where the fault is found; kNone while it has not.
enum class GzipError : int {
    kNone = 0,
    kNotGzip = 1,         // the stream does not start with a gzip member header (1F 8B 08)
    kHeaderRefused = 2,   // the header observer refused the header
    kHeaderTooLong = 3,   // the header does not fit into the input buffer
    kBadData = 4,         // the compressed data is not valid deflate data
    kOutputRefused = 5,   // the next stage refused a block of output
    kTruncated = 6,       // finish: the stream ends before its header, deflate data or trailer do
    kCrcMismatch = 7,     // the trailer's CRC-32 is not the output's
    kSizeMismatch = 8,    // the trailer's length is not the output's
    kEndFailed = 9,       // zlib could not end the stream
};

// The cause in words, for reports: "the gzip trailer's CRC-32 does not match the data", ...
const char* describe(GzipError error);

// Told of a parsed member header (never of one whose FLG is 0); a negative result refuses it.
using GzHeaderObserver = std::function<int(const GZ_HEADER_INFO_T& header)>;

class CZUncompress {
public:
    static constexpr int kModeInflate = 0;  // plain deflate data: no header, no trailer
    static constexpr int kModeGzip = 1;     // one gzip member: header, deflate data, trailer
    static constexpr int kModeInvalid = 2;  // the constructor got another mode; no buffers

    static constexpr int kSliceSize = 16384;    // output buffer size, length of each input slice
    static constexpr int kTrailerSize = 8;      // CRC-32 and ISIZE, both little-endian
    static constexpr int kInputCapacity = kSliceSize + kTrailerSize;

    static constexpr int kInitNoOutput = -1;     // empty output callback
    static constexpr int kInitInvalidMode = -2;  // constructed in kModeInvalid
    static constexpr int kInitZlibFailed = -3;   // inflateInit2 refused (for example the window bits)

    static constexpr int kUpdateBadArguments = -1;    // data null or len <= 0
    static constexpr int kUpdateNotInitialised = -2;  // no init, or the stream was ended
    static constexpr int kUpdateFailed = -3;          // bad header, inflate error or refused output
    static constexpr int kUpdateHeaderTooLong = -4;   // the header does not fit into the input buffer

    static constexpr int kFinishTooFewBytes = -1;      // fewer than the 8 trailer bytes held
    static constexpr int kFinishInflateFailed = -2;    // inflate error, refused output, no header, or
                                                       // deflate data without its end
    static constexpr int kFinishTrailerMismatch = -3;  // CRC or size differ from the trailer
    static constexpr int kFinishEndFailed = -4;        // inflateEnd failed

    static constexpr int kHeaderIncomplete = 0;           // checkHeader: more bytes needed
    static constexpr int kHeaderNullBuffer = -1;
    static constexpr int kHeaderBadIdentification = -2;  // not 1F 8B 08
    static constexpr int kHeaderRefused = -3;             // the observer refused the header

    static constexpr int kTailerMissing = -1;       // checkTailer: no buffer or fewer than 8 bytes
    static constexpr int kTailerCrcMismatch = -2;
    static constexpr int kTailerSizeMismatch = -3;

    explicit CZUncompress(int mode);
    ~CZUncompress();
    CZUncompress(const CZUncompress&) = delete;
    CZUncompress& operator=(const CZUncompress&) = delete;

    // out must not be empty; observer may be. windowBits goes to zlib (-15: raw deflate).
    [[nodiscard]] int init(const StageOutput& out, const GzHeaderObserver& observer, int windowBits);
    // len when every byte was taken or held, else a kUpdate... code.
    [[nodiscard]] int update(const char* data, int len);
    // 0 once the held bytes are inflated, the trailer matched and the stream ended.
    [[nodiscard]] int finish();

    // Why the stream failed since init; kNone while it has not.
    GzipError lastError() const { return failure; }

protected:
    // The gzip header at the start of buffer: its length, kHeaderIncomplete, or a code.
    int checkHeader(const char* buffer, int len);
    // Compares the 8 held bytes with the CRC and output count: 0 or a kTailer... code.
    int checkTailer();
    // Ends the zlib stream; its result (Z_OK clears the initialised flag).
    int uninit();

private:
    int consumeHeader(const unsigned char*& in, size_t& remaining, int len);
    bool feedSlices(const unsigned char* in, size_t remaining);
    bool inflateSlice(const unsigned char* slice, size_t length);
    bool handOnOutput();
    int finishPlainInflate();
    int finishGzipMember();
    int endStreamForFinish();
    bool fail(GzipError error);

    int mode;                               // kModeInflate, kModeGzip or kModeInvalid
    z_stream stream{};                      // the inflate state
    bool initialised = false;               // from a successful init until the stream is ended
    bool headerDone = false;                // gzip mode: the member header has been consumed
    bool deflateEnded = false;              // zlib reported the end of the deflate data
    uint32_t crc = 0;                       // CRC-32 of every byte given to `output` since init
    int windowBits = -15;                   // as passed to inflateInit2
    const size_t sliceSize = kSliceSize;
    const size_t inputCapacity = kInputCapacity;
    size_t heldCount = 0;                   // bytes now in inputBuffer
    size_t outputHeld = 0;                  // inflated bytes in outputBuffer not handed on, < 16384 between calls
    uint32_t outputCount = 0;               // output bytes since init, modulo 2^32 (ISIZE)
    std::unique_ptr<unsigned char[]> inputBuffer;   // incomplete header, then bytes not yet inflated
    std::unique_ptr<unsigned char[]> outputBuffer;  // fills up with inflated bytes, then goes on whole
    GzipError failure = GzipError::kNone;   // see lastError
    StageOutput output;
    GzHeaderObserver observer;
};

// The gzip-mode form: a CZUncompress constructed in kModeGzip.
class CGunzip : public CZUncompress {
public:
    CGunzip() : CZUncompress(kModeGzip) {}
};

}  // namespace brn
