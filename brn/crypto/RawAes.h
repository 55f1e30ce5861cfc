#pragma once
// A push stage that enciphers or deciphers a byte stream with AES-256 in CFB-128 mode.
// Calling order: init(key, iv, encrypt, output), any number of update, finish; init may
// be called again at any time to start a new stream. Whole blocks go to `output` in
// multiples of 16 bytes, at most kBufferBytes per call, during update; fewer than 16 bytes
// are carried to the next call, and finish emits exactly the bytes still held. The stage
// owns its engine, copies of both callbacks and one output buffer allocated by the
// constructor (no allocation per update); it is neither copyable nor movable because
// `cipher` is bound to its own `engine`. A refusal by `output` during update ends the
// stream (see update).

#include <functional>
#include <memory>

#include "brn/Stage.h"
#include "brn/crypto/AesCipher.h"

namespace brn {

// Why the stream failed, recorded where the fault is found; kNone while it has not. The
// stage deciphers whatever it is given: it fails only when the next stage refuses a block.
enum class AesError : int {
    kNone = 0,
    kOutputRefused = 1,  // the next stage refused a block of output
};

class CRawAes {
public:
    static constexpr int kKeyBytes = 32;  // the stage always uses AES-256
    static constexpr int kIvBytes = AesCipher::kBlockBytes;
    static constexpr int kBufferBytes = 16384;  // the most one output call of update carries

    static constexpr int kInitBadArguments = -1;      // key or iv null, or output empty
    static constexpr int kUpdateBadArguments = -1;    // data null or length <= 0
    static constexpr int kUpdateNotInitialised = -2;  // no init, after finish, or after a refusal
    static constexpr int kUpdatePendingRefused = -3;  // output refused the completed carried block
    static constexpr int kUpdateBulkRefused = -4;     // output refused the whole-block slice
    static constexpr int kFinishNotInitialised = -1;  // no init, or finish already done
    static constexpr int kFinishRefused = -2;         // output refused the last partial block

    CRawAes();
    ~CRawAes();
    CRawAes(const CRawAes&) = delete;
    CRawAes& operator=(const CRawAes&) = delete;

    // Reads 32 key bytes and 16 iv bytes; `encrypt` non-zero enciphers, 0 deciphers.
    [[nodiscard]] int init(const char* key, const char* iv, int encrypt, StageOutput out);
    // Returns length once every byte was taken. A refusal by `output` returns -3 or -4
    // and ends the stream: the chaining value has moved past the refused bytes, so later
    // updates return -2 and finish returns -1 until the next init.
    [[nodiscard]] int update(const char* data, int length);
    // Emits the carried bytes. A refusal returns -2 and leaves the stage as it was, so a
    // later finish emits the same bytes again.
    [[nodiscard]] int finish();

    // Why the stream failed since init; kNone while it has not.
    AesError lastError() const { return failure; }
    // What update or finish returns if `output` refuses the block it is being handed now:
    // kUpdatePendingRefused, kUpdateBulkRefused or kFinishRefused. A stage that takes blocks
    // on another thread (brn/untgza/StageLine.h) keeps it with each block, so a refusal found
    // later is reported as this call would have reported it.
    int refusalCode() const { return refusal; }
    // On (the default), CFB-128 uses the processor's AES instructions where present; off
    // keeps this stage to the tables, for a test or benchmark comparing both paths.
    void allowHardware(bool allowed) { engine.hardwareAllowed = allowed; }

private:
    int emitCompletedBlock();
    int emitWholeBlocks(const char* data, size_t whole);
    int endStream(int code);

    bool initialised = false;  // from a successful init until finish (or a refusal)
    AesError failure = AesError::kNone;
    StageOutput output;
    AesCipher engine;
    int pendingCount = 0;      // bytes held in pendingBlock, 0..15
    int refusal = kUpdateBulkRefused;  // see refusalCode
    char pendingBlock[AesCipher::kBlockBytes] = {};
    std::function<void(const char*, char*, unsigned int, int)> cipher;  // engine's encrypt or decrypt
    std::unique_ptr<char[]> buffer;  // kBufferBytes: whole blocks ciphered by update, handed on from here
};

}  // namespace brn
