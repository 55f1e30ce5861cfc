#include "app/VelkInspect.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "VelkFile/UnPackFile.h"
#include "install/CustomInfo.h"
#include "app/ExitStatus.h"
#include "app/DownloadOptions.h"
#include "app/InspectReport.h"
#include "app/TreeCheck.h"
#include "app/OptionReader.h"
#include "install/PackageRun.h"
#include "app/ProgressLine.h"
#include "install/SourceFile.h"
#include "install/SourceSignature.h"
#include "fs/Descriptors.h"
#include "fs/FileUtil.h"
#include "fs/Message.h"
#include "brn/tar/ListingEntryMaker.h"

namespace velk {

namespace {

constexpr uint64_t kProgressThreshold = uint64_t(8) << 20;  // bytes; smaller files show no progress
constexpr const char* kListingRoot = ".";  // the destination the listing maker takes as empty

constexpr const char* kHelp =
    "usage: velk-inspect [--verify] [--json] [--keep-backslashes] [--pubkey KEYFILE [--signature SIGFILE]]\n"
    "                    PACKAGE-FILE\n"
    "       velk-inspect --check-tree DEST\n"
    "Lists every package of PACKAGE-FILE and its entries, decoded as velk-unpack decodes them,\n"
    "making nothing, and tells whether velk-unpack would succeed on it. PACKAGE-FILE - is\n"
    "standard input, read as it arrives; --pubkey then needs --signature. An http:// or\n"
    "https:// PACKAGE-FILE is downloaded, resuming after a lost connection.\n"
    "  --verify               a verdict line per package and for the file; a progress line\n"
    "                         on standard error, when it is a terminal, for files above 8 MiB\n"
    "  --json                 one JSON document instead of the text\n"
    "  --keep-backslashes     read names as velk-unpack --keep-backslashes does: a backslash\n"
    "                         is part of the name, not a folder separator\n"
    "  --pubkey KEYFILE       check the file's minisign signature as velk-unpack --pubkey does\n"
    "  --signature SIGFILE    the signature to check (default: PACKAGE-FILE.minisig)\n"
    "  --check-tree DEST      check the tree installed in DEST against its index: a line\n"
    "                         \"changed PATH\", \"missing PATH\" or \"added PATH\" for each\n"
    "                         difference; status 0 same, 4 differs, 5 no usable index\n"
    "  --timeout SECONDS      URL: no byte for this long is a lost connection (default 30)\n"
    "  --retries N            URL: tries in a row without a new byte before giving up (default 5)\n"
    "  --cacert FILE          URL: the CA bundle to verify the server with (default: the system's)\n"
    "  --help, --version      this text, or the version, and nothing else\n"
    "Exit status: 0 velk-unpack would succeed; 1 usage; 2 unreadable; 3 damaged or refused;\n"
    "4 an unsafe entry path; 5 no PLVS; 6 the signature does not verify. See velk-inspect(1).\n";

// velk-inspect's status for each verdict velk-unpack would come to on the file.
int inspectStatus(Verdict verdict) {
    switch (verdict) {
        case Verdict::kOk: return kInspectOk;
        case Verdict::kUsage: return kInspectUsage;
        case Verdict::kSourceMissing:
        case Verdict::kSourceUnopenable:
        case Verdict::kSourceNotRegular:
        case Verdict::kSourceReadFailed:
        case Verdict::kSourceChanged: return kInspectUnreadable;
        case Verdict::kUnsafeEntry: return kInspectUnsafeEntry;
        case Verdict::kNoVersion: return kInspectNoVersion;
        case Verdict::kSignatureRefused: return kInspectSignature;
        case Verdict::kPackageRefused:
        case Verdict::kEndsInsidePackage:
        case Verdict::kNoPackage:
        case Verdict::kDestFailed:
        case Verdict::kVersionFileFailed: break;
    }
    return kInspectDamaged;
}

struct Options {
    bool help = false;
    bool showVersion = false;
    bool verify = false;
    bool json = false;
    bool keepBackslashes = false;  // names as velk-unpack --keep-backslashes reads them
    std::string publicKey;  // --pubkey: check the signature
    std::string signature;  // --signature; empty: PACKAGE-FILE + ".minisig"
    std::string checkTree;  // --check-tree: the installed tree to check, no package
    DownloadOptions download;  // --timeout, --retries, --cacert: how a URL is fetched
    std::string path;
};

// Options may stand anywhere; "--" makes every later argument a file name. An option given
// twice, or with an empty value, is refused: it must never mean "no key".
bool parseArguments(int argc, const char* const* argv, Options& options) {
    std::vector<OptionRule> table = {
        flagOption("--help", nullptr, options.help),
        flagOption("--version", nullptr, options.showVersion),
        flagOption("--verify", nullptr, options.verify),
        flagOption("--json", nullptr, options.json),
        flagOption("--keep-backslashes", nullptr, options.keepBackslashes),
        textOption("--pubkey", "a key file", options.publicKey),
        textOption("--signature", "a signature file", options.signature),
        textOption("--check-tree", "a folder", options.checkTree),
    };
    for (OptionRule& rule : downloadOptionRules(options.download)) table.push_back(std::move(rule));
    const CommandLine line = readCommandLine(argc, argv, table, OptionPlace::kAnywhere);
    if (!line.ok) return false;
    if (options.help || options.showVersion) return true;
    if (!options.checkTree.empty()) {
        return line.operands.empty() && !options.verify && !options.json && !options.keepBackslashes &&
               options.publicKey.empty() && options.signature.empty();
    }
    if (line.operands.size() != 1) return false;
    options.path = line.operands[0];
    const bool signatureFound = !signaturePathFor(options.path, options.signature).empty();
    return (!options.publicKey.empty() || options.signature.empty()) &&
           (options.publicKey.empty() || signatureFound) && !readsFromTerminal(options.path);
}

// The PLVS text velk-unpack would take from this custom information.
void readVersion(const std::string& customInfo, PackageRecord& record) {
    const CustomInfoVersion version = readCustomInfoVersion(customInfo);
    record.hasPlvs = version.hasPlvs;
    if (version.hasPlvs) record.plvs = version.plvs;
}

// The cause of a failed payload, as the stage that failed knows it. A gzip stage holds the
// last decoded bytes back until its end, so the tar stage may fail inside gzip's finish.
std::string payloadFailureText(const brn::PipelineError& error) {
    switch (error.stage) {
        case brn::PipelineStage::kTar: return brn::describe(error.tar);
        case brn::PipelineStage::kGzip:
            return std::string("the end of the payload does not decode: ") + brn::describe(error.gzip);
        case brn::PipelineStage::kCipher: return "the deciphered payload was refused";
        case brn::PipelineStage::kNone: break;
    }
    return "the payload could not be decoded";
}

// Why the package failed, in words; the libraries' own messages went to standard error.
std::string failureText(const CUnPackFile& decoder, int hookResult) {
    switch (decoder.failure()) {
        case CUnPackFile::Failure::kBadMagic: return "no package starts here (bad magic)";
        case CUnPackFile::Failure::kBadHead: return "head check mismatch";
        case CUnPackFile::Failure::kRefused:
            return hookResult == CPackageVersion::kEmptyField
                       ? "empty label or custom information"
                       : "the custom information is not a JSON object, or its PLVS is an array or an object";
        case CUnPackFile::Failure::kEmptyPayload: return "payload length 0";
        case CUnPackFile::Failure::kPipelineInit: return "the payload decoder could not be set up";
        case CUnPackFile::Failure::kPayload: return payloadFailureText(decoder.pipelineError());
        case CUnPackFile::Failure::kNone: break;
    }
    return "failed";
}

// One run over one package file: the decoder with the listing maker and the report.
class CInspection {
public:
    // The progress line is blanked before each report line, which may share its terminal.
    CInspection(CInspectReport& report, CProgressLine& progress, bool keepBackslashes);
    CInspection(const CInspection&) = delete;
    CInspection& operator=(const CInspection&) = delete;
    // Reads the whole file and gives the verdict; checks `signature` on the way unless null.
    Verdict run(CSourceFile& source, const std::string& path, CSourceSignature* signature);

private:
    int onHead(const CUnPackFile::PackageHead& head);
    void settleBefore(uint64_t index);
    PackageRecord recordOf(uint64_t index) const;
    bool signatureFails(CSourceSignature& signature, const CSourceFile& source);
    Verdict judgeFailure(Verdict verdict);
    Verdict judgeEndInside();
    Verdict judgeWhole();

    CInspectReport& report;
    CProgressLine& progress;
    brn::CListingEntryMaker maker{std::string(kListingRoot) + "/"};  // one for the whole file: one destination
    CUnPackFile decoder{maker, CUnPackFile::Progress::kHidden};
    PackageRecord current;       // the last package whose head was read
    uint64_t settled = 0;           // packages given a verdict
    int hookResult = 0;             // the verdict of `versions` on `current`
    CPackageVersion versions;       // judges each head as velk-unpack does, keeps the last PLVS
};

CInspection::CInspection(CInspectReport& report, CProgressLine& progress, bool keepBackslashes)
    : report(report), progress(progress) {
    maker.keepBackslashes(keepBackslashes);
    maker.setEntryObserver([this](const brn::TAR_FILE_INFO_T& info) {
        this->progress.clear();
        this->report.entry(info);
    });
    decoder.setOutCustomInfo([this](const CUnPackFile::PackageHead& head) { return onHead(head); });
    decoder.init(std::string());
}

// The package's verdict is velk-unpack's own.
int CInspection::onHead(const CUnPackFile::PackageHead& head) {
    settleBefore(head.index);
    current = PackageRecord{};
    current.index = head.index;
    current.offset = head.offset;
    current.headRead = true;
    current.label = head.label;
    current.customInfo = head.customInfo;
    current.payloadLength = head.payloadLength;
    readVersion(head.customInfo, current);
    progress.clear();
    report.package(current);
    hookResult = versions.take(head.label, head.customInfo);
    return hookResult;
}

// Reaching package `index` means every package before it was whole.
void CInspection::settleBefore(uint64_t index) {
    if (current.headRead && current.index < index && settled <= current.index) {
        report.verdict(current, false, "OK");
        settled = current.index + 1;
    }
}

PackageRecord CInspection::recordOf(uint64_t index) const {
    if (current.headRead && current.index == index) return current;
    PackageRecord record;
    record.index = index;
    record.offset = decoder.packageOffset();
    return record;
}

Verdict CInspection::run(CSourceFile& source, const std::string& path, CSourceSignature* signature) {
    CPackageRun reading(source, decoder);
    reading.addObserver([this](uint64_t done) { progress.update(done); });
    if (signature != nullptr) {
        reading.addReader([signature](const char* data, int length) { signature->observe(data, length); });
    }
    const RunEnd end = reading.run();
    progress.clear();
    // As velk-unpack --pubkey: a file that is not the one signed is refused as such first.
    if (signature != nullptr && reading.restReadable(end) && signatureFails(*signature, source)) {
        settleBefore(decoder.packageIndex());
        report.fileVerdict(true, "the signature does not verify: velk-unpack --pubkey would refuse the file");
        return Verdict::kSignatureRefused;
    }
    const Verdict verdict = verdictOf(end, decoder);
    switch (verdict) {
        case Verdict::kOk: return judgeWhole();
        case Verdict::kSourceReadFailed:
            fprintf(stderr, "velk-inspect: %s: %s\n", shownSource(path).c_str(), source.readFailure().c_str());
            report.fileVerdict(true, "reading the file failed");
            return verdict;
        case Verdict::kSourceChanged: report.fileVerdict(true, "the file changed while it was read"); return verdict;
        case Verdict::kEndsInsidePackage: return judgeEndInside();
        case Verdict::kNoPackage: report.fileVerdict(true, "no package in the file"); return verdict;
        default: return judgeFailure(verdict);
    }
}

// Hashes what reading left out, checks the signatures and reports the verdict.
bool CInspection::signatureFails(CSourceSignature& signature, const CSourceFile& source) {
    if (int error = signature.completeFrom(source); error != 0) {
        report.signatureVerdict(true, std::string("the file could not be read: ") + strerror(error), "");
        return true;
    }
    const brn::SignVerdict verdict = signature.verdict();
    report.signatureVerdict(verdict != brn::SignVerdict::kOk, brn::signVerdictText(verdict), signature.trustedComment());
    return verdict != brn::SignVerdict::kOk;
}

// A package failed to decode (kPackageRefused, kUnsafeEntry).
Verdict CInspection::judgeFailure(Verdict verdict) {
    const uint64_t index = decoder.packageIndex();
    settleBefore(index);
    report.verdict(recordOf(index), true, failureText(decoder, hookResult));
    report.fileVerdict(true, "package " + std::to_string(index) + " would fail");
    return verdict;
}

Verdict CInspection::judgeEndInside() {
    const uint64_t index = decoder.packageIndex();
    settleBefore(index);
    report.verdict(recordOf(index), true, "the file ends inside this package");
    report.fileVerdict(true, "the file ends inside package " + std::to_string(index));
    return Verdict::kEndsInsidePackage;
}

Verdict CInspection::judgeWhole() {
    settleBefore(decoder.packageIndex());
    if (versions.value().empty()) {
        report.fileVerdict(true, "no package carries a PLVS value: velk-unpack would not write the version file");
        return Verdict::kNoVersion;
    }
    report.fileVerdict(false, "OK");
    return Verdict::kOk;
}

// The file's size for the JSON document is known only once it is open; a stat ahead of
// that is only for the report and may find nothing. A stream's is not known at all.
Json::Value sizeForReport(const std::string& path) {
    struct stat st;
    if (isStreamSource(path)) return Json::Value();
    return Json::UInt64(stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0);
}

// --pubkey: reads the key and the signature file; a failure is the verdict at once.
bool beginSignature(const Options& options, CSourceSignature& signature, CInspectReport& report) {
    if (options.publicKey.empty()) return true;
    const brn::SignVerdict verdict =
        signature.begin(options.publicKey, options.signature, options.path, options.download.settings);
    if (verdict == brn::SignVerdict::kOk) return true;
    report.signatureVerdict(true, brn::signVerdictText(verdict), "");
    report.fileVerdict(true, "the signature cannot be checked: velk-unpack --pubkey would refuse the file");
    return false;
}

// The usage line on standard error, and a hint when there is more to say.
int usage(const std::string& hint) {
    fputs("usage: velk-inspect [--verify] [--json] [--keep-backslashes] [--pubkey KEYFILE [--signature SIGFILE]]"
          " PACKAGE-FILE\n       velk-inspect --check-tree DEST\n", stderr);
    if (!hint.empty()) fprintf(stderr, "velk-inspect: %s\n", hint.c_str());
    return kInspectUsage;
}

}  // namespace

int velkInspect(int argc, const char* const* argv) {
    if (fillClosedStandardDescriptors() < 0) return kInspectUsage;
    Options options;
    if (!parseArguments(argc, argv, options)) return usage("");
    if (options.help || options.showVersion) {
        fputs(options.help ? kHelp : "velk-inspect " VELK_VERSION "\n", stdout);
        return kInspectOk;
    }
    if (!options.checkTree.empty()) {
        if (const std::string problem = relativePathsProblem({options.checkTree}); !problem.empty()) return usage(problem);
        return checkTree(options.checkTree);
    }
    const std::string file = pathToResolve(options.path);
    if (const std::string problem = relativePathsProblem({file, options.publicKey, pathToResolve(options.signature),
                                                          options.download.settings.caFile});
        !problem.empty()) {
        return usage(problem);
    }
    if (const std::string problem = downloadProblem(options.path, options.download); !problem.empty()) {
        return usage(problem);
    }
    // The report alone goes to standard output, so the JSON document stays one document.
    brn::setMessageStream(stderr);
    std::unique_ptr<CInspectReport> report;
    if (options.json) {
        report = std::make_unique<CJsonReport>(stdout, shownSource(options.path), sizeForReport(options.path));
    } else {
        report = std::make_unique<CTextReport>(stdout, options.verify);
    }
    Verdict verdict = Verdict::kOk;
    CSourceFile source;
    CSourceSignature signature;
    if (verdict = verdictOf(source.open(options.path, options.download.settings)); verdict != Verdict::kOk) {
        fprintf(stderr, "velk-inspect: %s: %s\n", shownSource(options.path).c_str(), source.problem().c_str());
        report->fileVerdict(true, source.problem());
    } else if (!beginSignature(options, signature, *report)) {
        verdict = Verdict::kSignatureRefused;
    } else {
        const bool showProgress = options.verify && isatty(STDERR_FILENO) == 1 &&
                                  (source.isStream() || source.size() > kProgressThreshold);
        CProgressLine progress(showProgress, source.size());
        CInspection inspection(*report, progress, options.keepBackslashes);
        verdict = inspection.run(source, options.path, options.publicKey.empty() ? nullptr : &signature);
    }
    const int status = inspectStatus(verdict);
    if (!report->finish(status)) fputs("velk-inspect: the report could not be written\n", stderr);
    return status;
}

}  // namespace velk
