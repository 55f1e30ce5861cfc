#include "brn/crypto/PvtAes.h"

#include <utility>

#include "brn/crypto/ShaDigest.h"

namespace brn {
namespace {

constexpr int kDerivationBits = 384;  // 48 bytes: 32 of key, then 16 of IV

}  // namespace

int CPvtAesV0::init(const std::string& first, const std::string& second, int encrypt, StageOutput out) {
    if (first.empty() && second.empty()) return kInitBothEmpty;
    std::string key;
    std::string iv;
    if (deriveKeyIv(first, second, key, iv) < 0) return kInitDeriveFailed;
    int result = stage.init(key.data(), iv.data(), encrypt, std::move(out));
    return result < 0 ? result - kInitStageOffset : 0;
}

int CPvtAesV0::deriveKeyIv(const std::string& first, const std::string& second, std::string& key, std::string& iv) {
    std::string digest;
    if (hmacSha(kDerivationBits, first, first + second, digest) < 0) return kDeriveDigestFailed;
    if (digest.size() < size_t(CRawAes::kKeyBytes + CRawAes::kIvBytes)) return kDeriveDigestFailed;
    key.assign(digest, 0, CRawAes::kKeyBytes);
    iv.assign(digest, CRawAes::kKeyBytes, CRawAes::kIvBytes);
    return 0;
}

}  // namespace brn
