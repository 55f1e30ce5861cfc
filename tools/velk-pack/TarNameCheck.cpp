#include "tools/velk-pack/TarNameCheck.h"

#include <cstdio>
#include <utility>

#include "fs/Message.h"
#include "tools/velk-pack/UstarWriter.h"

namespace velk {

CTarNameCheck::CTarNameCheck(std::string sourceName) : source(std::move(sourceName)), record("") {
    record.keepBackslashes(true);
    record.setEntryObserver([this](const brn::TAR_FILE_INFO_T& entry) { checkEntry(entry); });
    reading = reader.init(&record) == brn::CTarReader::kOk;
}

// A hard link names its target as it names an entry: a backslash there is read as a slash too.
void CTarNameCheck::checkEntry(const brn::TAR_FILE_INFO_T& entry) {
    if (refused) return;
    const bool hardLink = entry.type == brn::kTarTypeHardLink;
    const std::string& name = hardLink && entry.name.find('\\') == std::string::npos ? entry.linkname : entry.name;
    if (name.find('\\') == std::string::npos) return;
    fprintf(stderr, "velk-pack: %s: %.*s: %s\n", source.c_str(), int(name.size()), name.data(), kBackslashRefusal);
    refused = true;
}

int CTarNameCheck::update(const char* data, int len) {
    if (data == nullptr || len <= 0) return kBadArguments;
    if (reading && !refused) {
        brn::setMessagesMuted(true);
        reading = reader.update(data, len) >= 0;
        brn::setMessagesMuted(false);
    }
    return refused ? kBackslashInName : len;
}

}  // namespace velk
