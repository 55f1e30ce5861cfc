// Tests of the tar reader and of the safe making of its entries, with hand-built ustar blocks
// for hostile headers no tool writes, and archives of GNU tar and python3 tarfile.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <numeric>
#include <regex>
#include <tuple>

#include "brn/tar/ListingEntryMaker.h"
#include "brn/tar/TarReader.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace velktest;
using brn::TAR_FILE_INFO_T;

// One ustar header block with a valid checksum.
std::string header(const std::string& name, char typeflag, size_t size, const std::string& linkname = "") {
    std::string block(512, '\0');
    char digits[16];
    snprintf(digits, sizeof digits, "%011llo", static_cast<unsigned long long>(size));
    block.replace(0, name.size(), name).replace(100, 7, "0000644").replace(124, 11, digits);
    block[156] = typeflag;
    block.replace(157, linkname.size(), linkname).replace(257, 8, "ustar\0" "00", 8);
    unsigned sum = 8 * ' ';
    for (char c : block) sum += static_cast<unsigned char>(c);
    snprintf(digits, sizeof digits, "%06o", sum);
    return block.replace(148, 7, digits, 7);
}

std::string patched(std::string block, size_t offset, const std::string& bytes) {
    return block.replace(offset, bytes.size(), bytes);
}

std::string zeroBlocks(size_t count) { return std::string(512 * count, '\0'); }

std::string file(const std::string& name, const std::string& content) {
    return header(name, '0', content.size()) + content + std::string((512 - content.size() % 512) % 512, '\0');
}

// Everything below `dir`, sorted: "./d/" a directory, "./l -> target" a link, "./f:content" a
// regular file, "./p?" anything else; `find` may exclude more.
std::string listing(const std::string& dir, const std::string& find = "") {
    return shell("cd " + quote(dir) + " && find . -mindepth 1 " + find + " | LC_ALL=C sort | while read -r f; do "
                 "if [ -L \"$f\" ]; then printf '%s -> %s\\n' \"$f\" \"$(readlink \"$f\")\"; "
                 "elif [ -d \"$f\" ]; then echo \"$f/\"; "
                 "elif [ -f \"$f\" ]; then printf '%s:%s\\n' \"$f\" \"$(cat \"$f\")\"; "
                 "else echo \"$f?\"; fi; done");
}

// What the output callbacks answer (install: all three are given); every file then asks for redirection.
struct Outputs { bool install; int openResult, handle, writeResult, closeResult; };

// Results of every update and of finish; the output callbacks' calls, then standard output; redirected
// bytes; the names the entry callback saw.
struct Extraction { std::vector<int> results; int finished = 0; std::string log, written, names; };

// Runs a reader over `archive` in `slices` (default: one call). Entries go to outDir + "/" +
// name, as the decoder puts them, or where `pathFor` says; one named "refuse" is refused. A
// `maker` makes them instead of the disk.
Extraction extract(const std::string& archive, const std::string& outDir, std::vector<size_t> slices = {},
                   std::function<std::string(const std::string&)> pathFor = nullptr, const Outputs* out = nullptr,
                   brn::CEntryMaker* maker = nullptr) {
    Extraction run;
    if (slices.empty()) slices.push_back(archive.size());
    auto note = [&](const std::string& call, int handle, int result) {
        run.log += call + " " + std::to_string(handle) + ";";
        return result;
    };
    testing::internal::CaptureStdout();
    {
        brn::CTarReader reader;
        EXPECT_EQ(reader.init([&](const TAR_FILE_INFO_T& info, bool& redirect, std::string& outPath) {
            outPath = pathFor ? pathFor(info.name) : outDir + "/" + info.name;
            run.names += info.name + ";";
            redirect = out != nullptr;
            return info.name == "refuse" ? -1 : 0;
        }), 0);
        brn::TarWriteCallback onWrite = [&](const char* data, int count, int handle) {
            run.written.append(data, size_t(count));
            return note("write " + std::to_string(count), handle, out->writeResult);
        };
        auto onOpen = [&](const TAR_FILE_INFO_T& info, int& handle) {
            const int given = handle;
            handle = out->handle;
            return note("open " + info.name, given, out->openResult);
        };
        auto onClose = [&](int handle) { return note("close", handle, out->closeResult); };
        if (out) {  // without all three callbacks none is installed
            EXPECT_EQ(reader.setOutputCallback(onOpen, out->install ? onWrite : nullptr, onClose), out->install);
        }
        EXPECT_TRUE(reader.setEntryMaker(maker));
        size_t at = 0;
        for (size_t slice : slices) {
            run.results.push_back(reader.update(archive.data() + at, int(slice)));
            if (out) run.log += "|";  // what follows an update's calls
            at += slice;
        }
        run.finished = reader.finish();
    }
    fflush(stdout);
    run.log += testing::internal::GetCapturedStdout();
    return run;
}

// What a listing maker made below `dir`, as describeTree shows a tree; withoutHashes drops the
// content hashes describeTree gives regular files.
std::string madeTree(const brn::CListingEntryMaker& maker, const std::string& dir) {
    std::vector<std::string> lines;
    for (const auto& [key, made] : maker.tree()) {
        const std::string path = key.substr(std::min(key.size(), dir.size() + 1));
        lines.push_back(made.kind == brn::MadeKind::kDirectory ? "d " + path + "\n"
                        : made.kind == brn::MadeKind::kSymlink ? "l " + path + " -> " + made.target + "\n"
                                                               : "f " + path + " " + std::to_string(made.bytes) + "\n");
    }
    std::sort(lines.begin(), lines.end());
    return std::accumulate(lines.begin(), lines.end(), std::string());
}

std::string withoutHashes(const std::string& tree) { return std::regex_replace(tree, std::regex(" [0-9]+\n"), "\n"); }

TEST(TarReaderTest, ArchivesOfGnuTarAndPythonExtractLikeTarInEverySlicing) {
    TempDir tmp;
    const std::string cd = "cd " + quote(tmp.path()) + " && ";
    shell(cd + "mkdir -p src/a/b/c src/z && ln -s a/f100 src/rel && ln -s /no/target src/abs && ln -s a/b src/dirlink");
    for (size_t size : {0, 100, 512, 513, 70000}) {
        writeFile(tmp / "src/a/f" + std::to_string(size), seededBytes(size, 1));
    }
    writeFile(tmp / "src/z/" + std::string(96, 'n'), "x");  // "./z/n..." is a 100-byte name
    for (const std::string& make :
         {std::string("tar --format=ustar --sort=name --mtime=@0 --owner=0 --group=0 -C src -cf a.tar ."),
          python() + " -c \"import tarfile; t = tarfile.open('a.tar', 'w', format=tarfile.USTAR_FORMAT); "
                     "t.add('src', arcname='.'); t.close()\""}) {
        shell(cd + "rm -rf ref && mkdir ref && " + make + " && tar -xf a.tar -C ref");
        const std::string archive = readFile(tmp / "a.tar");
        const size_t n = archive.size();
        for (const std::vector<size_t>& slices : {{n}, fixedSlices(n, 1), fixedSlices(n, 7), fixedSlices(n, 511),
                                                  fixedSlices(n, 512), fixedSlices(n, 513), randomSlices(n, 4000, 11),
                                                  randomSlices(n, 600, 12)}) {
            SCOPED_TRACE(make.substr(0, 3) + " in " + std::to_string(slices.size()) + " slices");
            shell(cd + "rm -rf out && mkdir out");
            const Extraction run = extract(archive, tmp / "out", slices);
            EXPECT_EQ(run.results, std::vector<int>(slices.begin(), slices.end()));
            EXPECT_EQ(run.finished, 0);
            EXPECT_EQ(describeTree(tmp / "out"), describeTree(tmp / "ref"));
        }
        // Listed, by two readers in a row with one maker: nothing is made, every entry is reported.
        shell(cd + "rm -rf out && mkdir out");
        brn::CListingEntryMaker listing;
        for (int reader = 1; reader <= 2; ++reader) {
            const Extraction run = extract(archive, tmp / "out", {n}, nullptr, nullptr, &listing);
            EXPECT_EQ(run.results, std::vector<int>{int(n)});
            EXPECT_EQ(run.finished, 0);
            EXPECT_EQ(describeTree(tmp / "out"), "");
            EXPECT_EQ(madeTree(listing, tmp / "out"), withoutHashes(describeTree(tmp / "ref")));
            EXPECT_EQ(listing.dataBytes(), reader * (100 + 512 + 513 + 70000 + 1u));
        }
    }
}

// Each entry sits between ok.txt and after.txt, in a destination that `setup` prepared. An entry
// must either fail the stream there, leaving ok.txt and nothing else, or be made as `tree` shows.
TEST(TarReaderTest, EntriesAreMadeOrRefusedAsTheyShould) {
    TempDir tmp;
    const std::string dest = tmp / "dest", outside = tmp / "outside", after = "./after.txt:x\n";
    const std::string dotDot = ": refusing a '..' path component\n";
    auto through = [&](const std::string& name, const std::string& link) {
        return "tar: " + name + ": refusing to go through the symbolic link " + dest + "/" + link + "\n";
    };
    const std::string evil = header("l", '2', 0, outside), evilTree = "./l -> " + outside + "\n";
    // tree: the destination but ok.txt (after.txt only on success); setup: shell commands run in
    // the destination first; outside: what is there besides the destination, after the run.
    struct Row { const char* label; std::string entry, printed, tree, setup = "", outside = ""; };
    const std::vector<Row> rows = {
        {"hard link", header("hl", '1', 0, "ok.txt"), "unsupported link flag '1'\n", ""},
        {"long name", header("././@LongLink", 'L', 10), "unsupported link flag 'L'\n", ""},
        {"pax header", header("pax", 'x', 0), "unsupported link flag 'x'\n", ""},
        {"fifo", header("fifo", '6', 0), "unsupported file type 4096\n", ""},
        {"block device", header("blk", '4', 0), "unsupported file type 24576\n", ""},
        {"empty link target", header("l", '2', 0, ""), "", ""},
        {"no magic, empty name", patched(zeroBlocks(1), 300, "x"), "", ""},
        {"refused by the entry callback", file("refuse", "r"), "", ""},
        {"block after end marker", zeroBlocks(2) + header("late", '0', 0), "", ""},
        {"base-256 size", patched(header("big", '0', 0), 124, std::string("\x80\0\0\0\0\0\0\0\0\0\0\x05", 12)),
         "tar: big: size field in base-256 form is not supported\n", ""},
        {"size above 32 bits", patched(header("huge", '0', 0), 124, "40000000000"),
         "tar: huge: size above 4294967295 bytes is not supported\n", ""},
        {"magic in capitals, or none but a name", patched(file("up", "u"), 257, "USTAR") +
         patched(file("nm", "abc"), 257, std::string(8, '\0')), "", after + "./nm:abc\n./up:u\n"},
        {"sizes of blanks, zero bytes, leading blanks", patched(header("bl", '0', 0), 124, std::string(12, ' ')) +
         patched(header("nul", '0', 0), 124, std::string(12, '\0')) +
         patched(file("sp", "xyz"), 124, std::string("   3\0", 5)),
         "", after + "./bl:\n./nul:\n./sp:xyz\n"},
        {"old and contiguous typeflags", patched(file("old", "o"), 156, std::string(1, '\0')) +
         patched(file("cont", "c"), 156, "7"), "", after + "./cont:c\n./old:o\n"},
        {"backslashes", file("b\\s\\f", "bs") + header("bl", '2', 0, "a\\b"), "",
         after + "./b/\n./b/s/\n./b/s/f:bs\n./bl -> a\\b\n"},
        {"directory and link with a size", header("d", '5', 1024) + header("s", '2', 512, "t"), "",
         after + "./d/\n./s -> t\n"},
        // Paths: nothing is made outside the destination or through a link the archive made.
        {"leading ..", header("../x", '0', 0), "tar: ../x" + dotDot, ""},
        {"inner ..", header("a//../../x", '5', 0), "tar: a//../../x" + dotDot, ""},
        {"backslash ..", header("a\\..\\..\\x", '0', 0), "tar: a/../../x" + dotDot, ""},
        {"dots that are no ..", file("..a/b../x", "d"), "", "./..a/\n./..a/b../\n./..a/b../x:d\n" + after},
        {"leading slashes", header("/abs/", '5', 0) + file("/abs/x", "data") + file("//top", "t"), "",
         "./abs/\n./abs/x:data\n" + after + "./top:t\n"},
        {"link, then a file in it", evil + file("l/x", "evil"), through("l/x", "l"), evilTree},
        {"relative link, then a directory in it", header("l", '2', 0, "../outside") + header("l/sub", '5', 0),
         through("l/sub", "l"), "./l -> ../outside\n"},
        {"link, then a file two levels in", evil + file("l/deep/x", "e"), through("l/deep/x", "l"), evilTree},
        {"link, then a link in it", evil + header("l/ln", '2', 0, "t"), through("l/ln", "l"), evilTree},
        {"link, then a backslash name", evil + file("l\\x", "e"), through("l/x", "l"), evilTree},
        {"link in a directory", header("d", '5', 0) + header("d/l", '2', 0, outside) + file("d/l/x", "e"),
         through("d/l/x", "d/l"), "./d/\n./d/l -> " + outside + "\n"},
        {"directory over a link changes nothing", evil + header("l", '5', 0) + header("l/", '5', 0), "",
         after + evilTree},
        {"file over a link replaces it", file("f", "new") + header("g", '2', 0, "../outside/t") + file("g", "new"),
         "", after + "./f:new\n./g:new\n", "&& echo keep > ../outside/t && ln -s ../outside/t f", "./outside/t:keep\n"},
        {"link over a file or an empty directory, not a full one",
         header("s", '2', 0, "elsewhere") + header("empty", '2', 0, "/abs") + header("full", '2', 0, "t"), "",
         "./empty -> /abs\n./full/\n./full/x/\n./s -> elsewhere\n", "&& echo old > s && mkdir -p empty full/x"},
        {"file over a fifo", file("p", "x"), "", "./p?\n", "&& mkfifo p"},
        {"file over a directory", header("d", '5', 0) + file("d", "x"), "", "./d/\n"},
        {"file below a file", file("f", "x") + file("f/y", "e"), "", "./f:x\n"},
        {"link over a directory that holds something", header("d/x", '5', 0) + header("d", '2', 0, "t"), "",
         "./d/\n./d/x/\n"},
        {"link without its parent", header("no/l", '2', 0, "t"), "", ""},
        {"link over an empty directory, then over a link", header("e", '5', 0) + header("e", '2', 0, "t") +
         header("e", '2', 0, "u"), "", after + "./e -> u\n"},
    };
    for (const Row& row : rows) {
        const std::string archive = file("ok.txt", "hello") + row.entry + file("after.txt", "x") + zeroBlocks(2);
        const bool fails = row.tree.find(after) == std::string::npos;
        for (bool byteByByte : {false, true}) {
            SCOPED_TRACE(std::string(row.label) + (byteByByte ? " byte by byte" : ""));
            shell("cd " + quote(tmp.path()) + " && rm -rf dest outside && mkdir dest outside && cd dest " + row.setup);
            const std::vector<size_t> slices =
                byteByByte ? fixedSlices(archive.size(), 1) : std::vector<size_t>{archive.size() - 512, 512};
            const Extraction run = extract(archive, dest, slices);
            std::vector<int> expected(slices.begin(), slices.end());
            size_t i = 0;  // the failing call gives -4 or -5, every later one -2
            while (fails && i < slices.size() && run.results[i] == expected[i]) ++i;
            for (size_t j = i; fails && j < slices.size(); ++j) expected[j] = j > i ? -2 : byteByByte ? -4 : -5;
            EXPECT_EQ(run.results, expected);
            EXPECT_EQ(run.finished, fails ? -1 : 0);
            EXPECT_EQ(run.log, row.printed);
            EXPECT_EQ(readFile(dest + "/ok.txt"), "hello");
            EXPECT_EQ(listing(dest, "-not -name ok.txt"), row.tree);
            EXPECT_EQ(listing(tmp.path(), "-not -path './dest/*'"), "./dest/\n./outside/\n" + row.outside);
            if (!row.setup.empty()) continue;
            // The listing maker judges alike from its own record, and touches nothing.
            const std::string disk = describeTree(tmp.path());
            brn::CListingEntryMaker maker;
            const Extraction listed = extract(archive, dest, slices, nullptr, nullptr, &maker);
            EXPECT_EQ(std::tie(listed.results, listed.finished, listed.log, listed.names),
                      std::tie(run.results, run.finished, run.log, run.names));
            EXPECT_EQ(describeTree(tmp.path()), disk);
            EXPECT_EQ(madeTree(maker, dest), withoutHashes(describeTree(dest)));
        }
    }
}

TEST(TarReaderTest, ResultsOfFinishAndOfBadCalls) {
    TempDir tmp;
    for (size_t zeros : {0, 1, 20}) EXPECT_EQ(extract(file("a", "a") + zeroBlocks(zeros), tmp.path()).finished, 0);
    EXPECT_EQ(extract(file("cut", std::string(1000, 'c')).substr(0, 1024), tmp.path()).finished, -1);
    const Extraction max = extract(patched(header("max", '0', 0), 124, "37777777777"), tmp.path());
    EXPECT_EQ(max.results, std::vector<int>{512});  // the largest size is accepted, and its data is missing
    EXPECT_EQ(max.finished, -1);
    brn::CTarReader reader;
    EXPECT_EQ(reader.update("x", 1), -1);
    EXPECT_EQ(reader.init(nullptr), -1);
    EXPECT_EQ(reader.update("x", 1), -1);
    ASSERT_EQ(reader.init([](const TAR_FILE_INFO_T&, bool&, std::string&) { return 0; }), 0);
    EXPECT_EQ(reader.update(nullptr, 1), -3);
    EXPECT_EQ(reader.update("x", 0), -3);
}

TEST(TarReaderTest, RedirectedFilesGoThroughTheOutputCallbacks) {
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
        EXPECT_EQ(run.results[0], row.updated ? row.updated : int(archive.size()));
        EXPECT_EQ(run.finished, row.updated ? -1 : 0);
        EXPECT_EQ(run.log, row.log);
        EXPECT_EQ(shell("ls " + quote(tmp.path())),  // the directory is made directly
                  row.out.install ? (row.updated ? "" : "dir\n") : "data\ndir\nempty\n");
        if (row.updated == 0) {
            EXPECT_EQ(row.out.install ? run.written : readFile(tmp / "data"), data);
        }
    }
}

// The disk maker, counting the bytes of every data write.
struct CountingMaker : brn::CDiskEntryMaker {
    std::vector<size_t> writes;
    int write(int handle, const char* data, size_t count) override {
        writes.push_back(count);
        return CDiskEntryMaker::write(handle, data, count);
    }
};

// Whole data blocks of one piece reach the disk in one write; a block split across pieces in
// one of its own. A write that fails part-way leaves what fitted, as block by block did.
TEST(TarReaderTest, DataOfOnePieceIsWrittenAtOnce) {
    TempDir tmp;
    const std::string big = seededBytes(70000, 3), archive = file("big", big) + file("s", "s") + zeroBlocks(2);
    const size_t n = archive.size();
    struct Row { std::vector<size_t> slices, writes; };
    const std::vector<Row> rows = {
        {{n}, {70000, 1}},
        {fixedSlices(n, 16384), {15872, 16384, 16384, 16384, 4976, 1}},
        {{1000, n - 1000}, {512, 69488, 1}},  // the block split at 1000 is assembled, written alone
    };
    for (const Row& row : rows) {
        CountingMaker counting;
        const Extraction run = extract(archive, tmp.path(), row.slices, nullptr, nullptr, &counting);
        EXPECT_EQ(run.results, std::vector<int>(row.slices.begin(), row.slices.end()));
        EXPECT_EQ(counting.writes, row.writes);
        EXPECT_EQ(readFile(tmp / "big"), big);
    }
    struct rlimit saved, small;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    small = {3000, saved.rlim_max};
    void (*handler)(int) = signal(SIGXFSZ, SIG_IGN);  // writes past the limit fail with EFBIG
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const Extraction cut = extract(archive, tmp.path());
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, handler);
    EXPECT_EQ(cut.results, std::vector<int>{-5});
    EXPECT_EQ(readFile(tmp / "big"), big.substr(0, 3000));
}

// A path of the callback's own, in a directory reached through a link: only its last
// component is checked, and a link there is replaced, not followed. A ".." in the name is
// refused before the callback can map it.
TEST(SafePathTest, PathOfTheCallbacksOwnTrustsOnlyItsParent) {
    TempDir tmp;
    shell("cd " + quote(tmp.path()) + " && mkdir real outside && echo keep > outside/t && ln -s real mapped && "
          "ln -s ../outside/t real/m-two");
    const std::string archive = file("one", "1") + file("two", "2") + file("a/../../x", "evil") + zeroBlocks(2);
    const Extraction run = extract(archive, "", {}, [&](const std::string& n) { return tmp / ("mapped/m-" + n); });
    EXPECT_EQ(run.results, std::vector<int>{-5});
    EXPECT_EQ(run.log, "tar: a/../../x: refusing a '..' path component\n");
    EXPECT_EQ(listing(tmp.path()),
              "./mapped -> real\n./outside/\n./outside/t:keep\n./real/\n./real/m-one:1\n./real/m-two:2\n");
}

}  // namespace
