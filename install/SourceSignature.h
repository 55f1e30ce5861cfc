#pragma once
// The detached minisign signature of SOURCE, checked with the operator's public key
// (brn/sign/SignatureVerifier.h): begin() reads the key and the signature file (SOURCE +
// ".minisig" unless another is named; for a URL SOURCE fetched from URL + ".minisig"), observe() hashes the bytes of SOURCE as they are
// read, completeFrom() hashes what reading left out (all of the file for a pass of its own,
// or what followed a failure that stopped reading), and verdict() checks the signatures.
// Every byte of the file counts: a changed tail or a package appended fails the check.
// Calling order: begin, observe any number of times, completeFrom, verdict.

#include <cstdint>
#include <string>

#include "brn/sign/SignatureVerifier.h"
#include "download/DownloadSettings.h"

namespace velk {

class CSourceFile;

class CSourceSignature {
public:
    // Reads the key and the signature of the file at `sourcePath`: `signaturePath`, or
    // "SOURCE.minisig" when it is empty. A signature named by a URL is fetched with `settings`
    // (why that failed is printed; the verdict says it is missing or cannot be read).
    [[nodiscard]] brn::SignVerdict begin(const std::string& publicKeyPath, const std::string& signaturePath,
                                         const std::string& sourcePath, const DownloadSettings& settings);
    void observe(const char* data, int length);
    // Hashes `source` from the first byte not observed yet to its end. 0, or the errno of a
    // failed read.
    [[nodiscard]] int completeFrom(const CSourceFile& source);
    [[nodiscard]] brn::SignVerdict verdict();

    const std::string& trustedComment() const { return verifier.trustedComment(); }

private:
    brn::CSignatureVerifier verifier;
    uint64_t observed = 0;  // bytes of the file hashed so far, from its start
};

}  // namespace velk
