#pragma once
// The system calls of one run traced with `strace -f -qq -o LOG`, in order, to choose where
// a fault is injected: a call is named by its name and its count among the calls of that
// name so far, as strace's `when=N` counts them. Stateless.

#include <string>
#include <vector>

namespace velktest {

struct SyscallTrace {
    std::vector<std::string> calls;  // one name per call, in the order the run made them
    size_t marker = 0;               // the index of the last call named as the marker
    bool markerSeen = false;
};

// Reads an strace log; `marker` is a call name to find (the last one counts).
SyscallTrace readSyscallTrace(const std::string& log, const std::string& marker);

// For calls[index]: its count among the calls of its name up to it, 1 for the first.
int occurrence(const SyscallTrace& trace, size_t index);

// A call to inject into: its name and its count among the calls of that name (strace's when=N).
struct CallPoint {
    std::string call;
    int when = 0;
    std::string shown() const { return call + " #" + std::to_string(when); }
};

// The calls of a kill sweep: about `spread` of them spread evenly before the marker, and every
// one from the marker on; execve and exit_group, where a kill tells nothing, left out.
std::vector<CallPoint> killPoints(const SyscallTrace& trace, size_t spread);

// strace, to go in front of a program, following its children and quiet about their ends.
// The program runs with LeakSanitizer off (the rest of ASAN_OPTIONS kept): it cannot work
// under ptrace, and a sanitized program would end with status 1 there instead of its own.
// Recording: every call into `log`, for readSyscallTrace.
// strace -f -qq, writing to `log`, with `options`; the traced program's leak check is off (a
// sanitizer's leak check cannot run under a tracer).
std::vector<std::string> straceCommand(const std::string& log, const std::vector<std::string>& options = {});
std::vector<std::string> straceRecording(const std::string& log);
// Injecting: the `when`-th `call` does `action` ("signal=SIGKILL", "error=EIO",
// "signal=SIGSTOP"); `log` receives strace's report of that call.
std::vector<std::string> straceInjecting(const std::string& call, const std::string& action, int when,
                                         const std::string& log = "/dev/null");

}  // namespace velktest
