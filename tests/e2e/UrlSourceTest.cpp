// SOURCE as an http:// or https:// URL, fetched from a real server the test starts on
// 127.0.0.1 (tests/support/http_server.py): the tree a file gives, signed or not; a dropped
// connection resumed from the next byte, guarded by If-Range; stalls; a server that ignores
// Range; a resource replaced halfway; every failure with its status and DEST as it was; TLS
// with a CA made for the test; no password in any message; the options failing closed; and a
// kill at any call of a URL install.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <memory>
#include <sstream>

#include "tests/support/HttpServer.h"
#include "tests/support/Scene.h"
#include "tests/support/SyscallTrace.h"

using namespace velktest;

namespace {

// One request the server answered, from its log.
struct Request {
    std::string range;  // the Range header, "-" when none
    int status = 0;
    long long first = 0, sent = 0;  // the byte the body started at, and how many were sent
};

std::vector<Request> requestsOf(const HttpServer& server, const std::string& path) {
    std::vector<Request> found;
    std::istringstream lines(server.requests());
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string method, name, range, ifRange, status, first, sent;
        words >> method >> name >> range >> ifRange >> status >> first >> sent;
        if (name != path) continue;
        found.push_back({range.substr(6), std::stoi(status.substr(7)), std::stoll(first.substr(6)),
                         std::stoll(sent.substr(5))});
    }
    return found;
}

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

class UrlSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Under qemu-user libcurl and what it needs are loaded at run time from the target's
        // sysroot, which holds no complete set of them for every architecture.
        if (kEmulated) GTEST_SKIP() << "libcurl is loaded from the emulated target's sysroot";
        s.sh("mkdir -p www tree/etc && printf 'a=1\\n' > tree/etc/a.conf && " + quote(VELK_MINISIGN) +
             " -G -W -p k.pub -s k.sec > /dev/null");
        writeFile(s / "tree/big.bin", seededBytes(700000, 21));  // several chunks
        s.pack("tree", "www/big.velk", "big", 5);
        bigTree = describeTree(s / "tree");
        s.sh(quote(VELK_MINISIGN) + " -S -s k.sec -m www/big.velk > /dev/null");
        writeFile(s / "tree/big.bin", seededBytes(700000, 22));
        s.pack("tree", "www/other.velk", "other", 6);
        s.sh("cat www/big.velk www/other.velk > www/two.velk");
        twoTree = describeTree(s / "tree");
        restore();
    }
    void restore() {
        s.sh("rm -rf dest .dest.*velk-staging && mkdir dest && printf old > dest/old && printf old > version");
        before = s.state();
    }
    // velk-unpack OPTIONS... URL dest version, in the test folder.
    Outcome unpack(const std::vector<std::string>& options, const std::string& url) const {
        std::vector<std::string> args = options;
        args.insert(args.end(), {url, "dest", "version"});
        return s.unpack(args);
    }
    // The same with --atomic added to `options`.
    Outcome unpackAtomic(std::vector<std::string> options, const std::string& url) const {
        options.push_back("--atomic");
        return unpack(options, url);
    }
    // The run installed `tree` with its version, and left no staging folder.
    void expectInstalled(const Outcome& run, const std::string& tree, const std::string& plvs) const {
        EXPECT_EQ(run.status, 0) << run.all();
        EXPECT_EQ(s.state(), Scene::installed(tree, plvs));
        EXPECT_EQ(namesWith(s.path(), ".velk-staging"), "");
    }
    void expectUntouched(const Outcome& run, int status, const std::string& said) const {
        EXPECT_EQ(run.status, status) << run.all();
        EXPECT_NE(run.all().find(said), std::string::npos) << run.all();
        EXPECT_EQ(s.state(), before);
        EXPECT_EQ(namesWith(s.path(), ".velk-staging"), "");
    }

    Scene s;
    std::string bigTree, twoTree, before;
};

// Plain, and with --pubkey: the signature from URL + ".minisig", or a file --signature names.
// velk-inspect --verify lists the URL as it lists the file.
TEST_F(UrlSourceTest, AUrlInstallsTheTreeTheFileGives) {
    HttpServer server(s / "www");
    const std::string url = server.url("big.velk");
    expectInstalled(unpack({"--atomic"}, url), bigTree, "big");
    restore();
    const Outcome signedRun = unpack({"--atomic", "--pubkey", "k.pub"}, url);
    expectInstalled(signedRun, bigTree, "big");
    EXPECT_NE(signedRun.all().find("Signature and comment signature verified"), std::string::npos);
    EXPECT_EQ(requestsOf(server, "/big.velk.minisig").size(), 1u);
    restore();
    expectInstalled(unpack({"--atomic", "--pubkey", "k.pub", "--signature", "www/big.velk.minisig"}, url), bigTree, "big");
    restore();
    expectInstalled(unpack({"--atomic"}, server.url("two.velk")), twoTree, "other");
    // A signature for another file, or none at the URL: -8 before DEST is touched.
    restore();
    expectUntouched(unpack({"--atomic", "--pubkey", "k.pub"}, server.url("two.velk")), kSignatureFailed,
                    "signature check failed: ");
    s.sh("cp www/big.velk.minisig www/two.velk.minisig");
    expectUntouched(unpack({"--atomic", "--pubkey", "k.pub"}, server.url("two.velk")), kSignatureFailed,
                    "signature check failed: bad signature");
    EXPECT_EQ(s.sh(VELK_INSPECT " --verify " + quote(url)), s.sh(VELK_INSPECT " --verify www/big.velk"));
    EXPECT_EQ(shellStatus(s.cd() + VELK_INSPECT " --verify --pubkey k.pub " + quote(url) + " > log 2>&1"), 0) << s.log();
    EXPECT_EQ(shellStatus(s.cd() + VELK_INSPECT " --verify " + quote(server.url("none.velk")) + " > log 2>&1"), 2);
}

// A connection dropped inside the head, inside the payload and between two packages: each is
// resumed with one line, from the byte after the last one received, guarded by If-Range.
TEST_F(UrlSourceTest, ADroppedConnectionResumesFromTheNextByte) {
    const std::string first = std::to_string(readFile(s / "www/big.velk").size());
    const struct { const char* name; std::vector<std::string> drops; } rows[] = {
        {"inside the head", {"--drop-at", "100"}},
        {"inside the payload, twice", {"--drop-at", "250000", "--drop-at", "900000"}},
        {"between two packages", {"--drop-at", first}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        restore();
        HttpServer server(s / "www", row.drops);
        const Outcome run = unpack({"--atomic"}, server.url("two.velk"));
        expectInstalled(run, twoTree, "other");
        const std::vector<Request> requests = requestsOf(server, "/two.velk");
        ASSERT_EQ(requests.size(), row.drops.size() / 2 + 1) << server.requests();
        EXPECT_EQ(count(run.all(), "; resuming at byte "), row.drops.size() / 2) << run.all();
        EXPECT_EQ(requests[0].range, "-");
        for (size_t i = 1; i < requests.size(); ++i) {
            const long long next = requests[i - 1].first + requests[i - 1].sent;
            EXPECT_EQ(requests[i].range, "bytes=" + std::to_string(next) + "-");
            EXPECT_EQ(requests[i].status, 206);
            EXPECT_EQ(requests[i].first, next);
        }
    }
}

// A stall shorter than --timeout is waited out on the same connection; a longer one is a lost
// connection, resumed. A server that ignores Range sends the whole file again: the bytes
// already used are skipped.
TEST_F(UrlSourceTest, StallsAndAServerThatIgnoresRange) {
    const struct { const char* name; std::vector<std::string> server, options; size_t requests; int status; } rows[] = {
        {"a stall shorter than the timeout", {"--stall-at", "300000", "--stall-seconds", "0.3"}, {"--timeout", "5"}, 1, 0},
        {"a stall longer than the timeout", {"--stall-at", "300000", "--stall-seconds", "2.5"}, {"--timeout", "1"}, 2, 206},
        {"a server that ignores Range", {"--drop-at", "300000", "--ignore-range"}, {}, 2, 200},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        restore();
        HttpServer server(s / "www", row.server);
        const Outcome run = unpackAtomic(row.options, server.url("big.velk"));
        expectInstalled(run, bigTree, "big");
        // The stalled response is logged once the server's pause ends, after the resumed one.
        waitUntil([&] { return requestsOf(server, "/big.velk").size() >= row.requests; });
        std::vector<Request> requests = requestsOf(server, "/big.velk");
        std::sort(requests.begin(), requests.end(), [](const Request& a, const Request& b) { return a.range < b.range; });
        ASSERT_EQ(requests.size(), row.requests) << server.requests();
        if (row.requests > 1) {
            EXPECT_EQ(requests[1].status, row.status);
            EXPECT_EQ(requests[1].range, "bytes=300000-");
        }
        EXPECT_EQ(run.all().find("no byte for 1 s") != std::string::npos, row.status == 206) << run.all();
    }
}

// Every failure leaves DEST and the version file as they were, with its status.
TEST_F(UrlSourceTest, EachFailureHasItsStatusAndLeavesDest) {
    const std::string other = s / "www/other.velk";
    const struct {
        const char* name;
        std::vector<std::string> server, options;
        int status;
        std::string said;
    } rows[] = {
        {"404", {}, {}, kNoSource, "the server answered HTTP 404"},
        {"410", {"--status", "410"}, {}, kNoSource, "the server answered HTTP 410"},
        {"500", {"--status", "500"}, {}, kOpenFailed, "the server answered HTTP 500"},
        {"a Content-Length of 2^63", {"--content-length", "9223372036854775808"}, {}, kOpenFailed, "length"},
        {"the retries used up halfway", {"--drop-at", "300000", "--fail-resumes", "9"}, {"--retries", "2"}, kReadFailed,
         "2 tries in a row brought no byte: the server answered HTTP 503"},
        {"a 206 that starts elsewhere", {"--drop-at", "300000", "--range-off-by", "7"}, {"--retries", "1"}, kReadFailed,
         "a range that does not start at byte 300000"},
        {"replaced halfway", {"--replace-at", "300000", "--replacement", other}, {}, kIncomplete,
         "source changed while it was read"},
        {"replaced, and the server ignores Range", {"--replace-at", "300000", "--replacement", other, "--ignore-range"},
         {}, kIncomplete, "another version of the resource answered"},
        {"a drop where the server named no version", {"--drop-at", "300000", "--no-validators"}, {}, kIncomplete,
         "the rest cannot be proved to be of the same resource"},
        {"a 2^63 - 1 length that never comes", {"--content-length", "9223372036854775807"},
         {"--retries", "1", "--timeout", "1"},
         kReadFailed, "1 tries in a row brought no byte"},
        {"junk after the package, without end", {"--endless"}, {}, kIncomplete, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        restore();
        HttpServer server(s / "www", row.server);
        expectUntouched(unpackAtomic(row.options, server.url(row.name == std::string("404") ? "none.velk" : "big.velk")),
                        row.status, row.said);
    }
    // More bytes than Content-Length are never read as the package's.
    HttpServer extra(s / "www", {"--extra", "5000"});
    restore();
    expectInstalled(unpack({"--atomic"}, extra.url("big.velk")), bigTree, "big");
    // A refused connection, and a name that does not resolve.
    restore();
    expectUntouched(unpack({"--atomic"}, "http://127.0.0.1:" + std::to_string(extra.port() == 1 ? 2 : 1) + "/p.velk"),
                    kOpenFailed, "source http://127.0.0.1:");
    expectUntouched(unpack({"--atomic"}, "http://no-such-host.invalid/p.velk"), kOpenFailed, "resolve");
}

// A server that trickles bytes, each under --timeout, is not a stall: what bounds it is the
// package's length and the caller's own deadline, which --atomic makes safe to enforce.
TEST_F(UrlSourceTest, ATricklingServerIsBoundByTheCallersDeadline) {
    HttpServer server(s / "www", {"--trickle", "0.05"});
    const int status = shellStatus(s.cd() + "timeout -s KILL 3 " + VELK_UNPACK + " --atomic --timeout 1 " +
                                   quote(server.url("big.velk")) + " dest version > log 2>&1");
    EXPECT_EQ(status, 128 + SIGKILL) << s.log();
    EXPECT_EQ(s.state(), before);
    expectInstalled(unpack({"--atomic"}, HttpServer(s / "www").url("big.velk")), bigTree, "big");
}

// Progress takes its total from Content-Length, and is "- BYTES -" without one.
TEST_F(UrlSourceTest, TheFeedTakesItsTotalFromContentLength) {
    const std::string size = std::to_string(readFile(s / "www/big.velk").size());
    const struct { const char* name; std::vector<std::string> server; std::string total; } rows[] = {
        {"Content-Length", {}, size},
        {"no Content-Length", {"--no-length"}, "-"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        restore();
        HttpServer server(s / "www", row.server);
        ASSERT_EQ(s.unpackSh("--atomic --progress-fd 3 " + quote(server.url("big.velk")) + " dest version 3> feed"), 0)
            << s.log();
        // The first line is written before the last byte: it carries the total known then.
        const std::string feed = readFile(s / "feed");
        EXPECT_EQ(feed.substr(feed.rfind(' ', feed.find('\n')) + 1, feed.find('\n') - feed.rfind(' ', feed.find('\n'))),
                  row.total + "\n") << feed;
        EXPECT_EQ(feed.substr(feed.rfind('\n', feed.size() - 2) + 1), "100 " + size + " " + size + "\n") << feed;
    }
}

// TLS is verified with the CA --cacert names (or the system's, which does not know the test's
// CA); a certificate for another name, a redirect from https to http or to file:// are
// refused: -3.
TEST_F(UrlSourceTest, TlsIsAlwaysVerifiedAndRedirectsAreBounded) {
    s.sh("printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\\n' > ok.ext && "
         "printf 'subjectAltName=DNS:other.invalid\\n' > other.ext && "
         "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key -out ca.pem "
         "-days 2 -subj /CN=velk-test-ca 2> /dev/null && "
         "for name in ok other; do "
         "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout $name.key -out $name.csr "
         "-subj /CN=$name 2> /dev/null && openssl x509 -req -in $name.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
         "-out $name.pem -days 2 -extfile $name.ext 2> /dev/null; done");
    HttpServer tls(s / "www", {}, {s / "ok.pem", s / "ok.key"});
    HttpServer otherName(s / "www", {}, {s / "other.pem", s / "other.key"});
    HttpServer plain(s / "www");
    HttpServer toPlain(s / "www", {"--redirect", "http://127.0.0.1:" + std::to_string(plain.port())}, {s / "ok.pem", s / "ok.key"});
    HttpServer toFile(s / "www", {"--redirect", "file:///etc"});
    expectInstalled(unpack({"--atomic", "--cacert", "ca.pem"}, tls.url("big.velk")), bigTree, "big");
    restore();
    const struct { const char* name; std::vector<std::string> options; std::string url, said; } rows[] = {
        {"the system's CAs do not know the test's", {}, tls.url("big.velk"), "certificate"},
        {"a certificate for another name", {"--cacert", "ca.pem"}, otherName.url("big.velk"), "127.0.0.1"},
        {"a redirect from https to http", {"--cacert", "ca.pem"}, toPlain.url("big.velk"), "source https://"},
        {"a redirect to file://", {}, toFile.url("big.velk"), "source http://"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        expectUntouched(unpackAtomic(row.options, row.url), kOpenFailed, row.said);
    }
    EXPECT_EQ(requestsOf(plain, "/big.velk").size(), 0u) << "the redirect to http was followed";
}

// A redirect is followed, at most five times.
TEST_F(UrlSourceTest, AtMostFiveRedirectsAreFollowed) {
    HttpServer target(s / "www");
    std::vector<std::unique_ptr<HttpServer>> hops;
    std::string next = "http://127.0.0.1:" + std::to_string(target.port());
    for (int i = 0; i < 6; ++i) {
        hops.push_back(std::make_unique<HttpServer>(s / "www", std::vector<std::string>{"--redirect", next}));
        next = "http://127.0.0.1:" + std::to_string(hops.back()->port());
    }
    // hops[4] is five redirects from the file, hops[5] six.
    expectInstalled(unpack({"--atomic"}, hops[4]->url("big.velk")), bigTree, "big");
    restore();
    expectUntouched(unpack({"--atomic"}, hops[5]->url("big.velk")), kOpenFailed, "redirect");
}

// The user and password of a URL never appear: not on success, not in a resume line, not in a
// failure, not in velk-inspect's report.
TEST_F(UrlSourceTest, APasswordIsNeverPrinted) {
    HttpServer server(s / "www", {"--drop-at", "300000"});
    const std::string secret = "Tr0ub4dor", withPassword = "http://updater:" + secret + "@127.0.0.1:" +
                                                           std::to_string(server.port()) + "/";
    std::string said = unpack({"--atomic"}, withPassword + "big.velk").all();
    EXPECT_NE(said.find("resuming at byte 300000"), std::string::npos) << said;
    restore();
    said += unpack({"--atomic", "--pubkey", "k.pub"}, withPassword + "none.velk").all();
    said += unpack({"--atomic", "--pubkey", "k.pub"}, withPassword + "two.velk").all();
    said += unpack({"--atomic"}, "http://updater:" + secret + "@127.0.0.1:1/big.velk").all();
    said += s.sh(VELK_INSPECT " --json " + quote(withPassword + "none.velk") + " 2>&1; true");
    EXPECT_NE(said.find("source http://127.0.0.1:"), std::string::npos) << said;
    EXPECT_EQ(said.find(secret), std::string::npos) << said;
    EXPECT_EQ(said.find("updater"), std::string::npos) << said;
}

// Every option is input: empty, twice, after SOURCE, out of range, for a file SOURCE, a
// --cacert that is missing or a folder, a URL with a newline, a control byte or no host, and a
// URL without --atomic: the usage line, -1, nothing touched, no request made.
TEST_F(UrlSourceTest, TheOptionsFailClosed) {
    HttpServer server(s / "www");
    const std::string url = server.url("big.velk");
    const struct { const char* name; std::vector<std::string> args; std::string hint; } rows[] = {
        {"--timeout empty", {"--atomic", "--timeout", "", url}, ""},
        {"--timeout 0", {"--atomic", "--timeout", "0", url}, ""},
        {"--timeout twice", {"--atomic", "--timeout", "5", "--timeout", "6", url}, ""},
        {"--retries empty", {"--atomic", "--retries", "", url}, ""},
        {"--retries not a number", {"--atomic", "--retries", "-1", url}, ""},
        {"--cacert empty", {"--atomic", "--cacert", "", url}, ""},
        {"--cacert twice", {"--atomic", "--cacert", "k.pub", "--cacert", "k.pub", url}, ""},
        {"--cacert missing", {"--atomic", "--cacert", "none.pem", url}, "none.pem: cannot be read(2,"},
        {"--cacert a folder", {"--atomic", "--cacert", "www", url}, "www: not a regular file"},
        {"--timeout after SOURCE", {"--atomic", url, "dest", "version", "--timeout", "5"}, "options come before SOURCE"},
        {"--timeout for a file", {"--atomic", "--timeout", "5", "www/big.velk"}, "are for a URL SOURCE"},
        {"a URL without --atomic", {url}, "a URL SOURCE needs --atomic"},
        {"a URL with a newline", {"--atomic", url + "\nHost: evil"}, "no blank, no control byte"},
        {"a URL with a control byte", {"--atomic", url + "\x01"}, "no blank, no control byte"},
        {"a URL without a host", {"--atomic", "http://user:pw@/big.velk"}, "the URL names no host"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> args = row.args;
        if (args.size() < 5 || args[args.size() - 3] != url) args.insert(args.end(), {"dest", "version"});
        expectUntouched(s.unpack(args), kUsage, row.hint);
    }
    EXPECT_EQ(shellStatus(s.cd() + VELK_INSPECT " --timeout '' " + quote(url) + " > log 2>&1"), 1);
    EXPECT_EQ(shellStatus(s.cd() + VELK_INSPECT " --retries 1 www/big.velk > log 2>&1"), 1);
    EXPECT_EQ(server.requests(), "");
}

// Killed at a spread of calls while the download is staged and at every call from the sync on,
// the server a process of its own: DEST is wholly old or wholly new, the version file names the
// new tree only once it is in place, and the next run installs.
TEST_F(UrlSourceTest, KilledAtAnyCallAUrlInstallLeavesTheOldTreeOrTheNew) {
    if (kEmulated) GTEST_SKIP() << "strace would trace the emulator";
    HttpServer server(s / "www");
    const std::string url = server.url("big.velk");
    ASSERT_EQ(unpack({"--atomic"}, url).status, 0);
    sweep({s / "trace", "syncfs", "SIGKILL", 12, [&] { restore(); },
           [&](const std::vector<std::string>& tool) {
               return run(s.unpacking({"--atomic", url, "dest", "version"}, tool));
           },
           [&](const Outcome&) {
               const std::string now = s.state();
               EXPECT_TRUE(now == before || now == Scene::installed(bigTree, "old") ||
                           now == Scene::installed(bigTree, "big")) << now;
           },
           // The calls the package decides; the download's reads and allocations follow how
           // its bytes happen to arrive.
           {"openat", "mkdirat", "write", "fsync", "fdatasync", "fchmod", "fchown", "linkat", "renameat2",
            "unlinkat", "syncfs"}});
    restore();
    expectInstalled(unpack({"--atomic"}, url), bigTree, "big");
}

}  // namespace
