// What an integrator relies on beyond the install itself: --help and --version of the three
// programs, and the progress velk-unpack reports to a terminal and to a supervising program.

#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/TestSupport.h"

using velktest::quote;
using velktest::shell;

namespace {

TEST(ProgramTest, HelpListsEveryOptionAndVersionIsTheProjects) {
    const struct { const char* program; const char* name; std::vector<std::string> options; } programs[] = {
        {VELK_UNPACK, "velk-unpack",
         {"--atomic", "-p, --preserve-permissions", "--pubkey KEYFILE", "--signature SIGFILE", "--progress ",
          "--progress-fd N", "--source-size N", "--help", "--version", "SOURCE DEST VERSION-FILE"}},
        {VELK_INSPECT, "velk-inspect", {"--verify", "--json", "--pubkey KEYFILE", "--signature SIGFILE", "--help"}},
        {VELK_PACK, "velk-pack",
         {"--label", "--info", "--seed", "--level", "--print-key", "--sign", "--trusted-comment", "-o OUT", "--help"}},
    };
    for (const auto& p : programs) {
        SCOPED_TRACE(p.name);
        const std::string help = shell(std::string(p.program) + " --help");  // throws unless status 0
        for (const std::string& option : p.options) EXPECT_NE(help.find(option), std::string::npos) << option;
        EXPECT_EQ(shell(std::string(p.program) + " --version"), std::string(p.name) + " " VELK_VERSION "\n");
    }
    // Without --help, too few arguments or an unknown option stay the usage line and -1.
    EXPECT_EQ(velktest::shellStatus(std::string(VELK_UNPACK) + " a b > /dev/null"), 255);
    EXPECT_EQ(velktest::shellStatus(std::string(VELK_UNPACK) + " --frob a b c > /dev/null"), 255);
}

class ProgressTest : public ::testing::Test {
protected:
    void SetUp() override {
        shell("mkdir " + quote(dir / "tree"));
        velktest::writeFile(dir / "tree/big.bin", velktest::seededBytes(900000, 7));  // about 9 chunks
        shell(cd() + "tar --format=ustar --sort=name --mtime=@0 --owner=0 --group=0 -C tree -cf t.tar . && " +
              velktest::refPacker() + " --label L --info '{\"PLVS\":\"1\"}' --tar t.tar -o p.velk");
        package = velktest::readFile(dir / "p.velk");
    }
    std::string cd() const { return "cd " + quote(dir.path()) + " && "; }

    // velk-unpack --progress-fd `fd` on `bytes` (descriptor 3 is the feed file): its status, and
    // the feed's lines as (percent, done, total).
    int runFed(const std::string& bytes, std::vector<std::vector<uint64_t>>& lines, const std::string& fd = "3") {
        velktest::writeFile(dir / "in.velk", bytes);
        const int status = velktest::shellStatus(cd() + VELK_UNPACK + " --progress-fd " + fd + " in.velk dest version"
                                                 " 3> feed > /dev/null");
        std::istringstream feed(velktest::readFile(dir / "feed"));
        lines.clear();
        for (uint64_t percent, done, total; feed >> percent >> done >> total;) lines.push_back({percent, done, total});
        return status;
    }

    velktest::TempDir dir;
    std::string package;
};

// The lines climb to one "100" at the end of a success. The second of two packages does not
// start with the magic: no line reports bytes past that point, and none says 100.
TEST_F(ProgressTest, FeedLinesClimbToOneHundredOnlyOnSuccess) {
    std::vector<std::vector<uint64_t>> lines;
    ASSERT_EQ(runFed(package, lines), 0);
    const uint64_t total = package.size();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), (std::vector<uint64_t>{100, total, total}));
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(lines[i][2] == total && lines[i][0] == lines[i][1] * 100 / total) << i;
        EXPECT_TRUE(i == 0 || lines[i][1] >= lines[i - 1][1]) << i;
        EXPECT_TRUE(lines[i][0] < 100 || i + 1 == lines.size()) << i;
    }
    std::string damaged = package + package;
    damaged[package.size()] = 'X';
    EXPECT_EQ(runFed(damaged, lines), 249);
    for (const auto& line : lines) EXPECT_TRUE(line[1] <= package.size() && line[0] < 100) << line[1];
    // A word is no descriptor.
    EXPECT_EQ(runFed(package, lines, "x"), 255);
}

// --progress draws on a terminal (script(1) gives standard error one) and blanks its line at
// the end; with standard error a file it draws nothing.
TEST_F(ProgressTest, TerminalLineOnlyOnATerminal) {
    const std::string shown = shell(cd() + "script -qec '" + VELK_UNPACK +
                                    " --progress p.velk dest version > /dev/null' /dev/null < /dev/null");
    ASSERT_EQ(shown.compare(0, 6, "\rread "), 0) << shown;
    EXPECT_NE(shown.find(" s left"), std::string::npos) << shown;
    EXPECT_EQ(shown.back(), '\r');
    EXPECT_EQ(shell(cd() + VELK_UNPACK + " --progress p.velk dest version 2>&1 > /dev/null"), "");
}

}  // namespace
