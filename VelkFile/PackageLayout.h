#pragma once
// The VELK container layout, in one place. A package file holds one or more packages
// back to back, with nothing between them. One package (integers little-endian):
//
//   fileHeader   80  "VELK" (4), 12 bytes not interpreted, headerSalt (64)
//   headBlock   656  XOR headKey (16 bytes, repeated 41 times), deciphered:
//                      payloadSeed (64), label length L (1), label (63),
//                      customInfo length N (1), customInfo (519), payloadLength (8)
//   headCheck    32  keyed SHA-256 over fileHeader + headBlock as stored, key headerSalt
//   payload       n  AES-256-CFB128 of a gzip stream whose content is a ustar archive
//   tail         32  not interpreted
//
// headKey            = MD5(hmacSha(512, fileHeader, headerSalt))
// payloadKeyMaterial = hmacSha(512, payloadSeed, headerSalt)
// The label and the custom information are exactly L and N bytes; a label longer than
// its 63-byte field runs on into the bytes behind it.

#include <cstddef>

namespace velk {

constexpr char kMagic[4] = {'V', 'E', 'L', 'K'};

constexpr size_t kFileHeaderSize = 80;
constexpr size_t kMagicSize = 4;
constexpr size_t kHeaderSaltAt = 16;
constexpr size_t kHeaderSaltSize = 64;

constexpr size_t kHeadBlockSize = 656;
constexpr size_t kPayloadSeedAt = 0;
constexpr size_t kPayloadSeedSize = 64;
constexpr size_t kLabelLengthAt = 64;
constexpr size_t kLabelAt = 65;
constexpr size_t kLabelFieldSize = 63;
constexpr size_t kCustomInfoLengthAt = 128;
constexpr size_t kCustomInfoAt = 129;
constexpr size_t kCustomInfoFieldSize = 519;
constexpr size_t kPayloadLengthAt = 648;

constexpr size_t kHeadCheckSize = 32;
constexpr size_t kHeadKeySize = 16;
constexpr size_t kPayloadKeyMaterialSize = 64;
constexpr size_t kTailSize = 32;

// Bytes of a package around its payload.
constexpr size_t kPackageOverhead = kFileHeaderSize + kHeadBlockSize + kHeadCheckSize + kTailSize;

// Digest selectors of the keyed digests that protect the head and derive the keys.
constexpr int kHeadCheckBits = 256;
constexpr int kHeadKeyBits = 512;
constexpr int kPayloadKeyBits = 512;

}  // namespace velk
