#pragma once
// libcurl, loaded when the first URL is fetched (dlopen of libcurl.so.4) rather than linked:
// libcurl brings some 26 libraries of its own (TLS, Kerberos, LDAP, ...), which, linked, would
// be mapped at every start and cost a run from a file or a stream about 6 MiB of memory and
// their load time. The calls are libcurl's own, taken from the library once and kept for the
// process; the types and constants come from its header. Ownership: the process keeps the
// library loaded; the table never changes after it was filled.

#include <curl/curl.h>

#include <string>

namespace velk {

struct CurlCalls {
    CURLcode (*globalInit)(long flags);
    CURL* (*easyInit)();
    void (*easyCleanup)(CURL* easy);
    void (*easyReset)(CURL* easy);
    CURLcode (*easySetopt)(CURL* easy, CURLoption option, ...);
    CURLcode (*easyPause)(CURL* easy, int bitmask);
    const char* (*easyStrerror)(CURLcode code);
    CURLM* (*multiInit)();
    CURLMcode (*multiCleanup)(CURLM* multi);
    CURLMcode (*multiAddHandle)(CURLM* multi, CURL* easy);
    CURLMcode (*multiRemoveHandle)(CURLM* multi, CURL* easy);
    CURLMcode (*multiPerform)(CURLM* multi, int* running);
    CURLMcode (*multiPoll)(CURLM* multi, curl_waitfd extra[], unsigned count, int timeoutMs, int* ready);
    CURLMsg* (*multiInfoRead)(CURLM* multi, int* queued);
    curl_slist* (*slistAppend)(curl_slist* list, const char* text);
    void (*slistFreeAll)(curl_slist* list);
};

// The calls, once libcurl was loaded and set up (curl_global_init); nullptr when it cannot be,
// and `why` then says why ("libcurl.so.4: cannot open shared object file ...").
const CurlCalls* curlCalls(std::string& why);

}  // namespace velk
