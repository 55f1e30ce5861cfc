#include "tests/support/TestSupport.h"

#include "tests/support/SyscallTrace.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace velktest {

std::string shell(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) throw std::runtime_error("cannot run: " + command);
    std::string out;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    int status = pclose(pipe);
    if (status != 0) {
        throw std::runtime_error("command failed (" + std::to_string(status) + "): " + command);
    }
    return out;
}

int shellStatus(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string commandLine(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& word : words) line += (line.empty() ? "" : " ") + quote(word);
    return line;
}

std::string python() { return VELK_PYTHON; }

std::string scriptDir() { return VELK_TEST_SCRIPTS; }

std::string refPacker() { return quote(python()) + " " + quote(scriptDir() + "/velk_ref_pack.py"); }

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/velktest.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root = pattern;
}

TempDir::~TempDir() {
    // Entries may have been made read-only by a test; make them writable before removal.
    std::system(("chmod -R u+rwx " + quote(root) + " 2>/dev/null; rm -rf " + quote(root)).c_str());
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string namesWith(const std::string& folder, const std::string& part) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (std::string(entry->d_name).find(part) != std::string::npos) names.push_back(entry->d_name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::string list;
    for (const std::string& name : names) list += name + "\n";
    return list;
}

namespace {

uint64_t fnv1a(const std::string& bytes) {
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
    return hash;
}

void describeInto(const std::string& root, const std::string& relative, std::vector<std::string>& lines) {
    DIR* dir = opendir((root + relative).c_str());
    if (dir == nullptr) return;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        std::string rel = relative + "/" + name;
        std::string full = root + rel;
        struct stat st;
        if (lstat(full.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            lines.push_back("d " + rel.substr(1));
            describeInto(root, rel, lines);
        } else if (S_ISLNK(st.st_mode)) {
            std::string target(size_t(st.st_size) + 1, '\0');
            ssize_t n = readlink(full.c_str(), target.data(), target.size());
            target.resize(n < 0 ? 0 : size_t(n));
            lines.push_back("l " + rel.substr(1) + " -> " + target);
        } else {
            std::string content = readFile(full);
            lines.push_back("f " + rel.substr(1) + " " + std::to_string(content.size()) + " " +
                            std::to_string(fnv1a(content)));
        }
    }
    closedir(dir);
}

// splitmix64: small, well-mixed and identical everywhere.
uint64_t nextRandom(uint64_t& state) {
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

}  // namespace

std::string describeTree(const std::string& root) {
    std::vector<std::string> lines;
    describeInto(root, "", lines);
    std::sort(lines.begin(), lines.end());
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

std::string seededBytes(size_t length, uint64_t seed) {
    std::string bytes(length, '\0');
    uint64_t state = seed;
    for (size_t i = 0; i < length; i += 8) {
        uint64_t word = nextRandom(state);
        for (size_t k = 0; k < 8 && i + k < length; ++k) bytes[i + k] = char(word >> (8 * k));
    }
    return bytes;
}

std::vector<size_t> randomSlices(size_t total, size_t maxSlice, uint64_t seed) {
    std::vector<size_t> slices;
    uint64_t state = seed;
    for (size_t done = 0; done < total;) {
        size_t slice = std::min(total - done, size_t(1 + nextRandom(state) % maxSlice));
        slices.push_back(slice);
        done += slice;
    }
    return slices;
}

std::vector<size_t> fixedSlices(size_t total, size_t slice) {
    std::vector<size_t> slices;
    for (size_t done = 0; done < total; done += slice) slices.push_back(std::min(slice, total - done));
    return slices;
}

std::string toHex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

std::string fromHex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

namespace {

// The child's side of launch: only system calls from here to exec.
[[noreturn]] void becomeProgram(const Launch& how, char* const* argv, char* const* envp) {
    close_range(0, ~0u, 0);
    const char* out = how.out.empty() ? "/dev/null" : how.out.c_str();
    if (open("/dev/null", O_RDONLY) != 0 || open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644) != 1) _exit(126);
    if ((how.err.empty() ? dup(1) : open(how.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)) != 2) _exit(126);
    for (const auto& [resource, value] : how.limits) {
        const rlimit limit = {value, value};
        if (setrlimit(resource, &limit) != 0) _exit(126);
    }
    if (how.fileMask >= 0) umask(mode_t(how.fileMask));
    if (how.inChild && !how.inChild()) _exit(126);
    if (!how.workDir.empty() && chdir(how.workDir.c_str()) != 0) _exit(126);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int number = 1; number < NSIG; ++number) signal(number, SIG_DFL);
    alarm(how.hangSeconds);
    execvpe(argv[0], argv, envp);
    _exit(127);
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> list;
    for (std::string& text : texts) list.push_back(text.data());
    list.push_back(nullptr);
    return list;
}

Outcome collect(int wait, const Launch& how) {
    Outcome outcome;
    if (WIFEXITED(wait)) outcome.status = WEXITSTATUS(wait);
    if (WIFSIGNALED(wait)) outcome.signal = WTERMSIG(wait);
    if (!how.out.empty()) outcome.out = readFile(how.out);
    if (!how.err.empty()) outcome.err = readFile(how.err);
    return outcome;
}

int waitFor(pid_t pid) {
    int wait = 0;
    while (waitpid(pid, &wait, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return wait;
}

std::string firstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

pid_t launch(const Launch& how) {
    // Everything the child needs is made before the fork: a test may have other threads.
    std::vector<std::string> args = how.argv, env;
    for (char** at = environ; *at != nullptr; ++at) {
        const std::string entry = *at;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        const bool replaced = std::any_of(how.env.begin(), how.env.end(),
                                          [&](const std::string& e) { return e.compare(0, name.size(), name) == 0; });
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), how.env.begin(), how.env.end());
    std::vector<char*> argv = pointers(args), envp = pointers(env);
    const pid_t pid = fork();
    if (pid == 0) becomeProgram(how, argv.data(), envp.data());
    if (pid < 0) throw std::runtime_error("fork failed");
    return pid;
}

Outcome await(pid_t pid, const Launch& how) { return collect(waitFor(pid), how); }

Outcome run(const Launch& how) { return await(launch(how), how); }

std::vector<std::string> asNobody(std::vector<std::string> argv) {
    argv.insert(argv.begin(), {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"});
    return argv;
}

bool onPath(const std::string& name) { return shellStatus("command -v " + quote(name) + " >/dev/null 2>&1") == 0; }

bool waitUntil(const std::function<bool()>& ready, unsigned seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

namespace {

// The state letter of /proc/PID/stat ('t' stopped by a tracer, 'Z' ended); '\0' when gone.
char processState(pid_t pid) {
    const std::string stat = firstLine("/proc/" + std::to_string(pid) + "/stat");
    const size_t at = stat.rfind(')');
    return at == std::string::npos || at + 2 >= stat.size() ? '\0' : stat[at + 2];
}

// The children of `pid`.
std::vector<pid_t> childrenOf(pid_t pid) {
    std::istringstream list(firstLine("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
    std::vector<pid_t> children;
    for (pid_t child; list >> child;) children.push_back(child);
    return children;
}

}  // namespace

int descriptorOn(pid_t pid, const std::string& path) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* fds = opendir(dir.c_str());
    if (fds == nullptr) return -1;
    int found = -1;
    while (const dirent* entry = readdir(fds)) {
        char target[4096];
        const ssize_t n = readlink((dir + "/" + entry->d_name).c_str(), target, sizeof target);
        if (n > 0 && std::string(target, size_t(n)) == path) found = std::atoi(entry->d_name);
    }
    closedir(fds);
    return found;
}

bool writeLockHeldOn(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    const std::string inode = ":" + std::to_string(st.st_ino) + " ";
    std::istringstream locks(readFile("/proc/locks"));
    for (std::string line; std::getline(locks, line);) {
        if (line.find("OFDLCK") != std::string::npos && line.find(" WRITE ") != std::string::npos &&
            line.find(inode) != std::string::npos) {
            return true;
        }
    }
    return false;
}

int holdWriteLock(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (fd >= 0 && fcntl(fd, F_OFD_SETLK, &whole) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

long long filePosition(pid_t pid, int fd) {
    std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
    for (std::string key; info >> key;) {
        long long value = -1;
        if (info >> value && key == "pos:") return value;
    }
    return -1;
}

Launch underStrace(Launch how, const std::string& log, const std::vector<std::string>& options) {
    std::vector<std::string> argv = straceCommand(log, options);
    argv.push_back("--");
    how.argv.insert(how.argv.begin(), argv.begin(), argv.end());
    return how;
}

namespace {

std::vector<std::string> holdingOptions(const std::string& syscall, const std::string& path, int nth) {
    std::vector<std::string> options = {"-e", "trace=" + syscall, "-e",
                                        "inject=" + syscall + ":signal=SIGSTOP:when=" + std::to_string(nth)};
    if (!path.empty()) options.insert(options.begin(), {"-P", path});
    return options;
}

// strace's line for a tracee that entered the group stop of a SIGSTOP.
constexpr const char* kStoppedLine = "--- stopped by SIGSTOP ---";

}  // namespace

HeldRun::HeldRun(const Launch& program, const std::string& syscall, const std::string& path, int nth)
    : how(underStrace(program, logs / "trace", holdingOptions(syscall, path, nth))) {
    tracer = launch(how);
}

HeldRun::~HeldRun() {
    if (finished) return;
    if (traced > 0) kill(traced, SIGKILL);
    kill(tracer, SIGKILL);
    waitFor(tracer);
}

// strace forks short-lived children of its own as it starts: the program is the child that
// no longer runs strace's image (one already gone reads as no name at all: not the program).
bool HeldRun::waitHeld(const std::function<bool()>& more) {
    bool ended = false;
    const bool held = waitUntil([&] {
        if (traced < 0) {
            for (pid_t child : childrenOf(tracer)) {
                const std::string name = firstLine("/proc/" + std::to_string(child) + "/comm");
                if (!name.empty() && name != "strace") traced = child;
            }
        }
        ended = processState(tracer) == 'Z';
        const bool stopped = traced > 0 && exists(logs / "trace") &&
                             readFile(logs / "trace").find(kStoppedLine) != std::string::npos;
        return ended || (stopped && (!more || more()));
    });
    return held && !ended;
}

void HeldRun::resume() { kill(traced, SIGCONT); }

Outcome HeldRun::finish() {
    finished = true;
    return await(tracer, how);
}

}  // namespace velktest
