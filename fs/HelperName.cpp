#include "fs/HelperName.h"

#include <sys/random.h>

#include <climits>
#include <cstdint>
#include <cstdio>

namespace velk {

namespace {

constexpr size_t kHashDigits = 16;  // hex digits of the 64-bit hash
constexpr uint64_t kFnvOffset = 0xcbf29ce484222325u;
constexpr uint64_t kFnvPrime = 0x100000001b3u;

uint64_t fnv1a64(const std::string& bytes) {
    uint64_t hash = kFnvOffset;
    for (unsigned char byte : bytes) hash = (hash ^ byte) * kFnvPrime;
    return hash;
}

std::string hex64(uint64_t value) {
    char text[kHashDigits + 1];
    snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return std::string(text, kHashDigits);
}

}  // namespace

std::string helperName(const std::string& name, const std::string& suffix) {
    if (1 + name.size() + suffix.size() <= NAME_MAX) return "." + name + suffix;
    const size_t kept = NAME_MAX - 1 - 1 - kHashDigits - suffix.size();
    return "." + name.substr(0, kept) + "~" + hex64(fnv1a64(name)) + suffix;
}

std::string unpredictableName(const std::string& name, const std::string& suffix) {
    uint64_t random = 0;
    if (getrandom(&random, sizeof random, 0) != ssize_t(sizeof random)) return std::string();
    return helperName(name, "." + hex64(random) + suffix);
}

bool isHelperName(const std::string& candidate, const std::string& name, const std::string& suffix) {
    if (candidate == helperName(name, suffix)) return true;
    const std::string pattern = helperName(name, "." + std::string(kHashDigits, '0') + suffix);
    if (candidate.size() != pattern.size()) return false;
    const size_t digits = pattern.size() - suffix.size() - kHashDigits;
    for (size_t at = 0; at < pattern.size(); ++at) {
        const char c = candidate[at];
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        if (at >= digits && at < digits + kHashDigits ? !hex : c != pattern[at]) return false;
    }
    return true;
}

}  // namespace velk
