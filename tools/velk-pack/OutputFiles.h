#pragma once
// COutputFiles puts the package OUT, and with a signature OUT.minisig beside it, in place so
// that no reader ever finds either half-written, and nothing but those two names changes:
//   open(out, signed)      opens OUT's folder once; refuses a name that holds anything but a
//                          regular file or a symbolic link (which is replaced, not followed)
//   replacing(file)        whether OUT or OUT.minisig is `file` (device and inode)
//   refuseKeys()           refuses when OUT or OUT.minisig is a minisign key (by its format)
//   beginPackage()         a fresh temporary beside OUT; write it through packageFd()
//   sealPackage()          syncs and closes it
//   openSealedPackage(fd)  opens that same file again for reading, to sign it
//   writeSignature(text)   the signature's fresh temporary, written and sealed
//   commit()               renames the package over OUT, then the signature over OUT.minisig
// A temporary is ".NAME.<16 random hex digits>.velk-pack" (fs/HelperName.h), made with
// O_EXCL | O_NOFOLLOW. SIGINT, SIGTERM and SIGHUP (unless ignored when open was called)
// remove the temporaries and end the process by the same signal; during commit's renames they
// wait until both are done. Whatever is not committed is removed on destruction. Faults are
// printed where they are found. One object per process: the signal handler is process-wide.

#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "fs/FileReplacement.h"
#include "fs/UniqueFd.h"

namespace velk {

class COutputFiles {
public:
    static constexpr int kOk = 0;
    static constexpr int kRefused = -1;  // OUT names no file, or holds no regular file or link, or a key
    static constexpr int kFailed = -2;   // a system call failed

    COutputFiles() = default;
    ~COutputFiles();
    COutputFiles(const COutputFiles&) = delete;
    COutputFiles& operator=(const COutputFiles&) = delete;

    [[nodiscard]] int open(const std::string& out, bool withSignature);
    // "the package" or "the signature" when OUT or OUT.minisig is `file`; else null.
    const char* replacing(const struct stat& file) const;
    [[nodiscard]] int refuseKeys() const;
    // OUT and OUT.minisig as they were at open, and the package's temporary: what a tree
    // being packed must leave out.
    std::vector<std::pair<dev_t, ino_t>> ownFiles() const;

    [[nodiscard]] int beginPackage();
    int packageFd() const { return package.fd(); }
    [[nodiscard]] int sealPackage();
    [[nodiscard]] int openSealedPackage(CUniqueFd& reading) const;
    [[nodiscard]] int writeSignature(const std::string& text);
    [[nodiscard]] int commit();

private:
    // One of the two files: its name in the folder and what that name held at open.
    struct Output {
        std::string path;    // as given, for messages
        std::string leaf;    // in the folder
        bool existed = false;
        struct stat was {};
    };

    int look(Output& output, const char* what);
    int refuseKey(const Output& output, const char* what) const;
    int begin(CFileReplacement& replacement, int slot, const Output& output);
    int failed(const Output& output, const CFileReplacement& replacement, int error) const;

    CUniqueFd folder;
    bool withSignature = false;
    Output packageOut;
    Output signatureOut;
    struct stat temporary {};  // the package's temporary, once begun
    CFileReplacement package;
    CFileReplacement signature;
};

}  // namespace velk
