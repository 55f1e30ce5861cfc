#include "install/SourceSignature.h"

#include "install/SourceFile.h"

namespace velk {

brn::SignVerdict CSourceSignature::begin(const std::string& publicKeyPath, const std::string& signaturePath,
                                         const std::string& sourcePath) {
    return verifier.initFromFiles(publicKeyPath, signaturePathFor(sourcePath, signaturePath));
}

void CSourceSignature::observe(const char* data, int length) {
    // A refused update sticks in the verifier and shows in the verdict.
    (void)verifier.update(data, length);
    observed += uint64_t(length);
}

int CSourceSignature::completeFrom(const CSourceFile& source) {
    return source.readRest(observed, [this](const char* data, int length) { observe(data, length); });
}

brn::SignVerdict CSourceSignature::verdict() { return verifier.finish(); }

}  // namespace velk
