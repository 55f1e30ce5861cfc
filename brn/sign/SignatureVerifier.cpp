#include "brn/sign/SignatureVerifier.h"

#include "brn/sign/SmallFile.h"

namespace brn {
namespace {

// The verdict on a failed readSmallFile of the public key file or of the signature file.
SignVerdict readFault(int read, bool signatureFile) {
    if (read == kSmallFileTooLarge) return signatureFile ? SignVerdict::kMalformed : SignVerdict::kKeyMalformed;
    if (!signatureFile) return SignVerdict::kKeyUnreadable;
    return read == kSmallFileMissing ? SignVerdict::kMissing : SignVerdict::kUnreadable;
}

}  // namespace

SignVerdict CSignatureVerifier::fail(SignVerdict verdict) {
    expect = Expect::kFailed;
    decided = verdict;
    return verdict;
}

SignVerdict CSignatureVerifier::init(const MinisignPublicKey& key, const MinisignSignature& signature) {
    verifiedComment.clear();
    if (sodium_init() < 0) return fail(SignVerdict::kLibraryFailed);
    if (signature.algorithm != SignAlgorithm::kPrehashed) return fail(SignVerdict::kLegacy);
    if (signature.keyId != key.keyId) return fail(SignVerdict::kAnotherKey);
    crypto_generichash_init(&state, nullptr, 0, kFileHashBytes);
    publicKey = key;
    claimed = signature;
    expect = Expect::kData;
    decided = SignVerdict::kMisused;
    return SignVerdict::kOk;
}

SignVerdict CSignatureVerifier::initFromFiles(const std::string& publicKeyPath, const std::string& signaturePath) {
    return initFromKeyFile(publicKeyPath,
                           [&signaturePath](std::string& text) { return readSmallFile(signaturePath, kMaxFileBytes, text); });
}

SignVerdict CSignatureVerifier::initFromKeyFile(const std::string& publicKeyPath,
                                                const std::function<int(std::string& text)>& readSignature) {
    verifiedComment.clear();
    std::string text;
    MinisignPublicKey key;
    int read = readSmallFile(publicKeyPath, kMaxFileBytes, text);
    if (read != kSmallFileOk) return fail(readFault(read, false));
    if (parsePublicKey(text, key) != SignVerdict::kOk) return fail(SignVerdict::kKeyMalformed);
    MinisignSignature signature;
    read = readSignature(text);
    if (read != kSmallFileOk) return fail(readFault(read, true));
    if (parseSignature(text, signature) != SignVerdict::kOk) return fail(SignVerdict::kMalformed);
    return init(key, signature);
}

int CSignatureVerifier::update(const char* data, int len) {
    if (expect != Expect::kData) return int(expect == Expect::kFailed ? decided : SignVerdict::kMisused);
    if (data == nullptr || len <= 0) return int(fail(SignVerdict::kMisused));
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(data), size_t(len));
    return len;
}

SignVerdict CSignatureVerifier::finish() {
    if (expect != Expect::kData) return decided;
    uint8_t hash[kFileHashBytes];
    crypto_generichash_final(&state, hash, sizeof hash);
    if (crypto_sign_verify_detached(claimed.signature.data(), hash, sizeof hash, publicKey.key.data()) != 0) {
        return fail(SignVerdict::kBadSignature);
    }
    // As minisign does, the trusted comment is judged once the signature is known to be good:
    // the global signature covers both, so a changed signature would fail it too.
    const std::string covered = globalMessage(claimed);
    if (crypto_sign_verify_detached(claimed.globalSignature.data(), reinterpret_cast<const uint8_t*>(covered.data()),
                                    covered.size(), publicKey.key.data()) != 0) {
        return fail(SignVerdict::kBadTrustedComment);
    }
    expect = Expect::kNothing;
    decided = SignVerdict::kOk;
    verifiedComment = claimed.trustedComment;
    return decided;
}

}  // namespace brn
