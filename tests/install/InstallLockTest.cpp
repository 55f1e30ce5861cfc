// CInstallLock through its typed outcomes, on real folders: held, busy while another open file
// description holds it, refused where another user could hold it or where no file is at its
// name, and lost once its name is removed or replaced.

#include "install/InstallLock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "fs/UniqueFd.h"
#include "tests/support/TestSupport.h"

namespace velk {
namespace {

const char* kLockName = ".dest.velk-lock";

struct LockScene {
    velktest::TempDir tmp;
    CUniqueFd parent{open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    std::string lockPath() const { return tmp / kLockName; }
};

LockOutcome takeQuietly(CInstallLock& lock, const LockScene& scene) {
    testing::internal::CaptureStdout();
    const LockOutcome outcome = lock.take(scene.parent.get(), "dest", "dest", scene.tmp.path());
    testing::internal::GetCapturedStdout();
    return outcome;
}

TEST(InstallLock, TakeGivesEachOutcome) {
    struct Case {
        const char* what;
        std::function<void(const LockScene&)> arrange;
        LockOutcome expected;
    } cases[] = {
        {"nothing there: made and held", [](const LockScene&) {}, LockOutcome::kHeld},
        {"a lock file left by an earlier run", [](const LockScene& s) { velktest::writeFile(s.lockPath(), ""); },
         LockOutcome::kHeld},
        {"anyone may write it",
         [](const LockScene& s) {
             velktest::writeFile(s.lockPath(), "");
             chmod(s.lockPath().c_str(), 0666);
         },
         LockOutcome::kRefused},
        {"a FIFO at its name", [](const LockScene& s) { mkfifo(s.lockPath().c_str(), 0600); }, LockOutcome::kRefused},
        {"a link at its name",
         [](const LockScene& s) { symlink((s.tmp / "elsewhere").c_str(), s.lockPath().c_str()); },
         LockOutcome::kRefused},
        {"a folder at its name", [](const LockScene& s) { mkdir(s.lockPath().c_str(), 0700); }, LockOutcome::kRefused},
    };
    for (const Case& c : cases) {
        LockScene scene;
        c.arrange(scene);
        CInstallLock lock;
        EXPECT_EQ(takeQuietly(lock, scene), c.expected) << c.what;
        EXPECT_FALSE(velktest::exists(scene.tmp / "elsewhere")) << c.what;
    }
}

TEST(InstallLock, BusyWhileAnotherRunHoldsIt) {
    LockScene scene;
    CInstallLock first, second;
    ASSERT_EQ(takeQuietly(first, scene), LockOutcome::kHeld);
    EXPECT_EQ(takeQuietly(second, scene), LockOutcome::kBusy);
    const CUniqueFd other(velktest::holdWriteLock(scene.lockPath()));
    EXPECT_LT(other.get(), 0);  // a third opener cannot take it either
}

TEST(InstallLock, CheckTellsALockFileRemovedOrReplaced) {
    for (const bool replace : {false, true}) {
        LockScene scene;
        CInstallLock lock;
        ASSERT_EQ(takeQuietly(lock, scene), LockOutcome::kHeld);
        EXPECT_EQ(lock.check(), LockOutcome::kHeld);
        ASSERT_EQ(unlink(scene.lockPath().c_str()), 0);
        if (replace) velktest::writeFile(scene.lockPath(), "");
        testing::internal::CaptureStdout();
        EXPECT_EQ(lock.check(), LockOutcome::kLost) << replace;
        EXPECT_NE(testing::internal::GetCapturedStdout().find("the lock file was removed or replaced while it was held"),
                  std::string::npos);
    }
}

}  // namespace
}  // namespace velk
