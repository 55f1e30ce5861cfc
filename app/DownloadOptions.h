#pragma once
// The options of a SOURCE given as a URL, which velk-unpack and velk-inspect share: --timeout
// SECONDS, --retries N and --cacert FILE, read into download/DownloadSettings.h, and what they
// must fit: each is for a URL only, a URL must be one that can be asked for as it stands, and
// --cacert must name a regular file (made absolute, so a later connection finds the same one).
// Calling order: add the rules to the program's option table, read the command line, then
// downloadProblem. Stateless but for the settings the rules fill.

#include <string>
#include <vector>

#include "app/OptionReader.h"
#include "download/DownloadSettings.h"

namespace velk {

struct DownloadOptions {
    DownloadSettings settings;
    bool given = false;  // one of the three options was given
};

std::vector<OptionRule> downloadOptionRules(DownloadOptions& options);
// Empty when the options fit SOURCE (a URL, a file or "-"); else the hint for the usage line.
// Makes a relative --cacert absolute.
std::string downloadProblem(const std::string& source, DownloadOptions& options);

}  // namespace velk
