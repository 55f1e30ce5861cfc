#include "tools/velk-pack/OutputFiles.h"

#include <fcntl.h>
#include <signal.h>
#include <sodium.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "brn/sign/MinisignFormat.h"
#include "brn/sign/SmallFile.h"
#include "fs/HelperName.h"

namespace velk {

namespace {

constexpr const char* kTemporarySuffix = ".velk-pack";
constexpr const char* kSignatureSuffix = ".minisig";
constexpr mode_t kNewFileMode = 0644;  // before the umask, for an OUT that did not exist
// The binary line of a minisign secret key: algorithms, scrypt salt and limits, key id,
// secret key and checksum.
constexpr size_t kSecretKeyLineBytes = 158;

// The signal handler's view: the temporaries in OUT's folder, named before they are made,
// each armed only while it may exist.
constexpr int kPackageSlot = 0;
constexpr int kSignatureSlot = 1;
struct Removal {
    char name[NAME_MAX + 1];
    volatile sig_atomic_t armed;
};
volatile sig_atomic_t removalFolder = -1;
Removal removals[kSignatureSlot + 1];
constexpr int kCleanedSignals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t cleanedSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kCleanedSignals) sigaddset(&set, signal);
    return set;
}

// Async-signal-safe only: remove what is armed, then die of the same signal.
void removeTemporariesAndDie(int signal) {
    for (const Removal& removal : removals) {
        if (removal.armed) (void)unlinkat(removalFolder, removal.name, 0);
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigaction(signal, &fallback, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
}

// A signal ignored when we started (nohup, a background job) stays ignored.
void installCleanup(int folder) {
    removalFolder = folder;
    struct sigaction cleanup {};
    cleanup.sa_handler = removeTemporariesAndDie;
    cleanup.sa_mask = cleanedSignals();
    for (int signal : kCleanedSignals) {
        struct sigaction before {};
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) {
            sigaction(signal, &cleanup, nullptr);
        }
    }
}

void arm(int slot, const std::string& name) {
    std::memcpy(removals[slot].name, name.c_str(), name.size() + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);  // the name is whole before it is armed
    removals[slot].armed = 1;
}

void disarm(int slot) { removals[slot].armed = 0; }

// Holds the cleaned signals back while it lives: they are acted upon once it goes.
class CSignalsHeld {
public:
    CSignalsHeld() {
        const sigset_t held = cleanedSignals();
        sigprocmask(SIG_BLOCK, &held, &before);
    }
    ~CSignalsHeld() { sigprocmask(SIG_SETMASK, &before, nullptr); }
    CSignalsHeld(const CSignalsHeld&) = delete;
    CSignalsHeld& operator=(const CSignalsHeld&) = delete;

private:
    sigset_t before;
};

void report(const std::string& path, const char* what) {
    fprintf(stderr, "velk-pack: %.*s: %s\n", int(path.size()), path.data(), what);
}

void reportError(const std::string& path, const char* what, int error) {
    fprintf(stderr, "velk-pack: %.*s: %s: %s\n", int(path.size()), path.data(), what, strerror(error));
}

// A public key file, or a base64 line of a secret key's length after an optional comment.
bool isMinisignKey(const std::string& text) {
    brn::MinisignPublicKey publicKey;
    uint8_t secretKey[kSecretKeyLineBytes];
    const bool secret = brn::decodeKeyText(text, secretKey, sizeof secretKey);
    sodium_memzero(secretKey, sizeof secretKey);
    return secret || brn::parsePublicKey(text, publicKey) == brn::SignVerdict::kOk;
}

// The file's text when it is small enough to be a key file (else empty: no key), or false with
// errno set.
bool readKeySized(int folder, const std::string& leaf, std::string& text) {
    CUniqueFd fd(openat(folder, leaf.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) return false;
    const int read = brn::readSmallFile(fd.get(), brn::kMaxFileBytes, text);
    return read == brn::kSmallFileOk || read == brn::kSmallFileTooLarge;
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

COutputFiles::~COutputFiles() {
    package.abandon();
    signature.abandon();
    disarm(kPackageSlot);
    disarm(kSignatureSlot);
}

int COutputFiles::open(const std::string& out, bool signatureToo) {
    withSignature = signatureToo;
    const size_t slash = out.rfind('/');
    packageOut.path = out;
    packageOut.leaf = slash == std::string::npos ? out : out.substr(slash + 1);
    signatureOut.path = out + kSignatureSuffix;
    signatureOut.leaf = packageOut.leaf + kSignatureSuffix;
    if (packageOut.leaf.empty()) {
        report(out, "names a folder, not the package file");
        return kRefused;
    }
    const std::string folderPath = slash == std::string::npos ? "." : slash == 0 ? "/" : out.substr(0, slash);
    folder.reset(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0) {
        reportError(folderPath, "cannot open the folder of the package", errno);
        return kFailed;
    }
    installCleanup(folder.get());
    const int looked = look(packageOut, "the package");
    return looked != kOk || !withSignature ? looked : look(signatureOut, "the signature");
}

// What the name holds now: nothing, a symbolic link, or a regular file.
int COutputFiles::look(Output& output, const char* what) {
    output.existed = fstatat(folder.get(), output.leaf.c_str(), &output.was, AT_SYMLINK_NOFOLLOW) == 0;
    if (!output.existed && errno == ENOENT) return kOk;
    if (!output.existed) {
        reportError(output.path, "cannot look at it", errno);
        return kFailed;
    }
    if (!S_ISLNK(output.was.st_mode) && !S_ISREG(output.was.st_mode)) {
        fprintf(stderr, "velk-pack: %s: not a regular file: %s must be written to one\n", output.path.c_str(), what);
        return kRefused;
    }
    return kOk;
}

int COutputFiles::refuseKeys() const {
    int result = refuseKey(packageOut, "the package");
    return result != kOk || !withSignature ? result : refuseKey(signatureOut, "the signature");
}

// A regular file at the name must not be a minisign key.
int COutputFiles::refuseKey(const Output& output, const char* what) const {
    if (!output.existed || !S_ISREG(output.was.st_mode)) return kOk;
    std::string text;
    if (!readKeySized(folder.get(), output.leaf, text)) {
        reportError(output.path, "cannot read it to tell whether it is a minisign key", errno);
        return kFailed;
    }
    if (isMinisignKey(text)) {
        fprintf(stderr, "velk-pack: %s: a minisign key: %s never replaces one\n", output.path.c_str(), what);
        return kRefused;
    }
    return kOk;
}

const char* COutputFiles::replacing(const struct stat& file) const {
    if (packageOut.existed && sameFile(packageOut.was, file)) return "the package";
    if (withSignature && signatureOut.existed && sameFile(signatureOut.was, file)) return "the signature";
    return nullptr;
}

std::vector<std::pair<dev_t, ino_t>> COutputFiles::ownFiles() const {
    std::vector<std::pair<dev_t, ino_t>> files;
    for (const Output* output : {&packageOut, &signatureOut}) {
        if (output->existed) files.emplace_back(output->was.st_dev, output->was.st_ino);
    }
    if (package.fd() >= 0) files.emplace_back(temporary.st_dev, temporary.st_ino);
    return files;
}

int COutputFiles::beginPackage() {
    if (begin(package, kPackageSlot, packageOut) != kOk) return kFailed;
    if (fstat(package.fd(), &temporary) != 0) {
        reportError(package.temporaryName(), "cannot look at it", errno);
        return kFailed;
    }
    return kOk;
}

// The name is armed for the signal handler before the file exists: a signal in between
// finds nothing to remove, never a file left behind.
int COutputFiles::begin(CFileReplacement& replacement, int slot, const Output& output) {
    const std::string name = unpredictableName(output.leaf, kTemporarySuffix);
    if (name.empty()) {
        report(output.path, "no random bytes for the name of a temporary file");
        return kFailed;
    }
    arm(slot, name);
    const int begun = replacement.begin(folder.get(), output.leaf, name, kNewFileMode);
    if (begun != 0) disarm(slot);
    return begun == 0 ? kOk : failed(output, replacement, begun);
}

int COutputFiles::sealPackage() {
    const int sealed = package.seal();
    return sealed == 0 ? kOk : failed(packageOut, package, sealed);
}

// By its name again, checked to be the very file written: O_WRONLY cannot be read through.
int COutputFiles::openSealedPackage(CUniqueFd& reading) const {
    reading.reset(openat(folder.get(), package.temporaryName().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (reading.get() < 0 || fstat(reading.get(), &st) != 0) {
        reportError(packageOut.path, "cannot read the package back to sign it", errno);
        return kFailed;
    }
    if (!sameFile(st, temporary)) {
        report(packageOut.path, "the package's temporary file was replaced while it was written");
        return kFailed;
    }
    return kOk;
}

int COutputFiles::writeSignature(const std::string& text) {
    if (begin(signature, kSignatureSlot, signatureOut) != kOk) return kFailed;
    int written = signature.write(text.data(), text.size());
    if (written == 0) written = signature.seal();
    return written == 0 ? kOk : failed(signatureOut, signature, written);
}

// The package first: until the signature follows, OUT is the new package beside the old
// signature, which does not verify it. Nothing but the renames and syncs is left to fail.
int COutputFiles::commit() {
    CSignalsHeld held;
    int committed = package.commit();
    if (committed != 0) return failed(packageOut, package, committed);
    disarm(kPackageSlot);
    if (!withSignature) return kOk;
    committed = signature.commit();
    if (committed != 0) return failed(signatureOut, signature, committed);
    disarm(kSignatureSlot);
    return kOk;
}

int COutputFiles::failed(const Output& output, const CFileReplacement& replacement, int error) const {
    const std::string what = std::string("cannot ") + replacement.failedCall();
    reportError(output.path, what.c_str(), error);
    return kFailed;
}

}  // namespace velk
