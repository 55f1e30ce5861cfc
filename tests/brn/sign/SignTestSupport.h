#pragma once
// What the signature tests share: two key pairs made once by the real minisign (k.pub/k.sec
// and other.pub/other.sec, without password, in keyDir()), the command that runs minisign,
// and small edits of binary base64 lines.

#include <ostream>
#include <string>
#include <vector>

#include "brn/sign/SignVerdict.h"

namespace brn {

// GoogleTest prints a verdict by its text.
inline void PrintTo(SignVerdict verdict, std::ostream* out) { *out << signVerdictText(verdict); }

}  // namespace brn

namespace signtest {

const std::string& keyDir();

// minisign's path, quoted for /bin/sh.
std::string minisign();

// What `minisign -V` reports as the trusted comment of FILE.minisig, or "" when it refuses.
std::string minisignVerifies(const std::string& publicKey, const std::string& file, const std::string& signature);

std::string fromBase64(const std::string& line);
std::string toBase64(const std::string& bytes);

// The lines of `text`, without their LF.
std::vector<std::string> lines(const std::string& text);

// `text` with byte `at` changed (its lowest bit flipped).
std::string flipped(std::string text, size_t at);

// `line` (standard base64) with byte `at` of what it decodes to flipped.
std::string flippedBase64(const std::string& line, size_t at);

}  // namespace signtest
