// libFuzzer target of the key and signature file parsers, which read files a caller names: the
// data (the input less its first byte) is read whole as a public key, a secret key and a
// signature file. With option A it is also cut at its first empty line into a public key file
// and a signature file, and the verifier checks that pair against the data itself, fed in the
// slicing the first byte picks. Checked: a signature file that parses parses again, to the same
// record, once formatted; a secret key that loads makes a signature file that parses and carries
// its key id; the verifier's verdict sticks. A password-protected key is given the password only
// when its scrypt limits are small, so that no input costs seconds or gigabytes.

#include <sodium.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "brn/ByteOrder.h"
#include "brn/sign/MinisignFormat.h"
#include "brn/sign/SecretKey.h"
#include "brn/sign/SignatureSigner.h"
#include "brn/sign/SignatureVerifier.h"
#include "fuzz/FuzzSupport.h"

namespace {

// Where a secret key's binary line keeps its scrypt limits, and the limits a fuzz run affords:
// a few milliseconds and 16 MiB where minisign's own keys ask for seconds and 1 GiB.
constexpr size_t kSecretKeyLineBytes = 158;
constexpr size_t kOpsLimitAt = 38;
constexpr size_t kMemLimitAt = 46;
constexpr uint64_t kAffordedOps = uint64_t(1) << 16;
constexpr uint64_t kAffordedMemory = uint64_t(1) << 24;
const std::string kPassword = "fuzz";  // the password of the corpus's protected key

bool affordable(const std::string& text) {
    uint8_t line[kSecretKeyLineBytes];
    return brn::decodeKeyText(text, line, sizeof line) && brn::loadLe64(line + kOpsLimitAt) <= kAffordedOps &&
           brn::loadLe64(line + kMemLimitAt) <= kAffordedMemory;
}

bool sameRecord(const brn::MinisignSignature& a, const brn::MinisignSignature& b) {
    return a.algorithm == b.algorithm && a.keyId == b.keyId && a.signature == b.signature &&
           a.trustedComment == b.trustedComment && a.globalSignature == b.globalSignature;
}

void checkSignatureFile(const std::string& text) {
    brn::MinisignSignature parsed;
    if (brn::parseSignature(text, parsed) != brn::SignVerdict::kOk) return;
    brn::MinisignSignature again;
    const std::string formatted = brn::formatSignature(parsed, "again");
    if (brn::parseSignature(formatted, again) != brn::SignVerdict::kOk) velkfuzz::fail("formatted file refused");
    if (!sameRecord(parsed, again)) velkfuzz::fail("formatted file parsed to another record");
}

void checkSecretKey(const std::string& text) {
    brn::CSecretKey key;
    const bool giveIt = affordable(text);
    const int loaded = key.load(text, [giveIt](std::string& password) {
        if (!giveIt) return -1;
        password = kPassword;
        return 0;
    });
    if (loaded != brn::CSecretKey::kOk) return;
    brn::CSignatureSigner signer;
    std::string file;
    brn::MinisignSignature parsed;
    if (signer.init() != 0 || signer.update(text.data(), int(text.size())) != int(text.size()) ||
        signer.finish(key, "trusted", "untrusted", file) != 0) {
        velkfuzz::fail("a loaded key did not sign");
    }
    if (brn::parseSignature(file, parsed) != brn::SignVerdict::kOk || parsed.keyId != key.keyId()) {
        velkfuzz::fail("a loaded key made a signature file that does not parse, or has another id");
    }
}

// The public key before the first empty line, the signature after it, checked against the data.
void checkVerifier(const velkfuzz::FuzzInput& input) {
    const std::string data(input.data, input.size);
    const size_t cut = data.find("\n\n");
    brn::MinisignPublicKey key;
    brn::MinisignSignature signature;
    if (cut == std::string::npos || brn::parsePublicKey(data.substr(0, cut + 1), key) != brn::SignVerdict::kOk ||
        brn::parseSignature(data.substr(cut + 2), signature) != brn::SignVerdict::kOk) {
        return;
    }
    brn::CSignatureVerifier verifier;
    if (verifier.init(key, signature) != brn::SignVerdict::kOk) return;
    velkfuzz::forEachSlice(input, [&verifier](const char* p, int n) { return verifier.update(p, n) == n; });
    const brn::SignVerdict verdict = verifier.finish();
    if (verifier.finish() != verdict || verifier.verdict() != verdict) velkfuzz::fail("the verdict changed");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    velkfuzz::quietStdout();
    if (sodium_init() < 0) velkfuzz::fail("sodium_init");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    velkfuzz::FuzzInput input;
    if (!velkfuzz::readFuzzInput(bytes, size, input)) return 0;
    const std::string text(input.data, input.size);
    brn::MinisignPublicKey publicKey;
    (void)brn::parsePublicKey(text, publicKey);
    checkSignatureFile(text);
    checkSecretKey(text);
    if ((input.options & velkfuzz::kOptionA) != 0) checkVerifier(input);
    return 0;
}
