#pragma once
// The payload cipher stage: a CRawAes whose AES-256 key and IV are derived from two texts,
// taken from the 64-byte-block keyed SHA-384 of `first` under `first` + `second`.
// Calling order: init(first, second, encrypt, output), any number of update, finish.
// Held by value; it owns its stage and a copy of `output`.

#include <string>

#include "brn/Stage.h"
#include "brn/crypto/RawAes.h"

namespace brn {

class CPvtAesV0 {
public:
    static constexpr int kInitBothEmpty = -1;     // first and second both empty
    static constexpr int kInitDeriveFailed = -2;  // deriveKeyIv failed
    static constexpr int kInitStageOffset = 100;  // the stage's init code r is returned as r - 100
    static constexpr int kDeriveDigestFailed = -1;  // deriveKeyIv: the keyed digest failed (first empty)

    // Fills key (32 bytes) and iv (16 bytes); 0 or kDeriveDigestFailed.
    int deriveKeyIv(const std::string& first, const std::string& second, std::string& key, std::string& iv);

    [[nodiscard]] int init(const std::string& first, const std::string& second, int encrypt, StageOutput out);
    [[nodiscard]] int update(const char* data, int length) { return stage.update(data, length); }
    [[nodiscard]] int finish() { return stage.finish(); }
    AesError lastError() const { return stage.lastError(); }
    int refusalCode() const { return stage.refusalCode(); }

private:
    CRawAes stage;
};

}  // namespace brn
