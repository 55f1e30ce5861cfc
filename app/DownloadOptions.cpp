#include "app/DownloadOptions.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "download/UrlText.h"
#include "fs/FileUtil.h"

namespace velk {

namespace {

constexpr uint64_t kLongestTimeout = 24 * 3600;  // seconds
constexpr uint64_t kMostRetries = 1000;

// Why `path` cannot be the CA bundle, or empty.
std::string caFileProblem(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        return "--cacert " + path + ": cannot be read(" + std::to_string(errno) + "," + strerror(errno) + ")";
    }
    if (!S_ISREG(st.st_mode)) return "--cacert " + path + ": not a regular file";
    return std::string();
}

}  // namespace

std::vector<OptionRule> downloadOptionRules(DownloadOptions& options) {
    DownloadSettings& settings = options.settings;
    bool& given = options.given;
    return {
        {"--timeout", nullptr, "a number of seconds",
         [&settings, &given](const std::string& value) {
             uint64_t seconds = 0;
             given = true;
             if (!parseWholeNumber(value, kLongestTimeout, seconds) || seconds == 0) return false;
             settings.timeoutSeconds = unsigned(seconds);
             return true;
         }},
        {"--retries", nullptr, "a number of tries",
         [&settings, &given](const std::string& value) {
             uint64_t tries = 0;
             given = true;
             if (!parseWholeNumber(value, kMostRetries, tries)) return false;
             settings.retries = unsigned(tries);
             return true;
         }},
        textOption("--cacert", "a CA bundle file", settings.caFile, &given),
    };
}

std::string downloadProblem(const std::string& source, DownloadOptions& options) {
    if (!isUrl(source)) return options.given ? "--timeout, --retries and --cacert are for a URL SOURCE" : "";
    if (const std::string problem = urlProblem(source); !problem.empty()) return "SOURCE: " + problem;
    std::string& caFile = options.settings.caFile;
    if (caFile.empty()) return std::string();
    if (caFile[0] != '/') caFile = workingFolder() + "/" + caFile;
    return caFileProblem(caFile);
}

}  // namespace velk
