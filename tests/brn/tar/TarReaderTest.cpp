#include "brn/tar/TarReader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/brn/tar/TarTestSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace tartest;
using velktest::exists;
using velktest::quote;
using velktest::readFile;
using velktest::shell;
using velktest::TempDir;

std::vector<std::vector<size_t>> slicings(size_t n) {
    using velktest::fixedSlices;
    return {{n},
            fixedSlices(n, 1),
            fixedSlices(n, 7),
            fixedSlices(n, 511),
            fixedSlices(n, 512),
            fixedSlices(n, 513),
            velktest::randomSlices(n, 4000, 11),
            velktest::randomSlices(n, 600, 12)};
}

// Extracts `archivePath` with GNU tar, extracts it with our reader in every slicing, and
// compares the trees; returns the entries our reader saw.
std::vector<brn::TAR_FILE_INFO_T> expectSameTreeAsTar(const TempDir& tmp, const std::string& archivePath) {
    shell("mkdir " + quote(tmp / "ref") + " && tar -xf " + quote(archivePath) + " -C " + quote(tmp / "ref"));
    const std::string expected = velktest::describeTree(tmp / "ref");
    const std::string archive = readFile(archivePath);
    Extraction run;
    int index = 0;
    for (const std::vector<size_t>& slices : slicings(archive.size())) {
        const std::string out = tmp / ("out" + std::to_string(index++));
        shell("mkdir " + quote(out));
        run = extract(archive, out, slices);
        std::vector<int> taken(slices.begin(), slices.end());
        EXPECT_EQ(run.results, taken) << slices.size() << " slices";
        EXPECT_EQ(run.finished, 0);
        EXPECT_EQ(velktest::describeTree(out), expected) << slices.size() << " slices";
    }
    return run.seen;
}

bool hasNameOfLength(const std::vector<brn::TAR_FILE_INFO_T>& seen, size_t length) {
    for (const brn::TAR_FILE_INFO_T& info : seen) {
        if (info.name.size() == length) return true;
    }
    return false;
}

TEST(TarReaderTest, GnuTarArchiveExtractsLikeTarInEverySlicing) {
    TempDir tmp;
    const std::string src = tmp / "src";
    shell("mkdir -p " + quote(src + "/a/b/c") + " " + quote(src + "/long"));
    velktest::writeFile(src + "/a/b/c/deep.txt", velktest::seededBytes(100, 1));
    velktest::writeFile(src + "/empty", "");
    velktest::writeFile(src + "/f512", velktest::seededBytes(512, 2));
    velktest::writeFile(src + "/f513", velktest::seededBytes(513, 3));
    velktest::writeFile(src + "/big", velktest::seededBytes(70000, 4));
    velktest::writeFile(src + "/long/" + std::string(93, 'n'), velktest::seededBytes(10, 5));  // "./long/n..." is 100
    shell("cd " + quote(src) + " && ln -s a/b/c/deep.txt rel && ln -s /nonexistent/target abs && ln -s a/b dirlink");
    shell("tar --format=ustar --sort=name --mtime=@0 --owner=0 --group=0 -cf " + quote(tmp / "gnu.tar") + " -C " +
          quote(src) + " .");
    EXPECT_TRUE(hasNameOfLength(expectSameTreeAsTar(tmp, tmp / "gnu.tar"), 100));
}

TEST(TarReaderTest, PythonArchiveExtractsLikeTarInEverySlicing) {
    TempDir tmp;
    shell(velktest::python() + " " + quote(velktest::scriptDir() + "/tar_python_archive.py") + " tree " +
          quote(tmp / "py.tar"));
    EXPECT_TRUE(hasNameOfLength(expectSameTreeAsTar(tmp, tmp / "py.tar"), 100));
}

TEST(TarReaderTest, BackslashesInNamesBecomeDirectoriesButStayInLinkTargets) {
    TempDir tmp;
    shell(velktest::python() + " " + quote(velktest::scriptDir() + "/tar_python_archive.py") + " backslash " +
          quote(tmp / "bs.tar"));
    shell("mkdir -p " + quote(tmp / "out") + " " + quote(tmp / "ref/dir/sub") + " && ln -s 'a\\b' " +
          quote(tmp / "ref/lnk"));
    velktest::writeFile(tmp / "ref/dir/sub/file.txt", "backslash name\n");
    const Extraction run = extract(readFile(tmp / "bs.tar"), tmp / "out");
    EXPECT_EQ(run.finished, 0);
    ASSERT_EQ(run.seen.size(), 2u);
    EXPECT_EQ(run.seen[0].name, "dir/sub/file.txt");
    EXPECT_EQ(run.seen[1].linkname, "a\\b");
    EXPECT_EQ(velktest::describeTree(tmp / "out"), velktest::describeTree(tmp / "ref"));
}

struct FailureRow {
    const char* label;
    std::string hostile;  // placed between a good entry and one that must never be made
    std::string message;
    bool calledBack;      // the entry callback saw the hostile entry
    size_t failsAfter;    // bytes of `hostile` up to the end of the failing block
};

TEST(TarReaderTest, HostileHeadersFailTheStreamAndKeepEarlierEntries) {
    const std::string base256 = std::string("\x80", 1) + std::string(10, '\0') + "\x05";
    const std::string dotDot = ": refusing a '..' path component\n";
    const std::vector<FailureRow> rows = {
        {"hard link", header("hl", '1', 0, "ok.txt"), "unsupported link flag '1'\n", false, 512},
        {"long name", header("././@LongLink", 'L', 10), "unsupported link flag 'L'\n", false, 512},
        {"pax header", header("pax", 'x', 0), "unsupported link flag 'x'\n", false, 512},
        {"fifo", header("fifo", '6', 0), "unsupported file type 4096\n", true, 512},
        {"char device", header("chr", '3', 0), "unsupported file type 8192\n", true, 512},
        {"block device", header("blk", '4', 0), "unsupported file type 24576\n", true, 512},
        {"empty link target", header("l", '2', 0, ""), "", false, 512},
        {"no magic, empty name", patched(zeroBlocks(1), 300, "x"), "", false, 512},
        {"leading ..", header("../x", '0', 0), "tar: ../x" + dotDot, false, 512},
        {"inner ..", header("a/../../x", '5', 0), "tar: a/../../x" + dotDot, false, 512},
        {"backslash ..", header("a\\..\\..\\x", '0', 0), "tar: a/../../x" + dotDot, false, 512},
        {"base-256 size", patched(header("big", '0', 0), 124, base256),
         "tar: big: size field in base-256 form is not supported\n", false, 512},
        {"size above 32 bits", patched(header("huge", '0', 0), 124, "40000000000"),
         "tar: huge: size above 4294967295 bytes is not supported\n", false, 512},
        {"block after end marker", zeroBlocks(2) + header("late", '0', 0), "", false, 1536},
    };
    for (const FailureRow& row : rows) {
        SCOPED_TRACE(row.label);
        const std::string archive = file("ok.txt", "hello") + row.hostile + file("after.txt", "x") + zeroBlocks(2);
        for (bool byteByByte : {false, true}) {
            TempDir tmp;
            shell("mkdir " + quote(tmp / "dest"));
            const std::vector<size_t> slices = byteByByte ? velktest::fixedSlices(archive.size(), 1)
                                                          : std::vector<size_t>{archive.size() - 512, 512};
            const Extraction run = extract(archive, tmp / "dest", slices);
            const size_t failing = byteByByte ? 1024 + row.failsAfter - 1 : 0;
            ASSERT_EQ(run.results.size(), slices.size());
            for (size_t i = 0; i < run.results.size(); ++i) {
                const int expected = i < failing ? 1 : i > failing ? -2 : byteByByte ? -4 : -5;
                ASSERT_EQ(run.results[i], expected) << "call " << i;
            }
            EXPECT_EQ(run.finished, -1);
            EXPECT_EQ(run.printed, row.message);
            EXPECT_EQ(run.seen.size(), row.calledBack ? 2u : 1u);
            EXPECT_EQ(readFile(tmp / "dest/ok.txt"), "hello");
            EXPECT_FALSE(exists(tmp / "dest/after.txt"));
            EXPECT_FALSE(exists(tmp / "x"));
        }
    }
}

struct AcceptedRow {
    const char* label;
    std::string entry;     // blocks of one entry, followed by next.txt
    std::string path;      // what it made, below the output directory
    std::string expected;  // "dir", "link:<target>" or the file's content
};

TEST(TarReaderTest, UnusualButValidHeadersAreAccepted) {
    const std::vector<AcceptedRow> rows = {
        {"magic in capitals", patched(header("up", '0', 0), 257, "USTAR"), "up", ""},
        {"no magic, a name", patched(header("nm", '0', 3), 257, std::string(8, '\0')) + file("", "abc").substr(512),
         "nm", "abc"},
        {"size of blanks", patched(header("blank", '0', 0), 124, std::string(12, ' ')), "blank", ""},
        {"size of zero bytes", patched(header("nul", '0', 0), 124, std::string(12, '\0')), "nul", ""},
        {"size with leading blanks", patched(header("sp", '0', 0), 124, "   3" + std::string(8, '\0')) + file("", "xyz").substr(512), "sp",
         "xyz"},
        {"old regular typeflag", patched(file("old", "o"), 156, std::string(1, '\0')), "old", "o"},
        {"contiguous file", patched(file("cont", "c"), 156, "7"), "cont", "c"},
        {"directory with a size", header("d", '5', 1024), "d", "dir"},
        {"link with a size", header("s", '2', 512, "target"), "s", "link:target"},
        {"entry ending the archive without end marker", "", "next.txt", "n"},
    };
    for (const AcceptedRow& row : rows) {
        SCOPED_TRACE(row.label);
        TempDir tmp;
        const bool last = row.entry.empty();
        const Extraction run = extract(row.entry + file("next.txt", "n") + (last ? "" : zeroBlocks(1)), tmp.path());
        EXPECT_GT(run.results.at(0), 0);
        EXPECT_EQ(run.finished, 0);
        EXPECT_EQ(readFile(tmp / "next.txt"), "n");
        const std::string made = tmp / row.path;
        if (row.expected == "dir") {
            EXPECT_EQ(shell("test -d " + quote(made) + " && echo dir"), "dir\n");
        } else if (row.expected.rfind("link:", 0) == 0) {
            EXPECT_EQ(shell("readlink " + quote(made)), row.expected.substr(5) + "\n");
        } else {
            EXPECT_EQ(readFile(made), row.expected);
        }
    }
}

TEST(TarReaderTest, HeaderFieldsReachTheEntryCallback) {
    TempDir tmp;
    const std::string daemonIds = shell("id -u daemon && id -g daemon");
    const std::string archive = patched(header(std::string(100, 'n'), '0', 0), 265, "daemon") +
                                patched(header("stranger", '0', 0), 265, "no-such-user-x") +
                                patched(header("max", '0', 0), 124, "37777777777");
    const Extraction run = extract(archive, tmp.path());
    ASSERT_EQ(run.seen.size(), 3u);
    EXPECT_EQ(run.seen[0].name, std::string(100, 'n'));
    EXPECT_EQ(run.seen[0].mode, 0644u);
    EXPECT_EQ(std::to_string(run.seen[0].uid) + "\n" + std::to_string(run.seen[0].gid) + "\n", daemonIds);
    EXPECT_EQ(run.seen[1].uid, getuid());
    EXPECT_EQ(run.seen[1].gid, getgid());
    EXPECT_EQ(run.seen[2].size, 4294967295u);
    EXPECT_EQ(run.results[0], int(archive.size()));
    EXPECT_EQ(run.finished, -1);  // the largest size is accepted, and its data is missing
}

TEST(TarReaderTest, EndMarkerOfAnyLengthOrNoneFinishesCleanly) {
    for (size_t zeros : {0, 1, 2, 20}) {
        TempDir tmp;
        const Extraction run = extract(file("a", std::string(513, 'a')) + zeroBlocks(zeros), tmp.path());
        EXPECT_EQ(run.finished, 0) << zeros;
        EXPECT_EQ(readFile(tmp / "a"), std::string(513, 'a'));
    }
    TempDir tmp;
    const std::string archive = file("cut", std::string(1000, 'c'));
    EXPECT_EQ(extract(archive.substr(0, 1024), tmp.path()).finished, -1);  // in the middle of the data
}

TEST(TarReaderTest, RefusalByTheEntryCallbackKeepsEarlierEntries) {
    TempDir tmp;
    const std::string archive = header("d", '5', 0) + file("d/one", "1") + file("d/three", "3") + zeroBlocks(2);
    brn::CTarReader reader;
    int calls = 0;
    ASSERT_EQ(reader.init([&](const brn::TAR_FILE_INFO_T& info, bool&, std::string& outPath) {
        outPath = tmp / info.name;
        return ++calls == 3 ? -1 : 0;
    }), 0);
    EXPECT_EQ(reader.update(archive.data(), int(archive.size())), -5);
    EXPECT_EQ(reader.update(archive.data(), 1), -2);
    EXPECT_EQ(reader.finish(), -1);
    EXPECT_EQ(readFile(tmp / "d/one"), "1");
    EXPECT_FALSE(exists(tmp / "d/three"));
}

TEST(TarReaderTest, CallsAreRefusedInTheWrongOrderOrWithBadArguments) {
    brn::CTarReader reader;
    EXPECT_EQ(reader.update("x", 1), -1);
    EXPECT_EQ(reader.init(nullptr), -1);
    EXPECT_EQ(reader.update("x", 1), -1);
    ASSERT_EQ(reader.init([](const brn::TAR_FILE_INFO_T&, bool&, std::string&) { return 0; }), 0);
    EXPECT_EQ(reader.update(nullptr, 1), -3);
    EXPECT_EQ(reader.update("x", 0), -3);
    EXPECT_FALSE(reader.setOutputCallback([](const brn::TAR_FILE_INFO_T&, int&) { return 0; }, nullptr,
                                          [](int) { return 0; }));
    EXPECT_EQ(reader.update("x", 1), 1);
    EXPECT_EQ(reader.finish(), 0);
}

// A reader whose every entry asks for redirection, with output callbacks that log.
struct Redirected {
    std::string log, written;
    int openResult = 0, openHandle = 7, writeResult = 0, closeResult = 0;
    Extraction run;

    void extract(const std::string& archive, const std::string& dir, bool install = true) {
        testing::internal::CaptureStdout();
        {
            brn::CTarReader reader;
            EXPECT_EQ(reader.init([&](const brn::TAR_FILE_INFO_T& info, bool& redirect, std::string& outPath) {
                redirect = true;
                outPath = dir + "/" + info.name;
                return 0;
            }), 0);
            auto onOpen = [&](const brn::TAR_FILE_INFO_T& info, int& handle) {
                log += "open " + info.name + " " + std::to_string(handle) + ";";
                handle = openHandle;
                return openResult;
            };
            auto onWrite = [&](const char* data, int count, int handle) {
                log += "write " + std::to_string(count) + " " + std::to_string(handle) + ";";
                written.append(data, size_t(count));
                return writeResult;
            };
            auto onClose = [&](int handle) {
                log += "close " + std::to_string(handle) + ";";
                return closeResult;
            };
            if (install) {
                EXPECT_TRUE(reader.setOutputCallback(onOpen, onWrite, onClose));
            } else {
                EXPECT_FALSE(reader.setOutputCallback(onOpen, nullptr, onClose));
            }
            run.results.push_back(reader.update(archive.data(), int(archive.size())));
            run.finished = reader.finish();
        }
        fflush(stdout);
        run.printed = testing::internal::GetCapturedStdout();
    }
};

TEST(TarReaderTest, RedirectedFilesGoThroughTheOutputCallbacks) {
    TempDir tmp;
    const std::string data = velktest::seededBytes(513, 9);
    const std::string archive = file("empty", "") + file("data", data) + header("dir", '5', 0) + zeroBlocks(2);
    Redirected out;
    out.extract(archive, tmp.path());
    EXPECT_EQ(out.log, "open empty -1;close 7;open data -1;write 512 7;write 1 7;close 7;");
    EXPECT_EQ(out.written, data);
    EXPECT_EQ(out.run.finished, 0);
    EXPECT_EQ(velktest::describeTree(tmp.path()), "d dir\n");  // a directory is made directly

    Redirected negative;  // success with no handle: writes still come, no close
    negative.openHandle = -1;
    negative.extract(archive, tmp.path());
    EXPECT_EQ(negative.log, "open empty -1;open data -1;write 512 -1;write 1 -1;");

    TempDir direct;  // without the callbacks installed the flag changes nothing
    Redirected none;
    none.extract(archive, direct.path(), false);
    EXPECT_EQ(none.log, "");
    EXPECT_EQ(readFile(direct / "data"), data);
}

TEST(TarReaderTest, RedirectedOutputFailures) {
    TempDir tmp;
    const std::string archive = file("data", std::string(600, 'd')) + zeroBlocks(2);
    const std::string cannotClose = "CTarReader can't close callback fd\n";

    Redirected refusedOpen;
    refusedOpen.openResult = -1;
    refusedOpen.extract(archive, tmp.path());
    EXPECT_EQ(refusedOpen.log, "open data -1;");
    EXPECT_EQ(refusedOpen.run.results[0], -4);

    Redirected refusedWrite;  // the handle is closed before the stream fails
    refusedWrite.writeResult = -1;
    refusedWrite.extract(archive, tmp.path());
    EXPECT_EQ(refusedWrite.log, "open data -1;write 512 7;close 7;");
    EXPECT_EQ(refusedWrite.run.results[0], -5);

    Redirected refusedClose;  // still open: the destructor tries once more
    refusedClose.closeResult = -1;
    refusedClose.extract(archive, tmp.path());
    EXPECT_EQ(refusedClose.log, "open data -1;write 512 7;write 88 7;close 7;close 7;");
    EXPECT_EQ(refusedClose.run.results[0], -5);
    EXPECT_EQ(refusedClose.run.finished, -1);
    EXPECT_EQ(refusedClose.run.printed, cannotClose + cannotClose);

    Redirected emptyRefusedClose;
    emptyRefusedClose.closeResult = -1;
    emptyRefusedClose.extract(file("empty", "") + zeroBlocks(2), tmp.path());
    EXPECT_EQ(emptyRefusedClose.run.results[0], -4);
    EXPECT_EQ(emptyRefusedClose.run.printed, cannotClose + cannotClose);
    EXPECT_EQ(velktest::describeTree(tmp.path()), "");
}

}  // namespace
