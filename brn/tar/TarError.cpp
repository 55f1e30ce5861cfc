#include "brn/tar/TarError.h"

namespace brn {

const char* describe(TarError error) {
    switch (error) {
        case TarError::kNone: return "no error";
        case TarError::kBadHeader: return "a block that is not a tar header";
        case TarError::kUnknownFlag: return "an entry of an unknown typeflag is refused";
        case TarError::kEmptyLinkTarget: return "a link without a target";
        case TarError::kBadSize: return "an entry size the archive format cannot hold";
        case TarError::kDotDot: return "unsafe entry path refused: a '..' component";
        case TarError::kThroughLink: return "unsafe entry path refused: a way through a symbolic link the archive made";
        case TarError::kMakeFailed: return "an entry could not be made where an earlier one stands";
        case TarError::kFifo: return "a FIFO (typeflag '6') is refused";
        case TarError::kWriteFailed: return "entry data could not be written";
        case TarError::kCloseFailed: return "an entry could not be closed";
        case TarError::kDataAfterEnd: return "data after the end of the tar archive";
        case TarError::kEndsInsideEntry: return "the tar archive ends inside an entry";
        case TarError::kCharDevice: return "a character device (typeflag '3') is refused";
        case TarError::kBlockDevice: return "a block device (typeflag '4') is refused";
        case TarError::kSparseFile: return "a GNU sparse file (typeflag 'S' or GNU.sparse records) is refused";
        case TarError::kDumpDir: return "a GNU dumpdir (typeflag 'D') is refused";
        case TarError::kVolumeLabel: return "a volume label (typeflag 'V') is refused";
        case TarError::kMultiVolume: return "a file continued from another volume (typeflag 'M' or GNU.volume records) "
                                            "is refused";
        case TarError::kSolarisAcl: return "a Solaris ACL (typeflag 'A') is refused";
        case TarError::kBadExtension: return "a malformed pax header or GNU long name";
        case TarError::kLongExtension: return "a pax header or GNU long name above 65536 bytes";
        case TarError::kHardLinkTarget: return "a hard link to anything but a regular file the archive made is refused";
        case TarError::kBadChecksum: return "a tar header whose checksum does not match";
        case TarError::kLongName: return "a name component over 255 bytes is refused";
        case TarError::kLongLinkTarget: return "a symbolic link target over 4095 bytes is refused";
        case TarError::kNamesRoot: return "a file or link entry named as the destination itself is refused";
    }
    return "unknown";
}

}  // namespace brn
