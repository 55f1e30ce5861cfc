// The signing side checked by the real minisign: our signature files are byte for byte the
// ones minisign makes for the same file and comments, in every slicing; secret key files are
// read as minisign writes them (without and with a password) and refused when damaged.

#include "brn/sign/SignatureSigner.h"

#include <gtest/gtest.h>

#include "tests/brn/sign/SignTestSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using brn::CSecretKey;
using brn::CSignatureSigner;
using velktest::quote;
using velktest::shell;

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

CSecretKey& loaded(CSecretKey& key, const std::string& path, const std::string& password = "") {
    EXPECT_EQ(key.loadFile(path, [&password](std::string& p) { return p = password, 0; }), CSecretKey::kOk);
    return key;
}

// Ed25519 is deterministic: the same key, file and comments must give minisign's very bytes.
TEST(SignatureSigner, MakesMinisignsOwnSignatureInEverySlicing) {
    velktest::TempDir dir;
    CSecretKey key;
    loaded(key, signtest::keyDir() + "/k.sec");
    const struct { size_t size; std::string trusted, untrusted; } cases[] = {
        {0, "timestamp:0\tfile:f\thashed", "signature from velk-pack secret key"},
        {1, "x", "y"},
        {300001, std::string(brn::kMaxTrustedCommentBytes, 't'), std::string(brn::kMaxUntrustedCommentBytes, 'u')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string file = velktest::seededBytes(c.size, 9);
        velktest::writeFile(dir / "f", file);
        shell("cd " + quote(dir.path()) + " && " + signtest::minisign() + " -S -s " +
              quote(signtest::keyDir() + "/k.sec") + " -m f -t " + quote(c.trusted) + " -c " + quote(c.untrusted) +
              " > /dev/null");
        const std::string expected = velktest::readFile(dir / "f.minisig");
        for (const auto& slices : {velktest::fixedSlices(c.size, 1), velktest::fixedSlices(c.size, 7),
                                   velktest::randomSlices(c.size, 70000, 5)}) {
            EXPECT_EQ(sign(key, file, slices, c.trusted, c.untrusted), expected);
        }
        velktest::writeFile(dir / "ours.minisig", sign(key, file, velktest::randomSlices(c.size, 9, 1), c.trusted,
                                                       c.untrusted));
        EXPECT_EQ(signtest::minisignVerifies(signtest::keyDir() + "/k.pub", dir / "f", dir / "ours.minisig"),
                  c.trusted);
    }
    // One byte more than minisign reads back, or a line end, and nothing is signed.
    for (const auto& [trusted, untrusted] : {std::pair<std::string, std::string>{std::string(4078, 't'), ""},
                                             {"", std::string(1004, 'u')}, {"a\nb", ""}, {"", "a\rb"}}) {
        EXPECT_EQ(sign(key, "x", {1}, trusted, untrusted, CSignatureSigner::kBadComment), "");
    }
}

TEST(SignatureSigner, RefusesCallsOutOfOrder) {
    CSecretKey none;
    CSignatureSigner signer;
    std::string text;
    EXPECT_EQ(signer.update("x", 1), CSignatureSigner::kWrongState);
    EXPECT_EQ(signer.finish(none, "", "", text), CSignatureSigner::kWrongState);
    ASSERT_EQ(signer.init(), CSignatureSigner::kOk);
    EXPECT_EQ(signer.update(nullptr, 1), CSignatureSigner::kBadArguments);
    EXPECT_EQ(signer.update("x", 0), CSignatureSigner::kBadArguments);
    EXPECT_EQ(signer.finish(none, "", "", text), CSignatureSigner::kKeyNotLoaded);
    EXPECT_EQ(signer.finish(none, "", "", text), CSignatureSigner::kWrongState);
    EXPECT_EQ(text, "");
}

// Prints the key file argv[1] with the bytes argv[3] (hex) XORed into its key line from offset
// argv[2]; with argv[4] "sum", its checksum is then made right with hashlib's BLAKE2b-256.
constexpr const char* kKeyEditor = R"(import base64, hashlib, sys
lines = open(sys.argv[1]).read().split('\n'); b = bytearray(base64.b64decode(lines[1]))
for i, x in enumerate(bytes.fromhex(sys.argv[3])): b[int(sys.argv[2]) + i] ^= x
if sys.argv[4] == 'sum': b[126:158] = hashlib.blake2b(bytes(b[0:2] + b[54:126]), digest_size=32).digest()
print(lines[0]); print(base64.b64encode(bytes(b)).decode()))";

// Writes k.sec with `xorHex` XORed in at `at` to dir/name, its checksum then made right with `sum`.
std::string editedKey(const std::string& dir, const std::string& name, size_t at, const std::string& xorHex,
                      bool sum = false) {
    shell(quote(velktest::python()) + " -c " + quote(kKeyEditor) + " " + quote(signtest::keyDir() + "/k.sec") + " " +
          std::to_string(at) + " '" + xorHex + (sum ? "' sum" : "' keep") + " > " + quote(dir + "/" + name));
    return dir + "/" + name;
}

TEST(SecretKey, ReadsMinisignKeysAndRefusesDamagedOnes) {
    velktest::TempDir dir;
    const std::string d = dir.path(), k = signtest::keyDir() + "/k.sec";
    shell("cd " + quote(d) + " && sed 's/$/\\r/' " + quote(k) + " > crlf.sec && sed -n 2p " + quote(k) +
          " > bare.sec && mkdir dir.sec && (cat " + quote(k) + "; head -c 9000 /dev/zero | tr '\\0' '\\n') > huge.sec");
    // "Sc", chk_alg and salt unchanged, then minisign's limits (2^25 operations, 1 GiB); the key has zeros there.
    const std::string password = "5363" + std::string(68, '0'), limits = "0000000200000000" "0000004000000000";
    struct Case { std::string what, path; int result; bool asks = false; };
    const Case cases[] = {
        {"minisign -W", k, CSecretKey::kOk},
        {"CRLF", d + "/crlf.sec", CSecretKey::kOk},
        {"key line alone", d + "/bare.sec", CSecretKey::kOk},
        {"checksum filled in", editedKey(d, "sum.sec", 0, "", true), CSecretKey::kOk},
        {"no file", d + "/none.sec", CSecretKey::kMissing},
        {"a directory", d + "/dir.sec", CSecretKey::kUnreadable},
        {"public key", signtest::keyDir() + "/k.pub", CSecretKey::kMalformed},
        {"above 8 KiB", d + "/huge.sec", CSecretKey::kMalformed},
        {"signature algorithm ED", editedKey(d, "ED.sec", 1, "20"), CSecretKey::kMalformed},
        {"kdf algorithm Sd", editedKey(d, "kdf.sec", 2, "5364"), CSecretKey::kMalformed},
        {"kdf algorithm half set", editedKey(d, "half.sec", 2, "53"), CSecretKey::kMalformed},
        {"checksum algorithm B3", editedKey(d, "B3.sec", 5, "01"), CSecretKey::kMalformed},
        {"checksum wrong", editedKey(d, "bad-sum.sec", 140, "01"), CSecretKey::kDamaged},
        {"public half wrong", editedKey(d, "half-zero.sec", 100, "01"), CSecretKey::kDamaged},
        {"public half wrong, checksum right", editedKey(d, "half-sum.sec", 100, "01", true), CSecretKey::kDamaged},
        {"seed wrong, checksum right", editedKey(d, "seed-sum.sec", 70, "01", true), CSecretKey::kDamaged},
        {"password, operations too high", editedKey(d, "ops.sec", 2, password + "0100000200000000" "0000004000000000"),
         CSecretKey::kTooCostly},
        {"password, memory too high", editedKey(d, "mem.sec", 2, password + "0000000200000000" "0000008000000000"),
         CSecretKey::kTooCostly},
        {"password, none given", editedKey(d, "asks.sec", 2, password + limits), CSecretKey::kNoPassword, true},
    };
    const std::string pub = signtest::fromBase64(signtest::lines(velktest::readFile(signtest::keyDir() + "/k.pub"))[1]);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        bool asked = false;
        CSecretKey key;
        EXPECT_EQ(key.loadFile(c.path, [&asked](std::string&) { return asked = true, -1; }), c.result)
            << CSecretKey::errorText(key.loadFile(c.path, nullptr));
        EXPECT_EQ(asked, c.asks);
        std::array<uint8_t, brn::kSignatureBytes> signature;
        EXPECT_EQ(key.sign(nullptr, 0, signature), c.result == CSecretKey::kOk ? 0 : CSecretKey::kNotLoaded);
        const std::string id(key.keyId().begin(), key.keyId().end());
        EXPECT_EQ(id, c.result == CSecretKey::kOk ? pub.substr(2, 8) : std::string(8, '\0'));
    }
}

// minisign's scrypt limits cost a few seconds and 1 GiB per try: too slow under emulation.
TEST(SecretKey, DeciphersWithThePasswordOnly) {
#ifdef VELK_EMULATED
    GTEST_SKIP() << "scrypt with minisign's limits takes minutes under qemu-user";
#endif
    velktest::TempDir dir;
    shell("cd " + quote(dir.path()) + " && printf 'pass word\\npass word\\n' | " + signtest::minisign() +
          " -G -p e.pub -s e.sec > /dev/null 2>&1");
    CSecretKey key;
    EXPECT_EQ(key.loadFile(dir / "e.sec", [](std::string& p) { return p = "pass words", 0; }),
              CSecretKey::kWrongPassword);
    EXPECT_EQ(key.loadFile(dir / "e.sec", nullptr), CSecretKey::kNoPassword);
    loaded(key, dir / "e.sec", "pass word");
    velktest::writeFile(dir / "f", "file");
    velktest::writeFile(dir / "f.minisig", sign(key, "file", {4}, "by e", "e"));
    EXPECT_EQ(signtest::minisignVerifies(dir / "e.pub", dir / "f", dir / "f.minisig"), "by e");
}

}  // namespace
