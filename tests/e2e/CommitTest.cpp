// The end of an install, seen from outside: the order of the calls that make it durable (strace
// -f -y), each step after the swap failing in turn, a version file inside DEST, which is the
// tool's own state and travels with the tree it names, and a kill at any system call.

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/PrivateMounts.h"
#include "tests/support/Scene.h"
#include "tests/support/SyscallTrace.h"

using namespace velktest;

namespace {

constexpr const char* kOld = "an older, longer version";  // longer than "new": a mix would show
#ifdef VELK_SANITIZE_BUILD
constexpr size_t kSpread = 4;  // sanitized programs start slowly
#else
constexpr size_t kSpread = 20;
#endif

class CommitTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (kEmulated) GTEST_SKIP() << "strace would trace the emulator";
        s.sh("mkdir -p tree/bin old/state/deep site state && printf new-tool > tree/bin/tool && printf old-tool >"
             " old/tool && printf deep > old/state/deep/f && ln -s tool old/link");
        writeFile(s / "tree/share.bin", seededBytes(300000, 7));  // written in several calls
        s.pack("tree", "p.velk");
        s.packBadTrailer("tree", "crc.velk");
        newTree = describeTree(s / "tree");
    }
    std::string dest() const { return s / "site/dest"; }

    // DEST holds the old tree (with a version file of its own in state/), the outside version
    // file says kOld, and the lock file is there from an earlier run; no index describes it.
    void restore() {
        s.sh("rm -rf site/dest site/.dest.*velk-staging site/.dest.velk-index && cp -a old site/dest &&"
             " : > site/.dest.velk-lock");
        writeFile(s / "state/version", kOld);
        writeFile(dest() + "/state/version", kOld);
    }
    std::string ls(const std::string& folder) const { return s.sh("LC_ALL=C ls -A " + quote(folder)); }

    Scene s;
    std::string newTree;
};

// Where in `log` (strace -y) the first call `name` from `from` on shows every one of `parts`.
size_t findCall(const std::string& log, const std::string& name, const std::vector<std::string>& parts,
                size_t from = 0) {
    for (size_t at = log.find(" " + name + "(", from); at != std::string::npos; at = log.find(" " + name + "(", at + 1)) {
        const std::string line = log.substr(at, log.find('\n', at) - at);
        if (std::all_of(parts.begin(), parts.end(), [&](const std::string& p) { return line.find(p) != line.npos; })) {
            return at;
        }
    }
    return std::string::npos;
}

// Durable before declared, in the order each step needs, in place and staged: the tree synced
// (syncfs) before it is swapped in or named; the swap, then the parent synced; the version's
// temporary written and synced before its rename (and, staged, before the swap); the rename, then
// its folder synced. Removing or moving any one of these calls fails this test.
TEST_F(CommitTest, TheCallsThatMakeAnInstallDurableComeInOrder) {
    const std::string site = s / "site", state = s / "state";
    const std::vector<std::string> temporary = {"<" + state + "/.version.", ".velk-new>"};
    for (const bool staged : {false, true}) {
        SCOPED_TRACE(staged ? "staged" : "in place");
        restore();
        std::vector<std::string> args = {"p.velk", dest(), s / "state/version"};
        if (staged) args.insert(args.begin(), "--atomic");
        const std::string log = s / "trace";
        ASSERT_EQ(s.unpack(args, straceCommand(log, {"-y", "-e", "trace=syncfs,fsync,write,renameat,renameat2"}))
                      .status, 0) << s.log();
        const std::string calls = readFile(log);
        const std::vector<std::string> tree = staged ? std::vector<std::string>{"<" + site + "/.dest.", ".velk-staging>"}
                                                     : std::vector<std::string>{"<" + dest() + ">"};
        const size_t synced = findCall(calls, "syncfs", tree);
        const size_t written = findCall(calls, "write", {temporary[0], temporary[1], "\"new\""});
        const size_t tempSynced = findCall(calls, "fsync", temporary, written);
        const size_t renamed = findCall(calls, "renameat", {"\".version.", ".velk-new\"", "\"version\""});
        const size_t folderSynced = findCall(calls, "fsync", {"<" + state + ">"}, renamed);
        for (const size_t at : {synced, written, tempSynced, renamed, folderSynced}) ASSERT_NE(at, std::string::npos);
        EXPECT_LT(synced, renamed);
        EXPECT_LT(written, tempSynced);
        EXPECT_LT(tempSynced, renamed);
        EXPECT_LT(renamed, folderSynced);
        if (staged) {
            const size_t swapped = findCall(calls, "renameat2", {".velk-staging\"", "\"dest\"", "RENAME_EXCHANGE"});
            const size_t parentSynced = findCall(calls, "fsync", {"<" + site + ">"}, swapped);
            ASSERT_NE(swapped, std::string::npos);
            ASSERT_NE(parentSynced, std::string::npos);
            EXPECT_LT(synced, swapped);
            EXPECT_LT(tempSynced, swapped);
            EXPECT_LT(parentSynced, renamed);
        }
        EXPECT_EQ(describeTree(dest()), newTree);
        EXPECT_EQ(readFile(s / "state/version"), "new");
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
         kOld, "version file: rename " + s / "state/version failed(28,"},
        // The first fsync is the version file's temporary, written before the exchange.
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
        const Outcome out = s.unpack({"--atomic", "p.velk", dest(), s / "state/version"}, straceCommand("/dev/null", options));
        EXPECT_EQ(out.status, row.status) << out.all();
        EXPECT_NE(out.all().find(row.message), std::string::npos) << out.all();
        EXPECT_EQ(describeTree(dest()), row.newTreeLeft ? newTree : oldTree);
        EXPECT_EQ(readFile(s / "state/version"), row.version);
        EXPECT_EQ(ls(s / "state"), "version\n");
        // The old tree is removed only once nothing can go back to it; where the swap could not be
        // undone it is kept under the staging name, for the next run to remove.
        const bool oldTreeKept = row.newTreeLeft && row.version == kOld;
        EXPECT_EQ(s.sh("LC_ALL=C ls -A site | grep -v 'velk-staging$'"), ".dest.velk-lock\ndest\n");
        EXPECT_EQ(namesWith(s / "site", ".velk-staging") != "", oldTreeKept);
    }
}

// A version file inside DEST is the tool's state, not part of the old tree: in place, a package
// that fails after the emptying leaves it as it was.
TEST_F(CommitTest, AVersionFileInsideDestOutlivesAFailedEmptying) {
    const std::string inside = dest() + "/state/version";
    restore();
    EXPECT_EQ(s.unpack({"crc.velk", dest(), inside}).status, kIncomplete) << s.log();
    EXPECT_EQ(readFile(inside), kOld);
    restore();
    ASSERT_EQ(s.unpack({"p.velk", dest(), inside}).status, 0) << s.log();
    EXPECT_EQ(readFile(inside), "new");
}

// A kill at a spread of calls before the sync of the tree and at every call from it on. In place
// the version file holds the old value or the new one. Staged, DEST is wholly old (or missing) or
// new, and the version file names the new version only with the new tree; a version file inside
// DEST is written into the new tree before the swap, so that DEST is never a tree without its
// version. The index beside DEST describes the tree in it or is recognised as stale: velk-inspect
// --check-tree never finds a difference. After each kill the next run installs and leaves
// nothing behind but the lock and the index. On tmpfs where possible: its syncs do not wait on
// the machine's disk.
TEST_F(CommitTest, KilledAtAnySystemCallNothingIsHalfDone) {
    PrivateMounts mounts;
    if (mounts.entered()) {
        ASSERT_TRUE(mounts.mountTmpfs(s / "site", "size=4m") && mounts.mountTmpfs(s / "state", "size=64k"))
            << mounts.problem();
    }
    restore();
    const std::string oldTree = describeTree(dest()), inside = dest() + "/state/version";
    const std::string newWithVersion = [&] {
        s.sh("mkdir -p tree/state && printf new > tree/state/version");
        const std::string tree = describeTree(s / "tree");
        s.sh("rm -r tree/state");
        return tree;
    }();
    const std::string dest = this->dest(), version = s / "state/version";
    const struct {
        const char* name;
        std::vector<std::string> args;
        bool destMissing;
        size_t spread;
        std::string newTree, versionFile;
    } rows[] = {
        {"in place", {"p.velk", dest, version}, false, 0, newTree, version},
        {"staged", {"--atomic", "p.velk", dest, version}, false, kSpread, newTree, version},
        {"staged, DEST missing", {"--atomic", "p.velk", dest, version}, true, 0, newTree, version},
        {"staged, the version file inside DEST", {"--atomic", "p.velk", dest, inside}, false, 0, newWithVersion, inside},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const bool staged = row.args[0] == "--atomic";
        sweep({s / "trace", "syncfs", "SIGKILL", row.spread,
               [&] {
                   restore();
                   if (row.destMissing) s.sh("rm -r site/dest");
               },
               [&](const std::vector<std::string>& tool) { return s.unpack(row.args, tool); },
               [&](const Outcome&) {
                   const std::string now = exists(dest) ? describeTree(dest) : "(missing)";
                   const std::string value = readFile(row.versionFile);
                   EXPECT_TRUE(!staged || now == row.newTree || now == (row.destMissing ? "(missing)" : oldTree))
                       << "DEST is\n" << now;
                   EXPECT_TRUE(value == kOld || value == "new") << value;
                   EXPECT_TRUE(!staged || value == kOld || now == row.newTree) << "the new version without its tree";
                   // The index describes the tree in DEST, or is recognised as stale.
                   const int checked = shellStatus(std::string(VELK_INSPECT) + " --check-tree " + quote(dest) +
                                                   " > /dev/null 2>&1");
                   EXPECT_TRUE(checked == 0 || checked == 5) << checked;
                   const Outcome rerun = s.unpack(row.args);
                   EXPECT_EQ(rerun.status, 0) << rerun.all();
                   EXPECT_EQ(describeTree(dest), row.newTree);
                   EXPECT_EQ(readFile(row.versionFile), "new");
                   EXPECT_EQ(ls(s / "site") + ls(s / "state"), ".dest.velk-index\n.dest.velk-lock\ndest\nversion\n");
               }});
    }
}

}  // namespace
