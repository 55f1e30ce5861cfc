#pragma once
// What a file carries besides its bytes and its names, as far as the installed tree's contract
// lists it: owner, group, mode (type and permission bits), extended attributes (ACLs and file
// capabilities among them, names and values) and inode flags. readFileTraits reads them through
// a descriptor the caller owns; two files with equal traits differ only in bytes, names and
// times. Extended attributes the caller may not see (trusted.* for anyone but root) are not read.

#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

namespace velk {

struct FileTraits {
    uid_t owner = 0;
    gid_t group = 0;
    mode_t mode = 0;     // st_mode: type and the bits 07777
    std::vector<std::pair<std::string, std::string>> attributes;  // extended attributes, by name
    int flagsError = 0;  // errno of FS_IOC_GETFLAGS, 0 when `flags` was read
    long flags = 0;      // inode flags (chattr), only ever compared whole: see readFileTraits

    bool operator==(const FileTraits& other) const {
        return owner == other.owner && group == other.group && mode == other.mode &&
               attributes == other.attributes && flagsError == other.flagsError && flags == other.flags;
    }
};

// The traits of the file open as `fd`, whose fstat is `st`: 0, or the errno of a failed
// extended attribute read. At most 64 KiB of names and 64 KiB per value, the kernel's limits.
int readFileTraits(int fd, const struct stat& st, FileTraits& traits);

}  // namespace velk
