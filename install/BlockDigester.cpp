#include "install/BlockDigester.h"

#include <algorithm>

namespace velk {

void CBlockDigester::start() {
    inBlock = 0;
    block = 0;
    crypto_generichash_init(&state, key.data(), key.size(), kDigestSize);
}

void CBlockDigester::update(const char* data, size_t count) {
    while (count > 0) {
        const size_t part = size_t(std::min<uint64_t>(count, kIndexBlockSize - inBlock));
        crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(data), part);
        inBlock += part;
        data += part;
        count -= part;
        if (inBlock == kIndexBlockSize) completeBlock();
    }
}

void CBlockDigester::finish() {
    if (inBlock > 0) completeBlock();
}

void CBlockDigester::completeBlock() {
    Digest digest;
    crypto_generichash_final(&state, digest.data(), digest.size());
    sink(block, digest);
    ++block;
    inBlock = 0;
    crypto_generichash_init(&state, key.data(), key.size(), kDigestSize);
}

Digest blockDigest(const DigestKey& key, const unsigned char* data, size_t size) {
    Digest digest;
    crypto_generichash(digest.data(), digest.size(), data, size, key.data(), key.size());
    return digest;
}

}  // namespace velk
