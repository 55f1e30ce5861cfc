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

std::vector<CallPoint> killPoints(const SyscallTrace& trace, size_t spread) {
    std::vector<CallPoint> points;
    const size_t stride = spread == 0 ? trace.marker + 1 : std::max<size_t>(1, trace.marker / spread);
    // The spread stops at the marker: a stride that would step over it lands on it instead.
    for (size_t i = spread == 0 ? trace.marker : 0; i < trace.calls.size();
         i = i < trace.marker ? std::min(i + stride, trace.marker) : i + 1) {
        if (!isTimingDependent(trace.calls[i])) points.push_back({trace.calls[i], occurrence(trace, i)});
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
    for (const CallPoint& point : killPoints(trace, how.spread)) {
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
