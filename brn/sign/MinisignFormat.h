#pragma once
// The text of minisign's key and signature files. parsePublicKey and parseSignature read a
// whole file into a record, decodeKeyText the base64 line of any key file, formatSignature
// writes a signature file from a record. Parsing never throws and sizes nothing from its
// input: every binary field has a fixed length, and a text above kMaxFileBytes or holding a
// NUL byte is refused. A line ends with LF after any number of CRs; the last line end may be
// missing. Records are plain values owned by the caller.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "brn/sign/SignVerdict.h"

namespace brn {

// No key or signature file minisign writes comes near this size.
constexpr size_t kMaxFileBytes = 8192;
// The longest comments minisign reads back: with its prefix, line end and string end, a
// trusted comment line fills 4096 bytes and an untrusted one 1024.
constexpr size_t kMaxTrustedCommentBytes = 4077;
constexpr size_t kMaxUntrustedCommentBytes = 1003;

constexpr size_t kKeyIdBytes = 8;
constexpr size_t kPublicKeyBytes = 32;     // Ed25519 public key
constexpr size_t kSignatureBytes = 64;     // Ed25519 signature
constexpr size_t kFileHashBytes = 64;      // BLAKE2b-512 of the signed file, which "ED" signs
using KeyId = std::array<uint8_t, kKeyIdBytes>;

struct MinisignPublicKey {
    KeyId keyId{};
    std::array<uint8_t, kPublicKeyBytes> key{};
};

enum class SignAlgorithm : int {
    kPrehashed = 0,  // "ED": Ed25519 over the file's BLAKE2b-512
    kLegacy = 1,     // "Ed": Ed25519 over the whole file (minisign -S -l)
};

struct MinisignSignature {
    SignAlgorithm algorithm = SignAlgorithm::kPrehashed;
    KeyId keyId{};
    std::array<uint8_t, kSignatureBytes> signature{};        // over the file's hash (or the file)
    std::string trustedComment;                             // after "trusted comment: ", no line end
    std::array<uint8_t, kSignatureBytes> globalSignature{};  // over signature ‖ trustedComment
};

// kOk, or kKeyMalformed: neither "untrusted comment: ..." and the key line, nor the key line alone.
[[nodiscard]] SignVerdict parsePublicKey(const std::string& text, MinisignPublicKey& key);

// kOk (legacy signatures too: the verifier refuses those), or kMalformed.
[[nodiscard]] SignVerdict parseSignature(const std::string& text, MinisignSignature& signature);

// The binary line of a key file: one optional "untrusted comment: " line, then one line of
// base64 that decodes to exactly `length` bytes, written to `out`. False for anything else.
[[nodiscard]] bool decodeKeyText(const std::string& text, uint8_t* out, size_t length);

// True when `text` fits one line of a minisign file: no CR, LF or NUL, at most maxBytes.
bool isCommentText(const std::string& text, size_t maxBytes);

// What the global signature covers: the signature's 64 bytes, then the trusted comment's.
std::string globalMessage(const MinisignSignature& signature);

// The four lines of a signature file, each ended by LF. Both comments must pass isCommentText.
std::string formatSignature(const MinisignSignature& signature, const std::string& untrustedComment);

// minisign's default trusted comment: "timestamp:<seconds>\tfile:<last part of path>\thashed".
std::string defaultTrustedComment(int64_t unixSeconds, const std::string& path);

}  // namespace brn
