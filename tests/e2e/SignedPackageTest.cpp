// velk-unpack --pubkey and velk-inspect --pubkey against signatures made by the real minisign:
// a signed file installs, in place and staged; a change to the file or the key is refused before
// DEST or the version file change, with status -8 (velk-inspect: 6).

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

using velktest::quote;
using velktest::shell;

namespace {

constexpr int kSignatureStatus = 248;  // -8
constexpr int kInspectSignature = 6;

class SignedPackageTest : public ::testing::Test {
protected:
    void SetUp() override {
        shell(cd() + "mkdir -p tree/etc && printf 'a=1\\n' > tree/etc/a.conf && tar --format=ustar --sort=name"
              " --mtime=@0 --owner=0 --group=0 -C tree -cf content.tar . && " + velktest::refPacker() +
              " --label L --info '{\"PLVS\":\"2.0\"}' --seed 5 --tar content.tar -o p.velk && " +
              velktest::refPacker() + " --label L --info '{\"PLVS\":\"3.0\"}' --seed 6 --tar content.tar -o q.velk"
              " && " + minisign() + " -G -W -p k.pub -s k.sec > /dev/null && " + minisign() +
              " -G -W -p other.pub -s other.sec > /dev/null && mkdir -p dest && printf old > dest/installed");
        package = velktest::readFile(dir / "p.velk");
    }

    std::string cd() const { return "cd " + quote(dir.path()) + " && "; }
    static std::string minisign() { return quote(VELK_MINISIGN); }
    // Signs `file` (in the test folder) with k.sec, minisign's way; `extra` goes to minisign -S.
    void sign(const std::string& file, const std::string& extra = "") {
        shell(cd() + minisign() + " -S -s k.sec -m " + quote(file) + " " + extra + " > /dev/null");
    }

    int run(const std::string& program, const std::string& args) {
        return velktest::shellStatus(cd() + program + " " + args + " > out.log 2>&1");
    }
    std::string log() const { return velktest::readFile(dir / "out.log"); }
    std::string state() const { return velktest::describeTree(dir / "dest") + velktest::readFile(dir / "version"); }

    velktest::TempDir dir;
    std::string package;
};

TEST_F(SignedPackageTest, AFileMinisignSignedInstallsInPlaceAndStaged) {
    sign("p.velk", "-t 'release 2.0'");
    for (const std::string mode : {"", "--atomic "}) {
        SCOPED_TRACE(mode);
        velktest::writeFile(dir / "version", "old");
        ASSERT_EQ(run(VELK_UNPACK, mode + "--pubkey k.pub p.velk dest version"), 0) << log();
        EXPECT_EQ(velktest::describeTree(dir / "dest"), velktest::describeTree(dir / "tree"));
        EXPECT_EQ(velktest::readFile(dir / "version"), "2.0");
        EXPECT_NE(log().find("Trusted comment: release 2.0\n"), std::string::npos) << log();
    }
    // The key file's base64 line alone, and a signature file named explicitly, serve as well.
    shell(cd() + "tail -n 1 k.pub > bare.pub && mv p.velk.minisig elsewhere.sig");
    EXPECT_EQ(run(VELK_UNPACK, "--pubkey bare.pub --signature elsewhere.sig p.velk dest version"), 0) << log();
    EXPECT_EQ(run(VELK_INSPECT, "--verify --pubkey k.pub --signature elsewhere.sig p.velk"), 0) << log();
    EXPECT_NE(log().find("signature: OK, trusted comment: release 2.0\n"), std::string::npos) << log();
    // Without --pubkey a signature beside the file is not looked at, even a wrong one.
    shell(cd() + "printf junk > p.velk.minisig");
    EXPECT_EQ(run(VELK_UNPACK, "p.velk dest version"), 0) << log();
}

// The file or the key differs from what was signed, or there is no signature: refused with its
// reason before anything changes, in place and staged; velk-inspect says 6 and why. The library's
// tests give every other verdict.
TEST_F(SignedPackageTest, EveryChangeIsRefusedBeforeAnythingChanges) {
    sign("p.velk");
    const std::string good = velktest::readFile(dir / "p.velk.minisig");
    const struct { const char* name; std::string file; bool signature; std::string key, reason; } rows[] = {
        {"a tail byte, never read", package.substr(0, package.size() - 1) + char(~package.back()), true, "k",
         "bad signature"},
        {"a package appended", package + velktest::readFile(dir / "q.velk"), true, "k", "bad signature"},
        {"another key", package, true, "other", "another key"},
        {"no signature file", package, false, "k", "missing"},
    };
    for (const auto& row : rows) {
        velktest::writeFile(dir / "in.velk", row.file);
        shell(cd() + "rm -f in.velk.minisig");
        if (row.signature) velktest::writeFile(dir / "in.velk.minisig", good);
        for (const std::string mode : {"", "--atomic "}) {
            SCOPED_TRACE(std::string(row.name) + " " + mode);
            velktest::writeFile(dir / "version", "old");
            const std::string before = state();
            EXPECT_EQ(run(VELK_UNPACK, mode + "--pubkey " + row.key + ".pub in.velk dest version"), kSignatureStatus);
            EXPECT_NE(log().find("signature check failed: " + row.reason + "\n"), std::string::npos) << log();
            EXPECT_EQ(state(), before);
            EXPECT_EQ(shell(cd() + "ls -A"), shell(cd() + "ls -A | grep -v velk-staging"));  // nothing left beside
        }
        EXPECT_EQ(run(VELK_INSPECT, "--verify --pubkey " + row.key + ".pub in.velk"), kInspectSignature) << log();
        EXPECT_NE(log().find("signature: FAILED: " + row.reason + "\n"), std::string::npos) << log();
    }
}

// -8 comes after -1 and -2, before -7: a damaged package that is no longer the file signed is
// refused by its signature first, in place and staged.
TEST_F(SignedPackageTest, TheOrderOfStatuses) {
    const std::string damaged = package.substr(0, package.size() - 100);  // ends inside its payload: -7 alone
    velktest::writeFile(dir / "cut.velk", damaged);
    sign("cut.velk");
    EXPECT_EQ(run(VELK_UNPACK, "--atomic --pubkey k.pub cut.velk dest version"), 249) << log();
    velktest::writeFile(dir / "cut.velk", damaged + "x");
    for (const std::string mode : {"", "--atomic "})
        EXPECT_EQ(run(VELK_UNPACK, mode + "--pubkey k.pub cut.velk dest version"), kSignatureStatus) << log();
    EXPECT_EQ(run(VELK_UNPACK, "--pubkey k.pub missing.velk dest version"), 254);  // -2 first
    EXPECT_EQ(run(VELK_UNPACK, "--pubkey k.pub p.velk / version"), 255);           // -1 first
    EXPECT_EQ(run(VELK_UNPACK, "--signature x.sig p.velk dest version"), 255);      // --signature needs --pubkey
    EXPECT_EQ(run(VELK_UNPACK, "p.velk dest version --pubkey k.pub"), 255) << log();  // after SOURCE: refused
}

}  // namespace
