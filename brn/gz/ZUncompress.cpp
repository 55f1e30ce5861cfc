#include "brn/gz/ZUncompress.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "brn/ByteOrder.h"
#include "brn/FuzzPolicy.h"
#include "brn/gz/Crc32.h"
#include "fs/Message.h"

// One gzip member (multi-byte fields little-endian):
//   ID1 ID2 CM    3  1F 8B 08 (deflate)
//   FLG           1  bit 0 FTEXT, 1 FHCRC, 2 FEXTRA, 3 FNAME, 4 FCOMMENT, 5-7 reserved
//   MTIME         4  modification time
//   XFL OS        2  not looked at
//   [FEXTRA]      2 + XLEN  XLEN, then subfields: SI1 SI2 LEN(2) and LEN data bytes
//   [FNAME]       n + 1  zero-terminated
//   [FCOMMENT]    n + 1  zero-terminated
//   [FHCRC]       2  CRC-16 of the header, not verified
//   deflate data
//   CRC32         4  CRC-32 of the uncompressed data
//   ISIZE         4  uncompressed size modulo 2^32
// The header is parsed only once it is complete; until then it waits in the input buffer.

namespace brn {

namespace {

constexpr unsigned char kId1 = 0x1F;
constexpr unsigned char kId2 = 0x8B;
constexpr unsigned char kMethodDeflate = 8;
constexpr size_t kFixedHeaderSize = 10;
constexpr size_t kFlagsAt = 3;
constexpr size_t kMtimeAt = 4;
constexpr unsigned char kFlagHeaderCrc = 0x02;
constexpr unsigned char kFlagExtra = 0x04;
constexpr unsigned char kFlagName = 0x08;
constexpr unsigned char kFlagComment = 0x10;
constexpr size_t kHeaderCrcSize = 2;
constexpr size_t kExtraLengthSize = 2;
constexpr size_t kSubfieldHeadSize = 4;  // SI1, SI2, LEN(2)
constexpr int kUninitMessageOffset = 100;
constexpr int kDumpColourGreen = 32;
constexpr size_t kDumpExtraBlankAfter = 8;  // the dump puts one more blank after the 8th byte

// Where the optional header fields lie in the held bytes.
struct Span {
    size_t at = 0;
    size_t length = 0;
};

struct HeaderLayout {
    Span extra;    // the XLEN bytes after XLEN
    Span name;     // without the terminating zero
    Span comment;  // without the terminating zero
};

// Finds the zero that ends a text field at `cursor`: the field's span and true, or false
// when the zero has not arrived yet.
bool findText(const unsigned char* in, size_t held, size_t& cursor, Span& text) {
    if (cursor >= held) return false;
    const void* zero = memchr(in + cursor, 0, held - cursor);
    if (zero == nullptr) return false;
    text.at = cursor;
    text.length = size_t(static_cast<const unsigned char*>(zero) - (in + cursor));
    cursor += text.length + 1;
    return true;
}

// The length of the header that starts with a valid identification and non-zero FLG, or 0
// while bytes are missing. Nothing is read at or beyond `held`.
size_t measureHeader(const unsigned char* in, size_t held, HeaderLayout& layout) {
    unsigned char flags = in[kFlagsAt];
    size_t cursor = kFixedHeaderSize;
    if ((flags & kFlagExtra) != 0) {
        if (held - cursor < kExtraLengthSize) return 0;
        size_t extraLength = loadLe16(in + cursor);
        if (held - cursor < kExtraLengthSize + extraLength) return 0;
        layout.extra = Span{cursor + kExtraLengthSize, extraLength};
        cursor += kExtraLengthSize + extraLength;
    }
    if ((flags & kFlagName) != 0 && !findText(in, held, cursor, layout.name)) return 0;
    if ((flags & kFlagComment) != 0 && !findText(in, held, cursor, layout.comment)) return 0;
    if ((flags & kFlagHeaderCrc) != 0) {
        if (held - cursor < kHeaderCrcSize) return 0;
        cursor += kHeaderCrcSize;
    }
    return cursor;
}

// Only the first subfield is reported, and only when it lies wholly inside the extra field.
void fillRecord(const unsigned char* in, const HeaderLayout& layout, GZ_HEADER_INFO_T& header) {
    auto text = [in](const Span& span) { return std::string(reinterpret_cast<const char*>(in + span.at), span.length); };
    header.modificationTime = loadLe32(in + kMtimeAt);
    header.fileName = text(layout.name);
    header.comment = text(layout.comment);
    if (layout.extra.length < kSubfieldHeadSize) return;
    const unsigned char* subfield = in + layout.extra.at;
    size_t dataLength = loadLe16(subfield + 2);
    if (dataLength > layout.extra.length - kSubfieldHeadSize) return;
    header.subfieldId1 = subfield[0];
    header.subfieldId2 = subfield[1];
    header.subfieldData = text(Span{layout.extra.at + kSubfieldHeadSize, dataLength});
}

// The diagnostic for a wrong identification: a coloured location, then the first 10 bytes.
void dumpIdentification(const unsigned char* in, const char* file, int line) {
    brn::messageLine("invalid gzip header:");
    brn::message("\033[40;%dm%s,line %d,%s():\033[0m ", kDumpColourGreen, file, line, "checkHeader");
    brn::message("%s(%d)=\n", "pBuffer", int(kFixedHeaderSize));
    brn::message("%04xH: ", 0u);
    for (size_t i = 0; i < kFixedHeaderSize; ++i) {
        char hex[3];
        snprintf(hex, sizeof hex, "%02x", unsigned(in[i]));
        for (char& digit : hex) digit = char(toupper(static_cast<unsigned char>(digit)));
        brn::message("%s ", hex);
        if (i + 1 == kDumpExtraBlankAfter) brn::message(" ");
    }
    brn::message("\n");
}

}  // namespace

const char* describe(GzipError error) {
    switch (error) {
        case GzipError::kNone: return "no error";
        case GzipError::kNotGzip: return "the payload is not a gzip stream";
        case GzipError::kHeaderRefused: return "the gzip header was refused";
        case GzipError::kHeaderTooLong: return "the gzip header is too long";
        case GzipError::kBadData: return "the compressed data is damaged";
        case GzipError::kOutputRefused: return "the tar stage refused the data";
        case GzipError::kTruncated: return "the gzip stream ends early";
        case GzipError::kCrcMismatch: return "the gzip trailer's CRC-32 does not match the data";
        case GzipError::kSizeMismatch: return "the gzip trailer's length does not match the data";
        case GzipError::kEndFailed: return "the gzip stream could not be ended";
    }
    return "unknown";
}

CZUncompress::CZUncompress(int requestedMode) {
    if (static_cast<unsigned>(requestedMode) > static_cast<unsigned>(kModeGzip)) {
        mode = kModeInvalid;
        return;
    }
    mode = requestedMode;
    outputBuffer.reset(new unsigned char[sliceSize]);
    inputBuffer.reset(new unsigned char[inputCapacity]);
}

CZUncompress::~CZUncompress() {
    if (initialised) inflateEnd(&stream);
}

int CZUncompress::init(const StageOutput& out, const GzHeaderObserver& headerObserver, int bits) {
    if (!out) return kInitNoOutput;
    if (mode == kModeInvalid) return kInitInvalidMode;
    if (initialised) uninit();
    stream.next_in = Z_NULL;
    stream.avail_in = 0;
    stream.zalloc = Z_NULL;
    stream.zfree = Z_NULL;
    stream.opaque = Z_NULL;
    if (inflateInit2(&stream, bits) != Z_OK) return kInitZlibFailed;
    output = out;
    observer = headerObserver;
    windowBits = bits;
    crc = 0;
    heldCount = 0;
    outputHeld = 0;
    outputCount = 0;
    deflateEnded = false;
    failure = GzipError::kNone;
    initialised = true;
    headerDone = false;
    return 0;
}

int CZUncompress::update(const char* data, int len) {
    if (data == nullptr || len <= 0) return kUpdateBadArguments;
    if (!initialised) return kUpdateNotInitialised;
    auto* in = reinterpret_cast<const unsigned char*>(data);
    size_t remaining = size_t(len);
    if (mode == kModeGzip && !headerDone) {
        int result = consumeHeader(in, remaining, len);
        if (!headerDone) return result;
    }
    return feedSlices(in, remaining) ? len : kUpdateFailed;
}

// Gathers header bytes and parses them again from the start each time. Once the header is
// complete it is dropped from the buffer, and `in`/`remaining` name the new bytes that did
// not fit yet. Without a complete header the result is update's (len, or a failure).
int CZUncompress::consumeHeader(const unsigned char*& in, size_t& remaining, int len) {
    size_t copied = std::min(remaining, inputCapacity - heldCount);
    memcpy(inputBuffer.get() + heldCount, in, copied);
    heldCount += copied;
    int headerLength = checkHeader(reinterpret_cast<const char*>(inputBuffer.get()), int(heldCount));
    if (headerLength < 0) {
        brn::message("CZUncompress::checkHeader error %d\n", headerLength);
        fail(headerLength == kHeaderRefused ? GzipError::kHeaderRefused : GzipError::kNotGzip);
        uninit();
        return kUpdateFailed;
    }
    if (headerLength == kHeaderIncomplete) {
        if (copied == remaining) return len;
        fail(GzipError::kHeaderTooLong);
        uninit();  // the buffer is full and the header still goes on
        return kUpdateHeaderTooLong;
    }
    headerDone = true;
    heldCount -= size_t(headerLength);
    memmove(inputBuffer.get(), inputBuffer.get() + headerLength, heldCount);
    in += copied;
    remaining -= copied;
    return len;
}

// Inflates whole slices while more than a slice plus the trailer is at hand, so the last
// 8 bytes received always stay in the buffer: they may be the trailer and are never inflated.
// When nothing is held, slices are taken straight from the caller's memory.
bool CZUncompress::feedSlices(const unsigned char* in, size_t remaining) {
    unsigned char* buffer = inputBuffer.get();
    size_t total = heldCount + remaining;
    while (total >= inputCapacity) {
        const unsigned char* slice = in;
        if (heldCount > 0) {
            if (heldCount < sliceSize) {
                size_t topUp = sliceSize - heldCount;
                memcpy(buffer + heldCount, in, topUp);
                in += topUp;
                remaining -= topUp;
                heldCount = sliceSize;
            }
            slice = buffer;
        } else {
            in += sliceSize;
            remaining -= sliceSize;
        }
        if (!inflateSlice(slice, sliceSize)) return false;
        if (heldCount > 0) {
            heldCount -= sliceSize;
            memmove(buffer, buffer + sliceSize, heldCount);
        }
        total -= sliceSize;
    }
    if (remaining > 0) memcpy(buffer + heldCount, in, remaining);
    heldCount += remaining;
    return true;
}

// Inflates one slice behind the output already held, handing on every full output buffer,
// until zlib leaves room over: then the slice is used up and a partly filled buffer waits
// for the next slice, or the deflate data ended (the rest of the slice is dropped) and the
// buffer goes on as the last, short block. Downstream thus sees whole 16384-byte blocks,
// a multiple of the tar block size, except the last. Z_BUF_ERROR only says that the slice
// ended in the middle of the deflate data. After an inflate error nothing more goes on.
bool CZUncompress::inflateSlice(const unsigned char* slice, size_t length) {
    stream.next_in = const_cast<Bytef*>(slice);
    stream.avail_in = uInt(length);
    bool ok = true;
    for (;;) {
        stream.next_out = outputBuffer.get() + outputHeld;
        stream.avail_out = uInt(sliceSize - outputHeld);
        int result = inflate(&stream, Z_FINISH);
        if (result == Z_STREAM_END) deflateEnded = true;
        if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
            outputHeld = 0;
            ok = fail(GzipError::kBadData);
            break;
        }
        outputHeld = sliceSize - stream.avail_out;
        if (outputHeld < sliceSize && !deflateEnded) break;
        if (!handOnOutput()) {
            ok = false;
            break;
        }
        if (deflateEnded) break;
    }
    // The slice may be the caller's memory: leave no pointer into it behind.
    stream.next_in = Z_NULL;
    stream.avail_in = 0;
    return ok;
}

// Gives the held output to `output` and counts it for the trailer; true when there was
// none. A refused block is dropped all the same: the stage has failed.
bool CZUncompress::handOnOutput() {
    if (outputHeld == 0) return true;
    const size_t count = outputHeld;
    outputHeld = 0;
    if (output(reinterpret_cast<const char*>(outputBuffer.get()), int(count)) < 0) return fail(GzipError::kOutputRefused);
    if (mode == kModeGzip) {
        crc = crc32Update(crc, outputBuffer.get(), count);
        outputCount += uint32_t(count);
    }
    return true;
}

int CZUncompress::finish() {
    return mode == kModeInflate ? finishPlainInflate() : finishGzipMember();
}

// Plain deflate data has no trailer: every held byte is inflated, and since nothing else
// would reveal a truncated stream, zlib must have seen its end.
int CZUncompress::finishPlainInflate() {
    if (heldCount > 0 && !inflateSlice(inputBuffer.get(), heldCount)) return kFinishInflateFailed;
    heldCount = 0;
    if (!handOnOutput()) return kFinishInflateFailed;
    if (!deflateEnded) {
        fail(GzipError::kTruncated);
        return kFinishInflateFailed;
    }
    return endStreamForFinish();
}

int CZUncompress::finishGzipMember() {
    if (heldCount < size_t(kTrailerSize)) {
        brn::message("CZUncompress::finish %d < %d\n", int(heldCount), kTrailerSize);
        fail(GzipError::kTruncated);
        return kFinishTooFewBytes;
    }
    // Without a consumed header the held bytes are no deflate data; eight zero bytes would
    // otherwise pass as the trailer of an empty member.
    if (!headerDone || inputBuffer == nullptr) {
        fail(GzipError::kTruncated);
        return kFinishInflateFailed;
    }
    if (heldCount > size_t(kTrailerSize)) {
        size_t dataLength = heldCount - kTrailerSize;
        if (!inflateSlice(inputBuffer.get(), dataLength)) return kFinishInflateFailed;
        memmove(inputBuffer.get(), inputBuffer.get() + dataLength, kTrailerSize);
        heldCount = kTrailerSize;
    }
    // What a cut stream inflated to still goes on; and the trailer counts every byte.
    if (!handOnOutput()) return kFinishInflateFailed;
    // A trailer that matches the output so far proves nothing about a cut deflate stream.
    if (!deflateEnded) {
        fail(GzipError::kTruncated);
        return kFinishInflateFailed;
    }
    if (int code = checkTailer(); code != 0) {
        brn::message("CZUncompress::finish checkTailer error %d\n", code);
        fail(code == kTailerSizeMismatch ? GzipError::kSizeMismatch : GzipError::kCrcMismatch);
        return kFinishTrailerMismatch;
    }
    return endStreamForFinish();
}

int CZUncompress::endStreamForFinish() {
    if (!initialised) return 0;
    int result = uninit();
    if (result == Z_OK) return 0;
    brn::message("CZUncompress::finish uninit error %d\n", result - kUninitMessageOffset);
    fail(GzipError::kEndFailed);
    return kFinishEndFailed;
}

// The first fault is the one kept; always false, for the callers' results.
bool CZUncompress::fail(GzipError error) {
    if (failure == GzipError::kNone) failure = error;
    return false;
}

int CZUncompress::checkHeader(const char* buffer, int len) {
    if (buffer == nullptr) return kHeaderNullBuffer;
    if (len < int(kFixedHeaderSize)) return kHeaderIncomplete;
    auto* in = reinterpret_cast<const unsigned char*>(buffer);
    if (in[0] != kId1 || in[1] != kId2 || in[2] != kMethodDeflate) {
        dumpIdentification(in, __FILE__, __LINE__);
        return kHeaderBadIdentification;
    }
    if (in[kFlagsAt] == 0) return int(kFixedHeaderSize);
    HeaderLayout layout;
    size_t headerLength = measureHeader(in, size_t(len), layout);
    if (headerLength == 0) return kHeaderIncomplete;
    if (observer) {
        GZ_HEADER_INFO_T header;
        fillRecord(in, layout, header);
        if (observer(header) < 0) return kHeaderRefused;
    }
    return int(headerLength);
}

int CZUncompress::checkTailer() {
    if (inputBuffer == nullptr || heldCount < size_t(kTrailerSize)) return kTailerMissing;
    if (kVerifyChecksums && loadLe32(inputBuffer.get()) != crc) return kTailerCrcMismatch;
    if (loadLe32(inputBuffer.get() + 4) != outputCount) return kTailerSizeMismatch;
    return 0;
}

int CZUncompress::uninit() {
    int result = inflateEnd(&stream);
    if (result == Z_OK) initialised = false;
    return result;
}

}  // namespace brn
