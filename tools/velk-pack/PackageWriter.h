#pragma once
// CPackageWriter writes one VELK package into an empty file while its content (a tar
// stream) arrives, in constant memory whatever the size:
//   init(fd, name, settings)  checks the texts, draws salt, seed and free bytes from the
//                             seeded generator, derives the keys, reserves the head
//   update(data, len)         tar bytes -> deflate (gzip wrapper) -> AES-256-CFB128 -> file
//   finish()                  flushes both stages, writes the head with the payload length
//                             at offset 0 and appends the tail
// The descriptor is borrowed: the caller opens it, and keeps or removes what was written
// (a failed package is incomplete). `name` only names the file in messages. Each fault is
// printed where it is found. Same seed, same bytes.

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "VelkFile/PackageLayout.h"
#include "brn/crypto/PvtAes.h"

namespace velk {

struct PackSettings {
    std::string label;       // at most 63 bytes
    std::string customInfo;  // at most 255 bytes; a JSON document with a "PLVS" member
    uint64_t seed = 1;       // draws headerSalt, payloadSeed, the free header bytes and the tail
    int level = 6;           // deflate level, 0 (stored) to 9
};

class CPackageWriter {
public:
    static constexpr int kOk = 0;
    static constexpr int kBadSettings = -1;     // label over 63 bytes, info over 255, level outside 0..9
    static constexpr int kWriteFailed = -3;     // a write or pwrite of the package file failed
    static constexpr int kDeflateFailed = -4;   // zlib refused to start or to compress
    static constexpr int kCipherFailed = -5;    // the AES stage refused to start or failed
    static constexpr int kDigestFailed = -6;    // a keyed digest failed
    static constexpr int kWrongState = -7;      // update or finish without a successful init, or again
    static constexpr int kBadArguments = -8;    // data null or len <= 0

    CPackageWriter();
    ~CPackageWriter();
    CPackageWriter(const CPackageWriter&) = delete;
    CPackageWriter& operator=(const CPackageWriter&) = delete;

    [[nodiscard]] int init(int fd, const std::string& name, const PackSettings& settings);
    [[nodiscard]] int update(const char* data, int len);
    [[nodiscard]] int finish();

    // Known from init on (the AES key and initial vector) and after finish (the length).
    const std::string& aesKey() const { return key; }
    const std::string& aesIv() const { return iv; }
    uint64_t payloadOffset() const;
    uint64_t payloadLength() const { return payloadBytes; }

private:
    // What the writer takes next:  kSettings -> kContent -> kNothing;  any failure -> kFailed
    enum class Expect : int {
        kSettings = 0,  // init
        kContent = 1,   // tar bytes through update, then finish
        kNothing = 2,   // the package is complete
        kFailed = 3,    // failed: every call is refused
    };

    int deriveKeys();
    int startStages();
    int deflateInto(int flush);
    int writePayload(const char* data, int len);
    int writeHead();
    int writeTail();
    int fail(int code);

    Expect expect = Expect::kSettings;
    PackSettings settings;
    std::string outName;                  // the package file, for messages
    int fd = -1;                          // borrowed
    z_stream zs{};
    bool deflateStarted = false;
    brn::CPvtAesV0 aes;
    std::vector<unsigned char> deflated;  // deflate output on its way to the AES stage
    std::string fileHeader;               // 80 bytes: magic, free bytes, headerSalt
    unsigned char plainHead[kHeadBlockSize] = {};  // the head block before the XOR; length put in at finish
    std::string keyMaterial;              // payloadKeyMaterial, 64 bytes: first input of the AES stage
    std::string tail;                     // 32 bytes
    std::string key;                      // AES-256 key, 32 bytes
    std::string iv;                       // initial vector, 16 bytes
    uint64_t payloadBytes = 0;            // enciphered bytes written so far
    bool payloadWriteFailed = false;      // the AES stage failed because writing its output failed
};

}  // namespace velk
