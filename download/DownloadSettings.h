#pragma once
// How a SOURCE given as a URL is fetched: the options --timeout, --retries and --cacert of
// velk-unpack and velk-inspect. Plain value.

#include <string>

namespace velk {

struct DownloadSettings {
    unsigned timeoutSeconds = 30;  // no byte (or no whole response head) for this long: the connection is lost
    unsigned retries = 5;          // requests in a row that may bring no new byte before the download gives up
    std::string caFile;            // the CA bundle certificates are verified with; empty: the system's
};

}  // namespace velk
