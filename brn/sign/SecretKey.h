#pragma once
// CSecretKey holds one minisign secret key to sign with. load (or loadFile) reads the key
// file; a key protected by a password ("Sc") asks for it through the prompt, only then, and
// is deciphered with scrypt. Either way the key is checked (its checksum, and that its public
// half belongs to its seed) before sign can use it. The object owns the key bytes, wipes
// them when destroyed or loaded again, and cannot be copied.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "brn/sign/MinisignFormat.h"

namespace brn {

// Fills `password` and returns 0, or returns a negative value when there is none.
using PasswordPrompt = std::function<int(std::string& password)>;

class CSecretKey {
public:
    static constexpr int kOk = 0;
    static constexpr int kMissing = -1;         // no file at the path
    static constexpr int kUnreadable = -2;      // no regular file, or it cannot be read
    static constexpr int kMalformed = -3;       // not a key line of 158 bytes, unknown algorithms, too large
    static constexpr int kTooCostly = -4;       // scrypt limits above minisign's (2^25 operations, 1 GiB)
    static constexpr int kNoPassword = -5;      // protected by a password, and the prompt gave none
    static constexpr int kKdfFailed = -6;       // scrypt failed, e.g. out of memory
    static constexpr int kWrongPassword = -7;   // the deciphered key does not match its checksum
    static constexpr int kDamaged = -8;         // an unprotected key's checksum or public half is wrong
    static constexpr int kNotLoaded = -9;       // sign without a successful load
    static constexpr int kLibraryFailed = -10;  // libsodium could not be initialised

    CSecretKey() = default;
    ~CSecretKey();
    CSecretKey(const CSecretKey&) = delete;
    CSecretKey& operator=(const CSecretKey&) = delete;

    // `ask` may be empty: a protected key then gives kNoPassword.
    [[nodiscard]] int load(const std::string& text, const PasswordPrompt& ask);
    [[nodiscard]] int loadFile(const std::string& path, const PasswordPrompt& ask);

    // What a result code means, e.g. "wrong password"; never null.
    static const char* errorText(int code);

    const KeyId& keyId() const { return id; }

    // The Ed25519 signature of `message`: 0, or kNotLoaded.
    [[nodiscard]] int sign(const uint8_t* message, size_t length,
                           std::array<uint8_t, kSignatureBytes>& signature) const;

private:
    void wipe();

    bool loaded = false;
    KeyId id{};
    uint8_t secret[64] = {};  // Ed25519 secret key: seed (32) ‖ public key (32)
};

}  // namespace brn
