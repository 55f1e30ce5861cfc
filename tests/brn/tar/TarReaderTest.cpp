// The tar reader and the safe making of entries, from hand-built hostile headers in every slicing.
// Archives of real tools: tests/e2e/TarFormatsTest.cpp.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <tuple>
#include <utility>

#include "fs/UniqueFd.h"
#include "brn/tar/DiskEntryMaker.h"
#include "brn/tar/ListingEntryMaker.h"
#include "brn/tar/TarReader.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace velktest;
using brn::TAR_FILE_INFO_T;
using namespace std::string_literals;

// `b` with the checksum of its first block made anew, as a writer makes it: the sum of the
// bytes (unsigned, or signed as some old tars took them), the field counted as blanks, in six
// octal digits, a NUL and a blank.
std::string sealed(std::string b, bool signedSum = false) {
    b.replace(148, 8, 8, ' ');
    int sum = 0;
    for (size_t i = 0; i < 512; ++i) sum += signedSum ? int(static_cast<signed char>(b[i])) : int(uint8_t(b[i]));
    char digits[16];
    snprintf(digits, sizeof digits, "%06o", unsigned(sum));
    return b.replace(148, 7, digits, 7);
}

// One ustar header block with a valid checksum.
std::string header(const std::string& name, char typeflag, size_t size, const std::string& linkname = "") {
    std::string block(512, '\0');
    char digits[16];
    snprintf(digits, sizeof digits, "%011llo", static_cast<unsigned long long>(size));
    block.replace(0, name.size(), name).replace(100, 7, "0000644").replace(124, 11, digits);
    block.replace(156, 1, 1, typeflag).replace(157, linkname.size(), linkname).replace(257, 8, "ustar\0" "00", 8);
    return sealed(block);
}

// `b` with its checksum field set to the 8 bytes `field`, whatever the sum.
std::string withChecksumField(std::string b, const std::string& field) { return b.replace(148, 8, field); }
// `b` with `bytes` written at `at`, its first block's checksum made anew: only the change counts.
std::string patched(std::string b, size_t at, const std::string& bytes) {
    return sealed(b.replace(at, bytes.size(), bytes));
}
std::string zeroBlocks(size_t count) { return std::string(512 * count, '\0'); }
std::string padded(const std::string& data) { return data + std::string((512 - data.size() % 512) % 512, '\0'); }
std::string file(const std::string& name, const std::string& content) {
    return header(name, '0', content.size()) + padded(content);
}
// An extension header of typeflag `flag` ('x', 'g', 'L', 'K') holding `data`.
std::string extension(char flag, const std::string& data) {
    return header(flag == 'L' || flag == 'K' ? "././@LongLink" : "PaxHeaders/x", flag, data.size()) + padded(data);
}
// One pax record, its length counting itself; recordOfSize: a comment record of `size` bytes.
std::string record(const std::string& keyword, const std::string& value);
std::string recordOfSize(size_t size) {
    size_t value = size - 20;
    while (record("comment", std::string(value, 'c')).size() < size) ++value;
    return record("comment", std::string(value, 'c'));
}
std::string record(const std::string& keyword, const std::string& value) {
    const std::string body = " " + keyword + "=" + value + "\n";
    size_t length = body.size() + 1;
    while (std::to_string(length).size() + body.size() != length) ++length;
    return std::to_string(length) + body;
}

// Everything below `dir`, sorted: "./d/" a directory, "./l -> target", "./f:content" (" #N" behind
// a file of N names), "./p?" other.
std::string listing(const std::string& dir, const std::string& find = "") {
    return shell("cd " + quote(dir) + " && find . -mindepth 1 " + find + " | LC_ALL=C sort | while read -r f; do "
                 "if [ -L \"$f\" ]; then printf '%s -> %s\\n' \"$f\" \"$(readlink \"$f\")\"; "
                 "elif [ -d \"$f\" ]; then echo \"$f/\"; "
                 "elif [ -f \"$f\" ]; then printf '%s:%s' \"$f\" \"$(cat \"$f\")\"; n=$(stat -c %h \"$f\"); "
                 "[ \"$n\" = 1 ] || printf ' #%s' \"$n\"; echo; "
                 "else echo \"$f?\"; fi; done");
}

// The disk maker, noting every entry it is told of and the bytes of every data write; it can
// be made to fail each write, or each close after the file was closed.
struct ProbeMaker : brn::CDiskEntryMaker {
    using CDiskEntryMaker::CDiskEntryMaker;
    std::string names;
    std::vector<size_t>* writesTo = nullptr;
    bool failWrites = false, failCloses = false;
    void noteEntry(const TAR_FILE_INFO_T& info) override { names += info.name + ";"; }
    brn::MakeOutcome write(int h, const char* d, size_t n) override {
        if (writesTo != nullptr) writesTo->push_back(n);
        return failWrites ? brn::MakeOutcome::kWriteFailed : CDiskEntryMaker::write(h, d, n);
    }
    brn::MakeOutcome closeFile(int h, const std::string& name) override {
        const brn::MakeOutcome closed = CDiskEntryMaker::closeFile(h, name);
        return failCloses ? brn::MakeOutcome::kCloseFailed : closed;
    }
};

// Results of each update and of finish; what was printed; names the maker was told of.
struct Extraction {
    std::vector<int> results;
    int finished = 0;
    std::string log, names;
    brn::TarError error = brn::TarError::kNone;  // the reader's lastError() after finish
};

// Reads `archive` in `slices` (default: one) through `maker`.
Extraction extract(const std::string& archive, brn::CEntryMaker& maker, std::vector<size_t> slices = {}) {
    Extraction run;
    if (slices.empty()) slices.push_back(archive.size());
    testing::internal::CaptureStdout();
    {
        brn::CTarReader reader;
        EXPECT_EQ(reader.init(&maker), 0);
        size_t at = 0;
        for (size_t slice : slices) {
            run.results.push_back(reader.update(archive.data() + at, int(slice)));
            at += slice;
        }
        run.finished = reader.finish();
        run.error = reader.lastError();
    }
    fflush(stdout);
    run.log = testing::internal::GetCapturedStdout();
    return run;
}

// The same into the directory `dir` on disk, through a ProbeMaker that `setUp` may adjust.
Extraction extractInto(const std::string& dir, const std::string& archive, std::vector<size_t> slices = {},
                       const std::function<void(ProbeMaker&)>& setUp = nullptr) {
    const velk::CUniqueFd root(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    EXPECT_GE(root.get(), 0) << dir;
    ProbeMaker maker(root.get(), dir + "/");
    if (setUp) setUp(maker);
    Extraction run = extract(archive, maker, std::move(slices));
    run.names = maker.names;
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

// Each entry of a row, between ok.txt and after.txt, fails the stream there or is made as
// `tree` shows (dest less ok.txt, with after.txt on success); `setup` runs in dest first;
// `outside` is what stands beside dest afterwards. Every row is read whole and byte by byte,
// and (without setup) by the listing maker, which must judge alike and touch nothing.
struct EntryRow {
    std::string entry, printed, tree, setup = "", outside = "";
    bool keepBackslashes = false;
};

class EntryTableTest : public ::testing::Test {
protected:
    std::string through(const std::string& name, const std::string& link) const {
        return "tar: " + name + ": refusing to go through the symbolic link " + dest + "/" + link + "\n";
    }
    std::string replacing(const std::string& name, const std::string& what) const {
        return "tar: " + name + ": refusing to replace " + dest + "/" + name + ", " + what + "\n";
    }
    void expectRows(const std::vector<EntryRow>& rows);

    TempDir tmp;
    const std::string dest = tmp / "dest", outside = tmp / "outside", after = "./after.txt:x\n";
    const std::string dotDot = ": refusing a '..' path component\n";
};

void EntryTableTest::expectRows(const std::vector<EntryRow>& rows) {
    for (const EntryRow& row : rows) {
        const std::string archive = file("ok.txt", "hello") + row.entry + file("after.txt", "x") + zeroBlocks(2);
        const bool fails = row.tree.find(after) == std::string::npos;
        for (bool bytewise : {false, true}) {
            SCOPED_TRACE(std::to_string(&row - rows.data()) + (bytewise ? " byte by byte" : ""));
            const auto keep = [&row](brn::CEntryMaker& m) { m.keepBackslashes(row.keepBackslashes); };
            shell("cd " + quote(tmp.path()) + " && rm -rf dest outside && mkdir dest outside && cd dest " + row.setup);
            const auto slices = fixedSlices(archive.size(), bytewise ? 1 : archive.size() - 512);
            const Extraction run = extractInto(dest, archive, slices, keep);
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
            keep(maker);
            const Extraction listed = extract(archive, maker, slices);
            EXPECT_EQ(std::tie(listed.results, listed.finished, listed.log),
                      std::tie(run.results, run.finished, run.log));
            EXPECT_EQ(describeTree(tmp.path()), disk);
            const std::string made = describeTree(dest);
            EXPECT_EQ(std::make_tuple(recordedKinds(maker, made), maker.madeCount()),
                      std::make_tuple(kindsOf(made), lineCount(made)));
        }
    }
}

TEST_F(EntryTableTest, EntriesAreMadeOrRefusedAsTheyShould) {
    const std::string evil = header("l", '2', 0, outside), evilTree = "./l -> " + outside + "\n";
    expectRows({
        {header("q", 'Q', 0), "unsupported link flag 'Q'\n", ""},
        {header("fifo", '6', 0), "unsupported file type 4096\n", ""},
        {header("l", '2', 0, ""), "", ""},
        {patched(zeroBlocks(1), 300, "x"), "", ""},
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
        // A name that fills its field has no NUL behind it.
        {file(std::string(100, 'n'), "x"), "", after + "./" + std::string(100, 'n') + ":x\n"},
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
        {evil + header("l", '5', 0) + header("l/", '5', 0), "", after + "./l/\n"},
        {file("f", "new") + header("g", '2', 0, "../outside/t") + file("g", "new"),
         "", after + "./f:new\n./g:new\n", "&& echo keep > ../outside/t && ln -s ../outside/t f", "./outside/t:keep\n"},
        // A file is made anew, never written through another name of the one it replaces.
        {file("f", "new"), "", after + "./f:new\n", "&& echo keep > ../outside/t && ln ../outside/t f",
         "./outside/t:keep\n"},
        {header("s", '2', 0, "elsewhere") + header("empty", '2', 0, "/abs") + header("full", '2', 0, "t"),
         replacing("full", "a folder that holds something"), "./empty -> /abs\n./full/\n./full/x/\n./s -> elsewhere\n",
         "&& echo old > s && mkdir -p empty full/x"},
        {file("p", "x"), replacing("p", "a FIFO, device or socket"), "./p?\n", "&& mkfifo p"},
        {header("d", '5', 0) + file("d", "x"), replacing("d", "a folder"), "./d/\n"},
        {file("f", "x") + file("f/y", "e"), "tar: f/y: open " + dest + "/f failed(20,Not a directory)\n", "./f:x\n"},
        {header("d/x", '5', 0) + header("d", '2', 0, "t"), replacing("d", "a folder that holds something"),
         "./d/\n./d/x/\n"},
        {header("e", '5', 0) + header("e", '2', 0, "t") + header("e", '2', 0, "u"), "", after + "./e -> u\n"},
        // Folders on the way to a link are made, as for a file.
        {header("no/l", '2', 0, "t"), "", after + "./no/\n./no/l -> t\n"},
        // A folder replaces a link or a file the archive made, and keeps a folder with what it holds.
        {file("f", "x") + header("h", '1', 0, "f") + header("f", '5', 0) + file("f/y", "y"), "",
         after + "./f/\n./f/y:y\n./h:x\n"},
        {header("d", '5', 0) + file("d/f", "x") + header("d/", '5', 0), "", after + "./d/\n./d/f:x\n"},
        // Not what was there before: the version file an in-place run keeps, a FIFO.
        {header("pre", '5', 0) + file("pre/x", "e"), replacing("pre", "a file this archive did not make"),
         "./pre:keep\n", "&& echo keep > pre"},
        {header("p", '5', 0), replacing("p", "a FIFO, device or socket"), "./p?\n", "&& mkfifo p"},
        // An entry needs a name of its own below the root.
        {header(".", '2', 0, "t"), "tar: .: refusing an entry that names " + dest + "/ itself\n", ""},
        {header("", '0', 0), "tar: : refusing an entry that names " + dest + "/ itself\n", ""},
    });
}

// A hard link names a regular file this run made, reached under the walker's rules, and
// nothing else: not a file that was there before, a link, a folder, or a later entry.
TEST_F(EntryTableTest, HardLinksNameOnlyFilesTheArchiveMade) {
    const std::string evil = header("l", '2', 0, outside), evilTree = "./l -> " + outside + "\n";
    const auto refused = [](const std::string& name, const std::string& target) {
        return "tar: " + name + ": refusing a hard link to " + target + ": not a file this archive made\n";
    };
    expectRows({
        {header("h", '1', 0, "ok.txt"), "", after + "./h:hello #2\n"},
        {header("new/h", '1', 0, "/ok.txt") + header("new/g", '1', 0, ".\\ok.txt"), "",
         after + "./new/\n./new/g:hello #3\n./new/h:hello #3\n"},
        {file("a", "1") + file("b", "2") + header("b", '1', 0, "a") + header("b", '1', 0, "./a"), "",
         "./a:1 #2\n" + after + "./b:1 #2\n"},
        {file("f", "x") + header("f", '1', 0, "./f"), "", after + "./f:x\n"},
        // A name made anew takes its first file's place among the files made.
        {file("f", "1") + file("f", "2") + header("h", '1', 0, "f"), "", after + "./f:2 #2\n./h:2 #2\n"},
        {header("h", '1', 0, "../outside/t"), "tar: ../outside/t" + dotDot, "", "", ""},
        {header("h", '1', 0, "a\\..\\..\\outside\\t"), "tar: a/../../outside/t" + dotDot, ""},
        {evil + header("h", '1', 0, "l/t"), through("l/t", "l"), evilTree},
        {header("d", '5', 0) + header("h", '1', 0, "d"), refused("h", "d"), "./d/\n"},
        {header("h", '1', 0, "."), refused("h", "."), ""},
        {header("h", '1', 0, "later") + file("later", "x"), refused("h", "later"), ""},
        {header("s", '2', 0, "ok.txt") + header("h", '1', 0, "s"), refused("h", "s"), "./s -> ok.txt\n"},
        {file("f", "x") + header("f", '2', 0, "ok.txt") + header("h", '1', 0, "f"), refused("h", "f"),
         "./f -> ok.txt\n"},
        {file("f", "x") + header("h", '1', 0, "f/x"), refused("h", "f/x"), "./f:x\n"},
        {header("h", '1', 0, "pre"), refused("h", "pre"), "./pre:keep\n", "&& echo keep > pre"},
        {header("h", '1', 0, "t"), refused("h", "t"), "./t -> ../outside/t\n",
         "&& echo keep > ../outside/t && ln -s ../outside/t t", "./outside/t:keep\n"},
        {header("d", '5', 0) + header("d", '1', 0, "ok.txt"), replacing("d", "a folder"), "./d/\n"},
        // A target spelled as a folder names no file, even where it names one without the slash.
        {file("f", "x") + header("h", '1', 0, "f/"), refused("h", "f/"), "./f:x\n"},
        {file("f", "x") + header("h", '1', 0, "f/."), refused("h", "f/."), "./f:x\n"},
        {file("f", "x") + header("h", '1', 0, "./f//"), refused("h", "./f//"), "./f:x\n"},
        {header("h", '1', 0, ""), "", ""},
        {patched(header("h", '1', 0, "ok.txt"), 124, "00000000001"), "tar: h: a hard link with data is not supported\n",
         ""},
    });
}

// pax and GNU long-name headers give the next entry (or, 'g', every later one) its name, link
// target and size; their metadata is skipped; malformed or refused records fail the stream.
TEST_F(EntryTableTest, ExtensionHeadersNameTheNextEntries) {
    const std::string deep = std::string(120, 'd') + "/" + std::string(200, 'e') + "/f";
    const std::string deepTree = "./" + std::string(120, 'd') + "/\n./" + std::string(120, 'd') + "/" +
                                 std::string(200, 'e') + "/\n./" + deep + ":x\n";
    const std::string malformed = "tar: extended header: malformed record at byte ";
    const std::string metadata = record("mtime", "1700000000.123") + record("atime", "1") + record("ctime", "1") +
        record("uid", "7") + record("gid", "7") + record("uname", "u") + record("gname", "g") +
        record("comment", "c") + record("charset", "ISO-IR 10646 2000 UTF-8") + record("hdrcharset", "BINARY") +
        record("SCHILY.xattr.user.a", "b\nc") + record("LIBARCHIVE.creationtime", "1") + record("some.new", "x") +
        record("linkpath", "");
    expectRows({
        {extension('x', record("path", deep)) + file("short", "x"), "", after + deepTree},
        {extension('L', deep + '\0') + file("short", "x"), "", after + deepTree},
        {extension('L', "first") + extension('x', metadata + record("path", "second")) + file("f", "x"), "",
         after + "./second:x\n"},
        {extension('K', std::string(150, 't') + '\0') + header("l", '2', 0, "short"), "",
         after + "./l -> " + std::string(150, 't') + "\n"},
        {extension('x', record("linkpath", "t\\u")) + header("l", '2', 0, "short"), "", after + "./l -> t\\u\n"},
        {extension('K', "ok.txt") + header("h", '1', 0, "x"), "", after + "./h:hello #2\n"},
        {extension('x', record("path", "a\\b")) + file("f", "x"), "", "./a/\n./a/b:x\n" + after},
        // Only the last 'x' header counts; a pax path or linkpath ('x', else 'g') wins over a GNU
        // long name whatever their order, and an empty one gives the long name back.
        {extension('x', record("path", "first")) + extension('x', record("mtime", "1")) + file("own", "x"), "",
         after + "./own:x\n"},
        {extension('L', "gnu") + extension('x', record("path", "pax")) + file("f", "x"), "", after + "./pax:x\n"},
        {extension('x', record("path", "pax")) + extension('L', "gnu") + file("f", "x"), "", after + "./pax:x\n"},
        {extension('K', "gnu") + extension('x', record("linkpath", "pax")) + header("l", '2', 0, "t"), "",
         after + "./l -> pax\n"},
        {extension('x', record("linkpath", "pax")) + extension('K', "gnu") + header("l", '2', 0, "t"), "",
         after + "./l -> pax\n"},
        {extension('g', record("path", "g")) + extension('L', "gnu") + file("f", "x") + extension('L', "gnu2") +
             extension('x', record("path", "")) + file("f", "y") + extension('g', record("path", "")),
         "", after + "./g:x\n./gnu2:y\n"},
        // The size of a record replaces the field, which may then be unreadable.
        {extension('x', record("size", "3")) + patched(file("s", "abc"), 124, "\x80" + std::string(11, '\0')), "",
         after + "./s:abc\n"},
        {extension('x', record("size", "")) + file("s", "abc"), "", after + "./s:abc\n"},
        // 'g' values last until another 'g' changes them; 'x' overrides, an empty value deletes.
        {extension('g', record("path", "g") + record("comment", "1")) + file("one", "1") +
             extension('x', record("path", "x")) + file("two", "2") + extension('x', record("path", "")) +
             file("own", "3") + file("four", "4") + extension('g', record("path", "")) + file("five", "5"),
         "", after + "./five:5\n./g:4\n./own:3\n./x:2\n"},
        {extension('g', record("comment", "only")), "", after},
        {extension('x', metadata) + file("plain", "p"), "", after + "./plain:p\n"},
        // The data of one header is bounded: 65536 bytes are read, one more is refused.
        {extension('x', recordOfSize(65536 - 12) + record("path", "big")) + file("f", "x"), "", after + "./big:x\n"},
        {extension('x', recordOfSize(65537 - 12) + record("path", "big")) + file("f", "x"),
         "tar: PaxHeaders/x: extended header of 65537 bytes is refused: the limit is 65536\n", ""},
        {extension('L', std::string(65537, 'n')), "tar: ././@LongLink: extended header of 65537 bytes is refused: "
         "the limit is 65536\n", ""},
        {patched(extension('x', record("path", "a")), 124, "\x80"), "tar: PaxHeaders/x: size field in base-256 form "
         "is not supported\n", ""},
    });
    // Malformed or refused headers fail the stream before their entry is made.
    expectRows({
        {extension('x', "x path=a\n") + file("f", "x"), malformed + "0: no length, or one that runs past the header\n",
         ""},
        {extension('x', record("comment", "c") + "13 path=abc\n") + file("f", "x"),
         malformed + "13: no length, or one that runs past the header\n", ""},
        {extension('x', "3 a\n") + file("f", "x"), malformed + "0: no length, or one that runs past the header\n", ""},
        {extension('x', "5path=a\n") + file("f", "x"), malformed + "0: no length, or one that runs past the header\n",
         ""},
        {extension('x', "11 path=ab") + file("f", "x"), malformed + "0: no length, or one that runs past the header\n",
         ""},
        {extension('x', "10 path=ab") + file("f", "x"), malformed + "0: no newline at its end\n", ""},
        {extension('x', "9 pathab\n") + file("f", "x"), malformed + "0: no keyword=value\n", ""},
        {extension('x', "6 =ab\n") + file("f", "x"), malformed + "0: no keyword=value\n", ""},
        {extension('x', record("path", "a") + "\n") + file("f", "x"),
         malformed + "9: no length, or one that runs past the header\n", ""},
        {extension('x', record("path", "a\0b"s)) + file("f", "x"), "tar: extended header: path holds a NUL byte\n", ""},
        {extension('x', record("linkpath", "\0"s)) + header("l", '2', 0, "t"),
         "tar: extended header: linkpath holds a NUL byte\n", ""},
        {extension('x', record("size", "12a")) + file("f", "x"), "tar: extended header: size 12a is not a number\n", ""},
        {extension('x', record("size", "-1")) + file("f", "x"), "tar: extended header: size -1 is not a number\n", ""},
        {extension('x', record("size", "4294967296")) + file("f", "x"),
         "tar: extended header: size above 4294967295 bytes is not supported\n", ""},
        {extension('x', record("GNU.sparse.size", "10")) + file("f", "x"),
         "tar: extended header: a GNU sparse file is refused (GNU.sparse.size)\n", ""},
        {extension('g', record("GNU.sparse.major", "1")) + file("f", "x"),
         "tar: extended header: a GNU sparse file is refused (GNU.sparse.major)\n", ""},
        {extension('x', record("GNU.volume.offset", "1")) + file("f", "x"),
         "tar: extended header: a file continued from another volume is refused (GNU.volume.offset)\n", ""},
        {extension('L', std::string(1, '\0')) + file("f", "x"), "tar: a GNU long name header holds no name\n", ""},
        {extension('L', "a/../../x") + file("f", "x"), "tar: a/../../x" + dotDot, ""},
        {extension('x', record("path", "ok")) + zeroBlocks(1),
         "tar: an extended header or long name is not followed by an entry\n", ""},
    });
}

// A header counts only when its checksum matches, summed unsigned or signed as both tars sum
// it: a file's data read as a header (its size said less) never becomes an entry. A name the
// system cannot take is refused before any of it is made, by the listing maker too.
TEST_F(EntryTableTest, ChecksumsAndNameLengthsAreCheckedFirst) {
    const std::string naive = "na\xc3\xafve", longest(255, 'n'), target(4095, 't');
    const auto wrongSum = [](int offset) {
        return "tar: the header at offset " + std::to_string(offset) + " has a wrong checksum\n";
    };
    const auto tooLong = [](const std::string& name, const char* what, size_t size, int limit) {
        return "tar: " + name + ": a " + what + " of " + std::to_string(size) + " bytes is refused: the limit is " +
               std::to_string(limit) + "\n";
    };
    expectRows({
        {sealed(file(naive, "s"), true) + file(naive + "2", "u"), "",
         after + "./" + naive + ":s\n./" + naive + "2:u\n"},
        {withChecksumField(file("bad", "x"), "0000000\0"s), wrongSum(1024), ""},
        {withChecksumField(file("bad", "x"), std::string(8, ' ')), wrongSum(1024), ""},
        {header("short", '0', 0) + padded("hello world\n"), wrongSum(1536), "./short:\n"},
        {withChecksumField(extension('x', record("path", "p")), "0000000\0"s) + file("f", "x"), wrongSum(1024), ""},
        {extension('x', record("path", "d/" + longest)) + file("f", "x"), "", after + "./d/\n./d/" + longest + ":x\n"},
        {extension('x', record("path", "d/" + longest + "n")) + file("f", "x"),
         tooLong("d/" + longest + "n", "name component", 256, 255), ""},
        {extension('K', longest + "n") + header("h", '1', 0, "t"), tooLong("h", "name component", 256, 255), ""},
        {extension('x', record("linkpath", target)) + header("l", '2', 0, "t"), "", after + "./l -> " + target + "\n"},
        {extension('x', record("linkpath", target + "t")) + header("l", '2', 0, "t"),
         tooLong("l", "symbolic link target", 4096, 4095), ""},
    });
}

// A regular-file entry named like a folder is one, and has no data whatever its size says. A
// backslash is a slash, in names and hard link targets, unless the maker keeps backslashes. The
// plain cases, against GNU tar and bsdtar: tests/e2e/TarFormatsTest.cpp.
TEST_F(EntryTableTest, OldStyleFoldersAndBackslashes) {
    const std::string unit = "system-systemd\\x2dcryptsetup.slice";
    expectRows({
        {header("d\\", '0', 1) + file("d\\f", "x"), "", after + "./d/\n./d/f:x\n"},
        {header("c/", '7', 1) + file("c/f", "x"), "", after + "./c/\n./c/f:x\n"},
        {extension('x', record("path", "p/")) + header("f", '0', 0) + file("p/g", "y"), "", after + "./p/\n./p/g:y\n"},
        {file(unit, "u") + header("h", '1', 0, unit) + header("l", '2', 0, unit), "",
         after + "./h:u #2\n./l -> " + unit + "\n./" + unit + ":u #2\n", "", "", true},
        {header("d\\", '0', 1) + "x" + std::string(511, '\0'), "", after + "./d\\:x\n", "", "", true},
        {file("..\\x", "e") + header("a\\", '5', 0), "", "./..\\x:e\n./a\\/\n" + after, "", "", true},
        {file("..\\x", "e"), "tar: ../x" + dotDot, ""},
    });
}

// Someone who puts another file in the target's place between its check and the link (here,
// right at the link) gains that file no name in the tree: the new name is checked once made.
TEST(TarReaderTest, ATargetSwappedBeforeTheLinkGetsNoName) {
    struct SwappingTree : brn::CDiskTree {
        using CDiskTree::CDiskTree;
        std::string secret;
        int createHardLink(brn::DirRef targetDir, const std::string& target, brn::DirRef dir,
                           const std::string& name) override {
            const int from = int(targetDir), to = int(dir);
            const bool swapped = unlinkat(from, target.c_str(), 0) == 0 &&
                                 linkat(AT_FDCWD, secret.c_str(), from, target.c_str(), 0) == 0;
            return swapped && linkat(from, target.c_str(), to, name.c_str(), 0) == 0 ? 0 : errno;
        }
    };
    TempDir tmp;
    shell("cd " + quote(tmp.path()) + " && mkdir out && printf secret > secret");
    const velk::CUniqueFd root(open((tmp / "out").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    SwappingTree tree(root.get());
    tree.secret = tmp / "secret";
    brn::CPathWalker walker(tree, tmp / "out/");
    int real = -1;
    ASSERT_EQ(walker.openFile("real", real), brn::MakeOutcome::kOk);
    close(real);
    testing::internal::CaptureStdout();
    const brn::MakeOutcome linked = walker.makeHardLink("grab", "real");
    const std::string log = testing::internal::GetCapturedStdout();
    struct stat st;
    ASSERT_EQ(stat((tmp / "secret").c_str(), &st), 0);
    EXPECT_EQ(std::make_tuple(linked, exists(tmp / "out/grab"), st.st_nlink, log),
              std::make_tuple(brn::MakeOutcome::kNotMadeHere, false, nlink_t(2),
                              "tar: grab: refusing a hard link to real: not a file this archive made\n"s));
}

TEST(TarReaderTest, ResultsOfFinishAndBadCalls) {
    TempDir tmp;
    for (size_t zeros : {0, 1, 20}) {
        EXPECT_EQ(extractInto(tmp.path(), file("a", "a") + zeroBlocks(zeros)).finished, 0);
    }
    EXPECT_EQ(extractInto(tmp.path(), file("cut", std::string(1000, 'c')).substr(0, 1024)).finished, -1);
    // The largest size is accepted, and its data is missing.
    const Extraction max = extractInto(tmp.path(), patched(header("max", '0', 0), 124, "37777777777"));
    EXPECT_EQ(std::tie(max.results, max.finished), std::make_tuple(std::vector<int>{512}, -1));
    brn::CTarReader reader;
    EXPECT_EQ(std::make_tuple(reader.update("x", 1), reader.init(nullptr), reader.update("x", 1)),
              std::make_tuple(-1, -1, -1));
    brn::CListingEntryMaker maker("");
    ASSERT_EQ(reader.init(&maker), 0);
    EXPECT_EQ(std::make_tuple(reader.update(nullptr, 1), reader.update("x", 0)), std::make_tuple(-3, -3));
}

// With keepPermissions each file and folder gets the mode of the last entry of its name,
// however it is spelled, and never set-ID or sticky bits.
TEST(TarReaderTest, KeptModesAreThoseOfTheLastEntryOfEachName) {
    TempDir tmp;
    auto mode = [](std::string block, const char* octal) { return patched(std::move(block), 100, octal); };
    struct Row { std::string archive, modes; };
    const std::vector<Row> rows = {
        {mode(header("d/", '5', 0), "0000500") + mode(header("./d", '5', 0), "0000755"), "./d 755\n"},
        {mode(header("d", '5', 0), "0000755") + mode(header("d//", '5', 0), "0000500"), "./d 500\n"},
        {mode(header("a/b/", '5', 0), "0000500") + mode(header("a/", '5', 0), "0000700") +
             mode(header("a", '5', 0), "0000600"), "./a 600\n./a/b 500\n"},
        {mode(header("s/", '5', 0), "0001777") + mode(header("g/", '5', 0), "0002700"), "./g 700\n./s 777\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.modes);
        shell("rm -rf " + quote(tmp / "out") + " && mkdir " + quote(tmp / "out"));
        const velk::CUniqueFd root(open((tmp / "out").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        brn::CDiskEntryMaker maker(root.get(), tmp / "out/");
        maker.keepPermissions(true);
        const Extraction run = extract(row.archive + zeroBlocks(2), maker);
        EXPECT_EQ(std::make_tuple(run.finished, maker.applyPermissions()), std::make_tuple(0, 0)) << run.log;
        EXPECT_EQ(shell("cd " + quote(tmp / "out") + " && find . -mindepth 1 ! -type l -printf '%p %m\\n' | sort"),
                  row.modes);
    }
}

// The descriptors this process has open.
size_t openDescriptors() { return size_t(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {})); }

// Every cause of a failed stream is recorded where it is found, whatever the slicing, and
// no file is left open, however the stream ends.
TEST(TarReaderTest, EachFailureRecordsItsCause) {
    TempDir tmp;
    using brn::TarError;
    enum Fault { kNoFault, kWriteFault, kCloseFault };
    struct Row { std::string archive; TarError error; Fault fault = kNoFault; };
    const std::vector<Row> rows = {
        {file("ok", "x") + zeroBlocks(2), TarError::kNone},
        {patched(zeroBlocks(1), 300, "x"), TarError::kBadHeader},
        {header("q", 'Q', 0), TarError::kUnknownFlag},
        {header("l", '2', 0, ""), TarError::kEmptyLinkTarget},
        {header("h", '1', 0, ""), TarError::kEmptyLinkTarget},
        {patched(header("big", '0', 0), 124, "\x80" + std::string(10, '\0') + "\x05"), TarError::kBadSize},
        {header("a/../x", '0', 0), TarError::kDotDot},
        {header("h", '1', 0, "a/../x"), TarError::kDotDot},
        {header("l", '2', 0, tmp.path()) + file("l/x", "e"), TarError::kThroughLink},
        {header("d", '5', 0) + file("d", "x"), TarError::kMakeFailed},
        {header("fifo", '6', 0), TarError::kFifo},
        {header("c", '3', 0), TarError::kCharDevice},
        {header("b", '4', 0), TarError::kBlockDevice},
        {header("s", 'S', 0), TarError::kSparseFile},
        {extension('x', record("GNU.sparse.map", "0,1")) + file("s", "x"), TarError::kSparseFile},
        {header("d", 'D', 0), TarError::kDumpDir},
        {header("v", 'V', 0), TarError::kVolumeLabel},
        {header("m", 'M', 0), TarError::kMultiVolume},
        {header("a", 'A', 0), TarError::kSolarisAcl},
        {extension('x', "4 x\n"), TarError::kBadExtension},
        {extension('x', record("path", "p")) + zeroBlocks(2), TarError::kBadExtension},
        {extension('g', std::string(65537, 'g')), TarError::kLongExtension},
        {header("h", '1', 0, "missing"), TarError::kHardLinkTarget},
        {withChecksumField(file("s", "x"), "0000000\0"s), TarError::kBadChecksum},
        {extension('x', record("path", std::string(256, 'n'))) + file("f", "x"), TarError::kLongName},
        {extension('x', record("linkpath", std::string(4096, 't'))) + header("l", '2', 0, "t"),
         TarError::kLongLinkTarget},
        {header(".", '2', 0, "t"), TarError::kNamesRoot},
        {file("w", std::string(600, 'w')), TarError::kWriteFailed, kWriteFault},
        {file("c", "data"), TarError::kCloseFailed, kCloseFault},
        {file("e", ""), TarError::kCloseFailed, kCloseFault},
        {zeroBlocks(2) + header("late", '0', 0), TarError::kDataAfterEnd},
        {file("cut", std::string(1000, 'c')).substr(0, 1024), TarError::kEndsInsideEntry},
        {extension('x', record("path", "p")), TarError::kEndsInsideEntry},
        {extension('L', std::string(600, 'n')).substr(0, 1024), TarError::kEndsInsideEntry},
    };
    const size_t descriptors = openDescriptors();
    for (const Row& row : rows) {
        for (size_t slice : {row.archive.size(), size_t(1), size_t(511)}) {
            SCOPED_TRACE(std::string(brn::describe(row.error)) + " in slices of " + std::to_string(slice));
            shell("rm -rf " + quote(tmp / "out") + " && mkdir " + quote(tmp / "out"));
            const Extraction run =
                extractInto(tmp / "out", row.archive, fixedSlices(row.archive.size(), slice), [&](ProbeMaker& m) {
                    m.failWrites = row.fault == kWriteFault;
                    m.failCloses = row.fault == kCloseFault;
                });
            EXPECT_EQ(std::make_tuple(run.error, openDescriptors()), std::make_tuple(row.error, descriptors));
        }
    }
}

// Whatever a maker gives for an entry, the reader records its own cause for it: a maker's
// write failure is no refused hard link, a path refused for safety stays one (velk-inspect's
// status 4), and every other outcome is an entry that could not be made.
TEST(TarReaderTest, EachMakerOutcomeIsOneCause) {
    using brn::MakeOutcome;
    using brn::TarError;
    struct OutcomeMaker : brn::CEntryMaker {
        MakeOutcome given = MakeOutcome::kOk;
        MakeOutcome openFile(const std::string&, uint32_t, int& handle) override { return handle = 0, given; }
        MakeOutcome write(int, const char*, size_t) override { return MakeOutcome::kOk; }
        MakeOutcome closeFile(int, const std::string&) override { return MakeOutcome::kOk; }
        MakeOutcome makeSymlink(const std::string&, const std::string&) override { return given; }
        MakeOutcome makeHardLink(const std::string&, const std::string&) override { return given; }
        MakeOutcome makeDirectory(const std::string&, uint32_t) override { return given; }
    };
    const std::pair<MakeOutcome, TarError> kCauses[] = {
        {MakeOutcome::kOk, TarError::kNone},
        {MakeOutcome::kDotDot, TarError::kDotDot},
        {MakeOutcome::kThroughLink, TarError::kThroughLink},
        {MakeOutcome::kNoParent, TarError::kMakeFailed},
        {MakeOutcome::kFolderFailed, TarError::kMakeFailed},
        {MakeOutcome::kCreateFailed, TarError::kMakeFailed},
        {MakeOutcome::kNamesRoot, TarError::kNamesRoot},
        {MakeOutcome::kNotMadeHere, TarError::kHardLinkTarget},
        {MakeOutcome::kWriteFailed, TarError::kWriteFailed},
        {MakeOutcome::kCloseFailed, TarError::kCloseFailed},
        {MakeOutcome::kBadHandle, TarError::kMakeFailed},
        {MakeOutcome::kNotLinked, TarError::kMakeFailed},
    };
    const std::string kEntries[] = {file("f", "x"), header("d", '5', 0), header("l", '2', 0, "t"),
                                    header("h", '1', 0, "f")};
    for (const auto& [outcome, cause] : kCauses) {
        for (const std::string& entry : kEntries) {
            OutcomeMaker maker;
            maker.given = outcome;
            const Extraction run = extract(entry + zeroBlocks(2), maker);
            EXPECT_EQ(run.error, cause) << brn::describe(cause) << " for entry " << entry.substr(0, 1);
        }
    }
}

// Whole blocks of one piece are one write, a split block one of its own; a failed write keeps what fitted.
TEST(TarReaderTest, PiecesAreWrittenAtOnce) {
    TempDir tmp;
    const std::string big = seededBytes(70000, 3), bigArchive = file("big", big) + file("s", "s") + zeroBlocks(2);
    const size_t n = bigArchive.size();
    struct Piece { std::vector<size_t> slices, writes; };
    const std::vector<Piece> pieces = {
        {{n}, {70000, 1}},
        {fixedSlices(n, 16384), {15872, 16384, 16384, 16384, 4976, 1}},
        {{1000, n - 1000}, {512, 69488, 1}},  // the block split at 1000 is assembled, written alone
    };
    for (const Piece& piece : pieces) {
        std::vector<size_t> writes;
        const Extraction run =
            extractInto(tmp.path(), bigArchive, piece.slices, [&](ProbeMaker& m) { m.writesTo = &writes; });
        EXPECT_EQ(std::tie(run.results, writes),
                  std::make_tuple(std::vector<int>(piece.slices.begin(), piece.slices.end()), piece.writes));
        EXPECT_EQ(readFile(tmp / "big"), big);
    }
    struct rlimit saved, small;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    small = {3000, saved.rlim_max};
    void (*handler)(int) = signal(SIGXFSZ, SIG_IGN);  // writes past the limit fail with EFBIG
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const Extraction cut = extractInto(tmp.path(), bigArchive);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, handler);
    EXPECT_EQ(std::make_tuple(cut.results, readFile(tmp / "big")),
              std::make_tuple(std::vector<int>{-5}, big.substr(0, 3000)));
}

}  // namespace
