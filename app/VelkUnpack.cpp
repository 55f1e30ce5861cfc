#include "app/VelkUnpack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "VelkFile/UnPackFile.h"
#include "app/CustomInfo.h"
#include "app/FileUtil.h"
#include "app/UniqueFd.h"

namespace velk {

namespace {

// Process-wide, as the hook is a plain function: the destination as given, and the
// PLVS value of the last custom information that had one.
std::string destPath;
std::string packageVersion;

void printUsage() {
    puts("params: source path; dest path; version");
}

// An empty destination would put every entry at "/" + name, and the root (however it
// is spelled) would be emptied: both are refused before anything is removed.
bool isUnsafeDestination(const std::string& dest) {
    if (dest.empty()) return true;
    char resolved[PATH_MAX];
    return realpath(dest.c_str(), resolved) != nullptr && std::string(resolved) == "/";
}

// Empties DEST, or makes it. False, with a message, when DEST cannot take a clean
// install: an entry inside it could not be removed (stale files would then mix with the
// update), or it is not a directory at all. The run goes on, so that the source is still
// judged in the order of the exit statuses, but it cannot end with success.
bool prepareDestination(const std::string& dest) {
    if (isDirectory(dest)) {
        const int removed = removeDir(dest, false);
        if (removed < 0) {
            printf("dest %s cannot be emptied (%d)\n", dest.c_str(), removed);
            return false;
        }
        return true;
    }
    // makeDirs counts an existing file of any kind as made; only a directory will do.
    if (!makeDirs(dest) || !isDirectory(dest)) {
        printf("dest %s is not a directory\n", dest.c_str());
        return false;
    }
    return true;
}

int reportSourceError(const char* what, const std::string& path, int error, int status) {
    printf("source %s: %s(%d,%s)\n", path.c_str(), what, error, strerror(error));
    return status;
}

// Opens SOURCE for reading. O_NONBLOCK keeps a FIFO (or a device) from blocking the open;
// fstat then refuses it, and for a regular file the flag changes nothing.
int openSource(const std::string& path, CUniqueFd& source) {
    source.reset(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_LARGEFILE));
    if (source.get() < 0) return reportSourceError("cannot open", path, errno, kExitOpenFailed);
    struct stat st;
    if (fstat(source.get(), &st) != 0) return reportSourceError("cannot examine", path, errno, kExitNotRegular);
    if (!S_ISREG(st.st_mode)) {
        printf("source %s: not a regular file\n", path.c_str());
        return kExitNotRegular;
    }
    return kExitOk;
}

// Why the decoded input cannot be trusted as a complete install, if it cannot. A failed
// package was reported by the decoder ("tgz: unpack fail").
bool inputIsIncomplete(const CUnPackFile& decoder, bool decodeFailed) {
    if (decodeFailed) return true;
    if (!decoder.atPackageBoundary()) {
        puts("tgz: unpack incomplete\r");
        return true;
    }
    if (decoder.completedPackages() == 0) {
        puts("tgz: no package in the source\r");
        return true;
    }
    return false;
}

int writeVersion(const std::string& versionPath) {
    if (packageVersion.empty()) {
        printf("no PLVS version: %s not written\n", versionPath.c_str());
        return kExitVersionFailed;
    }
    const int written = writeFile(packageVersion, versionPath);
    if (written < 0) {
        printf("write version file %s error %d\n", versionPath.c_str(), written);
        return kExitVersionFailed;
    }
    return kExitOk;
}

int unpackSource(const std::string& sourcePath, bool destinationReady, const std::string& versionPath) {
    CUnPackFile decoder;
    decoder.setOutCustomInfo(outCustomInfo);
    decoder.init(std::string());

    CUniqueFd source;
    if (int opened = openSource(sourcePath, source); opened != kExitOk) return opened;

    // After the first failure no more bytes are taken, so the reader stops early and
    // a damaged file is never buffered whole.
    bool decodeFailed = false;
    auto onChunk = [&decoder, &decodeFailed](const char* data, int length) {
        if (decoder.buffToFile(data, length) < 0) {
            decodeFailed = true;
            return 0;
        }
        return length;
    };
    if (int result = readFile64(source.get(), kChunkSize, onChunk, -1); result < 0) {
        printf("source %s: read failed (%d)\n", sourcePath.c_str(), result);
        return kExitReadFailed;
    }

    if (inputIsIncomplete(decoder, decodeFailed) || !destinationReady) return kExitIncomplete;
    return writeVersion(versionPath);
}

#ifdef VELK_FD_CHECK
// Test builds only: tells how many descriptors are still open as the process ends, so
// the tests can see that every way through the program closed what it opened.
void reportOpenDescriptors() {
    int count = -1;  // the listing's own descriptor is not counted
    if (DirHandle dir(opendir("/proc/self/fd"), &closedir); dir) {
        while (const dirent* entry = readdir(dir.get())) {
            if (entry->d_name[0] != '.') ++count;
        }
    }
    fprintf(stderr, "open descriptors at exit: %d\n", count);
}
#endif

}  // namespace

int velkUnpack(int argc, const char* const* argv) {
#ifdef VELK_FD_CHECK
    atexit(reportOpenDescriptors);
#endif
    if (argc < 4 || isUnsafeDestination(argv[2])) {
        printUsage();
        return kExitUsage;
    }
    if (access(argv[1], F_OK) != 0) return reportSourceError("not found", argv[1], errno, kExitNoSource);
    const bool destinationReady = prepareDestination(argv[2]);
    destPath = argv[2];
    return unpackSource(argv[1], destinationReady, argv[3]);
}

int outCustomInfo(const std::string& customInfo, unsigned long long, std::string& label, std::string& outDir) {
    if (customInfo.empty() || label.empty()) return -1;
    const CustomInfoVersion version = readCustomInfoVersion(customInfo);
    if (!version.usable) {
        puts("outCustomInfo ERROR");
        return -2;
    }
    if (version.hasPlvs) packageVersion = version.plvs;
    outDir = destPath;
    return 0;
}

}  // namespace velk
