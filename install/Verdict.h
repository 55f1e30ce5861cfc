#pragma once
// What a run of velk-unpack or velk-inspect comes to, one value per cause a user is told of,
// before a program gives it a number: each program gives every value its own, so the two judge
// one run alike. The install classes return outcomes of their own; the programs say which
// verdict each is.

namespace velk {

enum class Verdict {
    kOk,                  // installed, or (velk-inspect) velk-unpack would install it
    kUsage,               // the command line cannot be used, or DEST is empty or the root
    kSourceMissing,       // SOURCE does not exist
    kSourceUnopenable,    // SOURCE cannot be opened
    kSourceNotRegular,    // SOURCE cannot be examined, or is no regular file
    kSourceReadFailed,    // reading SOURCE failed
    kSignatureRefused,    // --pubkey: the signature is missing, cannot be read or does not verify
    kSourceChanged,       // SOURCE changed while it was read
    kPackageRefused,      // a package failed to decode
    kUnsafeEntry,         // a package failed on an entry path refused for safety
    kEndsInsidePackage,   // SOURCE ended inside a package
    kNoPackage,           // SOURCE held no package
    kDestFailed,          // DEST is busy, or cannot be made, emptied, completed, synced or swapped
    kNoVersion,           // no package carried a PLVS value
    kVersionFileFailed,   // the version file cannot be written
};

}  // namespace velk
