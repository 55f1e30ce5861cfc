#pragma once
// SipHash-2-4: a keyed 64-bit hash of a byte string, fast on short inputs. With a secret
// random key its outputs cannot be steered by whoever chose the input, which is what a hash
// table filled from a hostile archive needs. Stateless; one call per message.

#include <cstddef>
#include <cstdint>

namespace brn {

struct SipKey {
    uint64_t k0 = 0;  // key bytes 0..7, little-endian
    uint64_t k1 = 0;  // key bytes 8..15, little-endian
};

uint64_t sipHash24(const SipKey& key, const void* data, size_t length);

}  // namespace brn
