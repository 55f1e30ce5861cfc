#include "install/IndexStream.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "brn/ByteOrder.h"
#include "fs/FileUtil.h"

namespace velk {

namespace {

constexpr size_t kBufferSize = 64 * 1024;
constexpr uint32_t kMaxPathSize = 65536;          // a pax path record holds at most 64 KiB
constexpr uint64_t kMaxFileSize = 0xffffffffull;  // what a ustar size field holds

bool validKind(unsigned char kind) {
    switch (static_cast<IndexKind>(kind)) {
        case IndexKind::kFile:
        case IndexKind::kFolder:
        case IndexKind::kSymlink:
        case IndexKind::kHardLink:
        case IndexKind::kOwn:
        case IndexKind::kEnd: return true;
    }
    return false;
}

Digest finalOf(crypto_generichash_state state) {
    Digest out;
    crypto_generichash_final(&state, out.data(), out.size());
    return out;
}

}  // namespace

CIndexOutput::CIndexOutput(int file) : fd(file), buffer(kBufferSize) {
    crypto_generichash_init(&hash, nullptr, 0, kDigestSize);
}

int CIndexOutput::write(const void* data, size_t size) {
    crypto_generichash_update(&hash, static_cast<const unsigned char*>(data), size);
    written += size;
    const char* from = static_cast<const char*>(data);
    while (size > 0) {
        const size_t part = std::min(size, buffer.size() - used);
        memcpy(buffer.data() + used, from, part);
        used += part;
        from += part;
        size -= part;
        if (used == buffer.size()) {
            if (int error = flush(); error != 0) return error;
        }
    }
    return 0;
}

int CIndexOutput::flush() {
    if (used > 0 && writeAll(buffer.data(), int(used), fd) != int(used)) return errno != 0 ? errno : EIO;
    used = 0;
    return 0;
}

Digest CIndexOutput::digest() const { return finalOf(hash); }

CIndexInput::CIndexInput(int file) : fd(file), buffer(kBufferSize) {
    crypto_generichash_init(&hash, nullptr, 0, kDigestSize);
}

int CIndexInput::fill() {
    if (start < end) return 0;
    ssize_t got;
    do {
        got = ::read(fd, buffer.data(), buffer.size());
    } while (got < 0 && errno == EINTR);
    if (got < 0) return errno;
    start = 0;
    end = size_t(got);
    return 0;
}

int CIndexInput::read(void* data, size_t size) {
    char* to = static_cast<char*>(data);
    while (size > 0) {
        if (int error = fill(); error != 0) return error;
        if (start == end) return EIO;
        const size_t part = std::min(size, end - start);
        memcpy(to, buffer.data() + start, part);
        crypto_generichash_update(&hash, reinterpret_cast<const unsigned char*>(buffer.data() + start), part);
        start += part;
        to += part;
        size -= part;
        consumed += part;
    }
    return 0;
}

int CIndexInput::skip(uint64_t size) {
    char scratch[4096];
    while (size > 0) {
        const size_t part = size_t(std::min<uint64_t>(size, sizeof scratch));
        if (int error = read(scratch, part); error != 0) return error;
        size -= part;
    }
    return 0;
}

Digest CIndexInput::digest() const { return finalOf(hash); }

bool CIndexInput::atEnd() { return fill() == 0 && start == end; }

bool readIndexRecord(CIndexInput& from, IndexRecord& record) {
    record = IndexRecord();
    record.kind = IndexKind::kFolder;  // not kEnd: a failure is not the end
    unsigned char start[5];
    if (from.read(start, 1) != 0 || !validKind(start[0])) return false;
    if (static_cast<IndexKind>(start[0]) == IndexKind::kEnd) {
        record.kind = IndexKind::kEnd;
        return false;
    }
    if (from.read(start + 1, 4) != 0) return false;
    const uint32_t pathSize = brn::loadLe32(start + 1);
    unsigned char fields[kRecordFixedSize - 5];
    if (pathSize == 0 || pathSize > kMaxPathSize) return false;
    record.path.resize(pathSize);
    if (from.read(&record.path[0], pathSize) != 0 || from.read(fields, sizeof fields) != 0) return false;
    record.kind = static_cast<IndexKind>(start[0]);
    decodeRecordFields(fields, record);
    const bool link = record.kind == IndexKind::kSymlink || record.kind == IndexKind::kHardLink;
    if (record.identity.size > (link ? kMaxPathSize : kMaxFileSize)) return false;
    if (link) {
        record.target.resize(size_t(record.identity.size));
        return record.target.empty() || from.read(&record.target[0], record.target.size()) == 0;
    }
    record.digestsAt = from.offset();
    return true;
}

}  // namespace velk
