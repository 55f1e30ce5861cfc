#pragma once
// CUstarWriter turns a directory tree into a ustar archive and pushes it through a
// StageOutput: writeTree(root) emits every entry below root (names sorted byte-wise,
// each directory before its contents), then the two zero blocks of the end marker.
// Only regular files, directories and symbolic links are taken. A name over 100 bytes is
// split at a slash into the prefix (at most 155 bytes) and name fields; link targets must
// fit their 100 bytes. Owner 0 with empty owner names, mtime 0, mode = st_mode & 07777,
// so the same tree always gives the same bytes.
// A name holding a backslash is refused, since unpacking reads every backslash as a slash,
// unless keepBackslashes was called. Calling order: construct with the output, optionally
// skipFile and keepBackslashes, writeTree. The data buffer is allocated once in the
// constructor; each fault is printed where it is found.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "brn/Stage.h"

namespace velk {

// Why a name with a backslash is refused, in the reports of both kinds of SOURCE.
constexpr const char* kBackslashRefusal =
    "backslash in a name (unpacking reads it as a slash; --keep-backslashes stores it as it is)";

class CUstarWriter {
public:
    static constexpr int kOk = 0;
    static constexpr int kNameTooLong = -1;      // entry name (a directory's with its "/") fits no prefix/name split
    static constexpr int kLinkTooLong = -2;      // symbolic-link target over 100 bytes
    static constexpr int kUnsupportedType = -3;  // not a regular file, directory or symbolic link
    static constexpr int kFileTooLarge = -4;     // size does not fit the 11 octal digits of the size field
    static constexpr int kReadFailed = -5;       // a directory, file or link could not be read
    static constexpr int kFileChanged = -6;      // a file became shorter while it was read
    static constexpr int kOutputRefused = -7;    // the output callback returned a negative value
    static constexpr int kBackslashInName = -8;  // unpacking reads every backslash of a name as a slash

    explicit CUstarWriter(brn::StageOutput out);

    // Leaves out the file with this device and inode, e.g. the package being written; may be
    // called for several files.
    void skipFile(dev_t device, ino_t inode);
    // Stores names with backslashes as they are.
    void keepBackslashes() { backslashesKept = true; }

    [[nodiscard]] int writeTree(const std::string& root);

private:
    int writeDirectory(const std::string& root, const std::string& relative);
    int writeEntry(const std::string& root, const std::string& relative);
    int writeHeader(const std::string& name, const struct stat& st, char typeflag, const std::string& target,
                    uint64_t size);
    int writeFileData(const std::string& path, const struct stat& st);
    int emit(const unsigned char* data, size_t length);

    brn::StageOutput output;
    std::vector<unsigned char> buffer;  // file data on its way out, a whole number of blocks
    std::vector<std::pair<dev_t, ino_t>> skipped;  // files left out
    bool backslashesKept = false;
};

}  // namespace velk
