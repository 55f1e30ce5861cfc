// The AES engine against FIPS-197 and NIST SP 800-38A vectors (table and hardware paths),
// the CFB-128 stage against openssl and across both paths, and the result codes of the stage.
// The key and IV derived from a head: every package of the independent packer that decodes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "brn/crypto/AesCipher.h"
#include "brn/crypto/AesHardware.h"
#include "brn/crypto/RawAes.h"
#include "tests/support/TestSupport.h"

namespace {

using brn::AesCipher;
using brn::CRawAes;
using velktest::fromHex;
using velktest::toHex;

const unsigned char* bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// Table path only (1), or the hardware path too (2): each engine's hardwareAllowed picks one.
int pathCount() { return brn::aesHardwarePresent() ? 2 : 1; }

AesCipher spEngine(bool withKey, bool withIv) {  // NIST SP 800-38A, AES-256
    AesCipher aes;
    if (withKey) aes.setKey(bytes(fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4")), 32);
    if (withIv) aes.setIv(bytes(fromHex("000102030405060708090a0b0c0d0e0f")));
    return aes;
}

// FIPS-197 per key size; SP 800-38A CFB-128 over split and in-place calls; refused calls.
TEST(AesCipherTest, MatchesFips197AndSp80038aAndRefusesBadCalls) {
    const std::string block = fromHex("00112233445566778899aabbccddeeff");
    const std::pair<const char*, const char*> kVectors[] = {
        {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "8ea2b7ca516745bfeafc49904b496089"},
    };
    for (const auto& [key, cipher] : kVectors) {
        AesCipher aes;
        aes.setKey(bytes(fromHex(key)), int(std::strlen(key) / 2));
        std::string out(16, '\0');
        aes.encryptBlock(bytes(block), reinterpret_cast<unsigned char*>(&out[0]));
        EXPECT_EQ(toHex(out), cipher);
        aes.decrypt(out.data(), &out[0], 16, AesCipher::kModeEcb);  // in place
        EXPECT_EQ(out, block) << key;
    }
    const std::string plain = fromHex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                                      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
    const std::string cipher = fromHex("dc7e84bfda79164b7ecd8486985d386039ffed143b28b1c832113c6331e5407b"
                                       "df10132415e54b92a13ed0a8267ae2f975a385741ab9cef82031623d55b1e471");
    const int kCfb = AesCipher::kModeCfb128;
    for (int variant = 0; variant < 16 * pathCount(); ++variant) {
        const bool encrypt = variant & 1, inPlace = variant & 2;
        const size_t perCall = 16 * (variant / 4 % 4 + 1);  // 16, 32, 48 or 64 bytes per call
        AesCipher aes = spEngine(true, true);
        aes.hardwareAllowed = variant >= 16;
        const std::string& input = encrypt ? plain : cipher;
        std::string out = inPlace ? input : std::string(64, '\0');
        for (size_t at = 0; at < 64; at += perCall) {
            (aes.*(encrypt ? &AesCipher::encrypt : &AesCipher::decrypt))(
                inPlace ? &out[at] : &input[at], &out[at], unsigned(std::min<size_t>(perCall, 64 - at)), kCfb);
        }
        EXPECT_EQ(toHex(out), toHex(encrypt ? cipher : plain)) << "variant " << variant;
    }
    const int kRefused[][4] = {  // leave output and chain alone; columns: iv set, null input, length, mode
        {1, 0, 20, kCfb}, {1, 0, 0, kCfb}, {1, 0, 32, AesCipher::kModeCounter}, {1, 0, 32, -1}, {1, 1, 32, kCfb},
        {0, 0, 32, AesCipher::kModeCbc}, {0, 0, 32, kCfb}, {0, 0, 32, AesCipher::kModeOfb}};
    for (const auto& [iv, nullIn, length, mode] : kRefused) {
        AesCipher aes = spEngine(true, iv);
        std::memset(aes.iv, 0x33, sizeof aes.iv);
        std::string out(64, '\xaa');
        aes.decrypt(nullIn ? nullptr : cipher.data(), &out[0], unsigned(length), mode);
        EXPECT_EQ(toHex(out) + toHex(std::string(reinterpret_cast<char*>(aes.iv), 16)),
                  std::string(128, 'a') + std::string(32, '3')) << length << " " << mode;
    }
}

struct Sink {  // records each output call; calls past `acceptLimit` are refused
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

const std::string kKey = fromHex("8f1e2d3c4b5a69788796a5b4c3d2e1f00112233445566778899aabbccddeeff0");
const std::string kIv = fromHex("f0e1d2c3b4a5968778695a4b3c2d1e0f");

// 1 MiB plus an odd tail (first) and openssl's AES-256-CFB128 of it (second), made once.
const std::pair<std::string, std::string>& opensslPair() {
    static const auto pair = [] {
        const std::string plain = velktest::seededBytes((1u << 20) + 11, 0xae5);
        velktest::TempDir dir;
        velktest::writeFile(dir / "plain", plain);
        velktest::shell("openssl enc -aes-256-cfb -K " + toHex(kKey) + " -iv " + toHex(kIv) + " -nopad -in " +
                        velktest::quote(dir / "plain") + " -out " + velktest::quote(dir / "cipher"));
        return std::make_pair(plain, velktest::readFile(dir / "cipher"));
    }();
    return pair;
}

// Pushes `input` in `slices` through a fresh stage: whole blocks only until finish.
std::string pushThroughStage(int encrypt, const std::string& input, const std::vector<size_t>& slices,
                             bool hardware = true) {
    CRawAes stage;
    stage.allowHardware(hardware);
    Sink sink;
    sink.data.reserve(input.size());
    EXPECT_EQ(stage.init(kKey.data(), kIv.data(), encrypt, sink.output()), 0);
    size_t at = 0;
    for (size_t slice : slices) at += size_t(stage.update(input.data() + at, int(slice)));
    for (int n : sink.calls) EXPECT_TRUE(n % 16 == 0 && n <= CRawAes::kBufferBytes) << "before finish: " << n;
    EXPECT_EQ(stage.finish(), 0);
    return sink.data;
}

TEST(RawAesTest, MatchesOpensslInAnySlicing) {
    const auto& [plain, cipher] = opensslPair();
    for (size_t slice : {size_t(1), size_t(15), size_t(16), size_t(17), plain.size()})
        EXPECT_TRUE(pushThroughStage(0, cipher, velktest::fixedSlices(cipher.size(), slice)) == plain) << slice;
    EXPECT_TRUE(pushThroughStage(0, cipher, velktest::randomSlices(cipher.size(), 70000, 2)) == plain);
    EXPECT_TRUE(pushThroughStage(1, plain, velktest::randomSlices(plain.size(), 40, 3)) == cipher);
    for (size_t length : {0, 5, 15})  // short streams come out whole at finish
        EXPECT_EQ(toHex(pushThroughStage(0, cipher.substr(0, length), {length})), toHex(plain.substr(0, length)));
}

// A new init drops pending bytes; a refused finish can be retried with the same bytes. A
// refused update ends the stream, since the chain has moved past the refused bytes.
TEST(RawAesTest, ResultCodesRestartAndRefusals) {
    const auto& [plain, cipher] = opensslPair();
    Sink first, second;
    CRawAes stage;
    EXPECT_EQ(stage.update(cipher.data(), 16), CRawAes::kUpdateNotInitialised);
    EXPECT_EQ(stage.finish(), CRawAes::kFinishNotInitialised);
    EXPECT_EQ(stage.init(kKey.data(), kIv.data(), 0, nullptr), CRawAes::kInitBadArguments);
    ASSERT_EQ(stage.init(kKey.data(), kIv.data(), 0, first.output()), 0);
    EXPECT_EQ(stage.update(cipher.data(), 0), CRawAes::kUpdateBadArguments);
    ASSERT_EQ(stage.update(cipher.data(), 37), 37);
    ASSERT_EQ(stage.init(kKey.data(), kIv.data(), 0, second.output()), 0);
    ASSERT_EQ(stage.update(cipher.data(), 4101), 4101);
    second.acceptLimit = second.calls.size();
    EXPECT_EQ(stage.finish(), CRawAes::kFinishRefused);
    second.acceptLimit = SIZE_MAX;
    EXPECT_EQ(stage.finish(), 0);
    EXPECT_EQ(stage.finish(), CRawAes::kFinishNotInitialised);
    EXPECT_TRUE(second.data == plain.substr(0, 4101));

    const int kRefusals[][4] = {{5, 20, 0, CRawAes::kUpdatePendingRefused}, {0, 40, 0, CRawAes::kUpdateBulkRefused},
                                {5, 43, 1, CRawAes::kUpdateBulkRefused},  // two pushes, outputs accepted, code
                                {0, 40000, 1, CRawAes::kUpdateBulkRefused}};  // the second 16 KiB piece
    for (const auto& [firstPush, secondPush, accepted, code] : kRefusals) {
        Sink sink;
        ASSERT_EQ(stage.init(kKey.data(), kIv.data(), 0, sink.output()), 0);
        sink.acceptLimit = size_t(accepted);
        if (firstPush > 0) { ASSERT_EQ(stage.update(cipher.data(), firstPush), firstPush); }
        EXPECT_EQ(stage.update(cipher.data(), secondPush), code);
        sink.acceptLimit = SIZE_MAX;
        EXPECT_EQ(stage.update(cipher.data(), secondPush), CRawAes::kUpdateNotInitialised);
        EXPECT_EQ(stage.finish(), CRawAes::kFinishNotInitialised);
    }
}

#if defined(__SANITIZE_ADDRESS__) || !defined(__OPTIMIZE__) || defined(VELK_EMULATED)
constexpr size_t kAgreementBytes = size_t(4) << 20;  // ASan, -O0 and an emulator are many times slower
#else
constexpr size_t kAgreementBytes = size_t(64) << 20;
#endif

// Both paths through the stage in seeded random slices, and through the engine in place,
// where each group of blocks must be read before it is overwritten.
TEST(RawAesTest, HardwareAndTablePathsAgree) {
    if (pathCount() == 1) GTEST_SKIP() << "no hardware AES path on this processor or in this build";
    const std::string cipher = velktest::seededBytes(kAgreementBytes + 5, 0x5eed);
    const auto slices = velktest::randomSlices(cipher.size(), 100000, 11);
    const size_t kInPlaceBytes = (1u << 20) + 7 * 16;  // not a whole number of 4- or 8-block groups
    std::string stageOut[2], inPlace[2];
    for (int hardware = 0; hardware < 2; ++hardware) {
        stageOut[hardware] = pushThroughStage(0, cipher, slices, hardware != 0);
        AesCipher aes;
        aes.hardwareAllowed = hardware != 0;
        aes.setKey(bytes(kKey), 32);
        aes.setIv(bytes(kIv));
        inPlace[hardware] = cipher.substr(0, kInPlaceBytes);
        aes.decrypt(inPlace[hardware].data(), &inPlace[hardware][0], unsigned(kInPlaceBytes), AesCipher::kModeCfb128);
    }
    EXPECT_EQ(stageOut[0].size(), cipher.size());
    EXPECT_TRUE(stageOut[0] == stageOut[1]);
    EXPECT_TRUE(inPlace[0] == inPlace[1] && inPlace[0] == stageOut[0].substr(0, kInPlaceBytes));
}

}  // namespace
