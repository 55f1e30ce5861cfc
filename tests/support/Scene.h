#pragma once
// The folder of one end-to-end test and the moves its tests share: trees archived by GNU tar
// with fixed flags and packed by the independent Python packer, velk-unpack run in the folder
// (a tool such as strace or setpriv in front, its messages in the file `log`), and DEST with
// the version file read back as one text. For the e2e binary, which names the programs.

#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace velktest {

#ifdef VELK_EMULATED
constexpr bool kEmulated = true;  // the programs run under qemu-user: strace, setpriv and chroot would miss them
#else
constexpr bool kEmulated = false;
#endif

// velk-unpack's statuses as the shell sees them (-1 .. -8).
constexpr int kUsage = 255, kNoSource = 254, kOpenFailed = 253, kNotRegular = 252, kReadFailed = 251,
              kVersionFailed = 250, kIncomplete = 249, kSignatureFailed = 248;

// velk-unpack as the end-to-end tests start it: the program, then "--threads N" when the
// environment sets VELK_TEST_THREADS=N (CI runs the suites again with 1, so that every test
// holds for the one-thread run too). As argv, and as shell words (VELK_UNPACK).
std::vector<std::string> unpackArgv();
std::string unpackCommand();
#define VELK_UNPACK ::velktest::unpackCommand()

// GNU tar with the flags that make the same archive of a tree on every machine.
constexpr const char* kTar = "tar --format=ustar --sort=name --mtime=@0 --owner=0 --group=0";

class Scene {
public:
    const std::string& path() const { return dir.path(); }
    std::string operator/(const std::string& name) const { return dir / name; }
    // "cd FOLDER && ": a shell command that starts in the folder; sh runs one and gives its output.
    std::string cd() const { return "cd " + quote(dir.path()) + " && "; }
    std::string sh(const std::string& commands) const { return shell(cd() + commands); }

    // The packer's package `name` of `payload` ("--tar F", "--gzip F" and more) with the custom
    // information `info`: its path.
    std::string packWith(const std::string& payload, const std::string& name, const std::string& info, int seed = 1) const;
    // Folder `tree` archived as TREE.tar and packed as `name`, its PLVS `plvs`.
    std::string pack(const std::string& tree, const std::string& name, const std::string& plvs = "new", int seed = 1) const;
    // The same with the gzip trailer's CRC wrong: the package fails only once every file was written.
    std::string packBadTrailer(const std::string& tree, const std::string& name, const std::string& plvs = "new") const;

    // velk-unpack with `args`, run in the folder with `tool` in front.
    Launch unpacking(const std::vector<std::string>& args, std::vector<std::string> tool = {}) const;
    Outcome unpack(const std::vector<std::string>& args, const std::vector<std::string>& tool = {}) const {
        return run(unpacking(args, tool));
    }
    // The same through /bin/sh, `args` shell text (quotes, other descriptors): its status.
    int unpackSh(const std::string& args) const;
    std::string log() const { return readFile(dir / "log"); }

    // What an install leaves: DEST's tree, then "version: " and the version file's bytes.
    std::string state(const std::string& dest = "dest", const std::string& version = "version") const;
    static std::string installed(const std::string& tree, const std::string& value) { return tree + "version: " + value; }

    TempDir dir;
};

}  // namespace velktest
