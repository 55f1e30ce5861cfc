#include "VelkFile/Algorithm.h"

#include "VelkFile/ErrorLog.h"
#include "VelkFile/PackageLayout.h"
#include "brn/crypto/Md5.h"
#include "brn/crypto/ShaDigest.h"

namespace velk {

namespace {

constexpr const char* kSourceFile = "VelkFile/Algorithm.cpp";
constexpr int kXorLogLine = 138;

std::string headerSalt(const char* header) {
    return std::string(header + kHeaderSaltAt, kHeaderSaltSize);
}

}  // namespace

int getProduceHeadCheck(const char* header, const char* head, unsigned char* check) {
    if (header == nullptr || head == nullptr || check == nullptr) return kCheckDigestFailed;

    std::string stored(header, kFileHeaderSize);
    stored.append(head, kHeadBlockSize);
    std::string mac;
    if (brn::hmacSha(kHeadCheckBits, stored, headerSalt(header), mac) < 0) return kCheckDigestFailed;
    mac.copy(reinterpret_cast<char*>(check), kHeadCheckSize);
    return 0;
}

int algorithmGetHeadKey(const char* header, unsigned char* key) {
    if (header == nullptr || key == nullptr) return kHeadKeyFailed;

    // The 64-byte salt fills the keyed digest's key block exactly and is used unchanged.
    std::string digest;
    if (brn::hmacSha(kHeadKeyBits, std::string(header, kFileHeaderSize), headerSalt(header), digest) < 0) {
        return kHeadKeyFailed;
    }
    brn::MD5Context md5;
    brn::MD5Init(&md5);
    brn::MD5Update(&md5, reinterpret_cast<const unsigned char*>(digest.data()), unsigned(digest.size()));
    brn::MD5Final(&md5, key);
    return 0;
}

int algorithmEncryptionHeadData(unsigned char* data, int length, const unsigned char* key, int keyLength) {
    if (keyLength == 0) return kXorEmptyKey;
    if (data == nullptr || keyLength < 1 || key == nullptr || length <= 0) {
        logError("algorithmEncryptionHeadData", kSourceFile, kXorLogLine);
        return kXorBadArguments;
    }
    for (int i = 0; i < length; ++i) data[i] ^= key[i % keyLength];
    return 0;
}

int derivePayloadKeyMaterial(const char* header, const char* head, std::string& material) {
    return brn::hmacSha(kPayloadKeyBits, std::string(head + kPayloadSeedAt, kPayloadSeedSize),
                        headerSalt(header), material);
}

}  // namespace velk
