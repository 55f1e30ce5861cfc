#pragma once
// The judgement of a run, in one place: which verdict (install/Verdict.h) each outcome of the
// install classes and of reading SOURCE is, velk-unpack's exit status for every verdict, and
// which verdict wins where several apply. velk-inspect takes the same verdicts and gives them
// its own statuses (app/VelkInspect.h). Stateless.

#include "VelkFile/UnPackFile.h"
#include "install/Destination.h"
#include "install/PackageRun.h"
#include "install/SourceFile.h"
#include "install/Verdict.h"
#include "install/VersionFile.h"

namespace velk {

Verdict verdictOf(SourceOpen outcome);
// How reading SOURCE ended; a package the decoder refused for an entry path's safety is kUnsafeEntry.
Verdict verdictOf(RunEnd end, const CUnPackFile& decoder);
Verdict verdictOf(DestOutcome outcome);
Verdict verdictOf(VersionOutcome outcome);
Verdict verdictOf(CommitOutcome outcome);

// velk-unpack's exit status for `verdict`: 0, or -1 ... -8 (the README's exit table).
int exitStatus(Verdict verdict);
// Of two verdicts that both apply, the one velk-unpack's table lists first: -1 ... -5, then
// -8, then -7, then -6. kOk never prevails over a failure.
Verdict prevailing(Verdict one, Verdict other);

}  // namespace velk
