#pragma once
// Why a tar stream failed: one cause per fault, recorded by the reader (brn/tar/TarReader.h)
// and its extension headers (brn/tar/TarExtensions.h) where it is found, and put in words
// for reports by describe. Stateless.

namespace brn {

enum class TarError : int {
    kNone = 0,
    kBadHeader = 1,          // a block that is no header: no magic and an empty name
    kUnknownFlag = 2,        // a typeflag this reader does not know
    kEmptyLinkTarget = 3,    // a symbolic or hard link without a target
    kBadSize = 4,            // a size in base-256 form or above 4294967295, or a hard link with data
    kDotDot = 5,             // the name (or a hard link's target) has a ".." component
    kThroughLink = 6,        // the path goes through a symbolic link the archive made
    kMakeFailed = 7,         // the file, directory or link could not be made
    kFifo = 8,               // typeflag '6'
    kWriteFailed = 9,        // the data could not be written
    kCloseFailed = 10,       // the output could not be closed
    kDataAfterEnd = 11,      // a non-zero block after the end marker
    kEndsInsideEntry = 12,   // finish: the archive ended inside an entry, or before the entry of an extension
    kCharDevice = 13,        // typeflag '3'
    kBlockDevice = 14,       // typeflag '4'
    kSparseFile = 15,        // typeflag 'S', or pax GNU.sparse.* records
    kDumpDir = 16,           // typeflag 'D'
    kVolumeLabel = 17,       // typeflag 'V'
    kMultiVolume = 18,       // typeflag 'M', or pax GNU.volume.* records
    kSolarisAcl = 19,        // typeflag 'A'
    kBadExtension = 20,      // a malformed pax header or GNU long name, or one that no entry follows
    kLongExtension = 21,     // a pax header or GNU long name above 65536 bytes
    kHardLinkTarget = 22,    // a hard link to anything but a regular file this run made
    kBadChecksum = 23,       // a header whose checksum does not match its bytes
    kLongName = 24,          // a name (or a hard link's target) with a component over 255 bytes
    kLongLinkTarget = 25,    // a symbolic link target over 4095 bytes
    kNamesRoot = 26,         // a file or link entry whose name is the root itself ("", ".", "/")
};

// The cause in words, for reports: "a hard link to ... is refused", ...
const char* describe(TarError error);

}  // namespace brn
