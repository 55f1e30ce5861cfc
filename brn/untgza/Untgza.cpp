#include "brn/untgza/Untgza.h"

#include <cstdio>

#include "fs/Message.h"

namespace brn {

namespace {
constexpr int kRawDeflateWindowBits = -15;  // the gzip framing is parsed by CGunzip itself
constexpr int kDecrypt = 0;
}  // namespace

int CUntgza::init(const std::string& keyMaterial, const std::string& salt, CEntryMaker* maker) {
    if (tar.init(maker) < 0) return kInitTarFailed;
    StageOutput toTar = [this](const char* data, int len) { return tar.update(data, len); };
    if (gunzip.init(toTar, nullptr, kRawDeflateWindowBits) < 0) return kInitGzipFailed;
    StageOutput toGunzip = [this](const char* data, int len) { return gunzip.update(data, len); };
    if (aes.init(keyMaterial, salt, kDecrypt, toGunzip) < 0) return kInitAesFailed;
    return 0;
}

int CUntgza::update(const char* data, int len) {
    return aes.update(data, len);
}

PipelineError CUntgza::lastError() const {
    PipelineError error;
    error.cipher = aes.lastError();
    error.gzip = gunzip.lastError();
    error.tar = tar.lastError();
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
    // bytes (all but the trailer) feed the tar stage.
    if (int r = aes.finish(); r < 0) {
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
