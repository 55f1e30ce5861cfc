#include "tests/support/ProgramRun.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/TestSupport.h"

namespace velktest {

namespace {

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void becomeProgram(const std::vector<char*>& args, const ProgramSetup& setup) {
    close_range(0, ~0u, 0);
    const bool ready = open("/dev/null", O_RDONLY) == 0 &&
                       open(setup.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644) == 1 && dup(1) == 2 &&
                       (setup.cwd.empty() || chdir(setup.cwd.c_str()) == 0);
    if (!ready) _exit(126);
    for (int number = 1; number < NSIG; ++number) signal(number, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    umask(setup.umask);
    alarm(kHangSeconds);
    execvp(args[0], args.data());
    _exit(127);
}

}  // namespace

pid_t startProgram(const std::vector<std::string>& argv, const ProgramSetup& setup) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) becomeProgram(args, setup);
    return pid;
}

ProgramEnd finishProgram(pid_t pid, const ProgramSetup& setup) {
    int wait = 0;
    if (pid < 0 || waitpid(pid, &wait, 0) != pid) return {};
    ProgramEnd end;
    if (WIFEXITED(wait)) end.status = WEXITSTATUS(wait);
    if (WIFSIGNALED(wait)) end.signal = WTERMSIG(wait);
    end.output = readFile(setup.log);
    return end;
}

ProgramEnd runProgram(const std::vector<std::string>& argv, const ProgramSetup& setup) {
    return finishProgram(startProgram(argv, setup), setup);
}

}  // namespace velktest
