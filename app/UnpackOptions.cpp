#include "app/UnpackOptions.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <set>
#include <string>

namespace velk {

namespace {

// An option that takes no value, under its spellings.
struct FlagOption {
    const char* name;
    const char* alias;  // nullptr when it has one spelling
    bool UnpackOptions::*field;
};

constexpr FlagOption kFlags[] = {
    {"--atomic", nullptr, &UnpackOptions::atomic},
    {"-p", "--preserve-permissions", &UnpackOptions::keepPermissions},
    {"--link-unchanged", nullptr, &UnpackOptions::linkUnchanged},
    {"--keep-backslashes", nullptr, &UnpackOptions::keepBackslashes},
    {"--progress", nullptr, &UnpackOptions::progress},
    {"--help", nullptr, &UnpackOptions::help},
    {"--version", nullptr, &UnpackOptions::showVersion},
};

// A whole decimal number in [0, max]: digits only, no sign or blanks.
bool parseNumber(const std::string& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || parsed > max) return false;
    value = parsed;
    return true;
}

// An option that takes the next argument as its value, which `take` checks and keeps.
struct ValueOption {
    const char* name;
    const char* expected;  // what the value must be, for the hint
    bool (*take)(const std::string& value, UnpackOptions& options);
};

constexpr ValueOption kValues[] = {
    {"--pubkey", "a key file", [](const std::string& value, UnpackOptions& options) {
         options.publicKey = value;
         return true;
     }},
    {"--signature", "a signature file", [](const std::string& value, UnpackOptions& options) {
         options.signature = value;
         return true;
     }},
    {"--progress-fd", "a descriptor number", [](const std::string& value, UnpackOptions& options) {
         uint64_t fd = 0;
         if (!parseNumber(value, INT_MAX, fd)) return false;
         options.progressFd = int(fd);
         return true;
     }},
    {"--source-size", "a number of bytes", [](const std::string& value, UnpackOptions& options) {
         return parseNumber(value, UINT64_MAX, options.sourceSize) && options.sourceSize > 0;
     }},
};

bool isOption(const std::string& argument) { return argument.size() > 1 && argument[0] == '-'; }

// What an argument after SOURCE must not look like: an option meant for this program.
bool looksLikeOption(const std::string& argument) { return argument.compare(0, 2, "--") == 0 || argument == "-p"; }

ParsedOptions refuse(const std::string& hint) { return ParsedOptions{false, hint}; }

class CArgumentReader {
public:
    CArgumentReader(int argc, const char* const* argv, UnpackOptions& options)
        : argc(argc), argv(argv), options(options) {}

    // Reads the options; `at` is then the first operand.
    ParsedOptions readOptions();
    ParsedOptions readOperands();

private:
    bool firstTime(const std::string& name) { return seen.insert(name).second; }
    ParsedOptions takeFlag(const FlagOption& flag);
    ParsedOptions takeValue(const ValueOption& option);
    ParsedOptions takeOption(const std::string& argument);

    int argc;
    const char* const* argv;
    UnpackOptions& options;
    int at = 1;
    std::set<std::string> seen;  // options given so far, by their first spelling
};

ParsedOptions CArgumentReader::takeFlag(const FlagOption& flag) {
    if (!firstTime(flag.name)) return refuse(std::string(flag.name) + " is given twice");
    options.*flag.field = true;
    ++at;
    return ParsedOptions{true, ""};
}

ParsedOptions CArgumentReader::takeValue(const ValueOption& option) {
    const std::string name = option.name;
    if (!firstTime(name)) return refuse(name + " is given twice");
    if (at + 1 >= argc) return refuse(name + " needs a value");
    const std::string value = argv[at + 1];
    if (value.empty()) return refuse(name + " needs a value that is not empty");
    if (!option.take(value, options)) return refuse(name + " needs " + option.expected);
    at += 2;
    return ParsedOptions{true, ""};
}

ParsedOptions CArgumentReader::takeOption(const std::string& argument) {
    for (const FlagOption& flag : kFlags) {
        if (argument == flag.name || (flag.alias != nullptr && argument == flag.alias)) return takeFlag(flag);
    }
    for (const ValueOption& option : kValues) {
        if (argument == option.name) return takeValue(option);
    }
    return refuse("unknown option " + argument);
}

ParsedOptions CArgumentReader::readOptions() {
    while (at < argc && isOption(argv[at])) {
        if (std::string(argv[at]) == "--") {
            ++at;
            break;
        }
        if (ParsedOptions taken = takeOption(argv[at]); !taken.ok) return taken;
    }
    return ParsedOptions{true, ""};
}

ParsedOptions CArgumentReader::readOperands() {
    for (int later = at + 1; later < argc; ++later) {
        if (looksLikeOption(argv[later])) return refuse("options come before SOURCE");
    }
    if (argc - at < 3) return refuse("");
    if (options.publicKey.empty() && !options.signature.empty()) return refuse("--signature needs --pubkey");
    if (options.linkUnchanged && !options.atomic) return refuse("--link-unchanged needs --atomic");
    const bool stream = std::string(argv[at]) == "-";
    if (options.sourceSize > 0 && !stream) return refuse("--source-size is for SOURCE -, a stream");
    // A stream is read once: its signature is checked as it is unpacked, beside DEST.
    if (stream && !options.publicKey.empty() && !options.atomic) return refuse("--pubkey with SOURCE - needs --atomic");
    if (stream && !options.publicKey.empty() && options.signature.empty()) {
        return refuse("--pubkey with SOURCE - needs --signature");
    }
    options.source = argv[at];
    options.dest = argv[at + 1];
    options.version = argv[at + 2];
    return ParsedOptions{true, ""};
}

}  // namespace

ParsedOptions parseUnpackOptions(int argc, const char* const* argv, UnpackOptions& options) {
    CArgumentReader reader(argc, argv, options);
    if (ParsedOptions read = reader.readOptions(); !read.ok) return read;
    if (options.help || options.showVersion) return ParsedOptions{true, ""};
    return reader.readOperands();
}

}  // namespace velk
