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
    static unsigned modeOf(const std::string& path) { return unsigned(fs::symlink_status(path).permissions()); }
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

// Links are removed, never followed: the tree outside stays as it was. Children go first.
TEST_F(FileUtil, RemoveDirKeepsOutside) {
    const std::string root = tmp / "root", outside = tmp / "outside", q = velktest::quote(outside);
    velktest::shell("mkdir -p " + velktest::quote(root) + "/d/e " + q + "/keep && echo 4 > " + q + "/keep/k && cd " +
                    velktest::quote(root) + " && touch f d/g d/e/h && ln -s " + q + " d/out && ln -s nowhere dead");
    const std::string outsideBefore = velktest::describeTree(outside);
    const std::string out = printed([&] { EXPECT_EQ(removeDir(root, false), 0); });
    EXPECT_TRUE(isDirectory(root) && fs::is_empty(root) && velktest::describeTree(outside) == outsideBefore);
    auto at = [&](const std::string& name) { return out.find("ready to del " + root + "/" + name + "\n"); };
    for (const char* name : {"f", "d", "d/e", "d/g", "d/e/h", "d/out", "dead"}) EXPECT_NE(at(name), out.npos) << name;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 7);
    EXPECT_TRUE(at("d/e/h") < at("d/e") && at("d/e") < at("d") && at("d/out") < at("d")) << out;
    EXPECT_TRUE(removeDir(root, true) == 0 && !fs::exists(root));
    EXPECT_EQ(printed([&] { EXPECT_EQ(removeDirContents(outside + "/keep/k"), -1); }),
              "opendir " + outside + "/keep/k failed(20,Not a directory)\n");
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
        ASSERT_EQ(openFile64(tmp / "in", true, false, false, int64_t(c.offset), SEEK_SET, &fd, nullptr, nullptr), 0);
        std::string got;
        std::vector<size_t> lengths;
        auto keep = [&](const char* p, int n) { return got.append(p, n), lengths.push_back(n), c.answer(n); };
        const std::string out = printed([&] { EXPECT_EQ(readFile64(fd, c.chunk, keep, c.maxLength), c.result); });
        EXPECT_EQ(lengths, velktest::fixedSlices(c.delivered, size_t(c.chunk))) << c.fileSize << "/" << c.chunk;
        EXPECT_TRUE(close(fd) == 0 && got == data.substr(c.offset, c.delivered) && out == c.printed) << out;
    }
    auto bad = [](const char*, int) { return -9; };  // any delivery would fail the call
    ASSERT_EQ(openFile(tmp / "in", false, true, 0, 0, &fd), 0);  // write-only: reading fails
    ASSERT_TRUE(pipe(ends) == 0 && write(ends[1], "abc", 3) == 3 && fcntl(ends[1], F_SETFL, O_NONBLOCK) == 0);
    EXPECT_EQ(std::tuple(readFile64(fd, 9, bad, 0), readFile64(fd, 0, bad, 0), readFile64(-1, 9, bad, 0),
                         readFile64(fd, 9, nullptr, 0), readFile64(ends[0], 9, bad, 0)), std::tuple(-2, -1, -1, -1, 0));
    EXPECT_EQ(printed([&] { EXPECT_EQ(writeAll(std::string(65536, 'x').data(), 65536, ends[1]), -2); }),  // 65533 fit
              "write failed(11,Resource temporarily unavailable)\n");
    for (int open : {ends[0], ends[1], fd}) close(open);
}

TEST_F(FileUtil, OpenAndWrite) {
    const std::string path = tmp / "a/b/c", fifo = tmp / "fifo", big = velktest::seededBytes(3 * 65536 + 5, 3);
    EXPECT_EQ(std::tuple(openFile64(path, true, false, false, 0, 0, &fd, nullptr, nullptr),
                         openFile(path, false, false, 0, 0, &fd), fs::exists(tmp / "a")), std::tuple(-3, -1, false));
    EXPECT_TRUE(writeFile(big, path) == 0 && velktest::readFile(path) == big);
    EXPECT_TRUE(writeFile("0123456789", 10, path) == 0 && writeFile("", 0, path) == -4);  // an empty buffer: no write
    EXPECT_EQ(std::tuple(velktest::readFile(path), modeOf(tmp / "a"), modeOf(tmp / "a/b"), modeOf(path)),
              std::tuple("0123456789", 0755u, 0755u, 0600u));  // the longer old content was cut
    EXPECT_EQ(std::tuple(writeFile(nullptr, 1, path), writeFile("x", -1, path), writeAll(nullptr, 3, 1),
                         writeAll("abc", 0, 1), writeAll("abc", 3, -1)), std::tuple(-1, -1, -1, -1, -1));
    EXPECT_EQ(printed([&] { EXPECT_EQ(writeFile("x", 1, path + "/f"), -3); }), "locate file " + path + "/f error -3\n");
    int64_t at = -1, size = -1;
    ASSERT_EQ(openFile64(path, true, false, false, 4, SEEK_CUR, &fd, &at, &size), 0);  // from where it was opened
    EXPECT_TRUE(at == 4 && size == 10 && lseek64(fd, 0, SEEK_CUR) == 4 && close(fd) == 0);
    ASSERT_EQ(openFile64(path, true, false, false, 5LL << 30, SEEK_SET, &fd, &at, nullptr), 0);  // past 4 GiB
    EXPECT_TRUE(at == 5LL << 30 && lseek64(fd, 0, SEEK_CUR) == 5LL << 30 && close(fd) == 0);
    EXPECT_TRUE(openFile64(path, false, true, true, 0, 0, &fd, &at, &size) == 0 && !close(fd) && fs::is_empty(path));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // opened read-write, it cannot seek
    EXPECT_EQ(std::tuple(openFile(path, true, false, -1, 0, &fd),
                         openFile64(fifo, true, true, false, 0, 0, &fd, &at, &size),
                         openFile64(path, true, false, false, -1, 0, &fd, &at, &size),
                         openFile64(path, true, false, false, -1, 0, &fd, &at, nullptr)), std::tuple(-4, -4, -5, -6));
}

}  // namespace
