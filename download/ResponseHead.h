#pragma once
// CResponseHead gathers what a download needs from the head of one HTTP response, line by
// line as libcurl hands them over: the status, the validators that tell one version of a
// resource from another (ETag, Last-Modified), its length and, for a range, where the bytes
// start and how long the whole is. A new status line (a redirect's next response) starts
// afresh; the empty line that ends a final head marks it complete. Plain value, no I/O.
// Calling order: takeLine for every line of the head, then read the fields.

#include <cstdint>
#include <string>

namespace velk {

class CResponseHead {
public:
    void takeLine(const char* data, size_t length);

    // Whether the empty line ended a head that is not a redirect (1xx, or 3xx with a Location).
    bool complete() const { return ended; }
    long status() const { return code; }
    // The strong ETag (a weak one, W/"...", cannot guard a range and is left out) or, without
    // one, Last-Modified: what identifies this version of the resource, and what If-Range asks
    // for; empty when neither came.
    std::string validator() const { return etag.empty() ? lastModified : etag; }
    bool hasLength() const { return lengthKnown; }
    uint64_t length() const { return contentLength; }     // Content-Length, when hasLength()
    bool hasRange() const { return rangeKnown; }          // a valid "bytes FIRST-LAST/TOTAL" came
    uint64_t rangeFirst() const { return firstByte; }
    bool hasRangeTotal() const { return totalKnown; }     // TOTAL was a number, not "*"
    uint64_t rangeTotal() const { return wholeLength; }
    // A header the download cannot use as sent (a length that is no number, or past 2^63 - 1).
    bool malformed() const { return refused; }

private:
    void takeStatusLine(const std::string& line);
    void takeField(const std::string& name, const std::string& value);
    void takeContentRange(const std::string& value);

    long code = 0;
    bool ended = false;
    bool redirect = false;  // a 3xx with a Location: libcurl follows it, another head comes
    std::string etag, lastModified;
    bool lengthKnown = false, rangeKnown = false, totalKnown = false, refused = false;
    uint64_t contentLength = 0, firstByte = 0, wholeLength = 0;
};

// A decimal number of at most 2^63 - 1 (what HTTP lengths are held in): digits only.
bool parseHttpNumber(const std::string& text, uint64_t& value);

}  // namespace velk
