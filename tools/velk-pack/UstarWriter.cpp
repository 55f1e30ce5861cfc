#include "tools/velk-pack/UstarWriter.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fs/FileModes.h"
#include "fs/UniqueFd.h"
#include "brn/tar/TarHeader.h"

namespace velk {

namespace {

// The header layout is brn::UstarHeader, the one the tar reader decodes; numbers are
// written as octal text ending in a zero byte.
using brn::UstarHeader;
constexpr size_t kBlockSize = brn::kTarBlockSize;
constexpr size_t kEndMarkerSize = 2 * kBlockSize;
constexpr size_t kDataBufferSize = 128 * kBlockSize;
constexpr size_t kNameSize = sizeof(UstarHeader::name);
constexpr size_t kPrefixSize = sizeof(UstarHeader::prefix);
constexpr size_t kLinknameSize = sizeof(UstarHeader::linkname);
// Every digit of the size field but its closing zero byte a 7: 077777777777 for 12 bytes.
constexpr uint64_t kMaxEntrySize = (uint64_t(1) << (3 * (sizeof(UstarHeader::size) - 1))) - 1;

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
void putOctal(char* field, size_t width, uint64_t value) {
    field[width - 1] = '\0';
    for (size_t i = width - 1; i-- > 0; value >>= 3) field[i] = char('0' + (value & 7));
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
void putChecksum(UstarHeader& header) {
    std::memset(header.chksum, ' ', sizeof header.chksum);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&header);
    uint32_t sum = 0;
    for (size_t i = 0; i < sizeof header; ++i) sum += bytes[i];
    putOctal(header.chksum, sizeof header.chksum - 1, sum);
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

void CUstarWriter::skipFile(dev_t device, ino_t inode) { skipped.emplace_back(device, inode); }

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
    if (std::find(skipped.begin(), skipped.end(), std::pair(st.st_dev, st.st_ino)) != skipped.end()) return kOk;
    if (!backslashesKept && relative.find('\\') != std::string::npos) {
        report(path, kBackslashRefusal);
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
    UstarHeader header{};
    const size_t cut = prefixCut(name);  // the prefix's length; the name follows the slash there
    const size_t nameAt = cut == 0 ? 0 : cut + 1;
    std::memcpy(header.prefix, name.data(), cut);
    std::memcpy(header.name, name.data() + nameAt, name.size() - nameAt);
    putOctal(header.mode, sizeof header.mode, st.st_mode & kModeBits);
    putOctal(header.uid, sizeof header.uid, 0);
    putOctal(header.gid, sizeof header.gid, 0);
    putOctal(header.size, sizeof header.size, size);
    putOctal(header.mtime, sizeof header.mtime, 0);
    header.typeflag = typeflag;
    std::memcpy(header.linkname, target.data(), target.size());
    std::memcpy(header.magic, brn::kPosixMagic, sizeof header.magic);
    std::memcpy(header.version, brn::kPosixVersion, sizeof header.version);
    putOctal(header.devmajor, sizeof header.devmajor, 0);
    putOctal(header.devminor, sizeof header.devminor, 0);
    putChecksum(header);
    return emit(reinterpret_cast<const unsigned char*>(&header), sizeof header);
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
