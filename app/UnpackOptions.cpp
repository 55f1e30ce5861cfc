#include "app/UnpackOptions.h"

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
    {"--progress", nullptr, &UnpackOptions::progress},
    {"--help", nullptr, &UnpackOptions::help},
    {"--version", nullptr, &UnpackOptions::showVersion},
};

// An option that takes the next argument as its value.
struct ValueOption {
    const char* name;
    std::string UnpackOptions::*field;  // nullptr: --progress-fd, a number
};

constexpr ValueOption kValues[] = {
    {"--pubkey", &UnpackOptions::publicKey},
    {"--signature", &UnpackOptions::signature},
    {"--progress-fd", nullptr},
};

bool isOption(const std::string& argument) { return argument.size() > 1 && argument[0] == '-'; }

// What an argument after SOURCE must not look like: an option meant for this program.
bool looksLikeOption(const std::string& argument) { return argument.compare(0, 2, "--") == 0 || argument == "-p"; }

// A descriptor number: decimal digits only, at most INT_MAX.
bool parseDescriptor(const std::string& text, int& fd) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    fd = std::stoi(text);
    return true;
}

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
    if (option.field != nullptr) {
        options.*option.field = value;
    } else if (!parseDescriptor(value, options.progressFd)) {
        return refuse(name + " needs a descriptor number");
    }
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
