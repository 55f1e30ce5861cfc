#include "brn/tar/TarHeader.h"

#include <cstddef>
#include <cstring>

namespace brn {

namespace {

constexpr uint64_t kMaxFieldValue = 4294967295u;

// The bytes strtoul skips before a number in the C locale.
bool isBlank(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool isOctalDigit(unsigned char c) { return c >= '0' && c <= '7'; }

unsigned char asciiLower(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c; }

}  // namespace

OctalField readOctalField(const char* field, size_t width) {
    auto* in = reinterpret_cast<const unsigned char*>(field);
    if (width > 0 && (in[0] & 0x80) != 0) return {0, OctalForm::kBase256};
    size_t at = 0;
    while (at < width && isBlank(in[at])) ++at;
    uint64_t value = 0;
    for (; at < width && isOctalDigit(in[at]); ++at) {
        value = value * 8 + (in[at] - '0');
        // Stopping as soon as the limit is passed keeps value far from overflow at any width.
        if (value > kMaxFieldValue) return {static_cast<uint32_t>(kMaxFieldValue), OctalForm::kTooLarge};
    }
    return {static_cast<uint32_t>(value), OctalForm::kValue};
}

std::string fieldText(const char* field, size_t width) {
    size_t length = 0;
    while (length < width && field[length] != '\0') ++length;
    return std::string(field, length);
}

bool checksumMatches(const UstarHeader& header) {
    const OctalField stored = readOctalField(header.chksum, sizeof header.chksum);
    if (stored.form != OctalForm::kValue) return false;
    constexpr size_t kFieldAt = offsetof(UstarHeader, chksum), kFieldEnd = kFieldAt + sizeof header.chksum;
    auto* bytes = reinterpret_cast<const unsigned char*>(&header);
    int64_t unsignedSum = 0, signedSum = 0;
    for (size_t at = 0; at < kTarBlockSize; ++at) {
        const unsigned char byte = at >= kFieldAt && at < kFieldEnd ? ' ' : bytes[at];
        unsignedSum += byte;
        signedSum += static_cast<signed char>(byte);
    }
    return int64_t(stored.value) == unsignedSum || int64_t(stored.value) == signedSum;
}

bool hasUstarMagic(const UstarHeader& header) {
    static constexpr char kMagic[] = "ustar";
    auto* magic = reinterpret_cast<const unsigned char*>(header.magic);
    for (size_t i = 0; i < 5; ++i) {
        if (asciiLower(magic[i]) != static_cast<unsigned char>(kMagic[i])) return false;
    }
    return true;
}

std::string entryPath(const UstarHeader& header) {
    std::string name = fieldText(header.name, sizeof header.name);
    if (memcmp(header.magic, kPosixMagic, sizeof kPosixMagic) != 0 || header.prefix[0] == '\0') return name;
    return fieldText(header.prefix, sizeof header.prefix) + "/" + name;
}

}  // namespace brn
