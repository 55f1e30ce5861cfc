// One battery over MD5 and the SHA digests: published vectors, every length 0..300 split at
// every point and checked by Python's hashlib; the one-shot calls and the keyed digest.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "brn/crypto/Md5.h"
#include "brn/crypto/Sha.h"
#include "brn/crypto/ShaDigest.h"
#include "tests/support/TestSupport.h"

namespace {

using velktest::toHex;

template <class Context, class Data>
std::string run(void (*init)(Context*), void (*update)(Context*, Data, unsigned int),
                void (*final)(Context*, unsigned char*), size_t outBytes, const std::string& message,
                const std::vector<size_t>& pieces) {
    Context context;
    init(&context);
    size_t at = 0;
    for (size_t piece : pieces) {
        update(&context, reinterpret_cast<const unsigned char*>(message.data()) + at, unsigned(piece));
        at += piece;
    }
    unsigned char out[64];
    final(&context, out);
    return std::string(reinterpret_cast<const char*>(out), outBytes);
}

const char* const kNames[] = {"md5", "sha1", "sha256", "sha384", "sha512"};  // hashlib's names

// Digest `which` (index into kNames) of `message` through its context calls, fed in `pieces`.
std::string digest(size_t which, const std::string& message, const std::vector<size_t>& pieces) {
    switch (which) {
        case 0: return run(brn::MD5Init, brn::MD5Update, brn::MD5Final, 16, message, pieces);
        case 1: return run(brn::SHA1Init, brn::SHA1Update, brn::SHA1Final, 20, message, pieces);
        case 2: return run(brn::SHA256Init, brn::SHA256Update, brn::SHA256Final, 32, message, pieces);
        case 3: return run(brn::SHA384Init, brn::SHA384Update, brn::SHA384Final, 48, message, pieces);
        default: return run(brn::SHA512Init, brn::SHA512Update, brn::SHA512Final, 64, message, pieces);
    }
}

const std::pair<int, size_t> kSelectors[] = {{1, 1}, {160, 1}, {256, 2}, {384, 3}, {512, 4}};  // bits, digest

std::string message(size_t length) { return velktest::seededBytes(length, 1000 + length); }

// One request line for digest_vectors.py: Python computes and compares with `ours`.
std::string request(const std::string& op, size_t which, const std::string& key, const std::string& data,
                    const std::string& ours) {
    auto field = [](const std::string& bytes) { return bytes.empty() ? std::string("-") : toHex(bytes); };
    return op + " " + kNames[which] + " " + field(key) + " " + field(data) + " " + toHex(ours) + "\n";
}

void expectPythonAgrees(const std::string& requests) {
    velktest::TempDir dir;
    velktest::writeFile(dir / "requests", requests);
    EXPECT_EQ(velktest::shell(velktest::quote(velktest::python()) + " " +
                              velktest::quote(velktest::scriptDir() + "/digest_vectors.py") + " " +
                              velktest::quote(dir / "requests")),
              std::to_string(std::count(requests.begin(), requests.end(), '\n')) + " checked\n");
}

TEST(DigestTest, PublishedVectors) {
    const std::string a(1000000, 'a');
    const struct { size_t which; std::string message; const char* hex; } kVectors[] = {
        {0, "abc", "900150983cd24fb0d6963f7d28e17f72"},  // RFC 1321
        {0, a, "7707d6ae4e027c70eea2a935c2296f21"},  // a million "a", as in the FIPS 180 examples
        {1, a, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {2, a, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {3, a, "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b07b8b3dc38ecc4ebae97ddd87f3d8985"},
        {4, a, "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
               "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
    };
    for (const auto& v : kVectors) {
        EXPECT_EQ(toHex(digest(v.which, v.message, velktest::randomSlices(v.message.size(), 300, 5))), v.hex);
        EXPECT_EQ(toHex(digest(v.which, v.message, {v.message.size()})), v.hex) << kNames[v.which] << v.message.size();
    }
}

// Lengths 0..300 cross the block boundary and the padding edge (fill 55/56 or 111/112) of
// every digest: every two-piece split and random pieces give the one-Update digest, and
// hashlib agrees. The longer messages also go byte by byte.
TEST(DigestTest, EveryLengthAndSplitMatchesHashlib) {
    std::vector<size_t> lengths = {1000, 4096 + 13, 20000};
    for (size_t length = 0; length <= 300; ++length) lengths.push_back(length);
    std::string requests;
    for (size_t which = 0; which < std::size(kNames); ++which) {
        for (size_t length : lengths) {
            SCOPED_TRACE(std::string(kNames[which]) + " length " + std::to_string(length));
            const std::string data = message(length), whole = digest(which, data, {length});
            for (size_t split = 0; split <= length && length <= 300; ++split)
                ASSERT_EQ(digest(which, data, {split, length - split}), whole) << "split at " << split;
            ASSERT_EQ(digest(which, data, velktest::randomSlices(length, 400, length)), whole);
            if (length > 300) { ASSERT_EQ(digest(which, data, velktest::fixedSlices(length, 1)), whole); }
            requests += request("hash", which, "", data, whole);
        }
    }
    expectPythonAgrees(requests);
}

TEST(DigestTest, OneShotCallsWriteTheDigestOnlyOnSuccess) {
    const std::string data = message(200);
    unsigned char buffer[80];  // room past the longest digest, to catch overruns
    unsigned int written = 0;
    auto call = [&](int bits, int nulls, int length) {  // nulls: 1 data, 2 digest, 4 digestLength
        std::memset(buffer, 0xee, sizeof buffer);
        written = 12345;
        return brn::shaDigest(bits, nulls & 1 ? nullptr : data.data(), length, nulls & 2 ? nullptr : buffer,
                              nulls & 4 ? nullptr : &written);
    };
    auto bufferText = [&] { return std::string(reinterpret_cast<char*>(buffer), sizeof buffer); };
    for (const auto& [bits, which] : kSelectors) {
        const std::string expected = digest(which, data, {data.size()});
        ASSERT_EQ(call(bits, 0, 200), 0);
        EXPECT_EQ(written, expected.size());
        EXPECT_EQ(bufferText(), expected + std::string(sizeof buffer - expected.size(), '\xee')) << bits;
        std::string inPlace = data;  // longer than any digest: replaced, not overwritten in part
        ASSERT_EQ(brn::shaDigestString(bits, inPlace, inPlace), 0);
        EXPECT_EQ(inPlace, expected) << bits;
    }
    const int bad = brn::kShaBadArguments, unknown = brn::kShaUnknownSelector;
    const int kRefused[][4] = {{256, 1, 3, bad}, {256, 2, 3, bad}, {256, 4, 3, bad},      {256, 0, 0, bad},
                               {256, 0, -5, bad}, {7, 0, 0, bad},  {0, 0, 3, unknown},   {224, 0, 3, unknown}};
    for (const auto& [bits, nulls, length, result] : kRefused) {
        EXPECT_EQ(call(bits, nulls, length), result) << bits << " " << nulls << " " << length;
        EXPECT_EQ(written, 12345u);
        EXPECT_EQ(bufferText(), std::string(sizeof buffer, '\xee'));
    }
    std::string untouched = "keep";
    EXPECT_EQ(brn::shaDigestString(256, "", untouched), bad);
    EXPECT_EQ(brn::shaDigestString(9, "abc", untouched), unknown);
    EXPECT_EQ(untouched, "keep");
}

// RFC 2202 / 4231 vectors, then Python: its hmac for SHA-1 and SHA-256, and a 64-byte-block
// HMAC for SHA-384/512, since the key block stays 64 bytes there (the published form has 128).
TEST(DigestTest, HmacMatchesPublishedVectorsAndPython) {
    const std::string largerKey = "Test Using Larger Than Block-Size Key - Hash Key First";
    const struct { int bits; std::string key, message; const char* hex; } kVectors[] = {
        {1, std::string(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
        {160, std::string(80, '\xaa'), largerKey, "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {256, std::string(131, '\xaa'), largerKey, "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    };
    for (const auto& v : kVectors) {
        std::string mac;
        ASSERT_EQ(brn::hmacSha(v.bits, v.message, v.key, mac), 0);
        EXPECT_EQ(toHex(mac), v.hex);
    }
    std::string requests;
    for (const auto& [bits, which] : kSelectors) {
        for (size_t keyLength : {1, 20, 48, 63, 64, 65, 100, 128, 129, 200}) {
            const std::string key = velktest::seededBytes(keyLength, 5000 + keyLength), data = message(keyLength);
            std::string mac = "old";
            ASSERT_EQ(brn::hmacSha(bits, data, key, mac), 0);
            requests += request("hmac64", which, key, data, mac);
            if (bits <= 256) requests += request("hmac", which, key, data, mac);
        }
    }
    expectPythonAgrees(requests);
}

TEST(DigestTest, HmacRefusalsAndAliasing) {
    const struct { int bits; std::string message, key; int result; } kCases[] = {
        {256, "", "key", brn::kHmacEmptyMessage}, {256, "", "", brn::kHmacEmptyMessage},
        {256, "message", "", brn::kHmacEmptyKey}, {5, "message", "", brn::kHmacEmptyKey},
        {5, "message", std::string(65, 'k'), brn::kHmacKeyDigestFailed},  // the key's digest fails
        {5, "message", "key", brn::kShaUnknownSelector}, {5, "message", std::string(64, 'k'), brn::kShaUnknownSelector},
    };
    for (const auto& c : kCases) {
        std::string mac = "previous";
        EXPECT_EQ(brn::hmacSha(c.bits, c.message, c.key, mac), c.result) << c.bits << " " << c.key.size();
        EXPECT_EQ(mac, "previous");
    }
    const std::string data = message(100), key = message(99);
    std::string expected, sameAsMessage = data, sameAsKey = key;  // inputs and output may be one string
    ASSERT_EQ(brn::hmacSha(256, data, key, expected), 0);
    EXPECT_EQ(brn::hmacSha(256, sameAsMessage, key, sameAsMessage) + brn::hmacSha(256, data, sameAsKey, sameAsKey), 0);
    EXPECT_EQ(sameAsMessage + sameAsKey, expected + expected);
}

}  // namespace
