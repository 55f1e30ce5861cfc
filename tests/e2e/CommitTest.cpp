// The end of an install, seen from outside: the order of the calls that make it durable (strace
// -f -y), each step after the swap failing in turn, and a version file inside DEST, which is the
// tool's own state and travels with the tree it names.

#include <gtest/gtest.h>

#include <signal.h>

#include <regex>
#include <sstream>

#include "tests/support/SyscallTrace.h"
#include "tests/support/TestSupport.h"

using velktest::describeTree;
using velktest::Launch;
using velktest::Outcome;
using velktest::quote;
using velktest::readFile;
using velktest::shell;

namespace {

constexpr int kIncomplete = 249, kVersionFailed = 250;  // -7, -6
constexpr const char* kOld = "an older, longer version";
#ifdef VELK_EMULATED
constexpr bool kEmulated = true;  // strace would trace the emulator
#else
constexpr bool kEmulated = false;
#endif

class CommitTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (kEmulated) GTEST_SKIP() << "strace would trace the emulator";
        shell(cd() + "mkdir -p tree/bin old/state site state && printf new-tool > tree/bin/tool && tar --format=ustar"
              " --sort=name --mtime=@0 --owner=0 --group=0 -C tree -cf t.tar . && " + velktest::refPacker() +
              " --label L --info '{\"PLVS\":\"new\"}' --tar t.tar -o p.velk && printf old-tool > old/tool");
        // A package that fails after its first file: its gzip trailer is wrong.
        std::string gz = shell(cd() + "gzip -n -c t.tar");
        gz[gz.size() - 8] = char(gz[gz.size() - 8] ^ 0x40);
        velktest::writeFile(dir / "crc.gz", gz);
        shell(cd() + velktest::refPacker() + " --label L --info '{\"PLVS\":\"new\"}' --gzip crc.gz -o crc.velk");
        newTree = describeTree(dir / "tree");
    }
    std::string cd() const { return "cd " + quote(dir.path()) + " && "; }
    std::string dest() const { return dir / "site/dest"; }

    // DEST holds the old tree (with a version file of its own in state/), the outside version
    // file says kOld, and the lock file is there from an earlier run.
    void restore() {
        shell(cd() + "rm -rf site/dest site/.dest.velk-staging && cp -a old site/dest && : > site/.dest.velk-lock");
        velktest::writeFile(dir / "state/version", kOld);
        velktest::writeFile(dest() + "/state/version", kOld);
    }
    Outcome unpack(const std::vector<std::string>& args, std::vector<std::string> tool = {}) const {
        if (!tool.empty()) tool.push_back("--");
        tool.push_back(VELK_UNPACK);
        tool.insert(tool.end(), args.begin(), args.end());
        Launch how;
        how.argv = tool;
        how.out = dir / "log";
        how.workDir = dir.path();
        return velktest::run(how);
    }
    std::string ls(const std::string& folder) const { return shell("LC_ALL=C ls -A " + quote(folder)); }

    velktest::TempDir dir;
    std::string newTree;
};

// One traced call: its name and its text as strace -y wrote it.
struct Call {
    std::string name, text;
};

std::vector<Call> tracedCalls(const std::string& log) {
    std::vector<Call> calls;
    std::istringstream lines(log);
    const std::regex call(R"(^\d+ +([a-z0-9_]+)\()");
    std::smatch found;
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_search(line, found, call)) calls.push_back({found[1], line});
    }
    return calls;
}

// The index of the first call named `name` whose text holds every one of `parts`, from `from` on.
size_t findCall(const std::vector<Call>& calls, const std::string& name, const std::vector<std::string>& parts,
                size_t from = 0) {
    for (size_t i = from; i < calls.size(); ++i) {
        bool all = calls[i].name == name;
        for (const std::string& part : parts) all = all && calls[i].text.find(part) != std::string::npos;
        if (all) return i;
    }
    return std::string::npos;
}

// Durable before declared, in the order each step needs, in place and staged: the tree synced
// (syncfs) before it is swapped in or named; the swap, then the parent synced; the version's
// temporary written and synced before its rename (and, staged, before the swap); the rename, then
// its folder synced. Removing or moving any one of these calls fails this test.
TEST_F(CommitTest, TheCallsThatMakeAnInstallDurableComeInOrder) {
    const std::string site = dir / "site", state = dir / "state", temporary = state + "/.version.velk-new";
    for (const bool staged : {false, true}) {
        SCOPED_TRACE(staged ? "staged" : "in place");
        restore();
        std::vector<std::string> args = {"p.velk", dest(), dir / "state/version"};
        if (staged) args.insert(args.begin(), "--atomic");
        const std::string log = dir / "trace";
        ASSERT_EQ(unpack(args, velktest::straceCommand(log, {"-y", "-e", "trace=syncfs,fsync,write,renameat,renameat2"}))
                      .status, 0) << readFile(dir / "log");
        const std::vector<Call> calls = tracedCalls(readFile(log));
        const std::string tree = staged ? site + "/.dest.velk-staging>" : dest() + ">";
        const size_t synced = findCall(calls, "syncfs", {tree});
        const size_t written = findCall(calls, "write", {"<" + temporary + ">", "\"new\""});
        const size_t tempSynced = findCall(calls, "fsync", {"<" + temporary + ">"}, written);
        const size_t renamed = findCall(calls, "renameat", {"\".version.velk-new\"", "\"version\""});
        const size_t folderSynced = findCall(calls, "fsync", {"<" + state + ">"}, renamed);
        for (const size_t at : {synced, written, tempSynced, renamed, folderSynced}) ASSERT_NE(at, std::string::npos);
        EXPECT_LT(synced, renamed);
        EXPECT_LT(written, tempSynced);
        EXPECT_LT(tempSynced, renamed);
        EXPECT_LT(renamed, folderSynced);
        if (staged) {
            const size_t swapped = findCall(calls, "renameat2", {"\".dest.velk-staging\"", "\"dest\"", "RENAME_EXCHANGE"});
            const size_t parentSynced = findCall(calls, "fsync", {"<" + site + ">"}, swapped);
            ASSERT_NE(swapped, std::string::npos);
            ASSERT_NE(parentSynced, std::string::npos);
            EXPECT_LT(synced, swapped);
            EXPECT_LT(tempSynced, swapped);
            EXPECT_LT(parentSynced, renamed);
        }
        EXPECT_EQ(describeTree(dest()), newTree);
        EXPECT_EQ(readFile(dir / "state/version"), "new");
    }
}

// Every step after the swap failing in turn, made so by strace. Before the version file is
// renamed the swap is undone: DEST is the old tree, the version file as it was. Where the swap
// cannot be undone either, or the version file was renamed already, DEST keeps the new tree and
// the message says which of the two the version file names.
TEST_F(CommitTest, AFailureAfterTheSwapIsUndoneOrSaysWhatIsLeft) {
    const std::string oldTree = [&] { restore(); return describeTree(dest()); }();
    const std::string said = "atomic install: " + dest() + ": ";
    const struct {
        const char* name;
        std::vector<std::string> injected;  // inject= rules
        int status;
        bool newTreeLeft;
        std::string version, message;
    } rows[] = {
        {"the version file cannot be renamed (a full disk)", {"renameat:error=ENOSPC:when=1"}, kVersionFailed, false,
         kOld, "version file: rename " + dir / "state/version failed(28,"},
        {"the parent cannot be synced after the swap", {"fsync:error=EIO:when=2"}, kIncomplete, false, kOld,
         said + "fsync of the parent failed(5,"},
        {"nor can the swap be undone", {"fsync:error=EIO:when=2", "renameat2:error=EROFS:when=3"}, kIncomplete, true,
         kOld, said + "the new tree is in place but the version file was not written(30,"},
        {"the version's folder cannot be synced after its rename", {"fsync:error=EIO:when=3"}, kIncomplete, true,
         "new", said + "the new tree and its version are in place, but not known to be durable"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        restore();
        std::vector<std::string> options = {"-e", "trace=fsync,renameat,renameat2"};
        for (const std::string& rule : row.injected) options.insert(options.end(), {"-e", "inject=" + rule});
        const Outcome out =
            unpack({"--atomic", "p.velk", dest(), dir / "state/version"}, velktest::straceCommand("/dev/null", options));
        EXPECT_EQ(out.status, row.status) << out.all();
        EXPECT_NE(out.all().find(row.message), std::string::npos) << out.all();
        EXPECT_EQ(describeTree(dest()), row.newTreeLeft ? newTree : oldTree);
        EXPECT_EQ(readFile(dir / "state/version"), row.version);
        EXPECT_EQ(ls(dir / "state"), "version\n");
        // The old tree is removed only once nothing can go back to it; where the swap could not be
        // undone it is kept under the staging name, for the next run to remove.
        const bool oldTreeKept = row.newTreeLeft && row.version == kOld;
        EXPECT_EQ(ls(dir / "site"), oldTreeKept ? ".dest.velk-lock\n.dest.velk-staging\ndest\n" : ".dest.velk-lock\ndest\n");
    }
}

// A version file inside DEST is the tool's state, not part of the old tree. In place, a package
// that fails after the emptying leaves it as it was; staged, it is written into the new tree
// before the swap, so that a kill at any call from the sync on finds the old tree with the old
// version or the new tree with the new one, never a tree without its version.
TEST_F(CommitTest, AVersionFileInsideDestTravelsWithItsTree) {
    const std::string inside = dest() + "/state/version";
    restore();
    EXPECT_EQ(unpack({"crc.velk", dest(), inside}).status, kIncomplete) << readFile(dir / "log");
    EXPECT_EQ(readFile(inside), kOld);
    restore();
    ASSERT_EQ(unpack({"p.velk", dest(), inside}).status, 0) << readFile(dir / "log");
    EXPECT_EQ(readFile(inside), "new");
    restore();
    const std::string oldTree = describeTree(dest());
    const std::string newWithVersion = [&] {
        shell(cd() + "mkdir -p tree/state && printf new > tree/state/version");
        const std::string tree = describeTree(dir / "tree");
        shell(cd() + "rm -r tree/state");
        return tree;
    }();
    const std::vector<std::string> atomic = {"--atomic", "p.velk", dest(), inside};
    ASSERT_EQ(unpack(atomic, velktest::straceRecording(dir / "trace")).status, 0);
    EXPECT_EQ(describeTree(dest()), newWithVersion);
    const velktest::SyscallTrace trace = velktest::readSyscallTrace(readFile(dir / "trace"), "syncfs");
    ASSERT_TRUE(trace.markerSeen);
    size_t killed = 0, tried = 0;
    for (const velktest::CallPoint& point : velktest::killPoints(trace, 0)) {
        SCOPED_TRACE(point.shown());
        restore();
        ++tried;
        killed += unpack(atomic, velktest::straceInjecting(point.call, "signal=SIGKILL", point.when)).signal == SIGKILL;
        const std::string now = describeTree(dest());
        EXPECT_TRUE(now == oldTree || now == newWithVersion) << "DEST is\n" << now;
    }
    EXPECT_EQ(killed, tried) << "a run that was to be killed ended otherwise";
    EXPECT_GT(tried, 10u);
}

}  // namespace
