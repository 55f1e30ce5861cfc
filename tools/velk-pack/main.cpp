// velk-pack: makes one VELK package from a directory tree or from a tar file taken as is,
// and with --sign a minisign signature of it beside it.
//   velk-pack --label L --info JSON [--seed N] [--level 0-9] [--print-key] [--keep-backslashes]
//             [--sign SECRET-KEY [--trusted-comment TEXT]] -o OUT SOURCE
// Both files are written under temporary names and renamed into place once complete
// (tools/velk-pack/OutputFiles.h). Packages meant to follow each other in one file are made
// one by one and concatenated.
// Exit status: 0 done, 1 the package could not be made, 2 wrong arguments.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "app/OptionReader.h"
#include "fs/FileUtil.h"
#include "fs/UniqueFd.h"
#include "brn/Stage.h"
#include "brn/sign/MinisignFormat.h"
#include "brn/sign/SecretKey.h"
#include "brn/sign/SignatureSigner.h"
#include "tools/velk-pack/OutputFiles.h"
#include "tools/velk-pack/PackageWriter.h"
#include "tools/velk-pack/TarNameCheck.h"
#include "tools/velk-pack/TerminalPassword.h"
#include "tools/velk-pack/UstarWriter.h"

namespace {

using velk::CUniqueFd;
using velk::readWaiting;
using velk::relativePathsProblem;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr size_t kReadChunkSize = 64 * 1024;
constexpr const char* kUntrustedComment = "signature from velk-pack secret key";
const std::string kCommentExpected =
    "one line of at most " + std::to_string(brn::kMaxTrustedCommentBytes) + " bytes";

constexpr const char* kUsage =
    "usage: velk-pack --label LABEL --info JSON [--seed N] [--level 0-9] [--print-key]\n"
    "                 [--keep-backslashes] [--sign SECRET-KEY [--trusted-comment TEXT]] -o OUT SOURCE\n"
    "  SOURCE is a directory (archived in sorted order) or a tar file (taken as is).\n"
    "  OUT (and OUT.minisig) are replaced only once complete; never SOURCE, nor a minisign key.\n"
    "  --keep-backslashes stores names that hold a backslash, which are refused otherwise:\n"
    "    unpacking reads a backslash as a slash unless it is given --keep-backslashes too.\n"
    "  --print-key prints the AES key, the initial vector and the payload's offset and length.\n"
    "  --sign writes OUT.minisig, a prehashed minisign signature of OUT made with SECRET-KEY\n"
    "    (a password is asked for on the terminal); minisign -V -p KEY.pub -m OUT checks it.\n"
    "  --trusted-comment replaces the signature's default trusted comment,\n"
    "    \"timestamp:SECONDS<tab>file:NAME<tab>hashed\" (SECONDS from SOURCE_DATE_EPOCH when set).\n"
    "  --seed draws the salts and free bytes (same seed, same package); --level is deflate's.\n"
    "  --help, --version print this text, or the version, and nothing else.\n";

struct Arguments {
    velk::PackSettings settings;
    bool haveLabel = false;
    bool haveInfo = false;
    bool printKey = false;
    bool keepBackslashes = false;
    bool sign = false;            // --sign given
    std::string secretKey;        // the minisign secret key file
    bool haveTrustedComment = false;
    std::string trustedComment;   // the signature's trusted comment
    std::string output;
    std::string source;
};

// An argument that cannot be taken as it stands, though the command line is well formed.
bool refused(const std::string& why) {
    fprintf(stderr, "velk-pack: %.*s\n", int(why.size()), why.data());
    return false;
}

bool usageError(const std::string& what) {
    fprintf(stderr, "velk-pack: %.*s\n%s", int(what.size()), what.data(), kUsage);
    return false;
}

// A whole decimal number in [0, max]; no sign, no blanks, no trailing text.
bool parseNumber(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || parsed > max) return false;
    value = parsed;
    return true;
}

// The options, each read once by the one reader (app/OptionReader.h): given twice or with an
// empty value, an option is a usage error, never a silent "the last one wins".
std::vector<velk::OptionRule> optionTable(Arguments& args) {
    return {
        velk::flagOption("--print-key", nullptr, args.printKey),
        velk::flagOption("--keep-backslashes", nullptr, args.keepBackslashes),
        velk::textOption("--label", "a label", args.settings.label, &args.haveLabel),
        velk::textOption("--info", "a JSON text", args.settings.customInfo, &args.haveInfo),
        velk::textOption("-o", "a file name", args.output),
        velk::textOption("--sign", "a secret key file", args.secretKey, &args.sign),
        {"--seed", nullptr, "a number",
         [&args](const std::string& value) {
             uint64_t number = 0;
             if (!parseNumber(value, UINT64_MAX, number)) return false;
             args.settings.seed = number;
             return true;
         }},
        {"--level", nullptr, "a number from 0 to 9",
         [&args](const std::string& value) {
             uint64_t number = 0;
             if (!parseNumber(value, 9, number)) return false;
             args.settings.level = int(number);
             return true;
         }},
        {"--trusted-comment", nullptr, kCommentExpected.c_str(),
         [&args](const std::string& value) {
             if (!brn::isCommentText(value, brn::kMaxTrustedCommentBytes)) return false;
             args.haveTrustedComment = true;
             args.trustedComment = value;
             return true;
         }},
    };
}

bool parseArguments(int argc, char** argv, Arguments& args) {
    const velk::CommandLine line = velk::readCommandLine(argc, argv, optionTable(args), velk::OptionPlace::kAnywhere);
    if (!line.ok) return usageError(line.hint);
    if (line.operands.size() > 1) return usageError("more than one source given");
    if (!args.haveLabel || !args.haveInfo) return usageError("--label and --info are required");
    if (args.output.empty()) return usageError("-o OUT is required");
    if (line.operands.empty()) return usageError("no source given");
    args.source = line.operands[0];
    if (args.haveTrustedComment && !args.sign) return usageError("--trusted-comment needs --sign");
    const std::string problem = relativePathsProblem({args.source, args.output, args.secretKey});
    return problem.empty() || usageError(problem);
}

std::string toHex(const std::string& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : bytes) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

// The tree below SOURCE, but for velk-pack's own files.
int packTree(const Arguments& args, const velk::COutputFiles& outputs, velk::CPackageWriter& writer) {
    velk::CUstarWriter tar([&writer](const char* data, int len) { return writer.update(data, len); });
    for (const auto& [device, inode] : outputs.ownFiles()) tar.skipFile(device, inode);
    if (args.keepBackslashes) tar.keepBackslashes();
    return tar.writeTree(args.source) == velk::CUstarWriter::kOk ? kExitOk : kExitFailed;
}

// Hands everything `fd` reads to `consume`, in chunks of at most kReadChunkSize bytes.
int streamDescriptor(int fd, const std::string& path, const brn::StageOutput& consume) {
    std::vector<char> chunk(kReadChunkSize);
    for (;;) {
        const ssize_t n = readWaiting(fd, chunk.data(), chunk.size());
        if (n < 0) {
            fprintf(stderr, "velk-pack: %s: cannot read: %s\n", path.c_str(), strerror(errno));
            return kExitFailed;
        }
        if (n == 0) return kExitOk;
        if (consume(chunk.data(), int(n)) < 0) return kExitFailed;
    }
}

// The tar file as it is; unless backslashes are kept, its names are checked on the way.
int packTarFile(const Arguments& args, velk::CPackageWriter& writer) {
    CUniqueFd fd(::open(args.source.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        fprintf(stderr, "velk-pack: %s: cannot open: %s\n", args.source.c_str(), strerror(errno));
        return kExitFailed;
    }
    velk::CTarNameCheck names(args.source);
    return streamDescriptor(fd.get(), args.source, [&](const char* data, int len) {
        if (!args.keepBackslashes && names.update(data, len) < 0) return -1;
        return writer.update(data, len);
    });
}

// Loads the secret key, asking for its password on the terminal when it has one.
bool loadSecretKey(const std::string& path, brn::CSecretKey& key) {
    auto ask = [&path](std::string& password) {
        return velk::readTerminalPassword("Password for " + path + ": ", password);
    };
    int loaded = key.loadFile(path, ask);
    if (loaded != brn::CSecretKey::kOk) {
        fprintf(stderr, "velk-pack: %s: %s\n", path.c_str(), brn::CSecretKey::errorText(loaded));
    }
    return loaded == brn::CSecretKey::kOk;
}

// The given trusted comment, or minisign's default, dated SOURCE_DATE_EPOCH when that is set
// so that a package and its signature can be made again byte for byte.
bool trustedCommentFor(const Arguments& args, std::string& comment) {
    if (args.haveTrustedComment) {
        comment = args.trustedComment;
        return true;
    }
    uint64_t seconds = uint64_t(time(nullptr));
    const char* epoch = getenv("SOURCE_DATE_EPOCH");
    if (epoch != nullptr && !parseNumber(epoch, INT64_MAX, seconds)) {
        fprintf(stderr, "velk-pack: SOURCE_DATE_EPOCH is not a number of seconds\n");
        return false;
    }
    comment = brn::defaultTrustedComment(int64_t(seconds), args.output);
    if (!brn::isCommentText(comment, brn::kMaxTrustedCommentBytes)) {
        fprintf(stderr, "velk-pack: the output's name does not fit a trusted comment; give --trusted-comment\n");
        return false;
    }
    return true;
}

// Signs the sealed package, read back from its temporary, into the signature's temporary.
int signPackage(const Arguments& args, velk::COutputFiles& outputs, const brn::CSecretKey& key,
                const std::string& comment) {
    CUniqueFd package;
    brn::CSignatureSigner signer;
    std::string signature;
    if (outputs.openSealedPackage(package) != velk::COutputFiles::kOk) return kExitFailed;
    int status = signer.init() == brn::CSignatureSigner::kOk ? kExitOk : kExitFailed;
    if (status == kExitOk) {
        status = streamDescriptor(package.get(), args.output,
                                  [&signer](const char* data, int len) { return signer.update(data, len); });
    }
    if (status == kExitOk && signer.finish(key, comment, kUntrustedComment, signature) != brn::CSignatureSigner::kOk) {
        fprintf(stderr, "velk-pack: %s: cannot sign\n", args.output.c_str());
        status = kExitFailed;
    }
    if (status == kExitOk && outputs.writeSignature(signature) != velk::COutputFiles::kOk) status = kExitFailed;
    return status;
}

// OUT and OUT.minisig must be neither SOURCE nor the secret key, even by another name.
bool sparesTheInputs(const Arguments& args, const struct stat& source, const velk::COutputFiles& outputs) {
    const char* output = S_ISDIR(source.st_mode) ? nullptr : outputs.replacing(source);
    if (output != nullptr) return refused(std::string(output) + " would overwrite its source " + args.source);
    struct stat key;
    output = args.sign && ::stat(args.secretKey.c_str(), &key) == 0 ? outputs.replacing(key) : nullptr;
    if (output != nullptr) return refused(std::string(output) + " would overwrite the secret key " + args.secretKey);
    return true;
}

// OUT and OUT.minisig may each be missing, a link, or a regular file that is neither an input
// nor a minisign key: kExitOk, or the exit status.
int lookAtOutputs(const Arguments& args, const struct stat& source, velk::COutputFiles& outputs) {
    int looked = outputs.open(args.output, args.sign);
    if (looked == velk::COutputFiles::kOk && !sparesTheInputs(args, source, outputs)) return kExitUsage;
    if (looked == velk::COutputFiles::kOk) looked = outputs.refuseKeys();
    if (looked == velk::COutputFiles::kOk) return kExitOk;
    return looked == velk::COutputFiles::kRefused ? kExitUsage : kExitFailed;
}

// Every output and input is checked, and the key loaded, before anything is written.
int pack(const Arguments& args) {
    struct stat source;
    if (::stat(args.source.c_str(), &source) != 0) {
        fprintf(stderr, "velk-pack: %s: %s\n", args.source.c_str(), strerror(errno));
        return kExitFailed;
    }
    velk::COutputFiles outputs;
    const int looked = lookAtOutputs(args, source, outputs);
    if (looked != kExitOk) return looked;
    // A wrong password must not cost a whole package.
    brn::CSecretKey key;
    std::string comment;
    if (args.sign && (!loadSecretKey(args.secretKey, key) || !trustedCommentFor(args, comment))) return kExitFailed;
    velk::CPackageWriter writer;
    if (outputs.beginPackage() != velk::COutputFiles::kOk ||
        writer.init(outputs.packageFd(), args.output, args.settings) != velk::CPackageWriter::kOk) {
        return kExitFailed;
    }
    int status = S_ISDIR(source.st_mode) ? packTree(args, outputs, writer) : packTarFile(args, writer);
    if (status != kExitOk || writer.finish() != velk::CPackageWriter::kOk ||
        outputs.sealPackage() != velk::COutputFiles::kOk) {
        return kExitFailed;
    }
    if (args.sign && signPackage(args, outputs, key, comment) != kExitOk) return kExitFailed;
    if (outputs.commit() != velk::COutputFiles::kOk) return kExitFailed;
    if (args.printKey) {
        printf("key=%s\niv=%s\npayloadOffset=%" PRIu64 "\npayloadLength=%" PRIu64 "\n", toHex(writer.aesKey()).c_str(),
               toHex(writer.aesIv()).c_str(), writer.payloadOffset(), writer.payloadLength());
    }
    return kExitOk;
}

// --help or --version anywhere: the text, and nothing else.
bool answersQuestion(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "--version") {
            fputs(arg == "--help" ? kUsage : "velk-pack " VELK_VERSION "\n", stdout);
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    // The work is the files: a reader of the messages that went away must not kill the run
    // before it removes its temporaries. A failed message write changes nothing.
    signal(SIGPIPE, SIG_IGN);
    if (answersQuestion(argc, argv)) return kExitOk;
    Arguments args;
    if (!parseArguments(argc, argv, args)) return kExitUsage;
    return pack(args);
}
