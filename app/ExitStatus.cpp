#include "app/ExitStatus.h"

#include <cstddef>

namespace velk {

namespace {

struct ExitRule {
    Verdict verdict;
    int status;
};

// velk-unpack's exit statuses, in the order in which they take precedence when several apply:
// the rule listed first wins. A file's signature is so judged before a DEST or a version file
// that cannot be used (app/VelkUnpack.cpp endBeforeUnpacking); a stream, which is not read on
// to its end for a signature once the run has ended, is the one exception.
constexpr ExitRule kExitTable[] = {
    {Verdict::kUsage, -1},              // the usage line; nothing was touched
    {Verdict::kSourceMissing, -2},
    {Verdict::kSourceUnopenable, -3},
    {Verdict::kSourceNotRegular, -4},
    {Verdict::kSourceReadFailed, -5},
    {Verdict::kSignatureRefused, -8},   // nothing was touched
    {Verdict::kSourceChanged, -7},      // -7: not a complete install; the version file is as it was
    {Verdict::kPackageRefused, -7},
    {Verdict::kUnsafeEntry, -7},
    {Verdict::kEndsInsidePackage, -7},
    {Verdict::kNoPackage, -7},
    {Verdict::kDestFailed, -7},
    {Verdict::kNoVersion, -6},          // -6: the version file was not written
    {Verdict::kVersionFileFailed, -6},
    {Verdict::kOk, 0},                  // last: any failure prevails over it
};

size_t rank(Verdict verdict) {
    size_t at = 0;
    while (kExitTable[at].verdict != verdict && kExitTable[at].verdict != Verdict::kOk) ++at;
    return at;
}

bool isUnsafePath(const CUnPackFile& decoder) {
    if (decoder.failure() != CUnPackFile::Failure::kPayload) return false;
    const brn::TarError tar = decoder.pipelineError().tar;
    return tar == brn::TarError::kDotDot || tar == brn::TarError::kThroughLink;
}

}  // namespace

Verdict verdictOf(SourceOpen outcome) {
    switch (outcome) {
        case SourceOpen::kOpened: return Verdict::kOk;
        case SourceOpen::kMissing: return Verdict::kSourceMissing;
        case SourceOpen::kUnopenable: return Verdict::kSourceUnopenable;
        case SourceOpen::kNotRegular: break;
    }
    return Verdict::kSourceNotRegular;
}

Verdict verdictOf(RunEnd end, const CUnPackFile& decoder) {
    switch (end) {
        case RunEnd::kWhole: return Verdict::kOk;
        case RunEnd::kReadFailed: return Verdict::kSourceReadFailed;
        case RunEnd::kSourceChanged: return Verdict::kSourceChanged;
        case RunEnd::kDecodeFailed: return isUnsafePath(decoder) ? Verdict::kUnsafeEntry : Verdict::kPackageRefused;
        case RunEnd::kEndsInsidePackage: return Verdict::kEndsInsidePackage;
        case RunEnd::kNoPackage: break;
    }
    return Verdict::kNoPackage;
}

// Every way DEST can fail to be ready but two is "not a complete install"; an empty DEST, or
// the root, is a usage error, and a version of the tree to keep that cannot be read the version
// file's failure.
Verdict verdictOf(DestOutcome outcome) {
    if (outcome == DestOutcome::kReady) return Verdict::kOk;
    if (outcome == DestOutcome::kVersionUnreadable) return Verdict::kVersionFileFailed;
    return outcome == DestOutcome::kUnusable ? Verdict::kUsage : Verdict::kDestFailed;
}

Verdict verdictOf(VersionOutcome outcome) {
    return outcome == VersionOutcome::kDone ? Verdict::kOk : Verdict::kVersionFileFailed;
}

// A commit that left the version file as it was for want of writing it is that; every other
// failure is DEST's, the new tree in place without its version included.
Verdict verdictOf(CommitOutcome outcome) {
    switch (outcome) {
        case CommitOutcome::kCommitted: return Verdict::kOk;
        case CommitOutcome::kVersionNotWritten: return Verdict::kVersionFileFailed;
        case CommitOutcome::kNotDurable:
        case CommitOutcome::kLockLost:
        case CommitOutcome::kNotSwapped:
        case CommitOutcome::kNoVersionForTree:
        case CommitOutcome::kNotKnownDurable: break;
    }
    return Verdict::kDestFailed;
}

int exitStatus(Verdict verdict) { return kExitTable[rank(verdict)].status; }

Verdict prevailing(Verdict one, Verdict other) { return rank(one) <= rank(other) ? one : other; }

}  // namespace velk
