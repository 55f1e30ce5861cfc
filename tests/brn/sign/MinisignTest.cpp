// brn_sign against the real minisign, which shares no code with it: what minisign signed is
// accepted in every slicing with the trusted comment minisign reports, and every change to the
// file, the signature or the key is refused with its verdict; what we sign is minisign's very
// bytes; secret keys are read as minisign writes them, with or without a password.

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <map>
#include <ostream>
#include <sstream>

#include "brn/sign/SignatureSigner.h"
#include "brn/sign/SignatureVerifier.h"
#include "tests/support/TestSupport.h"

namespace brn {

// GoogleTest prints a verdict by its text.
void PrintTo(SignVerdict verdict, std::ostream* out) { *out << signVerdictText(verdict); }

}  // namespace brn

namespace {

using brn::CSecretKey;
using brn::CSignatureSigner;
using brn::SignVerdict;
using velktest::quote;
using velktest::shell;

const std::string kMinisign = quote(VELK_MINISIGN);

// Two key pairs made once by minisign, without password: k.pub/k.sec and other.pub/other.sec.
const std::string& keys() {
    static const velktest::TempDir dir;
    static const std::string path = [] {
        shell("cd " + quote(dir.path()) + " && " + kMinisign + " -G -W -p k.pub -s k.sec && " + kMinisign +
              " -G -W -p other.pub -s other.sec");
        return dir.path();
    }();
    return path;
}

// Writes `content` to dir/name and signs it with minisign and keys()/key, `flags` added.
std::string minisignSign(const std::string& dir, const std::string& name, const std::string& content,
                         const std::string& flags = "", const std::string& key = "k.sec") {
    velktest::writeFile(dir + "/" + name, content);
    shell("cd " + quote(dir) + " && " + kMinisign + " -S -s " + quote(keys() + "/" + key) + " -m " + name + " " +
          flags + " > /dev/null");
    return velktest::readFile(dir + "/" + name + ".minisig");
}

// The trusted comment `minisign -V` reports, or "" when it refuses.
std::string minisignVerifies(const std::string& key, const std::string& file, const std::string& signature) {
    const std::string report = shell(kMinisign + " -V -p " + quote(key) + " -m " + quote(file) + " -x " +
                                     quote(signature) + " 2>&1 || true"), prefix = "\nTrusted comment: ";
    size_t at = report.find(prefix);
    return at == std::string::npos ? "" : report.substr(at + prefix.size(), report.size() - at - prefix.size() - 1);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

std::string flipped(std::string text, size_t at) { return text[at] = char(text[at] ^ 1), text; }

// A line of base64 with byte `at` of what it decodes to flipped.
std::string flippedBase64(const std::string& line, size_t at) {
    std::string bytes(line.size(), '\0');
    size_t length = 0;
    EXPECT_EQ(sodium_base642bin(reinterpret_cast<unsigned char*>(&bytes[0]), bytes.size(), line.data(), line.size(),
                                nullptr, &length, nullptr, sodium_base64_VARIANT_ORIGINAL), 0);
    bytes = flipped(bytes.substr(0, length), at);
    std::string result(sodium_base64_ENCODED_LEN(length, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(&result[0], result.size(), reinterpret_cast<const unsigned char*>(bytes.data()), length,
                      sodium_base64_VARIANT_ORIGINAL);
    return result.substr(0, result.size() - 1);
}

// Prints the key file argv[1] with the bytes argv[3] (hex) XORed into its key line from offset
// argv[2]; with argv[4] "sum", the secret key's checksum is then made right by hashlib's BLAKE2b.
constexpr const char* kKeyEditor = R"(import base64, hashlib, sys
lines = open(sys.argv[1]).read().split('\n'); b = bytearray(base64.b64decode(lines[1]))
for i, x in enumerate(bytes.fromhex(sys.argv[3])): b[int(sys.argv[2]) + i] ^= x
if sys.argv[4] == 'sum': b[126:158] = hashlib.blake2b(bytes(b[0:2] + b[54:126]), digest_size=32).digest()
print(lines[0]); print(base64.b64encode(bytes(b)).decode()))";

// keys()/from with `xorHex` XORed in at `at`, written to dir/name; its path.
std::string editedKey(const std::string& from, const std::string& dir, const std::string& name, size_t at,
                      const std::string& xorHex, bool sum = false) {
    shell(quote(velktest::python()) + " -c " + quote(kKeyEditor) + " " + quote(keys() + "/" + from) + " " +
          std::to_string(at) + " '" + xorHex + (sum ? "' sum > " : "' keep > ") + quote(dir + "/" + name));
    return dir + "/" + name;
}

struct Outcome {
    SignVerdict verdict;
    std::string comment;  // the verified trusted comment
};

// initFromFiles, then `file` in `slices`, then finish; the first fault ends the run.
Outcome verify(const std::string& key, const std::string& signature, const std::string& file,
               const std::vector<size_t>& slices) {
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

// Whole, in slices of 1, 7 and 16384 bytes, and in two seeded random slicings.
std::vector<std::vector<size_t>> slicings(size_t size) {
    return {velktest::fixedSlices(size, std::max<size_t>(size, 1)), velktest::fixedSlices(size, 1),
            velktest::fixedSlices(size, 7), velktest::fixedSlices(size, 16384), velktest::randomSlices(size, 5000, 1),
            velktest::randomSlices(size, 100000, 2)};
}

// Comments of every length minisign reads back, the line ends it takes, both forms of the key.
TEST(SignatureVerifier, AcceptsWhatMinisignSignedInEverySlicing) {
    velktest::TempDir dir;
    const std::string k = keys(), key = k + "/k.pub";
    shell("cd " + quote(k) + " && sed -n 2p k.pub > bare.pub && sed -n 2p k.pub | tr -d '\\n' > bare-no-lf.pub"
          " && sed 's/$/\\r/' k.pub > crlf.pub");
    const struct { size_t size; std::string flags, key, edit; } cases[] = {  // edit: a filter for the signature
        {0, "", key, "cat"},
        {1, "-t 'x'", k + "/bare.pub", "cat"},
        {300001, "-t 'release 1.2.3'", k + "/bare-no-lf.pub", "cat"},
        {5000, "-t " + quote(std::string(4077, 't')) + " -c " + quote(std::string(1003, 'u')), key, "cat"},
        {1000, "", k + "/crlf.pub", "sed 's/$/\\r/'"},
        {1000, "-t ' tabs\tand spaces '", key, "head -c -1"},  // no line end after the last line
        {1000, "", key, "sed '1s/.*/untrusted comment: changed, and not protected/'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " bytes " + c.flags.substr(0, 40) + " | " + c.edit);
        const std::string file = velktest::seededBytes(c.size, c.size);
        minisignSign(dir.path(), "f", file, c.flags);
        const std::string reported = minisignVerifies(key, dir / "f", dir / "f.minisig");
        ASSERT_FALSE(reported.empty());
        shell(c.edit + " < " + quote(dir / "f.minisig") + " > " + quote(dir / "g.minisig"));
        for (const auto& slices : slicings(c.size)) {
            Outcome outcome = verify(c.key, dir / "g.minisig", file, slices);
            EXPECT_EQ(outcome.verdict, SignVerdict::kOk) << slices.size() << " slices";
            EXPECT_EQ(outcome.comment, reported);
        }
    }
}

TEST(SignatureVerifier, RefusesEveryChangeWithItsVerdictInEverySlicing) {
    velktest::TempDir dir;
    const std::string k = keys(), key = k + "/k.pub", d = dir.path();
    const std::string file = velktest::seededBytes(100000, 3);
    const std::string good = minisignSign(d, "f", file, "-t 'good'"), legacy = minisignSign(d, "f", file, "-l");
    const std::string byOther = minisignSign(d, "f", file, "", "other.sec");
    const std::string legacyOther = minisignSign(d, "g", velktest::seededBytes(500, 4), "-l");
    const auto line = lines(good);
    auto signature = [&line](size_t n, const std::string& text) {  // `good` with line n replaced
        std::string joined;
        for (size_t i = 0; i < 4; ++i) joined += (i == n ? text : line[i]) + "\n";
        return joined;
    };
    std::string crOnly = good;
    std::replace(crOnly.begin(), crOnly.end(), '\n', '\r');
    shell("cd " + quote(d) + " && mkdir dir.minisig && mkfifo fifo.minisig && (cat " + quote(key) +
          "; head -c 9000 /dev/zero | tr '\\0' '\\n') > huge.pub");
    using V = SignVerdict;
    struct Case { std::string what, file, signature; V verdict; std::string key, signaturePath = ""; };
    std::vector<Case> cases = {
        {"first byte", flipped(file, 0), good, V::kBadSignature, key},
        {"middle byte", flipped(file, file.size() / 2), good, V::kBadSignature, key},
        {"one byte appended", file + '\0', good, V::kBadSignature, key},
        {"last byte cut", file.substr(0, file.size() - 1), good, V::kBadSignature, key},
        {"empty file", "", good, V::kBadSignature, key},
        {"signature bytes", file, signature(1, flippedBase64(line[1], 40)), V::kBadSignature, key},
        // The key id alone is no trust: same id, another key.
        {"key bytes, same id", file, good, V::kBadSignature, editedKey("k.pub", d, "key.pub", 20, "01")},
        {"trusted comment", file, signature(2, "trusted comment: goof"), V::kBadTrustedComment, key},
        {"global signature", file, signature(3, flippedBase64(line[3], 0)), V::kBadTrustedComment, key},
        {"signed by another key", file, byOther, V::kAnotherKey, key},
        {"checked with another key", file, good, V::kAnotherKey, k + "/other.pub"},
        {"key id", file, signature(1, flippedBase64(line[1], 5)), V::kAnotherKey, key},
        {"legacy, same file", file, legacy, V::kLegacy, key},
        {"legacy, another file", file, legacyOther, V::kLegacy, key},
        {"unknown algorithm", file, signature(1, flippedBase64(line[1], 1)), V::kMalformed, key},
        {"bad base64", file, signature(1, "*" + line[1].substr(1)), V::kMalformed, key},
        {"base64 one short", file, signature(1, line[1].substr(1)), V::kMalformed, key},
        {"base64 too long", file, signature(1, line[1] + "AAAA"), V::kMalformed, key},
        {"blank in base64", file, signature(1, " " + line[1]), V::kMalformed, key},
        {"global too short", file, signature(3, line[3].substr(4)), V::kMalformed, key},
        {"no trusted prefix", file, signature(2, "trusted comment:good"), V::kMalformed, key},
        {"no untrusted prefix", file, signature(0, "comment: x"), V::kMalformed, key},
        {"NUL in a comment", file, signature(0, std::string("untrusted comment: \0", 20)), V::kMalformed, key},
        {"three lines", file, good.substr(0, good.rfind('\n', good.size() - 2) + 1), V::kMalformed, key},
        {"five lines", file, good + "\n", V::kMalformed, key},
        {"CR line ends only", file, crOnly, V::kMalformed, key},
        {"above 8 KiB", file, signature(0, "untrusted comment: " + std::string(8200, 'u')), V::kMalformed, key},
        {"empty signature file", file, "", V::kMalformed, key},
        {"no signature file", file, "", V::kMissing, key, d + "/none.minisig"},
        {"signature a directory", file, "", V::kUnreadable, key, d + "/dir.minisig"},
        {"signature a FIFO", file, "", V::kUnreadable, key, d + "/fifo.minisig"},
        {"no key, no signature", file, "", V::kKeyUnreadable, d + "/none.pub", d + "/none.minisig"},
        {"key a directory", file, good, V::kKeyUnreadable, d},
        {"secret key as public key", file, good, V::kKeyMalformed, k + "/k.sec"},
        {"key algorithm ED", file, good, V::kKeyMalformed, editedKey("k.pub", d, "ED.pub", 1, "20")},
        {"key above 8 KiB", file, good, V::kKeyMalformed, d + "/huge.pub"},
    };
    // Every byte of the 32-byte tail a VELK package ends with, which its decoder never reads.
    for (size_t back = 1; back <= 32; ++back)
        cases.push_back({"tail byte -" + std::to_string(back), flipped(file, file.size() - back), good,
                         V::kBadSignature, key});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string path = c.signaturePath;
        if (path.empty()) velktest::writeFile(path = d + "/s.minisig", c.signature);
        for (const auto& slices : slicings(c.file.size())) {
            Outcome outcome = verify(c.key, path, c.file, slices);
            EXPECT_EQ(outcome.verdict, c.verdict);
            EXPECT_EQ(outcome.comment, "");
        }
    }
    // The words a program prints after "signature check failed: ".
    const std::map<V, std::string> printed = {
        {V::kMissing, "missing"}, {V::kMalformed, "malformed"}, {V::kAnotherKey, "another key"},
        {V::kBadSignature, "bad signature"}, {V::kBadTrustedComment, "bad trusted comment"},
        {V::kLegacy, "legacy signature (not prehashed) is not supported; sign without -l"}};
    for (const auto& [verdict, words] : printed) EXPECT_EQ(brn::signVerdictText(verdict), words);
}

// Calls out of order never pass; a stream that lost bytes fails for good; init starts afresh.
TEST(SignatureVerifier, HoldsItsVerdictAcrossCalls) {
    velktest::TempDir dir;
    const std::string file = "signed bytes", key = keys() + "/k.pub", signature = dir / "f.minisig";
    const int kMisused = int(SignVerdict::kMisused), size = int(file.size());
    minisignSign(dir.path(), "f", file, "-t 'ok'");
    brn::CSignatureVerifier v;
    EXPECT_EQ(v.update(file.data(), 1), kMisused);
    EXPECT_EQ(v.finish(), SignVerdict::kMisused);
    ASSERT_EQ(v.initFromFiles(keys() + "/other.pub", signature), SignVerdict::kAnotherKey);
    EXPECT_EQ(v.update(file.data(), 1), int(SignVerdict::kAnotherKey));
    EXPECT_EQ(v.finish(), SignVerdict::kAnotherKey);
    for (const auto& [data, len] : {std::pair<const char*, int>{file.data(), 0}, {file.data(), -1}, {nullptr, 4}}) {
        ASSERT_EQ(v.initFromFiles(key, signature), SignVerdict::kOk);
        EXPECT_EQ(v.update(data, len), kMisused);
        EXPECT_EQ(v.update(file.data(), size), kMisused);  // the whole file after the refused update
        EXPECT_EQ(v.finish(), SignVerdict::kMisused);
    }
    ASSERT_EQ(v.initFromFiles(key, signature), SignVerdict::kOk);
    ASSERT_EQ(v.update(file.data(), size), size);
    EXPECT_EQ(v.trustedComment(), "");
    ASSERT_EQ(v.finish(), SignVerdict::kOk);
    EXPECT_EQ(v.update(file.data(), 1), kMisused);  // refused after the verdict, which stays
    EXPECT_EQ(v.finish(), SignVerdict::kOk);
    EXPECT_EQ(v.trustedComment(), "ok");
    ASSERT_EQ(v.initFromFiles(key, dir / "none"), SignVerdict::kMissing);
    EXPECT_EQ(v.trustedComment(), "");
}

// The signature file of `file`, hashed in `slices`.
std::string sign(const CSecretKey& key, const std::string& file, const std::vector<size_t>& slices,
                 const std::string& trusted, const std::string& untrusted, int expect = CSignatureSigner::kOk) {
    CSignatureSigner signer;
    EXPECT_EQ(signer.init(), CSignatureSigner::kOk);
    for (size_t i = 0, at = 0; i < slices.size(); at += slices[i++])
        EXPECT_EQ(signer.update(file.data() + at, int(slices[i])), int(slices[i]));
    std::string text;
    EXPECT_EQ(signer.finish(key, trusted, untrusted, text), expect);
    return text;
}

// Ed25519 is deterministic: the same key, file and comments must give minisign's very bytes.
TEST(SignatureSigner, MakesMinisignsOwnSignatureInEverySlicing) {
    velktest::TempDir dir;
    CSecretKey key;
    ASSERT_EQ(key.loadFile(keys() + "/k.sec", nullptr), CSecretKey::kOk);
    const struct { size_t size; std::string trusted, untrusted; } cases[] = {
        {0, "timestamp:0\tfile:f\thashed", "signature from velk-pack secret key"},
        {1, "x", "y"},
        {300001, std::string(brn::kMaxTrustedCommentBytes, 't'), std::string(brn::kMaxUntrustedCommentBytes, 'u')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string file = velktest::seededBytes(c.size, 9);
        const std::string flags = "-t " + quote(c.trusted) + " -c " + quote(c.untrusted);
        const std::string expected = minisignSign(dir.path(), "f", file, flags);
        for (const auto& slices : slicings(c.size))
            EXPECT_EQ(sign(key, file, slices, c.trusted, c.untrusted), expected);
        velktest::writeFile(dir / "ours.minisig", sign(key, file, slicings(c.size)[4], c.trusted, c.untrusted));
        EXPECT_EQ(minisignVerifies(keys() + "/k.pub", dir / "f", dir / "ours.minisig"), c.trusted);
    }
    // One byte more than minisign reads back, or a line end: nothing is signed.
    for (const auto& [trusted, untrusted] : {std::pair<std::string, std::string>{std::string(4078, 't'), ""},
                                             {"", std::string(1004, 'u')}, {"a\nb", ""}, {"", "a\rb"}}) {
        EXPECT_EQ(sign(key, "x", {1}, trusted, untrusted, CSignatureSigner::kBadComment), "");
    }
    CSecretKey none;
    CSignatureSigner signer;
    std::string text;
    EXPECT_EQ(signer.update("x", 1), CSignatureSigner::kWrongState);
    ASSERT_EQ(signer.init(), CSignatureSigner::kOk);
    EXPECT_EQ(signer.update(nullptr, 1), CSignatureSigner::kBadArguments);
    EXPECT_EQ(signer.update("x", 0), CSignatureSigner::kBadArguments);
    EXPECT_EQ(signer.finish(none, "", "", text), CSignatureSigner::kKeyNotLoaded);
    EXPECT_EQ(signer.finish(key, "", "", text), CSignatureSigner::kWrongState);
    EXPECT_EQ(text, "");
}

TEST(SecretKey, ReadsMinisignKeysAndRefusesDamagedOnes) {
    velktest::TempDir dir;
    const std::string d = dir.path(), k = keys() + "/k.sec";
    shell("cd " + quote(d) + " && sed 's/$/\\r/' " + quote(k) + " > crlf.sec && sed -n 2p " + quote(k) +
          " > bare.sec && mkdir dir.sec && (cat " + quote(k) + "; head -c 9000 /dev/zero | tr '\\0' '\\n') > huge.sec");
    // "Sc", chk_alg and salt unchanged, then minisign's limits (2^25 operations, 1 GiB): the key has zeros there.
    const std::string sc = "5363" + std::string(68, '0'), limits = "0000000200000000" "0000004000000000";
    const struct { std::string what, path; int result; bool asks = false; } cases[] = {
        {"minisign -W", k, CSecretKey::kOk},
        {"CRLF", d + "/crlf.sec", CSecretKey::kOk},
        {"key line alone", d + "/bare.sec", CSecretKey::kOk},
        {"checksum filled in", editedKey("k.sec", d, "sum.sec", 0, "", true), CSecretKey::kOk},
        {"no file", d + "/none.sec", CSecretKey::kMissing},
        {"a directory", d + "/dir.sec", CSecretKey::kUnreadable},
        {"public key", keys() + "/k.pub", CSecretKey::kMalformed},
        {"above 8 KiB", d + "/huge.sec", CSecretKey::kMalformed},
        {"signature algorithm ED", editedKey("k.sec", d, "ED.sec", 1, "20"), CSecretKey::kMalformed},
        {"kdf algorithm Sd", editedKey("k.sec", d, "kdf.sec", 2, "5364"), CSecretKey::kMalformed},
        {"kdf algorithm half set", editedKey("k.sec", d, "half.sec", 2, "53"), CSecretKey::kMalformed},
        {"checksum algorithm B3", editedKey("k.sec", d, "B3.sec", 5, "01"), CSecretKey::kMalformed},
        {"checksum wrong", editedKey("k.sec", d, "bad-sum.sec", 140, "01"), CSecretKey::kDamaged},
        {"public half wrong", editedKey("k.sec", d, "half-zero.sec", 100, "01"), CSecretKey::kDamaged},
        {"public half wrong, checksum right", editedKey("k.sec", d, "p.sec", 100, "01", true), CSecretKey::kDamaged},
        {"seed wrong, checksum right", editedKey("k.sec", d, "s.sec", 70, "01", true), CSecretKey::kDamaged},
        {"operations too high", editedKey("k.sec", d, "o.sec", 2, sc + "0100000200000000" "0000004000000000"),
         CSecretKey::kTooCostly},
        {"memory too high", editedKey("k.sec", d, "m.sec", 2, sc + "0000000200000000" "0000008000000000"),
         CSecretKey::kTooCostly},
        {"password, none given", editedKey("k.sec", d, "asks.sec", 2, sc + limits), CSecretKey::kNoPassword, true},
    };
    const std::string pub = velktest::shell("sed -n 2p " + quote(keys() + "/k.pub") + " | base64 -d | head -c 10");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        bool asked = false;
        CSecretKey key;
        EXPECT_EQ(key.loadFile(c.path, [&asked](std::string&) { return asked = true, -1; }), c.result);
        EXPECT_EQ(asked, c.asks);
        std::array<uint8_t, brn::kSignatureBytes> signature;
        EXPECT_EQ(key.sign(nullptr, 0, signature), c.result == CSecretKey::kOk ? 0 : CSecretKey::kNotLoaded);
        const std::string id(key.keyId().begin(), key.keyId().end());
        EXPECT_EQ(id, c.result == CSecretKey::kOk ? pub.substr(2) : std::string(8, '\0'));
    }
}

// minisign's scrypt limits cost seconds and 1 GiB per try.
TEST(SecretKey, DeciphersWithThePasswordOnly) {
#ifdef VELK_EMULATED
    GTEST_SKIP() << "scrypt with minisign's limits takes minutes under qemu-user";
#endif
    velktest::TempDir dir;
    shell("cd " + quote(dir.path()) + " && printf 'pass word\\npass word\\n' | " + kMinisign +
          " -G -p e.pub -s e.sec > /dev/null 2>&1");
    CSecretKey key;
    auto typed = [](const char* password) { return [password](std::string& p) { return p = password, 0; }; };
    EXPECT_EQ(key.loadFile(dir / "e.sec", typed("pass words")), CSecretKey::kWrongPassword);
    EXPECT_EQ(key.loadFile(dir / "e.sec", nullptr), CSecretKey::kNoPassword);
    ASSERT_EQ(key.loadFile(dir / "e.sec", typed("pass word")), CSecretKey::kOk);
    velktest::writeFile(dir / "f", "file");
    velktest::writeFile(dir / "f.minisig", sign(key, "file", {4}, "by e", "e"));
    EXPECT_EQ(minisignVerifies(dir / "e.pub", dir / "f", dir / "f.minisig"), "by e");
}

}  // namespace
