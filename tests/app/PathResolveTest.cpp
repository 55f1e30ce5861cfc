// resolvePath against `realpath -m` on spellings with links, missing components, ".." across
// links and absolute targets; link loops, which realpath -m keeps as names, are refused; then
// the fence: below it no link is followed.

#include "app/PathResolve.h"

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

using velktest::quote;

namespace {

class PathResolve : public testing::Test {
protected:
    // T/d/e, T/f, and links of every kind beside them; T/fenced holds links of its own.
    void SetUp() override {
        velktest::shell("cd " + quote(root) + " && mkdir -p d/e fenced/sub && printf x > f && ln -s .. d/back"
                        " && ln -s d l_d && ln -s " + quote(root + "/d/e") + " l_abs && ln -s ../" +
                        quote(root.substr(root.rfind('/') + 1)) + "/d l_up && ln -s chain2 chain1 && ln -s l_d chain2"
                        " && ln -s loop2 loop1 && ln -s loop1 loop2 && ln -s self self && ln -s missing/x dangling"
                        " && ln -s . dot && ln -s / l_root && ln -s ../../../../../../.. l_high && ln -s fenced into"
                        " && ln -s fenced/in/x via && ln -s ../d fenced/in && ln -s / fenced/sub/deep");
        ASSERT_EQ(chdir(root.c_str()), 0);
    }
    void TearDown() override { EXPECT_EQ(chdir(before.c_str()), 0); }

    static std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

    velktest::TempDir dir;
    const std::string root = firstLine(velktest::shell("realpath -e " + quote(dir.path())));
    const std::string before = std::filesystem::current_path();
};

// What `realpath -m` makes of each spelling, from T, one line each; "!" when it fails.
std::vector<std::string> realpathOf(const std::vector<std::string>& spellings) {
    std::string script = "for s in";
    for (const std::string& s : spellings) script += " " + quote(s);
    script += "; do realpath -m -- \"$s\" 2>/dev/null || echo '!'; done";
    std::istringstream lines(velktest::shell(script));
    std::vector<std::string> results;
    for (std::string line; std::getline(lines, line);) results.push_back(line);
    return results;
}

TEST_F(PathResolve, AgreesWithRealpathMissing) {
    const std::vector<std::string> spellings = {
        ".", "./", "d", "d//e///", "./d/./e/.", "d/e/..", "d/e/../..", "d/e/../../..", "l_d", "l_d/", "l_d/..",
        "l_d/e/../..", "l_abs", "l_abs/..", "l_abs/../..", "l_up", "l_up/e", "chain1", "chain1/e/..",
        "d/loop1/..", "dangling", "dangling/..", "dangling/y/../z", "missing",
        "missing/..", "missing/../d", "missing/x/../../l_d/e", "f", "f/..", "f/x", "f/x/..", "d/back/d/back/l_d",
        "dot/dot/d", "dot/..", "l_root", "l_root/..", "l_high", "l_high/tmp", "/", "//", "/..", "/../..",
        "/newdir/..", "/a/b/../../", "newdir/..", "newdir/../..", root + "/l_d/e", root + "//./l_abs/../../f",
        "into/in", "via", "via/..",
    };
    const std::vector<std::string> expected = realpathOf(spellings);
    ASSERT_EQ(expected.size(), spellings.size());
    for (size_t i = 0; i < spellings.size(); ++i) {
        const velk::ResolvedPath got = velk::resolvePath(spellings[i], true);
        if (expected[i] == "!") {
            EXPECT_FALSE(got.ok) << spellings[i] << " -> " << got.path;
        } else {
            EXPECT_TRUE(got.ok && got.path == expected[i])
                << spellings[i] << ": realpath -m " << expected[i] << ", resolvePath " << (got.ok ? got.path : "failed");
        }
    }
    // The empty path names nothing, as for realpath. A loop never ends: no name for it is
    // made up (DEST behind one is not resolved at all).
    EXPECT_FALSE(velk::resolvePath("", true).ok);
    for (const char* loop : {"loop1", "loop1/x", "self", "self/..", "l_d/../loop2/..", "chain1/../self/x"}) {
        const velk::ResolvedPath got = velk::resolvePath(loop, true);
        EXPECT_TRUE(!got.ok && got.error == ELOOP) << loop << " -> " << got.path;
    }
}

// Below the fence a link is a name: kept at the last component, refused on the way (ELOOP,
// naming the link), whether the path was written so or reached through a link above the fence.
TEST_F(PathResolve, NoLinkIsFollowedBelowTheFence) {
    const std::string fence = root + "/fenced";
    const struct Case {
        std::string path;
        bool followLast;
        std::string resolved;  // empty: refused
        std::string refusedAt;
    } cases[] = {
        {"fenced/in", true, fence + "/in", ""},
        {"fenced/sub/deep", true, fence + "/sub/deep", ""},
        {"into/in", true, fence + "/in", ""},
        {"fenced/../l_d", true, root + "/d", ""},
        {"fenced/in/x", true, "", fence + "/in"},
        {"fenced/in/..", true, "", fence + "/in"},
        {"fenced/sub/deep/..", true, "", fence + "/sub/deep"},
        {"into/in/x", true, "", fence + "/in"},
        {"via", true, "", fence + "/in"},
        {"l_d", false, root + "/l_d", ""},
        {"l_d/e", false, root + "/d/e", ""},
        {"chain1", false, root + "/chain1", ""},
    };
    for (const Case& c : cases) {
        const velk::ResolvedPath got = velk::resolvePath(c.path, c.followLast, fence);
        if (c.resolved.empty()) {
            EXPECT_FALSE(got.ok) << c.path << " -> " << got.path;
            EXPECT_EQ(got.error, ELOOP) << c.path;
            EXPECT_EQ(got.failedAt, c.refusedAt) << c.path;
        } else {
            EXPECT_TRUE(got.ok) << c.path << ": " << got.failedAt;
            EXPECT_EQ(got.path, c.resolved) << c.path;
        }
    }
}

// A mount or a directory whose name only starts with another's is not below it.
TEST(PathResolveBelow, WholeComponentsOnly) {
    EXPECT_TRUE(velk::isAtOrBelow("/a/b", "/a/b") && velk::isAtOrBelow("/a/b/c", "/a/b") && velk::isAtOrBelow("/x", "/"));
    EXPECT_FALSE(velk::isAtOrBelow("/a/bc", "/a/b") || velk::isAtOrBelow("/a", "/a/b") || velk::isAtOrBelow("/a", ""));
}

}  // namespace
