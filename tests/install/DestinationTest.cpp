// The two kinds of destination through their typed outcomes, on real folders in a TempDir:
// resolving, preparing (emptied in place, staged beside), and committing with a version file.

#include "install/InPlaceDestination.h"
#include "install/StagedDestination.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <vector>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "fs/UniqueFd.h"
#include "install/VersionFile.h"
#include "tests/support/TestSupport.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using velktest::readFile;
using velktest::writeFile;

std::unique_ptr<CDestination> destination(bool staged, const std::string& path) {
    if (staged) return std::make_unique<CStagedDestination>(path);
    return std::make_unique<CInPlaceDestination>(path);
}

// The names below `root`, sorted, separated by blanks; no link followed.
std::string names(const std::string& root) {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        found.push_back(fs::relative(entry.path(), root).string());
    }
    std::sort(found.begin(), found.end());
    std::string text;
    for (const std::string& name : found) text += (text.empty() ? "" : " ") + name;
    return text;
}

// The messages of `run`, which the outcomes come with.
std::string quietly(const std::function<void()>& run) {
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
}

TEST(Destination, ResolveRefusesTheRootAndWhatCannotBeResolved) {
    velktest::TempDir tmp;
    fs::create_symlink("loop2", tmp / "loop1");
    fs::create_symlink("loop1", tmp / "loop2");
    const struct {
        std::string path;
        DestOutcome expected;
    } cases[] = {
        {"", DestOutcome::kUnusable},
        {"/", DestOutcome::kUnusable},
        {tmp / "a/../../../../../../../..", DestOutcome::kUnusable},
        {tmp / "loop1/below", DestOutcome::kUnresolvable},
        {tmp / "new", DestOutcome::kReady},
    };
    for (const auto& c : cases) {
        for (const bool staged : {false, true}) {
            const auto dest = destination(staged, c.path);
            DestOutcome got = DestOutcome::kReady;
            quietly([&] { got = dest->resolve(); });
            EXPECT_EQ(got, c.expected) << c.path << " staged " << staged;
        }
    }
}

// Each kind prepared over what stands at DEST: the outcome, and what is left of DEST.
TEST(Destination, PrepareGivesEachOutcome) {
    struct Case {
        const char* what;
        bool staged;
        std::function<void(const velktest::TempDir&)> arrange;
        DestOutcome expected;
        const char* destAfter;  // names() of DEST afterwards; nullptr: not looked at
    } cases[] = {
        {"in place: emptied, the version file kept", false,
         [](const velktest::TempDir& t) {
             fs::create_directories(t / "dest/sub");
             writeFile(t / "dest/sub/old", "o");
             writeFile(t / "dest/version", "1");
         },
         DestOutcome::kReady, "version"},
        {"in place: a link to a folder is removed, never followed", false,
         [](const velktest::TempDir& t) {
             fs::create_directories(t / "dest");
             fs::create_directories(t / "outside");
             writeFile(t / "outside/kept", "k");
             fs::create_directory_symlink(t / "outside", t / "dest/link");
         },
         DestOutcome::kReady, ""},
        {"in place: a file at DEST", false, [](const velktest::TempDir& t) { writeFile(t / "dest", "x"); },
         DestOutcome::kNotDirectory, nullptr},
        {"staged: a file at DEST", true, [](const velktest::TempDir& t) { writeFile(t / "dest", "x"); },
         DestOutcome::kNotDirectory, nullptr},
        {"staged: nothing of DEST changes", true,
         [](const velktest::TempDir& t) {
             fs::create_directories(t / "dest");
             writeFile(t / "dest/old", "o");
         },
         DestOutcome::kReady, "old"},
        {"in place: another run holds the lock", false,
         [](const velktest::TempDir& t) { writeFile(t / ".dest.velk-lock", ""); }, DestOutcome::kBusy, nullptr},
        {"staged: a FIFO at the lock's name", true,
         [](const velktest::TempDir& t) { mkfifo((t / ".dest.velk-lock").c_str(), 0600); },
         DestOutcome::kLockRefused, nullptr},
    };
    for (const Case& c : cases) {
        velktest::TempDir tmp;
        c.arrange(tmp);
        const CUniqueFd holder(std::string(c.what).find("holds the lock") != std::string::npos
                                   ? velktest::holdWriteLock(tmp / ".dest.velk-lock")
                                   : -1);
        const auto dest = destination(c.staged, tmp / "dest");
        DestOutcome got = DestOutcome::kUnusable;
        quietly([&] {
            ASSERT_EQ(dest->resolve(), DestOutcome::kReady);
            got = dest->prepare("version");
        });
        EXPECT_EQ(got, c.expected) << c.what;
        if (c.destAfter != nullptr) {
            EXPECT_EQ(names(tmp / "dest"), c.destAfter) << c.what;
        }
        EXPECT_TRUE(!fs::exists(tmp / "outside") || fs::exists(tmp / "outside/kept")) << c.what;
    }
}

// A whole install of each kind: a file made through fd(), committed with its version.
TEST(Destination, CommitMakesTheTreeDEST) {
    for (const bool staged : {false, true}) {
        velktest::TempDir tmp;
        fs::create_directories(tmp / "dest");
        writeFile(tmp / "dest/old", "o");
        writeFile(tmp / "version", "1");
        const auto dest = destination(staged, tmp / "dest");
        CVersionFile version;
        CommitOutcome got = CommitOutcome::kNotSwapped;
        quietly([&] {
            ASSERT_EQ(dest->resolve(), DestOutcome::kReady);
            ASSERT_EQ(version.prepare(tmp / "version", dest->path()), VersionOutcome::kDone);
            ASSERT_EQ(dest->prepare(version.belowDest()), DestOutcome::kReady);
            const CUniqueFd made(openat(dest->fd(), "new", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
            got = dest->commit(version, "2");
        });
        EXPECT_EQ(got, CommitOutcome::kCommitted) << staged;
        EXPECT_EQ(names(tmp / "dest"), "new") << staged;
        EXPECT_EQ(readFile(tmp / "version"), "2") << staged;
        EXPECT_EQ(velktest::namesWith(tmp.path(), "velk-staging"), "") << staged;
    }
}

// What stops a commit leaves the version file, and (staged) DEST, as they were.
TEST(Destination, CommitFailuresLeaveTheVersionAsItWas) {
    struct Case {
        const char* what;
        bool staged;
        std::string versionPath;  // below the TempDir, or absolute
        std::function<void(const velktest::TempDir&)> beforeCommit;
        CommitOutcome expected;
    } cases[] = {
        {"in place: the lock file removed", false, "version",
         [](const velktest::TempDir& t) { unlink((t / ".dest.velk-lock").c_str()); }, CommitOutcome::kLockLost},
        {"staged: the lock file replaced", true, "version",
         [](const velktest::TempDir& t) {
             unlink((t / ".dest.velk-lock").c_str());
             writeFile(t / ".dest.velk-lock", "");
         },
         CommitOutcome::kLockLost},
        {"in place: the version's device is full", false, "/dev/full", nullptr, CommitOutcome::kVersionNotWritten},
        {"staged: the version's device is full, the swap undone", true, "/dev/full", nullptr,
         CommitOutcome::kVersionNotWritten},
    };
    for (const Case& c : cases) {
        velktest::TempDir tmp;
        fs::create_directories(tmp / "dest");
        writeFile(tmp / "dest/old", "o");
        writeFile(tmp / "version", "1");
        const std::string versionPath = c.versionPath[0] == '/' ? c.versionPath : tmp / c.versionPath;
        const auto dest = destination(c.staged, tmp / "dest");
        CVersionFile version;
        CommitOutcome got = CommitOutcome::kCommitted;
        quietly([&] {
            ASSERT_EQ(dest->resolve(), DestOutcome::kReady);
            ASSERT_EQ(version.prepare(versionPath, dest->path()), VersionOutcome::kDone);
            ASSERT_EQ(dest->prepare(version.belowDest()), DestOutcome::kReady);
            if (c.beforeCommit) c.beforeCommit(tmp);
            got = dest->commit(version, "2");
            dest->discard();
        });
        EXPECT_EQ(got, c.expected) << c.what;
        EXPECT_EQ(readFile(tmp / "version"), "1") << c.what;
        if (c.staged) {
            EXPECT_EQ(names(tmp / "dest"), "old") << c.what;
        }
        EXPECT_EQ(velktest::namesWith(tmp.path(), "velk-new"), "") << c.what;
        EXPECT_EQ(velktest::namesWith(tmp.path(), "velk-staging"), "") << c.what;
    }
}

}  // namespace
}  // namespace velk
