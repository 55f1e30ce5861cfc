// CVersionFile through its typed outcomes, on real folders: what prepare refuses before DEST is
// touched, what stage and publish write, and where each stops.

#include "install/VersionFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "fs/UniqueFd.h"
#include "tests/support/TestSupport.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using velktest::readFile;
using velktest::writeFile;

// Prepares, stages and publishes `path` with DEST at T/dest (its tree opened as `tree`):
// the first outcome that is not kDone, or kDone. The messages are dropped.
VersionOutcome writeVersion(const velktest::TempDir& tmp, const std::string& path, const std::string& text) {
    CVersionFile version;
    const CUniqueFd tree(open((tmp / "dest").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    testing::internal::CaptureStdout();
    VersionOutcome outcome = version.prepare(path, tmp / "dest");
    if (outcome == VersionOutcome::kDone) outcome = version.stage(text, tree.get(), tmp / "dest", Ownership{});
    if (outcome == VersionOutcome::kDone) outcome = version.publish();
    testing::internal::GetCapturedStdout();
    return outcome;
}

TEST(VersionFile, EachPathComesToItsOutcome) {
    struct Case {
        const char* what;
        std::string below;  // the version file's path below the TempDir, or absolute
        std::function<void(const velktest::TempDir&)> arrange;
        VersionOutcome expected;
        std::string readBack;  // below the TempDir: what it holds afterwards
    } cases[] = {
        {"a new file, its folders made", "v/w/version", nullptr, VersionOutcome::kDone, "v/w/version"},
        {"an old file replaced", "version", [](const velktest::TempDir& t) { writeFile(t / "version", "1"); },
         VersionOutcome::kDone, "version"},
        {"inside DEST, its folders made", "dest/state/version", nullptr, VersionOutcome::kDone, "dest/state/version"},
        {"a folder on the way is a file", "plain/version",
         [](const velktest::TempDir& t) { writeFile(t / "plain", "p"); }, VersionOutcome::kRefused, ""},
        {"it is a folder", "folder", [](const velktest::TempDir& t) { fs::create_directory(t / "folder"); },
         VersionOutcome::kRefused, ""},
        {"it is DEST", "dest", nullptr, VersionOutcome::kRefused, ""},
        {"its name does not fit", std::string(256, 'n'), nullptr, VersionOutcome::kRefused, ""},
        {"inside DEST through a link the package made", "dest/link/version",
         [](const velktest::TempDir& t) {
             fs::create_directory(t / "outside");
             fs::create_directory_symlink(t / "outside", t / "dest/link");
         },
         VersionOutcome::kRefused, ""},
        {"inside DEST below a file the package made", "dest/file/version",
         [](const velktest::TempDir& t) { writeFile(t / "dest/file", "f"); }, VersionOutcome::kNoFolder, ""},
        {"a full device", "/dev/full", nullptr, VersionOutcome::kNotWritten, ""},
    };
    for (const Case& c : cases) {
        velktest::TempDir tmp;
        fs::create_directory(tmp / "dest");
        if (c.arrange) c.arrange(tmp);
        const std::string path = c.below[0] == '/' ? c.below : tmp / c.below;
        EXPECT_EQ(writeVersion(tmp, path, "2.0"), c.expected) << c.what;
        if (!c.readBack.empty()) {
            EXPECT_EQ(readFile(tmp / c.readBack), "2.0") << c.what;
        }
        EXPECT_FALSE(fs::exists(tmp / "outside/version")) << c.what;
        EXPECT_EQ(velktest::namesWith(tmp.path(), "velk-new"), "") << c.what;
    }
}

// The temporary gone before publish: the rename fails, and the old file is kept.
TEST(VersionFile, PublishWithoutItsTemporaryKeepsTheOldFile) {
    velktest::TempDir tmp;
    fs::create_directory(tmp / "dest");
    writeFile(tmp / "version", "1");
    CVersionFile version;
    testing::internal::CaptureStdout();
    ASSERT_EQ(version.prepare(tmp / "version", tmp / "dest"), VersionOutcome::kDone);
    ASSERT_EQ(version.stage("2", -1, "", Ownership{}), VersionOutcome::kDone);
    for (const auto& entry : fs::directory_iterator(tmp.path())) {
        if (entry.path().string().find(".velk-new") != std::string::npos) fs::remove(entry.path());
    }
    EXPECT_EQ(version.publish(), VersionOutcome::kNoFile);
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_NE(said.find("version file: rename " + tmp / "version" + " failed(2,"), std::string::npos) << said;
    EXPECT_EQ(readFile(tmp / "version"), "1");
}

}  // namespace
}  // namespace velk
