#include "app/VelkUnpack.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>

#include "VelkFile/UnPackFile.h"
#include "app/ProgressLine.h"
#include "app/UnpackOptions.h"
#include "brn/tar/DiskEntryMaker.h"
#include "fs/Descriptors.h"
#include "fs/FileUtil.h"
#include "fs/Message.h"
#include "install/Commit.h"
#include "install/CustomInfo.h"
#include "install/Destination.h"
#include "install/PackageRun.h"
#include "install/ReusingEntryMaker.h"
#include "install/SourceFile.h"
#include "install/SourceSignature.h"
#include "install/VersionFile.h"

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
    "  --link-unchanged       with --atomic: a file equal to the old tree's is linked, not written\n"
    "  --keep-backslashes     a backslash in an entry name is part of the name, as tar keeps\n"
    "                         it (default: a folder separator, as in packages made on Windows)\n"
    "  --pubkey KEYFILE       refuse SOURCE unless its minisign signature verifies (-8)\n"
    "  --signature SIGFILE    the signature to check (default: SOURCE.minisig)\n"
    "  --progress             a progress line on standard error, when it is a terminal\n"
    "  --progress-fd N        lines \"PERCENT BYTES TOTAL\" on descriptor N, \"100 BYTES BYTES\" last\n"
    "  --source-size N        SOURCE - brings N bytes: the feed gives a percent\n"
    "  --help, --version      this text, or the version, and nothing else\n"
    "  --                     the next argument is SOURCE, even if it starts with '-'\n"
    "SOURCE - reads the package from standard input as it arrives (a file named - is ./-).\n"
    "Exit status: 0 installed; -1 usage; -2 SOURCE missing; -3 cannot be opened; -4 not a\n"
    "regular file; -5 read failed; -8 signature refused; -7 not a complete install (nothing\n"
    "of it trusted); -6 the version file was not written. See velk-unpack(1).\n";

// The usage line, and a hint when there is more to say.
int usage(const std::string& hint) {
    brn::messageLine("params: source path; dest path; version");
    if (!hint.empty()) brn::message("velk-unpack: %s\n", hint.c_str());
    return kExitUsage;
}

// The feed's descriptor must be the caller's, open for writing now: a number the caller never
// opened would be taken by the first file the program opens, and the feed written into it.
bool isCallersWritableDescriptor(int fd, int filledAtStart) {
    const bool filled = fd <= 2 && (filledAtStart & (1 << fd)) != 0;
    return !filled && isOpenForWriting(fd);
}

// The work is on disk, the messages are a by-product: a reader of standard output that
// went away must not stop an install halfway, and a file size limit must fail a write
// (EFBIG, reported as any failed write) rather than kill the process. --link-unchanged takes
// and at once gives back read leases: a writer opening the file in between sends SIGIO.
void keepWorkingThroughSignals() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGIO, SIG_IGN);
}

// The status of a run that read SOURCE, before the version file, with the line that says
// why it is not a complete install when it is not.
int judgeRun(RunEnd end, const CPackageRun& run, const std::string& sourcePath) {
    switch (end) {
        case RunEnd::kWhole: return kExitOk;
        case RunEnd::kReadFailed:
            brn::message("source %s: read failed(%d,%s)\n", sourcePath.c_str(), run.readError(),
                         strerror(run.readError()));
            return kExitReadFailed;
        case RunEnd::kSourceChanged: brn::messageLine("source changed while it was read"); break;
        case RunEnd::kDecodeFailed: break;  // the decoder said "tgz: unpack fail"
        case RunEnd::kEndsInsidePackage: brn::messageLine("tgz: unpack incomplete\r"); break;
        case RunEnd::kNoPackage: brn::messageLine("tgz: no package in the source\r"); break;
    }
    return kExitIncomplete;
}

// The bytes SOURCE will bring, as far as they are known: a stream's only from --source-size.
uint64_t sourceSize(const CSourceFile& source, const UnpackOptions& options) {
    return source.isStream() ? options.sourceSize : source.size();
}

int refuseWithoutVersion(const std::string& versionPath) {
    brn::message("no PLVS version: %s not written\n", versionPath.c_str());
    return kExitVersionFailed;
}

int refuseSignature(brn::SignVerdict verdict) {
    brn::message("signature check failed: %s\n", brn::signVerdictText(verdict));
    return kExitSignature;
}

// Hashes what reading left out and checks the signatures; prints the trusted comment, as
// minisign does, when they verify. kExitReadFailed, kExitSignature or kExitOk.
int verifySignature(CSourceSignature& signature, const CSourceFile& source, const std::string& sourcePath) {
    if (int error = signature.completeFrom(source); error != 0) {
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
// before the decoder's: a file that is not the one signed is refused as such. A stream the
// decoder refused before its end is not read on: its verdict is the decoder's.
int unpackInto(CSourceFile& source, const UnpackOptions& options, CDestination& dest, CSourceSignature* signature,
               CProgressLine& line, CProgressFeed& feed, CPackageVersion& plvs) {
    // The maker outlives the decoder, whose tar stage may still close a file through it.
    brn::CDiskEntryMaker maker(dest.fd(), dest.shownTree() + "/");
    maker.keepPermissions(options.keepPermissions);
    maker.keepBackslashes(options.keepBackslashes);
    maker.giveOwnership(dest.ownership());
    std::optional<CReusingEntryMaker> reusing;
    if (options.linkUnchanged) reusing.emplace(maker, dest.oldTreeFd());
    CUnPackFile decoder(reusing ? static_cast<brn::CEntryMaker&>(*reusing) : maker);
    decoder.setOutCustomInfo(
        [&plvs](const CUnPackFile::PackageHead& head) { return plvs.take(head.label, head.customInfo); });
    decoder.init(options.dest);
    CPackageRun run(source, decoder);
    run.addObserver([&line, &feed](const char*, int, uint64_t done) {
        line.update(done);
        feed.update(done);
    });
    if (signature != nullptr) {
        run.addReader([signature](const char* data, int length, uint64_t) { signature->observe(data, length); });
    }
    const RunEnd end = run.run();
    line.clear();
    if (signature != nullptr && run.restReadable(end)) {
        if (int verified = verifySignature(*signature, source, options.source); verified != kExitOk) return verified;
    }
    const int judged = judgeRun(end, run, options.source);
    if (judged == kExitOk && maker.applyPermissions() != 0) return kExitIncomplete;
    return judged;
}

// A run that ends before unpacking: a file's signature still to be judged is judged first, as it
// would be on a usable DEST, so -8 wins. A stream is not read on for it, since the rest may never
// come: the status that ended the run is known now.
int endBeforeUnpacking(int status, const CSourceFile& source, const std::string& sourcePath,
                       CSourceSignature* signature) {
    if (signature == nullptr || source.isStream()) return status;
    const int verified = verifySignature(*signature, source, sourcePath);
    return verified != kExitOk ? verified : status;
}

// DEST is prepared (locked, then emptied, or a staging folder made), every package unpacked
// into it, and the install committed (install/Commit.h): durable before the version file names
// it. Staged, a tree no version file can name is not swapped in. A staging folder goes with
// every failure.
int install(CSourceFile& source, const UnpackOptions& options, CDestination& dest, CVersionFile& version,
            CSourceSignature* signature, CProgressFeed& feed) {
    const int prepared = options.atomic ? dest.prepareStaged() : dest.prepareInPlace(version.belowDest());
    if (prepared != kExitOk) return endBeforeUnpacking(prepared, source, options.source, signature);
    source.acceptOwnUnlink();
    CProgressLine line(options.progress && isatty(STDERR_FILENO) == 1, sourceSize(source, options));
    CPackageVersion plvs;
    int status = unpackInto(source, options, dest, signature, line, feed, plvs);
    if (status == kExitOk && plvs.value().empty()) status = refuseWithoutVersion(options.version);
    if (status == kExitOk) status = commitInstall(dest, version, plvs.value());
    if (status != kExitOk) {
        (void)dest.discard();
        return status;
    }
    feed.succeed();
    return kExitOk;
}

// What makes the command line unusable before any path is used: a hint for the usage line, or
// nothing. A relative path without a working folder is refused rather than resolved elsewhere.
std::string problemAtStart(const UnpackOptions& options, int filled) {
    if (filled < 0) return "standard input, output or error cannot be opened";
    if (options.progressFd >= 0 && !isCallersWritableDescriptor(options.progressFd, filled)) {
        return "--progress-fd " + std::to_string(options.progressFd) + ": descriptor " +
               std::to_string(options.progressFd) + " is not open for writing";
    }
    const bool stream = options.source == "-";
    if (stream && isatty(STDIN_FILENO) == 1) return "SOURCE - reads a package from standard input, which is a terminal";
    return relativePathsProblem({stream ? std::string() : options.source, options.dest, options.version,
                                 options.publicKey, options.signature});
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

// Every path is resolved and every input checked before DEST is touched: SOURCE opened (and
// its signature read, with --pubkey), DEST resolved, the version file's folder opened. A
// SOURCE that cannot be used (or one inside DEST) never costs the installed tree, and a
// working folder inside DEST, gone once DEST is emptied or swapped, changes nothing; one gone
// already leaves relative paths nothing to be resolved against, and they are refused.
int velkUnpack(int argc, const char* const* argv) {
    const int filled = fillClosedStandardDescriptors();
    keepWorkingThroughSignals();
    UnpackOptions options;
    if (const ParsedOptions parsed = parseUnpackOptions(argc, argv, options); !parsed.ok) return usage(parsed.hint);
    if (options.help || options.showVersion) {
        fputs(options.help ? kHelp : "velk-unpack " VELK_VERSION "\n", stdout);
        return kExitOk;
    }
    if (const std::string problem = problemAtStart(options, filled); !problem.empty()) return usage(problem);
    CDestination dest(options.dest);
    const int resolved = dest.resolve();
    if (resolved == kExitUsage) return usage("");
    CSourceFile source;
    if (int opened = source.open(options.source); opened != kExitOk) {
        brn::message("source %s: %s\n", options.source.c_str(), source.problem().c_str());
        return opened;
    }
    CSourceSignature signature;
    CSourceSignature* stagedSignature = nullptr;  // --atomic --pubkey: judged as it is unpacked
    if (!options.publicKey.empty()) {
        if (int checked = checkSignatureFirst(source, options, signature); checked != kExitOk) return checked;
        if (options.atomic) stagedSignature = &signature;
    }
    if (resolved != kExitOk) return endBeforeUnpacking(resolved, source, options.source, stagedSignature);
    CVersionFile version;
    if (int prepared = version.prepare(options.version, dest.path()); prepared != kExitOk) {
        return endBeforeUnpacking(prepared, source, options.source, stagedSignature);
    }
    CProgressFeed feed(options.progressFd, sourceSize(source, options));
    return install(source, options, dest, version, stagedSignature, feed);
}

}  // namespace velk
