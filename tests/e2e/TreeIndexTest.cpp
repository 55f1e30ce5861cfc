// The index every install leaves beside DEST (.dest.velk-index): read back by an independent
// Python reader (tests/support/tree_index.py), trusted by --link-unchanged only for a file
// whose identity still is the one recorded and only where the index is whole, private and
// made for DEST, and checked against the tree by velk-inspect --check-tree.

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "tests/support/Scene.h"
#include "tests/support/SyscallTrace.h"

using namespace velktest;

namespace {

constexpr int kSame = 0, kDiffers = 4, kNoIndex = 5, kInspectUsage = 1;

std::string sortedLines(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string& line : lines) out += line + "\n";
    return out;
}

// v1 and v2 of a tree: lib/data is the same in both (200,000 bytes, four blocks), lib/changed
// differs at one byte; folders, a link and a hard link besides.
class TreeIndexTest : public ::testing::Test {
protected:
    void SetUp() override {
        s.sh("mkdir -p v1/bin v1/lib/sub v1/empty && printf 'echo hi\\n' > v1/bin/tool && ln -s ../bin/tool v1/lib/tool"
             " && printf conf > v1/lib/sub/conf");
        writeFile(s / "v1/lib/data", seededBytes(200000, 1));
        writeFile(s / "v1/lib/changed", seededBytes(150000, 2));
        s.sh("ln v1/lib/sub/conf v1/lib/conf.hard && cp -a v1 v2");
        std::string changed = readFile(s / "v2/lib/changed");
        changed[140000] = char(changed[140000] ^ 0x55);
        writeFile(s / "v2/lib/changed", changed);
        for (const char* tree : {"v1", "v2"}) s.pack(tree, std::string(tree) + ".velk", tree);
        v2Tree = describeTree(s / "v2");
    }
    int unpack(const std::string& args) const { return shellStatus(s.cd() + VELK_UNPACK + " " + args + " > log 2>&1"); }
    // velk-inspect --check-tree DEST: its status, its report in `out`.
    int checkTree(const std::string& dest, std::string& out) const {
        Launch how;
        how.argv = {VELK_INSPECT, "--check-tree", dest};
        how.out = s / "check.out";
        how.err = s / "check.err";
        const Outcome run = velktest::run(how);
        out = run.out;
        return run.status;
    }
    std::string indexReader(const std::string& args) const {
        return quote(python()) + " " + quote(scriptDir() + "/tree_index.py") + " " + args;
    }

    Scene s;
    std::string v2Tree;
};

// Plain, staged, from a stream, as root into a service user's DEST: the index lists every entry
// of the tree, each file's digests are those of its bytes (read back independently), and it is
// private (0600) and DEST's owner's. A failed run in place leaves none.
TEST_F(TreeIndexTest, EveryInstallLeavesAnIndexOfItsTree) {
    const std::string records = "d bin\nd empty\nd lib\nd lib/sub\nf bin/tool ok\nf lib/changed ok\nf lib/conf.hard ok\n"
                                "f lib/data ok\nh lib/sub/conf\nl lib/tool\n";
    const struct {
        const char* name;
        const char* args;
        const char* owner;  // DEST's, and so the index's; empty: the caller
        bool needsRoot;
    } runs[] = {
        {"in place", "v1.velk dest version", "", false},
        {"staged", "--atomic v1.velk dest version", "", false},
        {"a stream", "--atomic - dest version < v1.velk", "", false},
        {"root in a service user's DEST", "--atomic v1.velk dest version", "nobody", true},
    };
    for (const auto& r : runs) {
        SCOPED_TRACE(r.name);
        if (r.needsRoot && (geteuid() != 0 || kEmulated)) continue;
        const std::string owner = *r.owner ? r.owner : s.sh("id -un | tr -d '\\n'");
        s.sh("rm -rf dest .dest.velk-index && mkdir dest && chown " + owner + " dest");
        ASSERT_EQ(unpack(r.args), 0) << s.log();
        EXPECT_EQ(sortedLines(s.sh(indexReader("check .dest.velk-index dest"))), records);
        EXPECT_EQ(s.sh("stat -c '%U %a' .dest.velk-index"), owner + " 600\n");
        EXPECT_EQ(namesWith(s.path(), "velk-index-new"), "");
        std::string out;
        EXPECT_EQ(checkTree(s / "dest", out), kSame) << out;
    }
    s.packBadTrailer("v2", "bad.velk", "bad");
    EXPECT_EQ(unpack("bad.velk dest version"), kIncomplete);
    EXPECT_FALSE(exists(s / ".dest.velk-index"));
    EXPECT_EQ(namesWith(s.path(), "velk-index"), "");
}

// A package may give a path more than once (tar -r appends): the last entry wins, and the index
// describes what it made, never an earlier entry's bytes or kind at the same path, even where
// both files have one size (and, on a file system that gives the freed inode again within one
// clock tick, one identity).
TEST_F(TreeIndexTest, APathGivenTwiceIsIndexedAsTheLastEntryMadeIt) {
    s.sh("mkdir -p one/a two/a && printf first! > one/a/f && printf second > two/a/f && ln -s f one/a/g &&"
         " printf third > two/a/g && " + std::string(kTar) + " -C one -cf twice.tar . && " + kTar + " -C two -rf twice.tar ./a/f ./a/g");
    s.packWith("--tar twice.tar", "twice.velk", "{\"PLVS\":\"2\"}");
    for (const char* args : {"twice.velk dest version", "--atomic twice.velk dest version"}) {
        SCOPED_TRACE(args);
        s.sh("rm -rf dest");
        ASSERT_EQ(unpack(args), 0) << s.log();
        ASSERT_EQ(readFile(s / "dest/a/f"), "second");
        EXPECT_EQ(sortedLines(s.sh(indexReader("check .dest.velk-index dest"))), "d a\nf a/f ok\nf a/g ok\n");
        std::string out;
        EXPECT_EQ(checkTree(s / "dest", out), kSame) << out;
    }
}

// An index that cannot be put in place (its rename fails, made so by strace) fails no install:
// the tree and its version are in place, the run says why there is no index, and none is left,
// nor any temporary.
TEST_F(TreeIndexTest, AnIndexThatCannotBeWrittenFailsNoInstall) {
    if (kEmulated) GTEST_SKIP() << "strace would trace the emulator";
    const struct {
        const char* args;
        int rename;  // the index's among the renameat calls: staged, the version's comes first
    } runs[] = {{"v2.velk dest version", 1}, {"--atomic v2.velk dest version", 2}};
    for (const auto& r : runs) {
        SCOPED_TRACE(r.args);
        s.sh("rm -rf dest");
        ASSERT_EQ(unpack("v1.velk dest version"), 0) << s.log();
        const std::string strace = commandLine(straceInjecting("renameat", "error=EIO", r.rename));
        ASSERT_EQ(shellStatus(s.cd() + strace + " " + VELK_UNPACK + " " + r.args + " > log 2>&1"), 0) << s.log();
        EXPECT_EQ(describeTree(s / "dest"), v2Tree);
        EXPECT_EQ(readFile(s / "version"), "v2");
        EXPECT_NE(s.log().find("index " + s.path() + "/.dest.velk-index: cannot be renamed into place(5,"),
                  std::string::npos) << s.log();
        EXPECT_EQ(namesWith(s.path(), "velk-index"), "");
        std::string out;
        EXPECT_EQ(checkTree(s / "dest", out), kNoIndex);
    }
}

// A file changed after the index was written, by any means, is compared by reading it: the run
// gives the package's bytes, never the changed ones. Each change keeps the size, and all but the
// rename restore the old mtime: only the change time and the inode tell.
TEST_F(TreeIndexTest, AFileChangedAfterTheIndexIsNeverTrusted) {
    const std::string same = "f=dest/lib/data; m=$(stat -c %y $f); ";
    const std::string scribble = "printf XXXX | dd of=$f bs=1 seek=70000 conv=notrunc status=none; ";
    const struct {
        const char* name;
        std::string change;
    } changes[] = {
        {"a write of the same size", same + scribble},
        {"touch -d back to the old mtime", same + scribble + "touch -d \"$m\" $f"},
        {"a rename over it", same + "cp $f other && f=other && " + scribble + "touch -d \"$m\" other && mv other dest/lib/data"},
        {"a hard link added", same + "ln $f twin && f=twin && " + scribble + "touch -d \"$m\" dest/lib/data && rm twin"},
    };
    for (const auto& c : changes) {
        SCOPED_TRACE(c.name);
        s.sh("rm -rf dest");
        ASSERT_EQ(unpack("--atomic v1.velk dest version"), 0) << s.log();
        s.sh(c.change);
        ASSERT_NE(readFile(s / "dest/lib/data"), readFile(s / "v1/lib/data"));
        ASSERT_EQ(unpack("--atomic --link-unchanged v2.velk dest version"), 0) << s.log();
        EXPECT_EQ(describeTree(s / "dest"), v2Tree);
        std::string out;
        EXPECT_EQ(checkTree(s / "dest", out), kSame) << out;
    }
}

// The old tree's index made to claim that lib/changed already holds v2's bytes: trusted, it
// would have the old file linked. Whole and the owner's, it is trusted (the first row shows the
// claim works); damaged, cut short, made for another folder, another user's, writable by others,
// at the end of a link, or missing, it is not, and the run gives v2's tree.
TEST_F(TreeIndexTest, IndexStatesEachGiveTheRightTree) {
    const std::string forge = indexReader("forge .dest.velk-index lib/changed v2/lib/changed");
    const struct {
        const char* name;
        std::string make;  // shell commands beside DEST, once DEST holds v1
        bool trusted;
        bool needsRoot;
    } states[] = {
        {"forged, whole: trusted", forge, true, false},
        {"its end digest stale", forge + " --stale", false, false},
        {"cut short", forge + " && truncate -s -50 .dest.velk-index", false, false},
        {"made for another folder", forge + " --tree-inode 12345", false, false},
        {"another user's", forge + " && chown nobody .dest.velk-index", false, true},
        {"writable by others", forge + " && chmod 666 .dest.velk-index", false, false},
        {"a link to it", forge + " && mv .dest.velk-index elsewhere && ln -s elsewhere .dest.velk-index", false, false},
        {"missing", "rm .dest.velk-index", false, false},
    };
    for (const auto& state : states) {
        SCOPED_TRACE(state.name);
        if (state.needsRoot && geteuid() != 0) continue;
        s.sh("rm -rf dest .dest.velk-index elsewhere");
        ASSERT_EQ(unpack("--atomic v1.velk dest version"), 0) << s.log();
        s.sh(state.make);
        ASSERT_EQ(unpack("--atomic --link-unchanged v2.velk dest version"), 0) << s.log();
        EXPECT_EQ(describeTree(s / "dest") == v2Tree, !state.trusted);
        EXPECT_EQ(readFile(s / "dest/lib/changed") == readFile(s / "v1/lib/changed"), state.trusted);
    }
}

// Each kind of difference, one line each, status 4; the same tree again, status 0 and nothing
// printed (the version file the run keeps inside DEST, and its folder, are the run's own); no
// usable index, status 5 and why.
TEST_F(TreeIndexTest, CheckTreeReportsEachDifference) {
    ASSERT_EQ(unpack("v1.velk dest dest/state/version"), 0) << s.log();
    std::string out;
    ASSERT_EQ(checkTree(s / "dest", out), kSame) << out;
    EXPECT_EQ(out, "");
    s.sh("cd dest && printf 'echo HI\\n' > bin/tool && chmod 700 lib/sub && rm lib/data && mkdir lib/data &&"
         " ln -sf ../lib lib/tool && rm lib/changed && cp lib/conf.hard copy && mv copy lib/conf.hard &&"
         " mkdir new && : > new/file && printf x > added");
    EXPECT_EQ(checkTree(s / "dest", out), kDiffers);
    // lib/conf.hard, the file the archive made, is copied over itself: the same bytes, but no
    // longer the file lib/sub/conf names.
    EXPECT_EQ(sortedLines(out), "added added\nadded new\nadded new/file\nchanged bin/tool\nchanged lib/data\n"
                                "changed lib/sub\nchanged lib/sub/conf\nchanged lib/tool\nmissing lib/changed\n");
    ASSERT_EQ(unpack("v1.velk dest version"), 0) << s.log();
    EXPECT_EQ(checkTree(s / "dest", out), kSame) << out;
    s.sh("mv .dest.velk-index kept && mkdir other && cp kept .other.velk-index");
    EXPECT_EQ(checkTree(s / "dest", out), kNoIndex);
    EXPECT_EQ(readFile(s / "check.err"), "velk-inspect: " + s / "dest" + " has no usable index: there is no index\n");
    EXPECT_EQ(checkTree(s / "other", out), kNoIndex);
    EXPECT_EQ(readFile(s / "check.err"),
              "velk-inspect: " + s / "other" + " has no usable index: the index describes another tree\n");
    EXPECT_EQ(shellStatus(s.cd() + VELK_INSPECT + " --check-tree dest v1.velk 2> /dev/null"), kInspectUsage);
    EXPECT_EQ(shellStatus(s.cd() + VELK_INSPECT + " --verify --check-tree dest 2> /dev/null"), kInspectUsage);
}

}  // namespace
