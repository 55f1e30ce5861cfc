// velk-inspect as a program: listing against GNU tar's, JSON read by python3, verdicts against
// velk-unpack's on damaged and hostile files, and escaping. Its progress line: ProgramTest.
#include <gtest/gtest.h>

#include <tuple>

#include "tests/support/Scene.h"

using namespace velktest;
using namespace std::string_literals;

#define EXPECT_HAS(text, part) EXPECT_NE((text).find(part), std::string::npos) << (part) << " in:\n" << (text)

namespace {

// velk-inspect's statuses (app/VelkInspect.h) and velk-unpack's, as the shell sees them.
constexpr int kOk = 0, kUnreadable = 2, kDamaged = 3, kUnsafe = 4, kNoVersion = 5;
#if defined(VELK_SANITIZE_BUILD) || defined(VELK_EMULATED)
constexpr size_t kSweepStride = 23;  // sanitized or emulated programs start slowly
#else
constexpr size_t kSweepStride = 5;
#endif

// python3 tarfile's ustar archive of lines "kind name [link]": f (holds its name), d, l, h; \x escapes.
const char* const kTarMaker = R"(import io, sys, tarfile
with tarfile.open(sys.argv[1], "w", format=tarfile.USTAR_FORMAT) as t:
    for kind, name, *link in (l.encode().decode("unicode_escape").split(" ") for l in sys.stdin.read().splitlines()):
        i, data = tarfile.TarInfo(name), name.encode("utf-8", "surrogateescape") if kind == "f" else b""
        i.type, i.linkname, i.mode, i.size = dict(f=b"0", d=b"5", l=b"2", h=b"1")[kind], "".join(link), 0o640, len(data)
        t.addfile(i, io.BytesIO(data))
)";

// Facts of a JSON report, one line each.
const char* const kJsonFacts = R"(import json, sys; d = json.load(sys.stdin); print("status", d["status"], d["verdict"])
for p in d["packages"]:
    print("package", p["index"], p["offset"], p.get("label"), p.get("plvs"), p.get("payloadLength"), p["verdict"])
    for e in p["entries"]: print(e["type"] + e["mode"], e["size"], ascii(e["name"]), ascii(e["target"]))
)";

std::string flip(std::string b, size_t at, int bits) { return b[at] = char(b[at] ^ bits), b; }

struct RunResult { int status = -1; std::string out, err; };

class VelkInspectTest : public ::testing::Test {
protected:
    void SetUp() override {
        s.sh("mkdir -p work outside damaged tree/etc/conf.d tree/bin tree/pub && printf 'x=1\\n' >"
             " tree/etc/conf.d/a.conf && : > tree/etc/empty && chmod 2750 tree/etc/conf.d && ln -s /usr/lib/os-release"
             " tree/abs && printf '#!/bin/sh\\n' > tree/bin/run && chmod 4755 tree/bin/run && chmod 1777 tree/pub &&"
             " ln -s etc/conf.d tree/conf && printf keep > outside/sentinel");
        writeFile(s / "tree/blob.bin", seededBytes(300000, 21));
        s.sh(std::string(kTar) + " -C tree -cf content.tar .");
    }

    std::string pack(int seed, const std::string& source, const std::string& info = "{\"PLVS\":\"1\"}") {
        const std::string n = std::to_string(seed);
        s.sh(refPacker() + " --label L" + n + " --info " + quote(info) + " --seed " + n + " " + source + " -o p.velk");
        return readFile(s / "p.velk");
    }
    std::string hostile(const std::string& entries) {  // a package of kTarMaker's archive
        writeFile(s / "entries", entries);
        s.sh(quote(python()) + " -c " + quote(kTarMaker) + " h.tar < entries");
        return pack(5, "--tar h.tar");
    }
    RunResult inspect(const std::string& args) {  // in the empty folder `work`; output stays in `out`
        const int status = shellStatus(s.cd() + "cd work && " + VELK_INSPECT + " " + args + " > ../out 2> ../err");
        return {status, readFile(s / "out"), readFile(s / "err")};
    }
    int unpack(const std::string& source) { return s.unpackSh(source + " dest version"); }
    std::string jsonFacts(const std::string& file) {
        inspect("--json " + file);
        return s.sh(quote(python()) + " -c " + quote(kJsonFacts) + " < out");
    }

    Scene s;
};

TEST_F(VelkInspectTest, ListsLikeTarReadsTheHeadsAndEscapesNames) {
    const std::string first = pack(1, "--tar content.tar", "{\"PLVS\":\"1.0\"}"), offset = std::to_string(first.size());
    const std::string second = pack(2, "--tar content.tar", "{\"x\":[1],\"PLVS\":7}");
    const std::string length = std::to_string(second.size() - 800);  // the head is 800 bytes
    writeFile(s / "both.velk", first + second);
    const RunResult run = inspect("--verify ../both.velk");
    ASSERT_EQ(run.status, kOk) << run.out << run.err;
    EXPECT_HAS(run.out, "package 1 at offset " + offset + "\n  label: L2\n  custom information: {\"x\":[1],\"PLVS\":7}"
                        "\n  PLVS: 7\n  payload length: " + length + "\n");
    EXPECT_EQ(run.out.substr(run.out.rfind("package 0 at offset 0:")),
              "package 0 at offset 0: OK\npackage 1 at offset " + offset + ": OK\nfile: OK\n");
    // Entry lines as "mode size name[ -> target]", as GNU tar -tv lists each package.
    writeFile(s / "listed", run.out);
    EXPECT_EQ(s.sh("grep -v -e '^ ' -e '^package ' -e '^file: ' -e '^$' listed | tr -s ' '"),
              s.sh("for i in 1 2; do tar -tvf content.tar --numeric-owner | awk '{$2=$4=$5=\"\"; print}';"
                    " done | tr -s ' '"));
    const std::string facts = jsonFacts("../both.velk");
    for (const std::string& fact : {"status 0 OK\npackage 0 0 L1 1.0 " + std::to_string(first.size() - 800) + " OK\n",
             "package 1 " + offset + " L2 7 " + length + " OK\n", "-rwsr-xr-x 10 './bin/run' None\n"s,
             "drwxrwxrwt 0 './pub/' None\n"s, "lrwxrwxrwx 0 './conf' 'etc/conf.d'\n"s}) {
        EXPECT_HAS(facts, fact);
    }
    // Hostile names: the reader turns a backslash in a name into a slash; a link target keeps it.
    hostile("f e\\x1b[2Jx\\nq\\\\z\nl bell \\x07\\xff\\\\\n");
    const RunResult text = inspect("../p.velk");
    EXPECT_HAS(text.out, " e\\033[2Jx\\012q/z\n");
    EXPECT_HAS(text.out, " bell -> \\007\\303\\277\\\\\n");
    EXPECT_EQ(text.out.find_first_of("\x1b\x07"), std::string::npos);
    EXPECT_HAS(jsonFacts("../p.velk"), "-rw-r----- 10 'e\\x1b[2Jx\\nq/z' None\nlrw-r----- 0 'bell' '\\x07\\xff\\\\'\n");
    // Paths over 100 bytes: tarfile puts "A/<deep>" and "B/<deep>" into the prefix field.
    const std::string deep = std::string(60, 'd') + "/" + std::string(60, 'e');
    hostile("f A/" + deep + "/config\nf B/" + deep + "/config\n");
    const std::string listed = inspect("../p.velk").out;
    EXPECT_HAS(listed, " 130 A/" + deep + "/config\n");  // a file holds its own name
    EXPECT_HAS(listed, " 130 B/" + deep + "/config\n");
}

size_t countOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// One row per verdict and reason: velk-inspect must say what velk-unpack does, and why. velk-unpack
// says why once (it stops reading at the first failure), and changes the version file only on
// success.
TEST_F(VelkInspectTest, VerdictsAndDamageSweepMatchVelkUnpack) {
    const std::string good = pack(3, "--tar content.tar");
    const std::string second = "package 0 at offset 0: OK\npackage 1 at offset " + std::to_string(good.size()) + ": ";
    s.sh("gzip -n -c content.tar > good.gz && head -c 20000 content.tar | gzip -n > cut.gz");
    const std::string gz = readFile(s / "good.gz");
    writeFile(s / "crc.gz", flip(gz, gz.size() - 8, 0x40));  // the CRC-32 in the trailer
    const std::string outsideBefore = describeTree(s / "outside");
    const std::string ok = "tgz: unpack success\r\n", fail = "tgz: unpack fail\r\n", cut = "tgz: unpack incomplete\r\n";
    s.sh(quote(python()) + " " + quote(scriptDir() + "/crafted_tars.py") + " crafted");
    const auto crafted = [this](int seed, const std::string& name) { return pack(seed, "--tar crafted/" + name + ".tar"); };
    const struct { std::string bytes, said, reason; int status = kDamaged, unpacked = kIncomplete; } cases[] = {
        {good, ok, "file: OK", kOk, 0},
        {hostile("f /abs\nf ./a/./b\nd .//c//\n"), ok, "file: OK", kOk, 0},  // stays inside
        {flip(good, good.size() - 1000, 0x10), fail, "package 0 at offset 0: FAILED: "},
        {flip(good, 100, 1), fail, "FAILED: head check mismatch"},
        {good.substr(0, good.size() - 500), cut, "FAILED: the file ends inside this package"},
        {good.substr(0, good.size() - 1), cut, "FAILED: the file ends inside this package"},  // inside the tail
        {good + good.substr(0, 900), cut, second + "FAILED: the file ends inside this package"},
        {good + "junk", cut, second + "FAILED: the file ends inside this package"},
        {good + std::string(90, 'x'), fail, second + "FAILED: no package starts here"},
        {"NOPE" + seededBytes(3 * 1024 * 1024, 4), fail, "package 0 at offset 0: FAILED: no package starts here"},
        {"", "tgz: no package in the source\r\n", "file: FAILED: no package in the file"},
        {pack(6, "--tar content.tar --payload-length-override 0"), fail, "FAILED: payload length 0"},
        {pack(7, "--gzip crc.gz"), fail, "FAILED: the end of the payload does not decode"},
        {pack(8, "--gzip cut.gz"), fail, "FAILED: the tar archive ends inside an entry"},
        {pack(9, "--tar content.tar", "[1]"), fail, "FAILED: the custom information is not a JSON object"},
        {hostile("h b a\nf a\n"), fail, "FAILED: a hard link to anything but a regular file the archive made is refused"},
        {pack(10, "--tar content.tar", "{\"PLVS\":null}"), "no PLVS version: ", "file: FAILED: no package carries a PLVS"
         " value", kNoVersion, kVersionFailed},
        {hostile("f ok\nf a/../../evil\n"), fail, "FAILED: unsafe entry path", kUnsafe},
        {hostile("d real\nl l real\nf l/x\n"), fail, "FAILED: unsafe entry path", kUnsafe},
        {good + hostile("l x /tmp\nd x/y\n"), fail, second + "FAILED: unsafe", kUnsafe},
        // Headers as both tars read them: the listing names what velk-unpack makes.
        {crafted(11, "data-as-header"), "tar: the header at offset 512 has a wrong checksum\n",
         "FAILED: a tar header whose checksum does not match"},
        {crafted(12, "two-pax-headers"), ok, " 1 own\n", kOk, 0},
        {crafted(13, "long-name-then-pax"), ok, " 1 pax-name\n", kOk, 0},
        {crafted(14, "long-link-then-pax"), ok, " l -> pax-target\n", kOk, 0},
        {crafted(15, "link-without-folder"), ok, " dir/link -> target\n", kOk, 0},
        {crafted(16, "component-of-256"), fail, "FAILED: a name component over 255 bytes is refused"},
        {crafted(17, "link-target-of-4096"), fail, "FAILED: a symbolic link target over 4095 bytes is refused"},
        {crafted(18, "contiguous-folder"), ok, "drw-r--r--            0 c7/\n", kOk, 0},
        {crafted(19, "folder-over-file"), ok, "file: OK", kOk, 0},
        {crafted(20, "hard-link-to-file-slash"), fail, "FAILED: a hard link to anything but a regular file"},
        {hostile("l . t\n"), "tar: .: refusing an entry that names dest/ itself\n",
         "FAILED: a file or link entry named as the destination itself is refused"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        writeFile(s / "in.velk", c.bytes);
        writeFile(s / "version", "old");
        const RunResult quiet = inspect("../in.velk"), run = inspect("--verify ../in.velk");
        // The libraries' messages go to standard error; the JSON document stays whole.
        EXPECT_EQ(std::make_tuple(unpack("in.velk"), quiet.status, run.status, jsonFacts("../in.velk").substr(0, 8)),
                  std::make_tuple(c.unpacked, c.status, c.status, "status " + std::to_string(c.status))) << run.err;
        EXPECT_HAS(run.out, c.reason);
        EXPECT_EQ(quiet.out.find(": OK\n"), std::string::npos) << quiet.out;
        EXPECT_EQ(describeTree(s / "work"), "");
        const std::string said = s.log();
        EXPECT_HAS(said, c.said);
        EXPECT_EQ(countOf(said, "tgz: unpack fail") + countOf(said, "tgz: unpack incomplete") +
                      countOf(said, "tgz: no package"), c.unpacked == kIncomplete ? 1u : 0u) << said;
        EXPECT_EQ(readFile(s / "version"), c.unpacked == 0 ? "1" : "old");
    }
    EXPECT_EQ(describeTree(s / "outside"), outsideBefore);
    const std::pair<std::string, int> unreadable[] = {{"missing", kNoSource}, {"outside", kNotRegular}};
    for (const auto& [name, unpackStatus] : unreadable) {
        const RunResult run = inspect("--verify ../" + name);
        EXPECT_EQ(std::make_tuple(unpack(name), run.status, run.out.substr(0, 14), run.err.find(name) < run.err.size()),
                  std::make_tuple(unpackStatus, kUnreadable, "file: FAILED: "s, true)) << run.out << run.err;
    }
    for (const char* usage : {"", "--frob ../in.velk", "../in.velk ../in.velk"}) EXPECT_EQ(inspect(usage).status, 1);
    // Cuts and one-bit flips across a small package: velk-inspect is content exactly when
    // velk-unpack is, and names a damaged package (3), never an unreadable file.
    const std::string intact = hostile("d d\nf d/f\nl l d/f\n");
    for (size_t at = 0; at < intact.size(); at += kSweepStride) {
        writeFile(s / ("damaged/cut" + std::to_string(at)), intact.substr(0, at));
        writeFile(s / ("damaged/flip" + std::to_string(at)), flip(intact, at, 1 << (at % 8)));
    }
    EXPECT_EQ(s.sh("for f in damaged/*; do " + VELK_UNPACK + " $f dest version > /dev/null 2>&1; u=$?; " VELK_INSPECT
                   " --verify $f > /dev/null 2>&1; i=$?; [ $u = 0 ] && e=0 || e=3; [ $i = $e ] || echo \"$f $u $i\";"
                   " done"), "");
}

// From a working folder that is gone a relative name, the file's or the key's, is the usage
// status and why; "../" would otherwise still reach the folder the gone one was in. An absolute
// name is read as ever.
TEST_F(VelkInspectTest, AWorkingFolderThatIsGoneResolvesNoRelativePath) {
    pack(11, "--tar content.tar");
    s.sh(quote(VELK_MINISIGN) + " -G -W -p k.pub -s k.sec > /dev/null && " + quote(VELK_MINISIGN) +
         " -S -s k.sec -m p.velk > /dev/null");
    const std::string here = s.path() + "/";
    const auto inGoneFolder = [&](const std::string& args) {
        const int status = shellStatus(s.cd() + "mkdir gone && cd gone && rmdir ../gone && " VELK_INSPECT " " + args +
                                       " > " + quote(here + "out") + " 2> " + quote(here + "err"));
        return RunResult{status, readFile(s / "out"), readFile(s / "err")};
    };
    for (const std::string& args : {"--verify ../p.velk"s, "--pubkey ../k.pub " + here + "p.velk",
                                   "--pubkey " + here + "k.pub --signature ../p.velk.minisig " + here + "p.velk"}) {
        SCOPED_TRACE(args);
        const RunResult run = inGoneFolder(args);
        EXPECT_EQ(run.status, 1) << run.out;
        EXPECT_HAS(run.err, "\nvelk-inspect: the working folder is gone: relative paths cannot be resolved\n");
        EXPECT_EQ(run.out, "");
    }
    const RunResult absolute = inGoneFolder("--verify --pubkey " + here + "k.pub " + here + "p.velk");
    EXPECT_EQ(absolute.status, kOk) << absolute.out << absolute.err;
    EXPECT_HAS(absolute.out, "\nfile: OK\n");
}

}  // namespace
