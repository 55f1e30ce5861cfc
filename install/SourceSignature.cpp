#include "install/SourceSignature.h"

#include "brn/sign/MinisignFormat.h"
#include "brn/sign/SmallFile.h"
#include "download/UrlDownload.h"
#include "download/UrlText.h"
#include "fs/Message.h"
#include "install/SourceFile.h"

namespace velk {

namespace {

// The signature at `url`, as brn/sign/SmallFile.h would read a file: the same code per outcome.
int fetchSignature(const std::string& url, const DownloadSettings& settings, std::string& text) {
    std::string problem;
    const SmallFetch fetched = fetchSmall(url, settings, brn::kMaxFileBytes, text, problem);
    if (fetched == SmallFetch::kFetched) return brn::kSmallFileOk;
    brn::message("signature %s: %s\n", shownUrl(url).c_str(), problem.c_str());
    if (fetched == SmallFetch::kMissing) return brn::kSmallFileMissing;
    return fetched == SmallFetch::kTooLarge ? brn::kSmallFileTooLarge : brn::kSmallFileUnreadable;
}

}  // namespace

brn::SignVerdict CSourceSignature::begin(const std::string& publicKeyPath, const std::string& signaturePath,
                                         const std::string& sourcePath, const DownloadSettings& settings) {
    const std::string signature = signaturePathFor(sourcePath, signaturePath);
    if (!isUrl(signature)) return verifier.initFromFiles(publicKeyPath, signature);
    return verifier.initFromKeyFile(publicKeyPath, [&signature, &settings](std::string& text) {
        return fetchSignature(signature, settings, text);
    });
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
