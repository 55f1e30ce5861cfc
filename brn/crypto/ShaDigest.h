#pragma once
// One-shot SHA digests chosen by a `bits` selector, and the keyed digest hmacSha.
//   bits 1 or 160: SHA-1 (20 bytes)   256: SHA-256 (32)   384: SHA-384 (48)   512: SHA-512 (64)
// Results are raw digest bytes. hmacSha is HMAC with a 64-byte key block for every
// selector, so for 384 and 512 it differs from published HMAC-SHA-384/512. Each call
// keeps its context on the stack and no state between calls; outputs are written
// only on success. Inputs and outputs may be the same object.

#include <string>

namespace brn {

constexpr int kShaBadArguments = -1;      // null pointer, empty input or length <= 0
constexpr int kShaUnknownSelector = -63;  // `bits` is not 1, 160, 256, 384 or 512
constexpr int kHmacEmptyMessage = -1;
constexpr int kHmacEmptyKey = -2;
constexpr int kHmacKeyDigestFailed = -3;  // key longer than 64 bytes and its digest failed
// hmacSha with an unknown selector and a key of at most 64 bytes returns kShaUnknownSelector.

// Digest of `length` bytes at `data` into `digest` (room for the selected size); the
// size written goes to *digestLength. Length 0 is refused: the empty message's digest
// is reachable only through the context calls of Sha.h.
[[nodiscard]] int shaDigest(int bits, const void* data, int length, unsigned char* digest, unsigned int* digestLength);

// Digest of the whole of `data`; `digest` is replaced by the raw digest bytes.
[[nodiscard]] int shaDigestString(int bits, const std::string& data, std::string& digest);

// Keyed digest of `message` under `key`; `mac` is replaced by the raw result.
[[nodiscard]] int hmacSha(int bits, const std::string& message, const std::string& key, std::string& mac);

}  // namespace brn
