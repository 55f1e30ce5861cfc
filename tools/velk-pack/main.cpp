// velk-pack: makes one VELK package from a directory tree or from a tar file taken as is.
//   velk-pack --label L --info JSON [--seed N] [--level 0-9] [--print-key] -o OUT SOURCE
// Packages meant to follow each other in one file are made one by one and concatenated.
// Exit status: 0 done, 1 the package could not be made, 2 wrong arguments.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/UniqueFd.h"
#include "tools/velk-pack/PackageWriter.h"
#include "tools/velk-pack/UstarWriter.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr size_t kReadChunkSize = 64 * 1024;

constexpr const char* kUsage =
    "usage: velk-pack --label LABEL --info JSON [--seed N] [--level 0-9] [--print-key] -o OUT SOURCE\n"
    "  SOURCE is a directory (archived in sorted order) or a tar file (taken as is).\n"
    "  --print-key prints the AES key, the initial vector and the payload's offset and length.\n";

struct Arguments {
    velk::PackSettings settings;
    bool haveLabel = false;
    bool haveInfo = false;
    bool printKey = false;
    std::string output;
    std::string source;
};

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

bool parseOption(const std::string& name, const std::string& value, Arguments& args) {
    uint64_t number = 0;
    if (name == "--label") {
        args.settings.label = value;
        args.haveLabel = true;
    } else if (name == "--info") {
        args.settings.customInfo = value;
        args.haveInfo = true;
    } else if (name == "-o") {
        args.output = value;
    } else if (name == "--seed") {
        if (!parseNumber(value, UINT64_MAX, number)) return usageError("--seed needs a number");
        args.settings.seed = number;
    } else if (name == "--level") {
        if (!parseNumber(value, 9, number)) return usageError("--level needs a number from 0 to 9");
        args.settings.level = int(number);
    } else {
        return usageError("unknown option " + name);
    }
    return true;
}

bool parseArguments(int argc, char** argv, Arguments& args) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--print-key") {
            args.printKey = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            if (i + 1 >= argc) return usageError(arg + " needs a value");
            if (!parseOption(arg, argv[++i], args)) return false;
        } else if (args.source.empty()) {
            args.source = arg;
        } else {
            return usageError("more than one source given");
        }
    }
    if (!args.haveLabel || !args.haveInfo) return usageError("--label and --info are required");
    if (args.output.empty()) return usageError("-o OUT is required");
    if (args.source.empty()) return usageError("no source given");
    return true;
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

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

int packTree(const Arguments& args, velk::CPackageWriter& writer) {
    velk::CUstarWriter tar([&writer](const char* data, int len) { return writer.update(data, len); });
    struct stat out;
    if (::stat(args.output.c_str(), &out) == 0) tar.skipFile(out.st_dev, out.st_ino);
    return tar.writeTree(args.source) == velk::CUstarWriter::kOk ? kExitOk : kExitFailed;
}

int packTarFile(const Arguments& args, velk::CPackageWriter& writer) {
    CUniqueFd fd(::open(args.source.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        fprintf(stderr, "velk-pack: %s: cannot open: %s\n", args.source.c_str(), strerror(errno));
        return kExitFailed;
    }
    std::vector<char> chunk(kReadChunkSize);
    for (;;) {
        ssize_t n = ::read(fd.get(), chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            fprintf(stderr, "velk-pack: %s: cannot read: %s\n", args.source.c_str(), strerror(errno));
            return kExitFailed;
        }
        if (n == 0) return kExitOk;
        if (writer.update(chunk.data(), int(n)) < 0) return kExitFailed;
    }
}

int pack(const Arguments& args) {
    struct stat source;
    if (::stat(args.source.c_str(), &source) != 0) {
        fprintf(stderr, "velk-pack: %s: %s\n", args.source.c_str(), strerror(errno));
        return kExitFailed;
    }
    struct stat out;
    if (!S_ISDIR(source.st_mode) && ::stat(args.output.c_str(), &out) == 0 && sameFile(source, out)) {
        fprintf(stderr, "velk-pack: the package would overwrite its source %s\n", args.source.c_str());
        return kExitFailed;
    }
    velk::CPackageWriter writer;
    if (writer.init(args.output, args.settings) != velk::CPackageWriter::kOk) return kExitFailed;
    int status = S_ISDIR(source.st_mode) ? packTree(args, writer) : packTarFile(args, writer);
    if (status != kExitOk || writer.finish() != velk::CPackageWriter::kOk) return kExitFailed;
    if (args.printKey) {
        printf("key=%s\niv=%s\npayloadOffset=%" PRIu64 "\npayloadLength=%" PRIu64 "\n", toHex(writer.aesKey()).c_str(),
               toHex(writer.aesIv()).c_str(), writer.payloadOffset(), writer.payloadLength());
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments args;
    if (!parseArguments(argc, argv, args)) return kExitUsage;
    return pack(args);
}
