#include "fs/FileUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using velk::isDirectory;
using velk::makeDirs;
using velk::parentDir;
using velk::readChunks;
using velk::writeAll;

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

// The same chunks from a file and from a pipe that a writer fills a few bytes at a time; a
// callback that takes less stops the reading with success; a refusal and a failed read are errors.
TEST_F(FileUtil, ReadChunksGathersShortReads) {
    const std::string data = velktest::seededBytes(10000 + 77, 4);
    velktest::writeFile(tmp / "in", data);
    ASSERT_EQ(pipe(ends), 0);
    std::thread writer([&] {
        for (size_t at = 0; at < data.size(); at += 7) (void)!write(ends[1], data.data() + at, std::min<size_t>(7, data.size() - at));
        close(ends[1]);
    });
    fd = open((tmp / "in").c_str(), O_RDONLY | O_CLOEXEC);
    for (const int input : {fd, ends[0]}) {
        std::string got;
        std::vector<size_t> lengths;
        auto keep = [&](const char* p, int n) { return got.append(p, size_t(n)), lengths.push_back(size_t(n)), n; };
        EXPECT_EQ(readChunks(input, 1000, keep), 0);
        EXPECT_EQ(lengths, velktest::fixedSlices(data.size(), 1000));
        EXPECT_EQ(got, data);
    }
    writer.join();
    ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
    int calls = 0;
    EXPECT_EQ(readChunks(fd, 1000, [&](const char*, int) { return ++calls, 10; }), 0);  // took less: stop
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(readChunks(fd, 1000, [](const char*, int) { return -3; }), -3);
    const int folder = open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    EXPECT_EQ(readChunks(folder, 1000, [](const char*, int n) { return n; }), -2);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(std::tuple(readChunks(-1, 9, nullptr), readChunks(fd, 0, nullptr)), std::tuple(-1, -1));
    for (int open : {ends[0], fd, folder}) close(open);
    ASSERT_TRUE(pipe(ends) == 0 && write(ends[1], "abc", 3) == 3 && fcntl(ends[1], F_SETFL, O_NONBLOCK) == 0);
    EXPECT_EQ(printed([&] { EXPECT_EQ(writeAll(std::string(65536, 'x').data(), 65536, ends[1]), -2); }),  // 65533 fit
              "write failed(11,Resource temporarily unavailable)\n");
    for (int open : {ends[0], ends[1]}) close(open);
}

}  // namespace
