#include "tests/support/HttpServer.h"

#include <signal.h>
#include <sys/wait.h>

#include <stdexcept>

namespace velktest {

namespace {

constexpr unsigned kLifetimeSeconds = 300;  // the server ends itself after this, whatever happens

}  // namespace

HttpServer::HttpServer(const std::string& root, const std::vector<std::string>& options,
                       const std::vector<std::string>& tls)
    : secure(!tls.empty()) {
    Launch how;
    how.argv = {python(), scriptDir() + "/http_server.py", "--root", root, "--port-file", files / "port", "--log",
                files / "log", "--lifetime", std::to_string(kLifetimeSeconds)};
    if (secure) how.argv.insert(how.argv.end(), {"--tls", tls.at(0), tls.at(1)});
    how.argv.insert(how.argv.end(), options.begin(), options.end());
    how.err = files / "stderr";
    how.hangSeconds = kLifetimeSeconds + 10;
    writeFile(files / "log", "");
    pid = launch(how);
    if (!waitUntil([this] { return exists(files / "port"); }, 30)) {
        throw std::runtime_error("the HTTP server did not start: " + readFile(files / "stderr"));
    }
    listening = std::stoi(readFile(files / "port"));
}

HttpServer::~HttpServer() {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

std::string HttpServer::url(const std::string& name) const {
    return std::string(secure ? "https" : "http") + "://127.0.0.1:" + std::to_string(listening) + "/" + name;
}

}  // namespace velktest
