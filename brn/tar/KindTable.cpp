#include "brn/tar/KindTable.h"

#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include "brn/ByteOrder.h"

namespace brn {

namespace {

constexpr uint64_t kValueMask = 7;
constexpr size_t kFirstCapacity = 16;
constexpr size_t kFillNumerator = 9, kFillDenominator = 10;  // grow beyond nine tenths full

size_t segmentOf(uint64_t bits) { return size_t(bits >> 58); }

}  // namespace

// Without the kernel's random bytes (a seccomp filter, an old kernel), time and process id
// still keep the key from being known in advance.
SipKey randomTableKey() {
    unsigned char bytes[16];
    if (getrandom(bytes, sizeof bytes, 0) != int(sizeof bytes)) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        storeLe64(bytes, uint64_t(now.tv_nsec) ^ uint64_t(now.tv_sec) << 30);
        storeLe64(bytes + 8, uint64_t(getpid()) * 0x9e3779b97f4a7c15ull);
    }
    return SipKey{loadLe64(bytes), loadLe64(bytes + 8)};
}

uint64_t CKindTable::keyBits(uint64_t key) {
    const uint64_t bits = key & ~kValueMask;
    return bits != 0 ? bits : kValueMask + 1;  // a zero slot means free
}

// Bits below the segment's pick the home slot, scaled to the capacity without a division.
size_t CKindTable::home(uint64_t bits, size_t capacity) {
    return size_t((((bits >> 26) & 0xffffffffu) * uint64_t(capacity)) >> 32);
}

// The slot holding `bits`, or the free slot where it would go.
size_t CKindTable::probe(const Segment& segment, uint64_t bits) {
    const size_t capacity = segment.slots.size();
    size_t at = home(bits, capacity);
    while (segment.slots[at] != 0 && (segment.slots[at] & ~kValueMask) != bits) {
        at = at + 1 == capacity ? 0 : at + 1;
    }
    return at;
}

void CKindTable::grow(Segment& segment) {
    const size_t capacity = segment.slots.empty() ? kFirstCapacity : segment.slots.size() + segment.slots.size() / 4;
    Segment bigger;
    bigger.slots.assign(capacity, 0);
    for (uint64_t slot : segment.slots) {
        if (slot != 0) bigger.slots[probe(bigger, slot & ~kValueMask)] = slot;
    }
    bigger.used = segment.used;
    segment = std::move(bigger);
}

uint8_t CKindTable::find(uint64_t key) const {
    const uint64_t bits = keyBits(key);
    const Segment& segment = segments[segmentOf(bits)];
    if (segment.slots.empty()) return 0;
    return uint8_t(segment.slots[probe(segment, bits)] & kValueMask);
}

uint8_t CKindTable::set(uint64_t key, uint8_t value) {
    const uint64_t bits = keyBits(key);
    Segment& segment = segments[segmentOf(bits)];
    if ((segment.used + 1) * kFillDenominator > segment.slots.size() * kFillNumerator) grow(segment);
    uint64_t& slot = segment.slots[probe(segment, bits)];
    const uint8_t previous = uint8_t(slot & kValueMask);
    if (slot == 0) {
        ++segment.used;
        ++count;
    }
    slot = bits | (value & kValueMask);
    return previous;
}

size_t CKindTable::slotBytes() const {
    size_t bytes = 0;
    for (const Segment& segment : segments) bytes += segment.slots.size() * sizeof(uint64_t);
    return bytes;
}

void CKindTable::clear() {
    for (Segment& segment : segments) segment = Segment();
    count = 0;
}

}  // namespace brn
