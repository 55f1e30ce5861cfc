#include "tests/support/SyscallTrace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace velktest {

SyscallTrace readSyscallTrace(const std::string& log, const std::string& marker) {
    SyscallTrace trace;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        // "PID name(arguments) = result"; a call split by another thread shows as
        // "<unfinished ...>" first and "<... name resumed>" after: counted once.
        const size_t open = line.find('(');
        if (open == std::string::npos || line.find("resumed>") != std::string::npos) continue;
        const size_t start = line.find_first_not_of("0123456789 ");
        if (start == std::string::npos || start >= open) continue;
        trace.calls.push_back(line.substr(start, open - start));
        trace.tracees.push_back(line.substr(0, line.find(' ')));
        if (trace.calls.back() == marker) {
            trace.marker = trace.calls.size() - 1;
            trace.markerSeen = true;
        }
    }
    return trace;
}

int occurrence(const SyscallTrace& trace, size_t index) {
    int count = 0;
    for (size_t i = 0; i <= index && i < trace.calls.size(); ++i) {
        count += trace.calls[i] == trace.calls[index] && trace.tracees[i] == trace.tracees[index];
    }
    return count;
}

namespace {

// Calls where a kill tells nothing (execve, exit_group), and futex, whose count depends on how
// the threads of a run happen to meet: its N-th call is no fixed point of the run.
bool isTimingDependent(const std::string& call) { return call == "execve" || call == "exit_group" || call == "futex"; }

}  // namespace

std::vector<CallPoint> killPoints(const SyscallTrace& trace, size_t spread, const std::vector<std::string>& only) {
    std::vector<size_t> eligible;  // the calls that may be chosen, the marker among them
    for (size_t i = 0; i < trace.calls.size(); ++i) {
        const std::string& call = trace.calls[i];
        const bool listed = only.empty() || std::find(only.begin(), only.end(), call) != only.end();
        if (i == trace.marker || (listed && !isTimingDependent(call))) eligible.push_back(i);
    }
    const size_t marker = size_t(std::find(eligible.begin(), eligible.end(), trace.marker) - eligible.begin());
    const size_t stride = spread == 0 ? marker + 1 : std::max<size_t>(1, marker / spread);
    std::vector<CallPoint> points;
    // The spread stops at the marker: a stride that would step over it lands on it instead.
    for (size_t at = spread == 0 ? marker : 0; at < eligible.size();
         at = at < marker ? std::min(at + stride, marker) : at + 1) {
        points.push_back({trace.calls[eligible[at]], occurrence(trace, eligible[at])});
    }
    return points;
}

std::vector<std::string> straceCommand(const std::string& log, const std::vector<std::string>& options) {
    const char* given = std::getenv("ASAN_OPTIONS");
    const std::string asan = given != nullptr && *given != '\0' ? std::string(given) + ":" : std::string();
    std::vector<std::string> command = {"strace", "-f", "-qq", "-E", "ASAN_OPTIONS=" + asan + "detect_leaks=0", "-o", log};
    command.insert(command.end(), options.begin(), options.end());
    return command;
}

std::vector<std::string> straceInjecting(const std::string& call, const std::string& action, int when) {
    return straceCommand("/dev/null", {"-e", "trace=" + call, "-e", "inject=" + call + ":" + action + ":when=" + std::to_string(when)});
}

void sweep(const KillSweep& how) {
#ifdef VELK_TSAN_BUILD
    GTEST_SKIP() << "ThreadSanitizer's runtime makes calls of its own, a thread among them, as timing has it";
#endif
    how.reset();
    const Outcome recorded = how.run(straceCommand(how.log));
    ASSERT_EQ(recorded.status, 0) << recorded.all();
    const SyscallTrace trace = readSyscallTrace(readFile(how.log), how.marker);
    ASSERT_TRUE(trace.markerSeen) << "no " << how.marker << " in the trace";
    const int number = how.signal == "SIGKILL" ? SIGKILL : how.signal == "SIGINT" ? SIGINT : 0;
    size_t tried = 0;
    std::string notEnded;
    for (const CallPoint& point : killPoints(trace, how.spread, how.only)) {
        SCOPED_TRACE(point.shown() + " " + how.signal);
        how.reset();
        const Outcome run = how.run(straceInjecting(point.call, "signal=" + how.signal, point.when));
        ++tried;
        if (run.signal != number) notEnded += " " + point.shown();
        how.check(run);
    }
    EXPECT_EQ(notEnded, "") << "runs that were to end by " << how.signal << " ended otherwise";
    EXPECT_GT(tried, 5u);
}

}  // namespace velktest
