// Archives the way real tools write them (dpkg-deb, git archive, GNU tar's posix and gnu
// formats, bsdtar, Python tarfile's pax and GNU formats), each packed by the independent
// Python packer: velk-unpack installs the tree tar -x makes, hard links as hard links, and
// velk-inspect lists the archive as tar -tv does and gives velk-unpack's verdict. Then the
// edges: old-style folders and backslashes as GNU tar and bsdtar read them, and the kinds GNU
// tar writes that are refused.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <set>
#include <tuple>

#include "tests/support/Scene.h"

using namespace velktest;

namespace {

constexpr int kInspectOk = 0, kInspectDamaged = 3;

// The typeflags of an archive's headers, sorted ('0' for NUL), the data of every entry skipped.
const char* const kTypeflags = R"(import sys
d, i, flags = open(sys.argv[1], "rb").read(), 0, set()
while i + 512 <= len(d) and d[i:i + 512] != bytes(512):
    b = d[i:i + 512]
    flag = chr(b[156]) if b[156] else "0"
    flags.add(flag)
    size = 0 if flag in "12356" else int(b[124:136].strip(b"\0 ") or b"0", 8)
    i += 512 + (size + 511) // 512 * 512
print("".join(sorted(flags)))
)";

// A GNU tar v7 archive of folders, with each folder entry turned into the regular-file entry
// of its name (typeflag '0', then NUL, by turns) with the size given, checksums made anew.
const char* const kOldStyleFolders = R"(import sys
d, size, n = bytearray(open(sys.argv[1], "rb").read()), int(sys.argv[2]), 0
for i in range(0, len(d), 512):
    if d[i + 156:i + 157] == b"5":
        d[i + 156] = (b"0", b"\0")[n % 2][0]
        d[i + 124:i + 136] = b"%011o\0" % size
        d[i + 148:i + 156] = b" " * 8
        d[i + 148:i + 155] = b"%06o\0" % sum(d[i:i + 512])
        n += 1
open(sys.argv[1], "wb").write(d)
)";

// Every name of a file of several names below `root`, one group a line, sorted.
std::string hardLinkGroups(const std::string& root) {
    std::map<ino_t, std::set<std::string>> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        struct stat st;
        if (lstat(entry.path().c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink > 1) {
            names[st.st_ino].insert(entry.path().lexically_relative(root).string());
        }
    }
    std::set<std::string> groups;
    for (const auto& [inode, group] : names) {
        std::string line;
        for (const std::string& name : group) line += (line.empty() ? "" : " = ") + name;
        groups.insert(line + "\n");
    }
    std::string text;
    for (const std::string& group : groups) text += group;
    return text;
}

class TarFormatsTest : public ::testing::Test {
protected:
    // velk-unpack's status for a package of `tar`, installed into a fresh dest.
    int unpack(const std::string& tar, const std::string& options = "") {
        s.sh("rm -rf dest");
        s.packWith("--tar " + quote(tar), "p.velk", "{\"PLVS\":\"1\"}", 7);
        return s.unpackSh(options + " p.velk dest version");
    }
    // velk-inspect's status on that package; its report is left in `listed`.
    int inspect(const std::string& options) {
        return shellStatus(s.cd() + VELK_INSPECT + " " + options + " p.velk > listed 2> inspect.err");
    }
    // What `extract` (a command taking the archive, then the folder) makes of `tar` in a fresh `ref`.
    std::string reference(const std::string& extract, const std::string& tar) {
        s.sh("rm -rf ref && mkdir ref && " + extract + " " + quote(tar) + " -C ref");
        return s / "ref";
    }
    std::string log() const { return s.log() + readFile(s / "inspect.err"); }
    // What `extract` makes of `tar` in a fresh `ref`, and whether it complained: a status other
    // than 0, or a message (bsdtar reads on past a damaged header with a warning and status 0).
    struct Extracted { std::string tree, messages; bool complained; };
    Extracted extracted(const std::string& extract, const std::string& tar) {
        s.sh("rm -rf ref && mkdir ref");
        const int status = shellStatus(s.cd() + extract + " " + quote(tar) + " -C ref 2> ref.err");
        const std::string messages = readFile(s / "ref.err");
        return {describeTree(s / "ref"), messages, status != 0 || !messages.empty()};
    }

    Scene s;
};

// The tree holds every kind the tools write extensions for: paths past 100 and 256 bytes, a
// link target past 100 bytes, a non-ASCII name and hard links, one of them with a long name.
TEST_F(TarFormatsTest, ArchivesOfRealToolsInstallAsTarExtractsThem) {
    const std::string deep = "usr/share/doc/velk-demo/" + std::string(90, 'a') + "/" + std::string(120, 'b');
    s.sh("mkdir -p tree/usr/bin tree/etc/empty.d tree/" + deep + " && cd tree && echo notes > " + deep +
          "/notes.txt && echo tool > usr/bin/tool && ln usr/bin/tool usr/bin/tool-alias && ln usr/bin/tool " + deep +
          "/tool-copy && ln -s ../../" + deep + "/notes.txt usr/bin/long-link && echo c > usr/bin/na\xc3\xafve &&"
          " : > etc/empty");
    writeFile(s / "tree/usr/bin/blob", seededBytes(70000, 5));
    const std::string control = "Package: velk-demo\nVersion: 1.0\nArchitecture: all\nMaintainer: T <t@example.org>\n"
                                "Description: demo\n";
    const std::string python = quote(velktest::python()) + " -c 'import sys, tarfile; t = tarfile.open(\"out.tar\", "
                               "\"w\", format=tarfile.";
    const struct { const char* tool; std::string make; const char* flags; bool hardLinks; } formats[] = {
        {"dpkg-deb --build", "mkdir -p pkg/DEBIAN && cp -a tree/. pkg/ && printf " + quote(control) +
         " > pkg/DEBIAN/control && dpkg-deb --root-owner-group --build pkg p.deb > /dev/null &&"
         " dpkg-deb --fsys-tarfile p.deb > out.tar", "0125KL", true},
        {"git archive", "cd tree && git -c init.defaultBranch=main init -q && git add -A && git -c user.name=t -c"
         " user.email=t@example.org commit -qm m && git archive --format=tar HEAD > ../out.tar", "025gx", false},
        {"tar --format=posix", "tar --format=posix -cf out.tar -C tree .", "0125x", true},
        {"tar --format=gnu", "tar --format=gnu -cf out.tar -C tree .", "0125KL", true},
        {"bsdtar", "bsdtar -cf out.tar -C tree .", "0125x", true},
        {"tarfile PAX_FORMAT", python + "PAX_FORMAT); t.add(\"tree\", arcname=\".\"); t.close()'", "0125x", true},
        {"tarfile GNU_FORMAT", python + "GNU_FORMAT); t.add(\"tree\", arcname=\".\"); t.close()'", "0125KL", true},
    };
    for (const auto& format : formats) {
        SCOPED_TRACE(format.tool);
        s.sh("rm -rf pkg tree/.git out.tar && " + format.make);
        // The archive holds the extensions the tool is known to write, or the test proves less.
        EXPECT_EQ(s.sh(quote(velktest::python()) + " -c " + quote(kTypeflags) + " out.tar"),
                  std::string(format.flags) + "\n");
        ASSERT_EQ(unpack("out.tar"), 0) << log();
        const std::string made = describeTree(s / "dest"), links = hardLinkGroups(s / "dest");
        for (const char* extract : {"tar -xf", "bsdtar -xf"}) {
            const std::string ref = reference(extract, "out.tar");
            EXPECT_EQ(std::tie(made, links), std::make_tuple(describeTree(ref), hardLinkGroups(ref))) << extract;
        }
        EXPECT_EQ(links.empty(), !format.hardLinks) << links;
        // velk-inspect: the entries as tar -tv shows them (owner and date aside), hard links as "h ... link to".
        ASSERT_EQ(inspect("--verify"), kInspectOk) << log();
        EXPECT_EQ(s.sh("grep -v -e '^ ' -e '^package ' -e '^file: ' listed | tr -s ' '"),
                  s.sh("LC_ALL=C tar -tvf out.tar | awk '{$2=$4=$5=\"\"; print}' | tr -s ' '"));
    }
}

// A regular-file entry named like a folder is a folder, whatever its size says, as GNU tar and
// bsdtar read it; a backslash is a separator by default and a byte of the name with
// --keep-backslashes, as tar keeps it. velk-inspect reads names as velk-unpack does.
TEST_F(TarFormatsTest, OldStyleFoldersAndBackslashesAsTarReadsThem) {
    s.sh("mkdir -p tree/directory1 tree/directory2 tree/pkg && echo hi > tree/pkg/hello.txt &&"
          " tar --format=v7 --sort=name -cf v7.tar -C tree . && printf 'x' > 'tree/directory1/system-systemd\\x2dcryptsetup.slice'"
          " && tar --format=gnu -cf bs.tar -C tree .");
    for (const char* size : {"0", "1"}) {
        SCOPED_TRACE(std::string("folders of size ") + size);
        s.sh("cp v7.tar old.tar && " + quote(velktest::python()) + " -c " + quote(kOldStyleFolders) +
              " old.tar " + size);
        ASSERT_EQ(s.sh(quote(velktest::python()) + " -c " + quote(kTypeflags) + " old.tar"), "0\n");
        ASSERT_EQ(unpack("old.tar"), 0) << log();
        for (const char* extract : {"tar -xf", "bsdtar -xf"}) {
            EXPECT_EQ(describeTree(s / "dest"), describeTree(reference(extract, "old.tar"))) << extract;
        }
        ASSERT_EQ(inspect("--json"), kInspectOk) << log();
        EXPECT_EQ(s.sh(quote(velktest::python()) + " -c 'import json; print(*(e[\"type\"] + e[\"name\"] for e"
                               " in json.load(open(\"listed\"))[\"packages\"][0][\"entries\"]))'"),
                  "d./ d./directory1/ d./directory2/ d./pkg/ -./pkg/hello.txt\n");
    }
    const std::string unit = "directory1/system-systemd\\x2dcryptsetup.slice";
    for (const bool keep : {false, true}) {
        SCOPED_TRACE(keep ? "--keep-backslashes" : "backslashes are separators");
        const std::string option = keep ? "--keep-backslashes" : "";
        ASSERT_EQ(unpack("bs.tar", option), 0) << log();
        EXPECT_EQ(describeTree(s / "dest") == describeTree(reference("tar -xf", "bs.tar")), keep);
        EXPECT_EQ(exists(s / ("dest/" + unit)), keep);
        EXPECT_EQ(exists(s / "dest/directory1/system-systemd/x2dcryptsetup.slice"), !keep);
        ASSERT_EQ(inspect(option), kInspectOk) << log();
        EXPECT_NE(readFile(s / "listed").find(keep ? " ./directory1/system-systemd\\\\x2dcryptsetup.slice\n"
                                                     : " ./directory1/system-systemd/x2dcryptsetup.slice\n"),
                  std::string::npos) << readFile(s / "listed");
    }
}

// Archives crafted where tars read headers strictly (tests/support/crafted_tars.py): velk-unpack
// installs the tree GNU tar makes, and bsdtar where it agrees (bsdtar 3.6 lets a GNU long name
// or link that comes before a pax header win over the pax record), with velk-inspect listing
// the same names; where both tars fail or warn, velk-unpack fails with its reason and
// velk-inspect gives that verdict.
TEST_F(TarFormatsTest, CraftedHeadersAreReadAsBothTarsReadThem) {
    s.sh(quote(velktest::python()) + " " + quote(scriptDir() + "/crafted_tars.py") + " crafted");
    const std::string wrongSum = "tar: the header at offset 512 has a wrong checksum",
                      notMade = "a hard link to anything but a regular file the archive made is refused";
    const struct { const char* archive; std::string said, verdict; bool bsdtarAgrees = true; } rows[] = {
        {"data-as-header", wrongSum, "a tar header whose checksum does not match"},
        {"signed-checksum", "", ""},
        {"two-pax-headers", "", ""},
        {"long-name-then-pax", "", "", false},
        {"pax-then-long-name", "", ""},
        {"long-link-then-pax", "", "", false},
        {"pax-then-long-link", "", ""},
        {"link-without-folder", "", ""},
        {"component-of-255", "", ""},
        {"component-of-256", ": a name component of 256 bytes is refused: the limit is 255",
         "a name component over 255 bytes is refused"},
        {"link-target-of-4095", "", ""},
        {"link-target-of-4096", "tar: l: a symbolic link target of 4096 bytes is refused: the limit is 4095",
         "a symbolic link target over 4095 bytes is refused"},
        {"contiguous-folder", "", ""},
        {"folder-over-link", "", ""},
        {"folder-over-file", "", ""},
        {"folder-over-folder", "", ""},
        {"hard-link-to-file-slash", "tar: h: refusing a hard link to f/: not a file this archive made", notMade},
        {"hard-link-to-file-dot", "tar: h: refusing a hard link to f/.: not a file this archive made", notMade},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.archive);
        const std::string tar = "crafted/" + std::string(row.archive) + ".tar";
        const bool refused = !row.said.empty();
        const int unpacked = unpack(tar), inspected = inspect("--verify");
        const Extracted gnu = extracted("tar -xf", tar), bsd = extracted("bsdtar -xf", tar);
        // bsdtar 3.6 warns of a second pax header, yet makes the tree GNU tar makes.
        EXPECT_EQ(std::make_tuple(unpacked, inspected, gnu.complained, bsd.complained || !refused),
                  std::make_tuple(refused ? kIncomplete : 0, refused ? kInspectDamaged : kInspectOk, refused, true))
            << log() << gnu.messages << bsd.messages;
        if (refused) {
            EXPECT_NE(s.log().find(row.said), std::string::npos) << s.log();
            EXPECT_NE(readFile(s / "listed").find("FAILED: " + row.verdict + "\n"), std::string::npos)
                << readFile(s / "listed");
            continue;
        }
        EXPECT_EQ(describeTree(s / "dest"), gnu.tree);
        EXPECT_EQ(describeTree(s / "dest") == bsd.tree, row.bsdtarAgrees) << bsd.tree;
        // The names as tar -tv lists them (kinds aside: GNU tar shows '7' as 'C').
        EXPECT_EQ(s.sh("grep -v -e '^ ' -e '^package ' -e '^file: ' listed | awk '{$1=\"\"; print}' | tr -s ' '"),
                  s.sh("LC_ALL=C tar -tvf " + tar + " | awk '{$1=$2=$4=$5=\"\"; print}' | tr -s ' '"));
    }
}

// The version file an in-place run keeps inside DEST is the program's own state. A folder entry
// at its name is refused: that run fails and the version file keeps its value. Staged, the folder
// stands in the new tree, the version file cannot be written there, and DEST stays old. A file or
// a link at that name is not made in place (the version is written there at the end, as over the
// staged entry), so a run that fails after it leaves the version file as it was.
TEST_F(TarFormatsTest, NoEntryReplacesTheVersionFileInsideDest) {
    s.sh("mkdir -p folder/v file link && echo x > folder/v/x && echo package > file/v && ln -s elsewhere link/v");
    const std::string kept = "tar: ./v: not made: the version file's own name";
    const struct { const char* options; const char* tree; bool damaged; int status; const char* names; std::string said; } rows[] = {
        {"", "folder", false, kIncomplete, "v\n", "tar: ./v/: refusing to replace dest/./v, a file this archive did not make"},
        {"--atomic", "folder", false, kVersionFailed, "keep\nv\n", "version file: rename dest/v failed(21,Is a directory)"},
        {"", "file", false, 0, "v\n", kept},
        {"", "file", true, kIncomplete, "v\n", kept},
        {"", "link", true, kIncomplete, "v\n", kept},
        {"--atomic", "file", false, 0, "v\n", "tgz: unpack success"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.options) + " " + row.tree + (row.damaged ? ", then a bad gzip trailer" : ""));
        s.sh("rm -rf dest && mkdir dest && echo keep > dest/keep && printf old > dest/v");
        if (row.damaged) {
            s.packBadTrailer(row.tree, "p.velk", "1");
        } else {
            s.sh("tar -cf " + std::string(row.tree) + ".tar -C " + row.tree + " .");
            s.packWith("--tar " + std::string(row.tree) + ".tar", "p.velk", "{\"PLVS\":\"1\"}", 7);
        }
        EXPECT_EQ(s.unpackSh(std::string(row.options) + " p.velk dest dest/v"), row.status) << s.log();
        EXPECT_EQ(std::make_tuple(s.sh("ls -Ap dest"), readFile(s / "dest/v")),
                  std::make_tuple(std::string(row.names), row.status == 0 ? "1" : "old"));
        EXPECT_NE(s.log().find(row.said), std::string::npos) << s.log();
    }
}

// What GNU tar writes and velk-unpack refuses: each fails the install, and velk-inspect names
// the kind (and its typeflag) in its verdict.
TEST_F(TarFormatsTest, RefusedKindsAreNamedByVelkInspect) {
    s.sh("mkdir -p tree && echo a > tree/a && truncate -s 200K tree/sparse && printf data >> tree/sparse");
    const struct { const char* what; std::string make; const char* verdict; } cases[] = {
        {"sparse, gnu", "tar --format=gnu --sparse -cf out.tar -C tree .",
         "a GNU sparse file (typeflag 'S' or GNU.sparse records) is refused"},
        {"sparse, posix", "tar --format=posix --sparse -cf out.tar -C tree .",
         "a GNU sparse file (typeflag 'S' or GNU.sparse records) is refused"},
        {"dumpdir", "tar --format=gnu --listed-incremental=snap -cf out.tar -C tree .",
         "a GNU dumpdir (typeflag 'D') is refused"},
        {"volume label", "tar -V label -cf out.tar -C tree ./a", "a volume label (typeflag 'V') is refused"},
        {"FIFO", "rm -rf t && mkdir t && mkfifo t/p && tar -cf out.tar -C t .", "a FIFO (typeflag '6') is refused"},
        {"device", "rm -rf t && mkdir t && mknod t/c c 1 3 && tar -cf out.tar -C t .",
         "a character device (typeflag '3') is refused"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        s.sh("rm -f snap && " + c.make);
        EXPECT_EQ(unpack("out.tar"), kIncomplete) << log();
        EXPECT_EQ(inspect("--verify"), kInspectDamaged);
        EXPECT_NE(readFile(s / "listed").find(std::string("FAILED: ") + c.verdict), std::string::npos)
            << readFile(s / "listed");
    }
}

}  // namespace
