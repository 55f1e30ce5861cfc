#pragma once
// CRC-32 of gzip members (reflected IEEE 802.3 polynomial, initial value and final XOR
// all ones) as a running value: start with 0 and pass each result back in with the next
// piece of data; crc32Update(crc32Update(0, a), b) equals the CRC of a followed by b.
// Table-driven, eight bytes per step, then single bytes. Pure function, no state.

#include <cstddef>
#include <cstdint>

namespace brn {

uint32_t crc32Update(uint32_t crc, const unsigned char* data, size_t length);

}  // namespace brn
