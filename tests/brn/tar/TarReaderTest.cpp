// The tar reader and the safe making of entries: hand-built hostile headers, GNU tar and tarfile archives.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <numeric>
#include <sstream>
#include <regex>
#include <set>
#include <tuple>
#include <utility>

#include "fs/UniqueFd.h"
#include "brn/tar/ListingEntryMaker.h"
#include "brn/tar/TarReader.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace velktest;
using brn::TAR_FILE_INFO_T;
using namespace std::string_literals;

// One ustar header block with a valid checksum.
std::string header(const std::string& name, char typeflag, size_t size, const std::string& linkname = "") {
    std::string block(512, '\0');
    char digits[16];
    snprintf(digits, sizeof digits, "%011llo", static_cast<unsigned long long>(size));
    block.replace(0, name.size(), name).replace(100, 7, "0000644").replace(124, 11, digits);
    block.replace(156, 1, 1, typeflag).replace(157, linkname.size(), linkname).replace(257, 8, "ustar\0" "00", 8);
    unsigned sum = 8 * ' ';
    for (char c : block) sum += static_cast<unsigned char>(c);
    snprintf(digits, sizeof digits, "%06o", sum);
    return block.replace(148, 7, digits, 7);
}

std::string patched(std::string b, size_t at, const std::string& bytes) { return b.replace(at, bytes.size(), bytes); }
std::string zeroBlocks(size_t count) { return std::string(512 * count, '\0'); }
std::string file(const std::string& name, const std::string& content) {
    return header(name, '0', content.size()) + content + std::string((512 - content.size() % 512) % 512, '\0');
}

// Everything below `dir`, sorted: "./d/" a directory, "./l -> target", "./f:content", "./p?" other.
std::string listing(const std::string& dir, const std::string& find = "") {
    return shell("cd " + quote(dir) + " && find . -mindepth 1 " + find + " | LC_ALL=C sort | while read -r f; do "
                 "if [ -L \"$f\" ]; then printf '%s -> %s\\n' \"$f\" \"$(readlink \"$f\")\"; "
                 "elif [ -d \"$f\" ]; then echo \"$f/\"; "
                 "elif [ -f \"$f\" ]; then printf '%s:%s\\n' \"$f\" \"$(cat \"$f\")\"; "
                 "else echo \"$f?\"; fi; done");
}

// What the output callbacks answer (install: all three given); every file then asks for redirection.
struct Outputs { bool install; int openResult, handle, writeResult, closeResult; };

// Results of each update and of finish; callbacks' calls, then stdout; redirected bytes; names seen.
struct Extraction {
    std::vector<int> results;
    int finished = 0;
    std::string log, written, names;
    brn::TarError error = brn::TarError::kNone;  // the reader's lastError() after finish
};

// Reads `archive` in `slices` (default: one) into outDir or `pathFor`, with `maker`; refuses "refuse".
Extraction extract(const std::string& archive, const std::string& outDir, std::vector<size_t> slices = {},
                   std::function<std::string(const std::string&)> pathFor = nullptr, const Outputs* out = nullptr,
                   brn::CEntryMaker* maker = nullptr) {
    Extraction run;
    if (slices.empty()) slices.push_back(archive.size());
    auto note = [&](std::string c, int h, int result) { return run.log += c + " " + std::to_string(h) + ";", result; };
    testing::internal::CaptureStdout();
    {
        brn::CTarReader reader;
        EXPECT_EQ(reader.init([&](const TAR_FILE_INFO_T& info, bool& redirect, std::string& outPath) {
            outPath = pathFor ? pathFor(info.name) : outDir + "/" + info.name;
            redirect = (run.names += info.name + ";", out != nullptr);
            return info.name == "refuse" ? -1 : 0;
        }), 0);
        brn::TarWriteCallback wrote = [&](const char* data, int count, int h) {
            return run.written.append(data, size_t(count)), note("write " + std::to_string(count), h, out->writeResult);
        };
        auto onOpen = [&](const TAR_FILE_INFO_T& info, int& h) {
            return note("open " + info.name, std::exchange(h, out->handle), out->openResult);
        };
        auto onClose = [&](int handle) { return note("close", handle, out->closeResult); };
        EXPECT_TRUE(!out || reader.setOutputCallback(onOpen, out->install ? wrote : nullptr, onClose) == out->install);
        EXPECT_TRUE(reader.setEntryMaker(maker));
        size_t at = 0;
        for (size_t slice : slices) {
            run.results.push_back(reader.update(archive.data() + at, int(slice)));
            run.log += out ? "|" : "";  // what follows an update's calls
            at += slice;
        }
        run.finished = reader.finish();
        run.error = reader.lastError();
    }
    fflush(stdout);
    run.log += testing::internal::GetCapturedStdout();
    return run;
}

// The kinds a listing maker recorded at the names of a tree as describeTree shows it ("d name",
// "f name", "l name" per line), and those kinds read from the description itself.
std::string kindsOf(const std::string& tree) {
    std::string kinds;
    std::istringstream lines(tree);
    for (std::string line; std::getline(lines, line);) kinds += line.substr(0, line.find(' ', 2)) + "\n";
    return kinds;
}
std::string recordedKinds(brn::CListingEntryMaker& maker, const std::string& tree) {
    static const std::map<brn::NodeKind, std::string> letters = {
        {brn::NodeKind::kDirectory, "d"}, {brn::NodeKind::kRegular, "f"}, {brn::NodeKind::kSymlink, "l"}};
    std::string kinds;
    std::istringstream lines(kindsOf(tree));
    for (std::string line; std::getline(lines, line);) {
        const auto found = letters.find(maker.kindAt(line.substr(2)));
        kinds += (found == letters.end() ? "?" : found->second) + line.substr(1) + "\n";
    }
    return kinds;
}
size_t lineCount(const std::string& text) { return size_t(std::count(text.begin(), text.end(), '\n')); }

TEST(TarReaderTest, ArchivesOfGnuTarAndPythonExtractLikeTarInEverySlicing) {
    TempDir tmp;
    const std::string cd = "cd " + quote(tmp.path()) + " && ";
    shell(cd + "mkdir -p src/a/b/c src/z && ln -s a/f100 src/rel && ln -s /no/target src/abs && ln -s a/b src/dirlink");
    for (size_t n : {0, 100, 512, 513, 70000}) writeFile(tmp / "src/a/f" + std::to_string(n), seededBytes(n, 1));
    writeFile(tmp / "src/z/" + std::string(96, 'n'), "x");  // "./z/n..." is a 100-byte name
    // Paths over 100 bytes that differ only in the part both tools put into the prefix field.
    const std::string deep = std::string(60, 'd') + "/" + std::string(60, 'e');
    for (const char* top : {"A", "B"}) {
        shell(cd + "mkdir -p src/" + top + "/" + deep);
        writeFile(tmp / "src/" + top + "/" + deep + "/config", top);
    }
    for (const std::string& make : {"tar --format=ustar --sort=name --mtime=@0 --owner=0 --group=0 -C src -cf a.tar ."s,
                                    python() + " -c \"import tarfile; t = tarfile.open('a.tar', 'w', format=tarfile"
                                               ".USTAR_FORMAT); t.add('src', arcname='.'); t.close()\""}) {
        shell(cd + "rm -rf ref && mkdir ref && " + make + " && tar -xf a.tar -C ref");
        const std::string archive = readFile(tmp / "a.tar");
        const size_t n = archive.size();
        for (const auto& slices : {fixedSlices(n, n), fixedSlices(n, 1), fixedSlices(n, 7), fixedSlices(n, 511),
                                   fixedSlices(n, 513), randomSlices(n, 4000, 11), randomSlices(n, 600, 12)}) {
            SCOPED_TRACE(make.substr(0, 3) + " in " + std::to_string(slices.size()) + " slices");
            shell(cd + "rm -rf out && mkdir out");
            const Extraction run = extract(archive, tmp / "out", slices);
            EXPECT_EQ(std::tie(run.results, run.finished),
                      std::make_tuple(std::vector<int>(slices.begin(), slices.end()), 0));
            EXPECT_EQ(describeTree(tmp / "out"), describeTree(tmp / "ref"));
            // The listing maker makes nothing and reports every entry and data byte.
            brn::CListingEntryMaker listed(tmp / "nowhere/");
            EXPECT_EQ(extract(archive, tmp / "nowhere", slices, nullptr, nullptr, &listed).results, run.results);
            const std::string ref = describeTree(tmp / "ref");
            EXPECT_EQ(std::make_tuple(recordedKinds(listed, ref), listed.madeCount(), listed.dataBytes(),
                                      exists(tmp / "nowhere")),
                      std::make_tuple(kindsOf(ref), lineCount(ref), 100 + 512 + 513 + 70000 + 3u, false));
        }
    }
}

// Each entry, between ok.txt and after.txt, fails the stream there or is made as `tree` shows.
TEST(TarReaderTest, EntriesAreMadeOrRefusedAsTheyShould) {
    TempDir tmp;
    const std::string dest = tmp / "dest", outside = tmp / "outside", after = "./after.txt:x\n";
    const std::string dotDot = ": refusing a '..' path component\n";
    auto through = [&](const std::string& name, const std::string& link) {
        return "tar: " + name + ": refusing to go through the symbolic link " + dest + "/" + link + "\n";
    };
    const std::string evil = header("l", '2', 0, outside), evilTree = "./l -> " + outside + "\n";
    // tree: dest less ok.txt (after.txt on success); setup: run in dest first; outside: what is beside dest.
    struct Row { std::string entry, printed, tree, setup = "", outside = ""; };
    const std::vector<Row> rows = {
        {header("hl", '1', 0, "ok.txt"), "unsupported link flag '1'\n", ""},
        {header("fifo", '6', 0), "unsupported file type 4096\n", ""},
        {header("l", '2', 0, ""), "", ""},
        {patched(zeroBlocks(1), 300, "x"), "", ""},
        {file("refuse", "r"), "", ""},
        {zeroBlocks(2) + header("late", '0', 0), "", ""},
        {patched(header("big", '0', 0), 124, "\x80" + std::string(10, '\0') + "\x05"),
         "tar: big: size field in base-256 form is not supported\n", ""},
        {patched(header("huge", '0', 0), 124, "40000000000"),
         "tar: huge: size above 4294967295 bytes is not supported\n", ""},
        {patched(file("up", "u"), 257, "USTAR") +
         patched(file("nm", "abc"), 257, std::string(8, '\0')) + patched(file("old", "o"), 156, "\0"s) +
         patched(file("cont", "c"), 156, "7"), "", after + "./cont:c\n./nm:abc\n./old:o\n./up:u\n"},
        {patched(header("bl", '0', 0), 124, std::string(12, ' ')) +
         patched(header("nul", '0', 0), 124, std::string(12, '\0')) + patched(file("sp", "xyz"), 124, "   3\0"s),
         "", after + "./bl:\n./nul:\n./sp:xyz\n"},
        {file("b\\s\\f", "bs") + header("bl", '2', 0, "a\\b") +
         header("d", '5', 1024) + header("s", '2', 512, "t"), "",
         after + "./b/\n./b/s/\n./b/s/f:bs\n./bl -> a\\b\n./d/\n./s -> t\n"},
        // The prefix joins the name only under the POSIX magic: old GNU keeps times there.
        {patched(file("f", "p"), 345, "p\\q") + patched(header("d", '5', 0), 345, "p") +
         patched(patched(file("g", "old"), 257, "ustar  \0"s), 345, "12345670123") +
         patched(patched(file("u", "up"), 257, "USTAR"), 345, "x"), "",
         after + "./g:old\n./p/\n./p/d/\n./p/q/\n./p/q/f:p\n./u:up\n"},
        // Paths: nothing is made outside the destination or through a link the archive made.
        {header("../x", '0', 0), "tar: ../x" + dotDot, ""},
        {header("a//../../x", '5', 0), "tar: a//../../x" + dotDot, ""},
        {header("a\\..\\..\\x", '0', 0), "tar: a/../../x" + dotDot, ""},
        {patched(header("x", '0', 0), 345, "a/../.."), "tar: a/../../x" + dotDot, ""},
        {patched(file("x", "a"), 345, std::string(155, 'p')) + patched(file("..", "b"), 345, "p"),
         "tar: p/.." + dotDot, "./" + std::string(155, 'p') + "/\n./" + std::string(155, 'p') + "/x:a\n"},
        {file("..a/b../x", "d"), "", "./..a/\n./..a/b../\n./..a/b../x:d\n" + after},
        {header("/abs/", '5', 0) + file("/abs/x", "data") + file("//top", "t"), "",
         "./abs/\n./abs/x:data\n" + after + "./top:t\n"},
        {evil + file("l/x", "evil"), through("l/x", "l"), evilTree},
        {header("l", '2', 0, "../outside") + header("l/sub", '5', 0), through("l/sub", "l"), "./l -> ../outside\n"},
        {evil + file("l/deep/x", "e"), through("l/deep/x", "l"), evilTree},
        {evil + header("l/ln", '2', 0, "t"), through("l/ln", "l"), evilTree},
        {evil + file("l\\x", "e"), through("l/x", "l"), evilTree},
        {evil + patched(file("x", "e"), 345, "l"), through("l/x", "l"), evilTree},
        {header("d", '5', 0) + header("d/l", '2', 0, outside) + file("d/l/x", "e"),
         through("d/l/x", "d/l"), "./d/\n./d/l -> " + outside + "\n"},
        {evil + header("l", '5', 0) + header("l/", '5', 0), "", after + evilTree},
        {file("f", "new") + header("g", '2', 0, "../outside/t") + file("g", "new"),
         "", after + "./f:new\n./g:new\n", "&& echo keep > ../outside/t && ln -s ../outside/t f", "./outside/t:keep\n"},
        {header("s", '2', 0, "elsewhere") + header("empty", '2', 0, "/abs") + header("full", '2', 0, "t"), "",
         "./empty -> /abs\n./full/\n./full/x/\n./s -> elsewhere\n", "&& echo old > s && mkdir -p empty full/x"},
        {file("p", "x"), "", "./p?\n", "&& mkfifo p"},
        {header("d", '5', 0) + file("d", "x"), "", "./d/\n"},
        {file("f", "x") + file("f/y", "e"), "", "./f:x\n"},
        {header("d/x", '5', 0) + header("d", '2', 0, "t"), "", "./d/\n./d/x/\n"},
        {header("no/l", '2', 0, "t"), "", ""},
        {header("e", '5', 0) + header("e", '2', 0, "t") + header("e", '2', 0, "u"), "", after + "./e -> u\n"},
    };
    for (const Row& row : rows) {
        const std::string archive = file("ok.txt", "hello") + row.entry + file("after.txt", "x") + zeroBlocks(2);
        const bool fails = row.tree.find(after) == std::string::npos;
        for (bool bytewise : {false, true}) {
            SCOPED_TRACE(std::to_string(&row - rows.data()) + (bytewise ? " byte by byte" : ""));
            shell("cd " + quote(tmp.path()) + " && rm -rf dest outside && mkdir dest outside && cd dest " + row.setup);
            const auto slices = fixedSlices(archive.size(), bytewise ? 1 : archive.size() - 512);
            const Extraction run = extract(archive, dest, slices);
            std::vector<int> expected(slices.begin(), slices.end());
            size_t i = 0;  // the failing call gives -4 or -5, every later one -2
            while (fails && i < slices.size() && run.results[i] == expected[i]) ++i;
            for (size_t j = i; fails && j < slices.size(); ++j) expected[j] = j > i ? -2 : bytewise ? -4 : -5;
            EXPECT_EQ(std::tie(run.results, run.finished, run.log),
                      std::make_tuple(expected, fails ? -1 : 0, row.printed));
            EXPECT_EQ(std::make_tuple(readFile(dest + "/ok.txt"), listing(dest, "-not -name ok.txt"),
                                      listing(tmp.path(), "-not -path './dest/*'")),
                      std::make_tuple("hello"s, row.tree, "./dest/\n./outside/\n" + row.outside));
            if (!row.setup.empty()) continue;
            // The listing maker judges alike from its own record, and touches nothing.
            const std::string disk = describeTree(tmp.path());
            brn::CListingEntryMaker maker(dest + "/");
            const Extraction listed = extract(archive, dest, slices, nullptr, nullptr, &maker);
            EXPECT_EQ(std::tie(listed.results, listed.finished, listed.log, listed.names),
                      std::tie(run.results, run.finished, run.log, run.names));
            EXPECT_EQ(describeTree(tmp.path()), disk);
            const std::string made = describeTree(dest);
            EXPECT_EQ(std::make_tuple(recordedKinds(maker, made), maker.madeCount()),
                      std::make_tuple(kindsOf(made), lineCount(made)));
        }
    }
}

TEST(TarReaderTest, ResultsOfFinishAndBadCallsAndPathsOfTheCallback) {
    TempDir tmp;
    for (size_t zeros : {0, 1, 20}) EXPECT_EQ(extract(file("a", "a") + zeroBlocks(zeros), tmp.path()).finished, 0);
    EXPECT_EQ(extract(file("cut", std::string(1000, 'c')).substr(0, 1024), tmp.path()).finished, -1);
    // The largest size is accepted, and its data is missing.
    const Extraction max = extract(patched(header("max", '0', 0), 124, "37777777777"), tmp.path());
    EXPECT_EQ(std::tie(max.results, max.finished), std::make_tuple(std::vector<int>{512}, -1));
    brn::CTarReader reader;
    EXPECT_EQ(std::make_tuple(reader.update("x", 1), reader.init(nullptr), reader.update("x", 1)),
              std::make_tuple(-1, -1, -1));
    ASSERT_EQ(reader.init([](const TAR_FILE_INFO_T&, bool&, std::string&) { return 0; }), 0);
    EXPECT_EQ(std::make_tuple(reader.update(nullptr, 1), reader.update("x", 0)), std::make_tuple(-3, -3));
    // A path of the callback's own, in a directory reached through a link: only its last component
    // is checked, and a link there is replaced, not followed. A ".." is refused before mapping.
    TempDir own;
    shell("cd " + quote(own.path()) + " && mkdir real outside && echo keep > outside/t && ln -s real mapped && "
          "ln -s ../outside/t real/m-two");
    const std::string archive = file("one", "1") + file("two", "2") + file("a/../../x", "evil") + zeroBlocks(2);
    const Extraction run = extract(archive, "", {}, [&](const std::string& n) { return own / ("mapped/m-" + n); });
    EXPECT_EQ(std::tie(run.results, run.log),
              std::make_tuple(std::vector<int>{-5}, "tar: a/../../x: refusing a '..' path component\n"s));
    EXPECT_EQ(listing(own.path()),
              "./mapped -> real\n./outside/\n./outside/t:keep\n./real/\n./real/m-one:1\n./real/m-two:2\n");
}

// The disk maker, counting the bytes of every data write.
struct CountingMaker : brn::CDiskEntryMaker {
    using CDiskEntryMaker::CDiskEntryMaker;
    std::vector<size_t> writes;
    int write(int h, const char* d, size_t n) override { return writes.push_back(n), CDiskEntryMaker::write(h, d, n); }
};

// Every cause of a failed stream is recorded where it is found, whatever the slicing, and
// only the refusals of a path for safety count as unsafe.
TEST(TarReaderTest, EachFailureRecordsItsCause) {
    TempDir tmp;
    using brn::TarError;
    const Outputs badWrite{true, 0, 7, -1, 0}, badClose{true, 0, 7, 0, -1};
    struct Row { std::string archive; TarError error; const Outputs* out = nullptr; bool noPath = false; };
    const std::vector<Row> rows = {
        {file("ok", "x") + zeroBlocks(2), TarError::kNone},
        {patched(zeroBlocks(1), 300, "x"), TarError::kBadHeader},
        {header("hl", '1', 0, "x"), TarError::kUnsupportedFlag},
        {header("l", '2', 0, ""), TarError::kEmptyLinkTarget},
        {patched(header("big", '0', 0), 124, "\x80" + std::string(10, '\0') + "\x05"), TarError::kBadSize},
        {header("a/../x", '0', 0), TarError::kDotDot},
        {header("l", '2', 0, tmp.path()) + file("l/x", "e"), TarError::kThroughLink},
        {file("refuse", "r"), TarError::kRefused},
        {file("f", "x"), TarError::kNoOutPath, nullptr, true},
        {header("d", '5', 0) + file("d", "x"), TarError::kMakeFailed},
        {header("fifo", '6', 0), TarError::kUnsupportedType},
        {file("w", "data"), TarError::kWriteFailed, &badWrite},
        {file("c", "data"), TarError::kCloseFailed, &badClose},
        {zeroBlocks(2) + header("late", '0', 0), TarError::kDataAfterEnd},
        {file("cut", std::string(1000, 'c')).substr(0, 1024), TarError::kEndsInsideEntry},
    };
    for (const Row& row : rows) {
        for (size_t slice : {row.archive.size(), size_t(1), size_t(511)}) {
            SCOPED_TRACE(std::string(brn::describe(row.error)) + " in slices of " + std::to_string(slice));
            shell("rm -rf " + quote(tmp / "out") + " && mkdir " + quote(tmp / "out"));
            auto noPath = [](const std::string&) { return std::string(); };
            const Extraction run = extract(row.archive, tmp / "out", fixedSlices(row.archive.size(), slice),
                                           row.noPath ? noPath : std::function<std::string(const std::string&)>(),
                                           row.out);
            EXPECT_EQ(run.error, row.error);
        }
    }
}

TEST(TarReaderTest, RedirectedFilesGoThroughCallbacksAndPiecesAreWrittenAtOnce) {
    TempDir tmp;
    const std::string data = seededBytes(513, 9), noClose = "CTarReader can't close callback fd\n";
    const std::string archive = file("empty", "") + file("data", data) + header("dir", '5', 0) + zeroBlocks(2);
    const std::string empty = "open empty -1;close 7;", full = "open data -1;write 512 7;write 1 7;close 7;";
    struct Row { Outputs out; int updated; std::string log; };  // updated 0: the whole archive taken
    const std::vector<Row> rows = {
        {{true, 0, 7, 0, 0}, 0, empty + full + "|"},
        {{false, 0, 7, 0, 0}, 0, "|"},  // not installed: the redirect flag changes nothing
        {{true, 0, -1, 0, 0}, 0, "open empty -1;open data -1;write 512 -1;write 1 -1;|"},  // no handle, no close
        {{true, -1, 7, 0, 0}, -4, "open empty -1;|"},
        {{true, 0, 7, -1, 0}, -5, empty + "open data -1;write 512 7;close 7;|"},
        {{true, 0, 7, 0, -1}, -4, empty + "|close 7;" + noClose + noClose},  // the destructor tries again
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.log);
        shell("rm -rf " + quote(tmp.path()) + "/*");
        const Extraction run = extract(archive, tmp.path(), {}, nullptr, &row.out);
        EXPECT_EQ(std::tie(run.results[0], run.finished, run.log),
                  std::make_tuple(row.updated ? row.updated : int(archive.size()), row.updated ? -1 : 0, row.log));
        EXPECT_EQ(shell("ls " + quote(tmp.path())),  // the directory is made directly
                  row.out.install ? (row.updated ? "" : "dir\n") : "data\ndir\nempty\n");
        if (row.updated == 0) { EXPECT_EQ(row.out.install ? run.written : readFile(tmp / "data"), data); }
    }
    // Whole blocks of one piece are one write, a split block one of its own; a failed write keeps what fitted.
    shell("rm -rf " + quote(tmp.path()) + "/*");

    const std::string big = seededBytes(70000, 3), bigArchive = file("big", big) + file("s", "s") + zeroBlocks(2);
    const size_t n = bigArchive.size();
    struct Piece { std::vector<size_t> slices, writes; };
    const std::vector<Piece> pieces = {
        {{n}, {70000, 1}},
        {fixedSlices(n, 16384), {15872, 16384, 16384, 16384, 4976, 1}},
        {{1000, n - 1000}, {512, 69488, 1}},  // the block split at 1000 is assembled, written alone
    };
    const CUniqueFd root(open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY));
    for (const Piece& piece : pieces) {
        CountingMaker counting(root.get(), tmp.path() + "/");
        const Extraction run = extract(bigArchive, tmp.path(), piece.slices, nullptr, nullptr, &counting);
        EXPECT_EQ(std::tie(run.results, counting.writes),
                  std::make_tuple(std::vector<int>(piece.slices.begin(), piece.slices.end()), piece.writes));
        EXPECT_EQ(readFile(tmp / "big"), big);
    }
    struct rlimit saved, small;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    small = {3000, saved.rlim_max};
    void (*handler)(int) = signal(SIGXFSZ, SIG_IGN);  // writes past the limit fail with EFBIG
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const Extraction cut = extract(bigArchive, tmp.path());
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, handler);
    EXPECT_EQ(std::make_tuple(cut.results, readFile(tmp / "big")),
              std::make_tuple(std::vector<int>{-5}, big.substr(0, 3000)));
}

}  // namespace
