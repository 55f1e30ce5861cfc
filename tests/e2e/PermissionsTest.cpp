// velk-unpack -p against GNU tar -xp on the same archives, as root and as nobody, in place
// and --atomic: every file and folder ends with tar's permission bits (set-ID and sticky bits
// never), and -p succeeds wherever tar does. Without -p files get 0600 and folders 0755, less
// the umask.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "tests/support/Scene.h"

using namespace velktest;

namespace {

constexpr mode_t kMask = 027;

std::string octal(mode_t mode) {
    char text[16];
    snprintf(text, sizeof text, "%o", unsigned(mode));
    return text;
}

// Every file and folder below `root` (links aside), sorted, folders ending in '/', with its
// mode bits in `bits`.
std::string modes(const std::string& root, mode_t bits) {
    std::vector<std::string> lines;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        struct stat st;
        if (lstat(entry.path().c_str(), &st) != 0 || S_ISLNK(st.st_mode)) continue;
        const std::string name = entry.path().lexically_relative(root).string() + (S_ISDIR(st.st_mode) ? "/" : "");
        lines.push_back(name + " " + octal(st.st_mode & bits));
    }
    std::sort(lines.begin(), lines.end());
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

// Archives made by GNU tar in a folder of their own; each becomes one package of SOURCE.
struct Scenario {
    const char* name;
    std::string make;               // shell commands run in the scenario's folder, as root
    std::vector<std::string> tars;  // what they leave, in package order
};

// Folders are made before their entries and given their modes after them.
const Scenario kScenarios[] = {
    {"modes of every kind, set-ID and sticky bits among them",
     "mkdir -p etc ro/sub tmp && printf x > etc/secret && printf x > ro/sub/deep && printf x > setgid &&"
     " printf x > setuid && printf x > tmp/any && chmod 640 etc/secret && chmod 644 ro/sub/deep &&"
     " chmod 2750 setgid && chmod 4755 setuid && chmod 666 tmp/any && chmod 750 etc && chmod 555 ro/sub ro &&"
     " chmod 1777 tmp && " + std::string(kTar) + " -cf a.tar .",
     {"a.tar"}},
    {"a read-only file in two packages: the second replaces it",
     "mkdir -p one/bin two/bin && printf 1 > one/bin/tool && printf 2 > two/bin/tool &&"
     " chmod 555 one/bin/tool two/bin/tool && " + std::string(kTar) + " -C one -cf a.tar . && " + kTar +
     " -C two -cf b.tar .",
     {"a.tar", "b.tar"}},
    {"a folder its owner cannot enter holds a read-only folder",
     "mkdir -p tree/a/b && printf f > tree/a/b/f && chmod 500 tree/a/b && chmod 600 tree/a && " +
     std::string(kTar) + " -C tree -cf a.tar .",
     {"a.tar"}},
    {"a folder given twice: the last entry wins",
     "mkdir -p tree/d tree/e && chmod 500 tree/d && chmod 755 tree/e && " + std::string(kTar) +
     " -C tree -cf a.tar ./d ./e && chmod 755 tree/d && chmod 500 tree/e && " + kTar +
     " -C tree -rf a.tar --no-recursion ./d ./e",
     {"a.tar"}},
    {"a read-only folder replaced by a link: its mode goes with it",
     "mkdir -p tree/d && chmod 500 tree/d && " + std::string(kTar) + " -C tree -cf a.tar ./d && rmdir tree/d &&"
     " ln -s elsewhere tree/d && " + kTar + " -C tree -rf a.tar ./d",
     {"a.tar"}},
};

class PermissionsTest : public ::testing::Test {
protected:
    void SetUp() override { s.sh("chmod 755 . && mkdir site state"); }

    std::string dest() const { return s / "site/dest"; }

    // Makes the scenario's archives in a fresh folder and one SOURCE of them, a package each.
    std::string prepare(const Scenario& scenario) {
        s.sh("rm -rf archives && mkdir archives && cd archives && " + scenario.make);
        std::string packages;
        int seed = 0;
        for (const std::string& tar : scenario.tars) {
            packages += readFile(s.packWith("--tar archives/" + tar, tar + ".velk", "{\"PLVS\":\"1\"}", ++seed));
        }
        writeFile(s / "source.velk", packages);
        return s / "source.velk";
    }

    // Runs `argv` in the test's folder with umask 027, as nobody when asked.
    Outcome run(std::vector<std::string> argv, bool nobody) {
        Launch how;
        how.argv = nobody ? asNobody(std::move(argv)) : std::move(argv);
        how.out = s / "log";
        how.workDir = s.path();
        how.fileMask = int(kMask);
        return velktest::run(how);
    }

    // What tar -xp makes of the scenario's archives, one after the other, in a fresh `ref`.
    std::string tarReference(const Scenario& scenario, bool nobody) {
        s.sh(std::string("rm -rf ref && mkdir ref") + (nobody ? " && chown nobody ref" : ""));
        for (const std::string& tar : scenario.tars) {
            const Outcome extracted = run({"tar", "-xpf", s / ("archives/" + tar), "-C", s / "ref"}, nobody);
            EXPECT_EQ(extracted.status, 0) << extracted.all();
        }
        return s / "ref";
    }

    Scene s;
};

// Each scenario runs as root, then as nobody over the tree root left, each in place and --atomic.
TEST_F(PermissionsTest, PGivesEveryEntryTheModeTarXpGivesIt) {
    for (const Scenario& scenario : kScenarios) {
        const std::string source = prepare(scenario);
        for (const bool nobody : {false, true}) {
            if (nobody && kEmulated) continue;  // setpriv would start the emulator as nobody
            if (nobody) s.sh("chown -R nobody site state");
            const std::string ref = tarReference(scenario, nobody);
            for (const bool atomic : {false, true}) {
                SCOPED_TRACE(std::string(scenario.name) + (nobody ? ", as nobody" : ", as root") +
                             (atomic ? ", --atomic" : ", in place"));
                std::vector<std::string> args = unpackArgv();
                if (atomic) args.push_back("--atomic");
                args.insert(args.end(), {"-p", source, dest(), s / "state/version"});
                const Outcome unpacked = run(args, nobody);
                EXPECT_EQ(unpacked.status, 0) << unpacked.all();
                EXPECT_EQ(describeTree(dest()), describeTree(ref));
                EXPECT_EQ(modes(dest(), 0777), modes(ref, 0777));
                EXPECT_EQ(modes(dest(), 07000), modes(dest(), 0));  // never set-ID or sticky
                EXPECT_EQ(shell("LC_ALL=C ls -A " + quote(s / "site")), ".dest.velk-index\n.dest.velk-lock\ndest\n");
            }
        }
    }
}

// Without -p the archive's modes play no part: files 0600 and folders 0755, less the umask.
TEST_F(PermissionsTest, WithoutPFilesAre0600AndFolders0755LessTheUmask) {
    const std::string source = prepare(kScenarios[0]);
    std::vector<std::string> args = unpackArgv();
    args.insert(args.end(), {source, dest(), s / "state/version"});
    const Outcome unpacked = run(args, false);
    ASSERT_EQ(unpacked.status, 0) << unpacked.all();
    std::string expected;
    for (const char* name : {"etc/", "etc/secret", "ro/", "ro/sub/", "ro/sub/deep", "setgid", "setuid", "tmp/",
                             "tmp/any"}) {
        const bool folder = std::string(name).back() == '/';
        expected += std::string(name) + " " + octal((folder ? 0755 : 0600) & ~kMask) + "\n";
    }
    EXPECT_EQ(modes(dest(), 07777), expected);
}

}  // namespace
