// velk-unpack run as a program on packages of both packers: exit statuses, the version
// file, the extracted tree and the lines an updater reads.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "tests/support/TestSupport.h"

using velktest::quote;
using velktest::shell;

namespace {

struct RunResult {
    int status;
    std::string output;
};

class VelkUnpackTest : public ::testing::Test {
protected:
    void SetUp() override {
        tree = dir / "tree";
        shell("mkdir -p " + quote(tree + "/etc/conf.d") + " && cd " + quote(tree) +
              " && printf 'v1' > version.txt && : > etc/empty && printf 'x=1\\n' > etc/conf.d/a.conf"
              " && ln -s etc/conf.d conf && ln -s /usr/lib/os-release abs-link");
        velktest::writeFile(tree + "/blob.bin", velktest::seededBytes(40000, 9));
        shell("tar --format=ustar --sort=name --mtime=@0 --owner=0 --group=0 -C " + quote(tree) + " -cf " +
              quote(dir / "content.tar") + " .");
        shell("mkdir " + quote(dir / "outside"));
    }

    // A package of the independent Python packer holding content.tar.
    std::string refPackage(const std::string& name, const std::string& info, int seed = 1,
                           const std::string& extra = "--tar " + velktest::quote("content.tar")) {
        shell("cd " + quote(dir.path()) + " && " + velktest::refPacker() + " --label L --info " + quote(info) +
              " --seed " + std::to_string(seed) + " " + extra + " -o " + quote(name));
        return dir / name;
    }

    RunResult unpack(const std::string& args) {
        RunResult run;
        std::string log = dir / "log";
        run.status = velktest::shellStatus(std::string(VELK_UNPACK) + " " + args + " > " + quote(log) + " 2>&1");
        run.output = velktest::readFile(log);
        return run;
    }

    RunResult unpack(const std::string& source, const std::string& dest, const std::string& version) {
        return unpack(quote(source) + " " + quote(dest) + " " + quote(version));
    }

    std::string dest() const { return dir / "dest"; }
    std::string version() const { return dir / "version"; }

    velktest::TempDir dir;
    std::string tree;
};

constexpr int status(int code) { return code & 0xff; }

TEST_F(VelkUnpackTest, UnpacksAndWritesTheVersion) {
    std::string package = refPackage("p.velk", "{\"PLVS\":\"2.4.1\",\"note\":\"x\"}");
    shell("mkdir -p " + quote(dest() + "/old/dir") + " && touch " + quote(dest() + "/old/dir/f"));
    struct stat before;
    ASSERT_EQ(stat(dest().c_str(), &before), 0);
    velktest::writeFile(version(), "an older, much longer version text");

    RunResult run = unpack(package, dest(), version());
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(velktest::describeTree(dest()), velktest::describeTree(tree));
    EXPECT_EQ(velktest::readFile(version()), "2.4.1");
    struct stat after;
    ASSERT_EQ(stat(dest().c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);  // emptied, not replaced
    EXPECT_NE(run.output.find("ready to del " + dest() + "/old/dir/f\n"), std::string::npos);
    EXPECT_NE(run.output.find("tgz: unpack success\r\n"), std::string::npos);
    EXPECT_NE(run.output.find("-----------------unpack succe  \r\n filepath= " + dest() + "\n"), std::string::npos);
}

TEST_F(VelkUnpackTest, OurPackerAndMultiChunkPayloads) {
    velktest::writeFile(tree + "/big.bin", velktest::seededBytes(350000, 10));
    shell(std::string(VELK_PACK) + " --label big --info '{\"PLVS\":\"9\"}' --seed 3 -o " +
          quote(dir / "big.velk") + " " + quote(tree));
    struct stat st;
    ASSERT_EQ(stat((dir / "big.velk").c_str(), &st), 0);
    ASSERT_GT(st.st_size, 3 * 102400);

    RunResult run = unpack(dir / "big.velk", dest(), version());
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(velktest::describeTree(dest()), velktest::describeTree(tree));
    EXPECT_EQ(velktest::readFile(version()), "9");
}

TEST_F(VelkUnpackTest, VersionComesFromTheLastPackageThatHasOne) {
    const struct {
        std::string infos[2];
        std::string expected;
    } cases[] = {
        {{"{\"PLVS\":\"1.0\"}", "{\"PLVS\":\"2.0\"}"}, "2.0"},
        {{"{\"PLVS\":\"1.0\"}", "{\"other\":1}"}, "1.0"},
        {{"{\"PLVS\":7}", "{\"PLVS\":true}"}, "true"},
        {{"{\"PLVS\":\"a\"}", "{\"PLVS\":12}"}, "12"},
    };
    for (const auto& c : cases) {
        std::string both = velktest::readFile(refPackage("a.velk", c.infos[0], 1)) +
                           velktest::readFile(refPackage("b.velk", c.infos[1], 2));
        velktest::writeFile(dir / "both.velk", both);
        RunResult run = unpack(dir / "both.velk", dest(), version());
        ASSERT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(velktest::readFile(version()), c.expected);
    }
}

TEST_F(VelkUnpackTest, ArgumentsAndSource) {
    std::string package = refPackage("p.velk", "{\"PLVS\":\"1\"}");
    shell("touch " + quote(dir / "outside/keep") + " && ln -s / " + quote(dir / "root-link"));
    const struct {
        std::string args;
        int expected;
    } cases[] = {
        {"", -1},
        {quote(package) + " " + quote(dest()), -1},
        {quote(package) + " '' " + quote(version()), -1},
        {quote(package) + " / " + quote(version()), -1},
        {quote(package) + " //. " + quote(version()), -1},
        {quote(package) + " " + quote(dir / "root-link") + " " + quote(version()), -1},
        {quote(dir / "missing") + " " + quote(dest()) + " " + quote(version()), -2},
        {quote(dir / "outside") + " " + quote(dest()) + " " + quote(version()), -4},
    };
    for (const auto& c : cases) {
        RunResult run = unpack(c.args);
        EXPECT_EQ(run.status, status(c.expected)) << c.args << "\n" << run.output;
        if (c.expected == -1) {
            EXPECT_EQ(run.output, "params: source path; dest path; version\n");
        }
    }
    EXPECT_TRUE(velktest::exists(dir / "outside/keep"));
    EXPECT_FALSE(velktest::exists(version()));
}

TEST_F(VelkUnpackTest, BrokenInputNeverReportsSuccess) {
    std::string good = velktest::readFile(refPackage("p.velk", "{\"PLVS\":\"3\"}"));
    std::string flipped = good;
    flipped[good.size() - 100] ^= 0x20;
    const struct {
        const char* name;
        std::string bytes;
        const char* line;
    } cases[] = {
        {"payload byte flipped", flipped, "tgz: unpack fail\r\n"},
        {"ends inside the payload", good.substr(0, good.size() - 200), "tgz: unpack incomplete\r\n"},
        {"ends inside the tail", good.substr(0, good.size() - 1), "tgz: unpack incomplete\r\n"},
        {"second package cut short", good + good.substr(0, 900), "tgz: unpack incomplete\r\n"},
        {"empty file", "", ""},
        {"a few bytes after a package", good + "junk", "tgz: unpack incomplete\r\n"},
        {"a bad header after a package", good + std::string(100, 'x'), "tgz: unpack fail\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        velktest::writeFile(dir / "in.velk", c.bytes);
        velktest::writeFile(version(), "old");
        RunResult run = unpack(dir / "in.velk", dest(), version());
        EXPECT_EQ(run.status, status(-7)) << run.output;
        EXPECT_NE(run.output.find(c.line), std::string::npos) << run.output;
        EXPECT_EQ(velktest::readFile(version()), "old");
    }
}

TEST_F(VelkUnpackTest, CustomInformationThatCannotGiveAVersion) {
    const struct {
        std::string info;
        int expected;
        bool refused;
    } cases[] = {
        {"{\"PLVS\":[1]}", -7, true},  {"{\"PLVS\":{\"a\":1}}", -7, true}, {"[\"PLVS\"]", -7, true},
        {"42", -7, true},              {"not json", -7, true},             {"null", -7, true},
        {"{\"other\":1}", -6, false},  {"{\"PLVS\":null}", -6, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.info);
        velktest::writeFile(version(), "old");
        RunResult run = unpack(refPackage("p.velk", c.info), dest(), version());
        EXPECT_EQ(run.status, status(c.expected)) << run.output;
        EXPECT_EQ(run.output.find("outCustomInfo ERROR\n") != std::string::npos, c.refused) << run.output;
        EXPECT_EQ(velktest::readFile(version()), "old");
        // Without a version the tree is still unpacked.
        if (!c.refused) {
            EXPECT_EQ(velktest::describeTree(dest()), velktest::describeTree(tree));
        }
    }
}

// A source past 4 GiB (sparse: a package, then zeros) is opened, examined and read like any
// other; on a 32-bit target that needs 64-bit file offsets and sizes throughout.
TEST_F(VelkUnpackTest, SourceLargerThanFourGibibytes) {
    const std::string source = dir / "huge.velk";
    shell("cp " + quote(refPackage("p.velk", "{\"PLVS\":\"5\"}")) + " " + quote(source) + " && truncate -s 5G " +
          quote(source));
    velktest::writeFile(version(), "old");
    RunResult run = unpack(source, dest(), version());
    EXPECT_EQ(run.status, status(-7)) << run.output;
    EXPECT_NE(run.output.find("tgz: unpack fail\r\n"), std::string::npos) << run.output;
    EXPECT_EQ(velktest::describeTree(dest()), velktest::describeTree(tree));  // the first package was unpacked
    EXPECT_EQ(velktest::readFile(version()), "old");
}

TEST_F(VelkUnpackTest, StopsReadingAfterTheFirstFailure) {
    std::string garbage = "NOPE" + velktest::seededBytes(3 * 1024 * 1024, 4);
    velktest::writeFile(dir / "junk.velk", garbage);
    RunResult run = unpack(dir / "junk.velk", dest(), version());
    EXPECT_EQ(run.status, status(-7));
    size_t fails = 0;
    for (size_t at = run.output.find("tgz: unpack fail"); at != std::string::npos;
         at = run.output.find("tgz: unpack fail", at + 1)) {
        ++fails;
    }
    EXPECT_EQ(fails, 1u);
}

}  // namespace
