// Throughput of the gzip and tar stages on a 64 MiB archive of mixed content, made
// once per run with GNU tar and gzip in a scratch directory. Compare with
//   gzip -dc archive.tar.gz | tar -x -C out
// timed on the same archive (bench prints where it left it).

#include <benchmark/benchmark.h>

#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "brn/gz/ZUncompress.h"
#include "brn/tar/DiskEntryMaker.h"
#include "brn/tar/TarReader.h"
#include "fs/FileUtil.h"
#include "fs/UniqueFd.h"

namespace {

namespace fs = std::filesystem;

constexpr int kFiles = 256;
constexpr size_t kFileBytes = 256 * 1024;  // 64 MiB in all

struct Archive {
    fs::path dir;
    std::string gzip;     // the compressed archive
    size_t tarBytes = 0;  // its decompressed size
};

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

// Half the files are seeded random bytes, half repetitive text, as update trees are.
const Archive& archive() {
    static const Archive made = [] {
        Archive a;
        a.dir = fs::temp_directory_path() / "velk-extract-bench";
        fs::remove_all(a.dir);
        fs::create_directories(a.dir / "tree");
        uint64_t state = 1;
        for (int i = 0; i < kFiles; ++i) {
            std::string bytes(kFileBytes, '\0');
            for (size_t k = 0; k < kFileBytes; ++k) {
                state = state * 6364136223846793005ull + 1442695040888963407ull;
                bytes[k] = i % 2 ? char(state >> 56) : "velk update text line\n"[k % 22];
            }
            std::ofstream(a.dir / "tree" / ("file" + std::to_string(i)), std::ios::binary) << bytes;
        }
        std::string d = a.dir.string();
        run("tar --format=ustar --sort=name -C " + d + "/tree -cf " + d + "/archive.tar . && gzip -6 -kf " + d +
            "/archive.tar");
        a.tarBytes = fs::file_size(a.dir / "archive.tar");
        std::ostringstream content;
        content << std::ifstream(a.dir / "archive.tar.gz", std::ios::binary).rdbuf();
        a.gzip = content.str();
        fprintf(stderr, "archive: %s/archive.tar.gz (%zu bytes, %zu decompressed)\n", d.c_str(), a.gzip.size(),
                a.tarBytes);
        return a;
    }();
    return made;
}

int pushInSlices(brn::CGunzip& gunzip, const std::string& bytes) {
    for (size_t at = 0; at < bytes.size(); at += velk::kReadChunkSize) {
        int n = int(std::min(velk::kReadChunkSize, bytes.size() - at));
        if (gunzip.update(bytes.data() + at, n) != n) return -1;
    }
    return gunzip.finish();
}

void BM_Inflate(benchmark::State& state) {
    const Archive& a = archive();
    for (auto _ : state) {
        brn::CGunzip gunzip;
        if (gunzip.init([](const char*, int n) { return n; }, nullptr, -15) != 0 || pushInSlices(gunzip, a.gzip) != 0) {
            state.SkipWithError("inflate failed");
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations() * a.tarBytes));
}

void BM_InflateAndExtract(benchmark::State& state) {
    const Archive& a = archive();
    const fs::path out = a.dir / "out";
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(out);
        fs::create_directories(out);
        state.ResumeTiming();
        const velk::CUniqueFd root(open(out.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        brn::CDiskEntryMaker maker(root.get(), out.string() + "/");
        brn::CTarReader tar;
        brn::CGunzip gunzip;
        auto toTar = [&tar](const char* data, int n) { return tar.update(data, n); };
        if (tar.init(&maker) != 0 || gunzip.init(toTar, nullptr, -15) != 0 || pushInSlices(gunzip, a.gzip) != 0 ||
            tar.finish() != 0) {
            state.SkipWithError("extraction failed");
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations() * a.tarBytes));
}

}  // namespace

BENCHMARK(BM_Inflate)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_InflateAndExtract)->Unit(benchmark::kMillisecond)->MinTime(2);
