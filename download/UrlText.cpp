#include "download/UrlText.h"

#include <strings.h>

namespace velk {

namespace {

constexpr const char* kHttp = "http://";
constexpr const char* kHttps = "https://";

bool startsWithFolded(const std::string& text, const char* prefix) {
    const size_t length = std::char_traits<char>::length(prefix);
    return text.size() >= length && strncasecmp(text.c_str(), prefix, length) == 0;
}

// Where the authority (user info, host, port) starts: right behind "://".
size_t authorityStart(const std::string& url) { return url.find("://") + 3; }

// Where the authority ends: at the first '/', '?' or '#', or the end.
size_t authorityEnd(const std::string& url) {
    const size_t end = url.find_first_of("/?#", authorityStart(url));
    return end == std::string::npos ? url.size() : end;
}

// Where the host starts: behind the user info, which ends at the authority's last '@' (a
// password may hold an '@' that was not escaped); a '@' further on, in the path or the query,
// is no part of it.
size_t hostStart(const std::string& url) {
    const size_t start = authorityStart(url), end = authorityEnd(url);
    const size_t at = url.rfind('@', end - 1);
    return at == std::string::npos || at < start ? start : at + 1;
}

}  // namespace

bool isUrl(const std::string& text) { return startsWithFolded(text, kHttp) || startsWithFolded(text, kHttps); }

bool isHttpsUrl(const std::string& url) { return startsWithFolded(url, kHttps); }

std::string urlProblem(const std::string& url) {
    for (const char c : url) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7f) return "a URL holds printable ASCII only: no blank, no control byte";
    }
    if (hostStart(url) >= authorityEnd(url)) return "the URL names no host";
    return std::string();
}

std::string shownUrl(const std::string& url) {
    if (!isUrl(url)) return url;
    return url.substr(0, authorityStart(url)) + url.substr(hostStart(url));
}

}  // namespace velk
