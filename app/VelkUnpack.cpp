#include "app/VelkUnpack.h"

#include <malloc.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "VelkFile/UnPackFile.h"
#include "app/ExitStatus.h"
#include "app/ProgressLine.h"
#include "app/UnpackOptions.h"
#include "brn/tar/DiskEntryMaker.h"
#include "brn/untgza/StageLine.h"
#include "fs/Descriptors.h"
#include "fs/FileUtil.h"
#include "fs/Message.h"
#include "install/CustomInfo.h"
#include "install/InPlaceDestination.h"
#include "install/IndexingEntryMaker.h"
#include "install/KeptNameMaker.h"
#include "install/StagedDestination.h"
#include "install/PackageRun.h"
#include "install/ReusingEntryMaker.h"
#include "install/RollbackDestination.h"
#include "install/SourceFile.h"
#include "install/SourceSignature.h"
#include "install/VersionFile.h"

namespace velk {

namespace {

constexpr const char* kHelp =
    "usage: velk-unpack [OPTIONS] SOURCE DEST VERSION-FILE\n"
    "       velk-unpack --rollback DEST VERSION-FILE\n"
    "Unpacks every VELK package of SOURCE into DEST (emptied first, or made) and writes the\n"
    "PLVS version of the last package into VERSION-FILE. Options come before SOURCE.\n"
    "  --atomic               unpack beside DEST and swap it in whole: DEST is the old tree\n"
    "                         or the new one at every moment; the space is needed twice\n"
    "  -p, --preserve-permissions\n"
    "                         give files and folders their entry's mode & 0777\n"
    "  --link-unchanged       with --atomic: a file equal to the old tree's is linked, not written\n"
    "  --keep-previous        with --atomic: keep the replaced tree and its version beside DEST\n"
    "                         for --rollback (one kept tree; an update without it removes it)\n"
    "  --rollback             swap the kept tree back into DEST and its version into VERSION-FILE;\n"
    "                         again, to go forward; no other option, no SOURCE\n"
    "  --keep-backslashes     a backslash in an entry name is part of the name, as tar keeps\n"
    "                         it (default: a folder separator, as in packages made on Windows)\n"
    "  --pubkey KEYFILE       refuse SOURCE unless its minisign signature verifies (-8)\n"
    "  --signature SIGFILE    the signature to check (default: SOURCE.minisig)\n"
    "  --progress             a progress line on standard error, when it is a terminal\n"
    "  --progress-fd N        lines \"PERCENT BYTES TOTAL\" on descriptor N, \"100 BYTES BYTES\" last\n"
    "  --source-size N        SOURCE - brings N bytes: the feed gives a percent\n"
    "  --threads N            decipher, inflate and write on at most N threads (default 3,\n"
    "                         never more than the processors available; 1: one thread)\n"
    "  --timeout SECONDS      URL: no byte for this long is a lost connection (default 30)\n"
    "  --retries N            URL: tries in a row without a new byte before giving up (default 5)\n"
    "  --cacert FILE          URL: the CA bundle to verify the server with (default: the system's)\n"
    "  --help, --version      this text, or the version, and nothing else\n"
    "  --                     the next argument is SOURCE, even if it starts with '-'\n"
    "SOURCE - reads the package from standard input as it arrives (a file named - is ./-).\n"
    "SOURCE http://... or https://... downloads it, resuming after a lost connection;\n"
    "it needs --atomic, and --pubkey reads its signature from SOURCE.minisig.\n"
    "Exit status: 0 installed; -1 usage; -2 SOURCE missing; -3 cannot be opened; -4 not a\n"
    "regular file; -5 read failed; -8 signature refused; -7 not a complete install (nothing\n"
    "of it trusted); -6 the version file was not written. See velk-unpack(1).\n";

// The usage line, and a hint when there is more to say.
Verdict usage(const std::string& hint) {
    brn::messageLine("params: source path; dest path; version");
    if (!hint.empty()) brn::message("velk-unpack: %s\n", hint.c_str());
    return Verdict::kUsage;
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

// The processors this process may run on; 1 when that cannot be told.
int availableProcessors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    return CPU_COUNT(&set);
}

// Where the payloads are inflated and unpacked: on threads of their own (as many as --threads
// allows, never more than there are processors to run them), or, with one thread, or where
// the system makes no thread, in this one (nullptr).
std::unique_ptr<brn::CStageLine> stageLineFor(int asked) {
    const int threads = std::min({asked > 0 ? asked : brn::CStageLine::kMaxThreads, brn::CStageLine::kMaxThreads,
                                  availableProcessors()});
    if (threads < brn::CStageLine::kMinThreads) return nullptr;
#ifdef M_ARENA_MAX
    // One heap for every thread: the workers allocate little, a heap of their own would take
    // its own stretch of address space (scarce on a 32-bit device), and where it lands would
    // change the calls a run makes from one run to the next.
    mallopt(M_ARENA_MAX, 1);
#endif
    auto line = std::make_unique<brn::CStageLine>(threads);
    if (!line->start()) return nullptr;
    return line;
}

// The verdict on a run that read SOURCE, before the version file, with the line that says
// why it is not a complete install when it is not (the decoder said why it refused a package).
Verdict judgeRun(RunEnd end, const CSourceFile& source, const CUnPackFile& decoder, const std::string& sourcePath) {
    switch (end) {
        case RunEnd::kReadFailed:
            brn::message("source %s: %s\n", shownSource(sourcePath).c_str(), source.readFailure().c_str());
            break;
        case RunEnd::kSourceChanged: brn::messageLine("source changed while it was read"); break;
        case RunEnd::kEndsInsidePackage: brn::messageLine("tgz: unpack incomplete\r"); break;
        case RunEnd::kNoPackage: brn::messageLine("tgz: no package in the source\r"); break;
        case RunEnd::kWhole:
        case RunEnd::kDecodeFailed: break;
    }
    return verdictOf(end, decoder);
}

// The bytes SOURCE will bring, as far as they are known: a file's size, a URL's Content-Length,
// standard input's only from --source-size.
uint64_t sourceSize(const CSourceFile& source, const UnpackOptions& options) {
    return source.size() != 0 ? source.size() : options.sourceSize;
}

Verdict refuseWithoutVersion(const std::string& versionPath) {
    brn::message("no PLVS version: %s not written\n", versionPath.c_str());
    return Verdict::kNoVersion;
}

Verdict refuseSignature(brn::SignVerdict verdict) {
    brn::message("signature check failed: %s\n", brn::signVerdictText(verdict));
    return Verdict::kSignatureRefused;
}

// Hashes what reading left out and checks the signatures; prints the trusted comment, as
// minisign does, when they verify. kSourceReadFailed, kSignatureRefused or kOk.
Verdict verifySignature(CSourceSignature& signature, const CSourceFile& source, const std::string& sourcePath) {
    if (int error = signature.completeFrom(source); error != 0) {
        brn::message("source %s: read failed(%d,%s)\n", shownSource(sourcePath).c_str(), error, strerror(error));
        return Verdict::kSourceReadFailed;
    }
    const brn::SignVerdict verdict = signature.verdict();
    if (verdict != brn::SignVerdict::kOk) return refuseSignature(verdict);
    brn::messageLine("Signature and comment signature verified");
    brn::message("Trusted comment: %s\n", signature.trustedComment().c_str());
    return Verdict::kOk;
}

// The old tree's index, where it can be trusted to tell which files are unchanged; its digest
// key then keys the new index too, so that the files reused keep comparable digests. Null where
// there is none usable: every file is then compared by reading it.
CTreeIndexReader* readOldIndex(CDestination& dest, CTreeIndexReader& reader) {
    const IndexOpen opened = dest.readOldIndex(reader);
    if (opened == IndexOpen::kUsable) {
        dest.newIndex().useKey(reader.header().key);
        return &reader;
    }
    if (opened != IndexOpen::kMissing) {
        brn::message("dest %s: %s: its files are compared by reading them\n", dest.shown().c_str(), indexOpenText(opened));
    }
    return nullptr;
}

// The makers of one run, front to back: in place, the name of a version file inside DEST kept
// for the version; the record of the new tree's index; the old tree's equal files linked
// (--link-unchanged); the disk maker of the tree. Each outlives the decoder, whose tar stage may
// still close a file through it.
class CRunMakers {
public:
    CRunMakers(const UnpackOptions& options, CDestination& dest, const CVersionFile& version)
        : maker(dest.fd(), dest.shownTree() + "/") {
        maker.keepPermissions(options.keepPermissions);
        maker.keepBackslashes(options.keepBackslashes);
        maker.giveOwnership(dest.ownership());
        if (options.linkUnchanged) {
            reusing.emplace(maker, dest.reusableTree(), readOldIndex(dest, oldIndex), dest.keptTree());
        }
        indexing.emplace(reusing ? static_cast<brn::CEntryMaker&>(*reusing) : maker, maker, dest.newIndex());
        if (reusing) {
            indexing->watchBlocks([this](uint64_t block, const Digest& digest) { reusing->blockDigested(block, digest); });
        }
        if (!options.atomic && !version.belowDest().empty()) keeping.emplace(*indexing, version.belowDest());
    }
    CRunMakers(const CRunMakers&) = delete;
    CRunMakers& operator=(const CRunMakers&) = delete;

    brn::CEntryMaker& front() { return keeping ? static_cast<brn::CEntryMaker&>(*keeping) : *indexing; }
    brn::CDiskEntryMaker& disk() { return maker; }

private:
    brn::CDiskEntryMaker maker;
    CTreeIndexReader oldIndex;
    std::optional<CReusingEntryMaker> reusing;
    std::optional<CIndexingEntryMaker> indexing;
    std::optional<CKeptNameMaker> keeping;
};

// Decodes SOURCE into the folder the destination offers and judges the run. With a
// signature to check on the way (staged), every byte read is hashed, and its verdict comes
// before the decoder's: a file that is not the one signed is refused as such. A stream the
// decoder refused before its end is not read on: its verdict is the decoder's.
Verdict unpackInto(CSourceFile& source, const UnpackOptions& options, CDestination& dest, const CVersionFile& version,
                   CSourceSignature* signature, CProgressLine& line, CProgressFeed& feed, CPackageVersion& plvs) {
    // The makers outlive the decoder, whose tar stage may still close a file through them, and
    // the stage line outlives the decoder's pipelines, whose stages it runs.
    CRunMakers makers(options, dest, version);
    const std::unique_ptr<brn::CStageLine> stages = stageLineFor(options.threads);
    CUnPackFile decoder(makers.front(), CUnPackFile::Progress::kShown, stages.get());
    decoder.setOutCustomInfo(
        [&plvs](const CUnPackFile::PackageHead& head) { return plvs.take(head.label, head.customInfo); });
    decoder.init(options.dest);
    CPackageRun run(source, decoder, stages.get());
    run.addObserver([&line, &feed](uint64_t done) {
        line.update(done);
        feed.update(done);
    });
    if (signature != nullptr) {
        run.addReader([signature](const char* data, int length) { signature->observe(data, length); });
    }
    const RunEnd end = run.run();
    line.clear();
    if (signature != nullptr && run.restReadable(end)) {
        if (const Verdict verified = verifySignature(*signature, source, options.source); verified != Verdict::kOk) {
            return verified;
        }
    }
    const Verdict judged = judgeRun(end, source, decoder, options.source);
    if (judged == Verdict::kOk && makers.disk().applyPermissions() != 0) return Verdict::kDestFailed;
    return judged;
}

// A run that ends before unpacking: a file's signature still to be judged is judged first, as it
// would be on a usable DEST, and the verdict that prevails is given (app/ExitStatus.h). A stream
// is not read on for it, since the rest may never come: the verdict that ended the run is known now.
Verdict endBeforeUnpacking(Verdict ended, const CSourceFile& source, const std::string& sourcePath,
                           CSourceSignature* signature) {
    if (signature == nullptr || source.isStream()) return ended;
    return prevailing(verifySignature(*signature, source, sourcePath), ended);
}

// DEST is prepared (locked, then emptied, or a staging folder made), every package unpacked
// into it, and the install committed (install/Destination.h): durable before the version file
// names it. Staged, a tree no version file can name is not swapped in. A staging folder goes
// with every failure.
Verdict install(CSourceFile& source, const UnpackOptions& options, CDestination& dest, CVersionFile& version,
                CSourceSignature* signature, CProgressFeed& feed) {
    Verdict prepared = verdictOf(dest.prepare(version.belowDest()));
    if (prepared == Verdict::kOk) prepared = verdictOf(dest.readReplacedVersion(version));
    if (prepared != Verdict::kOk) {
        dest.discard();
        return endBeforeUnpacking(prepared, source, options.source, signature);
    }
    source.acceptOwnUnlink();
    CProgressLine line(options.progress && isatty(STDERR_FILENO) == 1, sourceSize(source, options));
    CPackageVersion plvs;
    Verdict verdict = unpackInto(source, options, dest, version, signature, line, feed, plvs);
    if (verdict == Verdict::kOk && plvs.value().empty()) verdict = refuseWithoutVersion(options.version);
    if (verdict == Verdict::kOk) verdict = verdictOf(dest.commit(version, plvs.value()));
    if (verdict != Verdict::kOk) {
        dest.discard();
        return verdict;
    }
    feed.succeed();
    return Verdict::kOk;
}

// What makes the command line unusable before any path is used: a hint for the usage line, or
// nothing. A relative path without a working folder is refused rather than resolved elsewhere.
std::string problemAtStart(UnpackOptions& options, int filled) {
    if (filled < 0) return "standard input, output or error cannot be opened";
    if (options.progressFd >= 0 && !isCallersWritableDescriptor(options.progressFd, filled)) {
        return "--progress-fd " + std::to_string(options.progressFd) + ": descriptor " +
               std::to_string(options.progressFd) + " is not open for writing";
    }
    if (readsFromTerminal(options.source)) return "SOURCE - reads a package from standard input, which is a terminal";
    if (std::string problem = relativePathsProblem({pathToResolve(options.source), options.dest, options.version,
                                                    options.publicKey, pathToResolve(options.signature),
                                                    options.download.settings.caFile});
        !problem.empty()) {
        return problem;
    }
    return downloadProblem(options.source, options.download);
}

// --pubkey: the key and the signature are read before DEST is touched. In place, the whole
// file is hashed and checked in a pass of its own first; staged, while it is unpacked, so it
// is read once and checked before the swap. The file's state is noted before the first
// pass, so a change between the two passes shows at the end as any other change does.
Verdict checkSignatureFirst(CSourceFile& source, const UnpackOptions& options, CSourceSignature& signature) {
    const brn::SignVerdict begun =
        signature.begin(options.publicKey, options.signature, options.source, options.download.settings);
    if (begun != brn::SignVerdict::kOk) return refuseSignature(begun);
    if (options.atomic) return Verdict::kOk;
    source.markStart();
    return verifySignature(signature, source, options.source);
}

std::unique_ptr<CDestination> destinationFor(const UnpackOptions& options) {
    if (options.atomic) return std::make_unique<CStagedDestination>(options.dest, options.keepPrevious);
    return std::make_unique<CInPlaceDestination>(options.dest);
}

// --rollback: DEST resolved and the version file checked before anything changes, then the kept
// tree swapped in (install/RollbackDestination.h) and the version it carries named.
Verdict rollBack(const UnpackOptions& options) {
    CRollbackDestination dest(options.dest);
    const Verdict resolved = verdictOf(dest.resolve());
    if (resolved != Verdict::kOk) return resolved == Verdict::kUsage ? usage("") : resolved;
    CVersionFile version;
    if (const Verdict prepared = verdictOf(version.prepare(options.version, dest.path())); prepared != Verdict::kOk) {
        return prepared;
    }
    if (const Verdict ready = verdictOf(dest.prepare(version.belowDest())); ready != Verdict::kOk) return ready;
    const Verdict committed = verdictOf(dest.commit(version, dest.target()));
    if (committed == Verdict::kOk) {
        brn::message("rolled back %s to version %s\n", options.dest.c_str(), dest.target().c_str());
    }
    return committed;
}

// Every path is resolved and every input checked before DEST is touched: SOURCE opened (and
// its signature read, with --pubkey), DEST resolved, the version file's folder opened. A
// SOURCE that cannot be used (or one inside DEST) never costs the installed tree, and a
// working folder inside DEST, gone once DEST is emptied or swapped, changes nothing; one gone
// already leaves relative paths nothing to be resolved against, and they are refused.
Verdict runUnpack(int argc, const char* const* argv) {
    const int filled = fillClosedStandardDescriptors();
    keepWorkingThroughSignals();
    UnpackOptions options;
    if (const ParsedOptions parsed = parseUnpackOptions(argc, argv, options); !parsed.ok) return usage(parsed.hint);
    if (options.help || options.showVersion) {
        fputs(options.help ? kHelp : "velk-unpack " VELK_VERSION "\n", stdout);
        return Verdict::kOk;
    }
    if (const std::string problem = problemAtStart(options, filled); !problem.empty()) return usage(problem);
    if (options.rollback) return rollBack(options);
    const std::unique_ptr<CDestination> dest = destinationFor(options);
    const Verdict resolved = verdictOf(dest->resolve());
    if (resolved == Verdict::kUsage) return usage("");
    CSourceFile source;
    if (const Verdict opened = verdictOf(source.open(options.source, options.download.settings)); opened != Verdict::kOk) {
        brn::message("source %s: %s\n", shownSource(options.source).c_str(), source.problem().c_str());
        return opened;
    }
    CSourceSignature signature;
    CSourceSignature* stagedSignature = nullptr;  // --atomic --pubkey: judged as it is unpacked
    if (!options.publicKey.empty()) {
        if (Verdict checked = checkSignatureFirst(source, options, signature); checked != Verdict::kOk) return checked;
        if (options.atomic) stagedSignature = &signature;
    }
    if (resolved != Verdict::kOk) return endBeforeUnpacking(resolved, source, options.source, stagedSignature);
    CVersionFile version;
    if (const Verdict prepared = verdictOf(version.prepare(options.version, dest->path())); prepared != Verdict::kOk) {
        return endBeforeUnpacking(prepared, source, options.source, stagedSignature);
    }
    CProgressFeed feed(options.progressFd, sourceSize(source, options));
    return install(source, options, *dest, version, stagedSignature, feed);
}

}  // namespace

int velkUnpack(int argc, const char* const* argv) { return exitStatus(runUnpack(argc, argv)); }

}  // namespace velk
