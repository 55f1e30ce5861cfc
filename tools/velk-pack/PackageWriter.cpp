#include "tools/velk-pack/PackageWriter.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "VelkFile/Algorithm.h"
#include "VelkFile/PackageLayout.h"
#include "brn/ByteOrder.h"

namespace velk {

namespace {

constexpr size_t kDeflateBufferSize = 64 * 1024;
constexpr int kGzipWindowBits = 15 + 16;  // 32 KiB window, gzip header and trailer
constexpr int kDeflateMemLevel = 8;
constexpr int kMaxLevel = 9;
constexpr size_t kMaxLabelSize = kLabelFieldSize;
constexpr size_t kMaxCustomInfoSize = 255;  // its length is one byte
constexpr size_t kFreeBytesSize = 12;
constexpr size_t kHeadCheckAt = kFileHeaderSize + kHeadBlockSize;
constexpr size_t kPackageHeadSize = kHeadCheckAt + kHeadCheckSize;  // everything before the payload
constexpr size_t kAesKeySize = 32;
constexpr size_t kAesIvSize = 16;
constexpr int kEncrypt = 1;

// splitmix64: a small generator, the same sequence for the same seed everywhere.
class CSplitMix64 {
public:
    explicit CSplitMix64(uint64_t seed) : state(seed) {}
    std::string draw(size_t count) {
        std::string bytes(count, '\0');
        for (size_t i = 0; i < count; i += 8) {
            uint64_t word = next();
            for (size_t k = 0; k < 8 && i + k < count; ++k) bytes[i + k] = static_cast<char>(word >> (8 * k));
        }
        return bytes;
    }

private:
    uint64_t next() {
        uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    uint64_t state;
};

void report(const char* what) { fprintf(stderr, "velk-pack: %s\n", what); }

void reportErrno(const std::string& path, const char* what) {
    fprintf(stderr, "velk-pack: %.*s: %s: %s\n", int(path.size()), path.data(), what, strerror(errno));
}

bool writeFully(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= size_t(n);
    }
    return true;
}

bool pwriteFully(int fd, const unsigned char* data, size_t length, off_t offset) {
    while (length > 0) {
        ssize_t n = ::pwrite(fd, data, length, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= size_t(n);
        offset += n;
    }
    return true;
}

std::string headerSaltOf(const std::string& fileHeader) { return fileHeader.substr(kHeaderSaltAt, kHeaderSaltSize); }

// The plain head block but its payload length (zero until writeHead): payloadSeed, label, customInfo.
void putPlainHead(unsigned char* head, const std::string& payloadSeed, const PackSettings& settings) {
    std::memset(head, 0, kHeadBlockSize);
    std::memcpy(head + kPayloadSeedAt, payloadSeed.data(), kPayloadSeedSize);
    head[kLabelLengthAt] = static_cast<unsigned char>(settings.label.size());
    std::memcpy(head + kLabelAt, settings.label.data(), settings.label.size());
    head[kCustomInfoLengthAt] = static_cast<unsigned char>(settings.customInfo.size());
    std::memcpy(head + kCustomInfoAt, settings.customInfo.data(), settings.customInfo.size());
}

}  // namespace

CPackageWriter::CPackageWriter() : deflated(kDeflateBufferSize) {}

CPackageWriter::~CPackageWriter() {
    if (deflateStarted) deflateEnd(&zs);
}

uint64_t CPackageWriter::payloadOffset() const { return kPackageHeadSize; }

int CPackageWriter::init(int file, const std::string& name, const PackSettings& given) {
    if (expect != Expect::kSettings) return kWrongState;
    if (given.label.size() > kMaxLabelSize) {
        report("label longer than 63 bytes");
        return kBadSettings;
    }
    if (given.customInfo.size() > kMaxCustomInfoSize) {
        report("custom information longer than 255 bytes");
        return kBadSettings;
    }
    if (given.level < 0 || given.level > kMaxLevel) {
        report("compression level outside 0..9");
        return kBadSettings;
    }
    settings = given;
    CSplitMix64 random(settings.seed);
    fileHeader = std::string(kMagic, kMagicSize) + random.draw(kFreeBytesSize) + random.draw(kHeaderSaltSize);
    putPlainHead(plainHead, random.draw(kPayloadSeedSize), settings);
    tail = random.draw(kTailSize);
    if (deriveKeys() != kOk) return kDigestFailed;

    fd = file;
    outName = name;
    expect = Expect::kContent;
    const std::string placeholder(kPackageHeadSize, '\0');  // the head is written once the length is known
    if (!writeFully(fd, placeholder.data(), placeholder.size())) {
        reportErrno(outName, "cannot write");
        return fail(kWriteFailed);
    }
    return startStages();
}

// The payload key material as the decoder derives it from the deciphered head. The AES key
// and IV are taken from the cipher stage's own derivation, so the printed key is the one it uses.
int CPackageWriter::deriveKeys() {
    if (derivePayloadKeyMaterial(fileHeader.data(), reinterpret_cast<const char*>(plainHead), keyMaterial) < 0 ||
        aes.deriveKeyIv(keyMaterial, headerSaltOf(fileHeader), key, iv) < 0 || key.size() < kAesKeySize ||
        iv.size() < kAesIvSize) {
        report("key derivation failed");
        return kDigestFailed;
    }
    key.resize(kAesKeySize);
    iv.resize(kAesIvSize);
    return kOk;
}

int CPackageWriter::startStages() {
    if (deflateInit2(&zs, settings.level, Z_DEFLATED, kGzipWindowBits, kDeflateMemLevel, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        report("cannot start the compressor");
        return fail(kDeflateFailed);
    }
    deflateStarted = true;
    int result = aes.init(keyMaterial, headerSaltOf(fileHeader), kEncrypt,
                          [this](const char* data, int len) { return writePayload(data, len); });
    if (result < 0) {
        report("cannot start the cipher");
        return fail(kCipherFailed);
    }
    return kOk;
}

int CPackageWriter::update(const char* data, int len) {
    if (expect != Expect::kContent) return kWrongState;
    if (data == nullptr || len <= 0) return kBadArguments;
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    zs.avail_in = uInt(len);
    int result = deflateInto(Z_NO_FLUSH);
    return result == kOk ? len : result;
}

// Runs deflate over the pending input (to the end of the stream with Z_FINISH) and hands
// every output buffer to the AES stage.
int CPackageWriter::deflateInto(int flush) {
    for (;;) {
        zs.next_out = deflated.data();
        zs.avail_out = uInt(deflated.size());
        int z = deflate(&zs, flush);
        if (z != Z_OK && z != Z_STREAM_END && z != Z_BUF_ERROR) {
            report("compression failed");
            return fail(kDeflateFailed);
        }
        size_t produced = deflated.size() - zs.avail_out;
        if (produced > 0 && aes.update(reinterpret_cast<const char*>(deflated.data()), int(produced)) < 0) {
            if (!payloadWriteFailed) report("enciphering failed");
            return fail(payloadWriteFailed ? kWriteFailed : kCipherFailed);
        }
        bool done = flush == Z_FINISH ? z == Z_STREAM_END : zs.avail_out != 0;
        if (done) return kOk;
    }
}

int CPackageWriter::writePayload(const char* data, int len) {
    if (!writeFully(fd, data, size_t(len))) {
        reportErrno(outName, "cannot write");
        payloadWriteFailed = true;
        return -1;
    }
    payloadBytes += uint64_t(len);
    return len;
}

int CPackageWriter::finish() {
    if (expect != Expect::kContent) return kWrongState;
    zs.next_in = nullptr;
    zs.avail_in = 0;
    int result = deflateInto(Z_FINISH);
    if (result != kOk) return result;
    deflateEnd(&zs);
    deflateStarted = false;
    if (aes.finish() < 0) {
        if (!payloadWriteFailed) report("enciphering failed");
        return fail(payloadWriteFailed ? kWriteFailed : kCipherFailed);
    }
    result = writeHead();
    if (result != kOk) return result;
    result = writeTail();
    if (result != kOk) return result;
    expect = Expect::kNothing;
    return kOk;
}

// Fills the reserved head: file header, head block enciphered with headKey, head check;
// the decoder's routines in the enciphering direction (the XOR is its own inverse).
int CPackageWriter::writeHead() {
    unsigned char packageHead[kPackageHeadSize];
    std::memcpy(packageHead, fileHeader.data(), kFileHeaderSize);
    unsigned char* head = packageHead + kFileHeaderSize;
    brn::storeLe64(plainHead + kPayloadLengthAt, payloadBytes);
    std::memcpy(head, plainHead, kHeadBlockSize);
    unsigned char headKey[kHeadKeySize];
    if (algorithmGetHeadKey(fileHeader.data(), headKey) != 0) {
        report("head key derivation failed");
        return fail(kDigestFailed);
    }
    if (algorithmEncryptionHeadData(head, int(kHeadBlockSize), headKey, int(kHeadKeySize)) != 0) {
        report("enciphering the head failed");
        return fail(kDigestFailed);
    }
    if (getProduceHeadCheck(fileHeader.data(), reinterpret_cast<const char*>(head),
                            packageHead + kHeadCheckAt) != 0) {
        report("head check failed");
        return fail(kDigestFailed);
    }
    if (!pwriteFully(fd, packageHead, kPackageHeadSize, 0)) {
        reportErrno(outName, "cannot write the head");
        return fail(kWriteFailed);
    }
    return kOk;
}

int CPackageWriter::writeTail() {
    if (!writeFully(fd, tail.data(), tail.size())) {
        reportErrno(outName, "cannot write");
        return fail(kWriteFailed);
    }
    return kOk;
}

// Later calls are refused; what was written stays for the caller to remove.
int CPackageWriter::fail(int code) {
    if (deflateStarted) {
        deflateEnd(&zs);
        deflateStarted = false;
    }
    expect = Expect::kFailed;
    return code;
}

}  // namespace velk
