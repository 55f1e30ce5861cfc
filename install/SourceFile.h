#pragma once
// CSourceFile is the package file of one run, opened and checked once, before DEST is
// touched: every later read goes through that descriptor, so a SOURCE inside DEST is read
// whole even after DEST was emptied. markStart() notes its size and its modification and
// change times as reading begins; changedSinceStart() tells whether they moved by the end,
// for a file rewritten, or still being appended to, while it was read cannot be trusted to
// be one update. SOURCE "-" is standard input instead: a stream (a pipe, a socket, a file),
// read once to its end; its size is not known, and nothing about it can change. A parent may
// have made it non-blocking: reads wait for bytes (fs/FileUtil.h readWaiting), and its flags,
// shared with the parent, stay as they are. A pipe is widened to 1 MiB (F_SETPIPE_SZ, or the
// system's pipe-max-size where that is less), so the writer runs ahead by whole chunks.
// An http:// or https:// SOURCE is a stream too, fetched (download/UrlDownload.h): opening
// makes the first request, its size is the server's Content-Length when it sends one, and it
// changed when a resumed response was of another version of the resource.
// Calling order: open, markStart, readChunks, changedSinceStart.

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "download/DownloadSettings.h"
#include "fs/UniqueFd.h"

namespace velk {

// SOURCE "-" is standard input, and this is where it differs from a file, for both programs:
// it is read once, as it arrives, its size unknown (CSourceFile); it is no path, so nothing is
// resolved against the working folder for it; a terminal there brings no package and is
// refused; it has no name to find its signature by, so --pubkey needs --signature; and a run
// that ended early is not read on to its end for a signature (install/PackageRun.h
// restReadable), since the rest may never come. A file of that name is "./-".
// A URL differs from a file the same way, but that it has a size when the server gives one,
// and a name: its signature is the URL + ".minisig", fetched. A file of such a name is
// "./http:/...".
constexpr const char* kStandardInput = "-";
bool isStandardInput(const std::string& source);
// True for SOURCE "-" and for a URL: read once, as it arrives.
bool isStreamSource(const std::string& source);
// SOURCE's path to resolve against the working folder; empty for standard input and a URL.
std::string pathToResolve(const std::string& source);
// SOURCE as messages show it: a URL without its user and password.
std::string shownSource(const std::string& source);
// True for standard input that is a terminal.
bool readsFromTerminal(const std::string& source);
// The signature file (or URL) of SOURCE: `named`, or SOURCE + ".minisig"; empty for standard
// input when none is named.
std::string signaturePathFor(const std::string& source, const std::string& named);

class CUrlDownload;

// What opening SOURCE comes to.
enum class SourceOpen {
    kOpened,
    kMissing,     // no such file
    kUnopenable,  // it cannot be opened (a folder on its way the caller cannot search included)
    kNotRegular,  // it cannot be examined, or is a folder, a FIFO, a device
};

class CSourceFile {
public:
    CSourceFile();
    ~CSourceFile();
    CSourceFile(const CSourceFile&) = delete;
    CSourceFile& operator=(const CSourceFile&) = delete;

    // kOpened, or why not; problem() then says it in words ("not found(2,No such file or
    // directory)", "not a regular file", "the server answered HTTP 404", ...). A URL is
    // fetched with `settings`: 404 and 410 are kMissing, every other failure kUnopenable.
    SourceOpen open(const std::string& path, const DownloadSettings& settings = DownloadSettings());
    const std::string& problem() const { return why; }

    bool isStream() const { return stream; }
    // The bytes SOURCE brings: a file's size, a URL's Content-Length; 0 when not known.
    uint64_t size() const;
    // Hands SOURCE from where reading stands to its end to onChunk in chunks of kReadChunkSize
    // bytes, the last shorter (fs/FileUtil.h readChunks, whose codes it returns). After a
    // failure (-2), readFailure() says why.
    [[nodiscard]] int readChunks(const std::function<int(const char*, int)>& onChunk);
    // Why reading failed: "read failed(ERRNO,TEXT)", or for a URL why the download gave up.
    const std::string& readFailure() const { return why; }
    // Hands every byte from `offset` to the end to `take`, for a hash of the whole input: a file
    // is read there with pread (its position does not move), a stream where reading stopped,
    // waiting for bytes as the chunk reader does; a URL has no rest once it was read whole.
    // 0, or the errno of a failed read.
    int readRest(uint64_t offset, const std::function<void(const char* data, int length)>& take) const;

    // Notes the file's state the first time it is called; later calls change nothing.
    void markStart();
    // Emptying DEST unlinks a SOURCE that lies inside it, which moves its change time and link
    // count but not its content: call right after the emptying to take the new change time,
    // as long as the link count is all that moved besides it.
    void acceptOwnUnlink();
    bool changedSinceStart() const;

private:
    SourceOpen openUrl(const std::string& url, const DownloadSettings& settings);
    SourceOpen fail(SourceOpen outcome, const char* what, int error);

    CUniqueFd file;
    std::unique_ptr<CUrlDownload> download;  // a URL's; null for a file or standard input
    bool stream = false;
    bool downloadChanged = false;  // a resumed response was of another version of the resource
    bool marked = false;
    struct stat atStart {};
    std::string why;
};

}  // namespace velk
