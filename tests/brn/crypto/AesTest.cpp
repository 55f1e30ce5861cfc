// The AES block engine against FIPS-197 and NIST SP 800-38A vectors, and the CFB-128
// stages against openssl and python3-cryptography run at test time.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "brn/crypto/AesCipher.h"
#include "brn/crypto/PvtAes.h"
#include "brn/crypto/RawAes.h"
#include "tests/support/TestSupport.h"

namespace {

using brn::AesCipher;
using brn::CPvtAesBase;
using brn::CPvtAesV0;
using brn::CRawAes;
using velktest::fromHex;
using velktest::toHex;

const unsigned char* bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

AesCipher keyedEngine(const std::string& keyHex, const std::string& ivHex) {
    AesCipher aes;
    std::string key = fromHex(keyHex);
    if (!key.empty()) aes.setKey(bytes(key), int(key.size()));
    if (!ivHex.empty()) aes.setIv(bytes(fromHex(ivHex)));
    return aes;
}

// ---- Block function: FIPS-197 Appendix C

struct BlockVector {
    const char* key;
    const char* cipher;
};

TEST(AesCipherTest, BlockFunctionsMatchFips197) {
    const std::string plain = fromHex("00112233445566778899aabbccddeeff");
    const BlockVector vectors[] = {
        {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "8ea2b7ca516745bfeafc49904b496089"},
    };
    for (const BlockVector& v : vectors) {
        SCOPED_TRACE(v.key);
        AesCipher aes = keyedEngine(v.key, "");
        unsigned char out[16];
        aes.encryptBlock(bytes(plain), out);
        EXPECT_EQ(toHex(std::string(reinterpret_cast<char*>(out), 16)), v.cipher);
        aes.decryptBlock(out, out);  // in place
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 16), plain);
    }
}

// ---- Modes: NIST SP 800-38A

const char* const kSpPlain =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
const char* const kSpIv = "000102030405060708090a0b0c0d0e0f";
const char* const kSpKey128 = "2b7e151628aed2a6abf7158809cf4f3c";
const char* const kSpKey256 = "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4";

struct ModeVector {
    const char* name;
    const char* key;
    int mode;
    const char* cipher;
};

const ModeVector kModeVectors[] = {
    {"ECB-AES128", kSpKey128, AesCipher::kModeEcb,
     "3ad77bb40d7a3660a89ecaf32466ef97f5d3d58503b9699de785895a96fdbaaf"
     "43b1cd7f598ece23881b00e3ed0306887b0c785e27e8ad3f8223207104725dd4"},
    {"ECB-AES256", kSpKey256, AesCipher::kModeEcb,
     "f3eed1bdb5d2a03c064b5a7e3db181f8591ccb10d410ed26dc5ba74a31362870"
     "b6ed21b99ca6f4f9f153e7b1beafed1d23304b7a39f9f3ff067d8d8f9e24ecc7"},
    {"CBC-AES128", kSpKey128, AesCipher::kModeCbc,
     "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
     "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
    {"CBC-AES256", kSpKey256, AesCipher::kModeCbc,
     "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
     "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
    {"CFB128-AES128", kSpKey128, AesCipher::kModeCfb128,
     "3b3fd92eb72dad20333449f8e83cfb4ac8a64537a0b3a93fcde3cdad9f1ce58b"
     "26751f67a3cbb140b1808cf187a4f4dfc04b05357c5d1c0eeac4c66f9ff7f2e6"},
    {"CFB128-AES256", kSpKey256, AesCipher::kModeCfb128,
     "dc7e84bfda79164b7ecd8486985d386039ffed143b28b1c832113c6331e5407b"
     "df10132415e54b92a13ed0a8267ae2f975a385741ab9cef82031623d55b1e471"},
    {"OFB-AES128", kSpKey128, AesCipher::kModeOfb,
     "3b3fd92eb72dad20333449f8e83cfb4a7789508d16918f03f53c52dac54ed825"
     "9740051e9c5fecf64344f7a82260edcc304c6528f659c77866a510d9c1d6ae5e"},
    {"OFB-AES256", kSpKey256, AesCipher::kModeOfb,
     "dc7e84bfda79164b7ecd8486985d38604febdc6740d20b3ac88f6ad82a4fb08d"
     "71ab47a086e86eedf39d1c5bba97c4080126141d67f37be8538f5a8be740e484"},
};

// Runs `input` through a fresh engine in calls of the given block counts; with
// `inPlace` every call ciphers its own output buffer.
std::string runMode(const ModeVector& v, bool encrypt, const std::string& input, const std::vector<int>& blocks,
                    bool inPlace) {
    AesCipher aes = keyedEngine(v.key, kSpIv);
    std::string out = inPlace ? input : std::string(input.size(), '\0');
    size_t at = 0;
    for (int count : blocks) {
        const char* in = inPlace ? &out[at] : &input[at];
        unsigned int length = unsigned(16 * count);
        if (encrypt) aes.encrypt(in, &out[at], length, v.mode);
        else aes.decrypt(in, &out[at], length, v.mode);
        at += length;
    }
    return out;
}

TEST(AesCipherTest, ModesMatchSp80038aWholeSplitAndInPlace) {
    const std::string plain = fromHex(kSpPlain);
    const std::vector<std::vector<int>> splits = {{4}, {1, 1, 1, 1}, {1, 3}, {3, 1}, {2, 2}};
    for (const ModeVector& v : kModeVectors) {
        const std::string cipher = fromHex(v.cipher);
        for (const std::vector<int>& split : splits) {
            for (bool inPlace : {false, true}) {
                SCOPED_TRACE(std::string(v.name) + " calls=" + std::to_string(split.size()) +
                             (inPlace ? " in place" : ""));
                EXPECT_EQ(toHex(runMode(v, true, plain, split, inPlace)), v.cipher);
                EXPECT_EQ(toHex(runMode(v, false, cipher, split, inPlace)), kSpPlain);
            }
        }
    }
}

// ---- Refused mode calls and key changes

struct RefusedCall {
    const char* name;
    const char* key;  // "" for an engine without key
    const char* iv;   // "" for an engine without chaining value
    bool nullIn;
    unsigned int length;
    int mode;
};

TEST(AesCipherTest, RefusedModeCallsTouchNeitherOutputNorIv) {
    const RefusedCall calls[] = {
        {"length 20", kSpKey256, kSpIv, false, 20, AesCipher::kModeCbc},
        {"length 0", kSpKey256, kSpIv, false, 0, AesCipher::kModeEcb},
        {"mode 4", kSpKey256, kSpIv, false, 32, AesCipher::kModeCounter},
        {"mode 5", kSpKey256, kSpIv, false, 32, 5},
        {"mode -1", kSpKey256, kSpIv, false, 32, -1},
        {"null input", kSpKey256, kSpIv, true, 32, AesCipher::kModeCfb128},
        {"no key", "", kSpIv, false, 32, AesCipher::kModeEcb},
        {"CBC without iv", kSpKey256, "", false, 32, AesCipher::kModeCbc},
        {"CFB without iv", kSpKey256, "", false, 32, AesCipher::kModeCfb128},
        {"OFB without iv", kSpKey256, "", false, 32, AesCipher::kModeOfb},
    };
    const std::string input = fromHex(kSpPlain);
    const std::string untouched(64, '\xaa');
    for (const RefusedCall& c : calls) {
        SCOPED_TRACE(c.name);
        for (bool encrypt : {true, false}) {
            AesCipher aes = keyedEngine(c.key, c.iv);
            std::memset(aes.iv, 0x33, sizeof aes.iv);
            std::string out = untouched;
            const char* in = c.nullIn ? nullptr : input.data();
            if (encrypt) aes.encrypt(in, &out[0], c.length, c.mode);
            else aes.decrypt(in, &out[0], c.length, c.mode);
            EXPECT_EQ(out, untouched);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(aes.iv), 16), std::string(16, '\x33'));
        }
    }
    // ECB needs no chaining value.
    AesCipher ecb = keyedEngine(kSpKey256, "");
    std::string out(64, '\0');
    ecb.encrypt(input.data(), &out[0], 64, AesCipher::kModeEcb);
    EXPECT_EQ(toHex(out), kModeVectors[1].cipher);
}

TEST(AesCipherTest, BadKeyKeepsPreviousSchedule) {
    AesCipher aes = keyedEngine(kSpKey256, kSpIv);
    const std::string other = fromHex(kSpKey256).substr(0, 20);
    aes.setKey(bytes(other), 20);
    aes.setKey(nullptr, 16);
    EXPECT_EQ(aes.keyLength, 32);
    EXPECT_EQ(aes.rounds, 14);
    const std::string plain = fromHex(kSpPlain);
    std::string out(64, '\0');
    aes.encrypt(plain.data(), &out[0], 64, AesCipher::kModeCfb128);
    EXPECT_EQ(toHex(out), kModeVectors[5].cipher);
}

// ---- CRawAes: the streaming CFB-128 stage

const char* const kStageKey = "8f1e2d3c4b5a69788796a5b4c3d2e1f00112233445566778899aabbccddeeff0";
const char* const kStageIv = "f0e1d2c3b4a5968778695a4b3c2d1e0f";

// Records everything a stage emits, call by call; calls past `acceptLimit` are refused.
struct Sink {
    std::string data;
    std::vector<int> calls;
    size_t acceptLimit = SIZE_MAX;
    brn::StageOutput output() {
        return [this](const char* p, int n) {
            if (calls.size() >= acceptLimit) return -1;
            calls.push_back(n);
            data.append(p, size_t(n));
            return n;
        };
    }
};

int initStage(CRawAes& stage, int encrypt, Sink& sink) {
    const std::string key = fromHex(kStageKey);
    const std::string iv = fromHex(kStageIv);
    return stage.init(key.data(), iv.data(), encrypt, sink.output());
}

// Pushes `input` in the given slices, checking that every emission before finish is a
// whole number of blocks and that no update emits more than two slices.
std::string pushThroughStage(int encrypt, const std::string& input, const std::vector<size_t>& slices) {
    CRawAes stage;
    Sink sink;
    EXPECT_EQ(initStage(stage, encrypt, sink), 0);
    size_t at = 0;
    for (size_t slice : slices) {
        size_t before = sink.calls.size();
        EXPECT_EQ(stage.update(input.data() + at, int(slice)), int(slice));
        EXPECT_LE(sink.calls.size() - before, 2u);
        at += slice;
    }
    for (int n : sink.calls) EXPECT_EQ(n % 16, 0) << "emitted before finish: " << n;
    EXPECT_EQ(sink.data.size(), input.size() - input.size() % 16);
    EXPECT_EQ(stage.finish(), 0);
    return sink.data;
}

class RawAesStreamTest : public testing::Test {
protected:
    // One message for the whole suite, enciphered once by openssl: 1 MiB plus an odd tail.
    static void SetUpTestSuite() {
        plainText = velktest::seededBytes((1u << 20) + 11, 0xae5);
        velktest::TempDir dir;
        velktest::writeFile(dir / "plain", plainText);
        velktest::shell("openssl enc -aes-256-cfb -K " + std::string(kStageKey) + " -iv " + kStageIv +
                        " -nopad -in " + velktest::quote(dir / "plain") + " -out " + velktest::quote(dir / "cipher"));
        cipherText = velktest::readFile(dir / "cipher");
    }
    static inline std::string plainText;
    static inline std::string cipherText;
    const std::string* plain = &plainText;
    const std::string* cipher = &cipherText;
};

TEST_F(RawAesStreamTest, DeciphersOpensslOutputInAnySlicing) {
    ASSERT_EQ(cipher->size(), plain->size());
    const std::vector<std::pair<std::string, std::vector<size_t>>> slicings = {
        {"1", velktest::fixedSlices(cipher->size(), 1)},
        {"7", velktest::fixedSlices(cipher->size(), 7)},
        {"15", velktest::fixedSlices(cipher->size(), 15)},
        {"16", velktest::fixedSlices(cipher->size(), 16)},
        {"17", velktest::fixedSlices(cipher->size(), 17)},
        {"4096", velktest::fixedSlices(cipher->size(), 4096)},
        {"whole", {cipher->size()}},
        {"random 40", velktest::randomSlices(cipher->size(), 40, 1)},
        {"random 70000", velktest::randomSlices(cipher->size(), 70000, 2)},
    };
    for (const auto& slicing : slicings) {
        SCOPED_TRACE("slices of " + slicing.first);
        EXPECT_TRUE(pushThroughStage(0, *cipher, slicing.second) == *plain);
    }
}

TEST_F(RawAesStreamTest, EnciphersLikeOpenssl) {
    EXPECT_TRUE(pushThroughStage(1, *plain, velktest::randomSlices(plain->size(), 3000, 3)) == *cipher);
}

TEST_F(RawAesStreamTest, ShortStreamsAreEmittedOnlyAtFinish) {
    for (size_t length : {size_t(0), size_t(5), size_t(15)}) {
        for (int encrypt : {0, 1}) {
            SCOPED_TRACE(std::to_string(length) + (encrypt ? " encrypt" : " decrypt"));
            const std::string& in = encrypt ? *plain : *cipher;
            const std::string& expected = encrypt ? *cipher : *plain;
            CRawAes stage;
            Sink sink;
            ASSERT_EQ(initStage(stage, encrypt, sink), 0);
            for (size_t at = 0; at < length; at += 2) {
                int slice = int(std::min<size_t>(2, length - at));
                EXPECT_EQ(stage.update(in.data() + at, slice), slice);
            }
            EXPECT_TRUE(sink.calls.empty());
            EXPECT_EQ(stage.finish(), 0);
            EXPECT_EQ(sink.calls, length == 0 ? std::vector<int>{} : std::vector<int>{int(length)});
            EXPECT_EQ(toHex(sink.data), toHex(expected.substr(0, length)));
        }
    }
}

TEST_F(RawAesStreamTest, InitStartsANewStreamAndDropsPendingBytes) {
    CRawAes stage;
    Sink sink;
    ASSERT_EQ(initStage(stage, 0, sink), 0);
    ASSERT_EQ(stage.update(cipher->data(), 37), 37);
    Sink fresh;
    ASSERT_EQ(initStage(stage, 0, fresh), 0);
    ASSERT_EQ(stage.update(cipher->data(), 4101), 4101);
    ASSERT_EQ(stage.finish(), 0);
    EXPECT_TRUE(fresh.data == plain->substr(0, 4101));
    EXPECT_EQ(sink.data.size(), 32u);  // the first stream's output stopped at the new init
}

TEST_F(RawAesStreamTest, RefusedFinishCanBeRetriedWithTheSameBytes) {
    CRawAes stage;
    Sink sink;
    ASSERT_EQ(initStage(stage, 0, sink), 0);
    ASSERT_EQ(stage.update(cipher->data(), 21), 21);
    sink.acceptLimit = sink.calls.size();
    EXPECT_EQ(stage.finish(), CRawAes::kFinishRefused);
    sink.acceptLimit = SIZE_MAX;
    EXPECT_EQ(stage.finish(), 0);
    EXPECT_TRUE(sink.data == plain->substr(0, 21));
    EXPECT_EQ(stage.finish(), CRawAes::kFinishNotInitialised);
}

TEST(RawAesTest, ResultCodes) {
    const std::string key = fromHex(kStageKey);
    const std::string iv = fromHex(kStageIv);
    const std::string data(64, 'x');
    Sink sink;
    CRawAes stage;
    EXPECT_EQ(stage.update(data.data(), 16), CRawAes::kUpdateNotInitialised);
    EXPECT_EQ(stage.finish(), CRawAes::kFinishNotInitialised);
    EXPECT_EQ(stage.init(nullptr, iv.data(), 0, sink.output()), CRawAes::kInitBadArguments);
    EXPECT_EQ(stage.init(key.data(), nullptr, 0, sink.output()), CRawAes::kInitBadArguments);
    EXPECT_EQ(stage.init(key.data(), iv.data(), 0, nullptr), CRawAes::kInitBadArguments);
    EXPECT_EQ(stage.update(data.data(), 16), CRawAes::kUpdateNotInitialised);  // failed inits changed nothing

    ASSERT_EQ(stage.init(key.data(), iv.data(), 0, sink.output()), 0);
    EXPECT_EQ(stage.update(data.data(), 0), CRawAes::kUpdateBadArguments);
    EXPECT_EQ(stage.update(data.data(), -5), CRawAes::kUpdateBadArguments);
    EXPECT_EQ(stage.update(nullptr, 16), CRawAes::kUpdateBadArguments);
    EXPECT_EQ(stage.finish(), 0);
    EXPECT_EQ(stage.finish(), CRawAes::kFinishNotInitialised);
    EXPECT_EQ(stage.update(data.data(), 16), CRawAes::kUpdateNotInitialised);
    EXPECT_TRUE(sink.calls.empty());
}

struct Refusal {
    const char* name;
    int firstPush;       // accepted: emits nothing
    int secondPush;      // refused
    size_t acceptedCalls;  // output calls of the second push that are still accepted
    int code;
};

// A refusal ends the stream: retrying would decipher against a chaining value that has
// already moved past the refused bytes, so later calls are refused until a new init.
TEST(RawAesTest, OutputRefusalEndsTheStream) {
    const Refusal refusals[] = {
        {"completed carried block", 5, 20, 0, CRawAes::kUpdatePendingRefused},
        {"whole-block slice", 0, 40, 0, CRawAes::kUpdateBulkRefused},
        {"bulk after carried block", 5, 43, 1, CRawAes::kUpdateBulkRefused},
    };
    const std::string data = velktest::seededBytes(64, 7);
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.name);
        CRawAes stage;
        Sink sink;
        sink.acceptLimit = r.acceptedCalls;
        ASSERT_EQ(initStage(stage, 0, sink), 0);
        if (r.firstPush > 0) {
            ASSERT_EQ(stage.update(data.data(), r.firstPush), r.firstPush);
        }
        EXPECT_EQ(stage.update(data.data() + r.firstPush, r.secondPush), r.code);
        sink.acceptLimit = SIZE_MAX;
        EXPECT_EQ(stage.update(data.data() + r.firstPush, r.secondPush), CRawAes::kUpdateNotInitialised);
        EXPECT_EQ(stage.finish(), CRawAes::kFinishNotInitialised);
        EXPECT_EQ(sink.calls.size(), r.acceptedCalls);
    }
}

// ---- CPvtAesV0: key and IV from the 64-byte-block keyed SHA-384

// Prints the hex key and IV for `first`/`second`, and enciphers `plain` under them.
const char* const kDerivationScript = R"PY(
import hashlib, sys
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
first = open(sys.argv[1], 'rb').read()
second = open(sys.argv[2], 'rb').read()
def keyed_sha384(key, message):
    block = 64
    if len(key) > block:
        key = hashlib.sha384(key).digest()
    key = key.ljust(block, b'\0')
    inner = hashlib.sha384(bytes(b ^ 0x36 for b in key) + message).digest()
    return hashlib.sha384(bytes(b ^ 0x5c for b in key) + inner).digest()
d = keyed_sha384(first + second, first)
key, iv = d[:32], d[32:48]
plain = open(sys.argv[3], 'rb').read()
enc = Cipher(algorithms.AES(key), modes.CFB(iv)).encryptor()
open(sys.argv[4], 'wb').write(enc.update(plain) + enc.finalize())
print(key.hex() + ' ' + iv.hex())
)PY";

struct DerivationCase {
    const char* name;
    size_t firstBytes;
    size_t secondBytes;
};

TEST(PvtAesTest, DerivesKeyAndIvAndDeciphersLikePython) {
    const DerivationCase cases[] = {
        {"64 + 64 as in a package", 64, 64},
        {"key of exactly 64", 40, 24},
        {"short key", 20, 9},
        {"empty second", 33, 0},
    };
    const std::string plain = velktest::seededBytes(100003, 11);
    for (const DerivationCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string first = velktest::seededBytes(c.firstBytes, 100 + c.firstBytes);
        const std::string second = velktest::seededBytes(c.secondBytes, 200 + c.secondBytes);
        velktest::TempDir dir;
        velktest::writeFile(dir / "script.py", kDerivationScript);
        velktest::writeFile(dir / "first", first);
        velktest::writeFile(dir / "second", second);
        velktest::writeFile(dir / "plain", plain);
        std::string printed = velktest::shell(velktest::python() + " " + velktest::quote(dir / "script.py") + " " +
                                              velktest::quote(dir / "first") + " " + velktest::quote(dir / "second") +
                                              " " + velktest::quote(dir / "plain") + " " + velktest::quote(dir / "cipher"));
        const std::string cipher = velktest::readFile(dir / "cipher");

        CPvtAesV0 aes;
        std::string key = "old", iv;
        ASSERT_EQ(aes.deriveKeyIv(first, second, key, iv), 0);
        EXPECT_EQ(toHex(key) + " " + toHex(iv) + "\n", printed);

        Sink sink;
        ASSERT_EQ(aes.init(first, second, 0, sink.output()), 0);
        size_t at = 0;
        for (size_t slice : velktest::randomSlices(cipher.size(), 5000, c.firstBytes)) {
            ASSERT_EQ(aes.update(cipher.data() + at, int(slice)), int(slice));
            at += slice;
        }
        EXPECT_EQ(aes.finish(), 0);
        EXPECT_TRUE(sink.data == plain);
    }
}

// Delivers fewer key bytes than the stage reads.
class ShortDerivation : public CPvtAesBase {
public:
    int deriveKeyIv(const std::string&, const std::string&, std::string& key, std::string& iv) override {
        key.assign(31, 'k');
        iv.assign(16, 'i');
        return 0;
    }
};

TEST(PvtAesTest, InitResultCodes) {
    const std::string text(64, 's');
    Sink sink;
    CPvtAesV0 aes;
    EXPECT_EQ(aes.update(text.data(), 16), CRawAes::kUpdateNotInitialised);
    EXPECT_EQ(aes.finish(), CRawAes::kFinishNotInitialised);
    EXPECT_EQ(aes.init("", "", 0, sink.output()), CPvtAesBase::kInitBothEmpty);
    EXPECT_EQ(aes.init("", text, 0, sink.output()), CPvtAesBase::kInitDeriveFailed);
    EXPECT_EQ(aes.init(text, text, 0, nullptr), CRawAes::kInitBadArguments - CPvtAesBase::kInitStageOffset);
    EXPECT_EQ(aes.init(text, text, 0, nullptr), -101);
    EXPECT_EQ(aes.update(text.data(), 16), CRawAes::kUpdateNotInitialised);  // no failed init installed a key

    std::string key = "kept", iv = "kept";
    EXPECT_EQ(aes.deriveKeyIv("", text, key, iv), CPvtAesV0::kDeriveDigestFailed);
    EXPECT_EQ(key + iv, "keptkept");

    ShortDerivation shortKey;
    EXPECT_EQ(shortKey.init(text, text, 0, sink.output()), CPvtAesBase::kInitDeriveFailed);
    EXPECT_EQ(shortKey.update(text.data(), 16), CRawAes::kUpdateNotInitialised);
    EXPECT_TRUE(sink.calls.empty());
}

}  // namespace
