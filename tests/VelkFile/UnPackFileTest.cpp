// The package decoder fed packages of the independent Python packer in chunks of every shape;
// refusals that stick. Cut and damaged packages: tests/e2e/DamageTest.cpp.

#include "VelkFile/UnPackFile.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <filesystem>
#include <vector>

#include "brn/tar/DiskEntryMaker.h"
#include "brn/untgza/StageLine.h"
#include "fs/UniqueFd.h"
#include "tests/support/TestSupport.h"

using velk::CUnPackFile;
using velktest::quote;
using velktest::shell;

namespace {


// A decoder with the maker that makes its entries in `dir`.
struct Decoder {
    explicit Decoder(const std::string& dir)
        : root(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)), maker(root.get(), dir + "/"), unpack(maker) {}
    velk::CUniqueFd root;
    brn::CDiskEntryMaker maker;
    CUnPackFile unpack;
};

class UnPackFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tree = dir / "tree";
        shell("mkdir -p " + quote(tree + "/sub/deeper") + " && cd " + quote(tree) +
              " && printf 'hello' > a.txt && : > empty && head -c 513 /dev/zero | tr '\\0' x > sub/b.bin"
              " && printf 'deep' > sub/deeper/c && ln -s ../a.txt sub/link");
        velktest::writeFile(tree + "/random.bin", velktest::seededBytes(1000, 3));
        shell("tar --format=ustar --sort=name --mtime=@0 --owner=0 --group=0 -C " + quote(tree) + " -cf " +
              quote(dir / "content.tar") + " .");
        shell("mkdir " + quote(dir / "expected") + " && tar -xf " + quote(dir / "content.tar") + " -C " +
              quote(dir / "expected"));
        expectedTree = velktest::describeTree(dir / "expected");
        package = pack("first", "{\"PLVS\":\"1.0\"}", 1);
        shell("mkdir " + quote(dest()));
    }

    std::string pack(const std::string& label, const std::string& info, int seed,
                     const std::string& extra = "") {
        std::string out = dir / ("p" + std::to_string(seed) + ".velk");
        shell(velktest::refPacker() + " --label " + quote(label) + " --info " + quote(info) + " --seed " +
              std::to_string(seed) + " --tar " + quote(dir / "content.tar") + " " + extra + " -o " + quote(out));
        return velktest::readFile(out);
    }

    std::string dest() const { return dir / "dest"; }

    void resetDest() {
        std::filesystem::remove_all(dest());
        std::filesystem::create_directory(dest());
    }

    // A decoder that makes every package's entries in dest(), whose hook records its calls.
    std::unique_ptr<Decoder> decoder() {
        auto d = std::make_unique<Decoder>(dest());
        EXPECT_EQ(d->unpack.setOutCustomInfo([this](const CUnPackFile::PackageHead& head) {
            calls.push_back(head);
            return 0;
        }), 0);
        d->unpack.init(dest());
        return d;
    }

    // Feeds `bytes` cut at the given slice lengths; false as soon as a call fails.
    static bool feed(CUnPackFile& d, const std::string& bytes, const std::vector<size_t>& slices) {
        size_t at = 0;
        for (size_t slice : slices) {
            int r = d.buffToFile(bytes.data() + at, int(slice));
            if (r < 0) return false;
            EXPECT_EQ(r, int(slice));
            at += slice;
        }
        return true;
    }

    velktest::TempDir dir;
    std::string expectedTree;
    std::string package;
    std::vector<CUnPackFile::PackageHead> calls;
};

// Every split of a package into two chunks, and one byte at a time without a hook, give the tree
// tar gives; the hook is told the head's facts.
TEST_F(UnPackFileTest, ChunkBoundaryAtEveryOffsetGivesTheSameTree) {
    testing::internal::CaptureStdout();
    for (size_t cut = 0; cut <= package.size(); ++cut) {
        resetDest();
        auto d = decoder();
        std::vector<size_t> slices;
        if (cut > 0) slices.push_back(cut);
        if (cut < package.size()) slices.push_back(package.size() - cut);
        ASSERT_TRUE(feed(d->unpack, package, slices)) << "cut at " << cut;
        ASSERT_TRUE(d->unpack.atPackageBoundary());
        ASSERT_EQ(d->unpack.packageIndex(), 1u);
        ASSERT_EQ(velktest::describeTree(dest()), expectedTree) << "cut at " << cut;
    }
    resetDest();
    Decoder withoutHook(dest());
    withoutHook.unpack.init(dest());
    ASSERT_TRUE(feed(withoutHook.unpack, package, velktest::fixedSlices(package.size(), 1)));
    EXPECT_EQ(velktest::describeTree(dest()), expectedTree);
    testing::internal::GetCapturedStdout();

    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back().customInfo, "{\"PLVS\":\"1.0\"}");
    EXPECT_EQ(calls.back().label, "first");
    EXPECT_EQ(calls.back().payloadLength, package.size() - velk::kPackageOverhead);
}

TEST_F(UnPackFileTest, RefusalsAndFailuresStick) {
    struct Case {
        const char* name;
        std::string bytes;
        int hookResult;
        const char* expectedLine;
        CUnPackFile::Failure failure;
    };
    std::string badMagic = package;
    badMagic[2] = 'X';
    std::string badCheck = package;
    badCheck[80 + 656 + 5] ^= 1;
    std::string zeroLength = pack("z", "{}", 3, "--payload-length-override 0");
    const Case cases[] = {
        {"bad magic", badMagic, 0, "err_buffToFile_VelkFile/UnPackFile.cpp_53\r\ntgz: unpack fail\r\n",
         CUnPackFile::Failure::kBadMagic},
        {"bad check", badCheck, 0, "tgz: unpack fail\r\n", CUnPackFile::Failure::kBadHead},
        {"payload length 0", zeroLength, 0, "tgz: unpack fail\r\n", CUnPackFile::Failure::kEmptyPayload},
        {"hook refuses", package, -1, "tgz: unpack fail\r\n", CUnPackFile::Failure::kRefused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetDest();
        Decoder decoder(dest());
        CUnPackFile& d = decoder.unpack;
        int hookCalls = 0;
        d.setOutCustomInfo([&](const CUnPackFile::PackageHead&) {
            ++hookCalls;
            return c.hookResult;
        });
        d.init("");
        testing::internal::CaptureStdout();
        EXPECT_EQ(d.buffToFile(c.bytes.data(), int(c.bytes.size())), CUnPackFile::kFailed);
        // A failure is not cleared: the next bytes fail again.
        EXPECT_EQ(d.buffToFile(c.bytes.data(), 100), CUnPackFile::kFailed);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(c.expectedLine), std::string::npos) << out;
        EXPECT_FALSE(d.atPackageBoundary());
        EXPECT_EQ(d.failure(), c.failure);
        EXPECT_EQ(d.packageIndex(), 0u);
        EXPECT_EQ(velktest::describeTree(dest()), "");
        EXPECT_LE(hookCalls, 1);
    }
}

// On a stage line, a payload block refused on a worker after the input ended is met by settle.
// That failure sticks as any other: a later call fails and takes no bytes. (The refused block
// was consumed when it was handed over, so walking on would have found nothing wrong.)
TEST_F(UnPackFileTest, ARefusalMetBySettleSticks) {
    const size_t payloadAt = 80 + 656 + 32;
    std::string cut = package.substr(0, payloadAt + 64);
    cut[payloadAt] ^= 0x55;  // the gzip magic's first byte, once deciphered
    brn::CStageLine line(brn::CStageLine::kMaxThreads);
    ASSERT_TRUE(line.start());
    const velk::CUniqueFd root(open(dest().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    brn::CDiskEntryMaker maker(root.get(), dest() + "/");
    CUnPackFile d(maker, CUnPackFile::Progress::kHidden, &line);
    ASSERT_EQ(d.setOutCustomInfo([](const CUnPackFile::PackageHead&) { return 0; }), 0);
    d.init("");
    testing::internal::CaptureStdout();  // the decoder's messages, and so gtest's: judged after
    const bool takenWhole = d.buffToFile(cut.data(), int(cut.size())) == int(cut.size());
    const int settled = d.settle();
    const int later = d.buffToFile(package.data() + cut.size(), 0);
    const int more = d.buffToFile(package.data() + cut.size(), 100);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(!takenWhole || settled == CUnPackFile::kFailed) << settled;
    EXPECT_EQ(later, CUnPackFile::kFailed);
    EXPECT_EQ(more, CUnPackFile::kFailed);
    EXPECT_EQ(d.settle(), CUnPackFile::kFailed);
    EXPECT_EQ(d.failure(), CUnPackFile::Failure::kPayload);
}

}  // namespace
