#pragma once
// CKindTable maps 64-bit keys to a small value (1..7; 0 reads as absent) in about 11 bytes
// per key: the low three bits of each 64-bit slot hold the value, the rest the key, so two
// keys equal in all but their low three bits are one key. Open addressing with linear
// probing in 64 segments chosen by the key's top bits; each segment grows by a quarter when
// nine tenths full, so growing never holds more than one segment twice. Keys should be
// uniformly distributed (a keyed hash). Memory grows with the number of keys only.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "brn/crypto/SipHash.h"

namespace brn {

// A fresh secret key for the keyed hashes a table is filled with, so that an archive cannot
// be built to make two of its names (or files) share a key.
SipKey randomTableKey();

class CKindTable {
public:
    // The value stored for `key`, 0 when none was.
    uint8_t find(uint64_t key) const;
    // Stores `value` (0..7) for `key` and gives the previous one. 0 keeps the key, as absent.
    uint8_t set(uint64_t key, uint8_t value);
    // Keys stored (with any value).
    size_t size() const { return count; }
    // Bytes of the slots, for reports.
    size_t slotBytes() const;
    void clear();

private:
    struct Segment {
        std::vector<uint64_t> slots;  // 0 is a free slot; else key bits | value
        size_t used = 0;
    };
    static constexpr size_t kSegments = 64;

    static uint64_t keyBits(uint64_t key);
    static size_t home(uint64_t bits, size_t capacity);
    static size_t probe(const Segment& segment, uint64_t bits);
    static void grow(Segment& segment);

    Segment segments[kSegments];
    size_t count = 0;
};

}  // namespace brn
