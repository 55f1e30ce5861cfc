#pragma once
// Helpers shared by the test binaries: running the Debian tools that make independent
// inputs, temporary directories, whole-file reads and writes, seeded data and slicings.

#include <cstddef>
#include <cstdint>
#include <string>
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

}  // namespace velktest
