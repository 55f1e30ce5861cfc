#include "fs/FolderBelow.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include <gtest/gtest.h>

#include "fs/UniqueFd.h"
#include "tests/support/TestSupport.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

// The inode a descriptor names, to tell which folder was opened.
ino_t inodeOf(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? st.st_ino : 0;
}

ino_t inodeAt(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// A tree with a folder, a link to it, a link out of the tree and a file on the way: only the
// folder chain is opened, every other name fails with its own errno and nothing is followed.
TEST(FolderBelow, OpensOnlyRealFoldersBelow) {
    velktest::TempDir tmp;
    velktest::TempDir outside;
    fs::create_directories(tmp / "a/b");
    fs::create_directory_symlink("a", tmp / "toA");
    fs::create_directory_symlink(outside.path(), tmp / "a/out");
    velktest::writeFile(tmp / "a/file", "x");
    const CUniqueFd root(open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct Case {
        std::vector<std::string> names;
        int error;  // 0: opened
        std::string reached;
    };
    const Case cases[] = {
        {{}, 0, ""},
        {{"a"}, 0, "a"},
        {{"a", "b"}, 0, "a/b"},
        {{"toA"}, ELOOP, ""},
        {{"toA", "b"}, ELOOP, ""},
        {{"a", "out"}, ELOOP, ""},
        {{"a", "file"}, ENOTDIR, ""},
        {{"a", "file", "b"}, ENOTDIR, ""},
        {{"a", ".."}, EINVAL, ""},
        {{"a", "b", "..", ".."}, EINVAL, ""},
        {{"a", "missing"}, ENOENT, ""},
    };
    for (const Case& c : cases) {
        errno = 0;
        const CUniqueFd opened(openFolderBelow(root.get(), c.names));
        const std::string shown = testing::PrintToString(c.names);
        if (c.error != 0) {
            EXPECT_EQ(opened.get(), -1) << shown;
            EXPECT_EQ(errno, c.error) << shown;
            continue;
        }
        ASSERT_GE(opened.get(), 0) << shown;
        EXPECT_EQ(inodeOf(opened.get()), inodeAt(tmp / c.reached)) << shown;
    }
    EXPECT_TRUE(fs::is_empty(outside.path()));
}

// Missing folders are made with the mode asked (through the umask) and opened; an existing
// link on the way is still refused, and nothing is made beyond it.
TEST(FolderBelow, MakesMissingFoldersButNoneThroughALink) {
    velktest::TempDir tmp;
    velktest::TempDir outside;
    fs::create_directory_symlink(outside.path(), tmp / "link");
    const mode_t old = umask(022);
    const CUniqueFd root(open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const MissingFolders make{true, 0750, {}};
    const CUniqueFd made(openFolderBelow(root.get(), {"x", "y", "z"}, make));
    errno = 0;
    const CUniqueFd refused(openFolderBelow(root.get(), {"link", "y"}, make));
    const int refusal = errno;
    umask(old);
    ASSERT_GE(made.get(), 0);
    EXPECT_EQ(inodeOf(made.get()), inodeAt(tmp / "x/y/z"));
    EXPECT_EQ(fs::status(tmp / "x/y").permissions(), fs::perms(0750));
    EXPECT_EQ(refused.get(), -1);
    EXPECT_EQ(refusal, ELOOP);
    EXPECT_TRUE(fs::is_empty(outside.path()));
}

}  // namespace
}  // namespace velk
