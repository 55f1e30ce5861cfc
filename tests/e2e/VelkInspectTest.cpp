// velk-inspect run as a program: its listing against GNU tar's own and the independent
// packer's head reader, its JSON document read by python3, its verdict against velk-unpack's
// on the same damaged and hostile files, escaping of hostile names, and the progress line
// on a terminal. It never makes anything in the file system.

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "tests/support/TestSupport.h"

using velktest::quote;
using velktest::shell;

namespace {

// velk-inspect's statuses (app/VelkInspect.h) and velk-unpack's, as the shell sees them.
constexpr int kOk = 0, kUnreadable = 2, kDamaged = 3, kUnsafe = 4, kNoVersion = 5;
constexpr int kUnpackNoSource = 254, kUnpackNotRegular = 252, kUnpackVersion = 250, kUnpackIncomplete = 249;
#if defined(VELK_SANITIZE_BUILD) || defined(VELK_EMULATED)
constexpr size_t kSweepStride = 23;  // sanitized programs, and every run under an emulator, start slowly
#else
constexpr size_t kSweepStride = 5;
#endif

// Writes a ustar archive with python3's tarfile: `entries` are lines "kind name [link]"
// with kind f (a file holding its own name), d, l (symbolic link), h (hard link).
const char* const kTarMaker = R"(import io, sys, tarfile
with tarfile.open(sys.argv[1], "w", format=tarfile.USTAR_FORMAT) as t:
    for line in sys.stdin.read().splitlines():
        kind, name, *link = line.split(" ")
        name = name.encode().decode("unicode_escape")
        i = tarfile.TarInfo(name)
        i.type = {"f": tarfile.REGTYPE, "d": tarfile.DIRTYPE, "l": tarfile.SYMTYPE, "h": tarfile.LNKTYPE}[kind]
        i.linkname = link[0].encode().decode("unicode_escape") if link else ""
        data = name.encode("utf-8", "surrogateescape") if kind == "f" else b""
        i.size, i.mode = len(data), 0o640
        t.addfile(i, io.BytesIO(data))
)";

// Facts of a JSON report, one line each, so they compare as text.
const char* const kJsonFacts = R"(import json, sys
doc = json.load(sys.stdin)
print("status", doc["status"], doc["verdict"])
for p in doc["packages"]:
    print("package", p["index"], p["offset"], p.get("label"), p.get("plvs"), p.get("payloadLength"), p["verdict"])
    for e in p["entries"]:
        print(e["type"] + e["mode"], e["size"], ascii(e["name"]), ascii(e["target"]))
)";

// Runs argv[3:] with standard error on a new terminal and standard output into argv[2];
// what the terminal received goes to argv[1]. Exits with the program's status.
const char* const kOnTerminal = R"(import os, pty, subprocess, sys
master, slave = pty.openpty()
with open(sys.argv[2], "wb") as out:
    run = subprocess.Popen(sys.argv[3:], stdin=subprocess.DEVNULL, stdout=out, stderr=slave)
os.close(slave)
seen = b""
while True:
    try:
        chunk = os.read(master, 65536)
    except OSError:
        break
    if not chunk:
        break
    seen += chunk
open(sys.argv[1], "wb").write(seen)
sys.exit(run.wait())
)";

struct RunResult {
    int status = -1;
    std::string out, err;
};

class VelkInspectTest : public ::testing::Test {
protected:
    void SetUp() override {
        shell("cd " + quote(dir.path()) + " && mkdir -p work outside tree/etc/conf.d tree/bin tree/pub"
              " && printf 'x=1\\n' > tree/etc/conf.d/a.conf && : > tree/etc/empty && printf '#!/bin/sh\\n' > tree/bin/run"
              " && chmod 4755 tree/bin/run && chmod 1777 tree/pub && chmod 2750 tree/etc/conf.d"
              " && ln -s etc/conf.d tree/conf && ln -s /usr/lib/os-release tree/abs && printf keep > outside/sentinel");
        velktest::writeFile(dir / "tree/blob.bin", velktest::seededBytes(300000, 21));
        velktest::writeFile(dir / "tar.py", kTarMaker);
        velktest::writeFile(dir / "facts.py", kJsonFacts);
        shell("cd " + quote(dir.path()) + " && tar --format=ustar --sort=name --mtime=@0 --owner=0 --group=0"
              " -C tree -cf content.tar .");
    }

    std::string pack(const std::string& name, const std::string& info, int seed, const std::string& source) {
        shell("cd " + quote(dir.path()) + " && " + velktest::refPacker() + " --label L" + std::to_string(seed) +
              " --info " + quote(info) + " --seed " + std::to_string(seed) + " " + source + " -o " + quote(name));
        return velktest::readFile(dir / name);
    }

    // A package holding the archive python3's tarfile makes of `entries`.
    std::string hostile(const std::string& entries) {
        velktest::writeFile(dir / "entries", entries);
        shell("cd " + quote(dir.path()) + " && " + quote(velktest::python()) + " tar.py h.tar < entries");
        return pack("h.velk", "{\"PLVS\":\"1\"}", 5, "--tar h.tar");
    }

    // velk-inspect in the empty folder `work`, with standard output and error apart.
    RunResult inspect(const std::string& args) {
        RunResult run;
        run.status = velktest::shellStatus("cd " + quote(dir / "work") + " && " + VELK_INSPECT + " " + args + " > " +
                                           quote(dir / "out") + " 2> " + quote(dir / "err"));
        run.out = velktest::readFile(dir / "out");
        run.err = velktest::readFile(dir / "err");
        return run;
    }

    int unpack(const std::string& source) {
        return velktest::shellStatus(std::string(VELK_UNPACK) + " " + quote(source) + " " + quote(dir / "dest") + " " +
                                     quote(dir / "version") + " > /dev/null 2>&1");
    }

    std::string jsonFacts(const std::string& document) {
        velktest::writeFile(dir / "doc.json", document);
        return shell(quote(velktest::python()) + " " + quote(dir / "facts.py") + " < " + quote(dir / "doc.json"));
    }

    // GNU tar's `tar -tv` lines of content.tar as "mode size name[ -> target]".
    std::vector<std::string> tarListing() {
        std::istringstream lines(shell("tar -tvf " + quote(dir / "content.tar") + " --numeric-owner"));
        std::vector<std::string> listing;
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            std::string mode, owner, size, date, time, rest;
            fields >> mode >> owner >> size >> date >> time;
            std::getline(fields >> std::ws, rest);
            listing.push_back(mode + " " + size + " " + rest);
        }
        return listing;
    }

    velktest::TempDir dir;
};

// "-rw-r--r--           12 name" -> "-rw-r--r-- 12 name"
std::vector<std::string> entryLines(const std::string& out) {
    std::istringstream lines(out);
    std::vector<std::string> entries;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == ' ' || line.compare(0, 8, "package ") == 0 || line.compare(0, 6, "file: ") == 0) {
            continue;
        }
        std::istringstream fields(line);
        std::string mode, size, rest;
        fields >> mode >> size;
        std::getline(fields >> std::ws, rest);
        entries.push_back(mode + " " + size + " " + rest);
    }
    return entries;
}

TEST_F(VelkInspectTest, ListsLikeTarAndReadsTheHeads) {
    const std::string first = pack("a.velk", "{\"PLVS\":\"1.0\"}", 1, "--tar content.tar");
    const std::string second = pack("b.velk", "{\"x\":[1],\"PLVS\":7}", 2, "--tar content.tar");
    velktest::writeFile(dir / "both.velk", first + second);
    const std::string head = shell(velktest::refPacker() + " --decode-head " + quote(dir / "both.velk") +
                                   " --offset " + std::to_string(first.size()) + " | " + quote(velktest::python()) +
                                   " -c 'import json,sys; print(json.load(sys.stdin)[\"payloadLength\"])'");
    const std::string secondLength = head.substr(0, head.find('\n'));

    const RunResult run = inspect("--verify " + quote(dir / "both.velk"));
    ASSERT_EQ(run.status, kOk) << run.out << run.err;
    const std::string offset = std::to_string(first.size());
    EXPECT_NE(run.out.find("package 1 at offset " + offset + "\n  label: L2\n  custom information: "
                           "{\"x\":[1],\"PLVS\":7}\n  PLVS: 7\n  payload length: " + secondLength + "\n"),
              std::string::npos) << run.out;
    const std::string ending = "package 0 at offset 0: OK\npackage 1 at offset " + offset + ": OK\nfile: OK\n";
    EXPECT_EQ(run.out.substr(run.out.size() - std::min(run.out.size(), ending.size())), ending);
    EXPECT_EQ(run.out.find("tgz:"), std::string::npos);
    EXPECT_EQ(run.out.find("unpack succe"), std::string::npos);
    EXPECT_EQ(run.err, "");

    const std::vector<std::string> once = tarListing();
    std::vector<std::string> twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(entryLines(run.out), twice);

    // The JSON document carries the same facts.
    const RunResult json = inspect("--json " + quote(dir / "both.velk"));
    ASSERT_EQ(json.status, kOk) << json.err;
    const std::string facts = jsonFacts(json.out);
    EXPECT_NE(facts.find("status 0 OK\npackage 0 0 L1 1.0 " + std::to_string(first.size() - 800) + " OK\n"),
              std::string::npos) << facts;
    EXPECT_NE(facts.find("package 1 " + offset + " L2 7 " + secondLength + " OK\n"), std::string::npos) << facts;
    EXPECT_NE(facts.find("-rwsr-xr-x 10 './bin/run' None\n"), std::string::npos) << facts;
    EXPECT_NE(facts.find("drwxrwxrwt 0 './pub/' None\n"), std::string::npos) << facts;
    EXPECT_NE(facts.find("lrwxrwxrwx 0 './conf' 'etc/conf.d'\n"), std::string::npos) << facts;
    EXPECT_NE(facts.find("-rw-r--r-- 300000 './blob.bin' None\n"), std::string::npos) << facts;
    EXPECT_EQ(velktest::describeTree(dir / "work"), "");
}

// Each file gets both programs; velk-inspect must say what velk-unpack does, and why.
TEST_F(VelkInspectTest, VerdictsMatchVelkUnpack) {
    const std::string good = pack("g.velk", "{\"PLVS\":\"3\"}", 3, "--tar content.tar");
    std::string flipped = good, badHead = good;
    flipped[good.size() - 1000] ^= 0x10;
    badHead[100] ^= 1;
    const std::string outsideBefore = velktest::describeTree(dir / "outside");
    shell("cd " + quote(dir.path()) + " && gzip -n -c content.tar > good.gz && head -c 20000 content.tar | gzip -n"
          " > cut.gz");
    std::string gz = velktest::readFile(dir / "good.gz");
    gz[gz.size() - 8] ^= 0x40;  // the first byte of the CRC-32 in the trailer
    velktest::writeFile(dir / "crc.gz", gz);
    const struct {
        const char* name;
        std::string bytes;
        int unpackStatus, inspectStatus;
        std::string reason;
    } cases[] = {
        {"whole", good, 0, kOk, "file: OK"},
        {"two packages", good + pack("n.velk", "{\"PLVS\":\"4\"}", 4, "--tar content.tar"), 0, kOk, "file: OK"},
        {"absolute and dotted names stay inside", hostile("f /abs\nf ./a/./b\nd .//c//\n"), 0, kOk, "file: OK"},
        {"payload byte flipped", flipped, kUnpackIncomplete, kDamaged, "package 0 at offset 0: FAILED: "},
        {"head check", badHead, kUnpackIncomplete, kDamaged, "FAILED: head check mismatch"},
        {"ends inside the payload", good.substr(0, good.size() - 500), kUnpackIncomplete, kDamaged,
         "package 0 at offset 0: FAILED: the file ends inside this package"},
        {"second package cut", good + good.substr(0, 700), kUnpackIncomplete, kDamaged,
         "package 0 at offset 0: OK\npackage 1 at offset " + std::to_string(good.size()) +
             ": FAILED: the file ends inside this package"},
        {"junk behind", good + std::string(90, 'x'), kUnpackIncomplete, kDamaged,
         "package 1 at offset " + std::to_string(good.size()) + ": FAILED: no package starts here"},
        {"empty file", "", kUnpackIncomplete, kDamaged, "file: FAILED: no package in the file"},
        {"payload length 0", pack("z.velk", "{\"PLVS\":\"1\"}", 6, "--tar content.tar --payload-length-override 0"),
         kUnpackIncomplete, kDamaged, "FAILED: payload length 0"},
        {"gzip trailer", pack("c.velk", "{\"PLVS\":\"1\"}", 7, "--gzip crc.gz"), kUnpackIncomplete, kDamaged,
         "FAILED: the end of the payload does not decode"},
        {"tar cut inside an entry", pack("t.velk", "{\"PLVS\":\"1\"}", 8, "--gzip cut.gz"), kUnpackIncomplete,
         kDamaged, "FAILED: the tar archive ends inside an entry"},
        {"custom information not an object", pack("j.velk", "[1]", 9, "--tar content.tar"), kUnpackIncomplete,
         kDamaged, "FAILED: the custom information is not a JSON object"},
        {"hard link", hostile("f a\nh b a\n"), kUnpackIncomplete, kDamaged, "refused"},
        {"no PLVS", pack("v.velk", "{\"PLVS\":null}", 10, "--tar content.tar"), kUnpackVersion, kNoVersion,
         "file: FAILED: no package carries a PLVS value"},
        {"dot-dot name", hostile("f ok\nf a/../../evil\n"), kUnpackIncomplete, kUnsafe, "FAILED: unsafe entry path"},
        {"through a link", hostile("l up ..\nf up/evil\n"), kUnpackIncomplete, kUnsafe, "FAILED: unsafe entry path"},
        {"through a link to a folder", hostile("d real\nl l real\nf l/x\n"), kUnpackIncomplete, kUnsafe,
         "FAILED: unsafe entry path"},
        {"unsafe in the second package", good + hostile("l x /tmp\nd x/y\n"), kUnpackIncomplete, kUnsafe,
         "package 0 at offset 0: OK\npackage 1 at offset " + std::to_string(good.size()) + ": FAILED: unsafe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        velktest::writeFile(dir / "in.velk", c.bytes);
        EXPECT_EQ(unpack(dir / "in.velk"), c.unpackStatus);
        const RunResult run = inspect("--verify " + quote(dir / "in.velk"));
        EXPECT_EQ(run.status, c.inspectStatus) << run.out << run.err;
        EXPECT_NE(run.out.find(c.reason), std::string::npos) << run.out;
        const RunResult quiet = inspect(quote(dir / "in.velk"));
        EXPECT_EQ(quiet.status, c.inspectStatus);
        EXPECT_EQ(quiet.out.find(": OK\n"), std::string::npos) << quiet.out;
        // The libraries' messages go to standard error; the document stays whole.
        const RunResult json = inspect("--json " + quote(dir / "in.velk"));
        EXPECT_EQ(jsonFacts(json.out).substr(0, 9), "status " + std::to_string(c.inspectStatus) + " ");
        EXPECT_EQ(velktest::describeTree(dir / "work"), "");
    }
    EXPECT_EQ(velktest::describeTree(dir / "outside"), outsideBefore);

    const struct {
        std::string path;
        int unpackStatus;
    } unreadable[] = {{dir / "missing", kUnpackNoSource}, {dir / "outside", kUnpackNotRegular}};
    for (const auto& u : unreadable) {
        EXPECT_EQ(unpack(u.path), u.unpackStatus);
        const RunResult run = inspect("--verify " + quote(u.path));
        EXPECT_EQ(run.status, kUnreadable) << run.out;
        EXPECT_EQ(run.out.compare(0, 14, "file: FAILED: "), 0) << run.out;
        EXPECT_NE(run.err.find(u.path), std::string::npos);
    }
    EXPECT_EQ(inspect("").status, 1);
    EXPECT_EQ(inspect("--frobnicate " + quote(dir / "g.velk")).status, 1);
    EXPECT_EQ(inspect(quote(dir / "g.velk") + " " + quote(dir / "g.velk")).status, 1);
}

// Cuts and one-bit flips across a small package: velk-inspect is content exactly when
// velk-unpack is, and names a damaged package, never an unreadable file.
TEST_F(VelkInspectTest, DamageSweepAgreesWithVelkUnpack) {
    shell("cd " + quote(dir.path()) + " && mkdir -p s/d && printf 'hello\\n' > s/d/f && ln -s d/f s/l && tar"
          " --format=ustar --sort=name --mtime=@0 --owner=0 --group=0 -C s -cf s.tar . && mkdir damaged");
    const std::string intact = pack("s.velk", "{\"PLVS\":\"1\"}", 11, "--tar s.tar");
    size_t count = 0;
    for (size_t at = 0; at < intact.size(); at += kSweepStride, count += 2) {
        velktest::writeFile(dir / ("damaged/cut" + std::to_string(at)), intact.substr(0, at));
        std::string flipped = intact;
        flipped[at] = char(flipped[at] ^ (1 << (at % 8)));
        velktest::writeFile(dir / ("damaged/flip" + std::to_string(at)), flipped);
    }
    const std::string verdicts = shell(
        "cd " + quote(dir.path()) + " && for f in damaged/*; do " + VELK_UNPACK + " $f dest version > /dev/null 2>&1;"
        " u=$?; " + VELK_INSPECT + " --verify $f > /dev/null 2>&1; echo \"$f $u $?\"; done");
    std::istringstream lines(verdicts);
    size_t seen = 0;
    for (std::string name; lines >> name; ++seen) {
        int unpacked = -1, inspected = -1;
        lines >> unpacked >> inspected;
        SCOPED_TRACE(name);
        EXPECT_EQ(unpacked == 0, inspected == kOk) << unpacked << " " << inspected;
        EXPECT_TRUE(inspected == kOk || inspected == kDamaged) << inspected;
    }
    EXPECT_EQ(seen, count);
}

TEST_F(VelkInspectTest, HostileNamesAreEscapedInTextAndExactInJson) {
    // The reader turns a backslash in a name into a slash; a link target keeps it.
    velktest::writeFile(dir / "h.velk", hostile("f e\\x1b[2Jx\\nq\\\\z\nl bell \\x07\\xff\\\\\n"));
    const RunResult run = inspect(quote(dir / "h.velk"));
    ASSERT_EQ(run.status, kOk) << run.err;
    EXPECT_NE(run.out.find(" e\\033[2Jx\\012q/z\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(" bell -> \\007\\303\\277\\\\\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(run.out.find('\x07'), std::string::npos);
    const std::string facts = jsonFacts(inspect("--json " + quote(dir / "h.velk")).out);
    EXPECT_NE(facts.find("-rw-r----- 10 'e\\x1b[2Jx\\nq/z' None\n"), std::string::npos) << facts;
    EXPECT_NE(facts.find("lrw-r----- 0 'bell' '\\x07\\xff\\\\'\n"), std::string::npos) << facts;
}

// A file above 8 MiB verified with standard error on a terminal shows a progress line that
// is blanked at the end; without --verify, or off a terminal, nothing is shown.
TEST_F(VelkInspectTest, ProgressLineOnlyOnATerminal) {
    shell("mkdir -p " + quote(dir / "big"));
    velktest::writeFile(dir / "big/random.bin", velktest::seededBytes(9 * 1024 * 1024, 31));
    shell(std::string(VELK_PACK) + " --label big --info '{\"PLVS\":\"9\"}' --seed 3 -o " + quote(dir / "big.velk") +
          " " + quote(dir / "big"));
    velktest::writeFile(dir / "term.py", kOnTerminal);
    const auto onTerminal = [this](const std::string& options) {
        const int status = velktest::shellStatus(quote(velktest::python()) + " " + quote(dir / "term.py") + " " +
                                                 quote(dir / "tty") + " " + quote(dir / "out") + " " + VELK_INSPECT +
                                                 " " + options + " " + quote(dir / "big.velk"));
        EXPECT_EQ(status, kOk);
        return velktest::readFile(dir / "tty");
    };
    const std::string shown = onTerminal("--verify");
    EXPECT_EQ(shown.compare(0, 6, "\rread "), 0) << shown;
    EXPECT_NE(shown.find(" MB/s"), std::string::npos);
    const size_t last = shown.rfind("\rread ");
    ASSERT_NE(last, std::string::npos);
    const std::string blank = shown.substr(shown.find('\r', last + 1));
    EXPECT_EQ(blank, "\r" + std::string(blank.size() - 2, ' ') + "\r");
    EXPECT_GE(blank.size() - 2, shown.find('\r', last + 1) - last);
    EXPECT_NE(velktest::readFile(dir / "out").find("file: OK\n"), std::string::npos);

    EXPECT_EQ(onTerminal(""), "");
    EXPECT_EQ(inspect("--verify " + quote(dir / "big.velk")).err, "");
}

}  // namespace
