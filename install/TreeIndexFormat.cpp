#include "install/TreeIndexFormat.h"

#include <sodium.h>

#include <cstring>

#include "brn/ByteOrder.h"

namespace velk {

namespace {

constexpr size_t kMagicSize = 8;
constexpr size_t kKeyAt = 32;

}  // namespace

bool FileIdentity::operator==(const FileIdentity& other) const {
    return inode == other.inode && size == other.size && mtimeSec == other.mtimeSec &&
           mtimeNsec == other.mtimeNsec && ctimeSec == other.ctimeSec && ctimeNsec == other.ctimeNsec;
}

FileIdentity identityOf(const struct stat& st) {
    FileIdentity identity;
    identity.inode = uint64_t(st.st_ino);
    identity.size = uint64_t(st.st_size);
    identity.mtimeSec = int64_t(st.st_mtim.tv_sec);
    identity.mtimeNsec = uint32_t(st.st_mtim.tv_nsec);
    identity.ctimeSec = int64_t(st.st_ctim.tv_sec);
    identity.ctimeNsec = uint32_t(st.st_ctim.tv_nsec);
    return identity;
}

uint64_t blockCount(uint64_t size) { return (size + kIndexBlockSize - 1) >> kIndexBlockLog; }

uint64_t recordDataSize(const IndexRecord& record) {
    switch (record.kind) {
        case IndexKind::kFile: return blockCount(record.identity.size) * kDigestSize;
        case IndexKind::kSymlink:
        case IndexKind::kHardLink: return record.identity.size;
        default: return 0;
    }
}

void encodeHeader(const IndexHeader& header, unsigned char out[kIndexHeaderSize]) {
    memset(out, 0, kIndexHeaderSize);
    memcpy(out, kIndexMagic, kMagicSize);
    brn::storeLe32(out + 8, kIndexVersion);
    brn::storeLe32(out + 12, kIndexBlockLog);
    brn::storeLe64(out + 16, header.device);
    brn::storeLe64(out + 24, header.treeInode);
    memcpy(out + kKeyAt, header.key.data(), header.key.size());
}

bool decodeHeader(const unsigned char in[kIndexHeaderSize], IndexHeader& header) {
    if (memcmp(in, kIndexMagic, kMagicSize) != 0 || brn::loadLe32(in + 8) != kIndexVersion ||
        brn::loadLe32(in + 12) != kIndexBlockLog) {
        return false;
    }
    header.device = brn::loadLe64(in + 16);
    header.treeInode = brn::loadLe64(in + 24);
    memcpy(header.key.data(), in + kKeyAt, header.key.size());
    return true;
}

std::string encodeRecordHead(const IndexRecord& record) {
    unsigned char fixed[kRecordFixedSize];
    fixed[0] = static_cast<unsigned char>(record.kind);
    brn::storeLe32(fixed + 1, uint32_t(record.path.size()));
    brn::storeLe32(fixed + 5, record.mode);
    brn::storeLe64(fixed + 9, record.identity.size);
    brn::storeLe64(fixed + 17, record.identity.inode);
    brn::storeLe64(fixed + 25, uint64_t(record.identity.mtimeSec));
    brn::storeLe32(fixed + 33, record.identity.mtimeNsec);
    brn::storeLe64(fixed + 37, uint64_t(record.identity.ctimeSec));
    brn::storeLe32(fixed + 45, record.identity.ctimeNsec);
    std::string head(reinterpret_cast<const char*>(fixed), 5);
    head += record.path;
    head.append(reinterpret_cast<const char*>(fixed + 5), kRecordFixedSize - 5);
    return head;
}

void decodeRecordFields(const unsigned char* in, IndexRecord& record) {
    record.mode = brn::loadLe32(in);
    record.identity.size = brn::loadLe64(in + 4);
    record.identity.inode = brn::loadLe64(in + 12);
    record.identity.mtimeSec = int64_t(brn::loadLe64(in + 20));
    record.identity.mtimeNsec = brn::loadLe32(in + 28);
    record.identity.ctimeSec = int64_t(brn::loadLe64(in + 32));
    record.identity.ctimeNsec = brn::loadLe32(in + 40);
}

DigestKey randomDigestKey() {
    DigestKey key;
    randombytes_buf(key.data(), key.size());
    return key;
}

}  // namespace velk
