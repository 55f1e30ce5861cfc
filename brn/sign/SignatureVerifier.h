#pragma once
// CSignatureVerifier checks a file against a prehashed ("ED") minisign signature while the
// file streams past, in constant memory and without copying it:
//   init(key, signature)         refuses a legacy signature or another key, starts BLAKE2b-512
//   initFromFiles(keyPath, signaturePath)   reads and parses both files first, then init
//   update(data, len)            hashes the next bytes of the file
//   finish()                     checks the signature over the file's hash, then the global
//                                signature over it and the trusted comment: the verdict
// A fault is reported by the call that finds it and sticks until the next init, which may be
// called at any time to check another file. The object owns copies of what it checks.

#include <sodium.h>

#include <functional>
#include <string>

#include "brn/sign/MinisignFormat.h"
#include "brn/sign/SignVerdict.h"

namespace brn {

class CSignatureVerifier {
public:
    [[nodiscard]] SignVerdict init(const MinisignPublicKey& key, const MinisignSignature& signature);
    // The key is read first: kKeyUnreadable or kKeyMalformed before any verdict on the signature.
    [[nodiscard]] SignVerdict initFromFiles(const std::string& publicKeyPath, const std::string& signaturePath);
    // The same with the signature's text from `readSignature`, which fills it and returns a
    // brn/sign/SmallFile.h code (a signature fetched from a server, say); it is asked only once
    // the key was read.
    [[nodiscard]] SignVerdict initFromKeyFile(const std::string& publicKeyPath,
                                              const std::function<int(std::string& text)>& readSignature);
    // len once every byte was hashed, else a negative int(SignVerdict): the fault found before,
    // or kMisused (no successful init, after finish, or data null or len <= 0, which also fails
    // the stream: a byte the hash never saw would make any later verdict wrong).
    [[nodiscard]] int update(const char* data, int len);
    // kOk only when every check passed; called again, it gives the same verdict.
    [[nodiscard]] SignVerdict finish();

    // The fault once one was found, kOk once finish verified the file, kMisused until then.
    SignVerdict verdict() const { return decided; }
    // The verified trusted comment once finish gave kOk, else empty.
    const std::string& trustedComment() const { return verifiedComment; }

private:
    // What the verifier takes next:  kInit -> kData -> kNothing;  any fault -> kFailed
    enum class Expect : int {
        kInit = 0,     // init: nothing checked yet
        kData = 1,     // file bytes through update, then finish
        kNothing = 2,  // finish verified the file; only init is taken
        kFailed = 3,   // `decided` holds the fault; only init is taken
    };

    SignVerdict fail(SignVerdict verdict);

    Expect expect = Expect::kInit;
    SignVerdict decided = SignVerdict::kMisused;
    crypto_generichash_state state;     // BLAKE2b-512 of the file so far
    MinisignPublicKey publicKey;        // checks the file's signature at finish
    MinisignSignature claimed;          // the signature being checked
    std::string verifiedComment;
};

}  // namespace brn
