#include "brn/tar/TarReader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "brn/tar/SafePath.h"
#include "fs/Message.h"

namespace brn {

namespace {

// Sets entry.type from the typeflag; linkname only for symbolic links.
TarError decodeType(const UstarHeader& header, TAR_FILE_INFO_T& entry) {
    const auto flag = static_cast<unsigned char>(header.typeflag);
    switch (flag) {
        case '\0':
        case '0':
        case '7':  // contiguous file: an ordinary file here
            entry.type = kTarTypeRegular;
            return TarError::kNone;
        case '2':
            entry.type = kTarTypeSymlink;
            entry.linkname = fieldText(header.linkname, sizeof header.linkname);
            return entry.linkname.empty() ? TarError::kEmptyLinkTarget : TarError::kNone;
        case '3':
            entry.type = kTarTypeCharDevice;  // refused when the entry is made
            return TarError::kNone;
        case '4':
            entry.type = kTarTypeBlockDevice;
            return TarError::kNone;
        case '5':
            entry.type = kTarTypeDirectory;
            return TarError::kNone;
        case '6':
            entry.type = kTarTypeFifo;
            return TarError::kNone;
        default:  // '1' hard link, 'L'/'K' long names, 'x'/'g' pax headers, anything else
            brn::message("unsupported link flag '%c'\n", flag);
            return TarError::kUnsupportedFlag;
    }
}

// The size must be what it says: a value we cannot hold would make us read archive
// data as headers, or headers as file content.
TarError decodeSize(const UstarHeader& header, TAR_FILE_INFO_T& entry) {
    const OctalField size = readOctalField(header.size, sizeof header.size);
    const int shown = int(entry.name.size());
    if (size.form == OctalForm::kBase256) {
        brn::message("tar: %.*s: size field in base-256 form is not supported\n", shown, entry.name.data());
        return TarError::kBadSize;
    }
    if (size.form == OctalForm::kTooLarge) {
        brn::message("tar: %.*s: size above 4294967295 bytes is not supported\n", shown, entry.name.data());
        return TarError::kBadSize;
    }
    entry.size = size.value;
    return TarError::kNone;
}

// A maker's result as the reader's cause: a path refused for safety, or one that could not be made.
TarError fromMaker(int makerResult) {
    switch (makerResult) {
        case kEntryMakerOk: return TarError::kNone;
        case kSafePathDotDot: return TarError::kDotDot;
        case kSafePathThroughLink: return TarError::kThroughLink;
        default: return TarError::kMakeFailed;
    }
}

}  // namespace

const char* describe(TarError error) {
    switch (error) {
        case TarError::kNone: return "no error";
        case TarError::kBadHeader: return "a block that is not a tar header";
        case TarError::kUnsupportedFlag: return "a hard link, long name or extended header is refused";
        case TarError::kEmptyLinkTarget: return "a symbolic link without a target";
        case TarError::kBadSize: return "an entry size the archive format cannot hold";
        case TarError::kDotDot: return "unsafe entry path refused: a '..' component";
        case TarError::kThroughLink: return "unsafe entry path refused: a way through a symbolic link the archive made";
        case TarError::kMakeFailed: return "an entry could not be made where an earlier one stands";
        case TarError::kUnsupportedType: return "a device or FIFO entry is refused";
        case TarError::kWriteFailed: return "entry data could not be written";
        case TarError::kCloseFailed: return "an entry could not be closed";
        case TarError::kDataAfterEnd: return "data after the end of the tar archive";
        case TarError::kEndsInsideEntry: return "the tar archive ends inside an entry";
    }
    return "unknown";
}

CTarReader::~CTarReader() { (void)closeCurrentFile(); }

int CTarReader::init(CEntryMaker* entryMaker) {
    if (entryMaker == nullptr) return kInitNoMaker;
    maker = entryMaker;
    return kOk;
}

// Blocks lying whole in `data` are processed where they are; only a block split across
// calls is assembled in blockBuffer. The first block of a call (completed from held
// bytes, or the first whole one) fails with -4, every further one with -5.
int CTarReader::update(const char* data, int len) {
    if (maker == nullptr) return kUpdateNoMaker;
    if (state == TarExpect::kNothing) return kUpdateFailedBefore;
    if (data == nullptr || len <= 0) return kUpdateBadArguments;
    const size_t length = size_t(len);
    const size_t already = size_t(held);
    if (already + length < kTarBlockSize) {
        memcpy(blockBuffer + already, data, length);
        held += len;
        return len;
    }
    size_t used = 0;
    if (already > 0) {
        used = kTarBlockSize - already;
        memcpy(blockBuffer + already, data, used);
        held = 0;
        if (TarError error = processBlock(blockBuffer); error != TarError::kNone) {
            fail(error);
            return kUpdateFirstBlockFailed;
        }
    }
    for (size_t taken = 0; length - used >= kTarBlockSize; used += taken) {
        if (TarError error = processInPlace(data + used, length - used, taken); error != TarError::kNone) {
            fail(error);
            return used == 0 ? kUpdateFirstBlockFailed : kUpdateLaterBlockFailed;
        }
    }
    memcpy(blockBuffer, data + used, length - used);
    held = int(length - used);
    return len;
}

// Held bytes of an incomplete last block are dropped: the archive may end without padding.
int CTarReader::finish() {
    if (state == TarExpect::kData) failure = TarError::kEndsInsideEntry;
    if (state == TarExpect::kData || state == TarExpect::kNothing) return kFinishIncomplete;
    return kOk;
}

// The block's cause is the stream's: it fails from here on.
void CTarReader::fail(TarError error) {
    failure = error;
    state = TarExpect::kNothing;
}

TarError CTarReader::processBlock(const char* block) {
    switch (state) {
        case TarExpect::kHeader:
            return expectHeader(block);
        case TarExpect::kData:
            return expectData(block);
        case TarExpect::kZeroBlocks:
            return expectZeroBlocks(block);
        case TarExpect::kNothing:
            break;
    }
    return failure;  // update refuses a failed reader before any block
}

TarError CTarReader::expectHeader(const char* block) {
    if (memcmp(block, zeroBlock, kTarBlockSize) == 0) {
        state = TarExpect::kZeroBlocks;
        return TarError::kNone;
    }
    if (TarError parsed = parseHeader(block, info); parsed != TarError::kNone) return parsed;
    if (checkEntryName(info.name) != kSafePathOk) return TarError::kDotDot;
    maker->noteEntry(info);
    return makeEntry();
}

TarError CTarReader::parseHeader(const char* block, TAR_FILE_INFO_T& entry) {
    UstarHeader header;
    memcpy(&header, block, sizeof header);
    // Without the magic only a non-empty name makes the block a header.
    if (!hasUstarMagic(header) && header.name[0] == '\0') return TarError::kBadHeader;
    entry.name = entryPath(header);  // joined first: every later rule sees the whole path
    std::replace(entry.name.begin(), entry.name.end(), '\\', '/');
    entry.mode = readOctalField(header.mode, sizeof header.mode).value;
    const TarError sized = decodeSize(header, entry);
    return sized != TarError::kNone ? sized : decodeType(header, entry);
}

// Only regular files have data: a size on a directory or link entry is ignored.
TarError CTarReader::makeEntry() {
    switch (info.type) {
        case kTarTypeRegular: {
            int handle = -1;
            const int opened = maker->openFile(info.name, info.mode, handle);
            if (opened != kEntryMakerOk) return fromMaker(opened);
            if (handle < 0) return TarError::kMakeFailed;
            output = handle;
            return startData();
        }
        case kTarTypeSymlink:
            return fromMaker(maker->makeSymlink(info.name, info.linkname));
        case kTarTypeDirectory:
            return fromMaker(maker->makeDirectory(info.name, info.mode));
        default:
            brn::message("unsupported file type %u\n", unsigned(info.type));
            return TarError::kUnsupportedType;
    }
}

// The output of a regular file is open: expect its data, or close an empty file at once.
TarError CTarReader::startData() {
    if (info.size == 0) return closeCurrentFile();
    remaining = info.size;
    state = TarExpect::kData;
    return TarError::kNone;
}

TarError CTarReader::expectData(const char* block) {
    return writeData(block, std::min<size_t>(remaining, kTarBlockSize));
}

// The whole blocks at `data` (`available` bytes, at least one block) that hold file data
// go in one write; any other block is processed alone. `taken`: the bytes used, padding of
// the entry's last block included.
TarError CTarReader::processInPlace(const char* data, size_t available, size_t& taken) {
    if (state != TarExpect::kData) {
        taken = kTarBlockSize;
        return processBlock(data);
    }
    const size_t whole = available - available % kTarBlockSize;
    const size_t count = std::min<size_t>(remaining, whole);
    taken = (count + kTarBlockSize - 1) / kTarBlockSize * kTarBlockSize;
    return writeData(data, count);
}

// Writes the next `count` data bytes of the current entry (1..remaining) and closes its
// output after the last.
TarError CTarReader::writeData(const char* data, size_t count) {
    if (maker->write(output, data, count) != kEntryMakerOk) {
        (void)closeCurrentFile();
        return TarError::kWriteFailed;
    }
    remaining -= uint32_t(count);
    if (remaining > 0) return TarError::kNone;
    if (TarError closed = closeCurrentFile(); closed != TarError::kNone) return closed;
    state = TarExpect::kHeader;
    return TarError::kNone;
}

TarError CTarReader::expectZeroBlocks(const char* block) {
    if (memcmp(block, zeroBlock, kTarBlockSize) == 0) return TarError::kNone;
    state = TarExpect::kNothing;
    return TarError::kDataAfterEnd;
}

TarError CTarReader::closeCurrentFile() {
    if (output < 0) return TarError::kNone;
    const int handle = output;
    output = -1;
    return maker->closeFile(handle, info.name) == kEntryMakerOk ? TarError::kNone : TarError::kCloseFailed;
}

}  // namespace brn
