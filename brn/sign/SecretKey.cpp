#include "brn/sign/SecretKey.h"

#include <sodium.h>

#include <algorithm>

#include "brn/ByteOrder.h"
#include "brn/sign/SmallFile.h"

namespace brn {
namespace {

// The binary line of a secret key file, 158 bytes (integers little-endian):
//   sig_alg 2 "Ed" | kdf_alg 2 "Sc" or two zero bytes | chk_alg 2 "B2" | kdf_salt 32
//   kdf_opslimit 8 | kdf_memlimit 8 | key_id 8 | secret key 64 | checksum 32
// With "Sc" the last 104 bytes are XORed with as many bytes of scrypt(password, salt, limits).
// The checksum is BLAKE2b-256 of sig_alg ‖ key_id ‖ secret key. minisign leaves it zero in a
// key without a password (-W), so a zero checksum is taken there.
constexpr size_t kKeyLineBytes = 158;
constexpr size_t kKdfAt = 2;
constexpr size_t kChecksumAlgorithmAt = 4;
constexpr size_t kSaltAt = 6;
constexpr size_t kOpsLimitAt = 38;
constexpr size_t kMemLimitAt = 46;
constexpr size_t kKeyIdAt = 54;  // the enciphered part starts here
constexpr size_t kSecretAt = 62;
constexpr size_t kChecksumAt = 126;
constexpr size_t kEncipheredBytes = kKeyLineBytes - kKeyIdAt;  // 104
constexpr size_t kSecretBytes = crypto_sign_SECRETKEYBYTES;    // 64
constexpr size_t kChecksumBytes = 32;
constexpr size_t kAlgorithmBytes = 2;

// Key material on the stack, wiped on every way out.
template <size_t N>
struct WipedBytes {
    uint8_t bytes[N] = {};
    ~WipedBytes() { sodium_memzero(bytes, N); }
};

struct WipedText {
    std::string text;
    ~WipedText() { sodium_memzero(&text[0], text.size()); }
};

bool isAlgorithm(const uint8_t* field, const char (&name)[kAlgorithmBytes + 1]) {
    return field[0] == uint8_t(name[0]) && field[1] == uint8_t(name[1]);
}

// Deciphers the last 104 bytes of `key` with the password that `ask` gives.
int decipher(uint8_t* key, const PasswordPrompt& ask) {
    uint64_t opsLimit = loadLe64(key + kOpsLimitAt);
    uint64_t memLimit = loadLe64(key + kMemLimitAt);
    // The limits come from the file: never spend more time or memory than minisign asks for.
    if (opsLimit > crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_SENSITIVE ||
        memLimit > crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_SENSITIVE) {
        return CSecretKey::kTooCostly;
    }
    WipedText password;
    if (!ask || ask(password.text) < 0) return CSecretKey::kNoPassword;
    WipedBytes<kEncipheredBytes> stream;
    if (crypto_pwhash_scryptsalsa208sha256(stream.bytes, kEncipheredBytes, password.text.data(),
                                           password.text.size(), key + kSaltAt, opsLimit, size_t(memLimit)) != 0) {
        return CSecretKey::kKdfFailed;
    }
    for (size_t i = 0; i < kEncipheredBytes; ++i) key[kKeyIdAt + i] ^= stream.bytes[i];
    return CSecretKey::kOk;
}

bool checksumMatches(const uint8_t* key, bool zeroTaken) {
    if (zeroTaken && sodium_is_zero(key + kChecksumAt, kChecksumBytes)) return true;
    WipedBytes<kAlgorithmBytes + kKeyIdBytes + kSecretBytes> covered;
    std::copy_n(key, kAlgorithmBytes, covered.bytes);
    std::copy_n(key + kKeyIdAt, kKeyIdBytes + kSecretBytes, covered.bytes + kAlgorithmBytes);
    uint8_t checksum[kChecksumBytes];
    crypto_generichash(checksum, sizeof checksum, covered.bytes, sizeof covered.bytes, nullptr, 0);
    return sodium_memcmp(checksum, key + kChecksumAt, kChecksumBytes) == 0;
}

// A damaged key would make signatures no public key verifies: its second half must be the
// public key its seed (the first half) gives.
bool publicHalfMatches(const uint8_t* secret) {
    uint8_t publicKey[crypto_sign_PUBLICKEYBYTES];
    WipedBytes<kSecretBytes> derived;
    crypto_sign_seed_keypair(publicKey, derived.bytes, secret);
    return sodium_memcmp(derived.bytes, secret, kSecretBytes) == 0;
}

}  // namespace

CSecretKey::~CSecretKey() { wipe(); }

void CSecretKey::wipe() {
    sodium_memzero(secret, sizeof secret);
    id.fill(0);
    loaded = false;
}

int CSecretKey::load(const std::string& text, const PasswordPrompt& ask) {
    wipe();
    if (sodium_init() < 0) return kLibraryFailed;
    WipedBytes<kKeyLineBytes> key;
    if (!decodeKeyText(text, key.bytes, kKeyLineBytes) || !isAlgorithm(key.bytes, "Ed") ||
        !isAlgorithm(key.bytes + kChecksumAlgorithmAt, "B2")) {
        return kMalformed;
    }
    bool protectedByPassword = isAlgorithm(key.bytes + kKdfAt, "Sc");
    if (!protectedByPassword && !sodium_is_zero(key.bytes + kKdfAt, kAlgorithmBytes)) return kMalformed;
    if (protectedByPassword) {
        int deciphered = decipher(key.bytes, ask);
        if (deciphered != kOk) return deciphered;
    }
    if (!checksumMatches(key.bytes, !protectedByPassword)) return protectedByPassword ? kWrongPassword : kDamaged;
    if (!publicHalfMatches(key.bytes + kSecretAt)) return kDamaged;
    std::copy_n(key.bytes + kKeyIdAt, kKeyIdBytes, id.begin());
    std::copy_n(key.bytes + kSecretAt, kSecretBytes, secret);
    loaded = true;
    return kOk;
}

int CSecretKey::loadFile(const std::string& path, const PasswordPrompt& ask) {
    wipe();
    WipedText file;  // the key line of a key without a password is the key itself
    int read = readSmallFile(path, kMaxFileBytes, file.text);
    if (read == kSmallFileMissing) return kMissing;
    if (read == kSmallFileTooLarge) return kMalformed;
    if (read != kSmallFileOk) return kUnreadable;
    return load(file.text, ask);
}

const char* CSecretKey::errorText(int code) {
    switch (code) {
    case kOk: return "loaded";
    case kMissing: return "no such file";
    case kUnreadable: return "not a regular file, or cannot be read";
    case kMalformed: return "not a minisign secret key";
    case kTooCostly: return "the key asks for more scrypt work or memory than minisign ever does";
    case kNoPassword: return "the key is protected by a password, and none was given";
    case kKdfFailed: return "deriving the key from the password failed (out of memory?)";
    case kWrongPassword: return "wrong password";
    case kDamaged: return "the secret key is damaged";
    case kNotLoaded: return "no secret key loaded";
    case kLibraryFailed: return "libsodium could not be initialised";
    }
    return "unknown result";
}

int CSecretKey::sign(const uint8_t* message, size_t length, std::array<uint8_t, kSignatureBytes>& signature) const {
    if (!loaded) return kNotLoaded;
    crypto_sign_detached(signature.data(), nullptr, message, length, secret);
    return kOk;
}

}  // namespace brn
