// What an integrator relies on beyond the install itself: --help and --version of the three
// programs, the progress line on a terminal, and a dead reader of standard output.

#include <gtest/gtest.h>

#include "tests/support/Scene.h"

using namespace velktest;

namespace {

TEST(ProgramTest, HelpListsEveryOptionAndVersionIsTheProjects) {
    const struct { const char* program; const char* name; std::vector<std::string> options; } programs[] = {
        {VELK_UNPACK_PROGRAM, "velk-unpack",
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
}

// velk-unpack --progress, and velk-inspect --verify above 8 MiB, draw a line on a terminal
// (script(1) gives standard error one) and blank it at the end, at least as wide as it was;
// with standard error a file, or velk-inspect without --verify, nothing.
TEST(ProgramTest, TheProgressLineIsDrawnOnlyOnATerminalAndBlankedAtTheEnd) {
    Scene s;
    s.sh("mkdir big");
    writeFile(s / "big/random.bin", seededBytes(9 * 1024 * 1024, 31));
    s.sh(VELK_PACK " --label big --info '{\"PLVS\":\"9\"}' --seed 3 -o big.velk big");
    const struct { std::string command; bool drawn; } rows[] = {
        {VELK_UNPACK + " --progress big.velk dest version", true},
        {VELK_INSPECT " --verify big.velk", true},
        {VELK_INSPECT " big.velk", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command);
        const std::string shown = s.sh("script -qec " + quote(row.command + " > /dev/null") + " /dev/null < /dev/null");
        EXPECT_EQ(s.sh(row.command + " 2>&1 > /dev/null"), "");
        if (!row.drawn) {
            EXPECT_EQ(shown, "");
            continue;
        }
        ASSERT_EQ(shown.compare(0, 6, "\rread "), 0) << shown;
        EXPECT_NE(shown.find(" MB/s, "), std::string::npos) << shown;
        EXPECT_NE(shown.find(" s left"), std::string::npos) << shown;
        const size_t last = shown.rfind("\rread "), end = shown.find('\r', last + 1);
        const std::string blank = end == std::string::npos ? "" : shown.substr(end);
        ASSERT_GE(blank.size(), 2u) << shown;
        EXPECT_EQ(blank, "\r" + std::string(blank.size() - 2, ' ') + "\r");
        EXPECT_GE(blank.size() - 2, end - last);
    }
}

// With standard output a pipe nobody reads, every message fails with EPIPE; the install is whole.
// python3 closes the reading end first and starts the program with SIGPIPE at its default.
TEST(ProgramTest, ADeadReaderOfStandardOutputChangesNothing) {
    Scene s;
    s.sh("mkdir -p tree/etc && printf 'a=1\\n' > tree/etc/a.conf");
    s.pack("tree", "p.velk");
    const char* kDeadReader = "import os, subprocess, sys; r, w = os.pipe(); os.close(r)\n"
                              "sys.exit(subprocess.run(sys.argv[1:], stdout=w).returncode)";
    EXPECT_EQ(shellStatus(s.cd() + quote(python()) + " -c " + quote(kDeadReader) + " " + VELK_UNPACK +
                          " p.velk dest version"), 0);
    EXPECT_EQ(s.state(), Scene::installed(describeTree(s / "tree"), "new"));
}

}  // namespace
