#include "download/ResponseHead.h"

#include <strings.h>

#include <cstdint>

namespace velk {

namespace {

constexpr uint64_t kLargestLength = uint64_t(INT64_MAX);

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

bool sameName(const std::string& name, const char* wanted) { return strcasecmp(name.c_str(), wanted) == 0; }

}  // namespace

bool parseHttpNumber(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    uint64_t parsed = 0;
    for (const char digit : text) parsed = parsed * 10 + uint64_t(digit - '0');
    if (parsed > kLargestLength) return false;
    value = parsed;
    return true;
}

void CResponseHead::takeLine(const char* data, size_t length) {
    const std::string line = trimmed(std::string(data, length));
    if (line.compare(0, 5, "HTTP/") == 0) return takeStatusLine(line);
    if (line.empty()) {
        ended = code >= 200 && !redirect;
        return;
    }
    const size_t colon = line.find(':');
    if (colon != std::string::npos) takeField(trimmed(line.substr(0, colon)), trimmed(line.substr(colon + 1)));
}

void CResponseHead::takeStatusLine(const std::string& line) {
    *this = CResponseHead();
    const size_t blank = line.find(' ');
    uint64_t status = 0;
    if (blank != std::string::npos && parseHttpNumber(line.substr(blank + 1, 3), status)) code = long(status);
}

void CResponseHead::takeField(const std::string& name, const std::string& value) {
    if (sameName(name, "Location")) {
        redirect = code >= 300 && code < 400;
    } else if (sameName(name, "ETag")) {
        if (value.compare(0, 2, "W/") != 0) etag = value;
    } else if (sameName(name, "Last-Modified")) {
        lastModified = value;
    } else if (sameName(name, "Content-Length")) {
        lengthKnown = parseHttpNumber(value, contentLength);
        refused = refused || !lengthKnown;
    } else if (sameName(name, "Content-Range")) {
        takeContentRange(value);
    }
}

// "bytes FIRST-LAST/TOTAL", TOTAL a number or "*".
void CResponseHead::takeContentRange(const std::string& value) {
    const size_t dash = value.find('-'), slash = value.find('/');
    uint64_t last = 0;
    rangeKnown = value.compare(0, 6, "bytes ") == 0 && dash != std::string::npos && slash != std::string::npos &&
                 dash < slash && parseHttpNumber(value.substr(6, dash - 6), firstByte) &&
                 parseHttpNumber(value.substr(dash + 1, slash - dash - 1), last) && last >= firstByte;
    const std::string total = value.substr(slash == std::string::npos ? value.size() : slash + 1);
    totalKnown = rangeKnown && total != "*" && parseHttpNumber(total, wholeLength) && wholeLength > last;
    refused = refused || !rangeKnown || (total != "*" && !totalKnown);
}

}  // namespace velk
