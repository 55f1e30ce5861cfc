#pragma once
// The block-hashing loop shared by MD5, SHA-1 and SHA-2: buffering of the incomplete
// block, the message-length count, padding and output byte order. A digest supplies
// a traits struct (below) with what differs; its Init/Update/Final calls are adapters
// over mdStart, mdAbsorb and mdFinish. Internal to brn/crypto: the traits and their
// compression functions live in Md5.cpp and Sha.cpp. Works on the caller's context
// only; nothing is allocated and no state is kept between calls.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "brn/ByteOrder.h"

namespace brn {
namespace hashengine {

// What a traits struct T provides:
//   using Word = uint32_t or uint64_t;          the state word
//   using Context = <the context record>;       with `state` (Words) and `buffer` (bytes)
//   static constexpr size_t kBlockBytes;        64, or 128 for SHA-384/512
//   static constexpr size_t kLengthBytes;       8, or 16 for SHA-384/512
//   static constexpr bool kBigEndian;           false only for MD5 (state words and length)
//   static void compress(Word* state, const unsigned char* block);
//   static size_t buffered(const Context&);     bytes held in `buffer`, 0..kBlockBytes-1
//   static void setBuffered(Context&, size_t);
//   static void countBytes(Context&, size_t n); adds n bytes to the length count
//   static BitCount bitCount(const Context&);   the message length so far

// A message length in bits, up to 128 bits wide.
struct BitCount {
    uint64_t high;
    uint64_t low;
};

// Adds `bytes` bytes to a 128-bit bit count, carrying out of the low word.
inline void addBytes(BitCount& count, uint64_t bytes) {
    uint64_t lowBits = bytes << 3;
    count.high += bytes >> 61;
    count.low += lowBits;
    if (count.low < lowBits) ++count.high;
}

// 0x80 then zeros: the longest padding any digest needs is one whole 128-byte block.
inline constexpr unsigned char kPadding[128] = {0x80};

inline void storeWord(unsigned char* out, uint32_t word, bool bigEndian) {
    bigEndian ? storeBe32(out, word) : storeLe32(out, word);
}

inline void storeWord(unsigned char* out, uint64_t word, bool bigEndian) {
    bigEndian ? storeBe64(out, word) : storeLe64(out, word);
}

// Zero count and buffer, chaining value set to `iv` (as many words as `state` has).
template <class T>
void mdStart(typename T::Context& context, const typename T::Word* iv) {
    context = typename T::Context{};
    std::copy(iv, iv + std::size(context.state), context.state);
}

// Absorbs `length` bytes. Completes a partly filled block first; then whole blocks are
// compressed straight from the caller's memory and only the remainder is buffered.
template <class T>
void mdAbsorb(typename T::Context& context, const unsigned char* data, size_t length) {
    if (length == 0) return;
    size_t fill = T::buffered(context);
    T::countBytes(context, length);
    if (fill > 0) {
        size_t take = std::min(T::kBlockBytes - fill, length);
        std::memcpy(context.buffer + fill, data, take);
        fill += take;
        data += take;
        length -= take;
        if (fill < T::kBlockBytes) {
            T::setBuffered(context, fill);
            return;
        }
        T::compress(context.state, context.buffer);
    }
    for (; length >= T::kBlockBytes; data += T::kBlockBytes, length -= T::kBlockBytes) {
        T::compress(context.state, data);
    }
    if (length > 0) std::memcpy(context.buffer, data, length);
    T::setBuffered(context, length);
}

// The length field that ends the padded message: the bit count in the digest's byte
// order, the low word nearest the end for big-endian and first for little-endian.
template <class T>
void encodeLength(BitCount count, unsigned char (&field)[T::kLengthBytes]) {
    static_assert(T::kLengthBytes == 8 || T::kLengthBytes == 16, "length field is 64 or 128 bits");
    if constexpr (T::kBigEndian) {
        if constexpr (T::kLengthBytes == 16) storeBe64(field, count.high);
        storeBe64(field + T::kLengthBytes - 8, count.low);
    } else {
        storeLe64(field, count.low);
        if constexpr (T::kLengthBytes == 16) storeLe64(field + 8, count.high);
    }
}

// Pads (0x80, zeros up to the length field, running into a second block when the
// field no longer fits), appends the bit count captured before padding and writes the
// first `outWords` state words, unless `out` is null. The context keeps the padded
// state; it needs a new mdStart before it can be used again.
template <class T>
void mdFinish(typename T::Context& context, unsigned char* out, size_t outWords) {
    unsigned char lengthField[T::kLengthBytes];
    encodeLength<T>(T::bitCount(context), lengthField);
    const size_t fill = T::buffered(context);
    const size_t lengthAt = T::kBlockBytes - T::kLengthBytes;
    const size_t padBytes = fill < lengthAt ? lengthAt - fill : lengthAt + T::kBlockBytes - fill;
    static_assert(T::kBlockBytes <= sizeof kPadding, "padding table too short");
    mdAbsorb<T>(context, kPadding, padBytes);
    mdAbsorb<T>(context, lengthField, T::kLengthBytes);
    if (out == nullptr) return;
    for (size_t i = 0; i < outWords; ++i) {
        storeWord(out + i * sizeof(typename T::Word), context.state[i], T::kBigEndian);
    }
}

}  // namespace hashengine
}  // namespace brn
