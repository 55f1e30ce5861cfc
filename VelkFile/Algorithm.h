#pragma once
// The routines that protect the head of a package, all keyed by the package's own
// headerSalt (the program holds no key):
//   getProduceHeadCheck         32-byte head check over fileHeader + headBlock as stored
//   algorithmGetHeadKey         16-byte XOR key of the head block
//   algorithmEncryptionHeadData the XOR itself (the same call enciphers and deciphers)
//   derivePayloadKeyMaterial    64 bytes handed to the payload pipeline with the salt

#include <string>

namespace velk {

// getProduceHeadCheck results.
constexpr int kCheckDigestFailed = -1;    // the keyed digest failed, or a null argument

// algorithmGetHeadKey results.
constexpr int kHeadKeyFailed = -1;        // the digest failed, or a null argument

// algorithmEncryptionHeadData results.
constexpr int kXorEmptyKey = -1;          // keyLength 0, not logged
constexpr int kXorBadArguments = -2;      // null data or key, length <= 0 (logged)

// header: the 80 stored header bytes; head: the 656 stored (enciphered) head bytes;
// check: 32 bytes written on success.
int getProduceHeadCheck(const char* header, const char* head, unsigned char* check);

// header: the 80 stored header bytes; key: 16 bytes written on success.
int algorithmGetHeadKey(const char* header, unsigned char* key);

// XORs data[i] with key[i mod keyLength], in place.
int algorithmEncryptionHeadData(unsigned char* data, int length, const unsigned char* key, int keyLength);

// header: the 80 stored header bytes; head: the deciphered head block. Replaces
// `material` with the 64-byte payload key material; 0, or a negative hmacSha code.
int derivePayloadKeyMaterial(const char* header, const char* head, std::string& material);

}  // namespace velk
