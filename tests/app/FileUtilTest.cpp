#include "app/FileUtil.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace {

using velktest::TempDir;

std::string captureStdout(const std::function<void()>& run) {
    testing::internal::CaptureStdout();
    run();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

int openFdCount() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

// Every test runs under umask 022 and must leave as many descriptors open as it found:
// each failure path below closes what it opened.
class FileUtil : public testing::Test {
protected:
    void SetUp() override {
        oldMask = umask(022);
        openBefore = openFdCount();
    }
    void TearDown() override {
        umask(oldMask);
        EXPECT_EQ(openFdCount(), openBefore);
    }
    mode_t oldMask = 0;
    int openBefore = 0;
    TempDir tmp;
};

TEST_F(FileUtil, ParentDir) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "."},     {"/", "/"},         {"\\", "/"},       {"a/b/c", "a/b"}, {"a\\b\\c", "a\\b"}, {"a/b/", "a/b"},
        {"file", "."}, {"/file", "/"},     {"\\file", "/"},   {"//", "/"},      {"a/b\\c", "a/b"},   {"/a/b", "/a"}};
    for (const auto& [path, parent] : cases) EXPECT_EQ(parentDir(path), parent) << path;
}

TEST_F(FileUtil, MakeDirsAndIsDirectory) {
    velktest::writeFile(tmp / "file", "x");
    ASSERT_EQ(symlink(tmp.path().c_str(), (tmp / "link").c_str()), 0);
    EXPECT_TRUE(makeDirs(tmp / "a/b/c"));  // absolute: the first prefix is "/"
    EXPECT_EQ(modeOf(tmp / "a"), 0755u);
    EXPECT_EQ(modeOf(tmp / "a/b/c"), 0755u);
    EXPECT_TRUE(makeDirs(tmp / "a/b/c"));
    EXPECT_TRUE(makeDirs(tmp / "t/"));
    EXPECT_TRUE(makeDirs(tmp / "file"));  // an existing name counts as made
    EXPECT_EQ(velktest::readFile(tmp / "file"), "x");
    EXPECT_FALSE(makeDirs(""));
    EXPECT_FALSE(makeDirs(tmp / std::string("n\0ul", 4)));
    EXPECT_FALSE(velktest::exists(tmp / "n"));
    const std::string out = captureStdout([&] { EXPECT_FALSE(makeDirs(tmp / "file/sub/deeper")); });
    EXPECT_EQ(out, "mkdir " + tmp.path() + "/file/sub/ failed(20,Not a directory)\n");

    for (const auto& [path, isDir] : std::vector<std::pair<std::string, bool>>{
             {tmp / "a/b/c", true}, {tmp / "t", true}, {tmp / "link", true}, {tmp / "file", false},
             {tmp / "missing", false}, {"", false}})
        EXPECT_EQ(isDirectory(path), isDir) << path;
}

TEST_F(FileUtil, RemoveDirKeepsOutsideAndDeletesChildrenFirst) {
    const std::string root = tmp / "root", outside = velktest::quote(tmp / "outside");
    velktest::shell("mkdir -p " + velktest::quote(root) + "/d/e " + outside + "/keep && echo 4 > " + outside +
                    "/keep/k && cd " + velktest::quote(root) + " && echo 1 > f && echo 2 > d/g && echo 3 > d/e/h && " +
                    "ln -s " + outside + " d/out && ln -s nowhere dangling");
    const std::string outsideBefore = velktest::describeTree(tmp / "outside");

    const std::string out = captureStdout([&] { EXPECT_EQ(removeDir(root, false), 0); });
    EXPECT_EQ(velktest::describeTree(root), "");
    EXPECT_TRUE(isDirectory(root));
    EXPECT_EQ(velktest::describeTree(tmp / "outside"), outsideBefore);
    const std::vector<std::string> entries = {"f", "d", "d/e", "d/g", "d/e/h", "d/out", "dangling"};
    auto at = [&](const std::string& name) { return out.find("ready to del " + root + "/" + name + "\n"); };
    for (const auto& name : entries) EXPECT_NE(at(name), std::string::npos) << name << "\n" << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), static_cast<long>(entries.size()));
    EXPECT_LT(at("d/e/h"), at("d/e"));
    EXPECT_LT(at("d/e"), at("d"));
    EXPECT_LT(at("d/out"), at("d"));

    velktest::writeFile(root + "/again", "x");
    captureStdout([&] { EXPECT_EQ(removeDir(root, true), 0); });
    EXPECT_FALSE(velktest::exists(root));
    EXPECT_EQ(removeDir(root, true), -1);
    EXPECT_EQ(removeDirContents(tmp / "outside/keep/k"), -1);  // a file is no directory
}

TEST_F(FileUtil, ReadFile64Chunks) {
    struct Case {
        size_t fileSize;
        int chunkSize;
        int64_t maxLength;
        std::vector<int> lengths;  // of the deliveries, in order
    };
    const std::vector<Case> cases = {
        {0, 1000, -1, {}},
        {3000, 1000, -1, {1000, 1000, 1000}},
        {2 * 102400 + 777, 102400, -1, {102400, 102400, 777}},
        {1, 7, -1, {1}},
        {70000, 131072, -1, {70000}},
        {10000, 1000, 2500, {1000, 1000, 500}},
        {300000, 100000, 150000, {100000, 50000}},  // the limit holds past the first buffer
        {5000, 1000, 0, {1000, 1000, 1000, 1000, 1000}},
    };
    for (const auto& c : cases) {
        const std::string data = velktest::seededBytes(c.fileSize, c.fileSize);
        velktest::writeFile(tmp / "in", data);
        std::string got;
        std::vector<int> lengths;
        const int fd = open((tmp / "in").c_str(), O_RDONLY);
        auto keep = [&](const char* p, int n) { return got.append(p, n), lengths.push_back(n), n; };
        EXPECT_EQ(readFile64(fd, c.chunkSize, keep, c.maxLength), 0);
        close(fd);
        EXPECT_EQ(lengths, c.lengths) << c.fileSize << "/" << c.chunkSize;
        EXPECT_EQ(got, data.substr(0, got.size()));
    }
    // From offset 100 in chunks of 1000 through a 65536-byte buffer: the rest moves to the front.
    const std::string data = velktest::seededBytes(100000, 9);
    velktest::writeFile(tmp / "in", data);
    const int fd = open((tmp / "in").c_str(), O_RDONLY);
    ASSERT_EQ(lseek(fd, 100, SEEK_SET), 100);
    std::string got;
    EXPECT_EQ(readFile64(fd, 1000, [&](const char* p, int n) { return got.append(p, n), n * 3; }, -1), 0);
    close(fd);
    EXPECT_EQ(got, data.substr(100));  // a callback claiming too much still gets every byte once
}

TEST_F(FileUtil, ReadFile64CallbackResultsAndBadDescriptors) {
    velktest::writeFile(tmp / "in", velktest::seededBytes(2500, 1));
    struct Case {
        int firstResult, lastResult, expected, calls;
        std::string message;
    };
    for (const auto& c : std::vector<Case>{{10, 0, 0, 1, ""},  // took less than offered: stop, success
                                           {-3, 0, -3, 1, "readFile64 funcOnOutput error -3\n"},
                                           {1000, -4, -4, 3, ""}}) {
        const int fd = open((tmp / "in").c_str(), O_RDONLY);
        int calls = 0;
        auto answer = [&](const char*, int n) { return ++calls == 1 ? c.firstResult : n < 1000 ? c.lastResult : n; };
        const std::string out = captureStdout([&] { EXPECT_EQ(readFile64(fd, 1000, answer, -1), c.expected); });
        close(fd);
        EXPECT_EQ(calls, c.calls);
        EXPECT_EQ(out, c.message);
    }
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    ASSERT_EQ(write(pipeFds[1], "abc", 3), 3);
    int calls = 0;
    auto count = [&](const char*, int n) { return ++calls, n; };
    EXPECT_EQ(readFile64(pipeFds[0], 1000, count, -1), 0);  // cannot seek: nothing to read
    EXPECT_EQ(calls, 0);
    close(pipeFds[0]);
    close(pipeFds[1]);
    const int writeOnly = open((tmp / "in").c_str(), O_WRONLY);
    EXPECT_EQ(readFile64(writeOnly, 1000, count, -1), -2);
    EXPECT_EQ(readFile64(writeOnly, 0, count, -1), -1);
    EXPECT_EQ(readFile64(-1, 1000, count, -1), -1);
    EXPECT_EQ(readFile64(writeOnly, 1000, nullptr, -1), -1);
    close(writeOnly);
}

TEST_F(FileUtil, WriteFile) {
    const std::string path = tmp / "new/dirs/v";
    EXPECT_EQ(writeFile(velktest::seededBytes(100, 2), path), 0);
    EXPECT_EQ(writeFile("0123456789", 10, path), 0);
    EXPECT_EQ(velktest::readFile(path), "0123456789");  // the longer old content is cut
    EXPECT_EQ(writeFile("", 0, path), -4);
    EXPECT_EQ(velktest::readFile(path), "0123456789");
    EXPECT_EQ(writeFile(std::string(), tmp / "empty"), -4);
    EXPECT_EQ(velktest::readFile(tmp / "empty"), "");
    const std::string big = velktest::seededBytes(3 * 65536 + 5, 3);
    EXPECT_EQ(writeFile(big, path), 0);
    EXPECT_EQ(velktest::readFile(path), big);

    EXPECT_EQ(writeFile(nullptr, 1, path), -1);
    EXPECT_EQ(writeFile("x", -1, path), -1);
    captureStdout([&] { EXPECT_EQ(writeFile("x", 1, path + "/sub/f"), -2); });
    const std::string out = captureStdout([&] { EXPECT_EQ(writeFile("x", 1, path + "/f"), -3); });
    EXPECT_EQ(out, "locate file " + path + "/f error -3\n");
}

TEST_F(FileUtil, OpenFile64CreatesAndPositions) {
    const std::string path = tmp / "a/b/c";
    int fd = -1;
    EXPECT_EQ(openFile64(path, true, false, false, 0, SEEK_SET, &fd, nullptr, nullptr), -3);
    EXPECT_FALSE(velktest::exists(tmp / "a"));
    EXPECT_EQ(openFile64(path, false, false, false, 0, SEEK_SET, &fd, nullptr, nullptr), -1);
    ASSERT_EQ(openFile64(path, false, true, false, 0, SEEK_SET, &fd, nullptr, nullptr), 0);
    EXPECT_EQ(writeAll("0123456789", 10, fd), 10);
    close(fd);
    EXPECT_EQ(modeOf(tmp / "a"), 0755u);
    EXPECT_EQ(modeOf(tmp / "a/b"), 0755u);
    EXPECT_EQ(modeOf(path), 0600u);

    struct Case {
        int64_t offset;
        int whence;
        bool wantSize;
        int result;
        int64_t position;
    };
    const int64_t far = int64_t{5} << 30;  // past 4 GiB
    for (const auto& c : std::vector<Case>{{0, SEEK_SET, true, 0, 0}, {0, SEEK_END, true, 0, 10},
                                           {-3, SEEK_END, true, 0, 7}, {4, SEEK_CUR, true, 0, 4},
                                           {4, SEEK_CUR, false, 0, 4}, {0, SEEK_SET, false, 0, 0},
                                           {-1, SEEK_SET, true, -5, 0}, {-1, SEEK_SET, false, -6, 0},
                                           {far, SEEK_SET, false, 0, far}}) {
        int64_t position = -1, size = -1;
        fd = -1;
        EXPECT_EQ(openFile64(path, true, false, false, c.offset, c.whence, &fd, &position, c.wantSize ? &size : nullptr),
                  c.result)
            << c.offset << "/" << c.whence;
        if (c.result != 0) continue;
        EXPECT_EQ(position, c.position);
        EXPECT_EQ(lseek64(fd, 0, SEEK_CUR), c.position);
        EXPECT_EQ(size, c.wantSize ? 10 : -1);
        close(fd);
    }
    ASSERT_EQ(openFile64(path, true, false, true, 0, SEEK_SET, &fd, nullptr, nullptr), 0);
    close(fd);
    EXPECT_EQ(velktest::readFile(path), "0123456789");  // truncation needs writing
    ASSERT_EQ(openFile64(path, false, true, true, 0, SEEK_SET, &fd, nullptr, nullptr), 0);
    close(fd);
    EXPECT_EQ(velktest::readFile(path), "");

    ASSERT_EQ(mkfifo((tmp / "fifo").c_str(), 0600), 0);  // opened read-write it cannot seek
    int64_t size = 0;
    EXPECT_EQ(openFile64(tmp / "fifo", true, true, false, 0, SEEK_SET, &fd, nullptr, &size), -4);
    EXPECT_EQ(openFile64(tmp / "fifo", true, true, false, 1, SEEK_SET, &fd, nullptr, nullptr), -6);
    EXPECT_EQ(openFile64(tmp / "fifo", true, true, false, 0, SEEK_SET, nullptr, nullptr, nullptr), -1);
}

TEST_F(FileUtil, OpenFileAndWriteAll) {
    int fd = -1;
    EXPECT_EQ(openFile(tmp / "x/y", true, false, 0, SEEK_SET, &fd), -3);
    EXPECT_EQ(openFile(tmp / "x/y", false, false, 0, SEEK_SET, &fd), -1);
    ASSERT_EQ(openFile(tmp / "x/y", true, true, 0, SEEK_SET, &fd), 0);
    const std::string big = velktest::seededBytes(65536 * 2 + 1, 4);
    EXPECT_EQ(writeAll(big.data(), static_cast<int>(big.size()), fd), static_cast<int>(big.size()));
    close(fd);
    EXPECT_EQ(velktest::readFile(tmp / "x/y"), big);
    ASSERT_EQ(openFile(tmp / "x/y", true, false, -1, SEEK_END, &fd), 0);
    char last = 0;
    EXPECT_EQ(read(fd, &last, 1), 1);
    EXPECT_EQ(last, big.back());
    close(fd);
    EXPECT_EQ(openFile(tmp / "x/y", true, false, -1, SEEK_SET, &fd), -4);

    const int readOnly = open((tmp / "x/y").c_str(), O_RDONLY);
    EXPECT_EQ(writeAll("abc", 3, readOnly), -2);
    close(readOnly);
    EXPECT_EQ(writeAll(nullptr, 3, 1), -1);
    EXPECT_EQ(writeAll("abc", 0, 1), -1);
    EXPECT_EQ(writeAll("abc", -2, 1), -1);
    EXPECT_EQ(writeAll("abc", 3, -1), -1);
}

}  // namespace
