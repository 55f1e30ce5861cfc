// Replacing a file durably: what a planted name, a failure midway or a helper name of a long
// NAME leave behind.

#include "fs/FileReplacement.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include <gtest/gtest.h>

#include "fs/HelperName.h"
#include "tests/support/TestSupport.h"

namespace {

using velk::CFileReplacement;

class FileReplacementTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_GE(folder.get(), 0); }
    std::string listing() const { return velktest::shell("cd " + velktest::quote(tmp.path()) + " && ls -A"); }
    velktest::TempDir tmp;
    velk::CUniqueFd folder{open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
};

TEST_F(FileReplacementTest, ReplacesKeepingTheModeAndLeavesNoTemporary) {
    velktest::writeFile(tmp / "v", "an old, longer value");
    ASSERT_EQ(chmod((tmp / "v").c_str(), 0640), 0);
    CFileReplacement replacement;
    ASSERT_EQ(replacement.begin(folder.get(), "v", ".v.new", 0600), 0);
    ASSERT_EQ(replacement.write("new", 3), 0);
    EXPECT_EQ(velktest::readFile(tmp / "v"), "an old, longer value");  // nothing visible before commit
    ASSERT_EQ(replacement.seal(), 0);
    ASSERT_EQ(replacement.commit(), 0);
    EXPECT_EQ(velktest::readFile(tmp / "v"), "new");
    struct stat st;
    ASSERT_EQ(stat((tmp / "v").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(listing(), "v\n");
}

// A link or a file planted at the temporary's name is neither followed nor reused; an
// abandoned replacement removes only its own temporary.
TEST_F(FileReplacementTest, APlantedTemporaryIsRefusedAndAbandonLeavesTheOldFile) {
    velktest::writeFile(tmp / "target", "victim");
    ASSERT_EQ(symlink("target", (tmp / ".v.new").c_str()), 0);
    velktest::writeFile(tmp / "v", "old");
    {
        CFileReplacement replacement;
        EXPECT_EQ(replacement.begin(folder.get(), "v", ".v.new", 0600), EEXIST);
        EXPECT_STREQ(replacement.failedCall(), "open");
    }
    EXPECT_EQ(velktest::readFile(tmp / "target"), "victim");
    EXPECT_TRUE(velktest::exists(tmp / ".v.new"));
    {
        CFileReplacement replacement;
        ASSERT_EQ(replacement.begin(folder.get(), "v", ".v.other", 0600), 0);
        ASSERT_EQ(replacement.write("new", 3), 0);
    }  // destroyed without commit
    EXPECT_EQ(velktest::readFile(tmp / "v"), "old");
    EXPECT_EQ(listing(), ".v.new\ntarget\nv\n");
}

TEST(HelperName, FitsAnyLegalNameAndTellsLongNamesApart) {
    EXPECT_EQ(velk::helperName("app", ".velk-lock"), ".app.velk-lock");
    const std::string longA = std::string(250, 'a') + "1", longB = std::string(250, 'a') + "2";
    for (const std::string& suffix : {std::string(".velk-lock"), std::string(".velk-staging")}) {
        const std::string a = velk::helperName(longA, suffix), b = velk::helperName(longB, suffix);
        EXPECT_LE(a.size(), size_t(NAME_MAX));
        EXPECT_NE(a, b);
        EXPECT_EQ(a, velk::helperName(longA, suffix));  // the same name, the same helper
        EXPECT_EQ(a.substr(a.size() - suffix.size()), suffix);
    }
    EXPECT_LE(velk::helperName(std::string(255, 'n'), std::string(64, 's')).size(), size_t(NAME_MAX));
    const std::string first = velk::unpredictableName("OUT", ".tmp"), second = velk::unpredictableName("OUT", ".tmp");
    EXPECT_NE(first, second);
    EXPECT_EQ(first.size(), std::string(".OUT.0123456789abcdef.tmp").size());
}

// A run removes what earlier runs of the same DEST left, by name: the random form and the fixed
// one of earlier releases match; the helpers of another name in the same folder (one that only
// starts like it, or a long one that shares its cut start) and other suffixes never do.
TEST(HelperName, RecognisesTheHelpersOfOneNameOnly) {
    const std::string longA = std::string(254, 'a') + "1", longB = std::string(254, 'a') + "2";
    const std::string random = velk::unpredictableName(longA, ".velk-staging");
    EXPECT_LE(random.size(), size_t(NAME_MAX));
    const struct {
        std::string candidate, name;
        bool matches;
    } cases[] = {
        {".app.0123456789abcdef.velk-staging", "app", true},
        {".app.velk-staging", "app", true},
        {velk::unpredictableName("app", ".velk-staging"), "app", true},
        {random, longA, true},
        {random, longB, false},
        {velk::helperName(longB, ".velk-staging"), longA, false},
        {".app.0123456789abcdef.0123456789abcdef.velk-staging", "app", false},
        {".app.0123456789ABCDEF.velk-staging", "app", false},
        {".app.0123456789abcde.velk-staging", "app", false},
        {".app.0123456789abcdef.velk-probe", "app", false},
        {".app.0123456789abcdefxvelk-staging", "app", false},
        {"app.0123456789abcdef.velk-staging", "app", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(velk::isHelperName(c.candidate, c.name, ".velk-staging"), c.matches) << c.candidate << " of " << c.name;
    }
}

}  // namespace
