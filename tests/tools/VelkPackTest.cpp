// velk-pack read back by tools that share no code with it: the Python reference script reads
// the head, python3-cryptography deciphers the payload, gzip inflates it, GNU tar extracts it,
// minisign checks the signature.

#include <gtest/gtest.h>

#include <ctime>
#include <sstream>
#include <string>
#include <tuple>

#include "tests/support/TestSupport.h"
#include "tools/velk-pack/TarNameCheck.h"

namespace {

using velktest::quote;
using velktest::shell;

// On --decode-head's JSON: "- NAME..." prints NAME=value lines, "PACKAGE" deciphers the payload.
constexpr const char* kReader = R"(from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
import json, sys; h = json.load(sys.stdin)
if sys.argv[1] == '-': print(''.join(f'{k}={h[k]}\n' for k in sys.argv[2:]), end=''); sys.exit()
f = open(sys.argv[1], 'rb'); f.seek(h['payloadOffset'])
d = Cipher(algorithms.AES(bytes.fromhex(h['key'])), modes.CFB(bytes.fromhex(h['iv']))).decryptor()
sys.stdout.buffer.write(d.update(f.read(h['payloadLength'])) + d.finalize()))";

std::string reader(const std::string& package, const std::string& args) {
    return shell(velktest::refPacker() + " --decode-head " + quote(package) + " | " + quote(velktest::python()) +
                 " -c " + quote(kReader) + " " + args);
}

// The payload deciphered and gunzipped, or what the shell command `then` makes of that.
std::string payload(const std::string& package, const std::string& then = "") {
    return reader(package, quote(package) + " | gzip -dc" + then);
}

struct VelkPackTest : ::testing::Test {
    void SetUp() override {
        // Every kind of entry, odd modes, dangling links, names and link targets of 100 bytes, sizes around 512,
        // and paths of 105, 196 and 200 bytes that only the prefix field holds.
        shell("mkdir -p " + quote(tree + "/s/d/e") + " " + quote(tree + "/" + longDir) + " && cd " + quote(tree) +
              " && : > empty && seq 3 > a && seq 4 > x && chmod 755 x && chmod 640 a && chmod 700 s/d && chmod 1755"
              " s/d/e && ln -s ../a s/l && ln -s /no y && ln -s " + std::string(100, 't') + " t && : > " +
              std::string(100, 'n') + " && for n in 511 512 513; do seq $n | head -c $n > \"f $n\"; done &&"
              " seq 99999 | head -c 300000 > s/big && seq 700 > " + quote(longDir + "/leaf"));
    }

    // Runs `prefix` velk-pack `args` in one shell; what it prints lands in `output`.
    int pack(const std::string& args, const std::string& prefix = "") {
        int status = velktest::shellStatus(prefix + VELK_PACK + " " + args + " > " + quote(dir / "log") + " 2>&1");
        output = velktest::readFile(dir / "log");
        return status;
    }

    velktest::TempDir dir;
    std::string tree = dir / "tree";
    std::string longDir = "deep/" + std::string(99, 'q') + "/" + std::string(90, 'r');
    std::string output;
    const std::string minisign = quote(VELK_MINISIGN);

    // k.pub and k.sec in dir, made by minisign without a password.
    void makeKey() { shell("cd " + quote(dir.path()) + " && " + minisign + " -G -W -p k.pub -s k.sec > /dev/null"); }

    // The temporary files left anywhere in dir, one path a line.
    std::string temporaries() { return shell("cd " + quote(dir.path()) + " && find . -name '.*.velk-pack'"); }
};

// Longest label and info; the package is written inside its own source and must leave itself out.
TEST_F(VelkPackTest, PackageReadsBackWithIndependentTools) {
    const std::string label(63, 'l'), info = "{\"PLVS\":\"" + std::string(244, '9') + "\"}";
    const std::string before = velktest::describeTree(tree), package = tree + "/self.velk", out = quote(dir / "out");
    // GNU tar's archive of the tree: sorted names, owner 0 without names, mtime 0, 512-byte records.
    const std::string gnuTar = shell("cd " + quote(tree) + " && find . -mindepth 1 -maxdepth 1 -printf '%P\\0' |"
                                     " LC_ALL=C sort -z | LC_ALL=C tar --format=ustar --sort=name --mtime=@0 --owner=0"
                                     " --group=0 --numeric-owner -b 1 --null -T - -cf -");
    ASSERT_EQ(pack("--label " + label + " --info " + quote(info) + " --seed 5 --print-key -o " + quote(package) + " " +
                   quote(tree)), 0) << output;
    EXPECT_EQ(reader(package, "- magicOk checkOk next labelHex infoHex"),
              "magicOk=True\ncheckOk=True\nnext=" + std::to_string(velktest::readFile(package).size()) + "\nlabelHex=" +
                  velktest::toHex(label) + "\ninfoHex=" + velktest::toHex(info) + "\n");
    EXPECT_EQ(output, reader(package, "- key iv payloadOffset payloadLength"));
    std::string tarBytes = payload(package);
    payload(package, " | (mkdir " + out + " && tar -x -C " + out + ")");
    EXPECT_EQ(velktest::describeTree(dir / "out"), before);
    EXPECT_TRUE(tarBytes == gnuTar) << "not byte for byte what GNU tar makes of the tree";
}

// Not a multiple of 512, not even a tar archive: taken as is. The same seed (1 by default) makes
// the same package; another draws another salt and tail.
TEST_F(VelkPackTest, TarFileIsTakenAsIs) {
    const std::string content = velktest::seededBytes(70001, 77), src = quote(dir / "given.tar");
    velktest::writeFile(dir / "given.tar", content);
    for (const char* outSeed : {"/0", "/1 --seed 1", "/2 --seed 2"})
        ASSERT_EQ(pack("--label L --info '{}' --level 1 " + src + " -o " + quote(dir.path()) + outSeed), 0) << output;
    const std::string one = velktest::readFile(dir / "0"), two = velktest::readFile(dir / "2");
    EXPECT_EQ(payload(dir / "0"), content);
    EXPECT_EQ(velktest::readFile(dir / "1"), one);
    EXPECT_TRUE(one.substr(16, 64) != two.substr(16, 64) && one.substr(one.size() - 32) != two.substr(two.size() - 32));
    EXPECT_EQ(pack("--label L --info '{}' -o " + src + " " + src), 2);
    EXPECT_NE(output.find("would overwrite its source"), std::string::npos) << output;
    EXPECT_EQ(velktest::readFile(dir / "given.tar"), content);
}

TEST_F(VelkPackTest, RefusesWhatCannotBePackedAndLeavesNoFile) {
    shell("cd " + quote(dir.path()) + " && mkdir -p d/" + std::string(100, 'd') + " l f b s/x &&"
          " ln -s " + std::string(101, 't') + " l/l && mkfifo f/f && : > 'b/a\\b' && : > s/x/" + std::string(101, 'n'));
    makeKey();
    const std::string ok = "--label L --info '{}' ", src = quote(tree), out = dir / "out.velk";
    const std::string sign = ok + "--sign " + quote(dir / "k.sec") + " ";
    const struct { std::string args; std::string message; int status; std::string prefix = ""; } cases[] = {
        {"--label " + std::string(64, 'l') + " --info '{}' " + src, "label longer than 63 bytes", 1},
        {"--label L --info " + std::string(256, 'i') + " " + src, "custom information longer than 255 bytes", 1},
        // A folder's name ends in a slash, which must not cut it; nor may a cut leave more than 100 bytes.
        {ok + quote(dir / "d"), "name longer than 100 bytes", 1},
        {ok + quote(dir / "s"), "x/" + std::string(101, 'n') + ": name longer than 100 bytes, and no slash", 1},
        {ok + quote(dir / "l"), "link target longer than 100 bytes", 1},
        {ok + quote(dir / "f"), "not a regular file, directory or symbolic link", 1},
        {ok + quote(dir / "b"), "b/a\\b: backslash in a name (unpacking reads it as a slash; --keep-backslashes", 1},
        {ok + quote(dir / "missing"), "No such file or directory", 1},
        {ok + "-o " + quote(dir / "f/f") + " " + src, "f/f: not a regular file: the package must be written to one", 2},
        {ok + "-o " + quote(dir.path() + "/") + " " + src, "names a folder, not the package file", 2},
        // OUT.minisig would pass the longest name a folder may hold: found before anything is made.
        {sign + "-o " + quote(dir / std::string(255, 'o')) + " " + src, ".minisig: cannot look at it: File name too long",
         1},
        // A size limit lets the head fit but not the payload; ignoring SIGXFSZ makes that EFBIG.
        {ok + src, out + ": cannot write: File too large", 1, "trap '' XFSZ; ulimit -f 4; "},
        {ok + "--level 10 " + src, "--level needs a number from 0 to 9", 2},
        {ok + "--seed -1 " + src, "--seed needs a number", 2},
        {"--label L " + src, "--label and --info are required", 2},
        {ok + "--bogus 1 " + src, "unknown option --bogus", 2},
        // Options fail closed: a second -o never silently wins, an empty value never means none.
        {ok + "-o " + quote(dir / "other.velk") + " " + src, "-o is given twice", 2},
        {ok + src + " --seed 1 --seed 2", "--seed is given twice", 2},
        {"--label '' --info '{}' " + src, "--label needs a value that is not empty", 2},
        {ok + "--sign " + quote(dir / "k.pub") + " " + src, "k.pub: not a minisign secret key", 1},
        {ok + "--trusted-comment t " + src, "--trusted-comment needs --sign", 2},
        {sign + "--trusted-comment 'a\nb' " + src, "--trusted-comment needs one line of at most 4077 bytes", 2},
        {sign + src, "SOURCE_DATE_EPOCH is not a number of seconds", 1, "SOURCE_DATE_EPOCH=1e9 "},
        // Last: from here on a folder stands at OUT.minisig.
        {sign + src, out + ".minisig: not a regular file: the signature must be written to one", 2,
         "mkdir " + quote(out + ".minisig") + " && "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        // A case with an OUT of its own names it once: -o given twice is refused.
        const bool ownOut =
            c.args.find("-o ") != std::string::npos && c.message.find("given twice") == std::string::npos;
        EXPECT_EQ(pack((ownOut ? "" : "-o " + quote(out) + " ") + c.args, c.prefix), c.status);
        EXPECT_NE(output.find(c.message), std::string::npos) << output;
        EXPECT_FALSE(velktest::exists(out));
        EXPECT_EQ(temporaries(), "");
    }
}

// From a working folder that is gone, a relative OUT, SOURCE or secret key is the usage status
// and why, and nothing is written: "../" would otherwise still reach the gone folder's parent.
// Absolute names pack as ever.
TEST_F(VelkPackTest, AWorkingFolderThatIsGoneResolvesNoRelativePath) {
    makeKey();
    const std::string here = dir.path() + "/", ok = "--label L --info '{}' ";
    const std::string inGone = "cd " + quote(here) + " && mkdir gone && cd gone && rmdir ../gone && ";
    for (const std::string& args : {ok + "-o ../out.velk " + quote(tree), ok + "-o " + quote(here + "out.velk") + " ../tree",
                                    ok + "--sign ../k.sec -o " + quote(here + "out.velk") + " " + quote(tree)}) {
        SCOPED_TRACE(args);
        EXPECT_EQ(pack(args, inGone), 2);
        EXPECT_EQ(output.substr(0, output.find('\n') + 1),
                  "velk-pack: the working folder is gone: relative paths cannot be resolved\n");
        EXPECT_FALSE(velktest::exists(dir / "out.velk"));
        EXPECT_EQ(temporaries(), "");
    }
    EXPECT_EQ(pack(ok + "--sign " + quote(here + "k.sec") + " -o " + quote(here + "out.velk") + " " + quote(tree),
                   inGone), 0) << output;
    EXPECT_EQ(shell("cd " + quote(here) + " && " + minisign + " -Vq -p k.pub -m out.velk && echo verified"), "verified\n");
}

// minisign -V -H (prehashed only) accepts what --sign wrote over an older signature. The trusted
// comment is dated now, or SOURCE_DATE_EPOCH, which makes the signature again byte for byte, or
// is what --trusted-comment gives.
TEST_F(VelkPackTest, MinisignVerifiesReproducibleSignatures) {
    makeKey();
    shell("mkdir " + quote(dir / "b"));
    velktest::writeFile(dir / "a.minisig", "an older signature");
    const std::string args = "--label L --info '{}' --sign " + quote(dir / "k.sec") + " " + quote(tree) + " -o ";
    const std::string comment = "release 1.2.3\tfor the garden gate, \xc3\xa9t\xc3\xa9";
    const std::string epoch = "SOURCE_DATE_EPOCH=1700000000 ";
    const long long before = time(nullptr);
    const struct { std::string out, prefix, options, comment; } runs[] = {
        {"a", "", "", "timestamp:NOW\tfile:a\thashed"},
        {"a", epoch, "", "timestamp:1700000000\tfile:a\thashed"},
        {"b/a", epoch, "", "timestamp:1700000000\tfile:a\thashed"},
        {"c", epoch, " --trusted-comment " + quote(comment), comment},
    };
    for (const auto& run : runs) {
        ASSERT_EQ(pack(args + quote(dir / run.out) + run.options, run.prefix), 0) << output;
        const std::string report = shell(minisign + " -VHp " + quote(dir / "k.pub") + " -m " + quote(dir / run.out));
        std::string shown = report.substr(report.find("\nTrusted comment: ") + 18);
        if (run.prefix.empty()) {  // dated now
            const long long date = std::stoll(shown.substr(10));
            EXPECT_TRUE(date >= before && date <= time(nullptr)) << date;
            shown.replace(10, std::to_string(date).size(), "NOW");
        }
        EXPECT_EQ(shown, run.comment + "\n");
    }
    EXPECT_EQ(velktest::readFile(dir / "a.minisig"), velktest::readFile(dir / "b/a.minisig"));
}

// Types into a terminal: runs the shell command argv[2] on a new pseudo-terminal, answers its
// first prompt with the line argv[1], and prints everything the terminal showed.
constexpr const char* kTypist = R"(import os, pty, sys
pid, fd = pty.fork()
if pid == 0: os.execv('/bin/sh', ['sh', '-c', sys.argv[2]])
shown, chunk = b'', b'-'
while chunk:
    try: chunk = os.read(fd, 4096)
    except OSError: chunk = b''
    if b': ' not in shown and b': ' in shown + chunk: os.write(fd, sys.argv[1].encode() + b'\n')
    shown += chunk
sys.stdout.buffer.write(shown); sys.exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])))";

// A protected key's password is asked for on the terminal and never shown; without a terminal,
// or with the wrong password, nothing is made.
TEST_F(VelkPackTest, AsksForThePasswordOnTheTerminal) {
#ifdef VELK_EMULATED
    GTEST_SKIP() << "scrypt with minisign's limits takes minutes under qemu-user";
#endif
    const std::string key = dir / "e.sec", p = dir / "p.velk";
    const std::string args = "--label L --info '{}' --sign " + quote(key) + " -o " + quote(p) + " " + quote(tree);
    shell("cd " + quote(dir.path()) + " && printf 'garden gate\\ngarden gate\\n' | " + minisign +
          " -G -p e.pub -s e.sec > /dev/null 2>&1");
    EXPECT_EQ(pack(args, "setsid -w "), 1);
    EXPECT_NE(output.find("no terminal to ask for the password on"), std::string::npos) << output;
    for (const auto& [password, status, message] : {std::tuple<std::string, int, std::string>{
                                                         "garden fence", 1, "e.sec: wrong password"},
                                                     {"garden gate", 0, ""}}) {
        EXPECT_FALSE(velktest::exists(p));
        const std::string shown = shell(quote(velktest::python()) + " -c " + quote(kTypist) + " " + quote(password) +
                                        " " + quote(VELK_PACK " " + args) + "; echo \"status $?\"");
        EXPECT_NE(shown.find("Password for " + key + ": "), std::string::npos) << shown;
        EXPECT_EQ(shown.substr(shown.rfind("status ")), "status " + std::to_string(status) + "\n") << shown;
        EXPECT_NE(shown.find(message), std::string::npos) << shown;
        EXPECT_EQ(shown.find(password), std::string::npos) << "the password was echoed: " << shown;
    }
    EXPECT_EQ(shell(minisign + " -V -q -p " + quote(dir / "e.pub") + " -m " + quote(p)), "");
}

// Archives made by python3's tarfile into the folder argv[1], and for each the offset where the
// header of its first name with a backslash ends (0: none the unpacker would read). A link's size
// field may say 1024 with no data behind it: the unpacker reads the next block as a header.
constexpr const char* kBackslashTars = R"(import io, os, sys, tarfile
def tar(members):
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode='w', format=tarfile.USTAR_FORMAT) as t:
        for name, size, data in members:
            i = tarfile.TarInfo(name); i.size = size
            if data is None: i.type, i.linkname = tarfile.SYMTYPE, 't'
            t.addfile(i, None if data is None else io.BytesIO(data))
    return out.getvalue()
named = tar([('ok', 600, b'x' * 600), ('a\\b', 1, b'y')])
for name, data, end in [('named', named, 2048), ('prefix', tar([('d\\' + 'p' * 120 + '/n', 0, b'')]), 512),
                        ('link-size', tar([('l', 1024, None), ('x\\y', 0, b'')]), 1024),
                        ('inner', tar([('inner.tar', len(named), named)]), 0)]:
    open(os.path.join(sys.argv[1], name + '.tar'), 'wb').write(data); print(name, end))";

// Every slicing finds a name with a backslash exactly where its header ends, in the name field
// or the prefix, behind data and behind a link that has none; a file whose data holds such a
// header passes.
TEST(TarNameCheck, FindsBackslashesWhereTheUnpackerReadsNamesInEverySlicing) {
    velktest::TempDir dir;
    std::istringstream tars(shell(quote(velktest::python()) + " -c " + quote(kBackslashTars) + " " + quote(dir.path())));
    std::string name;
    size_t end = 0;
    while (tars >> name >> end) {
        const std::string archive = velktest::readFile(dir / (name + ".tar"));
        for (const size_t slice : {size_t(1), size_t(7), size_t(511), size_t(512), size_t(513), archive.size()}) {
            SCOPED_TRACE(name + " in slices of " + std::to_string(slice));
            velk::CTarNameCheck check(name);
            size_t fed = 0, refusedAt = 0;
            for (const size_t length : velktest::fixedSlices(archive.size(), slice)) {
                const int result = check.update(archive.data() + fed, int(length));
                fed += length;
                if (result < 0 && refusedAt == 0) refusedAt = fed;
                EXPECT_TRUE(result == int(length) || result == velk::CTarNameCheck::kBackslashInName);
            }
            EXPECT_TRUE(end == 0 ? refusedAt == 0 : refusedAt >= end && refusedAt - slice < end) << refusedAt;
        }
    }
}

// A name with a backslash, from a tree or in a tar file (by GNU tar, or crafted), is refused
// with status 1 and nothing made; --keep-backslashes stores it as it is, a tar file unchanged.
// A name too long for ustar is found in a pax header and in a GNU long name alike.
TEST_F(VelkPackTest, BackslashesInNamesAreRefusedUnlessKept) {
    const std::string d = dir.path(), out = dir / "out.velk", unit = "system-systemd\\x2dcryptsetup.slice";
    const std::string deep = std::string(120, 'd') + "/x\\y";
    shell("cd " + quote(d) + " && mkdir bs && : > bs/" + quote(unit) + " && tar -cf gnu.tar -C bs . && " +
          quote(velktest::python()) + " -c " + quote(kBackslashTars) + " . > /dev/null && mkdir -p long/" +
          std::string(120, 'd') + " && : > long/" + quote(deep) + " && tar --format=posix -cf pax.tar -C long . && " +
          "tar --format=gnu -cf longname.tar -C long .");
    const std::string ok = "--label L --info '{}' -o " + quote(out) + " ";
    const struct { std::string source; bool keep; std::string message, listing; } cases[] = {
        {"bs", false, "bs/" + unit + ": backslash in a name (unpacking reads it as a slash; ", ""},
        {"bs", true, "", unit + "\n"},
        {"gnu.tar", false, "gnu.tar: ./" + unit + ": backslash in a name (", ""},
        {"gnu.tar", true, "", "./\n./" + unit + "\n"},
        {"link-size.tar", false, "link-size.tar: x\\y: backslash in a name (", ""},
        {"inner.tar", false, "", "inner.tar\n"},
        {"pax.tar", false, "pax.tar: ./" + deep + ": backslash in a name (", ""},
        {"longname.tar", false, "longname.tar: ./" + deep + ": backslash in a name (", ""},
        {"longname.tar", true, "", "./\n./" + std::string(120, 'd') + "/\n./" + deep + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source + (c.keep ? " --keep-backslashes" : ""));
        const std::string source = dir / c.source;
        EXPECT_EQ(pack(ok + quote(source) + (c.keep ? " --keep-backslashes" : "")), c.message.empty() ? 0 : 1) << output;
        EXPECT_NE(output.find(c.message), std::string::npos) << output;
        EXPECT_EQ(temporaries(), "");
        EXPECT_EQ(velktest::exists(out), c.message.empty());
        if (c.message.empty()) {
            EXPECT_EQ(payload(out, " | tar -t --quoting-style=literal"), c.listing);
            EXPECT_TRUE(c.source == "bs" || payload(out) == velktest::readFile(source)) << "not the tar file as it is";
        }
        shell("rm -f " + quote(out));
    }
}

}  // namespace
