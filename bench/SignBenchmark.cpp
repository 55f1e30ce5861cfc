// Throughput of CSignatureVerifier::update (BLAKE2b-512) over 1 MiB buffers: a device hashes
// every byte of a package it checks, so this sets the cost of a signature on top of unpacking.

#include <benchmark/benchmark.h>

#include <string>

#include "brn/sign/SignatureVerifier.h"

namespace {

constexpr int kBufferBytes = 1 << 20;

void BM_VerifierUpdate(benchmark::State& state) {
    // Only hashing is timed: finish, and with it Ed25519, never runs, so any key will do.
    brn::MinisignPublicKey key;
    brn::MinisignSignature signature;
    brn::CSignatureVerifier verifier;
    if (verifier.init(key, signature) != brn::SignVerdict::kOk) {
        state.SkipWithError("init failed");
        return;
    }
    const std::string buffer(kBufferBytes, '\x5a');
    for (auto _ : state) {
        if (verifier.update(buffer.data(), kBufferBytes) != kBufferBytes) {
            state.SkipWithError("update failed");
            break;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kBufferBytes);
}
BENCHMARK(BM_VerifierUpdate);

}  // namespace
