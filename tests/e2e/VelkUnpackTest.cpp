// velk-unpack run as a program on packages of the independent packer: the extracted tree, the
// version file and the lines an updater reads. Input that is not a whole package: DamageTest,
// and VelkInspectTest, where both programs give their verdicts.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "tests/support/Scene.h"

using namespace velktest;

namespace {

class VelkUnpackTest : public ::testing::Test {
protected:
    void SetUp() override {
        s.sh("mkdir -p tree/etc/conf.d && cd tree && printf 'v1' > version.txt && : > etc/empty && printf 'x=1\\n' >"
             " etc/conf.d/a.conf && ln -s etc/conf.d conf && ln -s /usr/lib/os-release abs-link");
        writeFile(s / "tree/blob.bin", seededBytes(40000, 9));
        s.pack("tree", "p.velk", "3");
        tree = describeTree(s / "tree");
    }
    std::string package(const std::string& info, int seed) const {
        return readFile(s.packWith("--tar tree.tar", "i.velk", info, seed));
    }

    Scene s;
    std::string tree;
};

TEST_F(VelkUnpackTest, UnpacksAndWritesTheVersion) {
    s.sh("mkdir -p dest/old/dir && touch dest/old/dir/f");
    struct stat before, after;
    ASSERT_EQ(stat((s / "dest").c_str(), &before), 0);
    writeFile(s / "version", "an older, much longer version text");
    ASSERT_EQ(s.unpack({s / "p.velk", s / "dest", s / "version"}).status, 0) << s.log();
    EXPECT_EQ(s.state(), Scene::installed(tree, "3"));
    ASSERT_EQ(stat((s / "dest").c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);  // emptied, not replaced
    EXPECT_NE(s.log().find("ready to del " + s / "dest/old/dir/f\n"), std::string::npos) << s.log();
    EXPECT_NE(s.log().find("tgz: unpack success\r\n"), std::string::npos);
    EXPECT_NE(s.log().find("-----------------unpack succe  \r\n filepath= " + s / "dest\n"), std::string::npos);
}

// The value of the last package that carries PLVS, as text; custom information that is not a
// JSON object, or a PLVS that is one, is refused (-7); without a value the tree is still
// unpacked (-6). The version file changes only with a value.
TEST_F(VelkUnpackTest, TheVersionComesFromTheLastPackageThatHasOne) {
    const struct { std::vector<std::string> infos; int status; std::string version; } rows[] = {
        {{"{\"PLVS\":\"1.0\"}", "{\"PLVS\":\"2.0\"}"}, 0, "2.0"},
        {{"{\"PLVS\":\"1.0\"}", "{\"other\":1}"}, 0, "1.0"},
        {{"{\"PLVS\":7}", "{\"PLVS\":true}"}, 0, "true"},
        {{"{\"PLVS\":\"a\"}", "{\"PLVS\":12}"}, 0, "12"},
        {{"{\"other\":1}"}, kVersionFailed, "old"},
        {{"{\"PLVS\":null}"}, kVersionFailed, "old"},
        {{"{\"PLVS\":[1]}"}, kIncomplete, "old"},
        {{"{\"PLVS\":{\"a\":1}}"}, kIncomplete, "old"},
        {{"[\"PLVS\"]"}, kIncomplete, "old"},
        {{"42"}, kIncomplete, "old"},
        {{"not json"}, kIncomplete, "old"},
        {{"null"}, kIncomplete, "old"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.infos.back());
        std::string packages;
        for (size_t i = 0; i < row.infos.size(); ++i) packages += package(row.infos[i], int(i + 1));
        writeFile(s / "in.velk", packages);
        writeFile(s / "version", "old");
        EXPECT_EQ(s.unpack({"in.velk", "dest", "version"}).status, row.status) << s.log();
        EXPECT_EQ(readFile(s / "version"), row.version);
        EXPECT_EQ(s.log().find("outCustomInfo ERROR\n") != std::string::npos, row.status == kIncomplete) << s.log();
        if (row.status != kIncomplete) {
            EXPECT_EQ(describeTree(s / "dest"), tree);
        }
    }
}

// A source past 4 GiB (sparse: a package, then zeros) is opened, examined and read like any
// other; on a 32-bit target that needs 64-bit file offsets and sizes throughout.
TEST_F(VelkUnpackTest, SourceLargerThanFourGibibytes) {
    s.sh("cp p.velk huge.velk && truncate -s 5G huge.velk");
    writeFile(s / "version", "old");
    EXPECT_EQ(s.unpack({"huge.velk", "dest", "version"}).status, kIncomplete) << s.log();
    EXPECT_NE(s.log().find("tgz: unpack fail\r\n"), std::string::npos) << s.log();
    EXPECT_EQ(s.state(), Scene::installed(tree, "old"));  // the first package was unpacked
}

}  // namespace
