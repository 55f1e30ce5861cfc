// velk-unpack run on damaged packages: cut at every offset, every byte with one bit
// flipped, and seeded garbles, of one package and of the second of two. The program never
// crashes or hangs, changes nothing outside the destination, and ends with success only
// where an independent decoder (python3 hashlib, zlib and python3-cryptography) finds the
// undamaged content (a flip in the tail, or in deflate bits that change nothing); the tree
// is then exactly the undamaged one. Two runs go at a time, forked and exec'd directly.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "tests/support/TestSupport.h"

using velktest::quote;
using velktest::shell;

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

// Reads "offset hexmask" lines; prints 1 when the file with those bytes XORed still holds
// exactly the undamaged packages, so a decoder must accept it, else 0.
const char* const kOracle = R"(import sys, zlib
sys.path.insert(0, sys.argv[1])
import velk_ref_pack as v
def decode(data):
    tars, at = [], 0
    while at < len(data):
        end = at + v.PAYLOAD_AT
        fh, head = data[at:at + v.FILE_HEADER], data[at + v.FILE_HEADER:end - v.HEAD_CHECK]
        check = data[end - v.HEAD_CHECK:end]
        salt = fh[v.SALT_AT:]
        if fh[:4] != b"VELK" or len(check) < v.HEAD_CHECK or v.keyed_digest(256, fh + head, salt) != check:
            return None
        head = v.xor_head(head, v.head_key(fh))
        size = int.from_bytes(head[v.PAYLOAD_LEN_AT:], "little")
        if size == 0 or end + size + v.TAIL > len(data):
            return None
        key, iv = v.aes_key_iv(head[:64], salt)
        z = zlib.decompressobj(31)
        plain = v.Cipher(v.algorithms.AES(key), v.CFB(iv)).decryptor().update(data[end:end + size])
        try:
            tars.append(z.decompress(plain))
        except zlib.error:
            return None
        if not z.eof or z.unused_data:
            return None
        at = end + size + v.TAIL
    return tars or None
intact = open(sys.argv[2], "rb").read()
want = decode(intact)
assert want
for line in sys.stdin:
    offset, mask = line.split()
    data = bytearray(intact)
    for i, b in enumerate(bytes.fromhex(mask)):
        data[int(offset) + i] ^= b
    print(int(decode(bytes(data)) == want))
)";

struct Damage {
    enum Kind { kXor, kDelete, kInsert } kind;
    size_t at;            // first damaged byte
    std::string mask;     // XORed from `at` (kXor), or inserted there (kInsert)
    size_t count = 0;     // bytes deleted at `at` (kDelete; to the end of the file: a cut)
    bool accept = false;  // the file still holds exactly the undamaged content

    std::string apply(std::string bytes) const {
        if (kind == kInsert) return bytes.insert(at, mask);
        if (kind == kDelete) return bytes.erase(at, count);
        for (size_t i = 0; i < mask.size(); ++i) bytes[at + i] = char(bytes[at + i] ^ mask[i]);
        return bytes;
    }
    std::string what() const {
        const char* names[] = {"xor ", "delete ", "insert "};
        return names[kind] + std::to_string(at) + " " + std::to_string(count) + " " + velktest::toHex(mask);
    }
};

class DamageTest : public ::testing::Test {
protected:
    void SetUp() override {
        shell("cd " + quote(dir.path()) + " && mkdir -p t1/d t2/b both"
              " && printf 'hello\\n' > t1/d/f.txt && printf abc > t1/a && ln -s d/f.txt t1/l && ln -s ../sibling t1/out"
              " && printf 'second\\n' > t2/b/g.txt && printf xyz > t2/a && ln -s b t2/m"
              " && ln -s ../sibling/sentinel t2/up && for t in t1 t2; do tar --format=ustar --sort=name --mtime=@0"
              " --owner=0 --group=0 -C $t -cf $t.tar . && tar -xf $t.tar -C both; done && " +
              velktest::refPacker() + " --label L --info '{\"PLVS\":\"1.0\"}' --seed 1 --tar t1.tar -o p1.velk && " +
              velktest::refPacker() + " --label L --info '{\"PLVS\":\"2.0\"}' --seed 2 --tar t2.tar -o p2.velk"
              " && for s in s0 s1; do mkdir -p $s/work $s/dest $s/sibling && printf sentinel > $s/sibling/sentinel"
              " && ln -s sentinel $s/sibling/link && printf old > $s/version; done");
        first = velktest::readFile(dir / "p1.velk");
        second = velktest::readFile(dir / "p2.velk");
        ASSERT_LT(first.size(), 1536u);
    }

    // Damage from `begin` on (one package starting there, ending the file): every cut, one
    // flipped bit per byte (bit = offset mod 8), and seeded XOR spans, inserts and deletes.
    std::vector<Damage> damages(const std::string& intact, size_t begin, uint64_t seed) {
        std::vector<Damage> list;
        const size_t n = intact.size();
        for (size_t i = begin; i < n; ++i) {
            if ((i - begin) % kStride != 0 && i + kLastBytes < n) continue;
            if (i > begin || begin == 0) list.push_back({Damage::kDelete, i, "", n - i});
            list.push_back({Damage::kXor, i, std::string(1, char(1 << (i % 8)))});
        }
        const std::string random = velktest::seededBytes(40 * 4, seed), masks = velktest::seededBytes(40 * 24, ~seed);
        for (size_t k = 0; k < 40; ++k) {
            const auto r = [&](size_t j) { return size_t(static_cast<unsigned char>(random[k * 4 + j])); };
            const size_t at = begin + (r(0) * 256 + r(1)) % (n - begin);
            Damage d{Damage::kXor, at, masks.substr(k * 24, std::min<size_t>(1 + r(2) % 24, n - at))};
            for (char& c : d.mask) c = c == 0 ? char(0x80) : c;  // every masked byte changes
            if (k % 8 == 3) d.kind = Damage::kInsert;
            if (k % 8 == 7) d = {Damage::kDelete, at, "", 1 + r(3) % 8};
            list.push_back(d);
        }
        markAccepted(intact, list);
        return list;
    }

    // Asks the independent decoder which XOR damages leave the content as it was.
    void markAccepted(const std::string& intact, std::vector<Damage>& list) {
        velktest::writeFile(dir / "intact.velk", intact);
        velktest::writeFile(dir / "oracle.py", kOracle);
        std::string lines;
        for (const Damage& d : list) {
            if (d.kind == Damage::kXor) lines += std::to_string(d.at) + " " + velktest::toHex(d.mask) + "\n";
        }
        velktest::writeFile(dir / "queries", lines);
        std::istringstream verdicts(shell(quote(velktest::python()) + " " + quote(dir / "oracle.py") + " " +
                                          quote(velktest::scriptDir()) + " " + quote(dir / "intact.velk") + " < " +
                                          quote(dir / "queries")));
        for (Damage& d : list) {
            if (d.kind != Damage::kXor) continue;
            int verdict = 0;
            verdicts >> verdict;
            d.accept = verdict == 1;
            const bool inTail = d.at >= intact.size() - kTail;
            // Only the tail and the final cipher block may hide a damage.
            EXPECT_TRUE(!d.accept || d.at + kLastBytes >= intact.size()) << d.what();
            EXPECT_TRUE(d.accept || !inTail) << d.what();
        }
    }

    // Starts velk-unpack on the slot's input, output to its log; no shell, no inherited
    // descriptors, killed by SIGALRM if it hangs.
    pid_t start(const std::string& slot) {
        const std::string in = slot + "/work/in.velk", dest = slot + "/dest", version = slot + "/version",
                          log = slot + "/work/log";
        const char* argv[] = {VELK_UNPACK, in.c_str(), dest.c_str(), version.c_str(), nullptr};
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = fcntl(open("/dev/null", O_RDONLY), F_DUPFD, 10);
            const int fd = fcntl(open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), F_DUPFD, 10);
            if (dup2(null, 0) < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) _exit(126);
            close_range(3, ~0u, 0);
            signal(SIGALRM, SIG_DFL);
            alarm(kHangSeconds);
            execv(argv[0], const_cast<char* const*>(argv));
            _exit(127);
        }
        return pid;
    }

    // The slot as seen from outside its destination: its top-level names, the sibling
    // folder and the version file. (A damaged name may hold a line end, so the listing
    // of the destination cannot simply be filtered out of one of the whole slot.)
    static std::string outside(const std::string& slot) {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(slot)) names.insert(entry.path().filename());
        std::string view = velktest::describeTree(slot + "/sibling") + velktest::readFile(slot + "/version") + "\n";
        for (const std::string& name : names) view += name + "\n";
        return view;
    }

    void judge(const std::string& slot, int wait, const Damage& d, const std::string& tree, const char* version) {
        SCOPED_TRACE(d.what());
        ASSERT_TRUE(WIFEXITED(wait)) << "signal " << WTERMSIG(wait) << (WTERMSIG(wait) == SIGALRM ? " (hang)" : "");
        const std::string log = velktest::readFile(slot + "/work/log");
        ASSERT_EQ(WEXITSTATUS(wait), d.accept ? 0 : kIncomplete) << log;
        if (d.accept) {
            EXPECT_EQ(velktest::describeTree(slot + "/dest"), tree);
            EXPECT_EQ(velktest::readFile(slot + "/version"), version);
            velktest::writeFile(slot + "/version", "old");
        } else {
            const auto said = [&log](const char* line) { return log.find(line) != log.npos; };
            EXPECT_TRUE(said("tgz: unpack fail\r\n") || said("tgz: unpack incomplete\r\n") ||
                        said("tgz: no package in the source\r\n")) << log;
        }
        EXPECT_EQ(outside(slot), baseline);
    }

    // Runs every damage, two at a time; stops at the first wrong result.
    void sweep(const std::string& intact, const std::vector<Damage>& list, const std::string& tree,
               const char* version) {
        const std::string slots[2] = {dir / "s0", dir / "s1"};
        baseline = outside(slots[0]);
        pid_t pids[2] = {-1, -1};
        size_t jobs[2] = {0, 0}, next = 0;
        for (;;) {
            for (int s = 0; s < 2 && !HasFailure(); ++s) {
                if (pids[s] > 0 || next == list.size()) continue;
                velktest::writeFile(slots[s] + "/work/in.velk", list[next].apply(intact));
                jobs[s] = next++;
                pids[s] = start(slots[s]);
                ASSERT_GT(pids[s], 0);
            }
            int wait = 0;
            const pid_t done = waitpid(-1, &wait, 0);
            if (done < 0) break;  // nothing left running
            const int s = done == pids[0] ? 0 : 1;
            pids[s] = -1;
            if (!HasFailure()) judge(slots[s], wait, list[jobs[s]], tree, version);
        }
        EXPECT_EQ(next, list.size());
    }

    velktest::TempDir dir;
    std::string first, second, baseline;
};

TEST_F(DamageTest, OnePackage) {
    const std::vector<Damage> list = damages(first, 0, 11);
    sweep(first, list, velktest::describeTree(dir / "t1"), "1.0");
}

TEST_F(DamageTest, SecondOfTwoPackages) {
    const std::string both = first + second;
    const std::vector<Damage> list = damages(both, first.size(), 12);
    sweep(both, list, velktest::describeTree(dir / "both"), "2.0");
}

}  // namespace
