// velk-unpack --pubkey and velk-inspect --pubkey against signatures made by the real minisign:
// a signed file installs, in place and staged; a change to the file or the key is refused before
// DEST or the version file change, with status -8 (velk-inspect: 6).

#include <gtest/gtest.h>

#include <climits>

#include "tests/support/Scene.h"

using namespace velktest;

namespace {

constexpr int kInspectSignature = 6;

class SignedPackageTest : public ::testing::Test {
protected:
    void SetUp() override {
        s.sh("mkdir -p tree/etc dest && printf 'a=1\\n' > tree/etc/a.conf && printf old > dest/installed && " +
             minisign() + " -G -W -p k.pub -s k.sec > /dev/null && " + minisign() +
             " -G -W -p other.pub -s other.sec > /dev/null");
        package = readFile(s.pack("tree", "p.velk", "2.0", 5));
        s.pack("tree", "q.velk", "3.0", 6);
    }

    static std::string minisign() { return quote(VELK_MINISIGN); }
    // Signs `file` (in the test folder) with k.sec, minisign's way; `extra` goes to minisign -S.
    void sign(const std::string& file, const std::string& extra = "") {
        s.sh(minisign() + " -S -s k.sec -m " + quote(file) + " " + extra + " > /dev/null");
    }
    int run(const std::string& program, const std::string& args) {
        return shellStatus(s.cd() + program + " " + args + " > log 2>&1");
    }

    Scene s;
    std::string package;
};

TEST_F(SignedPackageTest, AFileMinisignSignedInstallsInPlaceAndStaged) {
    sign("p.velk", "-t 'release 2.0'");
    for (const std::string mode : {"", "--atomic "}) {
        SCOPED_TRACE(mode);
        writeFile(s / "version", "old");
        ASSERT_EQ(run(VELK_UNPACK, mode + "--pubkey k.pub p.velk dest version"), 0) << s.log();
        EXPECT_EQ(describeTree(s / "dest"), describeTree(s / "tree"));
        EXPECT_EQ(readFile(s / "version"), "2.0");
        EXPECT_NE(s.log().find("Trusted comment: release 2.0\n"), std::string::npos) << s.log();
    }
    // The key file's base64 line alone, and a signature file named explicitly, serve as well.
    s.sh("tail -n 1 k.pub > bare.pub && mv p.velk.minisig elsewhere.sig");
    EXPECT_EQ(run(VELK_UNPACK, "--pubkey bare.pub --signature elsewhere.sig p.velk dest version"), 0) << s.log();
    EXPECT_EQ(run(VELK_INSPECT, "--verify --pubkey k.pub --signature elsewhere.sig p.velk"), 0) << s.log();
    EXPECT_NE(s.log().find("signature: OK, trusted comment: release 2.0\n"), std::string::npos) << s.log();
    // Without --pubkey a signature beside the file is not looked at, even a wrong one.
    s.sh("printf junk > p.velk.minisig");
    EXPECT_EQ(run(VELK_UNPACK, "p.velk dest version"), 0) << s.log();
}

// The file or the key differs from what was signed, or there is no signature: refused with its
// reason before anything changes, in place and staged; velk-inspect says 6 and why. The library's
// tests give every other verdict.
TEST_F(SignedPackageTest, EveryChangeIsRefusedBeforeAnythingChanges) {
    sign("p.velk");
    const std::string good = readFile(s / "p.velk.minisig");
    const struct { const char* name; std::string file; bool signature; std::string key, reason; } rows[] = {
        {"a tail byte, never read", package.substr(0, package.size() - 1) + char(~package.back()), true, "k",
         "bad signature"},
        {"a package appended", package + readFile(s / "q.velk"), true, "k", "bad signature"},
        {"another key", package, true, "other", "another key"},
        {"no signature file", package, false, "k", "missing"},
    };
    for (const auto& row : rows) {
        writeFile(s / "in.velk", row.file);
        s.sh("rm -f in.velk.minisig");
        if (row.signature) writeFile(s / "in.velk.minisig", good);
        for (const std::string mode : {"", "--atomic "}) {
            SCOPED_TRACE(std::string(row.name) + " " + mode);
            writeFile(s / "version", "old");
            const std::string before = s.state();
            EXPECT_EQ(run(VELK_UNPACK, mode + "--pubkey " + row.key + ".pub in.velk dest version"), kSignatureFailed);
            EXPECT_NE(s.log().find("signature check failed: " + row.reason + "\n"), std::string::npos) << s.log();
            EXPECT_EQ(s.state(), before);
            EXPECT_EQ(s.sh("ls -A"), s.sh("ls -A | grep -v velk-staging"));  // nothing left beside
        }
        EXPECT_EQ(run(VELK_INSPECT, "--verify --pubkey " + row.key + ".pub in.velk"), kInspectSignature) << s.log();
        EXPECT_NE(s.log().find("signature: FAILED: " + row.reason + "\n"), std::string::npos) << s.log();
    }
}

// -8 comes after -1 and -2, before -7 and -6: a damaged package that is no longer the file signed
// is refused by its signature first, in place and staged.
TEST_F(SignedPackageTest, TheOrderOfStatuses) {
    const std::string damaged = package.substr(0, package.size() - 100);  // ends inside its payload: -7 alone
    writeFile(s / "cut.velk", damaged);
    sign("cut.velk");
    EXPECT_EQ(run(VELK_UNPACK, "--atomic --pubkey k.pub cut.velk dest version"), kIncomplete) << s.log();
    writeFile(s / "cut.velk", damaged + "x");
    for (const std::string mode : {"", "--atomic "})
        EXPECT_EQ(run(VELK_UNPACK, mode + "--pubkey k.pub cut.velk dest version"), kSignatureFailed) << s.log();
    // Staged too, the file is judged before a DEST that cannot be resolved or a version file that
    // cannot be written ends the run.
    s.sh("ln -s loop loop");
    for (const std::string& unusable : {std::string("loop/dest version"), "dest " + std::string(NAME_MAX + 1, 'v')}) {
        EXPECT_EQ(run(VELK_UNPACK, "--atomic --pubkey k.pub cut.velk " + unusable), kSignatureFailed) << s.log();
    }
    EXPECT_EQ(run(VELK_UNPACK, "--pubkey k.pub missing.velk dest version"), kNoSource);  // -2 first
    EXPECT_EQ(run(VELK_UNPACK, "--pubkey k.pub p.velk '' version"), kUsage);        // -1 first
    EXPECT_EQ(run(VELK_UNPACK, "--signature x.sig p.velk dest version"), kUsage);  // --signature needs --pubkey
}

}  // namespace
