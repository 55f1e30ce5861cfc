// One battery over MD5, SHA-1, SHA-256, SHA-384 and SHA-512: published vectors, every
// length 0..300 in every two-piece split against Python's hashlib, and the one-shot and
// keyed calls (RFC 2202 / 4231 vectors, Python's hmac, a 64-byte-block HMAC in Python).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "brn/crypto/Md5.h"
#include "brn/crypto/Sha.h"
#include "brn/crypto/ShaDigest.h"
#include "tests/support/TestSupport.h"

namespace {

using velktest::fromHex;
using velktest::toHex;

using Pieces = std::vector<size_t>;

// One digest through its own Init/Update/Final, the message fed in `pieces`.
struct Digest {
    std::string name;  // hashlib's name
    size_t outBytes;
    size_t blockBytes;
    std::function<std::string(const std::string& message, const Pieces& pieces)> run;

    std::string whole(const std::string& message) const { return run(message, {message.size()}); }
};

template <class Context, class Data>
Digest makeDigest(const char* name, size_t outBytes, size_t blockBytes, void (*init)(Context*),
                  void (*update)(Context*, Data, unsigned int), void (*final)(Context*, unsigned char*)) {
    auto run = [=](const std::string& message, const Pieces& pieces) {
        Context context;
        init(&context);
        auto* data = reinterpret_cast<const unsigned char*>(message.data());
        size_t at = 0;
        for (size_t piece : pieces) {
            update(&context, data + at, static_cast<unsigned int>(piece));
            at += piece;
        }
        EXPECT_EQ(at, message.size()) << "pieces do not cover the message";
        unsigned char out[64];
        final(&context, out);
        return std::string(reinterpret_cast<const char*>(out), outBytes);
    };
    return {name, outBytes, blockBytes, run};
}

const std::vector<Digest>& digests() {
    static const std::vector<Digest> all = {
        makeDigest("md5", 16, 64, brn::MD5Init, brn::MD5Update, brn::MD5Final),
        makeDigest("sha1", 20, 64, brn::SHA1Init, brn::SHA1Update, brn::SHA1Final),
        makeDigest("sha256", 32, 64, brn::SHA256Init, brn::SHA256Update, brn::SHA256Final),
        makeDigest("sha384", 48, 128, brn::SHA384Init, brn::SHA384Update, brn::SHA384Final),
        makeDigest("sha512", 64, 128, brn::SHA512Init, brn::SHA512Update, brn::SHA512Final),
    };
    return all;
}

const Digest& digestNamed(const std::string& name) {
    for (const Digest& digest : digests()) {
        if (digest.name == name) return digest;
    }
    throw std::runtime_error("no digest " + name);
}

// The `bits` selectors and the hashlib digest each stands for.
const std::vector<std::pair<int, std::string>> kSelectors = {
    {1, "sha1"}, {160, "sha1"}, {256, "sha256"}, {384, "sha384"}, {512, "sha512"}};

// ---- Python's answers, all computed by one python3 run per test process ----

constexpr size_t kLongestSplit = 300;  // 0..300 are split at every point

std::vector<size_t> batteryLengths() {
    std::vector<size_t> lengths;
    for (size_t length = 0; length <= kLongestSplit; ++length) lengths.push_back(length);
    for (size_t length : {1000, 4096 + 13, 20000}) lengths.push_back(length);
    return lengths;
}
const size_t kNarrowKeyLengths[] = {1, 48, 63, 64, 65, 100, 128, 129, 200};
constexpr size_t kLongestKey = 200;

std::string hexField(const std::string& bytes) { return bytes.empty() ? "-" : toHex(bytes); }

std::string requestLine(const std::string& op, const std::string& algorithm, const std::string& key,
                        const std::string& message) {
    return op + " " + algorithm + " " + hexField(key) + " " + hexField(message);
}

std::string batteryMessage(size_t length) { return velktest::seededBytes(length, 1000 + length); }
std::string hmacKey(size_t length) { return velktest::seededBytes(length, 5000 + length); }
std::string hmacMessage(size_t keyLength) { return velktest::seededBytes(1 + keyLength * 7 % 300, 9000 + keyLength); }

std::vector<std::string> allRequests() {
    std::vector<std::string> lines;
    for (const Digest& digest : digests()) {
        for (size_t length : batteryLengths()) {
            lines.push_back(requestLine("hash", digest.name, "", batteryMessage(length)));
        }
    }
    for (const char* algorithm : {"sha1", "sha256", "sha384", "sha512"}) {
        for (size_t keyLength = 1; keyLength <= kLongestKey; ++keyLength) {
            lines.push_back(requestLine("hmac", algorithm, hmacKey(keyLength), hmacMessage(keyLength)));
        }
    }
    for (const char* algorithm : {"sha384", "sha512"}) {
        for (size_t keyLength : kNarrowKeyLengths) {
            lines.push_back(requestLine("hmac64", algorithm, hmacKey(keyLength), hmacMessage(keyLength)));
        }
    }
    return lines;
}

const std::map<std::string, std::string>& pythonAnswers() {
    static const std::map<std::string, std::string> answers = [] {
        std::vector<std::string> lines = allRequests();
        std::string text;
        for (const std::string& line : lines) text += line + "\n";
        velktest::TempDir dir;
        velktest::writeFile(dir / "requests", text);
        std::string out = velktest::shell(velktest::python() + " " +
                                          velktest::quote(velktest::scriptDir() + "/digest_vectors.py") + " " +
                                          velktest::quote(dir / "requests"));
        std::map<std::string, std::string> byRequest;
        size_t at = 0;
        for (const std::string& line : lines) {
            size_t end = out.find('\n', at);
            if (end == std::string::npos) throw std::runtime_error("python gave too few answers");
            byRequest[line] = fromHex(out.substr(at, end - at));
            at = end + 1;
        }
        return byRequest;
    }();
    return answers;
}

std::string python(const std::string& op, const std::string& algorithm, const std::string& key,
                   const std::string& message) {
    auto found = pythonAnswers().find(requestLine(op, algorithm, key, message));
    if (found == pythonAnswers().end()) throw std::runtime_error("no python answer for " + op + " " + algorithm);
    return found->second;
}

// ---- the context calls ----

// Piece sizes around the block and length-field boundaries, cycled over a message.
Pieces oddPieces(size_t total) {
    static const size_t kSizes[] = {0, 1, 55, 56, 63, 64, 65, 111, 112, 127, 128, 129, 3, 200};
    Pieces pieces;
    for (size_t done = 0, i = 0; done < total; ++i) {
        size_t piece = std::min(kSizes[i % std::size(kSizes)], total - done);
        pieces.push_back(piece);
        done += piece;
    }
    return pieces;
}

TEST(DigestTest, PublishedVectors) {
    const std::string kMillionA(1000000, 'a');
    const std::string k448 = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    const std::string k896 =
        "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrst"
        "nopqrstu";
    struct Vector {
        const char* digest;
        std::string message;
        const char* hex;
    };
    const Vector kVectors[] = {
        // RFC 1321 test suite
        {"md5", "", "d41d8cd98f00b204e9800998ecf8427e"},
        {"md5", "a", "0cc175b9c0f1b6a831c399e269772661"},
        {"md5", "abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"md5", "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"md5", "abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"md5", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"md5", "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {"md5", kMillionA, "7707d6ae4e027c70eea2a935c2296f21"},
        // FIPS 180 examples
        {"sha1", "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"sha1", "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"sha1", k448, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {"sha1", k896, "a49b2446a02c645bf419f995b67091253a04a259"},
        {"sha1", kMillionA, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {"sha256", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"sha256", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"sha256", k448, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"sha256", k896, "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {"sha256", kMillionA, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {"sha384", "",
         "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14898b95b"},
        {"sha384", "abc",
         "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
        {"sha384", k448,
         "3391fdddfc8dc7393707a65b1b4709397cf8b1d162af05abfe8f450de5f36bc6b0455a8520bc4e6f5fe95b1fe3c8452b"},
        {"sha384", k896,
         "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039"},
        {"sha384", kMillionA,
         "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b07b8b3dc38ecc4ebae97ddd87f3d8985"},
        {"sha512", "",
         "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
         "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
        {"sha512", "abc",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
         "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {"sha512", k448,
         "204a8fc6dda82f0a0ced7beb8e08a41657c16ef468b228a8279be331a703c335"
         "96fd15c13b1b07f9aa1d3bea57789ca031ad85c7a71dd70354ec631238ca3445"},
        {"sha512", k896,
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
         "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
        {"sha512", kMillionA,
         "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
         "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
    };
    for (const Vector& v : kVectors) {
        const Digest& digest = digestNamed(v.digest);
        SCOPED_TRACE(std::string(v.digest) + " of " + std::to_string(v.message.size()) + " bytes");
        EXPECT_EQ(toHex(digest.whole(v.message)), v.hex);
        EXPECT_EQ(toHex(digest.run(v.message, oddPieces(v.message.size()))), v.hex);
    }
}

// Every length 0..300 crosses the block boundary and the padding edge (fill 55/56 or
// 111/112) of every digest: one Update, every two-piece split, odd and random pieces.
// A few longer messages go in the same pieces and byte by byte.
TEST(DigestTest, EveryLengthAndSplitMatchesHashlib) {
    for (const Digest& digest : digests()) {
        for (size_t length : batteryLengths()) {
            SCOPED_TRACE(digest.name + " length " + std::to_string(length));
            std::string message = batteryMessage(length);
            std::string expected = python("hash", digest.name, "", message);
            ASSERT_EQ(toHex(digest.whole(message)), toHex(expected));
            for (size_t split = 0; split <= length && length <= kLongestSplit; ++split) {
                ASSERT_EQ(digest.run(message, {split, length - split}), expected) << "split at " << split;
            }
            ASSERT_EQ(digest.run(message, oddPieces(length)), expected);
            ASSERT_EQ(digest.run(message, velktest::randomSlices(length, 3 * digest.blockBytes, length)), expected);
            if (length > kLongestSplit) {
                ASSERT_EQ(digest.run(message, velktest::fixedSlices(length, 1)), expected);
            }
        }
    }
}

// The bit counts carry from the low into the high word; check the words themselves,
// since a message long enough to carry for real would take minutes.
TEST(DigestTest, BitCountsCarryIntoTheHighWord) {
    const std::string block(128, 'x');
    brn::MD5Context md5;
    brn::MD5Init(&md5);
    md5.count[0] = 0xfffffe00u;  // 64 bytes short of 2^32 bits, fill level 0
    brn::MD5Update(&md5, reinterpret_cast<const unsigned char*>(block.data()), 128);
    EXPECT_EQ(md5.count[0], 0x200u);
    EXPECT_EQ(md5.count[1], 1u);

    brn::SHA512Context sha;
    brn::SHA512Init(&sha);
    sha.bitCountLow = ~uint64_t(0) - 7;
    brn::SHA512Update(&sha, block.data(), 3);
    EXPECT_EQ(sha.bitCountLow, 16u);
    EXPECT_EQ(sha.bitCountHigh, 1u);
    EXPECT_EQ(sha.bufferLength, 3u);
}

TEST(DigestTest, ShaFinalWithNullDigestFinalisesTheContext) {
    brn::SHA256Context withOutput;
    brn::SHA256Context withNull;
    brn::SHA256Init(&withOutput);
    brn::SHA256Init(&withNull);
    brn::SHA256Update(&withOutput, "abc", 3);
    brn::SHA256Update(&withNull, "abc", 3);
    unsigned char out[32];
    brn::SHA256Final(&withOutput, out);
    brn::SHA256Final(&withNull, nullptr);
    EXPECT_EQ(std::memcmp(&withOutput, &withNull, sizeof withNull), 0);

    brn::SHA512Context sha384;
    brn::SHA384Init(&sha384);
    brn::SHA384Final(&sha384, nullptr);
    brn::SHA1Context sha1;
    brn::SHA1Init(&sha1);
    brn::SHA1Final(&sha1, nullptr);
}

// ---- shaDigest and shaDigestString ----

TEST(DigestTest, ShaDigestResultsAndOutputs) {
    const std::string abc = "abc";
    unsigned char buffer[64];
    struct Case {
        const char* what;
        int bits;
        bool nullData, nullDigest, nullLength;
        int length;
        int result;
    };
    const Case kCases[] = {
        {"sha1 via 1", 1, false, false, false, 3, 0},
        {"sha1 via 160", 160, false, false, false, 3, 0},
        {"sha256", 256, false, false, false, 3, 0},
        {"sha384", 384, false, false, false, 3, 0},
        {"sha512", 512, false, false, false, 3, 0},
        {"null data", 256, true, false, false, 3, brn::kShaBadArguments},
        {"null digest", 256, false, true, false, 3, brn::kShaBadArguments},
        {"null digestLength", 256, false, false, true, 3, brn::kShaBadArguments},
        {"length 0", 256, false, false, false, 0, brn::kShaBadArguments},
        {"negative length", 256, false, false, false, -5, brn::kShaBadArguments},
        {"bad arguments before bad selector", 7, false, false, false, 0, brn::kShaBadArguments},
        {"selector 0", 0, false, false, false, 3, brn::kShaUnknownSelector},
        {"selector 224", 224, false, false, false, 3, brn::kShaUnknownSelector},
        {"selector -1", -1, false, false, false, 3, brn::kShaUnknownSelector},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        std::memset(buffer, 0xee, sizeof buffer);
        unsigned int written = 12345;
        int result = brn::shaDigest(c.bits, c.nullData ? nullptr : abc.data(), c.length,
                                    c.nullDigest ? nullptr : buffer, c.nullLength ? nullptr : &written);
        EXPECT_EQ(result, c.result);
        std::string out(reinterpret_cast<const char*>(buffer), sizeof buffer);
        if (result != 0) {
            EXPECT_EQ(written, 12345u);
            EXPECT_EQ(out, std::string(64, '\xee'));
            continue;
        }
        std::string name = c.bits == 1 || c.bits == 160 ? "sha1" : "sha" + std::to_string(c.bits);
        const Digest& digest = digestNamed(name);
        EXPECT_EQ(written, digest.outBytes);
        EXPECT_EQ(out.substr(0, written), digest.whole(abc));
        EXPECT_EQ(out.substr(written), std::string(64 - written, '\xee')) << "wrote past the digest";
    }
}

TEST(DigestTest, ShaDigestStringResultsAndOutputs) {
    const std::string message = batteryMessage(200);
    for (const auto& [bits, name] : kSelectors) {
        std::string digest = "previous content that is longer than any digest: 0123456789012345678901234567890123";
        ASSERT_EQ(brn::shaDigestString(bits, message, digest), 0) << bits;
        EXPECT_EQ(digest, python("hash", name, "", message)) << bits;
    }
    std::string untouched = "keep";
    EXPECT_EQ(brn::shaDigestString(256, "", untouched), brn::kShaBadArguments);
    EXPECT_EQ(brn::shaDigestString(9, "", untouched), brn::kShaBadArguments);
    EXPECT_EQ(brn::shaDigestString(9, message, untouched), brn::kShaUnknownSelector);
    EXPECT_EQ(untouched, "keep");

    std::string inPlace = message;
    ASSERT_EQ(brn::shaDigestString(512, inPlace, inPlace), 0);
    EXPECT_EQ(inPlace, python("hash", "sha512", "", message));
}

// ---- hmacSha ----

TEST(DigestTest, HmacPublishedVectors) {
    const std::string key25 = fromHex("0102030405060708090a0b0c0d0e0f10111213141516171819");
    const std::string largerKey = "Test Using Larger Than Block-Size Key - Hash Key First";
    struct Vector {
        int bits;
        std::string key;
        std::string message;
        const char* hex;  // may be a prefix of the result (truncated output)
    };
    const Vector kVectors[] = {
        // RFC 2202, HMAC-SHA-1
        {1, std::string(20, '\x0b'), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
        {160, "Jefe", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {1, std::string(20, '\xaa'), std::string(50, '\xdd'), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
        {160, key25, std::string(50, '\xcd'), "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
        {1, std::string(20, '\x0c'), "Test With Truncation", "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
        {160, std::string(80, '\xaa'), largerKey, "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {1, std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
         "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
        // RFC 4231, HMAC-SHA-256
        {256, std::string(20, '\x0b'), "Hi There", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {256, "Jefe", "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {256, std::string(20, '\xaa'), std::string(50, '\xdd'),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {256, key25, std::string(50, '\xcd'), "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {256, std::string(20, '\x0c'), "Test With Truncation", "a3b6167473100ee06e0c796c2955552b"},
        {256, std::string(131, '\xaa'), largerKey, "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {256, std::string(131, '\xaa'),
         "This is a test using a larger than block-size key and a larger than block-size data. The key needs to be "
         "hashed before being used by the HMAC algorithm.",
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    for (const Vector& v : kVectors) {
        SCOPED_TRACE(std::to_string(v.bits) + " " + v.hex);
        std::string mac;
        ASSERT_EQ(brn::hmacSha(v.bits, v.message, v.key, mac), 0);
        EXPECT_EQ(toHex(mac).substr(0, std::strlen(v.hex)), v.hex);
        EXPECT_EQ(mac.size(), v.bits == 256 ? 32u : 20u);
    }
}

// For SHA-1 and SHA-256 the 64-byte key block is the digest's own block: the result is
// Python's hmac for every key length, including keys that are digested first.
TEST(DigestTest, HmacMatchesPythonWhereTheBlockIs64Bytes) {
    for (const auto& [bits, name] : kSelectors) {
        if (name == "sha384" || name == "sha512") continue;
        for (size_t keyLength = 1; keyLength <= kLongestKey; ++keyLength) {
            std::string key = hmacKey(keyLength);
            std::string message = hmacMessage(keyLength);
            std::string mac = "old";
            ASSERT_EQ(brn::hmacSha(bits, message, key, mac), 0);
            ASSERT_EQ(toHex(mac), toHex(python("hmac", name, key, message))) << bits << " key " << keyLength;
        }
    }
}

// For SHA-384 and SHA-512 the block stays 64 bytes: keys of 65..128 bytes are digested
// first and the pads are 64 bytes, so no result equals the published construction.
TEST(DigestTest, Hmac384And512Use64ByteBlocks) {
    for (const auto& [bits, name] : kSelectors) {
        if (name != "sha384" && name != "sha512") continue;
        for (size_t keyLength : kNarrowKeyLengths) {
            std::string key = hmacKey(keyLength);
            std::string message = hmacMessage(keyLength);
            std::string mac;
            ASSERT_EQ(brn::hmacSha(bits, message, key, mac), 0);
            EXPECT_EQ(toHex(mac), toHex(python("hmac64", name, key, message))) << bits << " key " << keyLength;
            EXPECT_NE(mac, python("hmac", name, key, message)) << bits << " key " << keyLength;
        }
    }
}

TEST(DigestTest, HmacResultsAndOutputs) {
    const std::string longKey(65, 'k');
    struct Case {
        const char* what;
        int bits;
        std::string message;
        std::string key;
        int result;
    };
    const Case kCases[] = {
        {"empty message", 256, "", "key", brn::kHmacEmptyMessage},
        {"empty message and key", 256, "", "", brn::kHmacEmptyMessage},
        {"empty key", 256, "message", "", brn::kHmacEmptyKey},
        {"empty key, bad selector", 5, "message", "", brn::kHmacEmptyKey},
        {"long key, bad selector", 5, "message", longKey, brn::kHmacKeyDigestFailed},
        {"short key, bad selector", 5, "message", "key", brn::kShaUnknownSelector},
        {"64-byte key, bad selector", 5, "message", std::string(64, 'k'), brn::kShaUnknownSelector},
    };
    for (const Case& c : kCases) {
        std::string mac = "previous";
        EXPECT_EQ(brn::hmacSha(c.bits, c.message, c.key, mac), c.result) << c.what;
        EXPECT_EQ(mac, "previous") << c.what;
    }

    // The result replaces the previous content; inputs and output may be one string.
    const std::string message = hmacMessage(100);
    const std::string key = hmacKey(100);
    std::string expected;
    ASSERT_EQ(brn::hmacSha(256, message, key, expected), 0);
    std::string sameAsMessage = message;
    ASSERT_EQ(brn::hmacSha(256, sameAsMessage, key, sameAsMessage), 0);
    EXPECT_EQ(sameAsMessage, expected);
    std::string sameAsKey = key;
    ASSERT_EQ(brn::hmacSha(256, message, sameAsKey, sameAsKey), 0);
    EXPECT_EQ(sameAsKey, expected);
}

}  // namespace
