#pragma once
// The command line of velk-unpack: [OPTIONS] SOURCE DEST VERSION-FILE. Options come before
// SOURCE; parsing stops at the first argument that is not an option ("-" alone is not one)
// or right after "--", so an argument list without options keeps its meaning. Arguments
// after VERSION-FILE are ignored. Stateless.

#include <string>

namespace velk {

struct UnpackOptions {
    bool atomic = false;           // --atomic: stage beside DEST, swap it in whole
    bool keepPermissions = false;  // -p, --preserve-permissions: the entries' mode & 0777
    std::string publicKey;         // --pubkey KEYFILE: SOURCE must carry a valid signature
    std::string signature;         // --signature SIGFILE; empty: SOURCE + ".minisig"
    bool progress = false;         // --progress: a progress line on standard error, if a terminal
    int progressFd = -1;           // --progress-fd N: "PERCENT BYTES TOTAL" lines to descriptor N
    bool help = false;             // --help: the synopsis and every option, nothing else done
    bool showVersion = false;      // --version
    std::string source;
    std::string dest;
    std::string version;
};

// kExitOk, or kExitUsage for an unknown option, an option without its value (or a
// --progress-fd that is not a descriptor number), --signature without --pubkey, or fewer
// than three arguments after the options (unless --help or --version was given).
int parseUnpackOptions(int argc, const char* const* argv, UnpackOptions& options);

}  // namespace velk
