// brn_sign against the real minisign, which shares no code with it: both ways in every slicing,
// each fault in the file, the signature or the key refused with its verdict, secret keys read as
// minisign writes them.

#include <gtest/gtest.h>

#include <ostream>

#include "brn/sign/SignatureSigner.h"
#include "brn/sign/SignatureVerifier.h"
#include "tests/support/TestSupport.h"

namespace brn {
// GoogleTest prints a verdict by its text.
void PrintTo(SignVerdict verdict, std::ostream* out) { *out << signVerdictText(verdict); }
}  // namespace brn

namespace {

using brn::CSecretKey;
using brn::SignVerdict;
using velktest::quote;
using velktest::shell;

const std::string kMinisign = quote(VELK_MINISIGN);

// Two key pairs made once by minisign, without password: k.pub/k.sec and other.pub/other.sec.
const std::string& keys() {
    static const velktest::TempDir dir;
    static const std::string path = (shell("cd " + quote(dir.path()) + " && " + kMinisign + " -G -W -p k.pub -s k.sec"
                                           " && " + kMinisign + " -G -W -p other.pub -s other.sec"), dir.path());
    return path;
}

// Writes `content` to dir/f and signs it with minisign and keys()/k.sec, `flags` added: dir/f.minisig.
std::string minisignSign(const std::string& dir, const std::string& content, const std::string& flags) {
    velktest::writeFile(dir + "/f", content);
    shell("cd " + quote(dir) + " && " + kMinisign + " -S -s " + quote(keys() + "/k.sec") + " -m f " + flags +
          " > /dev/null");
    return velktest::readFile(dir + "/f.minisig");
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

// `from` copied to `to`, `xorHex` XORed into its second line's bytes at `at`; with `sum`,
// hashlib's BLAKE2b then makes a secret key's checksum right.
std::string edited(const std::string& from, const std::string& to, size_t at, const std::string& xorHex,
                   bool sum = false) {
    constexpr const char* kEditor = R"(import base64, hashlib, sys
l = open(sys.argv[1]).read().split('\n'); b = bytearray(base64.b64decode(l[1]))
for i, x in enumerate(bytes.fromhex(sys.argv[3])): b[int(sys.argv[2]) + i] ^= x
if sys.argv[4] == 'sum': b[126:158] = hashlib.blake2b(bytes(b[0:2] + b[54:126]), digest_size=32).digest()
print('\n'.join(l[:1] + [base64.b64encode(bytes(b)).decode()] + l[2:]), end=''))";
    shell(quote(velktest::python()) + " -c " + quote(kEditor) + " " + quote(from) + " " + std::to_string(at) + " '" +
          xorHex + (sum ? "' sum > " : "' keep > ") + quote(to));
    return to;
}

// initFromFiles, `file` in `slices`, finish; the first fault ends the run: verdict and comment.
std::pair<SignVerdict, std::string> verify(const std::string& key, const std::string& signature,
                                           const std::string& file, const std::vector<size_t>& slices) {
    brn::CSignatureVerifier verifier;
    SignVerdict verdict = verifier.initFromFiles(key, signature);
    for (size_t i = 0, at = 0; verdict == SignVerdict::kOk && i < slices.size(); at += slices[i++]) {
        int taken = verifier.update(file.data() + at, int(slices[i]));
        if (taken != int(slices[i])) verdict = SignVerdict(taken);
    }
    if (verdict == SignVerdict::kOk) verdict = verifier.finish();
    EXPECT_EQ(verifier.verdict(), verdict);
    return {verdict, verifier.trustedComment()};
}

// The signature file of `file`, hashed in `slices`.
std::string sign(const CSecretKey& key, const std::string& file, const std::vector<size_t>& slices,
                 const std::string& trusted, const std::string& untrusted, int expect = brn::CSignatureSigner::kOk) {
    brn::CSignatureSigner signer;
    EXPECT_EQ(signer.init(), 0);
    for (size_t i = 0, at = 0; i < slices.size(); at += slices[i++])
        EXPECT_EQ(signer.update(file.data() + at, int(slices[i])), int(slices[i]));
    std::string text;
    EXPECT_EQ(signer.finish(key, trusted, untrusted, text), expect);
    return text;
}

// Ed25519 is deterministic: with the same key, file and comments (the longest minisign reads
// back among them) we make minisign's very bytes, and minisign's signature verifies.
TEST(Minisign, BothWaysInEverySlicing) {
    velktest::TempDir dir;
    CSecretKey key;
    ASSERT_EQ(key.loadFile(keys() + "/k.sec", nullptr), CSecretKey::kOk);
    const struct { size_t size; std::string trusted, untrusted; } cases[] = {
        {0, "timestamp:0\tfile:f\thashed", "signature from velk-pack secret key"},
        {300001, std::string(brn::kMaxTrustedCommentBytes, 't'), std::string(brn::kMaxUntrustedCommentBytes, 'u')},
    };
    for (const auto& c : cases) {
        const std::string file = velktest::seededBytes(c.size, 9), f = dir / "f", ours = dir / "ours.minisig";
        const std::string expected =
            minisignSign(dir.path(), file, "-t " + quote(c.trusted) + " -c " + quote(c.untrusted));
        for (const auto& slices : {velktest::fixedSlices(c.size, std::max<size_t>(c.size, 1)),
                                   velktest::fixedSlices(c.size, 1), velktest::fixedSlices(c.size, 7),
                                   velktest::fixedSlices(c.size, 16384), velktest::randomSlices(c.size, 5000, 1)}) {
            EXPECT_EQ(verify(keys() + "/k.pub", f + ".minisig", file, slices), std::pair(SignVerdict::kOk, c.trusted));
            EXPECT_EQ(sign(key, file, slices, c.trusted, c.untrusted), expected);
        }
        velktest::writeFile(ours, sign(key, file, velktest::randomSlices(c.size, 5000, 2), c.trusted, c.untrusted));
        EXPECT_EQ(shell(kMinisign + " -V -p " + quote(keys() + "/k.pub") + " -m " + quote(f) + " -x " + quote(ours)),
                  "Signature and comment signature verified\nTrusted comment: " + c.trusted + "\n");
    }
    // A line end, or one byte more than minisign reads back: nothing is signed.
    for (const auto& [trusted, untrusted] : {std::pair<std::string, std::string>{"a\nb", ""}, {"", "a\rb"},
                                             {std::string(4078, 't'), ""}, {"", std::string(1004, 'u')}})
        EXPECT_EQ(sign(key, "x", {1}, trusted, untrusted, brn::CSignatureSigner::kBadComment), "");
    EXPECT_EQ(sign(CSecretKey(), "x", {1}, "", "", brn::CSignatureSigner::kKeyNotLoaded), "");
}

// The forms of key and signature file minisign reads are taken; each fault gets its verdict, one
// row for each check of the parsers; the key is read before the signature.
TEST(SignatureVerifier, TakesMinisignsFormsAndRefusesEachFaultWithItsVerdict) {
    velktest::TempDir dir;
    const std::string k = keys(), key = k + "/k.pub", d = dir.path(), file = velktest::seededBytes(100000, 3);
    const std::string comment = "good,\twith tabs and spaces ", legacy = minisignSign(d, file, "-l");
    const std::string good = minisignSign(d, file, "-t " + quote(comment)), sig = quote(d + "/f.minisig");
    shell("cd " + quote(d) + " && mkfifo fifo.minisig && sed -n 2p " + quote(key) + " | tr -d '\\n' > bare.pub && sed"
          " 's/$/\\r/' " + quote(key) + " > crlf.pub && sed 's/$/\\r/' " + sig + " > crlf.minisig");
    using V = SignVerdict;
    struct Case { std::string what, file, signature; V verdict; std::string key = "", signaturePath = ""; };
    const Case cases[] = {
        {"the key line alone, no line end", file, good, V::kOk, d + "/bare.pub"},
        {"CRLF line ends", file, "", V::kOk, d + "/crlf.pub", d + "/crlf.minisig"},
        {"no line end after the last line", file, good.substr(0, good.size() - 1), V::kOk},
        // minisign drops every CR before a line end; the comment signed has none of them.
        {"two CRs before a line end", file, replaced(good, comment + "\n", comment + "\r\r\n"), V::kOk},
        {"untrusted comment changed", file, replaced(good, "untrusted comment: ", "untrusted comment: x"), V::kOk},
        // The last byte, in the 32-byte tail a VELK package ends with and its decoder never reads.
        {"a changed byte", file.substr(0, file.size() - 1) + char(file.back() ^ 1), good, V::kBadSignature},
        {"one byte appended", file + '\0', good, V::kBadSignature},
        {"trusted comment", file, replaced(good, ": good", ": goof"), V::kBadTrustedComment},
        {"checked with another key", file, good, V::kAnotherKey, k + "/other.pub"},
        {"legacy", file, legacy, V::kLegacy},
        {"unknown algorithm", file, velktest::readFile(edited(d + "/f.minisig", d + "/e", 1, "01")), V::kMalformed},
        {"character after base64", file, replaced(good, "=\ntrusted", "=*\ntrusted"), V::kMalformed},
        {"global one byte short", file, good.substr(0, good.size() - 5) + "\n", V::kMalformed},
        {"no trusted prefix", file, replaced(good, ": good", ":good"), V::kMalformed},
        {"no untrusted prefix", file, replaced(good, "untrusted ", ""), V::kMalformed},
        {"NUL in a comment", file, replaced(good, "comment: ", std::string("comment: \0", 10)), V::kMalformed},
        {"three lines", file, good.substr(0, good.rfind('\n', good.size() - 2) + 1), V::kMalformed},
        {"above 8 KiB", file, replaced(good, "comment: ", "comment: " + std::string(8200, 'u')), V::kMalformed},
        {"no signature file", file, "", V::kMissing, key, d + "/none.minisig"},
        {"signature a FIFO", file, "", V::kUnreadable, key, d + "/fifo.minisig"},
        {"no key, no signature", file, "", V::kKeyUnreadable, d + "/none.pub", d + "/none.minisig"},
        {"key algorithm ED", file, good, V::kKeyMalformed, edited(key, d + "/ED.pub", 1, "20")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string path = c.signaturePath;
        if (path.empty()) velktest::writeFile(path = d + "/s.minisig", c.signature);
        EXPECT_EQ(verify(c.key.empty() ? key : c.key, path, c.file, velktest::randomSlices(c.file.size(), 5000, 2)),
                  std::pair(c.verdict, c.verdict == V::kOk ? comment : ""));
    }
}

// Calls out of order never pass; a stream that lost bytes fails for good; init starts afresh.
TEST(SignatureVerifier, HoldsItsVerdictAcrossCalls) {
    velktest::TempDir dir;
    const std::string file = "signed bytes", key = keys() + "/k.pub", signature = dir / "f.minisig";
    const int kMisused = int(SignVerdict::kMisused), size = int(file.size());
    minisignSign(dir.path(), file, "-t 'ok'");
    brn::CSignatureVerifier v;
    EXPECT_EQ(v.update(file.data(), 1), kMisused);
    ASSERT_EQ(v.initFromFiles(keys() + "/other.pub", signature), SignVerdict::kAnotherKey);
    EXPECT_EQ(v.update(file.data(), 1), int(SignVerdict::kAnotherKey));
    EXPECT_EQ(v.finish(), SignVerdict::kAnotherKey);
    ASSERT_EQ(v.initFromFiles(key, signature), SignVerdict::kOk);
    EXPECT_EQ(v.update(file.data(), 0), kMisused);
    EXPECT_EQ(v.update(file.data(), size), kMisused);  // the whole file after the refused update
    EXPECT_EQ(v.finish(), SignVerdict::kMisused);
    ASSERT_EQ(v.initFromFiles(key, signature), SignVerdict::kOk);
    ASSERT_EQ(v.update(file.data(), size), size);
    ASSERT_EQ(v.finish(), SignVerdict::kOk);
    EXPECT_EQ(v.update(file.data(), 1), kMisused);  // refused after the verdict, which stays
    EXPECT_EQ(v.finish(), SignVerdict::kOk);
    EXPECT_EQ(v.trustedComment(), "ok");
    ASSERT_EQ(v.initFromFiles(key, dir / "none"), SignVerdict::kMissing);
    EXPECT_EQ(v.trustedComment(), "");
}

// A protected key is made by minisign with its scrypt limits, which cost seconds and 1 GiB per try.
TEST(SecretKey, ReadsMinisignKeysAndRefusesDamagedOnes) {
    velktest::TempDir dir;
    const std::string d = dir.path(), k = keys() + "/k.sec";
    shell("cd " + quote(d) + " && printf 'pass word\\npass word\\n' | " + kMinisign +
          " -G -p e.pub -s e.sec > /dev/null");
    // "Sc", chk_alg and salt unchanged, then the scrypt limits: the key has zeros there; minisign's
    // are 2^25 operations and 1 GiB.
    auto limits = [&](const std::string& name, const std::string& ops, const std::string& memory) {
        return edited(k, d + "/" + name, 2, "5363" + std::string(68, '0') + ops + memory);
    };
    const struct { std::string what, path; int result; const char* password = nullptr; } cases[] = {
        {"minisign -W", k, CSecretKey::kOk},
        {"checksum filled in", edited(k, d + "/sum.sec", 0, "", true), CSecretKey::kOk},
        {"kdf algorithm Sd", edited(k, d + "/kdf.sec", 2, "5364"), CSecretKey::kMalformed},
        {"checksum algorithm B3", edited(k, d + "/B3.sec", 5, "01"), CSecretKey::kMalformed},
        {"checksum wrong", edited(k, d + "/bad-sum.sec", 140, "01"), CSecretKey::kDamaged},
        {"public half wrong, checksum right", edited(k, d + "/p.sec", 100, "01", true), CSecretKey::kDamaged},
        {"operations too high", limits("o", "0100000200000000", "0000004000000000"), CSecretKey::kTooCostly},
        {"memory too high", limits("m", "0000000200000000", "0000008000000000"), CSecretKey::kTooCostly},
        {"protected by minisign -G, no password", d + "/e.sec", CSecretKey::kNoPassword},
        {"wrong password", d + "/e.sec", CSecretKey::kWrongPassword, "pass words"},
        {"right password", d + "/e.sec", CSecretKey::kOk, "pass word"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
#ifdef VELK_EMULATED
        if (c.password) continue;  // scrypt with minisign's limits takes minutes under qemu-user
#endif
        CSecretKey key;
        auto prompt = [&c](std::string& typed) { return c.password ? (typed = c.password, 0) : -1; };
        EXPECT_EQ(key.loadFile(c.path, prompt), c.result);
        std::array<uint8_t, brn::kSignatureBytes> signature;
        EXPECT_EQ(key.sign(nullptr, 0, signature), c.result == CSecretKey::kOk ? 0 : CSecretKey::kNotLoaded);
    }
}

}  // namespace
