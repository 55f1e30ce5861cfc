// velk-unpack's options as a program. --atomic: every failure (a damaged or hostile package,
// a full disk, a failed call, a kill at any system call, a second run at once, a DEST that
// cannot be swapped) leaves DEST and the version file byte for byte as they were and nothing
// beside DEST but the lock; success swaps the whole new tree in. -p: entries keep their
// permission bits, never set-user-ID, set-group-ID or sticky ones. And where options may stand.

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <sstream>
#include <thread>

#include "tests/support/PrivateMounts.h"
#include "tests/support/ProgramRun.h"
#include "tests/support/SyscallTrace.h"
#include "tests/support/TestSupport.h"

using velktest::describeTree;
using velktest::exitStatus;
using velktest::ProgramEnd;
using velktest::quote;
using velktest::readFile;
using velktest::shell;

namespace {

constexpr const char* kOldVersion = "an older, longer version";  // longer than "new": a mix would show
constexpr const char* kLock = ".dest.velk-lock";
constexpr const char* kStaging = ".dest.velk-staging";
const int kIncomplete = exitStatus(-7), kUsage = exitStatus(-1), kNoVersion = exitStatus(-6);

// python3 tarfile: a ustar archive (argv[1]) of the entries in argv[2], JSON [kind, name,
// link target] with kind file (holding its own name), dir or link.
const char* const kEntryArchive = R"(import io, json, sys, tarfile
kinds = {"file": tarfile.REGTYPE, "dir": tarfile.DIRTYPE, "link": tarfile.SYMTYPE}
with tarfile.open(sys.argv[1], "w", format=tarfile.USTAR_FORMAT) as archive:
    for kind, name, target in json.loads(sys.argv[2]):
        entry, data = tarfile.TarInfo(name), (name.encode() if kind == "file" else b"")
        entry.type, entry.linkname, entry.size = kinds[kind], target, len(data)
        archive.addfile(entry, io.BytesIO(data))
)";

// The names in a folder, sorted, dot files included; "(missing)" when it cannot be read.
std::string listFolder(const std::string& path) {
    DIR* folder = opendir(path.c_str());
    if (folder == nullptr) return "(missing)";
    std::vector<std::string> names;
    while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(folder);
    std::sort(names.begin(), names.end());
    std::string listed;
    for (const std::string& name : names) listed += (listed.empty() ? "" : " ") + name;
    return listed;
}

// describeTree for a folder; a missing DEST, a link or a file said as such.
std::string describeAny(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return "(missing)\n";
    if (S_ISLNK(st.st_mode)) return "(a link)\n";
    if (!S_ISDIR(st.st_mode)) return "(a file) " + readFile(path) + "\n";
    return describeTree(path);
}

bool hasLineStarting(const std::string& output, const std::string& start) {
    return output.compare(0, start.size(), start) == 0 || output.find("\n" + start) != std::string::npos;
}

std::vector<std::string> operator+(std::vector<std::string> first, const std::vector<std::string>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// setpriv in front of a program: it runs as nobody, without root's groups.
const std::vector<std::string> kAsNobody = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};

class AtomicInstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        shell(cd() + "mkdir -p tree/bin tree/etc/conf.d tree/var/empty other old/old/deep site state outside"
              " && printf '#!/bin/sh\\necho new\\n' > tree/bin/run && printf 'x=2\\n' > tree/etc/conf.d/a.conf"
              " && ln -s etc/conf.d tree/conf && printf 'x=1\\n' > old/keep.conf && printf deep > old/old/deep/f"
              " && ln -s keep.conf old/link && printf keep > outside/sentinel && printf other > other/only");
        velktest::writeFile(dir / "tree/share.bin", velktest::seededBytes(300000, 7));  // about 75 pages
        shell(cd() + "tar --format=ustar --sort=name --mtime=@0 --owner=0 --group=0 -C tree -cf content.tar .");
        package("p.velk", "--tar content.tar", 1);
        newTree = describeTree(dir / "tree");
        oldTree = describeTree(dir / "old");
        outsideBefore = describeTree(dir / "outside");
        restoreOld();
    }

    std::string cd() const { return "cd " + quote(dir.path()) + " && "; }
    std::string site() const { return dir / "site"; }
    std::string dest() const { return dir / "site/dest"; }
    std::string staging() const { return site() + "/" + kStaging; }
    std::string version() const { return dir / "state/version"; }
    std::string pkg() const { return dir / "p.velk"; }

    // A package of the independent packer, made in the test's folder from `source` options.
    std::string package(const std::string& name, const std::string& source, int seed,
                        const std::string& info = "{\"PLVS\":\"new\"}") {
        shell(cd() + velktest::refPacker() + " --label L --info " + quote(info) + " --seed " + std::to_string(seed) +
              " " + source + " -o " + quote(name));
        return dir / name;
    }
    // A package of kEntryArchive's archive of `entries`.
    std::string entryPackage(const std::string& name, const std::string& entries, int seed) {
        shell(cd() + quote(velktest::python()) + " -c " + quote(kEntryArchive) + " entries.tar " + quote(entries));
        return package(name, "--tar entries.tar", seed);
    }
    // A package whose files are all written before its gzip trailer turns out wrong (CRC-32).
    std::string badTrailerPackage() {
        shell(cd() + "gzip -n -c content.tar > good.gz");
        std::string gz = readFile(dir / "good.gz");
        gz[gz.size() - 8] = char(gz[gz.size() - 8] ^ 0x40);
        velktest::writeFile(dir / "crc.gz", gz);
        return package("crc.velk", "--gzip crc.gz", 2);
    }

    // The installed state before each case: DEST holds the old tree, the version file the old value.
    void restoreOld() {
        shell("rm -rf " + quote(dest()) + " && cp -a " + quote(dir / "old") + " " + quote(dest()));
        velktest::writeFile(version(), kOldVersion);
    }

    // DEST, the version file and what lies beside each: a failed run must leave all as they were.
    std::string snapshot() const {
        return "dest:\n" + describeAny(dest()) +
               "version: " + (velktest::exists(version()) ? readFile(version()) : "(missing)") +
               "\nbeside DEST: " + listFolder(site()) +
               "\nbeside the version file: " + listFolder(dir / "state") + "\n";
    }
    // The snapshot of an install of `tree` named by `value`, after a run took the lock.
    static std::string installed(const std::string& tree, const std::string& value) {
        return "dest:\n" + tree + "version: " + value + "\nbeside DEST: " + kLock +
               " dest\nbeside the version file: version\n";
    }
    std::string oldInstall() const { return installed(oldTree, kOldVersion); }
    std::string newInstall() const { return installed(newTree, "new"); }

    // velk-unpack with `args` in the test's folder, `tool` (strace, setpriv) in front of it.
    ProgramEnd unpack(const std::vector<std::string>& args, const std::vector<std::string>& tool = {},
                      mode_t mask = 022) {
        return velktest::runProgram(tool + std::vector<std::string>{VELK_UNPACK} + args,
                                    {dir / "log", dir.path(), mask});
    }
    ProgramEnd unpackAtomic(const std::vector<std::string>& tool = {}) {
        return unpack({"--atomic", pkg(), dest(), version()}, tool);
    }

    velktest::TempDir dir;
    std::string newTree, oldTree, outsideBefore;
};

TEST_F(AtomicInstallTest, AFailedRunLeavesDestAndTheVersionFileAsTheyWere) {
    const std::string good = readFile(pkg()), badTrailer = readFile(badTrailerPackage());
    const std::string outside = dir / "outside";
    const std::string throughOut = "[[\"link\", \"out\", \"" + outside + "\"], [\"file\", \"out/x\", \"\"]]";
    const struct {
        const char* name;
        std::string bytes;
        int status;
        const char* line;
    } cases[] = {
        {"the gzip trailer is wrong, after every file was written", badTrailer, kIncomplete, "tgz: unpack fail\r\n"},
        {"the second package of the file fails", good + badTrailer, kIncomplete, "tgz: unpack fail\r\n"},
        {"the file ends inside its package", good.substr(0, good.size() - 500), kIncomplete, "tgz: unpack"},
        {"an entry climbs out with ..",
         readFile(entryPackage("dots.velk", R"([["file", "ok", ""], ["file", "a/../../evil", ""]])", 3)),
         kIncomplete, "tgz: unpack fail\r\n"},
        {"an entry goes through a link the archive made",
         readFile(entryPackage("via.velk", R"([["dir", "real", ""], ["link", "l", "real"], ["file", "l/x", ""]])", 4)),
         kIncomplete, "tgz: unpack fail\r\n"},
        {"a link out of DEST, then an entry through it", readFile(entryPackage("out.velk", throughOut, 5)),
         kIncomplete, "tgz: unpack fail\r\n"},
        {"no package carries a PLVS value", readFile(package("nov.velk", "--tar content.tar", 6, "{\"other\":1}")),
         kNoVersion, "no PLVS version: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        restoreOld();
        velktest::writeFile(dir / "in.velk", c.bytes);
        const ProgramEnd run = unpack({"--atomic", "in.velk", dest(), version()});
        EXPECT_EQ(run.status, c.status) << run.output;
        EXPECT_NE(run.output.find(c.line), std::string::npos) << run.output;
        EXPECT_EQ(snapshot(), oldInstall());
        EXPECT_EQ(describeTree(outside), outsideBefore);
        EXPECT_FALSE(velktest::exists(dir / "evil"));
    }
    // Without --atomic the same package costs the old tree: every new file is there, yet no
    // version names them. What the option is for.
    restoreOld();
    velktest::writeFile(dir / "in.velk", badTrailer);
    EXPECT_EQ(unpack({"in.velk", dest(), version()}).status, kIncomplete);
    EXPECT_EQ(snapshot(), installed(newTree, kOldVersion));
}

// The tmpfs holds DEST and its parent; the version file lies elsewhere.
TEST_F(AtomicInstallTest, AFullDiskDuringTheStagedUnpackChangesNothing) {
    velktest::PrivateMounts mounts;
    if (!mounts.entered()) GTEST_SKIP() << "no private mount namespace here: " << mounts.problem();
    ASSERT_TRUE(mounts.mountTmpfs(site(), "size=128k")) << mounts.problem();
    restoreOld();
    const ProgramEnd run = unpackAtomic();
    EXPECT_EQ(run.status, kIncomplete) << run.output;
    EXPECT_NE(run.output.find("(28,No space left on device)\n"), std::string::npos) << run.output;
    EXPECT_EQ(snapshot(), oldInstall());
    // With room for both trees the same run goes through: the failed one left nothing in the way.
    ASSERT_TRUE(mounts.remount(site(), "size=2m")) << mounts.problem();
    const ProgramEnd again = unpackAtomic();
    EXPECT_EQ(again.status, 0) << again.output;
    EXPECT_EQ(snapshot(), newInstall());
}

// A swap cannot move a mount point or what is mounted below DEST; nothing may change first.
TEST_F(AtomicInstallTest, ADestThatCannotBeSwappedIsRefusedBeforeAnythingChanges) {
    velktest::PrivateMounts mounts;
    if (!mounts.entered()) GTEST_SKIP() << "no private mount namespace here: " << mounts.problem();
    const auto copy = [&](const std::string& from, const std::string& to) {
        return velktest::shellStatus("cp -a " + quote(dir / from) + "/. " + quote(to)) == 0;
    };
    const struct {
        const char* name;
        std::function<bool()> make;
        std::string line;  // the start of the line that says why
    } cases[] = {
        {"a file system mounted on DEST",
         [&] { return mounts.mountTmpfs(dest(), "size=1m") && copy("old", dest()); },
         "atomic install: " + dest() + " is a mount point"},
        {"DEST bound onto itself (the same file system)", [&] { return mounts.bind(dest(), dest()); },
         "atomic install: " + dest() + " is a mount point"},
        {"a file system mounted inside DEST",
         [&] { return mounts.mountTmpfs(dest() + "/old", "size=1m") && copy("old/old", dest() + "/old"); },
         "atomic install: " + dest() + "/old is a mount point inside DEST"},
        {"DEST a regular file",
         [&] { return velktest::shellStatus("rm -r " + quote(dest()) + " && printf file > " + quote(dest())) == 0; },
         "atomic install: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        restoreOld();
        ASSERT_TRUE(c.make()) << mounts.problem();
        const std::string before = describeAny(dest());
        const ProgramEnd run = unpackAtomic();
        EXPECT_EQ(run.status, kIncomplete) << run.output;
        EXPECT_TRUE(hasLineStarting(run.output, c.line)) << c.line << " in:\n" << run.output;
        EXPECT_EQ(snapshot(), installed(before, kOldVersion));
        mounts.unmountAll();
    }
}

TEST_F(AtomicInstallTest, AParentItCannotWriteToIsRefusedBeforeAnythingChanges) {
#ifdef VELK_EMULATED
    GTEST_SKIP() << "setpriv would start the emulator, not our program, as nobody";
#endif
    // Nobody owns DEST but not its parent; the lock file is there, so the lock can be taken.
    shell("chmod 755 " + quote(dir.path()) + " && chown -R nobody " + quote(dest()) + " " + quote(dir / "state") +
          " && touch " + quote(site() + "/" + kLock));
    const ProgramEnd run = unpackAtomic(kAsNobody);
    EXPECT_EQ(run.status, kIncomplete) << run.output;
    EXPECT_TRUE(hasLineStarting(run.output, "atomic install: ")) << run.output;
    EXPECT_EQ(snapshot(), oldInstall());
    // Where nobody may write the parent, the same run goes through.
    shell("chown nobody " + quote(site()));
    const ProgramEnd again = unpackAtomic(kAsNobody);
    EXPECT_EQ(again.status, 0) << again.output;
    EXPECT_EQ(snapshot(), newInstall());
}

// A failing call, made so by strace, at each step of the swap.
TEST_F(AtomicInstallTest, AFailedStepOfTheSwapLeavesDestWhole) {
#ifdef VELK_EMULATED
    GTEST_SKIP() << "strace would trace the emulator";
#endif
    const struct {
        const char* name;
        bool destExists;
        std::string call, action;
        int when, status;
        std::string said;  // what the output says, at the start of a line when it is a refusal
        bool swapped;      // whether DEST is then the new tree
    } cases[] = {
        {"the file system cannot exchange two folders", true, "renameat2", "error=EINVAL", 1, kIncomplete,
         "atomic install: ", false},
        {"the exchange itself fails", true, "renameat2", "error=EIO", 2, kIncomplete, "swap failed(5,", false},
        {"the staged tree cannot be synced", true, "syncfs", "error=EIO", 1, kIncomplete, "syncfs failed(5,", false},
        {"the parent cannot be synced after the exchange", true, "fsync", "error=EIO", 1, kIncomplete,
         "fsync of the parent failed(5,", false},
        {"DEST missing, no RENAME_NOREPLACE: a plain rename", false, "renameat2", "error=EINVAL", 1, 0,
         "tgz: unpack success", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        restoreOld();
        if (!c.destExists) shell("rm -r " + quote(dest()));
        const std::string before = describeAny(dest());
        const ProgramEnd run = unpackAtomic(velktest::straceInjecting(c.call, c.action, c.when));
        EXPECT_EQ(run.status, c.status) << run.output;
        const bool refusal = c.said == "atomic install: ";
        EXPECT_TRUE(refusal ? hasLineStarting(run.output, c.said) : run.output.find(c.said) != std::string::npos)
            << c.said << " in:\n" << run.output;
        EXPECT_EQ(snapshot(), c.swapped ? newInstall() : installed(before, kOldVersion));
    }
}

#if defined(VELK_SANITIZE_BUILD)
constexpr size_t kSpreadPoints = 4, kStretchStride = 6;  // sanitized programs start slowly
#else
constexpr size_t kSpreadPoints = 30, kStretchStride = 1;
#endif

// Durable before declared, in the order of a run's calls: the staged tree is synced, then
// swapped in, the swap made durable (the parent synced), and only then is the version file
// renamed into place.
void expectDurableBeforeDeclared(const velktest::SyscallTrace& trace) {
    const auto swap = std::find(trace.calls.begin() + long(trace.marker), trace.calls.end(), "renameat2");
    const auto parentSynced = std::find(swap, trace.calls.end(), "fsync");
    EXPECT_NE(std::find(parentSynced, trace.calls.end(), "renameat"), trace.calls.end())
        << "not in the order syncfs, renameat2, fsync, renameat";
}

// A kill at a spread of system calls through a run and at every call from the sync of the
// staged tree to the end: DEST is the old tree (or missing, when it was) or the new one, the
// version file names the new version only with the new tree, and the next run cleans up.
// On tmpfs where a private mount namespace can be had: its syncs cost nothing, so the sweep
// does not wait on other work on the machine's disk; the calls and their order are the same.
TEST_F(AtomicInstallTest, KilledAtAnySystemCallDestIsWhollyOldOrNew) {
#ifdef VELK_EMULATED
    GTEST_SKIP() << "strace would trace the emulator";
#endif
    velktest::PrivateMounts mounts;
    if (mounts.entered()) {
        ASSERT_TRUE(mounts.mountTmpfs(site(), "size=4m") && mounts.mountTmpfs(dir / "state", "size=64k"))
            << mounts.problem();
    }
    for (const bool destExists : {true, false}) {
        SCOPED_TRACE(destExists ? "DEST exists" : "DEST missing");
        const auto startOver = [&] {
            restoreOld();
            if (!destExists) shell("rm -r " + quote(dest()));
        };
        startOver();
        const std::string before = describeAny(dest());
        ASSERT_EQ(unpackAtomic(velktest::straceRecording(dir / "trace")).status, 0);
        const velktest::SyscallTrace trace = velktest::readSyscallTrace(readFile(dir / "trace"), "syncfs");
        ASSERT_TRUE(trace.markerSeen) << "no syncfs in the trace";
        expectDurableBeforeDeclared(trace);
        std::vector<size_t> points;
        const size_t spread = std::max<size_t>(1, trace.marker / kSpreadPoints);
        for (size_t i = 0; i < trace.marker; i += spread) points.push_back(i);
        for (size_t i = trace.marker; i < trace.calls.size(); i += kStretchStride) points.push_back(i);
        size_t killed = 0, tried = 0;
        for (const size_t i : points) {
            const std::string& call = trace.calls[i];
            if (call == "execve" || call == "exit_group") continue;
            const int when = velktest::occurrence(trace, i);
            startOver();
            ++tried;
            killed += unpackAtomic(velktest::straceInjecting(call, "signal=SIGKILL", when)).signal == SIGKILL;
            const std::string now = describeAny(dest()), value = readFile(version());
            const bool isNew = now == newTree;
            EXPECT_TRUE(isNew || now == before) << call << " #" << when << ": DEST is\n" << now;
            EXPECT_TRUE(value == kOldVersion || (isNew && value == "new")) << call << " #" << when << ": " << value;
            const ProgramEnd rerun = unpackAtomic();
            EXPECT_EQ(rerun.status, 0) << call << " #" << when << "\n" << rerun.output;
            EXPECT_EQ(snapshot(), newInstall()) << call << " #" << when;
        }
        EXPECT_GE(killed * 10, tried * 9) << "the kills missed their calls";
    }
}

// The pid that holds a flock on the file whose inode is `inode`, as /proc/locks says; -1 for none.
pid_t flockHolder(ino_t inode) {
    std::istringstream locks(readFile("/proc/locks"));
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);  // "1: FLOCK  ADVISORY  WRITE 23003 fe:00:10978032 0 EOF"
        std::string number, kind, advisory, access, file;
        pid_t pid = -1;
        fields >> number >> kind >> advisory >> access >> pid >> file;
        if (kind == "FLOCK" && file.substr(file.rfind(':') + 1) == std::to_string(inode)) return pid;
    }
    return -1;
}

// velk-unpack under strace, stopped by SIGSTOP right after the sync of its tree: the lock is
// held and the tree whole, and nothing more happens until resume(). A run the test did not
// resume is killed, with its strace, when the object goes.
class HeldRun {
public:
    HeldRun(const std::vector<std::string>& args, const std::string& folder)
        : setup{folder + "/held.log", folder, 022}, traced(folder + "/held.trace") {
        velktest::writeFile(traced, "");
        const std::vector<std::string> strace = velktest::straceInjecting("syncfs", "signal=SIGSTOP", 1, traced);
        started = velktest::startProgram(strace + std::vector<std::string>{VELK_UNPACK} + args, setup);
    }
    ~HeldRun() {
        if (started <= 0) return;
        if (tracee > 0) kill(tracee, SIGKILL);
        kill(started, SIGKILL);
        waitpid(started, nullptr, 0);
    }
    HeldRun(const HeldRun&) = delete;
    HeldRun& operator=(const HeldRun&) = delete;

    // Waits until the run is stopped and holds the flock on `lockFile`: its pid, or -1 when
    // it ended first or kHangSeconds passed.
    pid_t holdsLock(const std::string& lockFile) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(velktest::kHangSeconds);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(started, &status, WNOHANG) != 0) {
                started = -1;  // ended (or lost) before it was held
                return -1;
            }
            struct stat lock;
            const bool stopped = readFile(traced).find("--- stopped by SIGSTOP ---") != std::string::npos;
            if (stopped && stat(lockFile.c_str(), &lock) == 0 && (tracee = flockHolder(lock.st_ino)) > 0) return tracee;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));  // between looks at the state
        }
        return -1;
    }
    ProgramEnd resume() {
        if (tracee > 0) kill(tracee, SIGCONT);
        const ProgramEnd end = velktest::finishProgram(started, setup);
        started = -1;
        return end;
    }
    std::string report() const { return readFile(traced) + readFile(setup.log); }

private:
    velktest::ProgramSetup setup;
    std::string traced;  // strace's report
    pid_t started = -1;  // strace
    pid_t tracee = -1;   // velk-unpack
};

// While one run holds the lock, a second one, with another package, must end at once as
// busy and touch nothing; the first then finishes whole.
TEST_F(AtomicInstallTest, ASecondRunWhileOneHoldsTheLockIsBusyAndDisturbsNothing) {
#ifdef VELK_EMULATED
    GTEST_SKIP() << "strace would trace the emulator";
#endif
    shell(cd() + "tar --format=ustar --mtime=@0 -C other -cf other.tar .");
    const std::string other = package("other.velk", "--tar other.tar", 7, "{\"PLVS\":\"other\"}");
    const std::vector<std::string> atomic = {"--atomic"}, inPlace = {};
    const struct {
        const char* name;
        std::vector<std::string> first, second;
    } cases[] = {
        {"two staged runs", atomic, atomic},
        {"a plain run while a staged one works", atomic, inPlace},
        {"a staged run while a plain one works", inPlace, atomic},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        restoreOld();
        HeldRun first(c.first + std::vector<std::string>{pkg(), dest(), version()}, dir.path());
        ASSERT_GT(first.holdsLock(site() + "/" + kLock), 0) << first.report();
        const std::string work = c.first.empty() ? dest() : staging();  // where the first run made its tree
        EXPECT_EQ(describeTree(work), newTree);
        const std::string beside = listFolder(site());
        const ProgramEnd second = unpack(c.second + std::vector<std::string>{other, dest(), version()});
        EXPECT_EQ(second.status, kIncomplete) << second.output;
        EXPECT_NE(second.output.find("dest " + dest() + " is busy: another update is running\n"), std::string::npos)
            << second.output;
        EXPECT_EQ(describeTree(work), newTree);
        EXPECT_EQ(listFolder(site()), beside);
        EXPECT_EQ(readFile(version()), kOldVersion);
        const ProgramEnd firstEnd = first.resume();
        EXPECT_EQ(firstEnd.status, 0) << firstEnd.output;
        EXPECT_EQ(snapshot(), newInstall());
    }
}

// A failed staged run leaves a missing DEST missing and a linked folder as it was; a good one
// makes DEST, or fills the folder the link leads to, and the link stays.
TEST_F(AtomicInstallTest, DestMissingOrReachedThroughAnOperatorsLink) {
    const std::string bad = badTrailerPackage();
    const struct {
        const char* name;
        std::string make;    // shell commands in the site folder
        std::string given;   // DEST as given, in the site folder
        std::string folder;  // the folder DEST resolves to, in the site folder
        std::string failed;  // the listing of the folder that holds it, after a failed run
        std::string beside;  // and after a good one
        std::string link;    // where the link at `given` must still lead, if one was made
    } cases[] = {
        {"DEST renamed away", "mv dest ../moved", "dest", "dest", ".dest.velk-lock", ".dest.velk-lock dest", ""},
        {"DEST and its parent missing", "", "new/dest", "new/dest", ".dest.velk-lock", ".dest.velk-lock dest", ""},
        {"an operator's link to the folder", "mv dest real && ln -s real current", "current", "real",
         ".real.velk-lock current real", ".real.velk-lock current real", "real"},
        {"DEST spelled with . and a trailing slash", "", "./dest/", "dest", ".dest.velk-lock dest",
         ".dest.velk-lock dest", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        shell("rm -rf " + quote(dir / "moved") + " " + quote(site()) + " && mkdir " + quote(site()));
        restoreOld();
        if (!c.make.empty()) shell("cd " + quote(site()) + " && " + c.make);
        const std::string resolved = site() + "/" + c.folder, holder = resolved.substr(0, resolved.rfind('/'));
        const std::string before = describeAny(resolved);
        const ProgramEnd failed = unpack({"--atomic", bad, site() + "/" + c.given, version()});
        EXPECT_EQ(failed.status, kIncomplete) << failed.output;
        EXPECT_EQ(describeAny(resolved), before);
        EXPECT_EQ(listFolder(holder), c.failed);
        EXPECT_EQ(readFile(version()), kOldVersion);
        const ProgramEnd run = unpack({"--atomic", pkg(), site() + "/" + c.given, version()});
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(describeTree(resolved), newTree);  // the old content is gone
        EXPECT_EQ(listFolder(holder), c.beside);
        EXPECT_EQ(readFile(version()), "new");
        if (c.link.empty()) continue;
        char target[64] = {};
        EXPECT_EQ(readlink((site() + "/" + c.given).c_str(), target, sizeof target - 1), ssize_t(c.link.size()));
        EXPECT_EQ(target, c.link);
    }
}

// Entries and their modes, as made on disk and archived by GNU tar; folders end in '/'.
const struct ModeCase {
    const char* name;
    mode_t given;  // the entry's mode
    mode_t kept;   // what -p makes of it
} kModes[] = {
    {"bin/", 0755, 0755},       {"bin/tool", 0755, 0755},  {"etc/", 0750, 0750},         {"etc/secret", 0640, 0640},
    {"private/", 0700, 0700},   {"private/key", 0600, 0600}, {"ro/", 0555, 0555},        {"ro/inside", 0444, 0444},
    {"ro/sub/", 0555, 0555},    {"ro/sub/deep", 0644, 0644}, {"setuid", 04755, 0755},    {"setgid", 02750, 0750},
    {"tmp/", 01777, 0777},      {"tmp/any", 0666, 0666},
};

bool isFolder(const ModeCase& entry) { return entry.name[strlen(entry.name) - 1] == '/'; }

std::string octal(mode_t mode) {
    std::ostringstream text;
    text << std::oct << mode;
    return text.str();
}

// "name mode" per entry of kModes below `root`, as stat finds them.
std::string modesBelow(const std::string& root) {
    std::string listed;
    for (const ModeCase& entry : kModes) {
        struct stat st;
        const bool found = lstat((root + "/" + entry.name).c_str(), &st) == 0;
        listed += std::string(entry.name) + " " + (found ? octal(st.st_mode & 07777) : "(missing)") + "\n";
    }
    return listed;
}

// What modesBelow must say: with -p the kept bits, else 0755 and 0600 under the umask.
std::string expectedModes(bool keep, mode_t mask) {
    std::string listed;
    for (const ModeCase& entry : kModes) {
        const mode_t made = (isFolder(entry) ? 0755 : 0600) & ~mask;
        listed += std::string(entry.name) + " " + octal(keep ? entry.kept : made) + "\n";
    }
    return listed;
}

class PermissionsTest : public AtomicInstallTest {
protected:
    // The package of kModes's tree; children get their modes before their folders.
    std::string modesPackage() {
        std::vector<const ModeCase*> entries;
        for (const ModeCase& entry : kModes) entries.push_back(&entry);
        std::sort(entries.begin(), entries.end(), [](auto a, auto b) { return strcmp(a->name, b->name) > 0; });
        std::string make = cd() + "mkdir -p modes && cd modes";
        for (const ModeCase* entry : entries) {
            if (isFolder(*entry)) continue;
            const std::string name = entry->name;
            const size_t slash = name.rfind('/');
            const std::string folder = slash == std::string::npos ? "." : name.substr(0, slash);
            make += " && mkdir -p " + folder + " && printf x > " + name;
        }
        for (const ModeCase* entry : entries) make += " && chmod " + octal(entry->given) + " " + entry->name;
        shell(make + " && tar --format=ustar --sort=name --mtime=@0 --owner=0 --group=0 -cf ../modes.tar .");
        return package("modes.velk", "--tar modes.tar", 8);
    }
};

TEST_F(PermissionsTest, KeptBitsWithPButNeverSetIdOrSticky) {
    const std::string source = modesPackage();
    const struct {
        const char* name;
        std::vector<std::string> options;
        mode_t mask;
        bool keep;
    } cases[] = {
        {"without -p, umask 022", {}, 022, false},
        {"without -p, umask 027", {}, 027, false},
        {"-p", {"-p"}, 022, true},
        {"--preserve-permissions with --atomic, umask 077", {"--preserve-permissions", "--atomic"}, 077, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        restoreOld();
        const ProgramEnd run = unpack(c.options + std::vector<std::string>{source, dest(), version()}, {}, c.mask);
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(modesBelow(dest()), expectedModes(c.keep, c.mask));
    }
}

// As an ordinary user, an 0555 folder holding entries only works out when its mode is applied
// last; and the next staged run must still replace the tree that holds it.
TEST_F(PermissionsTest, AsAnOrdinaryUserReadOnlyFoldersAndTheNextRun) {
#ifdef VELK_EMULATED
    GTEST_SKIP() << "setpriv would start the emulator, not our program, as nobody";
#endif
    const std::string source = modesPackage();
    shell("chmod 755 " + quote(dir.path()) + " && chown -R nobody " + quote(site()) + " " + quote(dir / "state"));
    for (int run = 1; run <= 3; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const ProgramEnd end = unpack({"-p", "--atomic", source, dest(), version()}, kAsNobody);
        EXPECT_EQ(end.status, 0) << end.output;
        EXPECT_EQ(modesBelow(dest()), expectedModes(true, 022));
        EXPECT_EQ(listFolder(site()), std::string(kLock) + " dest");
    }
}

TEST_F(AtomicInstallTest, OptionsStandBeforeSourceOnly) {
    shell(cd() + "cp p.velk ./-new.velk && cp p.velk ./-");
    const std::string d = dest(), v = version();
    const struct {
        const char* name;
        std::vector<std::string> args;
        int status;
        bool swapped;  // DEST is another folder than before: the run was staged
    } cases[] = {
        {"an unknown option", {"--frob", "p.velk", d, v}, kUsage, false},
        {"an unknown option after a known one", {"--atomic", "-x", "p.velk", d, v}, kUsage, false},
        {"a SOURCE that looks like an option", {"-new.velk", d, v}, kUsage, false},
        {"two arguments after the options", {"--atomic", "-p", "p.velk", d}, kUsage, false},
        {"nothing after the options", {"--atomic"}, kUsage, false},
        {"-- ends the options", {"--atomic", "--", "-new.velk", d, v}, 0, true},
        {"-- alone before SOURCE", {"--", "-new.velk", d, v}, 0, false},
        {"- alone is a SOURCE", {"-", d, v}, 0, false},
        {"arguments after VERSION-FILE are ignored", {"p.velk", d, v, "--atomic"}, 0, false},
        {"-p and --atomic, an argument after VERSION-FILE", {"-p", "--atomic", "p.velk", d, v, "x"}, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        restoreOld();
        shell("rm -f " + quote(site() + "/" + kLock));
        struct stat before, after;
        ASSERT_EQ(stat(dest().c_str(), &before), 0);
        const ProgramEnd run = unpack(c.args);
        EXPECT_EQ(run.status, c.status) << run.output;
        if (c.status == kUsage) {
            EXPECT_EQ(run.output, "params: source path; dest path; version\n");
            EXPECT_EQ(snapshot(), "dest:\n" + oldTree + "version: " + kOldVersion +
                                      "\nbeside DEST: dest\nbeside the version file: version\n");
            continue;
        }
        EXPECT_EQ(snapshot(), newInstall());
        ASSERT_EQ(stat(dest().c_str(), &after), 0);
        EXPECT_EQ(after.st_ino != before.st_ino, c.swapped);
    }
}

}  // namespace
