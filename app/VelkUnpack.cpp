#include "app/VelkUnpack.h"

#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "VelkFile/UnPackFile.h"
#include "app/FileUtil.h"
#include "app/UniqueFd.h"

namespace velk {

namespace {

// Process-wide, as the hook is a plain function: the destination as given, and the
// PLVS value of the last custom information that had one.
std::string destPath;
std::string packageVersion;

void printUsage() {
    puts("params: source path; dest path; version");
}

// An empty destination would put every entry at "/" + name, and the root (however it
// is spelled) would be emptied: both are refused before anything is removed.
bool isUnsafeDestination(const std::string& dest) {
    if (dest.empty()) return true;
    char resolved[PATH_MAX];
    return realpath(dest.c_str(), resolved) != nullptr && std::string(resolved) == "/";
}

void prepareDestination(const std::string& dest) {
    // Failures are printed by the helpers; the extraction then fails when it writes.
    if (isDirectory(dest)) {
        removeDir(dest, false);
    } else {
        makeDirs(dest);
    }
}

// Why the decoded input cannot be trusted as a complete install, if it cannot.
bool inputIsIncomplete(const CUnPackFile& decoder, bool decodeFailed) {
    if (decodeFailed) return true;
    if (!decoder.atPackageBoundary()) {
        puts("tgz: unpack incomplete\r");
        return true;
    }
    return decoder.completedPackages() == 0;
}

int unpackSource(const std::string& sourcePath, const std::string& versionPath) {
    CUnPackFile decoder;
    decoder.setOutCustomInfo(outCustomInfo);
    decoder.init(std::string());

    int rawFd = -1;
    if (openFile64(sourcePath, true, false, false, 0, SEEK_SET, &rawFd, nullptr, nullptr) < 0) {
        return kExitOpenFailed;
    }
    CUniqueFd source(rawFd);
    struct stat st;
    if (fstat(source.get(), &st) != 0 || !S_ISREG(st.st_mode)) return kExitNotRegular;

    // After the first failure no more bytes are taken, so the reader stops early and
    // a damaged file is never buffered whole.
    bool decodeFailed = false;
    auto onChunk = [&decoder, &decodeFailed](const char* data, int length) {
        if (decoder.buffToFile(data, length) < 0) {
            decodeFailed = true;
            return 0;
        }
        return length;
    };
    if (readFile64(source.get(), kChunkSize, onChunk, -1) < 0) return kExitReadFailed;

    if (inputIsIncomplete(decoder, decodeFailed)) return kExitIncomplete;
    if (writeFile(packageVersion, versionPath) < 0) return kExitVersionFailed;
    return kExitOk;
}

}  // namespace

int velkUnpack(int argc, const char* const* argv) {
    if (argc < 4 || isUnsafeDestination(argv[2])) {
        printUsage();
        return kExitUsage;
    }
    if (access(argv[1], F_OK) != 0) return kExitNoSource;
    prepareDestination(argv[2]);
    destPath = argv[2];
    return unpackSource(argv[1], argv[3]);
}

int outCustomInfo(const std::string& customInfo, unsigned long long, std::string& label, std::string& outDir) {
    if (customInfo.empty() || label.empty()) return -1;
    Json::Value root;
    try {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        Json::Reader reader;
#pragma GCC diagnostic pop
        bool parsed = reader.parse(customInfo, root, true);
        // Only an object can carry PLVS; a PLVS that is itself a container has no text.
        bool usable = parsed && root.isObject() &&
                      !(root.isMember("PLVS") && (root["PLVS"].isArray() || root["PLVS"].isObject()));
        if (!usable) {
            puts("outCustomInfo ERROR");
            return -2;
        }
        if (root.isMember("PLVS")) packageVersion = root["PLVS"].asString();
    } catch (const Json::Exception&) {
        puts("outCustomInfo ERROR");
        return -2;
    }
    outDir = destPath;
    return 0;
}

}  // namespace velk
