// velk-pack and the Python reference packer, each checked with tools that share no code
// with them: the head is read by the reference script, the payload is deciphered by
// python3-cryptography or openssl, decompressed by gzip and listed or extracted by GNU tar.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tests/support/TestSupport.h"

namespace {

using velktest::quote;
using velktest::shell;

constexpr size_t kPayloadOffset = 768;  // file header, head block and head check
constexpr size_t kOverhead = kPayloadOffset + 32;

// Deciphers the payload of the package at argv[1] (offset, length, key and IV in hex) to stdout.
constexpr const char* kDecipherScript = R"(import sys
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
path, offset, length, key, iv = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5]
with open(path, 'rb') as f:
    f.seek(offset)
    data = f.read(length)
d = Cipher(algorithms.AES(bytes.fromhex(key)), modes.CFB(bytes.fromhex(iv))).decryptor()
sys.stdout.buffer.write(d.update(data) + d.finalize())
)";

// GNU tar writing the stream we promise: sorted names, owner 0 without names, mtime 0,
// 512-byte records (so the archive ends right after the two zero blocks).
constexpr const char* kGnuTar =
    "LC_ALL=C tar --format=ustar --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner -b 1";

struct Outcome {
    int status = 0;
    std::string output;  // standard output and standard error
};

// "name=value" lines, as --print-key prints them.
std::map<std::string, std::string> keyLines(const std::string& text) {
    std::map<std::string, std::string> values;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        size_t equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
        at = end + 1;
    }
    return values;
}

// The value of a top-level member of the one-line JSON of --decode-head, without quotes.
std::string jsonField(const std::string& json, const std::string& name) {
    size_t at = json.find("\"" + name + "\": ");
    if (at == std::string::npos) return "<missing " + name + ">";
    at += name.size() + 4;
    if (json[at] == '"') return json.substr(at + 1, json.find('"', at + 1) - at - 1);
    return json.substr(at, json.find_first_of(",}", at) - at);
}

class VelkPackTest : public ::testing::Test {
protected:
    void SetUp() override {
        tree = dir / "tree";
        shell("mkdir -p " + quote(tree + "/sub/deep/empty-dir") + " && cd " + quote(tree) +
              " && printf 'hello\\n' > a.txt && : > empty && printf '#!/bin/sh\\n' > exec.sh && chmod 755 exec.sh"
              " && chmod 640 a.txt && chmod 700 sub/deep && chmod 1755 sub/deep/empty-dir"
              " && ln -s ../a.txt sub/link && ln -s /no/such/target abs"
              " && ln -s " + std::string(100, 't') + " long-target && : > " + std::string(100, 'n'));
        const struct {
            const char* name;
            size_t size;
        } files[] = {{"B.bin", 513}, {"a-b", 511}, {"name with spaces", 512}, {"sub/big.bin", 300000}};
        uint64_t seed = 1;
        for (const auto& file : files) {
            velktest::writeFile(tree + "/" + file.name, velktest::seededBytes(file.size, seed++));
        }
        velktest::writeFile(dir / "decipher.py", kDecipherScript);
    }

    Outcome velkPack(const std::string& args) {
        Outcome run;
        std::string log = dir / "log";
        run.status = velktest::shellStatus(std::string(VELK_PACK) + " " + args + " > " + quote(log) + " 2>&1");
        run.output = velktest::readFile(log);
        return run;
    }

    // Packs `source` with --print-key and returns the printed values.
    std::map<std::string, std::string> packWithKey(const std::string& source, const std::string& out,
                                                   const std::string& extra = "") {
        Outcome run = velkPack("--label L --info '{\"PLVS\":\"1.2.3\"}' --print-key " + extra + " -o " +
                               quote(out) + " " + quote(source));
        EXPECT_EQ(run.status, 0) << run.output;
        return keyLines(run.output);
    }

    std::string decodeHead(const std::string& package, size_t offset = 0) {
        return shell(velktest::refPacker() + " --decode-head " + quote(package) + " --offset " +
                     std::to_string(offset));
    }

    // The deciphered and decompressed payload, via python3-cryptography and gzip.
    std::string payloadTar(const std::string& package, std::map<std::string, std::string> key) {
        return shell(quote(velktest::python()) + " " + quote(dir / "decipher.py") + " " + quote(package) + " " +
                     key["payloadOffset"] + " " + key["payloadLength"] + " " + key["key"] + " " + key["iv"] +
                     " | gzip -dc");
    }

    // The same through openssl, for packages whose key was printed.
    std::string payloadTarWithOpenssl(const std::string& package, std::map<std::string, std::string> key) {
        return shell("tail -c +" + std::to_string(std::stoull(key["payloadOffset"]) + 1) + " " + quote(package) +
                     " | head -c " + key["payloadLength"] + " | openssl enc -d -aes-256-cfb -K " + key["key"] +
                     " -iv " + key["iv"] + " -nopad | gzip -dc");
    }

    std::string extract(const std::string& tarBytes, const std::string& name) {
        velktest::writeFile(dir / (name + ".tar"), tarBytes);
        shell("mkdir " + quote(dir / name) + " && tar -x -f " + quote(dir / (name + ".tar")) + " -C " +
              quote(dir / name));
        return velktest::describeTree(dir / name);
    }

    std::string gnuTarOf(const std::string& root) {
        return shell("cd " + quote(root) + " && find . -mindepth 1 -maxdepth 1 -printf '%P\\0' | LC_ALL=C sort -z | " +
                     kGnuTar + " --null -T - -cf -");
    }

    velktest::TempDir dir;
    std::string tree;
};

TEST_F(VelkPackTest, PackageReadsBackWithIndependentTools) {
    std::string package = dir / "p.velk";
    auto key = packWithKey(tree, package, "--seed 5");
    ASSERT_EQ(key.size(), 4u);

    std::string head = decodeHead(package);
    EXPECT_EQ(jsonField(head, "magicOk"), "true");
    EXPECT_EQ(jsonField(head, "checkOk"), "true");
    EXPECT_EQ(jsonField(head, "labelHex"), velktest::toHex("L"));
    EXPECT_EQ(jsonField(head, "infoHex"), velktest::toHex("{\"PLVS\":\"1.2.3\"}"));
    EXPECT_EQ(jsonField(head, "key"), key["key"]);
    EXPECT_EQ(jsonField(head, "iv"), key["iv"]);
    EXPECT_EQ(jsonField(head, "payloadLength"), key["payloadLength"]);
    EXPECT_EQ(key["payloadOffset"], std::to_string(kPayloadOffset));
    EXPECT_EQ(velktest::readFile(package).size(), std::stoull(key["payloadLength"]) + kOverhead);

    std::string tarBytes = payloadTar(package, key);
    EXPECT_EQ(tarBytes, gnuTarOf(tree));  // byte for byte: names, modes, links, padding, end marker
    EXPECT_EQ(extract(tarBytes, "out"), velktest::describeTree(tree));
    struct stat st;
    ASSERT_EQ(stat((dir / "out/exec.sh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST_F(VelkPackTest, TarFileIsTakenAsIs) {
    // Not a multiple of 512 and not even a tar archive: the packer must not look inside.
    const std::string content = velktest::seededBytes(70001, 77);
    velktest::writeFile(dir / "given.tar", content);
    auto key = packWithKey(dir / "given.tar", dir / "p.velk", "--level 1");
    EXPECT_EQ(payloadTarWithOpenssl(dir / "p.velk", key), content);
    EXPECT_EQ(jsonField(decodeHead(dir / "p.velk"), "checkOk"), "true");
}

TEST_F(VelkPackTest, SameSeedGivesTheSameBytes) {
    auto make = [&](const std::string& name, const std::string& seed) {
        Outcome run = velkPack("--label L --info '{}' " + seed + " -o " + quote(dir / name) + " " + quote(tree));
        EXPECT_EQ(run.status, 0) << run.output;
        return velktest::readFile(dir / name);
    };
    std::string first = make("a.velk", "--seed 9");
    EXPECT_EQ(make("b.velk", "--seed 9"), first);
    EXPECT_NE(make("c.velk", "--seed 10"), first);
    EXPECT_EQ(make("d.velk", ""), make("e.velk", "--seed 1"));  // the default seed is 1
    // The salt, the payload seed and the tail come from the seed: no two packages share them.
    std::string other = make("f.velk", "--seed 10");
    EXPECT_NE(first.substr(16, 64), other.substr(16, 64));
    EXPECT_NE(first.substr(first.size() - 32), other.substr(other.size() - 32));
    EXPECT_NE(first.substr(first.size() - 32), std::string(32, '\0'));
}

TEST_F(VelkPackTest, LongestTextsAreKeptExactly) {
    std::string label(63, 'l');
    std::string info = "{\"PLVS\":\"" + std::string(255 - 11, '9') + "\"}";
    ASSERT_EQ(info.size(), 255u);
    Outcome run = velkPack("--label " + quote(label) + " --info " + quote(info) + " -o " + quote(dir / "p.velk") + " " +
                       quote(tree));
    ASSERT_EQ(run.status, 0) << run.output;
    std::string head = decodeHead(dir / "p.velk");
    EXPECT_EQ(jsonField(head, "checkOk"), "true");
    EXPECT_EQ(jsonField(head, "labelHex"), velktest::toHex(label));
    EXPECT_EQ(jsonField(head, "infoHex"), velktest::toHex(info));
}

TEST_F(VelkPackTest, PackageInsideItsOwnSourceIsLeftOut) {
    std::string before = velktest::describeTree(tree);
    auto key = packWithKey(tree, tree + "/self.velk");
    EXPECT_EQ(extract(payloadTar(tree + "/self.velk", key), "out"), before);
}

TEST_F(VelkPackTest, RefusesWhatCannotBePackedAndLeavesNoFile) {
    velktest::TempDir bad;
    auto treeWith = [&](const std::string& name, const std::string& make) {
        std::string root = bad / name;
        shell("mkdir -p " + quote(root) + " && cd " + quote(root) + " && " + make);
        return quote(root);
    };
    const std::string ok = "--label L --info '{}' ";
    const struct {
        std::string args;
        const char* message;
        int status;
    } cases[] = {
        {"--label " + std::string(64, 'l') + " --info '{}' " + quote(tree), "label longer than 63 bytes", 1},
        {"--label L --info " + std::string(256, 'i') + " " + quote(tree), "custom information longer than 255 bytes",
         1},
        {ok + treeWith("name", ": > " + std::string(101, 'n')), "name longer than 100 bytes", 1},
        {ok + treeWith("dirname", "mkdir " + std::string(100, 'd')), "name longer than 100 bytes", 1},
        {ok + treeWith("link", "ln -s " + std::string(101, 't') + " l"), "link target longer than 100 bytes", 1},
        {ok + treeWith("fifo", "mkfifo f"), "not a regular file, directory or symbolic link", 1},
        {ok + treeWith("backslash", ": > 'a\\b'"), "backslash in a name", 1},
        {ok + quote(dir / "missing"), "No such file or directory", 1},
        {ok + "--level 10 " + quote(tree), "--level needs a number from 0 to 9", 2},
        {ok + "--seed -1 " + quote(tree), "--seed needs a number", 2},
        {"--label L " + quote(tree), "--label and --info are required", 2},
        {ok + "--bogus 1 " + quote(tree), "unknown option --bogus", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        std::string out = bad / "out.velk";
        Outcome run = velkPack(c.args + " -o " + quote(out));
        EXPECT_EQ(run.status, c.status);
        EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
        EXPECT_FALSE(velktest::exists(out));
    }
}

TEST_F(VelkPackTest, RefusesToOverwriteItsSourceTarFile) {
    const std::string content = shell(kGnuTar + std::string(" -C ") + quote(tree) + " -cf - a.txt");
    velktest::writeFile(dir / "x.tar", content);
    Outcome run = velkPack("--label L --info '{}' -o " + quote(dir / "x.tar") + " " + quote(dir / "x.tar"));
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.output.find("would overwrite its source"), std::string::npos) << run.output;
    EXPECT_EQ(velktest::readFile(dir / "x.tar"), content);
}

TEST_F(VelkPackTest, WriteFailureIsReportedAndNoFileIsLeft) {
    // A file-size limit of a few blocks: the head fits, the payload does not. The ignored
    // signal turns the overrun into a failing write (EFBIG) instead of killing the packer.
    std::string out = dir / "p.velk";
    Outcome run = velkPack("--label L --info '{}' -o " + quote(out) + " " + quote(tree));
    ASSERT_EQ(run.status, 0) << run.output;
    int status = velktest::shellStatus("trap '' XFSZ; ulimit -f 4; " + std::string(VELK_PACK) +
                                       " --label L --info '{}' -o " + quote(out) + " " + quote(tree) + " 2> " +
                                       quote(dir / "log"));
    EXPECT_EQ(status, 1);
    EXPECT_NE(velktest::readFile(dir / "log").find(out + ": cannot write: File too large"), std::string::npos)
        << velktest::readFile(dir / "log");
    EXPECT_FALSE(velktest::exists(out));

    run = velkPack("--label L --info '{}' -o /dev/null " + quote(tree));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("must be written to a regular file"), std::string::npos) << run.output;
    EXPECT_TRUE(velktest::exists("/dev/null"));
}

// The reference packer: its payload deciphers with the key it prints (openssl), gunzips
// and holds the tree; its own head reader agrees; the hostile options do what they say.
TEST_F(VelkPackTest, ReferencePackerSelfCheck) {
    std::string one = dir / "one.velk";
    std::string two = dir / "two.velk";
    auto key = keyLines(shell("cd " + quote(dir.path()) + " && " + velktest::refPacker() +
                              " --label R --info '{\"PLVS\":\"7\"}' --seed 3 --print-key --tree tree -o one.velk"));
    EXPECT_EQ(extract(payloadTarWithOpenssl(one, key), "ref"), velktest::describeTree(tree));

    std::string given = gnuTarOf(tree);
    velktest::writeFile(dir / "given.tar", given);
    auto keyTwo = keyLines(shell(velktest::refPacker() + " --label-hex '' --info-hex 7b7d --info-length 200" +
                                 " --payload-length-override 5 --seed 4 --print-key --tar " + quote(dir / "given.tar") +
                                 " -o " + quote(two)));
    EXPECT_EQ(payloadTarWithOpenssl(two, keyTwo), given);

    shell("cat " + quote(one) + " " + quote(two) + " > " + quote(dir / "both.velk"));
    std::string first = decodeHead(dir / "both.velk");
    EXPECT_EQ(jsonField(first, "checkOk"), "true");
    EXPECT_EQ(jsonField(first, "label"), "R");
    EXPECT_EQ(jsonField(first, "key"), key["key"]);
    EXPECT_EQ(jsonField(first, "next"), std::to_string(velktest::readFile(one).size()));

    std::string second = decodeHead(dir / "both.velk", std::stoull(jsonField(first, "next")));
    EXPECT_EQ(jsonField(second, "checkOk"), "true");
    EXPECT_EQ(jsonField(second, "labelHex"), "");
    EXPECT_EQ(jsonField(second, "infoHex").substr(0, 4), "7b7d");
    EXPECT_EQ(jsonField(second, "infoHex").size(), 400u);
    EXPECT_EQ(jsonField(second, "payloadLength"), "5");
    EXPECT_EQ(jsonField(second, "iv"), keyTwo["iv"]);
}

}  // namespace
