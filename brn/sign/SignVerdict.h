#pragma once
// The verdict on a detached signature: one enumerator per reason a check fails, set where
// the fault is found, and signVerdictText, the words a program prints after
// "signature check failed: ". The values keep the stage contract's sign rule (0 success,
// every fault negative), so int(verdict) can stand as a stage's result code.

namespace brn {

enum class SignVerdict : int {
    kOk = 0,                  // the signature of the file and the trusted comment verified
    kMissing = -1,            // no signature file
    kUnreadable = -2,         // the signature file exists but is no regular file or cannot be read
    kMalformed = -3,          // not the four lines of a signature file (base64, lengths, algorithm, size)
    kLegacy = -4,             // "Ed": Ed25519 over the whole file, which cannot be checked in a stream
    kAnotherKey = -5,         // the signature's key id is not the public key's
    kBadTrustedComment = -6,  // the global signature over signature and trusted comment fails
    kBadSignature = -7,       // the signature over the file's BLAKE2b-512 fails
    kKeyUnreadable = -8,      // the public key file is missing, no regular file, or cannot be read
    kKeyMalformed = -9,       // the public key is neither minisign's two-line file nor its base64 line
    kMisused = -10,           // nothing checked: no successful init, or update given no bytes
    kLibraryFailed = -11,     // libsodium could not be initialised
};

// A fixed text for every verdict, e.g. "bad signature"; never null.
const char* signVerdictText(SignVerdict verdict);

}  // namespace brn
