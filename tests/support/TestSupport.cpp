#include "tests/support/TestSupport.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

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

}  // namespace velktest
