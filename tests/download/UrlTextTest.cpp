// What is judged and shown of a URL before a request, and what is read from a response head:
// no byte of a password in the shown form, wherever an '@' stands; no control byte or blank
// let through; lengths and ranges past 2^63 - 1, or malformed, never taken as numbers.

#include <gtest/gtest.h>

#include <string>

#include "download/ResponseHead.h"
#include "download/UrlText.h"

using namespace velk;

namespace {

TEST(UrlTextTest, TheShownFormHasNoUserOrPassword) {
    const struct { std::string url, shown; } rows[] = {
        {"http://host/p.velk", "http://host/p.velk"},
        {"https://user:pw@host:8443/p.velk", "https://host:8443/p.velk"},
        {"HTTP://user@host/p.velk", "HTTP://host/p.velk"},
        {"http://user:p@ss@host/p.velk", "http://host/p.velk"},    // an '@' the password did not escape
        {"http://user:pw@host?mail=a@b", "http://host?mail=a@b"},  // an '@' in the query is no user info
        {"http://host/a@b.velk", "http://host/a@b.velk"},
        {"http://user:pw@", "http://"},
        {"./http:/user:pw@host", "./http:/user:pw@host"},  // a file, shown as it is
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.url);
        EXPECT_EQ(shownUrl(row.url), row.shown);
    }
}

TEST(UrlTextTest, OnlyAPrintableUrlWithAHostIsAskedFor) {
    const struct { std::string url; bool usable; } rows[] = {
        {"http://127.0.0.1:8080/p.velk", true},
        {"https://user:pw@host/p.velk?x=1", true},
        {"http://host/p.velk\r\nHost: evil", false},
        {"http://host/p velk", false},
        {std::string("http://host/p\0velk", 18), false},
        {"http://host/p\x7f", false},
        {"http://host/p\xc3\xa9", false},
        {"http:///p.velk", false},
        {"http://user:pw@/p.velk", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.url);
        EXPECT_EQ(urlProblem(row.url).empty(), row.usable) << urlProblem(row.url);
    }
    EXPECT_TRUE(isUrl("HTTPS://host/"));
    EXPECT_FALSE(isUrl("ftp://host/"));
    EXPECT_FALSE(isUrl("http:/host"));
}

CResponseHead headOf(const std::vector<std::string>& lines) {
    CResponseHead head;
    for (const std::string& line : lines) head.takeLine(line.data(), line.size());
    return head;
}

// A 206's Content-Range and a length: numbers up to 2^63 - 1 only; anything else is malformed.
TEST(UrlTextTest, AResponseHeadIsReadAsSent) {
    const struct {
        const char* name;
        std::vector<std::string> lines;
        bool complete, malformed, range;
        uint64_t first, total;
        std::string validator;
    } rows[] = {
        {"a range", {"HTTP/1.1 206 Partial\r\n", "ETag: \"v1\"\r\n", "Content-Range: bytes 100-199/200\r\n", "\r\n"},
         true, false, true, 100, 200, "\"v1\""},
        {"a redirect, then the answer", {"HTTP/1.1 302 Found\r\n", "Location: /x\r\n", "\r\n", "HTTP/1.1 200 OK\r\n",
         "Last-Modified: Thu, 01 Jan 2026 00:00:00 GMT\r\n", "\r\n"},
         true, false, false, 0, 0, "Thu, 01 Jan 2026 00:00:00 GMT"},
        {"a weak ETag is no validator", {"HTTP/2 200\r\n", "etag: W/\"v1\"\r\n", "\r\n"}, true, false, false, 0, 0, ""},
        {"a length of 2^63", {"HTTP/1.1 200 OK\r\n", "Content-Length: 9223372036854775808\r\n", "\r\n"},
         true, true, false, 0, 0, ""},
        {"a range past 2^63", {"HTTP/1.1 206 P\r\n", "Content-Range: bytes 0-1/99999999999999999999\r\n", "\r\n"},
         true, true, true, 0, 0, ""},
        {"a range that ends before it starts", {"HTTP/1.1 206 P\r\n", "Content-Range: bytes 9-1/20\r\n", "\r\n"},
         true, true, false, 0, 0, ""},
        {"a range past its total", {"HTTP/1.1 206 P\r\n", "Content-Range: bytes 0-20/20\r\n", "\r\n"},
         true, true, true, 0, 0, ""},
        {"no end of the head yet", {"HTTP/1.1 200 OK\r\n", "Content-Length: 5\r\n"}, false, false, false, 0, 0, ""},
        {"100 Continue", {"HTTP/1.1 100 Continue\r\n", "\r\n"}, false, false, false, 0, 0, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const CResponseHead head = headOf(row.lines);
        EXPECT_EQ(head.complete(), row.complete);
        EXPECT_EQ(head.malformed(), row.malformed);
        EXPECT_EQ(head.hasRange(), row.range);
        EXPECT_EQ(head.hasRange() ? head.rangeFirst() : 0, row.first);
        EXPECT_EQ(head.hasRangeTotal() ? head.rangeTotal() : 0, row.total);
        EXPECT_EQ(head.validator(), row.validator);
    }
}

}  // namespace
