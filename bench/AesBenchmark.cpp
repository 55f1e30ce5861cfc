// Throughput of the payload cipher: CRawAes deciphering AES-256-CFB128 in 1 MiB updates,
// on the table path (/hardware:0) and on the processor's AES instructions (/hardware:1).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "brn/crypto/AesHardware.h"
#include "brn/crypto/RawAes.h"

namespace {

constexpr int kUpdateBytes = 1 << 20;

void BM_RawAesCfb128Decipher(benchmark::State& state) {
    const bool hardware = state.range(0) != 0;
    if (hardware && !brn::aesHardwarePresent()) {
        state.SkipWithError("no hardware AES path on this machine or in this build");
        return;
    }
    std::string input(kUpdateBytes, '\0');
    for (size_t i = 0; i < input.size(); ++i) input[i] = char(uint8_t(i * 131 + 7));
    const std::string key(brn::CRawAes::kKeyBytes, '\x5a');
    const std::string iv(brn::CRawAes::kIvBytes, '\xa5');
    uint64_t sink = 0;
    brn::CRawAes stage;
    stage.allowHardware(hardware);
    int init = stage.init(key.data(), iv.data(), 0, [&sink](const char* p, int n) {
        sink += uint8_t(p[n - 1]);
        return n;
    });
    if (init != 0) state.SkipWithError("init failed");
    for (auto _ : state) {
        benchmark::DoNotOptimize(stage.update(input.data(), kUpdateBytes));
    }
    benchmark::DoNotOptimize(sink);
    state.SetBytesProcessed(int64_t(state.iterations()) * kUpdateBytes);
}
BENCHMARK(BM_RawAesCfb128Decipher)->ArgName("hardware")->Arg(0)->Arg(1);

}  // namespace
