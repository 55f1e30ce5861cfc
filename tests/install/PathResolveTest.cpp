// resolvePath against `realpath -m`, one spelling per mechanism; link loops, which realpath -m
// keeps as names, are refused; then the fence: below it no link is followed.

#include "install/PathResolve.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

using velktest::quote;

namespace {

class PathResolve : public testing::Test {
protected:
    // T/d/e, T/f, links beside them, and T/fenced holding a link of its own.
    void SetUp() override {
        velktest::shell("cd " + quote(root) + " && mkdir -p d/e fenced && printf x > f && ln -s d/e l_de && ln -s " +
                        quote(root + "/d/e") + " l_abs && ln -s missing/x dangling && ln -s loop2 loop1 && "
                        "ln -s loop1 loop2 && ln -s fenced into && ln -s ../d fenced/in");
        ASSERT_EQ(chdir(root.c_str()), 0);
    }
    void TearDown() override { EXPECT_EQ(chdir(before.c_str()), 0); }

    velktest::TempDir dir;
    const std::string root = std::filesystem::canonical(dir.path());
    const std::string before = std::filesystem::current_path();
};

// ".." across a relative and an absolute link, a link after a missing component, a dangling link,
// a regular file on the way, the root's spellings, an absolute spelling with "//" and ".".
TEST_F(PathResolve, AgreesWithRealpathMissing) {
    const std::string spellings[] = {"l_de/..", "l_abs/../..", "missing/x/../../l_de", "dangling/..", "f/x/..",
                                     "/a/b/../../", "/..", "newdir/..", root + "//./l_abs/../f"};
    for (const std::string& spelling : spellings) {
        const std::string expected = velktest::shell("realpath -m -- " + quote(spelling) + " | tr -d '\\n'");
        const velk::ResolvedPath got = velk::resolvePath(spelling, true);
        EXPECT_EQ(got.ok ? got.path : "failed", expected) << spelling;
    }
    EXPECT_FALSE(velk::resolvePath("", true).ok);
    for (const char* loop : {"loop1/x", "d/../loop2/.."}) {  // no name is made up for a loop
        EXPECT_EQ(velk::resolvePath(loop, true).error, ELOOP) << loop;
    }
}

// Below the fence a link is a name: kept at the last component, refused on the way (ELOOP, naming
// the link), also when reached through a link above the fence. Above it, followLast is obeyed.
TEST_F(PathResolve, NoLinkIsFollowedBelowTheFence) {
    const std::string fence = root + "/fenced", refused = "error " + std::to_string(ELOOP) + " at " + fence + "/in";
    const struct { std::string path; bool followLast; std::string expected; } cases[] = {
        {"fenced/in", true, fence + "/in"},   {"into/in/x", true, refused}, {"fenced/in/..", true, refused},
        {"fenced/../l_de", true, root + "/d/e"}, {"l_de", false, root + "/l_de"}, {"l_de/..", false, root + "/d"},
    };
    for (const auto& c : cases) {
        const velk::ResolvedPath got = velk::resolvePath(c.path, c.followLast, fence);
        EXPECT_EQ(got.ok ? got.path : "error " + std::to_string(got.error) + " at " + got.failedAt, c.expected)
            << c.path;
    }
}

// From a working folder that is gone a relative path fails, naming ".", rather than being resolved
// against "/"; an absolute one is resolved as ever.
TEST_F(PathResolve, NothingIsRelativeToAWorkingFolderThatIsGone) {
    ASSERT_EQ(mkdir("gone", 0700), 0);
    ASSERT_EQ(chdir("gone"), 0);
    ASSERT_EQ(rmdir((root + "/gone").c_str()), 0);
    for (const char* path : {"d", "../d", "."}) {
        const velk::ResolvedPath got = velk::resolvePath(path, true);
        EXPECT_EQ(got.ok ? got.path : "error " + std::to_string(got.error) + " at " + got.failedAt,
                  "error " + std::to_string(ENOENT) + " at .") << path;
    }
    EXPECT_EQ(velk::resolvePath(root + "/l_de", true).path, root + "/d/e");
}

// A mount or a directory whose name only starts with another's is not below it.
TEST(PathResolveBelow, WholeComponentsOnly) {
    EXPECT_TRUE(velk::isAtOrBelow("/a/b", "/a/b") && velk::isAtOrBelow("/a/b/c", "/a/b") &&
                velk::isAtOrBelow("/x", "/"));
    EXPECT_FALSE(velk::isAtOrBelow("/a/bc", "/a/b") || velk::isAtOrBelow("/a", "/a/b") || velk::isAtOrBelow("/a", ""));
}

}  // namespace
