// The streaming verifier against signatures made by the real minisign: what minisign signed is
// accepted in every slicing, with the trusted comment minisign itself reports; every change to
// the file, the signature or the key is refused with the verdict named for it.

#include "brn/sign/SignatureVerifier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "tests/brn/sign/SignTestSupport.h"
#include "tests/support/TestSupport.h"

namespace {

using brn::SignVerdict;
using signtest::flipped;
using signtest::flippedBase64;
using velktest::quote;
using velktest::shell;

struct Outcome {
    SignVerdict verdict;
    std::string comment;  // the verified trusted comment
};

// initFromFiles, then `file` in `slices`, then finish; the first fault stops the run.
Outcome check(const std::string& key, const std::string& signature, const std::string& file,
              const std::vector<size_t>& slices) {
    brn::CSignatureVerifier verifier;
    SignVerdict verdict = verifier.initFromFiles(key, signature);
    for (size_t i = 0, at = 0; verdict == SignVerdict::kOk && i < slices.size(); at += slices[i++]) {
        int taken = verifier.update(file.data() + at, int(slices[i]));
        if (taken != int(slices[i])) verdict = SignVerdict(taken);
    }
    if (verdict == SignVerdict::kOk) verdict = verifier.finish();
    EXPECT_EQ(verifier.verdict(), verdict);
    return {verdict, verifier.trustedComment()};
}

// Whole, in slices of 1, 7 and 16384 bytes, and in two seeded random slicings.
std::vector<std::vector<size_t>> slicings(size_t size) {
    return {velktest::fixedSlices(size, std::max<size_t>(size, 1)), velktest::fixedSlices(size, 1),
            velktest::fixedSlices(size, 7), velktest::fixedSlices(size, 16384), velktest::randomSlices(size, 5000, 1),
            velktest::randomSlices(size, 100000, 2)};
}

// Signs `name` (holding `content`) in `dir` with minisign and key k; `flags` are added.
std::string minisignSign(const std::string& dir, const std::string& name, const std::string& content,
                         const std::string& flags = "", const std::string& key = "k.sec") {
    velktest::writeFile(dir + "/" + name, content);
    shell("cd " + quote(dir) + " && " + signtest::minisign() + " -S -s " + quote(signtest::keyDir() + "/" + key) +
          " -m " + name + " " + flags + " > /dev/null");
    return velktest::readFile(dir + "/" + name + ".minisig");
}

// Comments of every length minisign reads, line ends it tolerates, both forms of the public key.
TEST(SignatureVerifier, AcceptsWhatMinisignSignedInEverySlicing) {
    velktest::TempDir dir;
    const std::string keys = signtest::keyDir(), key = keys + "/k.pub";
    shell("cd " + quote(keys) + " && sed -n 2p k.pub > bare.pub && sed -n 2p k.pub | tr -d '\\n' > bare-no-lf.pub"
          " && sed 's/$/\\r/' k.pub > crlf.pub");
    const struct Case {
        size_t size;
        std::string flags, key, edit;  // edit: a shell filter applied to the signature file
    } cases[] = {
        {0, "", key, "cat"},
        {1, "-t 'x'", keys + "/bare.pub", "cat"},
        {300001, "-t 'release 1.2.3'", keys + "/bare-no-lf.pub", "cat"},
        {5000, "-t " + quote(std::string(4077, 't')) + " -c " + quote(std::string(1003, 'u')), key, "cat"},
        {1000, "", keys + "/crlf.pub", "sed 's/$/\\r/'"},
        {1000, "-t ' tabs\tand spaces '", key, "head -c -1"},  // no line end after the last line
        {1000, "", key, "sed '1s/.*/untrusted comment: changed, and not protected/'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " bytes " + c.flags.substr(0, 40) + " | " + c.edit);
        const std::string file = velktest::seededBytes(c.size, c.size);
        minisignSign(dir.path(), "f", file, c.flags);
        const std::string reported = signtest::minisignVerifies(key, dir / "f", dir / "f.minisig");
        ASSERT_FALSE(reported.empty());
        shell(c.edit + " < " + quote(dir / "f.minisig") + " > " + quote(dir / "g.minisig"));
        for (const auto& slices : slicings(c.size)) {
            Outcome outcome = check(c.key, dir / "g.minisig", file, slices);
            EXPECT_EQ(outcome.verdict, SignVerdict::kOk) << slices.size() << " slices";
            EXPECT_EQ(outcome.comment, reported);
        }
    }
}

// The words a program prints after "signature check failed: ".
const std::map<SignVerdict, std::string> kPrintedWords = {
    {SignVerdict::kMissing, "missing"},
    {SignVerdict::kMalformed, "malformed"},
    {SignVerdict::kAnotherKey, "another key"},
    {SignVerdict::kBadSignature, "bad signature"},
    {SignVerdict::kBadTrustedComment, "bad trusted comment"},
    {SignVerdict::kLegacy, "legacy signature (not prehashed) is not supported; sign without -l"},
};

TEST(SignatureVerifier, RefusesEveryChangeWithItsVerdictInEverySlicing) {
    velktest::TempDir dir;
    const std::string keys = signtest::keyDir(), key = keys + "/k.pub", d = dir.path();
    const std::string file = velktest::seededBytes(100000, 3), size = std::to_string(file.size());
    const std::string good = minisignSign(d, "f", file, "-t 'good'");
    const std::string byOther = minisignSign(d, "f", file, "", "other.sec");
    const std::string legacy = minisignSign(d, "f", file, "-l");
    const std::string legacyOther = minisignSign(d, "g", velktest::seededBytes(500, 4), "-l");
    const auto line = signtest::lines(good);
    auto signature = [&line](int n, const std::string& text) {
        std::string joined;
        for (int i = 0; i < 4; ++i) joined += (i == n ? text : line[size_t(i)]) + "\n";
        return joined;
    };
    // The other key's public key relabelled with k's key id: the id alone is no trust.
    const std::string relabelled = signtest::fromBase64(signtest::lines(velktest::readFile(keys + "/other.pub"))[1]);
    velktest::writeFile(d + "/relabelled.pub",
                        signtest::toBase64(signtest::fromBase64(signtest::lines(velktest::readFile(key))[1])
                                               .substr(0, 10) + relabelled.substr(10)) + "\n");
    velktest::writeFile(d + "/secret-as-public.pub", velktest::readFile(keys + "/k.sec"));
    velktest::writeFile(d + "/ED.pub", "untrusted comment: x\n" +
                        signtest::toBase64("ED" + signtest::fromBase64(signtest::lines(velktest::readFile(key))[1])
                                               .substr(2)) + "\n");
    velktest::writeFile(d + "/huge.pub", velktest::readFile(key) + std::string(9000, '\n'));
    shell("cd " + quote(d) + " && mkdir dir.minisig && mkfifo fifo.minisig");
    std::string crOnly = good;
    std::replace(crOnly.begin(), crOnly.end(), '\n', '\r');

    struct Case {
        std::string what, file, signature;
        SignVerdict verdict;
        std::string key, signaturePath = "";  // a path instead of the row's signature text
    };
    std::vector<Case> cases = {
        {"first byte", flipped(file, 0), good, SignVerdict::kBadSignature, key},
        {"middle byte", flipped(file, file.size() / 2), good, SignVerdict::kBadSignature, key},
        {"last byte", flipped(file, file.size() - 1), good, SignVerdict::kBadSignature, key},
        {"one byte appended", file + '\0', good, SignVerdict::kBadSignature, key},
        {"last byte cut", file.substr(0, file.size() - 1), good, SignVerdict::kBadSignature, key},
        {"empty file", "", good, SignVerdict::kBadSignature, key},
        {"signature bytes", file, signature(1, flippedBase64(line[1], 40)), SignVerdict::kBadSignature, key},
        {"key relabelled", file, good, SignVerdict::kBadSignature, d + "/relabelled.pub"},
        {"trusted comment", file, signature(2, "trusted comment: goof"), SignVerdict::kBadTrustedComment, key},
        {"trusted comment cut", file, signature(2, "trusted comment: "), SignVerdict::kBadTrustedComment, key},
        {"global signature", file, signature(3, flippedBase64(line[3], 0)), SignVerdict::kBadTrustedComment, key},
        {"signed by another key", file, byOther, SignVerdict::kAnotherKey, key},
        {"checked with another key", file, good, SignVerdict::kAnotherKey, keys + "/other.pub"},
        {"key id", file, signature(1, flippedBase64(line[1], 5)), SignVerdict::kAnotherKey, key},
        {"legacy, same file", file, legacy, SignVerdict::kLegacy, key},
        {"legacy, another file", file, legacyOther, SignVerdict::kLegacy, key},
        {"unknown algorithm", file, signature(1, flippedBase64(line[1], 1)), SignVerdict::kMalformed, key},
        {"bad base64", file, signature(1, "*" + line[1].substr(1)), SignVerdict::kMalformed, key},
        {"base64 one short", file, signature(1, line[1].substr(1)), SignVerdict::kMalformed, key},
        {"base64 too long", file, signature(1, line[1] + "AAAA"), SignVerdict::kMalformed, key},
        {"blank in base64", file, signature(1, " " + line[1]), SignVerdict::kMalformed, key},
        {"global too short", file, signature(3, line[3].substr(4)), SignVerdict::kMalformed, key},
        {"no trusted prefix", file, signature(2, "trusted comment:good"), SignVerdict::kMalformed, key},
        {"no untrusted prefix", file, signature(0, "comment: x"), SignVerdict::kMalformed, key},
        {"NUL in a comment", file, signature(0, std::string("untrusted comment: \0", 20)), SignVerdict::kMalformed, key},
        {"three lines", file, good.substr(0, good.rfind('\n', good.size() - 2) + 1), SignVerdict::kMalformed, key},
        {"five lines", file, good + "\n", SignVerdict::kMalformed, key},
        {"CR line ends only", file, crOnly, SignVerdict::kMalformed, key},
        {"above 8 KiB", file, signature(0, "untrusted comment: " + std::string(8200, 'u')), SignVerdict::kMalformed, key},
        {"empty signature file", file, "", SignVerdict::kMalformed, key},
        {"no signature file", file, "", SignVerdict::kMissing, key, d + "/none.minisig"},
        {"signature a directory", file, "", SignVerdict::kUnreadable, key, d + "/dir.minisig"},
        {"signature a FIFO", file, "", SignVerdict::kUnreadable, key, d + "/fifo.minisig"},
        {"no key file, no signature", file, "", SignVerdict::kKeyUnreadable, d + "/none.pub", d + "/none.minisig"},
        {"key a directory", file, good, SignVerdict::kKeyUnreadable, d},
        {"secret key as public key", file, good, SignVerdict::kKeyMalformed, d + "/secret-as-public.pub"},
        {"key algorithm ED", file, good, SignVerdict::kKeyMalformed, d + "/ED.pub"},
        {"key above 8 KiB", file, good, SignVerdict::kKeyMalformed, d + "/huge.pub"},
    };
    // Every byte of the 32-byte tail a VELK package ends with, which its decoder never reads.
    for (size_t back = 1; back <= 32; ++back)
        cases.push_back({"tail byte -" + std::to_string(back), flipped(file, file.size() - back), good,
                         SignVerdict::kBadSignature, key});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string path = c.signaturePath;
        if (path.empty()) velktest::writeFile(path = d + "/s.minisig", c.signature);
        for (const auto& slices : slicings(c.file.size())) {
            Outcome outcome = check(c.key, path, c.file, slices);
            EXPECT_EQ(outcome.verdict, c.verdict);
            EXPECT_EQ(outcome.comment, "");
        }
    }
    for (const auto& [verdict, words] : kPrintedWords) EXPECT_EQ(brn::signVerdictText(verdict), words);
}

// Out-of-order calls never crash or pass; a stream that lost bytes fails for good; init starts afresh.
TEST(SignatureVerifier, HoldsItsVerdictAcrossCalls) {
    velktest::TempDir dir;
    const std::string file = "signed bytes", key = signtest::keyDir() + "/k.pub";
    minisignSign(dir.path(), "f", file, "-t 'ok'");
    const std::string signature = dir / "f.minisig";
    brn::CSignatureVerifier v;
    const int kMisused = int(SignVerdict::kMisused);
    EXPECT_EQ(v.update(file.data(), 1), kMisused);
    EXPECT_EQ(v.finish(), SignVerdict::kMisused);

    ASSERT_EQ(v.initFromFiles(signtest::keyDir() + "/other.pub", signature), SignVerdict::kAnotherKey);
    EXPECT_EQ(v.update(file.data(), 1), int(SignVerdict::kAnotherKey));
    EXPECT_EQ(v.finish(), SignVerdict::kAnotherKey);

    for (int len : {0, -1}) {  // the rest of the file then follows, complete
        ASSERT_EQ(v.initFromFiles(key, signature), SignVerdict::kOk);
        EXPECT_EQ(v.update(file.data(), len), kMisused);
        EXPECT_EQ(v.update(file.data(), int(file.size())), kMisused);
        EXPECT_EQ(v.finish(), SignVerdict::kMisused);
    }
    ASSERT_EQ(v.initFromFiles(key, signature), SignVerdict::kOk);
    EXPECT_EQ(v.update(nullptr, 4), kMisused);
    EXPECT_EQ(v.finish(), SignVerdict::kMisused);

    ASSERT_EQ(v.initFromFiles(key, signature), SignVerdict::kOk);
    ASSERT_EQ(v.update(file.data(), int(file.size())), int(file.size()));
    EXPECT_EQ(v.trustedComment(), "");
    ASSERT_EQ(v.finish(), SignVerdict::kOk);
    EXPECT_EQ(v.trustedComment(), "ok");
    EXPECT_EQ(v.update(file.data(), 1), kMisused);  // after the verdict: refused, the verdict kept
    EXPECT_EQ(v.finish(), SignVerdict::kOk);
    EXPECT_EQ(v.trustedComment(), "ok");
    ASSERT_EQ(v.initFromFiles(key, dir / "none"), SignVerdict::kMissing);
    EXPECT_EQ(v.trustedComment(), "");
}

}  // namespace
