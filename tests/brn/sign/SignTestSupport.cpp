#include "tests/brn/sign/SignTestSupport.h"

#include <sodium.h>

#include <sstream>
#include <stdexcept>

#include "tests/support/TestSupport.h"

namespace signtest {

const std::string& keyDir() {
    static const velktest::TempDir dir;
    static const std::string path = [] {
        velktest::shell("cd " + velktest::quote(dir.path()) + " && " + minisign() + " -G -W -p k.pub -s k.sec && " +
                        minisign() + " -G -W -p other.pub -s other.sec");
        return dir.path();
    }();
    return path;
}

std::string minisign() { return velktest::quote(VELK_MINISIGN); }

std::string minisignVerifies(const std::string& publicKey, const std::string& file, const std::string& signature) {
    const std::string prefix = "Trusted comment: ";
    std::string report;
    try {
        report = velktest::shell(minisign() + " -V -p " + velktest::quote(publicKey) + " -m " + velktest::quote(file) +
                                 " -x " + velktest::quote(signature) + " 2>&1");
    } catch (const std::runtime_error&) {
        return "";
    }
    size_t at = report.find(prefix);
    if (at == std::string::npos || report.back() != '\n') return "";
    return report.substr(at + prefix.size(), report.size() - at - prefix.size() - 1);
}

std::string fromBase64(const std::string& line) {
    std::string bytes(line.size(), '\0');
    size_t length = 0;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(&bytes[0]), bytes.size(), line.data(), line.size(),
                          nullptr, &length, nullptr, sodium_base64_VARIANT_ORIGINAL) != 0) {
        throw std::runtime_error("not base64: " + line);
    }
    return bytes.substr(0, length);
}

std::string toBase64(const std::string& bytes) {
    std::string line(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(&line[0], line.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    line.pop_back();
    return line;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

std::string flipped(std::string text, size_t at) {
    text[at] = char(text[at] ^ 1);
    return text;
}

std::string flippedBase64(const std::string& line, size_t at) { return toBase64(flipped(fromBase64(line), at)); }

}  // namespace signtest
