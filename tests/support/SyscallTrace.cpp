#include "tests/support/SyscallTrace.h"

#include <cstdlib>
#include <sstream>

namespace velktest {

SyscallTrace readSyscallTrace(const std::string& log, const std::string& marker) {
    SyscallTrace trace;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        // "PID name(arguments) = result"; a call split by another process shows as
        // "<unfinished ...>" first and "<... name resumed>" after: counted once.
        const size_t open = line.find('(');
        if (open == std::string::npos || line.find("resumed>") != std::string::npos) continue;
        const size_t start = line.find_first_not_of("0123456789 ");
        if (start == std::string::npos || start >= open) continue;
        trace.calls.push_back(line.substr(start, open - start));
        if (trace.calls.back() == marker) {
            trace.marker = trace.calls.size() - 1;
            trace.markerSeen = true;
        }
    }
    return trace;
}

int occurrence(const SyscallTrace& trace, size_t index) {
    int count = 0;
    for (size_t i = 0; i <= index && i < trace.calls.size(); ++i) count += trace.calls[i] == trace.calls[index];
    return count;
}

namespace {

std::vector<std::string> strace(const std::string& log) {
    const char* given = std::getenv("ASAN_OPTIONS");
    const std::string options = given != nullptr && *given != '\0' ? std::string(given) + ":" : std::string();
    return {"strace", "-f", "-qq", "-E", "ASAN_OPTIONS=" + options + "detect_leaks=0", "-o", log};
}

}  // namespace

std::vector<std::string> straceRecording(const std::string& log) { return strace(log); }

std::vector<std::string> straceInjecting(const std::string& call, const std::string& action, int when,
                                         const std::string& log) {
    std::vector<std::string> command = strace(log);
    const std::string inject = "inject=" + call + ":" + action + ":when=" + std::to_string(when);
    command.insert(command.end(), {"-e", "trace=" + call, "-e", inject});
    return command;
}

}  // namespace velktest
