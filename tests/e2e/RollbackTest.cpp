// --keep-previous keeps the tree an --atomic update replaced beside DEST, with its version and
// its index; --rollback swaps it back, and again forward. Seen from outside: the trees and
// version files each step leaves, the files the two trees share with --link-unchanged, the
// refusals that touch nothing, a kill at any system call, root and a service user taking turns,
// and another user who may neither read a private kept tree nor plant one.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/Scene.h"
#include "tests/support/SyscallTrace.h"

using namespace velktest;

namespace {

#ifdef VELK_SANITIZE_BUILD
constexpr size_t kSpread = 4;  // sanitized programs start slowly
#else
constexpr size_t kSpread = 20;
#endif

constexpr const char* kKept = "site/.dest.velk-previous";

struct stat statOf(const std::string& path) {
    struct stat st {};
    (void)lstat(path.c_str(), &st);
    return st;
}

// Three versions of a tree: v2 changes lib/b, v3 changes lib/c; lib/a never changes.
class RollbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        s.sh("chmod 755 . && mkdir -p v1/lib v1/etc site && printf 'a=1\\n' > v1/etc/conf &&"
             " ln -s ../etc/conf v1/lib/conf");
        for (const char* file : {"a", "b", "c"}) writeFile(s / (std::string("v1/lib/") + file), seededBytes(200000, 1));
        s.sh("cp -a v1 v2 && cp -a v1 v3 && printf two > v2/version-note && printf three > v3/version-note");
        writeFile(s / "v2/lib/b", seededBytes(200000, 2));
        writeFile(s / "v3/lib/b", seededBytes(200000, 2));
        writeFile(s / "v3/lib/c", seededBytes(200000, 3));
        for (const char* tree : {"v1", "v2", "v3"}) {
            s.pack(tree, std::string(tree) + ".velk", tree);
            trees[tree] = describeTree(s / tree);
        }
    }
    std::string dest() const { return s / "site/dest"; }
    Outcome unpack(const std::vector<std::string>& args, bool nobody = false) const {
        return s.unpack(args, nobody ? asNobody({}) : std::vector<std::string>{});
    }
    // DEST installed from v1, then updated to v2 keeping v1.
    void keepV1UnderV2(const std::string& version = "version", const std::string& link = "") {
        s.sh("rm -rf site/dest site/.dest.* version");
        ASSERT_EQ(unpack({"--atomic", "v1.velk", dest(), s / version}).status, 0) << s.log();
        std::vector<std::string> args = {"--atomic", "--keep-previous", "v2.velk", dest(), s / version};
        if (!link.empty()) args.insert(args.begin(), link);
        ASSERT_EQ(unpack(args).status, 0) << s.log();
    }
    // What velk-inspect --check-tree says of DEST: 0 where its index describes it.
    int checkTree() const {
        return shellStatus(std::string(VELK_INSPECT) + " --check-tree " + quote(dest()) + " > /dev/null 2>&1");
    }
    // The tree `name`, with the version file a run writes inside it when `inside`.
    std::string withVersionInside(const std::string& name, bool inside) const {
        if (!inside) return trees.at(name);
        s.sh("rm -rf w && cp -a " + name + " w && mkdir w/state && printf " + name + " > w/state/version");
        return describeTree(s / "w");
    }
    std::string everything() const {
        return describeTree(s / "site") + (exists(s / "version") ? readFile(s / "version") : "(no version)");
    }

    Scene s;
    std::map<std::string, std::string> trees;
};

// Back and forward again, with the version file beside DEST or inside it (each tree then
// carries its own): DEST is byte for byte the other tree, the version file names it, the line
// says which version, and each tree's index comes with it. An update without --keep-previous
// removes the kept tree, so "previous" never outlives the tree it preceded.
TEST_F(RollbackTest, RollsBackAndForwardWithItsVersionAndIndex) {
    for (const std::string& version : {std::string("version"), std::string("site/dest/state/version")}) {
        SCOPED_TRACE(version);
        const bool inside = version != "version";
        keepV1UnderV2(version);
        EXPECT_EQ(statOf(s / kKept).st_mode & 07777, 0700u);
        EXPECT_EQ(describeTree(s / kKept + "/tree") + readFile(s / version), withVersionInside("v1", inside) + "v2");
        for (const char* back : {"v1", "v2", "v1"}) {
            const Outcome out = unpack({"--rollback", dest(), s / version});
            ASSERT_EQ(out.status, 0) << out.all();
            EXPECT_EQ(out.all(), "rolled back " + dest() + " to version " + back + "\n");
            EXPECT_EQ(describeTree(dest()), withVersionInside(back, inside));
            EXPECT_EQ(readFile(s / version), back);
            EXPECT_EQ(checkTree(), 0);
        }
        ASSERT_EQ(unpack({"--atomic", "v3.velk", dest(), s / version}).status, 0) << s.log();
        EXPECT_FALSE(exists(s / kKept));
        EXPECT_EQ(unpack({"--rollback", dest(), s / version}).status, kIncomplete);
    }
}

// With --link-unchanged the two trees share every unchanged file (link count 2), and the next
// update still links it: a file whose other name is the kept tree's counts as unchanged and is
// never written again, after a rollback too. A second name anywhere else makes it a file that
// is written anew.
TEST_F(RollbackTest, UnchangedFilesStaySharedWithTheKeptTree) {
    keepV1UnderV2("version", "--link-unchanged");
    const std::string a = dest() + "/lib/a", b = dest() + "/lib/b";
    const ino_t shared = statOf(a).st_ino, changed = statOf(b).st_ino;
    EXPECT_EQ(statOf(s / kKept + "/tree/lib/a").st_ino, shared);
    EXPECT_EQ(statOf(a).st_nlink, 2u);
    EXPECT_EQ(statOf(b).st_nlink, 1u);
    const std::vector<std::string> toV3 = {"--atomic", "--keep-previous", "--link-unchanged", "v3.velk", dest(),
                                           s / "version"};
    ASSERT_EQ(unpack(toV3).status, 0) << s.log();
    EXPECT_EQ(describeTree(dest()), trees["v3"]);
    EXPECT_EQ(statOf(a).st_ino, shared);   // not written again: linked
    EXPECT_EQ(statOf(b).st_ino, changed);  // v2's own, now shared with v2's kept tree
    EXPECT_EQ(statOf(a).st_nlink, 2u);     // v1's names went with v1's kept tree
    ASSERT_EQ(unpack({"--rollback", dest(), s / "version"}).status, 0) << s.log();
    ASSERT_EQ(unpack(toV3).status, 0) << s.log();
    EXPECT_EQ(statOf(a).st_ino, shared);
    EXPECT_EQ(statOf(b).st_ino, changed);
    s.sh("rm " + std::string(kKept) + "/tree/lib/a && ln site/dest/lib/a elsewhere");
    ASSERT_EQ(unpack(toV3).status, 0) << s.log();
    EXPECT_NE(statOf(a).st_ino, shared);
    EXPECT_EQ(describeTree(dest()), trees["v3"]);
}

// Each refusal leaves DEST, the kept tree and the version file as they were: options that have
// no meaning with --rollback, the wrong operands, a version file that cannot be written (found
// at the start, or failing as it is written: before the exchange either way), a busy DEST, no
// kept tree at all, and an update that cannot know the version of the tree it would keep.
TEST_F(RollbackTest, RefusedRunsTouchNothing) {
    keepV1UnderV2();
    s.sh("printf x > afile");
    const std::string version = s / "version", before = everything();
    const std::string noOption = "velk-unpack: --rollback takes no other option";
    const struct {
        const char* name;
        std::vector<std::string> args;
        int status;
        std::string message;
        std::vector<std::string> tool;
    } rows[] = {
        {"--atomic", {"--rollback", "--atomic", dest(), version}, kUsage, noOption, {}},
        {"-p", {"-p", "--rollback", dest(), version}, kUsage, noOption, {}},
        {"--pubkey", {"--rollback", "--pubkey", "k.pub", dest(), version}, kUsage, noOption, {}},
        {"--link-unchanged", {"--rollback", "--link-unchanged", dest(), version}, kUsage, noOption, {}},
        {"--keep-previous", {"--rollback", "--keep-previous", dest(), version}, kUsage, noOption, {}},
        {"--keep-backslashes", {"--rollback", "--keep-backslashes", dest(), version}, kUsage, noOption, {}},
        {"--progress-fd", {"--rollback", "--progress-fd", "1", dest(), version}, kUsage, noOption, {}},
        {"--rollback twice", {"--rollback", "--rollback", dest(), version}, kUsage, "given twice", {}},
        {"DEST alone", {"--rollback", dest()}, kUsage, "--rollback takes exactly DEST and VERSION-FILE", {}},
        {"a SOURCE", {"--rollback", "v1.velk", dest(), version}, kUsage, "exactly DEST and VERSION-FILE", {}},
        {"an option after them", {"--rollback", dest(), version, "--atomic"}, kUsage, "options come before", {}},
        {"--keep-previous in place", {"--keep-previous", "v3.velk", dest(), version}, kUsage,
         "velk-unpack: --keep-previous needs --atomic", {}},
        {"a version file in a file", {"--rollback", dest(), s / "afile/version"}, kVersionFailed, "afile", {}},
        {"a version file that cannot be written", {"--rollback", dest(), version}, kVersionFailed,
         "version file: fsync " + version,
         kEmulated ? std::vector<std::string>{} : straceInjecting("fsync", "error=EIO", 1)},
    };
    for (const auto& row : rows) {
        if (row.status == kVersionFailed && row.tool.empty() && row.message != "afile") continue;
        SCOPED_TRACE(row.name);
        const Outcome out = s.unpack(row.args, row.tool);
        EXPECT_EQ(out.status, row.status) << out.all();
        EXPECT_NE(out.all().find(row.message), std::string::npos) << out.all();
        EXPECT_EQ(everything(), before);
    }
    const int held = holdWriteLock(s / "site/.dest.velk-lock");
    ASSERT_GE(held, 0);
    const Outcome busy = unpack({"--rollback", dest(), version});
    close(held);
    EXPECT_EQ(busy.status, kIncomplete);
    EXPECT_EQ(busy.all(), "dest " + dest() + " is busy: another update is running\n");
    EXPECT_EQ(everything(), before);
    s.sh("rm -r " + std::string(kKept));
    const std::string unkept = everything();
    const Outcome none = unpack({"--rollback", dest(), version});
    EXPECT_EQ(none.status, kIncomplete);
    EXPECT_EQ(none.all(),
              "rollback: " + dest() + ": no kept tree to roll back to: no update kept the tree it replaced\n");
    EXPECT_EQ(everything(), unkept);
    // Keeping needs the version of the tree it keeps: with no unit to say it, from the version file.
    const Outcome unversioned = unpack({"--atomic", "--keep-previous", "v3.velk", dest(), s / "none"});
    EXPECT_EQ(unversioned.status, kVersionFailed) << unversioned.all();
    EXPECT_NE(unversioned.all().find("keep previous: the tree in " + dest() + " cannot be kept without its version"),
              std::string::npos) << unversioned.all();
    EXPECT_EQ(everything(), unkept);
}

// A kill at any system call of an update that keeps, and of --rollback: DEST is wholly one of
// the two trees, the version file names a tree only once DEST is it, and the kept unit pairs
// with DEST; a rerun completes, after which --rollback goes to the right tree with the right
// version, and back again. A rollback killed once it was whole (its mark cleared) had done its
// work: the rerun is a second rollback.
TEST_F(RollbackTest, KilledAtAnySystemCallDestIsWhollyOneOfTheTrees) {
    if (kEmulated) GTEST_SKIP() << "strace would trace the emulator";
    const std::string version = s / "version";
    const struct {
        const char* name;
        std::vector<std::string> args;
        std::string marker;
        size_t spread;
        std::string before, after;  // DEST before and after the run
        bool setBack;               // reset: DEST v1 with v2 kept (else DEST v2 with v1 kept)
    } rows[] = {
        {"an update that keeps", {"--atomic", "--keep-previous", "v3.velk", dest(), version}, "syncfs", kSpread,
         "v1", "v3", true},
        {"a rollback", {"--rollback", dest(), version}, "fcntl", kSpread / 2, "v2", "v1", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        sweep({s / "trace", row.marker, "SIGKILL", row.spread,
               [&] {
                   keepV1UnderV2();
                   if (row.setBack) {
                       ASSERT_EQ(unpack({"--rollback", dest(), version}).status, 0) << s.log();
                   }
               },
               [&](const std::vector<std::string>& tool) { return s.unpack(row.args, tool); },
               [&](const Outcome&) {
                   const std::string now = describeTree(dest()), value = readFile(version);
                   EXPECT_TRUE(now == trees[row.before] || now == trees[row.after]) << "DEST is\n" << now;
                   EXPECT_TRUE(value == row.before || value == row.after) << value;
                   EXPECT_TRUE(value == row.before || now == trees[row.after]) << "a version without its tree";
                   const int checked = checkTree();
                   EXPECT_TRUE(checked == 0 || checked == 5) << checked;
                   const bool whole = row.args[0] == "--rollback" && value == row.after &&
                                      !exists(s / kKept + "/rollback");
                   const std::string& first = whole ? row.before : row.after;
                   const std::string& second = whole ? row.after : row.before;
                   const Outcome rerun = s.unpack(row.args);
                   ASSERT_EQ(rerun.status, 0) << rerun.all();
                   EXPECT_EQ(describeTree(dest()) + readFile(version), trees[first] + first);
                   EXPECT_EQ(unpack({"--rollback", dest(), version}).status, 0) << s.log();
                   EXPECT_EQ(describeTree(dest()) + readFile(version), trees[second] + second);
                   EXPECT_EQ(unpack({"--rollback", dest(), version}).status, 0) << s.log();
                   EXPECT_EQ(describeTree(dest()) + readFile(version), trees[first] + first);
                   EXPECT_EQ(checkTree(), 0);
                   EXPECT_EQ(s.sh("LC_ALL=C ls -A site"),
                             ".dest.velk-index\n.dest.velk-lock\n.dest.velk-previous\ndest\n");
               }});
    }
}

// Root and the service user that owns DEST update and roll back by turns: each can undo the
// other's step, and everything beside DEST stays the service user's.
TEST_F(RollbackTest, RootAndTheServiceUserTakeTurns) {
    if (kEmulated || geteuid() != 0) GTEST_SKIP() << "needs root and setpriv";
    s.sh("chmod 644 *.velk && mkdir -p site/dest && : > site/version && chown -R nobody:nogroup site");
    const std::string version = s / "site/version";
    const struct {
        bool nobody;
        std::vector<std::string> args;
        std::string tree;
    } steps[] = {
        {false, {"--atomic", "v1.velk", dest(), version}, "v1"},
        {true, {"--atomic", "--keep-previous", "v2.velk", dest(), version}, "v2"},
        {false, {"--rollback", dest(), version}, "v1"},
        {true, {"--rollback", dest(), version}, "v2"},
        {false, {"--atomic", "--keep-previous", "--link-unchanged", "v3.velk", dest(), version}, "v3"},
        {true, {"--rollback", dest(), version}, "v2"},
        {false, {"--rollback", dest(), version}, "v3"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(commandLine(step.args) + (step.nobody ? " as nobody" : " as root"));
        const Outcome out = unpack(step.args, step.nobody);
        ASSERT_EQ(out.status, 0) << out.all();
        EXPECT_EQ(describeTree(dest()) + readFile(version), trees[step.tree] + step.tree);
        EXPECT_EQ(s.sh("find site ! -user nobody"), "");
    }
}

// DEST private (0700): its kept tree is as private, in a unit nobody else may enter. Nobody
// planting a unit of their own at its name, in a parent anyone may write, gets it neither
// swapped in nor kept over: --rollback finds no kept tree, an update that keeps refuses, one
// that does not leaves it alone; a link there is the same.
TEST_F(RollbackTest, AnotherUserNeitherReadsAKeptTreeNorPlantsOne) {
    if (kEmulated || geteuid() != 0) GTEST_SKIP() << "needs root and setpriv";
    s.sh("rm -rf site && mkdir site && chmod 1777 site");
    ASSERT_EQ(unpack({"--atomic", "v1.velk", dest(), s / "version"}).status, 0) << s.log();
    s.sh("chmod 700 site/dest");
    ASSERT_EQ(unpack({"--atomic", "--keep-previous", "v2.velk", dest(), s / "version"}).status, 0) << s.log();
    EXPECT_EQ(statOf(s / kKept + "/tree").st_mode & 07777, 0700u);
    EXPECT_NE(shellStatus(commandLine(asNobody({"cat", s / kKept + "/tree/etc/conf"})) + " 2>/dev/null"), 0);
    EXPECT_NE(shellStatus(commandLine(asNobody({"ls", s / kKept})) + " 2>/dev/null"), 0);

    ASSERT_EQ(unpack({"--atomic", "v2.velk", dest(), s / "version"}).status, 0) << s.log();  // no kept tree now
    EXPECT_FALSE(exists(s / kKept));
    const std::string destInode = std::to_string(statOf(dest()).st_ino);
    // Nobody's own unit: a private folder with a tree and versions that name DEST and that tree.
    const std::string kept = "site/.dest.velk-previous";
    const std::string plant = "mkdir -p " + kept + "/tree/etc && printf evil > " + kept + "/tree/etc/conf && chmod -R"
                              " go-rwx " + kept + " && printf 'velk-kept 1\\n" + destInode + " 7632\\n'\\\"$(stat -c %i " +
                              kept + "/tree)\\\"' 65\\n' > " + kept + "/versions && chmod 600 " + kept + "/versions";
    for (const std::string& planted : {plant, std::string("ln -s dest site/.dest.velk-previous")}) {
        SCOPED_TRACE(planted);
        s.sh("rm -rf site/.dest.velk-previous && " + commandLine(asNobody({"sh", "-c", s.cd() + planted})));
        const std::string before = everything();
        const Outcome rolled = unpack({"--rollback", dest(), s / "version"});
        EXPECT_EQ(rolled.status, kIncomplete) << rolled.all();
        EXPECT_NE(rolled.all().find("no kept tree"), std::string::npos) << rolled.all();
        EXPECT_EQ(everything(), before);
        const Outcome keeping = unpack({"--atomic", "--keep-previous", "v3.velk", dest(), s / "version"});
        EXPECT_EQ(keeping.status, kIncomplete) << keeping.all();
        EXPECT_EQ(everything(), before);
        ASSERT_EQ(unpack({"--atomic", "v3.velk", dest(), s / "version"}).status, 0) << s.log();
        EXPECT_EQ(describeTree(dest()) + readFile(s / "version"), trees["v3"] + "v3");
        EXPECT_EQ(describeTree(s / "site/.dest.velk-previous") != "", true);
    }
}

}  // namespace
