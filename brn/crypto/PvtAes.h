#pragma once
// The payload cipher stage: a CRawAes whose AES-256 key and IV are derived from two texts.
// Calling order: init(first, second, encrypt, output), any number of update, finish.
// CPvtAesBase leaves the derivation to one pure virtual, deriveKeyIv; CPvtAesV0 takes key
// and IV from the 64-byte-block keyed SHA-384 of `first` under `first` + `second`.
// Objects are held by value (there is no virtual destructor; the base's destructor is
// protected so nothing deletes through it). They own their stage and a copy of `output`.

#include <string>

#include "brn/Stage.h"
#include "brn/crypto/RawAes.h"

namespace brn {

class CPvtAesBase {
public:
    static constexpr int kInitBothEmpty = -1;     // first and second both empty
    static constexpr int kInitDeriveFailed = -2;  // deriveKeyIv failed or gave too few bytes
    static constexpr int kInitStageOffset = 100;  // the stage's init code r is returned as r - 100

    // Fills key (at least 32 bytes) and iv (at least 16 bytes); 0 or a negative code.
    virtual int deriveKeyIv(const std::string& first, const std::string& second, std::string& key,
                            std::string& iv) = 0;

    [[nodiscard]] int init(const std::string& first, const std::string& second, int encrypt, StageOutput out);
    [[nodiscard]] int update(const char* data, int length) { return stage.update(data, length); }
    [[nodiscard]] int finish() { return stage.finish(); }
    AesError lastError() const { return stage.lastError(); }

protected:
    CPvtAesBase() = default;
    ~CPvtAesBase() = default;

private:
    CRawAes stage;
};

class CPvtAesV0 final : public CPvtAesBase {
public:
    static constexpr int kDeriveDigestFailed = -1;  // the keyed digest failed (first empty)

    int deriveKeyIv(const std::string& first, const std::string& second, std::string& key,
                    std::string& iv) override;
};

}  // namespace brn
