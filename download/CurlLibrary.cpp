#include "download/CurlLibrary.h"

#include <dlfcn.h>

namespace velk {

namespace {

constexpr const char* kLibrary = "libcurl.so.4";  // the soname of every libcurl since 7.16

struct Loaded {
    CurlCalls calls{};
    std::string why;  // empty once every call was found and libcurl was set up
};

// Fills `call` with the symbol `name`; false, and `why` set, when the library lacks it.
template <class Call>
bool take(void* library, const char* name, Call& call, std::string& why) {
    call = reinterpret_cast<Call>(dlsym(library, name));
    if (call == nullptr) why = std::string(kLibrary) + " has no " + name;
    return call != nullptr;
}

Loaded load() {
    Loaded loaded;
    void* library = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        loaded.why = dlerror();
        return loaded;
    }
    CurlCalls& c = loaded.calls;
    std::string& why = loaded.why;
    const bool found =
        take(library, "curl_global_init", c.globalInit, why) && take(library, "curl_easy_init", c.easyInit, why) &&
        take(library, "curl_easy_cleanup", c.easyCleanup, why) && take(library, "curl_easy_reset", c.easyReset, why) &&
        take(library, "curl_easy_setopt", c.easySetopt, why) && take(library, "curl_easy_pause", c.easyPause, why) &&
        take(library, "curl_easy_strerror", c.easyStrerror, why) && take(library, "curl_multi_init", c.multiInit, why) &&
        take(library, "curl_multi_cleanup", c.multiCleanup, why) &&
        take(library, "curl_multi_add_handle", c.multiAddHandle, why) &&
        take(library, "curl_multi_remove_handle", c.multiRemoveHandle, why) &&
        take(library, "curl_multi_perform", c.multiPerform, why) && take(library, "curl_multi_poll", c.multiPoll, why) &&
        take(library, "curl_multi_info_read", c.multiInfoRead, why) &&
        take(library, "curl_slist_append", c.slistAppend, why) &&
        take(library, "curl_slist_free_all", c.slistFreeAll, why);
    if (found && c.globalInit(CURL_GLOBAL_DEFAULT) != CURLE_OK) why = "libcurl could not be set up";
    return loaded;
}

}  // namespace

const CurlCalls* curlCalls(std::string& why) {
    static const Loaded loaded = load();
    why = loaded.why;
    return loaded.why.empty() ? &loaded.calls : nullptr;
}

}  // namespace velk
