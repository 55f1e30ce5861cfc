#include "brn/crypto/RawAes.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace brn {
namespace {

constexpr int kBlock = AesCipher::kBlockBytes;
constexpr int kStreamMode = AesCipher::kModeCfb128;

}  // namespace

CRawAes::CRawAes() : buffer(new char[kBufferBytes]) {}

// Members go in reverse order of declaration: `buffer`, `cipher`, then `output`.
CRawAes::~CRawAes() = default;

int CRawAes::init(const char* key, const char* iv, int encrypt, StageOutput out) {
    if (key == nullptr || iv == nullptr || !out) return kInitBadArguments;
    engine.setKey(reinterpret_cast<const unsigned char*>(key), kKeyBytes);
    engine.setIv(reinterpret_cast<const unsigned char*>(iv));
    using namespace std::placeholders;
    cipher = std::bind(encrypt != 0 ? &AesCipher::encrypt : &AesCipher::decrypt, &engine, _1, _2, _3, _4);
    output = std::move(out);
    pendingCount = 0;
    failure = AesError::kNone;
    initialised = true;
    return 0;
}

// CFB-128 is a stream mode: whole blocks are ciphered as they come, and only the
// incomplete tail of a slice waits in pendingBlock for the next call.
int CRawAes::update(const char* data, int length) {
    if (data == nullptr || length <= 0) return kUpdateBadArguments;
    if (!initialised) return kUpdateNotInitialised;
    unsigned int remaining = static_cast<unsigned int>(length);
    const int held = pendingCount;
    if (held > 0) {
        const unsigned int need = static_cast<unsigned int>(kBlock - held);
        if (remaining < need) {
            std::memcpy(pendingBlock + held, data, remaining);
            pendingCount += static_cast<int>(remaining);
            return length;
        }
        std::memcpy(pendingBlock + held, data, need);
        if (emitCompletedBlock() < 0) return endStream(kUpdatePendingRefused);
        data += need;
        remaining -= need;
    }
    const unsigned int whole = remaining - remaining % kBlock;
    if (whole > 0 && emitWholeBlocks(data, whole) < 0) return endStream(kUpdateBulkRefused);
    std::memcpy(pendingBlock, data + whole, remaining - whole);
    pendingCount = static_cast<int>(remaining - whole);
    return length;
}

int CRawAes::finish() {
    if (!initialised) return kFinishNotInitialised;
    const int held = pendingCount;
    if (held > 0) {
        // The first `held` output bytes of a CFB block depend only on the chaining value
        // and the first `held` input bytes, so ciphering the whole block (its tail is
        // stale) and emitting `held` bytes is exactly CFB's short last segment.
        unsigned char chainBefore[kBlock];
        std::memcpy(chainBefore, engine.iv, kBlock);
        char block[kBlock];
        cipher(pendingBlock, block, kBlock, kStreamMode);
        refusal = kFinishRefused;
        if (output(block, held) < 0) {
            std::memcpy(engine.iv, chainBefore, kBlock);  // a retried finish emits the same bytes
            failure = AesError::kOutputRefused;
            return kFinishRefused;
        }
        pendingCount = 0;
    }
    initialised = false;
    return 0;
}

int CRawAes::emitCompletedBlock() {
    char block[kBlock];
    cipher(pendingBlock, block, kBlock, kStreamMode);
    refusal = kUpdatePendingRefused;
    int result = output(block, kBlock);
    if (result >= 0) pendingCount = 0;
    return result;
}

// The whole blocks go out in pieces of at most kBufferBytes, each ciphered into the
// stage's own buffer just before it is handed on. The first refusal stops the slice.
int CRawAes::emitWholeBlocks(const char* data, size_t whole) {
    for (size_t at = 0; at < whole; at += kBufferBytes) {
        const size_t piece = std::min(whole - at, size_t(kBufferBytes));
        cipher(data + at, buffer.get(), static_cast<unsigned int>(piece), kStreamMode);
        refusal = kUpdateBulkRefused;
        const int result = output(buffer.get(), static_cast<int>(piece));
        if (result < 0) return result;
    }
    return 0;
}

// The chaining value has already moved past the refused bytes: the stream cannot go
// on, and a retry of the same bytes must not be deciphered against the wrong chain.
int CRawAes::endStream(int code) {
    failure = AesError::kOutputRefused;
    pendingCount = 0;
    initialised = false;
    return code;
}

}  // namespace brn
