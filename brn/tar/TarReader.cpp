#include "brn/tar/TarReader.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "brn/tar/SafePath.h"

namespace brn {

namespace {

// Why a block failed. update() does not return it: the messages printed tell the cause.
constexpr int kBlockOk = 0;
constexpr int kBlockBadHeader = -1;        // no magic and an empty name
constexpr int kBlockUnsupportedLink = -2;  // hard link, long name, pax header, unknown typeflag
constexpr int kBlockEmptyLinkTarget = -3;  // symbolic link without a target
constexpr int kBlockBadSize = -4;          // size field in base-256 form or above 32 bits
constexpr int kBlockUnsafeName = -5;       // the name has a ".." component
constexpr int kBlockRefused = -6;          // the entry or open callback refused the entry
constexpr int kBlockNoOutPath = -7;        // not redirected and no path given
constexpr int kBlockMakeFailed = -8;       // the file, directory or link could not be made
constexpr int kBlockUnsupportedType = -9;  // device or FIFO
constexpr int kBlockWriteFailed = -10;     // the write callback or the maker refused the data
constexpr int kBlockCloseFailed = -11;     // the output could not be closed
constexpr int kBlockAfterEnd = -12;        // a non-zero block after the end marker
constexpr int kBlockFailedBefore = -13;    // the reader had already failed

constexpr size_t kPasswdWorkSize = 4096;

// Sets entry.type from the typeflag; linkname only for symbolic links.
int decodeType(const UstarHeader& header, TAR_FILE_INFO_T& entry) {
    const auto flag = static_cast<unsigned char>(header.typeflag);
    switch (flag) {
        case '\0':
        case '0':
        case '7':  // contiguous file: an ordinary file here
            entry.type = kTarTypeRegular;
            return kBlockOk;
        case '2':
            entry.type = kTarTypeSymlink;
            entry.linkname = fieldText(header.linkname, sizeof header.linkname);
            return entry.linkname.empty() ? kBlockEmptyLinkTarget : kBlockOk;
        case '3':
            entry.type = kTarTypeCharDevice;  // refused when the entry is made
            return kBlockOk;
        case '4':
            entry.type = kTarTypeBlockDevice;
            return kBlockOk;
        case '5':
            entry.type = kTarTypeDirectory;
            return kBlockOk;
        case '6':
            entry.type = kTarTypeFifo;
            return kBlockOk;
        default:  // '1' hard link, 'L'/'K' long names, 'x'/'g' pax headers, anything else
            printf("unsupported link flag '%c'\n", flag);
            return kBlockUnsupportedLink;
    }
}

// The size must be what it says: a value we cannot hold would make us read archive
// data as headers, or headers as file content.
int decodeSize(const UstarHeader& header, TAR_FILE_INFO_T& entry) {
    const OctalField size = readOctalField(header.size, sizeof header.size);
    const int shown = int(entry.name.size());
    if (size.form == OctalForm::kBase256) {
        printf("tar: %.*s: size field in base-256 form is not supported\n", shown, entry.name.data());
        return kBlockBadSize;
    }
    if (size.form == OctalForm::kTooLarge) {
        printf("tar: %.*s: size above 4294967295 bytes is not supported\n", shown, entry.name.data());
        return kBlockBadSize;
    }
    entry.size = size.value;
    return kBlockOk;
}

// The owner named in the header, or the running process when it names none we know.
void decodeOwner(const UstarHeader& header, TAR_FILE_INFO_T& entry) {
    entry.uid = getuid();
    entry.gid = getgid();
    char owner[sizeof header.uname + 1];
    size_t length = 0;
    while (length < sizeof header.uname && header.uname[length] != '\0') ++length;
    if (length == 0) return;
    memcpy(owner, header.uname, length);
    owner[length] = '\0';
    struct passwd record;
    struct passwd* found = nullptr;
    char work[kPasswdWorkSize];
    if (getpwnam_r(owner, &record, work, sizeof work, &found) == 0 && found != nullptr) {
        entry.uid = found->pw_uid;
        entry.gid = found->pw_gid;
    }
}

}  // namespace

CTarReader::CTarReader() = default;

CTarReader::~CTarReader() { (void)closeCurrentFile(); }

int CTarReader::init(TarEntryCallback onEntry) {
    if (!onEntry) return kInitNoCallback;
    entryCallback = std::move(onEntry);
    return kOk;
}

bool CTarReader::setOutputCallback(TarOpenCallback onOpen, TarWriteCallback onWrite, TarCloseCallback onClose) {
    if (!onOpen || !onWrite || !onClose) return false;
    openCallback = std::move(onOpen);
    writeCallback = std::move(onWrite);
    closeCallback = std::move(onClose);
    return true;
}

bool CTarReader::setEntryMaker(CEntryMaker* newMaker) {
    if (output >= 0 && !redirected) return false;  // its handle belongs to the current maker
    maker = newMaker != nullptr ? newMaker : &diskMaker;
    return true;
}

// Blocks lying whole in `data` are processed where they are; only a block split across
// calls is assembled in blockBuffer. The first block of a call (completed from held
// bytes, or the first whole one) fails with -4, every further one with -5.
int CTarReader::update(const char* data, int len) {
    if (!entryCallback) return kUpdateNoCallback;
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
        if (processBlock(blockBuffer) != kBlockOk) {
            state = TarExpect::kNothing;
            return kUpdateFirstBlockFailed;
        }
    }
    for (size_t taken = 0; length - used >= kTarBlockSize; used += taken) {
        if (processInPlace(data + used, length - used, taken) != kBlockOk) {
            state = TarExpect::kNothing;
            return used == 0 ? kUpdateFirstBlockFailed : kUpdateLaterBlockFailed;
        }
    }
    memcpy(blockBuffer, data + used, length - used);
    held = int(length - used);
    return len;
}

// Held bytes of an incomplete last block are dropped: the archive may end without padding.
int CTarReader::finish() {
    if (state == TarExpect::kData || state == TarExpect::kNothing) return kFinishIncomplete;
    return kOk;
}

int CTarReader::processBlock(const char* block) {
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
    return kBlockFailedBefore;
}

int CTarReader::expectHeader(const char* block) {
    if (memcmp(block, zeroBlock, kTarBlockSize) == 0) {
        state = TarExpect::kZeroBlocks;
        return kBlockOk;
    }
    const int parsed = parseHeader(block, info);
    if (parsed != kBlockOk) return parsed;
    if (checkEntryName(info.name) != kSafePathOk) {
        unsafePath = true;
        return kBlockUnsafeName;
    }
    bool redirect = false;
    std::string outPath;
    if (entryCallback(info, redirect, outPath) < 0) return kBlockRefused;
    if (redirect && openCallback && info.type == kTarTypeRegular) return openRedirected();
    redirected = false;
    if (outPath.empty()) return kBlockNoOutPath;
    return makeDirect(outPath);
}

int CTarReader::parseHeader(const char* block, TAR_FILE_INFO_T& entry) {
    UstarHeader header;
    memcpy(&header, block, sizeof header);
    // Without the magic only a non-empty name makes the block a header.
    if (!hasUstarMagic(header) && header.name[0] == '\0') return kBlockBadHeader;
    entry.name = entryPath(header);  // joined first: every later rule sees the whole path
    std::replace(entry.name.begin(), entry.name.end(), '\\', '/');
    entry.mode = readOctalField(header.mode, sizeof header.mode).value;
    int result = decodeSize(header, entry);
    if (result == kBlockOk) result = decodeType(header, entry);
    if (result == kBlockOk) decodeOwner(header, entry);
    return result;
}

int CTarReader::openRedirected() {
    redirected = true;
    int handle = -1;
    if (openCallback(info, handle) < 0) return kBlockRefused;
    // A negative handle counts as nothing open: it still goes to the write callback.
    output = handle;
    return startData();
}

// Only regular files have data: a size on a directory or link entry is ignored.
int CTarReader::makeDirect(const std::string& outPath) {
    switch (info.type) {
        case kTarTypeRegular: {
            int handle = -1;
            const int opened = maker->openFile(outPath, info.name, handle);
            if (opened != kEntryMakerOk) return fromMaker(opened);
            if (handle < 0) return kBlockMakeFailed;
            output = handle;
            return startData();
        }
        case kTarTypeSymlink:
            return fromMaker(maker->makeSymlink(outPath, info.name, info.linkname));
        case kTarTypeDirectory:
            return fromMaker(maker->makeDirectory(outPath, info.name));
        default:
            printf("unsupported file type %u\n", unsigned(info.type));
            return kBlockUnsupportedType;
    }
}

// kBlockOk for kEntryMakerOk; otherwise kBlockMakeFailed, noting a refusal for safety.
int CTarReader::fromMaker(int makerResult) {
    if (makerResult == kEntryMakerOk) return kBlockOk;
    unsafePath = makerResult == kSafePathDotDot || makerResult == kSafePathThroughLink;
    return kBlockMakeFailed;
}

// The output of a regular file is open: expect its data, or close an empty file at once.
int CTarReader::startData() {
    if (info.size == 0) return closeCurrentFile();
    remaining = info.size;
    state = TarExpect::kData;
    return kBlockOk;
}

int CTarReader::expectData(const char* block) {
    return writeData(block, std::min<size_t>(remaining, kTarBlockSize));
}

// The whole blocks at `data` (`available` bytes, at least one block) that hold data of a
// file the maker writes go in one write; any other block is processed alone. `taken`: the
// bytes used, padding of the entry's last block included.
int CTarReader::processInPlace(const char* data, size_t available, size_t& taken) {
    if (state != TarExpect::kData || redirected) {
        taken = kTarBlockSize;
        return processBlock(data);
    }
    const size_t whole = available - available % kTarBlockSize;
    const size_t count = std::min<size_t>(remaining, whole);
    taken = (count + kTarBlockSize - 1) / kTarBlockSize * kTarBlockSize;
    return writeData(data, count);
}

// Writes the next `count` data bytes of the current entry (1..remaining; at most 512 when
// redirected) and closes its output after the last.
int CTarReader::writeData(const char* data, size_t count) {
    const int written =
        redirected ? writeCallback(data, int(count), output) : maker->write(output, data, count);
    if (written < 0) {
        (void)closeCurrentFile();
        return kBlockWriteFailed;
    }
    remaining -= uint32_t(count);
    if (remaining > 0) return kBlockOk;
    const int closed = closeCurrentFile();
    if (closed != kBlockOk) return closed;
    state = TarExpect::kHeader;
    return kBlockOk;
}

int CTarReader::expectZeroBlocks(const char* block) {
    if (memcmp(block, zeroBlock, kTarBlockSize) == 0) return kBlockOk;
    state = TarExpect::kNothing;
    return kBlockAfterEnd;
}

int CTarReader::closeCurrentFile() {
    if (output < 0) return kBlockOk;
    if (redirected) {
        if (closeCallback(output) < 0) {
            puts("CTarReader can't close callback fd");
            return kBlockCloseFailed;
        }
        output = -1;
        return kBlockOk;
    }
    const int handle = output;
    output = -1;
    return maker->closeFile(handle, info.name) == kEntryMakerOk ? kBlockOk : kBlockCloseFailed;
}

}  // namespace brn
