#pragma once
// Runs one program (ours, or a tool such as strace or setpriv in front of it) the way a
// device starts it: no shell, standard input /dev/null, standard output and error into one
// log file, no other descriptor inherited, every signal at its default disposition and none
// blocked, a chosen umask and working folder. A run still going after kHangSeconds is ended
// by SIGALRM, so a hang fails its test instead of stopping the suite.
// Calling order: runProgram, or startProgram then finishProgram once for the pid.

#include <sys/types.h>

#include <string>
#include <vector>

namespace velktest {

constexpr unsigned kHangSeconds = 60;

struct ProgramSetup {
    std::string log;     // receives standard output and error; required
    std::string cwd;     // the working folder; empty: the test's own
    mode_t umask = 022;
};

struct ProgramEnd {
    int status = -1;     // the exit status 0..255, or -1 when a signal ended the program
    int signal = 0;      // that signal, else 0
    std::string output;  // what it wrote on standard output and error
};

// Starts argv[0] (searched in PATH when it holds no slash); the pid, or -1.
pid_t startProgram(const std::vector<std::string>& argv, const ProgramSetup& setup);
// Waits for a program startProgram started and reads its log.
ProgramEnd finishProgram(pid_t pid, const ProgramSetup& setup);
ProgramEnd runProgram(const std::vector<std::string>& argv, const ProgramSetup& setup);

// The exit status the shell sees for a program's return value: -7 gives 249.
constexpr int exitStatus(int returned) { return returned & 0xff; }

}  // namespace velktest
