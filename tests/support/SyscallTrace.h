#pragma once
// The system calls of one run traced with `strace -f -qq -o LOG`, in order, to choose where
// a fault is injected: a call is named by its name and its count among the calls of that
// name its thread made so far, as strace's `when=N` counts them (per call and per tracee: the
// N-th call of a thread, whichever thread makes its N-th first); and the kill sweep built on them.

#include <functional>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace velktest {

struct SyscallTrace {
    std::vector<std::string> calls;    // one name per call, in the order the run made them
    std::vector<std::string> tracees;  // the thread that made each call (strace's PID column)
    size_t marker = 0;               // the index of the last call named as the marker
    bool markerSeen = false;
};

// Reads an strace log; `marker` is a call name to find (the last one counts).
SyscallTrace readSyscallTrace(const std::string& log, const std::string& marker);

// For calls[index]: its count among its thread's calls of its name up to it, 1 for the first.
int occurrence(const SyscallTrace& trace, size_t index);

// A call to inject into: its name and its count among the calls of that name (strace's when=N).
struct CallPoint {
    std::string call;
    int when = 0;
    std::string shown() const { return call + " #" + std::to_string(when); }
};

// The calls of a kill sweep: about `spread` of them spread evenly before the marker, and every
// one from the marker on; execve and exit_group, where a kill tells nothing, and futex, whose
// count depends on how the threads meet, left out. With `only`, just the calls of those names
// (and the marker): a run fed by a network makes as many reads and allocations as its bytes
// happen to arrive in, and only the calls the package decides come at fixed counts.
std::vector<CallPoint> killPoints(const SyscallTrace& trace, size_t spread, const std::vector<std::string>& only = {});

// strace -f -qq, writing every call into `log`, with `options`. The traced program runs with
// LeakSanitizer off (the rest of ASAN_OPTIONS kept): it cannot work under ptrace, and a sanitized
// program would end with status 1 there instead of its own.
std::vector<std::string> straceCommand(const std::string& log, const std::vector<std::string>& options = {});
// Injecting: the `when`-th `call` does `action` ("signal=SIGKILL", "error=EIO").
std::vector<std::string> straceInjecting(const std::string& call, const std::string& action, int when);

// A kill sweep. `run(tool)` starts the program with `tool` in front, each time after `reset()`:
// first recording into `log` (the run must succeed), then at each of killPoints(trace of
// `marker`, spread) with `signal` injected; `check` judges what each of these runs left. Every run must end by its
// signal: one that ends otherwise proves nothing about its call.
struct KillSweep {
    std::string log, marker = "syncfs", signal = "SIGKILL";
    size_t spread = 0;
    std::function<void()> reset;
    std::function<Outcome(const std::vector<std::string>& tool)> run;
    std::function<void(const Outcome&)> check;
    std::vector<std::string> only = {};  // killPoints' `only`: empty for every call
};
void sweep(const KillSweep& how);

}  // namespace velktest
