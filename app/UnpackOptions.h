#pragma once
// The command line of velk-unpack: [OPTIONS] SOURCE DEST VERSION-FILE, or --rollback DEST
// VERSION-FILE, which takes no other option and exactly those two operands. Options come before
// SOURCE; parsing stops at the first argument that is not an option ("-" alone is not one)
// or right after "--", so an argument list without options keeps its meaning. Every option is
// input and fails closed: an option given twice, an empty value, or an argument after SOURCE
// that looks like an option ("--..." or "-p") is a usage error, never a check switched off or
// an option silently ignored. Other arguments after VERSION-FILE are ignored. Stateless.

#include <cstdint>
#include <string>

#include "app/DownloadOptions.h"

namespace velk {

struct UnpackOptions {
    bool atomic = false;           // --atomic: stage beside DEST, swap it in whole
    bool keepPermissions = false;  // -p, --preserve-permissions: the entries' mode & 0777
    bool linkUnchanged = false;    // --link-unchanged: with --atomic, link the old tree's identical files
    bool keepPrevious = false;     // --keep-previous: with --atomic, keep the replaced tree beside DEST
    bool rollback = false;         // --rollback: swap the kept tree back into DEST; no SOURCE
    bool keepBackslashes = false;  // --keep-backslashes: a backslash in a name is no separator
    std::string publicKey;         // --pubkey KEYFILE: SOURCE must carry a valid signature
    std::string signature;         // --signature SIGFILE; empty: SOURCE + ".minisig"
    bool progress = false;         // --progress: a progress line on standard error, if a terminal
    int progressFd = -1;           // --progress-fd N: "PERCENT BYTES TOTAL" lines to descriptor N
    uint64_t sourceSize = 0;       // --source-size N: the bytes a stream SOURCE will bring; 0 unknown
    int threads = 0;               // --threads N: at most N threads (N >= 1); 0: the default
    DownloadOptions download;      // --timeout, --retries, --cacert: how a URL SOURCE is fetched
    bool help = false;             // --help: the synopsis and every option, nothing else done
    bool showVersion = false;      // --version
    std::string source;            // "-": standard input, read as a stream; or an http(s):// URL
    std::string dest;
    std::string version;
};

struct ParsedOptions {
    bool ok = false;
    std::string hint;  // when not ok and there is more to say than the usage line
};

// ok, or not ok for an unknown option, an option given twice, an option without its value or
// with an empty one (a --progress-fd that is not a descriptor number, a --source-size or a
// --threads that is not a number above 0), --signature without --pubkey, an option after SOURCE, fewer than three
// arguments after the options (unless --help or --version was given), or options that do not
// fit SOURCE "-": --source-size needs it, and with it --pubkey needs --atomic and --signature;
// --link-unchanged or --keep-previous without --atomic; a URL SOURCE without --atomic; and
// --rollback with another option or with other than two operands.
ParsedOptions parseUnpackOptions(int argc, const char* const* argv, UnpackOptions& options);

}  // namespace velk
