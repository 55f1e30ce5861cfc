#pragma once
// The index of an installed tree, ".NAME.velk-index" beside DEST: what every successful install
// leaves, so that a later run can tell without reading a file whether it still is the file
// installed (its identity: inode, size, mtime and ctime, which any change to it moves) and what
// its bytes were (keyed digests of fixed blocks). Version 1, little-endian:
//   header  96  "VELKTIDX", version (4), log2 of the block size (4), device (8) and inode (8) of
//               DEST's folder, the digest key (32), zero (32)
//   records     one per entry of the tree, in archive order:
//                 kind      1  'f' file, 'd' folder, 'l' symbolic link, 'h' hard link,
//                              'o' the run's own file inside DEST (the version file)
//                 pathSize  4  then the path below DEST, no leading or trailing slash
//                 mode      4  st_mode & 07777 as installed
//                 size      8  'f': the file's bytes; 'l', 'h': the target's length; else 0
//                 inode     8  mtime 8 + 4 (seconds, nanoseconds), ctime 8 + 4
//               then 'f': one 32-byte digest per block of the size; 'l', 'h': the target (the
//               path of the file a hard link names)
//   end     41  'E', the number of records (8), the BLAKE2b-256 of every byte before it
// A block digest is the BLAKE2b-256 of the block keyed with the index's key: random for each
// new tree, kept by the trees that reuse its files (their digests must be comparable), and
// protected, like the index, by DEST's owner's access. Stateless helpers.

#include <sys/stat.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace velk {

constexpr char kIndexMagic[] = "VELKTIDX";           // 8 bytes, no NUL
constexpr uint32_t kIndexVersion = 1;
constexpr uint32_t kIndexBlockLog = 16;
constexpr uint64_t kIndexBlockSize = uint64_t(1) << kIndexBlockLog;  // 64 KiB
constexpr size_t kDigestSize = 32;
constexpr size_t kIndexHeaderSize = 96;
constexpr size_t kRecordFixedSize = 1 + 4 + 4 + 8 + 8 + 12 + 12;    // all but the path
constexpr size_t kIndexEndSize = 1 + 8 + kDigestSize;
constexpr const char* kIndexSuffix = ".velk-index";               // the index beside DEST
constexpr const char* kIndexTemporarySuffix = ".velk-index-new";  // a run's temporaries

using Digest = std::array<unsigned char, kDigestSize>;
using DigestKey = std::array<unsigned char, 32>;

enum class IndexKind : char {
    kFile = 'f',
    kFolder = 'd',
    kSymlink = 'l',
    kHardLink = 'h',
    kOwn = 'o',
    kEnd = 'E',
};

// What any change to a file moves; ctime at the file system's full precision.
struct FileIdentity {
    uint64_t inode = 0;
    uint64_t size = 0;
    int64_t mtimeSec = 0;
    uint32_t mtimeNsec = 0;
    int64_t ctimeSec = 0;
    uint32_t ctimeNsec = 0;

    bool operator==(const FileIdentity& other) const;
    bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

FileIdentity identityOf(const struct stat& st);

struct IndexHeader {
    uint64_t device = 0;     // DEST's file system
    uint64_t treeInode = 0;  // DEST's own folder: another tree has another
    DigestKey key{};
};

// One record without its digests; `target` holds a link's target.
struct IndexRecord {
    IndexKind kind = IndexKind::kEnd;
    std::string path;
    uint32_t mode = 0;
    FileIdentity identity;  // identity.size is the record's size field
    std::string target;
    uint64_t digestsAt = 0;  // reading: where a file's digests start in the index
};

// Blocks of a file of `size` bytes: one digest each.
uint64_t blockCount(uint64_t size);
// The bytes of the record's data after its fixed part: digests or target.
uint64_t recordDataSize(const IndexRecord& record);

void encodeHeader(const IndexHeader& header, unsigned char out[kIndexHeaderSize]);
// False when the bytes are no version 1 header.
bool decodeHeader(const unsigned char in[kIndexHeaderSize], IndexHeader& header);
// The fixed part and the path.
std::string encodeRecordHead(const IndexRecord& record);
// Reads the fixed part after the path size (`in` holds kRecordFixedSize - 5 bytes) into `record`.
void decodeRecordFields(const unsigned char* in, IndexRecord& record);

// A fresh random key (the kernel's random bytes).
DigestKey randomDigestKey();

}  // namespace velk
