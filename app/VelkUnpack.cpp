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
#include "app/PackageRun.h"
#include "app/SourceFile.h"
#include "app/UnpackOptions.h"
#include "app/VersionFile.h"
#include "app/UniqueFd.h"
#include "brn/tar/DiskEntryMaker.h"
#include "brn/Message.h"

namespace velk {

namespace {

// Process-wide, as the hook is a plain function: the destination as given, and the
// PLVS value of the last custom information that had one.
std::string destPath;
std::string packageVersion;

int usage() {
    brn::messageLine("params: source path; dest path; version");
    return kExitUsage;
}

// The work is on disk, the messages are a by-product: a reader of standard output that
// went away must not stop an install halfway, and a file size limit must fail a write
// (EFBIG, reported as any failed write) rather than kill the process.
void keepWorkingThroughSignals() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

// The status of a run that read SOURCE, before the version file, with the line that says
// why it is not a complete install when it is not.
int judgeRun(RunEnd end, const CPackageRun& run, const std::string& sourcePath) {
    switch (end) {
        case RunEnd::kWhole: return kExitOk;
        case RunEnd::kReadFailed:
            brn::message("source %s: read failed (%d)\n", sourcePath.c_str(), run.readResult());
            return kExitReadFailed;
        case RunEnd::kSourceChanged: brn::messageLine("source changed while it was read"); break;
        case RunEnd::kDecodeFailed: break;  // the decoder said "tgz: unpack fail"
        case RunEnd::kEndsInsidePackage: brn::messageLine("tgz: unpack incomplete\r"); break;
        case RunEnd::kNoPackage: brn::messageLine("tgz: no package in the source\r"); break;
    }
    return kExitIncomplete;
}

int refuseWithoutVersion(const std::string& versionPath) {
    brn::message("no PLVS version: %s not written\n", versionPath.c_str());
    return kExitVersionFailed;
}

int writeVersion(const std::string& versionPath, const CDestination& dest) {
    if (packageVersion.empty()) return refuseWithoutVersion(versionPath);
    const int written = replaceVersionFile(packageVersion, versionPath, dest);
    if (written < 0) {
        brn::message("write version file %s error %d\n", versionPath.c_str(), written);
        return kExitVersionFailed;
    }
    return kExitOk;
}

// Decodes SOURCE into the folder the destination offers and judges the run.
int unpackInto(CSourceFile& source, const UnpackOptions& options, CDestination& dest) {
    CUnPackFile decoder;
    brn::CDiskEntryMaker maker(dest.fd(), dest.shownPrefix());
    maker.keepPermissions(options.keepPermissions);
    decoder.setEntryMaker(&maker);
    decoder.setOutCustomInfo(outCustomInfo);
    decoder.init(std::string());
    CPackageRun run(source, decoder);
    const RunEnd end = run.run();
    const int judged = judgeRun(end, run, options.source);
    if (judged == kExitOk && maker.applyPermissions() != 0) return kExitIncomplete;
    return judged;
}

// Durable before declared: the unpacked files reach the disk (and, staged, take DEST's
// place) before the version file names them, so after a power cut a version file never
// claims a tree that is not there.
int install(CSourceFile& source, const UnpackOptions& options, CDestination& dest) {
    const int prepared = options.atomic ? dest.prepareStaged() : dest.prepareInPlace();
    if (prepared != kExitOk) return prepared;
    int status = unpackInto(source, options, dest);
    // Staged, a tree no version file can name is not swapped in.
    if (status == kExitOk && options.atomic && packageVersion.empty()) status = refuseWithoutVersion(options.version);
    if (status == kExitOk) status = dest.commit();
    if (status != kExitOk) {
        dest.discard();
        return status;
    }
    return writeVersion(options.version, dest);
}

}  // namespace

// SOURCE is opened and checked before DEST is touched, so a SOURCE that cannot be used
// (or one inside DEST) never costs the installed tree.
int velkUnpack(int argc, const char* const* argv) {
    keepWorkingThroughSignals();
    UnpackOptions options;
    if (parseUnpackOptions(argc, argv, options) != kExitOk) return usage();
    CDestination dest(options.dest);
    const int resolved = dest.resolve();
    if (resolved == kExitUsage) return usage();
    CSourceFile source;
    if (int opened = source.open(options.source); opened != kExitOk) {
        brn::message("source %s: %s\n", options.source.c_str(), source.problem().c_str());
        return opened;
    }
    if (resolved != kExitOk) return resolved;
    destPath = options.dest;
    return install(source, options, dest);
}

int outCustomInfo(const std::string& customInfo, unsigned long long, std::string& label, std::string& outDir) {
    if (customInfo.empty() || label.empty()) return -1;
    const CustomInfoVersion version = readCustomInfoVersion(customInfo);
    if (!version.usable) {
        brn::messageLine("outCustomInfo ERROR");
        return -2;
    }
    if (version.hasPlvs) packageVersion = version.plvs;
    outDir = destPath;
    return 0;
}

}  // namespace velk
