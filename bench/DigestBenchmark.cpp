// Throughput of the SHA-256 and SHA-512 context calls over 1 MiB buffers, as the
// payload key derivation and head checks never hash more than that at once.

#include <benchmark/benchmark.h>

#include <string>

#include "brn/crypto/Sha.h"

namespace {

constexpr size_t kBufferBytes = 1 << 20;

const std::string& buffer() {
    static const std::string bytes(kBufferBytes, '\x5a');
    return bytes;
}

void BM_Sha256(benchmark::State& state) {
    unsigned char out[32];
    for (auto _ : state) {
        brn::SHA256Context context;
        brn::SHA256Init(&context);
        brn::SHA256Update(&context, buffer().data(), kBufferBytes);
        brn::SHA256Final(&context, out);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBufferBytes));
}
BENCHMARK(BM_Sha256);

void BM_Sha512(benchmark::State& state) {
    unsigned char out[64];
    for (auto _ : state) {
        brn::SHA512Context context;
        brn::SHA512Init(&context);
        brn::SHA512Update(&context, buffer().data(), kBufferBytes);
        brn::SHA512Final(&context, out);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBufferBytes));
}
BENCHMARK(BM_Sha512);

}  // namespace
