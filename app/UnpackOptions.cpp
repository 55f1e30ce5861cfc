#include "app/UnpackOptions.h"

#include <climits>
#include <string>
#include <vector>

#include "app/OptionReader.h"
#include "download/UrlText.h"
#include "install/SourceFile.h"

namespace velk {

namespace {

constexpr const char* kLateOption = "options come before SOURCE";

std::vector<OptionRule> optionTable(UnpackOptions& options) {
    std::vector<OptionRule> table = {
        flagOption("--atomic", nullptr, options.atomic),
        flagOption("-p", "--preserve-permissions", options.keepPermissions),
        flagOption("--link-unchanged", nullptr, options.linkUnchanged),
        flagOption("--keep-previous", nullptr, options.keepPrevious),
        flagOption("--rollback", nullptr, options.rollback),
        flagOption("--keep-backslashes", nullptr, options.keepBackslashes),
        flagOption("--progress", nullptr, options.progress),
        flagOption("--help", nullptr, options.help),
        flagOption("--version", nullptr, options.showVersion),
        textOption("--pubkey", "a key file", options.publicKey),
        textOption("--signature", "a signature file", options.signature),
        {"--progress-fd", nullptr, "a descriptor number",
         [&options](const std::string& value) {
             uint64_t fd = 0;
             if (!parseWholeNumber(value, INT_MAX, fd)) return false;
             options.progressFd = int(fd);
             return true;
         }},
        {"--threads", nullptr, "a number of threads",
         [&options](const std::string& value) {
             uint64_t threads = 0;
             if (!parseWholeNumber(value, INT_MAX, threads) || threads == 0) return false;
             options.threads = int(threads);
             return true;
         }},
        {"--source-size", nullptr, "a number of bytes",
         [&options](const std::string& value) {
             return parseWholeNumber(value, UINT64_MAX, options.sourceSize) && options.sourceSize > 0;
         }},
    };
    for (OptionRule& rule : downloadOptionRules(options.download)) table.push_back(std::move(rule));
    return table;
}

ParsedOptions refuse(const std::string& hint) { return ParsedOptions{false, hint}; }

// Whether any option of an install was given: none has a meaning with --rollback.
bool anyInstallOption(const UnpackOptions& options) {
    return options.atomic || options.keepPermissions || options.linkUnchanged || options.keepPrevious ||
           options.keepBackslashes || !options.publicKey.empty() || !options.signature.empty() ||
           options.progress || options.progressFd >= 0 || options.sourceSize > 0;
}

ParsedOptions takeRollbackOperands(const std::vector<std::string>& operands, UnpackOptions& options) {
    if (anyInstallOption(options)) return refuse("--rollback takes no other option");
    if (operands.size() != 2) return refuse("--rollback takes exactly DEST and VERSION-FILE");
    options.dest = operands[0];
    options.version = operands[1];
    return ParsedOptions{true, ""};
}

// The options that do not fit together, or not with SOURCE.
ParsedOptions checkTogether(const UnpackOptions& options) {
    if (options.publicKey.empty() && !options.signature.empty()) return refuse("--signature needs --pubkey");
    if (options.linkUnchanged && !options.atomic) return refuse("--link-unchanged needs --atomic");
    if (options.keepPrevious && !options.atomic) return refuse("--keep-previous needs --atomic");
    // A download can fail halfway: the installed tree must not be the price.
    if (isUrl(options.source) && !options.atomic) return refuse("a URL SOURCE needs --atomic");
    const bool stream = isStandardInput(options.source);
    if (options.sourceSize > 0 && !stream) return refuse("--source-size is for SOURCE -, a stream");
    // A stream is read once: its signature is checked as it is unpacked, beside DEST.
    if (stream && !options.publicKey.empty() && !options.atomic) return refuse("--pubkey with SOURCE - needs --atomic");
    if (!options.publicKey.empty() && signaturePathFor(options.source, options.signature).empty()) {
        return refuse("--pubkey with SOURCE - needs --signature");
    }
    return ParsedOptions{true, ""};
}

}  // namespace

ParsedOptions parseUnpackOptions(int argc, const char* const* argv, UnpackOptions& options) {
    const CommandLine line =
        readCommandLine(argc, argv, optionTable(options), OptionPlace::kBeforeOperands, kLateOption);
    const bool lateOption = !line.ok && line.hint == kLateOption;
    if ((line.ok || lateOption) && (options.help || options.showVersion)) return ParsedOptions{true, ""};
    if (!line.ok) return refuse(line.hint);
    if (options.rollback) return takeRollbackOperands(line.operands, options);
    if (line.operands.size() < 3) return refuse("");
    options.source = line.operands[0];
    options.dest = line.operands[1];
    options.version = line.operands[2];
    return checkTogether(options);
}

}  // namespace velk
