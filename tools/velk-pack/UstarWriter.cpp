#include "tools/velk-pack/UstarWriter.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/UniqueFd.h"

namespace velk {

namespace {

// One ustar header block (offsets in bytes; numbers are octal text ending in a zero byte):
//   name 0 (100)  mode 100 (8)  uid 108 (8)  gid 116 (8)  size 124 (12)  mtime 136 (12)
//   chksum 148 (8)  typeflag 156 (1)  linkname 157 (100)  magic 257 "ustar\0"  version 263 "00"
//   uname 265 (32)  gname 297 (32)  devmajor 329 (8)  devminor 337 (8)  prefix 345 (155)
constexpr size_t kBlockSize = 512;
constexpr size_t kEndMarkerSize = 2 * kBlockSize;
constexpr size_t kDataBufferSize = 128 * kBlockSize;
constexpr size_t kNameAt = 0;
constexpr size_t kNameSize = 100;
constexpr size_t kModeAt = 100;
constexpr size_t kUidAt = 108;
constexpr size_t kGidAt = 116;
constexpr size_t kIdSize = 8;
constexpr size_t kSizeAt = 124;
constexpr size_t kMtimeAt = 136;
constexpr size_t kNumberSize = 12;
constexpr size_t kChecksumAt = 148;
constexpr size_t kChecksumSize = 8;
constexpr size_t kTypeflagAt = 156;
constexpr size_t kLinknameAt = 157;
constexpr size_t kLinknameSize = 100;
constexpr size_t kMagicAt = 257;
constexpr char kMagicAndVersion[8] = {'u', 's', 't', 'a', 'r', '\0', '0', '0'};
constexpr size_t kDevMajorAt = 329;
constexpr size_t kDevMinorAt = 337;
constexpr size_t kPrefixAt = 345;
constexpr size_t kPrefixSize = 155;
constexpr uint64_t kMaxEntrySize = 077777777777ull;  // 11 octal digits
constexpr mode_t kPermissionBits = 07777;

constexpr char kTypeRegular = '0';
constexpr char kTypeSymlink = '2';
constexpr char kTypeDirectory = '5';

void report(const std::string& path, const char* what) {
    fprintf(stderr, "velk-pack: %.*s: %s\n", int(path.size()), path.data(), what);
}

void reportErrno(const std::string& path, const char* what) {
    fprintf(stderr, "velk-pack: %.*s: %s: %s\n", int(path.size()), path.data(), what, strerror(errno));
}

// Writes `value` as width - 1 zero-padded octal digits followed by a zero byte.
void putOctal(unsigned char* field, size_t width, uint64_t value) {
    field[width - 1] = 0;
    for (size_t i = width - 1; i-- > 0; value >>= 3) {
        field[i] = static_cast<unsigned char>('0' + (value & 7));
    }
}

void putText(unsigned char* field, const std::string& text) {
    std::memcpy(field, text.data(), text.size());
}

// Where a path is cut into the prefix field (before the slash) and the name field (after
// it): 0 when the name field holds it whole, else the last slash with at most 155 bytes
// before it and 1 to 100 after it, which keeps the name part as short as it can be;
// npos when there is no such slash. Readers join the two with a slash again.
size_t prefixCut(const std::string& path) {
    if (path.size() <= kNameSize) return 0;
    const size_t slash = path.rfind('/', std::min(kPrefixSize, path.size() - 2));
    if (slash == std::string::npos || slash == 0 || path.size() - slash - 1 > kNameSize) return std::string::npos;
    return slash;
}

// The checksum is the byte sum of the header with its own field read as eight blanks,
// stored as six octal digits, a zero byte and a blank.
void putChecksum(unsigned char* header) {
    std::memset(header + kChecksumAt, ' ', kChecksumSize);
    uint32_t sum = 0;
    for (size_t i = 0; i < kBlockSize; ++i) sum += header[i];
    putOctal(header + kChecksumAt, kChecksumSize - 1, sum);
}

// Reads up to `length` bytes, retrying short reads; returns the count read, or -1.
ssize_t readFully(int fd, unsigned char* into, size_t length) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::read(fd, into + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += size_t(n);
    }
    return ssize_t(done);
}

}  // namespace

CUstarWriter::CUstarWriter(brn::StageOutput out) : output(std::move(out)), buffer(kDataBufferSize) {}

void CUstarWriter::skipFile(dev_t device, ino_t inode) {
    skipSet = true;
    skipDevice = device;
    skipInode = inode;
}

int CUstarWriter::writeTree(const std::string& root) {
    struct stat st;
    if (::stat(root.c_str(), &st) != 0) {
        reportErrno(root, "cannot read");
        return kReadFailed;
    }
    if (!S_ISDIR(st.st_mode)) {
        report(root, "not a directory");
        return kReadFailed;
    }
    int result = writeDirectory(root, "");
    if (result != kOk) return result;
    std::fill(buffer.begin(), buffer.begin() + kEndMarkerSize, 0);
    return emit(buffer.data(), kEndMarkerSize);
}

int CUstarWriter::writeDirectory(const std::string& root, const std::string& relative) {
    std::string path = relative.empty() ? root : root + "/" + relative;
    DirHandle dir(::opendir(path.c_str()), &::closedir);
    if (!dir) {
        reportErrno(path, "cannot open directory");
        return kReadFailed;
    }
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(std::move(name));
    }
    if (errno != 0) {
        reportErrno(path, "cannot read directory");
        return kReadFailed;
    }
    dir.reset();
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        int result = writeEntry(root, relative.empty() ? name : relative + "/" + name);
        if (result != kOk) return result;
    }
    return kOk;
}

int CUstarWriter::writeEntry(const std::string& root, const std::string& relative) {
    std::string path = root + "/" + relative;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        reportErrno(path, "cannot read");
        return kReadFailed;
    }
    if (skipSet && st.st_dev == skipDevice && st.st_ino == skipInode) return kOk;
    if (relative.find('\\') != std::string::npos) {
        report(path, "backslash in a name (unpacking would read it as a slash)");
        return kBackslashInName;
    }
    std::string name = S_ISDIR(st.st_mode) ? relative + "/" : relative;
    if (prefixCut(name) == std::string::npos) {
        report(path, "name longer than 100 bytes, and no slash splits it into a prefix of at most 155 bytes"
                     " and a name of at most 100");
        return kNameTooLong;
    }
    if (S_ISDIR(st.st_mode)) {
        int result = writeHeader(name, st, kTypeDirectory, "", 0);
        return result != kOk ? result : writeDirectory(root, relative);
    }
    if (S_ISLNK(st.st_mode)) {
        std::string target(kLinknameSize + 1, '\0');
        ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n < 0) {
            reportErrno(path, "cannot read link");
            return kReadFailed;
        }
        if (size_t(n) > kLinknameSize) {
            report(path, "link target longer than 100 bytes");
            return kLinkTooLong;
        }
        target.resize(size_t(n));
        return writeHeader(name, st, kTypeSymlink, target, 0);
    }
    if (!S_ISREG(st.st_mode)) {
        report(path, "not a regular file, directory or symbolic link");
        return kUnsupportedType;
    }
    if (uint64_t(st.st_size) > kMaxEntrySize) {
        report(path, "file too large for a ustar entry");
        return kFileTooLarge;
    }
    int result = writeHeader(name, st, kTypeRegular, "", uint64_t(st.st_size));
    return result != kOk ? result : writeFileData(path, st);
}

int CUstarWriter::writeHeader(const std::string& name, const struct stat& st, char typeflag,
                              const std::string& target, uint64_t size) {
    unsigned char header[kBlockSize] = {};
    const size_t cut = prefixCut(name);
    if (cut == 0) {
        putText(header + kNameAt, name);
    } else {
        putText(header + kPrefixAt, name.substr(0, cut));
        putText(header + kNameAt, name.substr(cut + 1));
    }
    putOctal(header + kModeAt, kIdSize, st.st_mode & kPermissionBits);
    putOctal(header + kUidAt, kIdSize, 0);
    putOctal(header + kGidAt, kIdSize, 0);
    putOctal(header + kSizeAt, kNumberSize, size);
    putOctal(header + kMtimeAt, kNumberSize, 0);
    header[kTypeflagAt] = static_cast<unsigned char>(typeflag);
    putText(header + kLinknameAt, target);
    std::memcpy(header + kMagicAt, kMagicAndVersion, sizeof kMagicAndVersion);
    putOctal(header + kDevMajorAt, kIdSize, 0);
    putOctal(header + kDevMinorAt, kIdSize, 0);
    putChecksum(header);
    return emit(header, kBlockSize);
}

// Sends exactly the size seen by lstat, padded with zeros to whole blocks; a file that
// grew meanwhile is cut there, one that shrank fails the archive.
int CUstarWriter::writeFileData(const std::string& path, const struct stat& st) {
    CUniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        reportErrno(path, "cannot open");
        return kReadFailed;
    }
    uint64_t remaining = uint64_t(st.st_size);
    while (remaining > 0) {
        size_t want = size_t(std::min<uint64_t>(remaining, buffer.size()));
        ssize_t got = readFully(fd.get(), buffer.data(), want);
        if (got < 0) {
            reportErrno(path, "cannot read");
            return kReadFailed;
        }
        if (size_t(got) < want) {
            report(path, "file became shorter while it was read");
            return kFileChanged;
        }
        remaining -= want;
        size_t padded = (want + kBlockSize - 1) / kBlockSize * kBlockSize;
        std::fill(buffer.begin() + want, buffer.begin() + padded, 0);
        int result = emit(buffer.data(), padded);
        if (result != kOk) return result;
    }
    return kOk;
}

int CUstarWriter::emit(const unsigned char* data, size_t length) {
    if (output(reinterpret_cast<const char*>(data), int(length)) < 0) return kOutputRefused;
    return kOk;
}

}  // namespace velk
