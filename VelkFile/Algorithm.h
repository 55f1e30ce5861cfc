#pragma once
// The routines that protect the head of a package, all keyed by the package's own
// headerSalt (the program holds no key):
//   getProduceHeadCheck         32-byte head check over fileHeader + headBlock as stored
//   algorithmGetHeadKey         16-byte XOR key of the head block
//   algorithmEncryptionHeadData the XOR itself (the same call enciphers and deciphers)
//   derivePayloadKeyMaterial    64 bytes handed to the payload pipeline with the salt
// Mode 0 is the only mode that computes; the decoder always passes it. The other modes
// answer as listed beside each routine's result codes.

#include <string>

namespace velk {

constexpr int kComputeMode = 0;

// getProduceHeadCheck results.
constexpr int kCheckBadMode = -1;         // mode 2 or more (logged)
constexpr int kCheckDigestFailed = -2;    // the keyed digest failed, or a null argument
constexpr int kCheckNotComputed = -3;     // mode 1 or a negative mode

// algorithmGetHeadKey results (mode 1 or a negative mode returns 0 and writes nothing).
constexpr int kHeadKeyBadMode = -1;       // mode 2 or more (logged), or the digest failed

// algorithmEncryptionHeadData results (mode 1 or a negative mode returns 0, data unchanged).
constexpr int kXorEmptyKey = -1;          // keyLength 0, not logged
constexpr int kXorBadArguments = -2;      // mode 2 or more, null data or key, length <= 0 (logged)

// header: the 80 stored header bytes; head: the 656 stored (enciphered) head bytes;
// check: 32 bytes written on success.
int getProduceHeadCheck(int mode, const char* header, const char* head, unsigned char* check);

// header: the 80 stored header bytes; key: 16 bytes written on success.
int algorithmGetHeadKey(int mode, const char* header, unsigned char* key);

// XORs data[i] with key[i mod keyLength], in place.
int algorithmEncryptionHeadData(int mode, unsigned char* data, int length, const unsigned char* key,
                                int keyLength);

// header: the 80 stored header bytes; head: the deciphered head block. Replaces
// `material` with the 64-byte payload key material; 0, or a negative hmacSha code.
int derivePayloadKeyMaterial(const char* header, const char* head, std::string& material);

}  // namespace velk
