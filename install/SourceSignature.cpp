#include "install/SourceSignature.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "install/PackageRun.h"

namespace velk {

brn::SignVerdict CSourceSignature::begin(const std::string& publicKeyPath, const std::string& signaturePath,
                                         const std::string& sourcePath) {
    return verifier.initFromFiles(publicKeyPath, signaturePath.empty() ? sourcePath + ".minisig" : signaturePath);
}

void CSourceSignature::observe(const char* data, int length) {
    // A refused update sticks in the verifier and shows in the verdict.
    (void)verifier.update(data, length);
    observed += uint64_t(length);
}

int CSourceSignature::completeFrom(int fd) {
    std::vector<char> buffer(kChunkSize);
    for (;;) {
        const ssize_t got = pread(fd, buffer.data(), buffer.size(), off_t(observed));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return errno;
        if (got == 0) return 0;
        observe(buffer.data(), int(got));
    }
}

brn::SignVerdict CSourceSignature::verdict() { return verifier.finish(); }

}  // namespace velk
