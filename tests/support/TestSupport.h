#pragma once
// Helpers shared by the test binaries: running the Debian tools that make independent
// inputs, running our programs as a device would (chosen descriptors, limits, root and
// credentials) or held at a chosen system call, watching processes through /proc, temporary
// directories, whole-file reads and writes, seeded data and slicings.

#include <sys/resource.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace velktest {

// Runs `command` with /bin/sh and returns what it printed on standard output. A
// non-zero exit status throws std::runtime_error with the command and its status.
std::string shell(const std::string& command);

// Runs `command` and returns its exit status (0..255), or -1 when it did not exit.
int shellStatus(const std::string& command);

// Single-quotes `text` for /bin/sh.
std::string quote(const std::string& text);
// The words, each quoted, joined by blanks: a command line for /bin/sh.
std::string commandLine(const std::vector<std::string>& words);

// The system python3 (the one that has python3-cryptography).
std::string python();

// The folder of the tests' Python helper scripts.
std::string scriptDir();

// The command that runs the independent Python packer, ready for its arguments.
std::string refPacker();

// A fresh directory below $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return root; }
    std::string operator/(const std::string& name) const { return root + "/" + name; }

private:
    std::string root;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool exists(const std::string& path);  // lstat: a dangling link exists too
// The names in `folder` that hold `part` (".velk-staging"), sorted, one a line; "" for none.
std::string namesWith(const std::string& folder, const std::string& part);

// A listing of everything below `root`, one line per entry, sorted by path:
// "d name", "f name <size> <fnv-1a hash of content>", "l name -> target".
std::string describeTree(const std::string& root);

// `length` pseudo-random bytes, the same for the same seed on every machine.
std::string seededBytes(size_t length, uint64_t seed);

// Slice lengths that add up to `total`: each between 1 and maxSlice, drawn from `seed`.
std::vector<size_t> randomSlices(size_t total, size_t maxSlice, uint64_t seed);

// Slice lengths of `slice` bytes each (the last may be shorter) that add up to `total`.
std::vector<size_t> fixedSlices(size_t total, size_t slice);

std::string toHex(const std::string& bytes);
std::string fromHex(const std::string& hex);

// How to start a program: no shell; standard input is /dev/null and only the logs are
// inherited; every signal has its default disposition, as on a device; SIGALRM ends a run
// still going after hangSeconds. In the child, in this order: descriptors, limits, umask,
// inChild, chdir(workDir), exec.
struct Launch {
    std::vector<std::string> argv;  // argv[0]: a path, or a name looked up on PATH
    std::string out;                // standard output; /dev/null when empty
    std::string err;                // standard error; the same file as standard output when empty
    std::string workDir;            // when not empty (after inChild, so inside a chroot made there)
    std::vector<std::pair<int, rlim_t>> limits;  // setrlimit(resource, {value, value})
    int fileMask = -1;              // umask, when >= 0
    std::vector<std::string> env;   // NAME=value, over the test's own environment
    // Runs in the child between fork and exec, so it may only make system calls (mount,
    // chroot, ...); false ends the child with status 126.
    std::function<bool()> inChild;
    unsigned hangSeconds = 60;
};

struct Outcome {
    int status = -1;  // exit status 0..255; -1 when the program did not exit
    int signal = 0;   // the signal that ended it, when it did not exit
    std::string out, err;  // the logs, read back ("" for /dev/null)
    std::string all() const { return out + err; }
};

// Starts the program and gives its process id (the child never returns here).
pid_t launch(const Launch& how);
// Waits for a program that launch started and reads its logs back.
Outcome await(pid_t pid, const Launch& how);
Outcome run(const Launch& how);

// The argv that runs `argv` as the unprivileged user nobody (setpriv, no supplementary groups).
std::vector<std::string> asNobody(std::vector<std::string> argv);
// Whether `name` is a program on PATH.
bool onPath(const std::string& name);

// Polls `ready` (every millisecond) until it is true or `seconds` have gone: whether it was.
// Only a guard against hangs: a test waits on observable state, never on time.
bool waitUntil(const std::function<bool()>& ready, unsigned seconds = 30);
// The descriptor `pid` has open on `path` (compared with the link in /proc/PID/fd), or -1.
int descriptorOn(pid_t pid, const std::string& path);
// The file position of descriptor `fd` of `pid` (/proc/PID/fdinfo/FD), or -1.
long long filePosition(pid_t pid, int fd);
// Whether some process holds an open-file-description write lock on the file at `path`
// (/proc/locks, which names such a lock by its inode, not by a process).
bool writeLockHeldOn(const std::string& path);
// Takes such a lock on `path` for the test itself: the descriptor that holds it, or -1.
int holdWriteLock(const std::string& path);

// `how` run under strace writing to `log`, with `options` (tests/support/SyscallTrace.h).
Launch underStrace(Launch how, const std::string& log, const std::vector<std::string>& options);

// A program run under strace and stopped by SIGSTOP once the nth call of `syscall` returns,
// counting only calls that concern `path` when one is given (strace -P path -e
// inject=SYSCALL:signal=SIGSTOP:when=N). While it is stopped the test changes what it likes,
// then resumes it. The process ids are the strace's and, once it appeared, the program's;
// whatever still runs when the object goes is killed.
class HeldRun {
public:
    HeldRun(const Launch& program, const std::string& syscall, const std::string& path = "", int nth = 1);
    ~HeldRun();
    HeldRun(const HeldRun&) = delete;
    HeldRun& operator=(const HeldRun&) = delete;

    // Waits until the program is stopped by that SIGSTOP and `more()` (when given) holds; false
    // when the run ended first or the guard ran out. Stopped means in the group stop, as strace
    // reports it: not in the brief stops on the way there, where a SIGCONT would come before
    // the SIGSTOP and leave the program stopped for good.
    bool waitHeld(const std::function<bool()>& more = {});
    pid_t program() const { return traced; }
    void resume();
    Outcome finish();

private:
    TempDir logs;   // strace's log, which reports the stop
    Launch how;
    pid_t tracer = -1;
    pid_t traced = -1;
    bool finished = false;
};

}  // namespace velktest
