#pragma once
// CSignatureSigner makes a prehashed ("ED") minisign signature file for a stream of bytes:
//   init()                   starts BLAKE2b-512
//   update(data, len)        hashes the next bytes, straight from the caller's memory
//   finish(key, trusted, untrusted, file)   signs the hash, then the signature with the
//                            trusted comment, and puts the four lines of the file in `file`
// finish ends the stream whatever it returns. The key is only borrowed during finish; init
// may be called again to sign another stream.

#include <sodium.h>

#include <string>

#include "brn/sign/SecretKey.h"

namespace brn {

class CSignatureSigner {
public:
    static constexpr int kOk = 0;
    static constexpr int kBadArguments = -1;   // data null or len <= 0
    static constexpr int kWrongState = -2;     // update or finish without init, or after finish
    static constexpr int kBadComment = -3;     // a comment holds CR, LF or NUL, or is longer than minisign reads
    static constexpr int kKeyNotLoaded = -4;   // the key holds no secret key
    static constexpr int kLibraryFailed = -5;  // libsodium could not be initialised

    [[nodiscard]] int init();
    // len once every byte was hashed, else kBadArguments or kWrongState.
    [[nodiscard]] int update(const char* data, int len);
    // Both comments must pass isCommentText with kMaxTrustedCommentBytes and kMaxUntrustedCommentBytes.
    [[nodiscard]] int finish(const CSecretKey& key, const std::string& trustedComment,
                             const std::string& untrustedComment, std::string& file);

private:
    bool hashing = false;  // from init until finish
    crypto_generichash_state state;
};

}  // namespace brn
