// velk-unpack on damaged packages (every cut, one flipped bit per byte, seeded garbles) of one
// package and of the second of two: never a crash or hang, nothing changed outside the destination,
// and success exactly where an independent Python decoder still finds the undamaged content.

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "tests/support/Scene.h"
#include "tests/support/TestSupport.h"

using velktest::quote;

namespace {

constexpr int kIncomplete = 249;       // -7
constexpr unsigned kHangSeconds = 10;  // a run still going after this is killed by SIGALRM
constexpr size_t kTail = 32;           // never read
constexpr size_t kLastBytes = 48;      // final cipher block and tail: always swept
#if defined(VELK_SANITIZE_BUILD)
constexpr size_t kStride = 7;  // sanitized programs start slowly: every 7th offset, each bit in turn
#elif defined(VELK_EMULATED)
constexpr size_t kStride = 13;  // every run starts an emulator: every 13th offset, each bit in turn
#else
constexpr size_t kStride = 1;
#endif

// Reads files as hex lines, the intact one first; prints for each other 1 when it still holds
// exactly the undamaged packages, else 0.
const char* const kOracle = R"(import sys, zlib
sys.path.insert(0, sys.argv[1])
import velk_ref_pack as v
def decode(data):
    tars, at = [], 0
    while at < len(data):
        end = at + v.PAYLOAD_AT
        fh, head, check = data[at:at + v.FILE_HEADER], data[at + v.FILE_HEADER:end - v.HEAD_CHECK], data[end - v.HEAD_CHECK:end]
        if fh[:4] != b"VELK" or len(check) < v.HEAD_CHECK or v.keyed_digest(256, fh + head, fh[v.SALT_AT:]) != check: return None
        head = v.xor_head(head, v.head_key(fh))
        size = int.from_bytes(head[v.PAYLOAD_LEN_AT:], "little")
        if size == 0 or end + size + v.TAIL > len(data): return None
        key, iv = v.aes_key_iv(head[:64], fh[v.SALT_AT:])
        try:
            z = zlib.decompressobj(31)
            tars.append(z.decompress(v.Cipher(v.algorithms.AES(key), v.CFB(iv)).decryptor().update(data[end:end + size])))
            assert z.eof and not z.unused_data
        except (zlib.error, AssertionError):
            return None
        at = end + size + v.TAIL
    return tars or None
assert (want := decode(bytes.fromhex(sys.stdin.readline())))
print("".join(str(int(decode(bytes.fromhex(line)) == want)) for line in sys.stdin))
)";

// A damaged file, its first damaged byte, and whether it still holds exactly the undamaged content.
struct Damage { size_t at; std::string bytes, what; bool accept = false; };

class DamageTest : public ::testing::Test {
protected:
    void SetUp() override {
        velktest::shell(
            "cd " + quote(dir.path()) + " && mkdir -p t1/d t2/b both && printf 'hello\\n' > t1/d/f.txt"
            " && printf abc > t1/a && ln -s d/f.txt t1/l && ln -s ../sibling t1/out && printf 'second\\n' > t2/b/g.txt"
            " && printf xyz > t2/a && ln -s b t2/m && ln -s ../sibling/sentinel t2/up && for t in t1 t2; do"
            " tar --format=ustar --sort=name --mtime=@0 --owner=0 --group=0 -C $t -cf $t.tar . && tar -xf $t.tar -C both;"
            " done && " + velktest::refPacker() + " --label L --info '{\"PLVS\":\"1.0\"}' --seed 1 --tar t1.tar -o p1.velk"
            " && " + velktest::refPacker() + " --label L --info '{\"PLVS\":\"2.0\"}' --seed 2 --tar t2.tar -o p2.velk"
            " && for s in s0 s1; do mkdir -p $s/dest $s/sibling && printf sentinel > $s/sibling/sentinel"
            " && ln -s sentinel $s/sibling/link && printf old > $s/version && : > $s/.dest.velk-lock; done");
        first = velktest::readFile(dir / "p1.velk");
        second = velktest::readFile(dir / "p2.velk");
    }

    // Damages `intact` from `begin` (where its last package starts) on: every cut, one flipped bit
    // per byte (bit = offset mod 8), and 40 seeded XOR spans, inserts and deletes.
    void damage(size_t begin, uint64_t seed) {
        const size_t n = intact.size();
        for (size_t i = begin; i < n; ++i) {
            if ((i - begin) % kStride != 0 && i + kLastBytes < n) continue;
            if (i > begin || begin == 0) list.push_back({i, intact.substr(0, i), "cut at " + std::to_string(i)});
            list.push_back({i, intact, "flip at " + std::to_string(i)});
            list.back().bytes[i] = char(intact[i] ^ (1 << (i % 8)));
        }
        const std::string r = velktest::seededBytes(40 * 28, seed);
        for (size_t k = 0; k < 40; ++k) {
            const auto byte = [&](size_t j) { return size_t(static_cast<unsigned char>(r[k * 28 + j])); };
            const size_t at = begin + (byte(0) * 256 + byte(1)) % (n - begin);
            std::string mask = r.substr(k * 28 + 4, std::min<size_t>(1 + byte(2) % 24, n - at)), b = intact;
            for (size_t i = 0; i < mask.size(); ++i) b[at + i] = char(b[at + i] ^ (mask[i] == 0 ? 0x80 : mask[i]));
            if (k % 8 == 3) b = std::string(intact).insert(at, mask);
            if (k % 8 == 7) b = std::string(intact).erase(at, 1 + byte(3) % 8);
            list.push_back({at, b, "garble " + std::to_string(k) + " at " + std::to_string(at)});
        }
        // The independent decoder tells which damages leave the content as it was.
        std::string files = velktest::toHex(intact) + "\n";
        for (const Damage& d : list) files += velktest::toHex(d.bytes) + "\n";
        velktest::writeFile(dir / "files", files);
        const std::string verdicts = velktest::shell(quote(velktest::python()) + " -c " + quote(kOracle) + " " +
                                                     quote(velktest::scriptDir()) + " < " + quote(dir / "files"));
        for (Damage& d : list) {
            d.accept = verdicts.at(&d - list.data()) == '1';
            // Only the final cipher block and the tail may hide a damage; the tail hides every flip.
            EXPECT_TRUE(!d.accept || d.at + kLastBytes >= n) << d.what;
            EXPECT_TRUE(d.accept || d.at < n - kTail || d.bytes.size() != n) << d.what;
        }
    }

    // Runs velk-unpack on `slot`.in into `slot` (no shell; stdin /dev/null, output to `slot`.log,
    // nothing else inherited); SIGALRM ends a run that hangs.
    static velktest::Outcome run(const std::string& slot) {
        velktest::Launch how;
        how.argv = velktest::unpackArgv();
        how.argv.insert(how.argv.end(), {slot + ".in", "dest", "version"});
        how.out = slot + ".log";
        how.workDir = slot;
        how.hangSeconds = kHangSeconds;
        return velktest::run(how);
    }

    // Runs every second damage from `from` in `slot`; stops at the first wrong result.
    void runSlot(const std::string& slot, size_t from) {
        for (size_t i = from; i < list.size() && !HasFailure(); i += 2) {
            SCOPED_TRACE(list[i].what);
            velktest::writeFile(slot + ".in", list[i].bytes);
            const velktest::Outcome outcome = run(slot);
            ASSERT_EQ(outcome.signal, 0) << "signal " << outcome.signal << (outcome.signal == SIGALRM ? " (hang)" : "");
            const std::string& log = outcome.out;
            ASSERT_EQ(outcome.status, list[i].accept ? 0 : kIncomplete) << log;
            if (list[i].accept) {
                EXPECT_EQ(velktest::describeTree(slot + "/dest"), tree);
                EXPECT_EQ(velktest::readFile(slot + "/version"), version);
                velktest::writeFile(slot + "/version", "old");
                EXPECT_TRUE(std::filesystem::remove(slot + "/.dest.velk-index"));  // the install's index
            } else {
                const char* said[] = {"tgz: unpack fail\r\n", "tgz: unpack incomplete\r\n", "tgz: no package in the source\r\n"};
                EXPECT_TRUE(std::any_of(said, said + 3, [&](const char* line) { return log.find(line) != log.npos; })) << log;
            }
            // Nothing changed outside the destination (emptied for the next run).
            std::filesystem::remove_all(slot + "/dest");
            std::filesystem::create_directory(slot + "/dest");
            EXPECT_EQ(velktest::describeTree(slot), baseline);
        }
    }

    // Sweeps the damages of `bytes`, two runs at a time (one per slot); a run that succeeds
    // must leave the tree of folder `want` and version `wantVersion`.
    void sweep(const std::string& bytes, size_t begin, uint64_t seed, const char* want, const char* wantVersion) {
        intact = bytes;
        tree = velktest::describeTree(dir / want);
        version = wantVersion;
        damage(begin, seed);
        baseline = velktest::describeTree(dir / "s0");
        std::thread other([&] { runSlot(dir / "s1", 1); });
        runSlot(dir / "s0", 0);
        other.join();
    }

    velktest::TempDir dir;
    std::string first, second, intact, tree, version, baseline;
    std::vector<Damage> list;
};

TEST_F(DamageTest, OnePackage) { sweep(first, 0, 11, "t1", "1.0"); }

TEST_F(DamageTest, SecondOfTwoPackages) { sweep(first + second, first.size(), 12, "both", "2.0"); }

}  // namespace
