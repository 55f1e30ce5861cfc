#pragma once
// The ustar header block as the tar reader sees it, and the readers of its fields:
// texts are taken up to their first zero byte within the field's width, numbers are
// octal texts read over the field's exact width, the entry path joins prefix and name, and
// the checksum tells a header from any other block. Stateless; callers copy a block into a
// UstarHeader (or read the fields of a block they own) and keep what they need.

#include <cstddef>
#include <cstdint>
#include <string>

namespace brn {

constexpr size_t kTarBlockSize = 512;

// One 512-byte ustar header; every field is bytes, nothing is terminated by force.
struct UstarHeader {
    char name[100];      //   0  entry path, or its last part when `prefix` holds the rest
    char mode[8];        // 100  permission bits, octal
    char uid[8];         // 108  not read
    char gid[8];         // 116  not read
    char size[12];       // 124  data length in bytes, octal (base-256 when the high bit is set)
    char mtime[12];      // 136  not read
    char chksum[8];      // 148  sum of the block's bytes, this field counted as blanks, octal
    char typeflag;       // 156  '0' file, '2' symbolic link, '5' directory, ...
    char linkname[100];  // 157  symbolic link target; "old format" header ends here
    char magic[6];       // 257  "ustar\0" (POSIX) or "ustar " (old GNU, version " \0")
    char version[2];     // 263  not read
    char uname[32];      // 265  owner name
    char gname[32];      // 297  not read
    char devmajor[8];    // 329  not read
    char devminor[8];    // 337  not read
    char prefix[155];    // 345  POSIX only: the path before `name`, without the slash between;
                         //      old GNU headers keep times and offsets in these bytes
    char padding[12];    // 500  up to the block size
};
static_assert(sizeof(UstarHeader) == kTarBlockSize, "a header is exactly one block");

// How a numeric field read.
enum class OctalForm {
    kValue,     // octal digits (or none: value 0) that fit in 32 bits
    kBase256,   // binary form (first byte has its high bit set); value is 0
    kTooLarge,  // octal digits above 4294967295; value is 4294967295
};

struct OctalField {
    uint32_t value;
    OctalForm form;
};

// Reads `width` bytes of `field` as the conversion of strtoul with base 8 would, kept
// within the field: leading blanks skipped, stopping at the first non-octal byte.
OctalField readOctalField(const char* field, size_t width);

// The text of a field: its bytes up to the first zero byte, at most `width` of them.
std::string fieldText(const char* field, size_t width);

// True when the chksum field holds the sum of the block's 512 bytes, its own 8 counted as
// blanks, with the bytes taken unsigned (POSIX) or signed (as some old tars summed them).
bool checksumMatches(const UstarHeader& header);

// The magic and version fields of a POSIX ustar header.
constexpr char kPosixMagic[6] = {'u', 's', 't', 'a', 'r', '\0'};
constexpr char kPosixVersion[2] = {'0', '0'};

// True when the first 5 bytes of the magic field read "ustar" in any letter case.
bool hasUstarMagic(const UstarHeader& header);

// The stored path of the entry: the name field's text, behind the prefix field's text and
// a slash when the magic is exactly kPosixMagic and the prefix is not empty. Paths of up
// to 256 bytes are stored that way; any other header's prefix bytes are not a path.
std::string entryPath(const UstarHeader& header);

}  // namespace brn
