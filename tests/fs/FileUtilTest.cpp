#include "fs/FileUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <tuple>

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

std::string printed(const std::function<void()>& run) {
    return testing::internal::CaptureStdout(), run(), fflush(stdout), testing::internal::GetCapturedStdout();
}

// Each test runs under umask 022 and must leave as many descriptors open as it found.
class FileUtil : public testing::Test {
protected:
    static int openFds() { return int(std::distance(fs::directory_iterator("/proc/self/fd"), {})); }
    void TearDown() override { umask(oldMask); EXPECT_EQ(openFds(), openBefore); }
    mode_t oldMask = umask(022);
    int openBefore = openFds(), fd = -1, ends[2] = {-1, -1};
    velktest::TempDir tmp;
};

TEST_F(FileUtil, ParentDirMakeDirsIsDirectory) {
    for (const auto& [path, parent] : std::vector<std::pair<std::string, std::string>>{{"", "."}, {"/", "/"},
         {"\\", "/"}, {"a/b/c", "a/b"}, {"a\\b\\c", "a\\b"}, {"a/b/", "a/b"}, {"file", "."}, {"/file", "/"}})
        EXPECT_EQ(parentDir(path), parent) << path;
    velktest::writeFile(tmp / "file", "x");
    fs::create_directory_symlink(tmp.path(), tmp / "link");
    EXPECT_TRUE(makeDirs(tmp / "a/b") && makeDirs(tmp / "a/b") && makeDirs(tmp / "file"));  // existing names count
    EXPECT_FALSE(makeDirs("") || makeDirs(tmp / std::string("n\0ul", 4)) || fs::exists(tmp / "n"));
    EXPECT_EQ(printed([&] { EXPECT_FALSE(makeDirs(tmp / "file/sub/deeper")); }),
              "mkdir " + tmp.path() + "/file/sub/ failed(20,Not a directory)\n");
    EXPECT_EQ(std::tuple(isDirectory(tmp / "a/b"), isDirectory(tmp / "link"), isDirectory(tmp / "file"),
                         isDirectory(tmp / "missing"), isDirectory("")), std::tuple(true, true, false, false, false));
}

TEST_F(FileUtil, ReadFile64) {
    struct Case { size_t fileSize, offset; int chunk; int64_t maxLength; size_t delivered; int result = 0;
                  std::function<int(int)> answer = [](int n) { return n; }; std::string printed = ""; };
    const Case cases[] = {
        {0, 0, 1000, -1, 0}, {3000, 0, 1000, -1, 3000}, {204800 + 777, 0, 102400, -1, 204800 + 777},
        {5000, 0, 1000, 0, 5000}, {300000, 0, 100000, 150000, 150000},  // the limit holds past the first buffer
        {100000, 100, 1000, -1, 99900, 0, [](int n) { return 3 * n; }},  // claiming more takes nothing twice
        {2500, 0, 1000, -1, 1000, 0, [](int) { return 10; }},  // took less than offered: stop with success
        {2500, 0, 1000, -1, 1000, -3, [](int) { return -3; }, "readFile64 funcOnOutput error -3\n"},
        {2500, 0, 1000, -1, 2500, -4, [](int n) { return n < 1000 ? -4 : n; }},
    };
    for (const Case& c : cases) {
        const std::string data = velktest::seededBytes(c.fileSize, c.fileSize);
        velktest::writeFile(tmp / "in", data);
        fd = open((tmp / "in").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_TRUE(fd >= 0 && lseek(fd, off_t(c.offset), SEEK_SET) == off_t(c.offset));
        std::string got;
        std::vector<size_t> lengths;
        auto keep = [&](const char* p, int n) { return got.append(p, n), lengths.push_back(n), c.answer(n); };
        const std::string out = printed([&] { EXPECT_EQ(readFile64(fd, c.chunk, keep, c.maxLength), c.result); });
        EXPECT_EQ(lengths, velktest::fixedSlices(c.delivered, size_t(c.chunk))) << c.fileSize << "/" << c.chunk;
        EXPECT_TRUE(close(fd) == 0 && got == data.substr(c.offset, c.delivered) && out == c.printed) << out;
    }
    auto bad = [](const char*, int) { return -9; };  // any delivery would fail the call
    fd = open((tmp / "in").c_str(), O_WRONLY | O_CLOEXEC);  // write-only: reading fails
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(pipe(ends) == 0 && write(ends[1], "abc", 3) == 3 && fcntl(ends[1], F_SETFL, O_NONBLOCK) == 0);
    EXPECT_EQ(std::tuple(readFile64(fd, 9, bad, 0), readFile64(fd, 0, bad, 0), readFile64(-1, 9, bad, 0),
                         readFile64(fd, 9, nullptr, 0), readFile64(ends[0], 9, bad, 0)), std::tuple(-2, -1, -1, -1, 0));
    EXPECT_EQ(printed([&] { EXPECT_EQ(writeAll(std::string(65536, 'x').data(), 65536, ends[1]), -2); }),  // 65533 fit
              "write failed(11,Resource temporarily unavailable)\n");
    for (int open : {ends[0], ends[1], fd}) close(open);
}

}  // namespace
