// The head routines against packages made by the independent Python packer.

#include "VelkFile/Algorithm.h"

#include <gtest/gtest.h>

#include <cstring>

#include "VelkFile/PackageLayout.h"
#include "brn/crypto/PvtAes.h"
#include "tests/support/TestSupport.h"

using namespace velk;
using velktest::shell;

namespace {

class HeadTest : public ::testing::Test {
protected:
    void SetUp() override {
        velktest::writeFile(dir / "payload", velktest::seededBytes(3000, 5));
        shell("gzip -n -c " + velktest::quote(dir / "payload") + " > " + velktest::quote(dir / "payload.gz"));
        shell(velktest::refPacker() + " --label update-7 --info '{\"PLVS\":\"4.5.6\"}' --seed 11 --gzip " +
              velktest::quote(dir / "payload.gz") + " -o " + velktest::quote(dir / "p.velk"));
        package = velktest::readFile(dir / "p.velk");
        decoded = shell(velktest::refPacker() + " --decode-head " + velktest::quote(dir / "p.velk"));
    }

    const char* header() const { return package.data(); }
    const char* storedHead() const { return package.data() + kFileHeaderSize; }
    std::string storedCheck() const { return package.substr(kFileHeaderSize + kHeadBlockSize, kHeadCheckSize); }

    std::string computeCheck(const std::string& bytes) const {
        unsigned char check[kHeadCheckSize];
        EXPECT_EQ(getProduceHeadCheck(bytes.data(), bytes.data() + kFileHeaderSize, check), 0);
        return std::string(reinterpret_cast<char*>(check), sizeof check);
    }

    std::string headKeyOf(const std::string& bytes) const {
        unsigned char key[kHeadKeySize];
        EXPECT_EQ(algorithmGetHeadKey(bytes.data(), key), 0);
        return std::string(reinterpret_cast<char*>(key), sizeof key);
    }

    std::string field(const std::string& name) const {
        size_t at = decoded.find("\"" + name + "\": \"");
        EXPECT_NE(at, std::string::npos) << name;
        at += name.size() + 5;
        return decoded.substr(at, decoded.find('"', at) - at);
    }

    velktest::TempDir dir;
    std::string package;
    std::string decoded;  // the Python reader's view of the head, as JSON
};

TEST_F(HeadTest, AcceptsTheIndependentHeadAndDecipherIt) {
    EXPECT_EQ(computeCheck(package), storedCheck());

    std::string key = headKeyOf(package);
    std::string head(storedHead(), kHeadBlockSize);
    auto* bytes = reinterpret_cast<unsigned char*>(head.data());
    ASSERT_EQ(algorithmEncryptionHeadData(bytes, int(head.size()),
                                          reinterpret_cast<const unsigned char*>(key.data()), int(key.size())),
              0);
    EXPECT_EQ(head.substr(kLabelAt, bytes[kLabelLengthAt]), "update-7");
    EXPECT_EQ(head.substr(kCustomInfoAt, bytes[kCustomInfoLengthAt]), "{\"PLVS\":\"4.5.6\"}");
    uint64_t payloadLength = 0;
    for (int i = 7; i >= 0; --i) payloadLength = payloadLength << 8 | bytes[kPayloadLengthAt + i];
    EXPECT_EQ(payloadLength, package.size() - kPackageOverhead);

    // The payload key material leads to the AES key and IV the Python packer used.
    std::string material;
    ASSERT_EQ(derivePayloadKeyMaterial(header(), head.data(), material), 0);
    EXPECT_EQ(material.size(), kPayloadKeyMaterialSize);
    brn::CPvtAesV0 aes;
    std::string aesKey, aesIv;
    ASSERT_EQ(aes.deriveKeyIv(material, std::string(header() + kHeaderSaltAt, kHeaderSaltSize), aesKey, aesIv), 0);
    EXPECT_EQ(velktest::toHex(aesKey.substr(0, 32)), field("key"));
    EXPECT_EQ(velktest::toHex(aesIv.substr(0, 16)), field("iv"));
}

TEST_F(HeadTest, EveryStoredHeadByteIsCoveredByTheCheck) {
    const std::string key = headKeyOf(package);
    for (size_t at = 0; at < kFileHeaderSize + kHeadBlockSize; ++at) {
        std::string damaged = package;
        damaged[at] = char(damaged[at] ^ 0x01);
        ASSERT_NE(computeCheck(damaged), storedCheck()) << "byte " << at;
        // The head key depends on the file header only.
        bool inHeader = at < kFileHeaderSize;
        ASSERT_EQ(headKeyOf(damaged) != key, inHeader) << "byte " << at;
    }
}

TEST(HeadRoutines, XorAndRefusals) {
    unsigned char key[3] = {0x01, 0x02, 0x04};
    unsigned char data[7] = {0, 0, 0, 0, 0, 0, 0x10};
    ASSERT_EQ(algorithmEncryptionHeadData(data, 7, key, 3), 0);
    const unsigned char expected[7] = {1, 2, 4, 1, 2, 4, 0x11};  // the key wraps around
    EXPECT_EQ(memcmp(data, expected, 7), 0);

    const char* logged = "err_algorithmEncryptionHeadData_VelkFile/Algorithm.cpp_138\r\n";
    const struct {
        int length, keyLength;
        unsigned char* data;
        int expected;
        const char* log;
    } calls[] = {{7, 0, data, kXorEmptyKey, ""}, {-1, 3, data, kXorBadArguments, logged},
                 {7, 3, nullptr, kXorBadArguments, logged}};
    for (const auto& call : calls) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(algorithmEncryptionHeadData(call.data, call.length, key, call.keyLength), call.expected);
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), call.log);
        EXPECT_EQ(memcmp(data, expected, 7), 0);  // nothing changed
    }
}

}  // namespace
