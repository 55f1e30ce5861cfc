#include "brn/sign/MinisignFormat.h"

#include <sodium.h>

#include <algorithm>
#include <string_view>
#include <vector>

namespace brn {
namespace {

// A signature file, four lines; every binary line is base64 with padding:
//   untrusted comment: <free text, not protected>
//   sig_alg 2 ("ED" prehashed, "Ed" legacy) | key_id 8 | signature 64           74 bytes
//   trusted comment: <text, protected by the global signature>
//   global signature 64: Ed25519 over signature ‖ the trusted comment's bytes
// A public key file: the comment line (optional here), then sig_alg 2 "Ed" | key_id 8 | key 32.
constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
constexpr size_t kMaxLines = 4;
constexpr size_t kKeyIdAt = 2;                              // after sig_alg, in both binary lines
constexpr size_t kValueAt = kKeyIdAt + kKeyIdBytes;         // the key or the signature
constexpr size_t kPublicKeyLineBytes = kValueAt + kPublicKeyBytes;  // 42
constexpr size_t kSignatureLineBytes = kValueAt + kSignatureBytes;  // 74

// Splits `text` into at most kMaxLines lines: LF ends a line, every CR just before it belongs
// to the line end (minisign drops them all), and the last line end may be missing. False for an
// empty text, more lines, a NUL byte (minisign would read the text only up to it) or a text
// above kMaxFileBytes.
bool splitLines(const std::string& text, std::vector<std::string_view>& lines) {
    lines.clear();
    if (text.empty() || text.size() > kMaxFileBytes || text.find('\0') != std::string::npos) return false;
    std::string_view rest(text);
    while (!rest.empty()) {
        if (lines.size() == kMaxLines) return false;
        size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
    }
    return true;
}

// Base64 with padding that decodes to exactly `length` bytes: no blank, no other character.
bool decodeBase64(std::string_view line, uint8_t* out, size_t length) {
    size_t decoded = 0;
    const char* end = nullptr;
    return sodium_base642bin(out, length, line.data(), line.size(), nullptr, &decoded, &end,
                             sodium_base64_VARIANT_ORIGINAL) == 0 &&
           end == line.data() + line.size() && decoded == length;
}

std::string encodeBase64(const uint8_t* data, size_t length) {
    std::string text(sodium_base64_ENCODED_LEN(length, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(&text[0], text.size(), data, length, sodium_base64_VARIANT_ORIGINAL);
    text.pop_back();  // the C string's end
    return text;
}

bool startsWith(std::string_view line, std::string_view prefix) { return line.substr(0, prefix.size()) == prefix; }

bool isAlgorithm(const uint8_t* field, std::string_view name) {
    return field[0] == uint8_t(name[0]) && field[1] == uint8_t(name[1]);
}

}  // namespace

bool decodeKeyText(const std::string& text, uint8_t* out, size_t length) {
    std::vector<std::string_view> lines;
    if (!splitLines(text, lines) || lines.size() > 2) return false;
    if (lines.size() == 2 && !startsWith(lines[0], kUntrustedPrefix)) return false;
    return decodeBase64(lines.back(), out, length);
}

SignVerdict parsePublicKey(const std::string& text, MinisignPublicKey& key) {
    uint8_t line[kPublicKeyLineBytes];
    if (!decodeKeyText(text, line, sizeof line) || !isAlgorithm(line, "Ed")) return SignVerdict::kKeyMalformed;
    std::copy_n(line + kKeyIdAt, kKeyIdBytes, key.keyId.begin());
    std::copy_n(line + kValueAt, kPublicKeyBytes, key.key.begin());
    return SignVerdict::kOk;
}

SignVerdict parseSignature(const std::string& text, MinisignSignature& signature) {
    std::vector<std::string_view> lines;
    uint8_t line[kSignatureLineBytes];
    std::array<uint8_t, kSignatureBytes> global;
    if (!splitLines(text, lines) || lines.size() != 4 || !startsWith(lines[0], kUntrustedPrefix) ||
        !decodeBase64(lines[1], line, sizeof line) || !startsWith(lines[2], kTrustedPrefix) ||
        !decodeBase64(lines[3], global.data(), global.size())) {
        return SignVerdict::kMalformed;
    }
    if (isAlgorithm(line, "ED")) {
        signature.algorithm = SignAlgorithm::kPrehashed;
    } else if (isAlgorithm(line, "Ed")) {
        signature.algorithm = SignAlgorithm::kLegacy;
    } else {
        return SignVerdict::kMalformed;
    }
    std::copy_n(line + kKeyIdAt, kKeyIdBytes, signature.keyId.begin());
    std::copy_n(line + kValueAt, kSignatureBytes, signature.signature.begin());
    signature.trustedComment.assign(lines[2].substr(kTrustedPrefix.size()));
    signature.globalSignature = global;
    return SignVerdict::kOk;
}

bool isCommentText(const std::string& text, size_t maxBytes) {
    return text.size() <= maxBytes && text.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
}

std::string globalMessage(const MinisignSignature& signature) {
    return std::string(signature.signature.begin(), signature.signature.end()) + signature.trustedComment;
}

std::string formatSignature(const MinisignSignature& signature, const std::string& untrustedComment) {
    uint8_t line[kSignatureLineBytes];
    std::copy_n(signature.algorithm == SignAlgorithm::kLegacy ? "Ed" : "ED", kKeyIdAt, line);
    std::copy_n(signature.keyId.begin(), kKeyIdBytes, line + kKeyIdAt);
    std::copy_n(signature.signature.begin(), kSignatureBytes, line + kValueAt);
    return std::string(kUntrustedPrefix) + untrustedComment + "\n" + encodeBase64(line, sizeof line) + "\n" +
           std::string(kTrustedPrefix) + signature.trustedComment + "\n" +
           encodeBase64(signature.globalSignature.data(), kSignatureBytes) + "\n";
}

std::string defaultTrustedComment(int64_t unixSeconds, const std::string& path) {
    size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return "timestamp:" + std::to_string(unixSeconds) + "\tfile:" + name + "\thashed";
}

}  // namespace brn
