#include "app/VelkUnpack.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "VelkFile/UnPackFile.h"
#include "app/CustomInfo.h"
#include "app/Destination.h"
#include "app/FileUtil.h"
#include "app/SourceFile.h"
#include "app/VersionFile.h"
#include "app/UniqueFd.h"
#include "brn/tar/DiskEntryMaker.h"

namespace velk {

namespace {

// Process-wide, as the hook is a plain function: the destination as given, and the
// PLVS value of the last custom information that had one.
std::string destPath;
std::string packageVersion;

int usage() {
    puts("params: source path; dest path; version");
    return kExitUsage;
}

// The work is on disk, the messages are a by-product: a reader of standard output that
// went away must not stop an install halfway, and a file size limit must fail a write
// (EFBIG, reported as any failed write) rather than kill the process.
void keepWorkingThroughSignals() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
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

// Durable before declared: the unpacked files reach the disk before the version file
// names them, so after a power cut a version file never claims a tree that is not there.
int syncDestination(const CDestination& dest) {
    if (syncfs(dest.fd()) == 0) return kExitOk;
    const int error = errno;
    printf("dest %s: syncfs failed(%d,%s)\n", dest.shown().c_str(), error, strerror(error));
    return kExitIncomplete;
}

int writeVersion(const std::string& versionPath, const CDestination& dest) {
    if (packageVersion.empty()) {
        printf("no PLVS version: %s not written\n", versionPath.c_str());
        return kExitVersionFailed;
    }
    const int written = replaceVersionFile(packageVersion, versionPath, dest);
    if (written < 0) {
        printf("write version file %s error %d\n", versionPath.c_str(), written);
        return kExitVersionFailed;
    }
    return kExitOk;
}

int unpackSource(CSourceFile& source, const std::string& sourcePath, const CDestination& dest,
                 const std::string& versionPath) {
    CUnPackFile decoder;
    brn::CDiskEntryMaker maker(dest.fd(), dest.shown() + "/");
    decoder.setEntryMaker(&maker);
    decoder.setOutCustomInfo(outCustomInfo);
    decoder.init(std::string());

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
    source.markStart();
    if (int result = readFile64(source.fd(), kChunkSize, onChunk, -1); result < 0) {
        printf("source %s: read failed (%d)\n", sourcePath.c_str(), result);
        return kExitReadFailed;
    }
    if (source.changedSinceStart()) {
        puts("source changed while it was read");
        return kExitIncomplete;
    }
    if (inputIsIncomplete(decoder, decodeFailed)) return kExitIncomplete;
    if (int synced = syncDestination(dest); synced != kExitOk) return synced;
    return writeVersion(versionPath, dest);
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

// SOURCE is opened and checked before DEST is touched, so a SOURCE that cannot be used
// (or one inside DEST) never costs the installed tree.
int velkUnpack(int argc, const char* const* argv) {
#ifdef VELK_FD_CHECK
    atexit(reportOpenDescriptors);
#endif
    keepWorkingThroughSignals();
    if (argc < 4) return usage();
    CDestination dest(argv[2]);
    const int resolved = dest.resolve();
    if (resolved == kExitUsage) return usage();
    CSourceFile source;
    if (int opened = source.open(argv[1]); opened != kExitOk) {
        printf("source %s: %s\n", argv[1], source.problem().c_str());
        return opened;
    }
    if (resolved != kExitOk) return resolved;
    if (int prepared = dest.prepare(); prepared != kExitOk) return prepared;
    destPath = argv[2];
    return unpackSource(source, argv[1], dest, argv[3]);
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
