#include "app/VelkUnpack.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "VelkFile/UnPackFile.h"
#include "install/CustomInfo.h"
#include "install/Destination.h"
#include "install/PackageRun.h"
#include "app/ProgressLine.h"
#include "install/SourceFile.h"
#include "install/SourceSignature.h"
#include "app/UnpackOptions.h"
#include "install/VersionFile.h"
#include "fs/Message.h"
#include "brn/tar/DiskEntryMaker.h"

namespace velk {

namespace {

constexpr const char* kHelp =
    "usage: velk-unpack [OPTIONS] SOURCE DEST VERSION-FILE\n"
    "Unpacks every VELK package of SOURCE into DEST (emptied first, or made) and writes the\n"
    "PLVS version of the last package into VERSION-FILE. Options come before SOURCE.\n"
    "  --atomic               unpack beside DEST and swap it in whole: DEST is the old tree\n"
    "                         or the new one at every moment; the space is needed twice\n"
    "  -p, --preserve-permissions\n"
    "                         give files and folders their entry's mode & 0777\n"
    "  --pubkey KEYFILE       refuse SOURCE unless its minisign signature verifies (-8)\n"
    "  --signature SIGFILE    the signature to check (default: SOURCE.minisig)\n"
    "  --progress             a progress line on standard error, when it is a terminal\n"
    "  --progress-fd N        lines \"PERCENT BYTES TOTAL\" on descriptor N, \"100 TOTAL TOTAL\" last\n"
    "  --help, --version      this text, or the version, and nothing else\n"
    "  --                     the next argument is SOURCE, even if it starts with '-'\n"
    "Exit status: 0 installed; -1 usage; -2 SOURCE missing; -3 cannot be opened; -4 not a\n"
    "regular file; -5 read failed; -8 signature refused; -7 not a complete install (nothing\n"
    "of it trusted); -6 the version file was not written. See velk-unpack(1).\n";

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

int writeVersion(const std::string& versionPath, const CDestination& dest, const std::string& packageVersion) {
    if (packageVersion.empty()) return refuseWithoutVersion(versionPath);
    const int written = replaceVersionFile(packageVersion, versionPath, dest);
    if (written < 0) {
        brn::message("write version file %s error %d\n", versionPath.c_str(), written);
        return kExitVersionFailed;
    }
    return kExitOk;
}

int refuseSignature(brn::SignVerdict verdict) {
    brn::message("signature check failed: %s\n", brn::signVerdictText(verdict));
    return kExitSignature;
}

// Hashes what reading left out and checks the signatures; prints the trusted comment, as
// minisign does, when they verify. kExitReadFailed, kExitSignature or kExitOk.
int verifySignature(CSourceSignature& signature, const CSourceFile& source, const std::string& sourcePath) {
    if (int error = signature.completeFrom(source.fd()); error != 0) {
        brn::message("source %s: read failed(%d,%s)\n", sourcePath.c_str(), error, strerror(error));
        return kExitReadFailed;
    }
    const brn::SignVerdict verdict = signature.verdict();
    if (verdict != brn::SignVerdict::kOk) return refuseSignature(verdict);
    brn::messageLine("Signature and comment signature verified");
    brn::message("Trusted comment: %s\n", signature.trustedComment().c_str());
    return kExitOk;
}

// Decodes SOURCE into the folder the destination offers and judges the run. With a
// signature to check on the way (staged), every byte read is hashed, and the verdict comes
// before the decoder's: a file that is not the one signed is refused as such.
int unpackInto(CSourceFile& source, const UnpackOptions& options, CDestination& dest, CSourceSignature* signature,
               CProgressLine& line, CProgressFeed& feed, CPackageVersion& version) {
    // The maker outlives the decoder, whose tar stage may still close a file through it.
    brn::CDiskEntryMaker maker(dest.fd(), dest.shownPrefix());
    CUnPackFile decoder(maker);
    maker.keepPermissions(options.keepPermissions);
    decoder.setOutCustomInfo(
        [&version](const CUnPackFile::PackageHead& head) { return version.take(head.label, head.customInfo); });
    decoder.init(options.dest);
    CPackageRun run(source, decoder);
    run.addObserver([&line, &feed](const char*, int, uint64_t done) {
        line.update(done);
        feed.update(done);
    });
    if (signature != nullptr) {
        run.addObserver([signature](const char* data, int length, uint64_t) { signature->observe(data, length); });
    }
    const RunEnd end = run.run();
    line.clear();
    if (signature != nullptr && end != RunEnd::kReadFailed) {
        if (int verified = verifySignature(*signature, source, options.source); verified != kExitOk) return verified;
    }
    const int judged = judgeRun(end, run, options.source);
    if (judged == kExitOk && maker.applyPermissions() != 0) return kExitIncomplete;
    return judged;
}

// Durable before declared: the unpacked files reach the disk (and, staged, take DEST's
// place) before the version file names them, so after a power cut a version file never
// claims a tree that is not there.
int install(CSourceFile& source, const UnpackOptions& options, CDestination& dest, CSourceSignature* signature,
            CProgressFeed& feed) {
    const int prepared = options.atomic ? dest.prepareStaged() : dest.prepareInPlace();
    if (prepared != kExitOk) {
        // A signature still to be judged comes first, as it would on a usable DEST.
        if (signature != nullptr) {
            if (int verified = verifySignature(*signature, source, options.source); verified != kExitOk) return verified;
        }
        return prepared;
    }
    CProgressLine line(options.progress && isatty(STDERR_FILENO) == 1, source.size());
    CPackageVersion version;
    int status = unpackInto(source, options, dest, signature, line, feed, version);
    // Staged, a tree no version file can name is not swapped in.
    if (status == kExitOk && options.atomic && version.value().empty()) status = refuseWithoutVersion(options.version);
    if (status == kExitOk) status = dest.commit();
    if (status != kExitOk) {
        dest.discard();
        return status;
    }
    status = writeVersion(options.version, dest, version.value());
    if (status == kExitOk) feed.succeed();
    return status;
}

// --pubkey: the key and the signature are read before DEST is touched. In place, the whole
// file is hashed and checked in a pass of its own first; staged, while it is unpacked, so it
// is read once and checked before the swap. The file's state is noted before the first
// pass, so a change between the two passes shows at the end as any other change does.
int checkSignatureFirst(CSourceFile& source, const UnpackOptions& options, CSourceSignature& signature) {
    const brn::SignVerdict begun = signature.begin(options.publicKey, options.signature, options.source);
    if (begun != brn::SignVerdict::kOk) return refuseSignature(begun);
    if (options.atomic) return kExitOk;
    source.markStart();
    return verifySignature(signature, source, options.source);
}

}  // namespace

// SOURCE is opened and checked (and its signature, with --pubkey) before DEST is touched,
// so a SOURCE that cannot be used (or one inside DEST) never costs the installed tree.
int velkUnpack(int argc, const char* const* argv) {
    keepWorkingThroughSignals();
    UnpackOptions options;
    if (parseUnpackOptions(argc, argv, options) != kExitOk) return usage();
    if (options.help || options.showVersion) {
        fputs(options.help ? kHelp : "velk-unpack " VELK_VERSION "\n", stdout);
        return kExitOk;
    }
    CDestination dest(options.dest);
    const int resolved = dest.resolve();
    if (resolved == kExitUsage) return usage();
    CSourceFile source;
    if (int opened = source.open(options.source); opened != kExitOk) {
        brn::message("source %s: %s\n", options.source.c_str(), source.problem().c_str());
        return opened;
    }
    CSourceSignature signature;
    const bool signedSource = !options.publicKey.empty();
    if (signedSource) {
        if (int checked = checkSignatureFirst(source, options, signature); checked != kExitOk) return checked;
    }
    if (resolved != kExitOk) return resolved;
    CProgressFeed feed(options.progressFd, source.size());
    return install(source, options, dest, signedSource && options.atomic ? &signature : nullptr, feed);
}

}  // namespace velk
