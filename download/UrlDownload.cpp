#include "download/UrlDownload.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>

#include "download/CurlLibrary.h"
#include "download/UrlText.h"
#include "fs/Clock.h"
#include "fs/Message.h"

namespace velk {

namespace {

constexpr long kMaxRedirects = 5;
constexpr int kPollMilliseconds = 100;              // the longest wait for the network between two stall checks
constexpr int64_t kFirstPause = 250000000;          // ns before the first try after a loss
constexpr int64_t kLongestPause = 30 * kNanosecondsPerSecond;

bool isGone(long status) { return status == 404 || status == 410; }

// The pause before try `tries` in a row without progress: 0.25 s, doubling, at most 30 s.
int64_t pauseBefore(unsigned tries) {
    int64_t pause = kFirstPause;
    for (unsigned i = 1; i < tries && pause < kLongestPause; ++i) pause *= 2;
    return std::min(pause, kLongestPause);
}

std::string httpStatusText(long status) { return "the server answered HTTP " + std::to_string(status); }

}  // namespace

CUrlDownload::CUrlDownload() {
    curl = curlCalls(why);
    if (curl == nullptr) return;
    multi = curl->multiInit();
    easy = curl->easyInit();
}

CUrlDownload::~CUrlDownload() {
    if (curl == nullptr) return;
    endRequest();
    if (easy != nullptr) curl->easyCleanup(easy);
    if (multi != nullptr) curl->multiCleanup(multi);
    curl->slistFreeAll(headers);
}

DownloadOpen CUrlDownload::open(const std::string& address, const DownloadSettings& chosen) {
    url = address;
    shown = shownUrl(address);
    settings = chosen;
    if (curl == nullptr) return DownloadOpen::kFailed;  // `why` says why libcurl cannot be loaded
    if (multi == nullptr || easy == nullptr) {
        why = "libcurl could not be set up";
        return DownloadOpen::kFailed;
    }
    if (!startRequest()) return DownloadOpen::kFailed;
    const CURLcode ended = drive(true);
    if (judged) return DownloadOpen::kOpened;
    if (fault == Fault::kNone) why = failureText(ended);  // it ended before a usable head came
    return isGone(head.status()) ? DownloadOpen::kMissing : DownloadOpen::kFailed;
}

// Only http and https are spoken, on every hop; from https a redirect may lead to https only.
bool CUrlDownload::startRequest() {
    endRequest();
    curl->easyReset(easy);
    head = CResponseHead();
    judged = false;
    fault = Fault::kNone;
    skip = 0;
    curlError[0] = '\0';
    resumed = delivered > 0;
    curl->slistFreeAll(headers);
    headers = nullptr;
    if (resumed) headers = curl->slistAppend(nullptr, ("If-Range: " + validator).c_str());
    const std::string range = std::to_string(delivered) + "-";
    const bool set =
        curl->easySetopt(easy, CURLOPT_URL, url.c_str()) == CURLE_OK &&
        curl->easySetopt(easy, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
        curl->easySetopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, isHttpsUrl(url) ? "https" : "http,https") == CURLE_OK &&
        curl->easySetopt(easy, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
        curl->easySetopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK &&
        curl->easySetopt(easy, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
        curl->easySetopt(easy, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
        (settings.caFile.empty() || curl->easySetopt(easy, CURLOPT_CAINFO, settings.caFile.c_str()) == CURLE_OK) &&
        curl->easySetopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
        curl->easySetopt(easy, CURLOPT_CONNECTTIMEOUT, long(settings.timeoutSeconds)) == CURLE_OK &&
        curl->easySetopt(easy, CURLOPT_ERRORBUFFER, curlError) == CURLE_OK &&
        curl->easySetopt(easy, CURLOPT_HEADERFUNCTION, &CUrlDownload::onHeader) == CURLE_OK &&
        curl->easySetopt(easy, CURLOPT_HEADERDATA, this) == CURLE_OK &&
        curl->easySetopt(easy, CURLOPT_WRITEFUNCTION, &CUrlDownload::onBody) == CURLE_OK &&
        curl->easySetopt(easy, CURLOPT_WRITEDATA, this) == CURLE_OK &&
        (!resumed || (headers != nullptr && curl->easySetopt(easy, CURLOPT_RANGE, range.c_str()) == CURLE_OK &&
                      curl->easySetopt(easy, CURLOPT_HTTPHEADER, headers) == CURLE_OK));
    if (!set || curl->multiAddHandle(multi, easy) != CURLM_OK) {
        why = "libcurl could not be set up for " + shown;
        return false;
    }
    attached = true;
    requestStart = lastByte = monotonicNanoseconds();
    return true;
}

void CUrlDownload::endRequest() {
    if (attached) curl->multiRemoveHandle(multi, easy);
    attached = false;
}

// No byte for the timeout, or a head that has not come whole within it, is a lost connection:
// a server that trickles its head one line at a time cannot hold a request forever.
bool CUrlDownload::stalled() const {
    const int64_t now = monotonicNanoseconds(), limit = int64_t(settings.timeoutSeconds) * kNanosecondsPerSecond;
    return now - lastByte > limit || (!judged && now - requestStart > limit);
}

// Runs the request until it ends (its result), stalls, a callback refused it, or (untilHead)
// its head was judged usable: CURLE_AGAIN for the last three.
CURLcode CUrlDownload::drive(bool untilHead) {
    for (;;) {
        int running = 0;
        if (curl->multiPerform(multi, &running) != CURLM_OK) return CURLE_FAILED_INIT;
        int queued = 0;
        if (const CURLMsg* done = curl->multiInfoRead(multi, &queued); done != nullptr && done->msg == CURLMSG_DONE) {
            return done->data.result;
        }
        if (untilHead && judged) return CURLE_AGAIN;
        if (stalled()) {
            if (fault == Fault::kNone) refuse(Fault::kLost, "no byte for " + std::to_string(settings.timeoutSeconds) + " s");
            return CURLE_AGAIN;
        }
        if (curl->multiPoll(multi, nullptr, 0, kPollMilliseconds, nullptr) != CURLM_OK) return CURLE_FAILED_INIT;
    }
}

size_t CUrlDownload::onHeader(char* data, size_t size, size_t count, void* self) {
    return static_cast<CUrlDownload*>(self)->takeHead(data, size * count);
}

size_t CUrlDownload::onBody(char* data, size_t size, size_t count, void* self) {
    return static_cast<CUrlDownload*>(self)->takeBody(data, size * count);
}

// A length other than `length` refuses the request.
size_t CUrlDownload::takeHead(const char* data, size_t length) {
    lastByte = monotonicNanoseconds();
    head.takeLine(data, length);
    if (!head.complete() || judged) return length;
    judged = judgeHead();
    return judged ? length : 0;
}

size_t CUrlDownload::takeBody(const char* data, size_t length) {
    if (!judged) return 0;
    if (!consumer) return CURL_WRITEFUNC_PAUSE;  // open(): the body waits for readChunks
    const size_t skipped = size_t(std::min<uint64_t>(skip, length));
    skip -= skipped;
    if (totalKnown && length - skipped > total - delivered) {
        refuse(Fault::kChanged, "the server sent more than the " + std::to_string(total) + " bytes it announced");
        return 0;
    }
    if (!handOn(data + skipped, length - skipped)) return 0;
    lastByte = monotonicNanoseconds();  // the time the consumer took is no stall of the network
    return length;
}

// Gathers the bytes into the chunk and hands on every full one; false once the consumer
// took less than it was offered.
bool CUrlDownload::handOn(const char* data, size_t length) {
    while (length > 0) {
        const size_t part = std::min(length, chunk.size() - held);
        memcpy(chunk.data() + held, data, part);
        held += part;
        delivered += part;
        data += part;
        length -= part;
        if (held == chunk.size()) {
            const int took = consumer(chunk.data(), int(held));
            held = 0;
            if (took < int(chunk.size())) return refuse(Fault::kStopped, "");
        }
    }
    return true;
}

bool CUrlDownload::refuse(Fault found, const std::string& reason) {
    fault = found;
    why = reason;
    return false;
}

bool CUrlDownload::judgeHead() { return resumed ? judgeResumedHead() : judgeFirstHead(); }

// The first response must be a 200 whose length, if it gives one, can be held.
bool CUrlDownload::judgeFirstHead() {
    if (head.status() != 200) return refuse(Fault::kOpenFailed, httpStatusText(head.status()));
    if (head.malformed()) return refuse(Fault::kOpenFailed, "the server sent a length that cannot be used");
    validator = head.validator();
    totalKnown = head.hasLength();
    total = head.length();
    return true;
}

// A resumed response must prove it is of the first one's version: its validator the same, and
// its length the same where both are known. A 206 must start at the byte asked for; a 200 is
// the whole resource again, and the bytes handed on already are skipped.
bool CUrlDownload::judgeResumedHead() {
    const long status = head.status();
    if (isGone(status)) return refuse(Fault::kChanged, "the resource is gone: " + httpStatusText(status));
    if (status != 200 && status != 206) return refuse(Fault::kLost, httpStatusText(status));
    if (head.validator() != validator) return refuse(Fault::kChanged, "another version of the resource answered");
    const bool ranged = status == 206;
    if (ranged && (!head.hasRange() || head.rangeFirst() != delivered)) {
        return refuse(Fault::kLost, "the server sent a range that does not start at byte " + std::to_string(delivered));
    }
    const bool hasTotal = ranged ? head.hasRangeTotal() : head.hasLength();
    const uint64_t newTotal = ranged ? head.rangeTotal() : head.length();
    if (head.malformed() || (totalKnown && hasTotal && newTotal != total)) {
        return refuse(Fault::kChanged, "the resource's length changed");
    }
    if (!ranged) skip = delivered;
    return true;
}

DownloadEnd CUrlDownload::readChunks(size_t chunkSize, const std::function<int(const char*, int)>& onChunk) {
    chunk.assign(chunkSize, 0);
    consumer = onChunk;
    curl->easyPause(easy, CURLPAUSE_CONT);
    for (unsigned tries = 0;;) {
        const uint64_t before = delivered;
        const CURLcode result = drive(false);
        if (result == CURLE_OK && fault == Fault::kNone && (!totalKnown || delivered == total)) {
            whole = true;
            if (held > 0 && consumer(chunk.data(), int(held)) < int(held)) return DownloadEnd::kStopped;
            return DownloadEnd::kWhole;
        }
        if (fault == Fault::kNone) why = failureText(result);
        tries = delivered > before ? 1 : tries + 1;
        if (fault == Fault::kLost || fault == Fault::kNone || fault == Fault::kOpenFailed) retryAfter(tries);
        if (fault == Fault::kStopped) return DownloadEnd::kStopped;
        if (fault == Fault::kChanged) return DownloadEnd::kChanged;
        if (fault == Fault::kGaveUp) return DownloadEnd::kGaveUp;
    }
}

std::string CUrlDownload::failureText(CURLcode result) const {
    if (result == CURLE_OK) return "the response ended early";
    return curlError[0] != '\0' ? curlError : curl->easyStrerror(result);
}

// One line per resume, then the pause, then the request for the rest. Where no try is left,
// or the first response named no version, so that no later one could prove it is of the same
// resource once bytes were handed on, the download ends instead, and `why` says why.
void CUrlDownload::retryAfter(unsigned tries) {
    endRequest();
    if (validator.empty() && delivered > 0) {
        refuse(Fault::kChanged, "the connection was lost (" + why + ") and the server named no version (no ETag, "
                                "no Last-Modified): the rest cannot be proved to be of the same resource");
        return;
    }
    if (tries > settings.retries) {
        refuse(Fault::kGaveUp, std::to_string(settings.retries) + " tries in a row brought no byte: " + why);
        return;
    }
    const int64_t pause = pauseBefore(tries);
    const std::string of = totalKnown ? " of " + std::to_string(total) : std::string();
    brn::message("download %s: %s; resuming at byte %" PRIu64 "%s in %.2f s (try %u of %u)\n", shown.c_str(),
                 why.c_str(), delivered, of.c_str(), double(pause) / double(kNanosecondsPerSecond), tries,
                 settings.retries);
    pauseFor(pause);
    if (!startRequest()) fault = Fault::kGaveUp;
}

// One chunk one byte larger than allowed: a resource that fills it is too large.
SmallFetch fetchSmall(const std::string& url, const DownloadSettings& settings, size_t maxBytes, std::string& text,
                      std::string& problem) {
    CUrlDownload download;
    const DownloadOpen opened = download.open(url, settings);
    problem = download.problem();
    if (opened != DownloadOpen::kOpened) return opened == DownloadOpen::kMissing ? SmallFetch::kMissing : SmallFetch::kFailed;
    text.clear();
    const DownloadEnd end = download.readChunks(maxBytes + 1, [&text, maxBytes](const char* data, int length) {
        text.append(data, size_t(length));
        return text.size() > maxBytes ? 0 : length;
    });
    problem = download.problem();
    if (end == DownloadEnd::kWhole) return SmallFetch::kFetched;
    return end == DownloadEnd::kStopped ? SmallFetch::kTooLarge : SmallFetch::kFailed;
}

}  // namespace velk
