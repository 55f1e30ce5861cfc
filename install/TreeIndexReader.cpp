#include "install/TreeIndexReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "brn/ByteOrder.h"
#include "fs/HelperName.h"

namespace velk {

const char* indexOpenText(IndexOpen outcome) {
    switch (outcome) {
        case IndexOpen::kUsable: return "usable";
        case IndexOpen::kMissing: return "there is no index";
        case IndexOpen::kRefused: return "the index cannot be read, or is not a private file of DEST's owner";
        case IndexOpen::kDamaged: return "the index is damaged";
        case IndexOpen::kOtherTree: return "the index describes another tree";
    }
    return "unusable";
}

IndexOpen CTreeIndexReader::open(int parent, const std::string& name, int tree, const std::vector<uid_t>& owners) {
    const std::string leaf = helperName(name, kIndexSuffix);
    file.reset(openat(parent, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) return errno == ENOENT ? IndexOpen::kMissing : IndexOpen::kRefused;
    struct stat st, dest;
    if (fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 022) != 0 ||
        std::find(owners.begin(), owners.end(), st.st_uid) == owners.end()) {
        return IndexOpen::kRefused;
    }
    if (IndexOpen verified = verify(); verified != IndexOpen::kUsable) return verified;
    if (fstat(tree, &dest) != 0 || uint64_t(dest.st_dev) != head.device || uint64_t(dest.st_ino) != head.treeInode) {
        return IndexOpen::kOtherTree;
    }
    unsigned char header[kIndexHeaderSize];
    if (lseek(file.get(), 0, SEEK_SET) != 0) return IndexOpen::kDamaged;
    input = std::make_unique<CIndexInput>(file.get());
    if (input->read(header, sizeof header) != 0) return IndexOpen::kDamaged;
    return IndexOpen::kUsable;
}

// One pass over the whole file: every record well formed, the end record's count and digest
// right, nothing after it.
IndexOpen CTreeIndexReader::verify() {
    CIndexInput reading(file.get());
    unsigned char header[kIndexHeaderSize];
    if (reading.read(header, sizeof header) != 0 || !decodeHeader(header, head)) return IndexOpen::kDamaged;
    uint64_t records = 0;
    IndexRecord record;
    while (skipToNext(reading, record)) ++records;
    if (record.kind != IndexKind::kEnd) return IndexOpen::kDamaged;
    const Digest computed = reading.digest();
    unsigned char end[8 + kDigestSize];
    if (reading.read(end, sizeof end) != 0 || brn::loadLe64(end) != records ||
        memcmp(end + 8, computed.data(), kDigestSize) != 0 || !reading.atEnd()) {
        return IndexOpen::kDamaged;
    }
    remaining = records;
    return IndexOpen::kUsable;
}

// A record's head and, for links, its target; a file's digests are skipped, their place noted.
bool CTreeIndexReader::skipToNext(CIndexInput& from, IndexRecord& record) {
    return readIndexRecord(from, record) && from.skip(record.kind == IndexKind::kFile ? recordDataSize(record) : 0) == 0;
}

bool CTreeIndexReader::next(IndexRecord& record) {
    if (!input || remaining == 0) return false;
    --remaining;
    if (skipToNext(*input, record)) return true;
    remaining = 0;
    return false;
}

// Found at the front of the look-ahead, or among the next records: those before it are passed
// (gone from the tree, or moved). Not found: the oldest record read ahead goes, so that a run of
// new paths moves the window on rather than leaving it behind for good.
const IndexRecord* CTreeIndexReader::find(const std::string& path) {
    for (size_t at = 0;; ++at) {
        if (at == ahead.size()) {
            if (ahead.size() >= kLookAhead) break;
            IndexRecord record;
            if (!next(record)) break;
            ahead.push_back(std::move(record));
        }
        if (ahead[at].path == path) {
            found = std::move(ahead[at]);
            ahead.erase(ahead.begin(), ahead.begin() + long(at) + 1);
            return &found;
        }
    }
    if (ahead.size() >= kLookAhead) ahead.pop_front();
    return nullptr;
}

bool CTreeIndexReader::digestAt(const IndexRecord& record, uint64_t block, Digest& digest) const {
    if (record.kind != IndexKind::kFile || block >= blockCount(record.identity.size)) return false;
    const off_t at = off_t(record.digestsAt + block * kDigestSize);
    return pread(file.get(), digest.data(), digest.size(), at) == ssize_t(digest.size());
}

}  // namespace velk
