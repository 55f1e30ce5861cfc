#include "app/UnpackOptions.h"

#include <string>

#include "install/ExitStatus.h"

namespace velk {

namespace {

bool isOption(const std::string& argument) { return argument.size() > 1 && argument[0] == '-'; }

// A descriptor number: decimal digits only, at most INT_MAX.
bool parseDescriptor(const std::string& text, int& fd) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    fd = std::stoi(text);
    return true;
}

// An option that takes no value: true when `option` is one, and it is noted.
bool takeFlag(const std::string& option, UnpackOptions& options) {
    if (option == "--atomic") options.atomic = true;
    else if (option == "-p" || option == "--preserve-permissions") options.keepPermissions = true;
    else if (option == "--progress") options.progress = true;
    else if (option == "--help") options.help = true;
    else if (option == "--version") options.showVersion = true;
    else return false;
    return true;
}

// An option with a value: true when `option` is one and `value` suits it.
bool takeValue(const std::string& option, const std::string& value, UnpackOptions& options) {
    if (option == "--pubkey") options.publicKey = value;
    else if (option == "--signature") options.signature = value;
    else if (option == "--progress-fd") return parseDescriptor(value, options.progressFd);
    else return false;
    return true;
}

}  // namespace

int parseUnpackOptions(int argc, const char* const* argv, UnpackOptions& options) {
    int at = 1;
    for (; at < argc && isOption(argv[at]); ++at) {
        const std::string option = argv[at];
        if (option == "--") {
            ++at;
            break;
        }
        if (takeFlag(option, options)) continue;
        if (at + 1 >= argc || !takeValue(option, argv[at + 1], options)) return kExitUsage;
        ++at;
    }
    if (options.help || options.showVersion) return kExitOk;
    if (argc - at < 3 || (options.publicKey.empty() && !options.signature.empty())) return kExitUsage;
    options.source = argv[at];
    options.dest = argv[at + 1];
    options.version = argv[at + 2];
    return kExitOk;
}

}  // namespace velk
