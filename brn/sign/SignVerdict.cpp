#include "brn/sign/SignVerdict.h"

namespace brn {

const char* signVerdictText(SignVerdict verdict) {
    switch (verdict) {
    case SignVerdict::kOk: return "verified";
    case SignVerdict::kMissing: return "missing";
    case SignVerdict::kUnreadable: return "unreadable";
    case SignVerdict::kMalformed: return "malformed";
    case SignVerdict::kLegacy: return "legacy signature (not prehashed) is not supported; sign without -l";
    case SignVerdict::kAnotherKey: return "another key";
    case SignVerdict::kBadTrustedComment: return "bad trusted comment";
    case SignVerdict::kBadSignature: return "bad signature";
    case SignVerdict::kKeyUnreadable: return "public key unreadable";
    case SignVerdict::kKeyMalformed: return "public key malformed";
    case SignVerdict::kMisused: return "not checked: verifier used out of order";
    case SignVerdict::kLibraryFailed: return "libsodium could not be initialised";
    }
    return "unknown verdict";
}

}  // namespace brn
