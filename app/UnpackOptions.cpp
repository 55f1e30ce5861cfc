#include "app/UnpackOptions.h"

#include "app/ExitStatus.h"

namespace velk {

namespace {

bool isOption(const std::string& argument) { return argument.size() > 1 && argument[0] == '-'; }

}  // namespace

int parseUnpackOptions(int argc, const char* const* argv, UnpackOptions& options) {
    int at = 1;
    for (; at < argc && isOption(argv[at]); ++at) {
        const std::string option = argv[at];
        if (option == "--") {
            ++at;
            break;
        }
        if (option == "--atomic") {
            options.atomic = true;
        } else if (option == "-p" || option == "--preserve-permissions") {
            options.keepPermissions = true;
        } else if ((option == "--pubkey" || option == "--signature") && at + 1 < argc) {
            (option == "--pubkey" ? options.publicKey : options.signature) = argv[++at];
        } else {
            return kExitUsage;
        }
    }
    if (argc - at < 3 || (options.publicKey.empty() && !options.signature.empty())) return kExitUsage;
    options.source = argv[at];
    options.dest = argv[at + 1];
    options.version = argv[at + 2];
    return kExitOk;
}

}  // namespace velk
