#include "brn/crypto/ShaDigest.h"

#include <cstddef>
#include <cstring>

#include "brn/crypto/Sha.h"

namespace brn {
namespace {

constexpr size_t kMaxDigestBytes = 64;
constexpr size_t kHmacBlockBytes = 64;  // for every selector, 384 and 512 included
constexpr unsigned char kInnerPad = 0x36;
constexpr unsigned char kOuterPad = 0x5c;
constexpr size_t kLargestUpdate = size_t(1) << 30;  // the context calls take unsigned int lengths

// Digest of `head` followed by `body` into `out`, with the context on the stack.
using OneShot = void (*)(const unsigned char* head, size_t headLength, const unsigned char* body,
                         size_t bodyLength, unsigned char* out);

template <class Context, void (*Update)(Context*, const void*, unsigned int)>
void updateAll(Context& context, const unsigned char* data, size_t length) {
    for (size_t done = 0; done < length;) {
        size_t piece = length - done < kLargestUpdate ? length - done : kLargestUpdate;
        Update(&context, data + done, static_cast<unsigned int>(piece));
        done += piece;
    }
}

template <class Context, void (*Init)(Context*), void (*Update)(Context*, const void*, unsigned int),
          void (*Final)(Context*, unsigned char*)>
void oneShot(const unsigned char* head, size_t headLength, const unsigned char* body, size_t bodyLength,
             unsigned char* out) {
    Context context;
    Init(&context);
    updateAll<Context, Update>(context, head, headLength);
    updateAll<Context, Update>(context, body, bodyLength);
    Final(&context, out);
}

struct ShaSelector {
    int bits;
    unsigned int outBytes;
    OneShot oneShot;
};

constexpr OneShot kSha1 = oneShot<SHA1Context, SHA1Init, SHA1Update, SHA1Final>;

constexpr ShaSelector kSelectors[] = {
    {1, 20, kSha1},
    {160, 20, kSha1},
    {256, 32, oneShot<SHA256Context, SHA256Init, SHA256Update, SHA256Final>},
    {384, 48, oneShot<SHA512Context, SHA384Init, SHA384Update, SHA384Final>},
    {512, 64, oneShot<SHA512Context, SHA512Init, SHA512Update, SHA512Final>},
};

const ShaSelector* findSelector(int bits) {
    for (const ShaSelector& selector : kSelectors) {
        if (selector.bits == bits) return &selector;
    }
    return nullptr;
}

const unsigned char* bytes(const void* data) { return static_cast<const unsigned char*>(data); }

void assignBytes(std::string& target, const unsigned char* data, size_t length) {
    target.assign(reinterpret_cast<const char*>(data), length);
}

// The key block K: a key longer than the block is replaced by its digest; either
// way the rest of the block is zero.
void makeKeyBlock(const ShaSelector& selector, const std::string& key, unsigned char (&block)[kHmacBlockBytes]) {
    std::memset(block, 0, sizeof block);
    if (key.size() > kHmacBlockBytes) {
        selector.oneShot(nullptr, 0, bytes(key.data()), key.size(), block);
    } else {
        std::memcpy(block, key.data(), key.size());
    }
}

void xorBlock(const unsigned char (&in)[kHmacBlockBytes], unsigned char pad, unsigned char (&out)[kHmacBlockBytes]) {
    for (size_t i = 0; i < kHmacBlockBytes; ++i) out[i] = static_cast<unsigned char>(in[i] ^ pad);
}

}  // namespace

int shaDigest(int bits, const void* data, int length, unsigned char* digest, unsigned int* digestLength) {
    if (data == nullptr || digest == nullptr || digestLength == nullptr || length <= 0) return kShaBadArguments;
    const ShaSelector* selector = findSelector(bits);
    if (selector == nullptr) return kShaUnknownSelector;
    unsigned char out[kMaxDigestBytes];
    selector->oneShot(nullptr, 0, bytes(data), static_cast<size_t>(length), out);
    std::memcpy(digest, out, selector->outBytes);
    *digestLength = selector->outBytes;
    return 0;
}

int shaDigestString(int bits, const std::string& data, std::string& digest) {
    if (data.empty()) return kShaBadArguments;
    const ShaSelector* selector = findSelector(bits);
    if (selector == nullptr) return kShaUnknownSelector;
    unsigned char out[kMaxDigestBytes];
    selector->oneShot(nullptr, 0, bytes(data.data()), data.size(), out);
    assignBytes(digest, out, selector->outBytes);
    return 0;
}

// HMAC: H((K ^ opad) || H((K ^ ipad) || message)), with a 64-byte K for every digest.
// The pad blocks are fed into the context ahead of the data, so nothing is copied.
int hmacSha(int bits, const std::string& message, const std::string& key, std::string& mac) {
    if (message.empty()) return kHmacEmptyMessage;
    if (key.empty()) return kHmacEmptyKey;
    const ShaSelector* selector = findSelector(bits);
    if (selector == nullptr) return key.size() > kHmacBlockBytes ? kHmacKeyDigestFailed : kShaUnknownSelector;
    unsigned char keyBlock[kHmacBlockBytes];
    makeKeyBlock(*selector, key, keyBlock);
    unsigned char pad[kHmacBlockBytes];
    unsigned char inner[kMaxDigestBytes];
    xorBlock(keyBlock, kInnerPad, pad);
    selector->oneShot(pad, sizeof pad, bytes(message.data()), message.size(), inner);
    unsigned char outer[kMaxDigestBytes];
    xorBlock(keyBlock, kOuterPad, pad);
    selector->oneShot(pad, sizeof pad, inner, selector->outBytes, outer);
    assignBytes(mac, outer, selector->outBytes);
    return 0;
}

}  // namespace brn
