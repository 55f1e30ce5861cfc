#pragma once
// CUntgza turns an enciphered payload into files: a push pipeline of three stages held
// by value, AES-256-CFB128 deciphering -> gzip decoding -> tar extraction, linked by two
// small lambdas that pass each block on by pointer and length. It adds no buffer of its
// own. Calling order: init (the stages are set up from the tar end of the chain back to
// AES), any number of update, finish (AES, gzip with its trailer check, then tar). One
// pipeline serves one payload; the owner makes a fresh one for the next. The name is
// inherited ("un-tgz, AES"): callers and the system's documentation use it.
// Given a stage line (brn/untgza/StageLine.h), the pipeline deciphers on the calling thread
// and the line inflates and unpacks on its workers: a block refused there shows at a later
// update or at settle, with the code the update that handed it on would have returned, and
// nothing that one thread would not have done after it is done or said. Call settle after the
// last update and before finish: finish runs its stages on the calling thread, as one thread
// does. The line must outlive the pipeline.

#include <string>

#include "brn/crypto/PvtAes.h"
#include "brn/gz/ZUncompress.h"
#include "brn/tar/TarReader.h"
#include "brn/untgza/StageLine.h"

namespace brn {

// The stage a failed pipeline failed in, and why: the stage whose own fault it was, not one
// that only passed on a refusal from further down the chain.
enum class PipelineStage : int { kNone = 0, kCipher = 1, kGzip = 2, kTar = 3 };

struct PipelineError {
    PipelineStage stage = PipelineStage::kNone;
    AesError cipher = AesError::kNone;
    GzipError gzip = GzipError::kNone;
    TarError tar = TarError::kNone;
};

class CUntgza {
public:
    // The numbers are fixed per call, each naming the stage that failed: init sets the stages
    // up from the tar end, so its -1 is the tar stage; finish ends them from the cipher end, so
    // its -1 is the cipher stage. lastError tells the stage and cause without the numbers.
    static constexpr int kInitTarFailed = -1;     // init: the tar stage refused the maker
    static constexpr int kInitGzipFailed = -2;    // init: the gzip stage could not be set up
    static constexpr int kInitAesFailed = -3;     // init: the cipher stage refused the key inputs
    static constexpr int kFinishAesFailed = -1;   // finish: the cipher stage's last block failed
    static constexpr int kFinishGzipFailed = -2;  // finish: the gzip stage's rest or trailer failed
    static constexpr int kFinishTarFailed = -3;   // finish: the archive ended inside an entry, or failed

    CUntgza() = default;
    ~CUntgza();
    CUntgza(const CUntgza&) = delete;
    CUntgza& operator=(const CUntgza&) = delete;

    // keyMaterial, salt: the AES stage's key inputs, the package's 64-byte payload key
    // material and its 64-byte header salt, from which the stage derives its key and IV;
    // maker: makes every tar entry, and outlives the pipeline; line: where the gzip and tar
    // stages run, or nullptr to run them in the calling thread.
    [[nodiscard]] int init(const std::string& keyMaterial, const std::string& salt, CEntryMaker* maker,
                           CStageLine* line = nullptr);

    // len, or the AES stage's negative result (-3/-4 when a later stage refused a block).
    [[nodiscard]] int update(const char* data, int len);
    // Waits until every block handed to the line went through: 0, or what update would have
    // returned for the one refused. Without a line, 0 at once.
    [[nodiscard]] int settle();

    [[nodiscard]] int finish();

    // Which stage failed and why; stage kNone while none has.
    PipelineError lastError() const;

private:
    CPvtAesV0 aes;
    CGunzip gunzip;
    CTarReader tar;
    CStageLine* line = nullptr;
    bool tarOnLine = false;    // the gzip stage hands its blocks down the line to the tar stage
    bool lineRefused = false;  // a block handed to the line was refused: the cipher's output was
};

}  // namespace brn
