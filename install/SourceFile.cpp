#include "install/SourceFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "download/UrlDownload.h"
#include "download/UrlText.h"
#include "fs/FileUtil.h"
#include "fs/Message.h"

namespace velk {

namespace {

constexpr int kStreamPipeSize = 1 << 20;  // a pipe's capacity asked for a stream, bytes

bool sameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// A pipe of 1 MiB, or as large as the system lets an unprivileged process make one
// (/proc/sys/fs/pipe-max-size): the writer runs ahead by whole chunks, and the reader takes
// them with fewer wake-ups. Where neither can be had the pipe stays as it is.
void widenPipe(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode) || fcntl(fd, F_GETPIPE_SZ) >= kStreamPipeSize) return;
    if (fcntl(fd, F_SETPIPE_SZ, kStreamPipeSize) >= 0) return;
    const CUniqueFd limit(::open("/proc/sys/fs/pipe-max-size", O_RDONLY | O_CLOEXEC));
    char text[32] = {};
    if (limit.get() < 0 || read(limit.get(), text, sizeof text - 1) <= 0) return;
    const long most = strtol(text, nullptr, 10);
    if (most > 0 && most < kStreamPipeSize) (void)fcntl(fd, F_SETPIPE_SZ, int(most));
}

}  // namespace

bool isStandardInput(const std::string& source) { return source == kStandardInput; }

bool isStreamSource(const std::string& source) { return isStandardInput(source) || isUrl(source); }

std::string pathToResolve(const std::string& source) { return isStreamSource(source) ? std::string() : source; }

std::string shownSource(const std::string& source) { return shownUrl(source); }

bool readsFromTerminal(const std::string& source) { return isStandardInput(source) && isatty(STDIN_FILENO) == 1; }

std::string signaturePathFor(const std::string& source, const std::string& named) {
    if (!named.empty() || isStandardInput(source)) return named;
    return source + ".minisig";
}

CSourceFile::CSourceFile() = default;
CSourceFile::~CSourceFile() = default;

// A path in a folder the caller may not search exists as far as anyone can tell: it is
// "cannot be opened", not "not found". O_NONBLOCK keeps a FIFO (or a device) from blocking
// the open; fstat then refuses it, and for a regular file the flag changes nothing.
SourceOpen CSourceFile::open(const std::string& path, const DownloadSettings& settings) {
    if (isUrl(path)) return openUrl(path, settings);
    if (isStandardInput(path)) {
        stream = true;
        file.reset(fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0));
        if (file.get() >= 0) widenPipe(file.get());
        return file.get() >= 0 ? SourceOpen::kOpened : fail(SourceOpen::kUnopenable, "cannot open standard input", errno);
    }
    if (access(path.c_str(), F_OK) != 0 && errno != EACCES) return fail(SourceOpen::kMissing, "not found", errno);
    file.reset(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_LARGEFILE));
    if (file.get() < 0) return fail(SourceOpen::kUnopenable, "cannot open", errno);
    if (fstat(file.get(), &atStart) != 0) return fail(SourceOpen::kNotRegular, "cannot examine", errno);
    if (!S_ISREG(atStart.st_mode)) return fail(SourceOpen::kNotRegular, "not a regular file", 0);
    return SourceOpen::kOpened;
}

SourceOpen CSourceFile::openUrl(const std::string& url, const DownloadSettings& settings) {
    stream = true;
    download = std::make_unique<CUrlDownload>();
    const DownloadOpen opened = download->open(url, settings);
    why = download->problem();
    if (opened == DownloadOpen::kOpened) return SourceOpen::kOpened;
    return opened == DownloadOpen::kMissing ? SourceOpen::kMissing : SourceOpen::kUnopenable;
}

uint64_t CSourceFile::size() const {
    if (download) return download->size();
    return stream ? 0 : uint64_t(atStart.st_size);
}

int CSourceFile::readChunks(const std::function<int(const char*, int)>& onChunk) {
    if (!download) {
        const int read = velk::readChunks(file.get(), kReadChunkSize, onChunk);
        if (read < 0) fail(SourceOpen::kOpened, "read failed", errno);
        return read;
    }
    switch (download->readChunks(kReadChunkSize, onChunk)) {
        case DownloadEnd::kWhole:
        case DownloadEnd::kStopped: return 0;
        case DownloadEnd::kChanged:
            downloadChanged = true;
            brn::message("download %s: %s\n", download->name().c_str(), download->problem().c_str());
            return 0;
        case DownloadEnd::kGaveUp: break;
    }
    why = download->problem();
    return kReadChunksFailed;
}

void CSourceFile::markStart() {
    if (!marked && !stream) marked = fstat(file.get(), &atStart) == 0;
}

void CSourceFile::acceptOwnUnlink() {
    struct stat now;
    if (!marked || fstat(file.get(), &now) != 0) return;
    const bool unlinked = now.st_nlink < atStart.st_nlink;
    if (unlinked && now.st_size == atStart.st_size && sameTime(now.st_mtim, atStart.st_mtim)) atStart = now;
}

bool CSourceFile::changedSinceStart() const {
    if (stream) return downloadChanged;
    struct stat now;
    if (fstat(file.get(), &now) != 0) return true;
    return now.st_size != atStart.st_size || !sameTime(now.st_mtim, atStart.st_mtim) ||
           !sameTime(now.st_ctim, atStart.st_ctim);
}

int CSourceFile::readRest(uint64_t offset, const std::function<void(const char*, int)>& take) const {
    if (download) return download->ended() ? 0 : EIO;
    std::vector<char> buffer(kReadChunkSize);
    for (;;) {
        const ssize_t got = stream ? readWaiting(file.get(), buffer.data(), buffer.size())
                                   : pread(file.get(), buffer.data(), buffer.size(), off_t(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return errno;
        if (got == 0) return 0;
        take(buffer.data(), int(got));
        offset += uint64_t(got);
    }
}

SourceOpen CSourceFile::fail(SourceOpen outcome, const char* what, int error) {
    why = what;
    if (error != 0) why += "(" + std::to_string(error) + "," + strerror(error) + ")";
    return outcome;
}

}  // namespace velk
