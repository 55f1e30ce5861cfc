#include "brn/tar/SafePath.h"

#include <gtest/gtest.h>

#include "tests/brn/tar/TarTestSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace tartest;
using velktest::describeTree;
using velktest::quote;
using velktest::readFile;
using velktest::shell;

// A temporary folder holding the output directory "dest" and a sibling "outside" that no
// archive may reach.
struct Sandbox {
    velktest::TempDir tmp;
    std::string dest = tmp / "dest";
    std::string outside = tmp / "outside";

    Sandbox() { shell("mkdir " + quote(dest) + " " + quote(outside)); }

    // The top level of the temporary folder, then everything in "outside".
    std::string around() const {
        return shell("cd " + quote(tmp.path()) + " && ls -A | tr '\\n' ' ' && echo '|' && find outside -mindepth 1");
    }
};

const std::string kUntouched = "dest outside |\n";

std::string linkTarget(const std::string& path) { return shell("readlink " + quote(path)); }

bool isLink(const std::string& path) { return shell("test -L " + quote(path) + " && echo y || echo n") == "y\n"; }

TEST(SafePathTest, NoEntryIsMadeThroughALinkBelowTheOutputDirectory) {
    Sandbox box;
    struct Row {
        const char* label;
        std::string archive;
        std::string refused;  // the entry name in the message
        std::string link;     // the link it would have gone through
    };
    const std::vector<Row> rows = {
        {"absolute link, then a file in it", header("l", '2', 0, box.outside) + file("l/x", "evil"), "l/x", "l"},
        {"relative link, then a directory in it", header("l", '2', 0, "../outside") + header("l/sub", '5', 0),
         "l/sub", "l"},
        {"link, then a file two levels in", header("l", '2', 0, box.outside) + file("l/deep/x", "e"), "l/deep/x", "l"},
        {"link, then a link in it", header("l", '2', 0, box.outside) + header("l/ln", '2', 0, "t"), "l/ln", "l"},
        {"link, then a backslash name", header("l", '2', 0, box.outside) + file("l\\x", "evil"), "l/x", "l"},
        {"link in a directory", header("d", '5', 0) + header("d/l", '2', 0, box.outside) + file("d/l/x", "e"),
         "d/l/x", "d/l"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        shell("rm -rf " + quote(box.dest) + "/*");
        const Extraction run = extract(row.archive + zeroBlocks(2), box.dest);
        EXPECT_EQ(run.results, std::vector<int>{-5});
        EXPECT_EQ(run.printed, "tar: " + row.refused + ": refusing to go through the symbolic link " + box.dest +
                                   "/" + row.link + "\n");
        EXPECT_EQ(box.around(), kUntouched);
        EXPECT_TRUE(isLink(box.dest + "/" + row.link));
    }
}

TEST(SafePathTest, RegularFileReplacesALinkAndLeavesItsTarget) {
    Sandbox box;
    velktest::writeFile(box.outside + "/target.txt", "keep");
    shell("ln -s " + quote(box.outside + "/target.txt") + " " + quote(box.dest + "/f"));
    const std::string archive = file("f", "new") + header("g", '2', 0, "../outside/target.txt") +
                                file("g", "newer") + zeroBlocks(2);
    const Extraction run = extract(archive, box.dest);
    EXPECT_EQ(run.results[0], int(archive.size()));
    EXPECT_EQ(run.finished, 0);
    EXPECT_FALSE(isLink(box.dest + "/f"));
    EXPECT_FALSE(isLink(box.dest + "/g"));
    EXPECT_EQ(readFile(box.dest + "/f"), "new");
    EXPECT_EQ(readFile(box.dest + "/g"), "newer");
    EXPECT_EQ(readFile(box.outside + "/target.txt"), "keep");
    EXPECT_EQ(box.around(), "dest outside |\noutside/target.txt\n");
}

TEST(SafePathTest, LinkReplacesAFileOrEmptyDirectoryButNotAFullOne) {
    Sandbox box;
    velktest::writeFile(box.dest + "/s", "old");
    shell("mkdir -p " + quote(box.dest + "/empty") + " " + quote(box.dest + "/full/x"));
    const Extraction run = extract(header("s", '2', 0, "elsewhere") + header("empty", '2', 0, "/abs") +
                                       header("full", '2', 0, "t") + zeroBlocks(2),
                                   box.dest);
    EXPECT_EQ(run.results, std::vector<int>{-5});
    EXPECT_EQ(describeTree(box.dest), "d full\nd full/x\nl empty -> /abs\nl s -> elsewhere\n");
}

TEST(SafePathTest, OutputDirectoryItselfMayBeALink) {
    Sandbox box;
    shell("mkdir " + quote(box.tmp / "real") + " && ln -s real " + quote(box.tmp / "destlink"));
    const Extraction run =
        extract(file("a/b/x", "data") + header("a/l", '2', 0, "/abs") + zeroBlocks(2), box.tmp / "destlink");
    EXPECT_EQ(run.finished, 0);
    EXPECT_EQ(run.printed, "");
    EXPECT_EQ(readFile(box.tmp / "real/a/b/x"), "data");
    EXPECT_EQ(linkTarget(box.tmp / "real/a/l"), "/abs\n");
}

TEST(SafePathTest, LeadingSlashLandsBelowTheOutputDirectory) {
    Sandbox box;
    const Extraction run =
        extract(header("/abs/", '5', 0) + file("/abs/x", "data") + file("//top", "t") + zeroBlocks(2), box.dest);
    EXPECT_EQ(run.finished, 0);
    EXPECT_EQ(readFile(box.dest + "/abs/x"), "data");
    EXPECT_EQ(readFile(box.dest + "/top"), "t");
    EXPECT_EQ(box.around(), kUntouched);
}

TEST(SafePathTest, DirectoryEntryOverALinkChangesNothing) {
    Sandbox box;
    const Extraction run =
        extract(header("l", '2', 0, box.outside) + header("l", '5', 0) + header("l/", '5', 0) + zeroBlocks(2),
                box.dest);
    EXPECT_EQ(run.finished, 0);
    EXPECT_EQ(describeTree(box.dest), "l l -> " + box.outside + "\n");
    EXPECT_EQ(box.around(), kUntouched);
}

TEST(SafePathTest, PathOfTheCallbacksOwnTrustsOnlyItsParent) {
    Sandbox box;
    velktest::writeFile(box.outside + "/t", "keep");
    shell("mkdir " + quote(box.tmp / "mapped") + " && ln -s " + quote(box.outside + "/t") + " " +
          quote(box.tmp / "mapped/m-two"));
    const std::string archive = file("one", "1") + file("two", "2") + zeroBlocks(2);
    const Extraction run = extract(archive, box.dest, {archive.size()}, [&](const brn::TAR_FILE_INFO_T& info) {
        return box.tmp / ("mapped/m-" + info.name);
    });
    EXPECT_EQ(run.finished, 0);
    EXPECT_EQ(readFile(box.tmp / "mapped/m-one"), "1");
    EXPECT_EQ(readFile(box.tmp / "mapped/m-two"), "2");  // the link was replaced, not followed
    EXPECT_EQ(readFile(box.outside + "/t"), "keep");
}

TEST(SafePathTest, SplittingAnOutputPath) {
    struct Row {
        std::string outPath, name, trusted, below;
    };
    const std::vector<Row> rows = {
        {"/d/x/y", "x/y", "/d/", "x/y"},      {"/d//abs", "/abs", "/d/", "/abs"},
        {"/d/dir/", "dir/", "/d/", "dir/"},   {"rel", "rel", "", "rel"},
        {"/d/outx", "x", "/d/", "outx"},      {"/other/name", "x", "/other/", "name"},
        {"/other/name//", "x", "/other/", "name//"}, {"plain", "x", "", "plain"},
        {"/d/", "", "/d/", ""},
    };
    for (const Row& row : rows) {
        const brn::EntryTarget target = brn::splitEntryPath(row.outPath, row.name);
        EXPECT_EQ(target.trustedDir + "|" + target.below, row.trusted + "|" + row.below) << row.outPath;
    }
    for (const char* unsafe : {"..", "../a", "a/..", "a/../b", "/..", "a//../b"}) {
        EXPECT_TRUE(brn::hasDotDotComponent(unsafe)) << unsafe;
    }
    for (const char* safe : {"..a", "a..", "a/.../b", "./a", "a/./b", ""}) {
        EXPECT_FALSE(brn::hasDotDotComponent(safe)) << safe;
    }
}

}  // namespace
