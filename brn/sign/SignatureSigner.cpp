#include "brn/sign/SignatureSigner.h"

namespace brn {

int CSignatureSigner::init() {
    if (sodium_init() < 0) return kLibraryFailed;
    crypto_generichash_init(&state, nullptr, 0, kFileHashBytes);
    hashing = true;
    return kOk;
}

int CSignatureSigner::update(const char* data, int len) {
    if (!hashing) return kWrongState;
    if (data == nullptr || len <= 0) return kBadArguments;
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(data), size_t(len));
    return len;
}

int CSignatureSigner::finish(const CSecretKey& key, const std::string& trustedComment,
                             const std::string& untrustedComment, std::string& file) {
    if (!hashing) return kWrongState;
    hashing = false;
    uint8_t hash[kFileHashBytes];
    crypto_generichash_final(&state, hash, sizeof hash);
    if (!isCommentText(trustedComment, kMaxTrustedCommentBytes) ||
        !isCommentText(untrustedComment, kMaxUntrustedCommentBytes)) {
        return kBadComment;
    }
    MinisignSignature signature;
    signature.keyId = key.keyId();
    signature.trustedComment = trustedComment;
    if (key.sign(hash, sizeof hash, signature.signature) != CSecretKey::kOk) return kKeyNotLoaded;
    const std::string covered = globalMessage(signature);
    if (key.sign(reinterpret_cast<const uint8_t*>(covered.data()), covered.size(), signature.globalSignature) !=
        CSecretKey::kOk) {
        return kKeyNotLoaded;
    }
    file = formatSignature(signature, untrustedComment);
    return kOk;
}

}  // namespace brn
