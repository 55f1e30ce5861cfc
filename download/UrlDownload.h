#pragma once
// CUrlDownload reads one http:// or https:// resource once, first byte to last, through
// libcurl, and hands its bytes on in chunks of a fixed size as they arrive: the resource is
// never held whole, only the chunk being gathered. When the connection drops, or no byte
// arrives for the timeout, it asks again for the rest (Range), guarded by the first response's
// validator (If-Range with its ETag, or Last-Modified), and a response that does not prove it
// is of that same version ends the download as changed. A server that answers with the whole
// resource instead has the bytes already handed on skipped. Certificates are always
// verified; only http and https are spoken, at most 5 redirects followed, and none from https
// to http. Every message shows the URL without its user and password.
// Calling order: open (the first request, up to its head), then readChunks once. Owns its
// libcurl handles; one download per object. libcurl is loaded with the first one
// (download/CurlLibrary.h).

#include <curl/curl.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "download/CurlLibrary.h"
#include "download/DownloadSettings.h"
#include "download/ResponseHead.h"

namespace velk {

// What the first request comes to.
enum class DownloadOpen {
    kOpened,   // a 200 came: the body follows
    kMissing,  // 404 or 410
    kFailed,   // any other status, a refused connection, a name that does not resolve, TLS, a stall
};

// How reading the body ended.
enum class DownloadEnd {
    kWhole,    // every byte was handed on, the last chunk included
    kStopped,  // the consumer took fewer bytes than offered: nothing more was read
    kGaveUp,   // the retries were used up without a byte; problem() says why
    kChanged,  // the resource changed between two responses (or was gone); problem() says how
};

class CUrlDownload {
public:
    CUrlDownload();
    ~CUrlDownload();
    CUrlDownload(const CUrlDownload&) = delete;
    CUrlDownload& operator=(const CUrlDownload&) = delete;

    // Makes the first request and waits for its head; the body waits for readChunks.
    DownloadOpen open(const std::string& url, const DownloadSettings& settings);
    // Why open failed or reading ended early, in words, the URL shown without its password.
    const std::string& problem() const { return why; }
    // The URL as messages show it: without its user and password.
    const std::string& name() const { return shown; }
    // The resource's length from the first response's Content-Length; 0 when it sent none.
    uint64_t size() const { return totalKnown ? total : 0; }
    // Hands the body to onChunk in chunks of exactly chunkSize bytes, the last one shorter, as
    // fs/FileUtil.h readChunks does for a descriptor. One buffer of chunkSize bytes.
    DownloadEnd readChunks(size_t chunkSize, const std::function<int(const char*, int)>& onChunk);
    // Whether every byte of the resource was handed on.
    bool ended() const { return whole; }

private:
    // Why a request ended before its response was read whole.
    enum class Fault {
        kNone,
        kLost,      // the connection dropped, stalled, or the response could not be used: ask again
        kChanged,   // another version of the resource answered, or none: stop
        kStopped,   // the consumer took less than offered: stop
        kOpenFailed,  // the first response was refused (its status, or a length it cannot have)
        kGaveUp,    // no try is left, or none could be started: stop
    };

    static size_t onHeader(char* data, size_t size, size_t count, void* self);
    static size_t onBody(char* data, size_t size, size_t count, void* self);
    size_t takeHead(const char* data, size_t length);
    size_t takeBody(const char* data, size_t length);
    bool judgeHead();
    bool judgeFirstHead();
    bool judgeResumedHead();
    bool refuse(Fault fault, const std::string& reason);
    bool startRequest();
    CURLcode drive(bool untilHead);
    bool handOn(const char* data, size_t length);
    bool stalled() const;
    void endRequest();
    void retryAfter(unsigned tries);
    std::string failureText(CURLcode result) const;

    const CurlCalls* curl = nullptr;  // libcurl's calls; null when it cannot be loaded
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;  // If-Range of a resumed request
    char curlError[CURL_ERROR_SIZE] = {};
    bool attached = false;          // `easy` is in `multi`

    std::string url;
    std::string shown;              // `url` without user and password
    DownloadSettings settings;
    CResponseHead head;             // of the response being read
    bool judged = false;            // its head was judged, and its body may be taken
    bool resumed = false;           // the request asks for the rest, from `delivered` on
    Fault fault = Fault::kNone;
    std::string why;

    std::string validator;          // the first response's ETag or Last-Modified
    bool totalKnown = false;
    uint64_t total = 0;             // the resource's length, when known
    uint64_t delivered = 0;         // bytes of the resource taken so far, from its start
    uint64_t skip = 0;              // bytes of this response already taken: a 200 to a range

    std::function<int(const char*, int)> consumer;  // empty during open: the body waits
    std::vector<char> chunk;        // the chunk being gathered
    size_t held = 0;                // bytes in `chunk`
    int64_t requestStart = 0;       // ns, monotonic
    int64_t lastByte = 0;           // ns, when the last byte of a head or body came (or was handed on)
    bool whole = false;
};

// What fetching a small resource whole comes to.
enum class SmallFetch {
    kFetched,
    kMissing,   // 404 or 410
    kTooLarge,  // more than the bytes allowed
    kFailed,    // any other failure of the download; problem says why
};

// Fetches the resource at `url` whole into `text` (a detached signature), at most maxBytes
// bytes, with the same resumes and checks as any download.
SmallFetch fetchSmall(const std::string& url, const DownloadSettings& settings, size_t maxBytes, std::string& text,
                      std::string& problem);

}  // namespace velk
