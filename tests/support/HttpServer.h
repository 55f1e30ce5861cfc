#pragma once
// The tests' HTTP(S) server (tests/support/http_server.py), run as a process of its own on
// 127.0.0.1 for as long as the object lives: it serves the files of one folder with ETag,
// Last-Modified, Range and If-Range, and does the faults its options name (drops, stalls,
// throttling, another version mid-download, lying lengths, redirects, error statuses). The
// constructor returns once it listens; requests() reads its log of requests so far.

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace velktest {

class HttpServer {
public:
    // Serves `root`; `options` are the script's fault options; `tls` "CERT KEY" serves HTTPS.
    explicit HttpServer(const std::string& root, const std::vector<std::string>& options = {},
                        const std::vector<std::string>& tls = {});
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    int port() const { return listening; }
    // "http://127.0.0.1:PORT/" + name (https:// when serving TLS).
    std::string url(const std::string& name) const;
    // One line per request answered: "GET PATH range=... if-range=... status=N first=N sent=N".
    std::string requests() const { return readFile(files / "log"); }

private:
    TempDir files;  // the port file and the request log
    pid_t pid = -1;
    int listening = 0;
    bool secure = false;
};

}  // namespace velktest
