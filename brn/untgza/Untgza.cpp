#include "brn/untgza/Untgza.h"

#include <cstdio>

#include "fs/Message.h"

namespace brn {

namespace {
constexpr int kRawDeflateWindowBits = -15;  // the gzip framing is parsed by CGunzip itself
constexpr int kDecrypt = 0;
}  // namespace

// Nothing of this pipeline may stay on the line's threads once its stages are gone.
CUntgza::~CUntgza() {
    if (line != nullptr) line->abandon();
}

int CUntgza::init(const std::string& keyMaterial, const std::string& salt, CEntryMaker* maker, CStageLine* onLine) {
    if (tar.init(maker) < 0) return kInitTarFailed;
    StageOutput toTar = [this](const char* data, int len) {
        return tarOnLine ? line->handDown(data, len) : tar.update(data, len);
    };
    if (gunzip.init(toTar, nullptr, kRawDeflateWindowBits) < 0) return kInitGzipFailed;
    StageOutput toGunzip = [this](const char* data, int len) {
        return line != nullptr ? line->hand(data, len, aes.refusalCode()) : gunzip.update(data, len);
    };
    if (aes.init(keyMaterial, salt, kDecrypt, toGunzip) < 0) return kInitAesFailed;
    if (onLine != nullptr) {
        line = onLine;
        tarOnLine = true;
        line->begin([this](const char* data, int len) { return gunzip.update(data, len); },
                    [this](const char* data, int len) { return tar.update(data, len); });
    }
    return 0;
}

// A refusal the line met since the last call is this call's result, as one thread would
// have returned it for the block refused; nothing more is deciphered then.
int CUntgza::update(const char* data, int len) {
    if (line != nullptr && line->stopped()) return settle();
    const int result = aes.update(data, len);
    return result < 0 && line != nullptr ? settle() : result;
}

int CUntgza::settle() {
    if (line == nullptr) return 0;
    const int refusal = line->settle();
    if (refusal < 0) lineRefused = true;
    return refusal;
}

PipelineError CUntgza::lastError() const {
    PipelineError error;
    error.cipher = aes.lastError();
    error.gzip = gunzip.lastError();
    error.tar = tar.lastError();
    // As one thread records it: a refusal reached the cipher stage, through the gzip stage
    // when the tar stage refused (which may have gone on inflating meanwhile on its thread).
    if (lineRefused) {
        error.cipher = AesError::kOutputRefused;
        if (error.tar != TarError::kNone) error.gzip = GzipError::kOutputRefused;
    }
    if (error.tar != TarError::kNone) {
        error.stage = PipelineStage::kTar;
    } else if (error.gzip != GzipError::kNone) {
        error.stage = PipelineStage::kGzip;
    } else if (error.cipher != AesError::kNone) {
        error.stage = PipelineStage::kCipher;
    }
    return error;
}

int CUntgza::finish() {
    // Order matters: the AES stage's last partial block feeds the gzip stage, whose held
    // bytes (all but the trailer) feed the tar stage. Once that block went through the line,
    // the gzip and tar stages finish on this thread.
    int ciphered = aes.finish();
    if (line != nullptr) {
        if (const int refusal = settle(); refusal < 0) ciphered = refusal;
        tarOnLine = false;
    }
    if (int r = ciphered; r < 0) {
        brn::message("CUntgza::finish aes finish error %d\n", r);
        return kFinishAesFailed;
    }
    if (int r = gunzip.finish(); r < 0) {
        brn::message("CUntgza::finish gunzip finish error %d\n", r);
        return kFinishGzipFailed;
    }
    if (int r = tar.finish(); r < 0) {
        brn::message("CUntgza::finish tar reader finish error %d\n", r);
        return kFinishTarFailed;
    }
    return 0;
}

}  // namespace brn
