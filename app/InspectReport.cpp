#include "app/InspectReport.h"

#include <memory>
#include <sstream>

#include "fs/FileModes.h"

namespace velk {

namespace {

constexpr uint32_t kSetUid = 04000;
constexpr uint32_t kSetGid = 02000;
constexpr uint32_t kSticky = 01000;
constexpr unsigned char kFirstPrintable = 0x20;
constexpr unsigned char kLastPrintable = 0x7e;

char typeLetter(uint32_t type) {
    switch (type) {
        case brn::kTarTypeDirectory: return 'd';
        case brn::kTarTypeSymlink: return 'l';
        case brn::kTarTypeHardLink: return 'h';
        case brn::kTarTypeCharDevice: return 'c';
        case brn::kTarTypeBlockDevice: return 'b';
        case brn::kTarTypeFifo: return 'p';
        default: return '-';
    }
}

// One rwx triple; `special` (set-id or sticky) shows in the execute place as s/S or t/T.
void appendTriple(std::string& text, uint32_t bits, bool special, char specialLetter) {
    text += (bits & 4) != 0 ? 'r' : '-';
    text += (bits & 2) != 0 ? 'w' : '-';
    const bool execute = (bits & 1) != 0;
    if (special) {
        text += execute ? specialLetter : char(specialLetter - 'a' + 'A');
    } else {
        text += execute ? 'x' : '-';
    }
}

// Only regular files carry data; the reader ignores a size on any other entry.
uint64_t dataSize(const brn::TAR_FILE_INFO_T& info) {
    return info.type == brn::kTarTypeRegular ? info.size : 0;
}

bool isLink(const brn::TAR_FILE_INFO_T& info) {
    return info.type == brn::kTarTypeSymlink || info.type == brn::kTarTypeHardLink;
}

Json::Value bytesValue(const std::string& bytes) {
    return Json::Value(bytes.data(), bytes.data() + bytes.size());
}

}  // namespace

std::string modeText(const brn::TAR_FILE_INFO_T& info) {
    const uint32_t mode = info.mode & kModeBits;
    std::string text(1, typeLetter(info.type));
    appendTriple(text, mode >> 6, (mode & kSetUid) != 0, 's');
    appendTriple(text, mode >> 3, (mode & kSetGid) != 0, 's');
    appendTriple(text, mode, (mode & kSticky) != 0, 't');
    return text;
}

std::string printable(const std::string& bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            text += "\\\\";
        } else if (byte >= kFirstPrintable && byte <= kLastPrintable) {
            text += c;
        } else {
            char escaped[5];
            snprintf(escaped, sizeof escaped, "\\%03o", unsigned(byte));
            text += escaped;
        }
    }
    return text;
}

void CTextReport::package(const PackageRecord& record) {
    fprintf(out, "package %llu at offset %llu\n", static_cast<unsigned long long>(record.index),
            static_cast<unsigned long long>(record.offset));
    fprintf(out, "  label: %s\n", printable(record.label).c_str());
    fprintf(out, "  custom information: %s\n", printable(record.customInfo).c_str());
    fprintf(out, "  PLVS: %s\n", record.hasPlvs ? printable(record.plvs).c_str() : "(none)");
    fprintf(out, "  payload length: %llu\n", static_cast<unsigned long long>(record.payloadLength));
}

void CTextReport::entry(const brn::TAR_FILE_INFO_T& info) {
    fprintf(out, "%s %12llu %s", modeText(info).c_str(), static_cast<unsigned long long>(dataSize(info)),
            printable(info.name).c_str());
    if (info.type == brn::kTarTypeSymlink) fprintf(out, " -> %s", printable(info.linkname).c_str());
    if (info.type == brn::kTarTypeHardLink) fprintf(out, " link to %s", printable(info.linkname).c_str());
    fputc('\n', out);
}

void CTextReport::verdict(const PackageRecord& record, bool failed, const std::string& text) {
    if (!failed && !verifying) return;
    closing += "package " + std::to_string(record.index) + " at offset " + std::to_string(record.offset) + ": " +
               (failed ? "FAILED: " : "") + text + "\n";
}

void CTextReport::signatureVerdict(bool failed, const std::string& text, const std::string& trustedComment) {
    if (!failed && !verifying) return;
    closing += std::string("signature: ") + (failed ? "FAILED: " + text : "OK, trusted comment: " + printable(trustedComment)) +
               "\n";
}

void CTextReport::fileVerdict(bool failed, const std::string& text) {
    if (!failed && !verifying) return;
    closing += std::string("file: ") + (failed ? "FAILED: " : "") + text + "\n";
}

bool CTextReport::finish(int) {
    fwrite(closing.data(), 1, closing.size(), out);
    return fflush(out) == 0 && ferror(out) == 0;
}

CJsonReport::CJsonReport(FILE* out, const std::string& path, const Json::Value& size) : out(out) {
    root["file"] = bytesValue(path);
    root["size"] = size;
    root["packages"] = Json::Value(Json::arrayValue);
    root["verdict"] = Json::Value(Json::nullValue);
}

// The package's object; a package that failed before its head was read gets one here.
Json::Value& CJsonReport::packageEntry(const PackageRecord& record) {
    Json::Value& packages = root["packages"];
    const Json::ArrayIndex count = packages.size();
    if (count > 0 && packages[count - 1]["index"].asUInt64() == record.index) return packages[count - 1];
    Json::Value& added = packages.append(Json::Value(Json::objectValue));
    added["index"] = Json::UInt64(record.index);
    added["offset"] = Json::UInt64(record.offset);
    added["entries"] = Json::Value(Json::arrayValue);
    added["verdict"] = Json::Value(Json::nullValue);
    return added;
}

void CJsonReport::package(const PackageRecord& record) {
    Json::Value& item = packageEntry(record);
    item["label"] = bytesValue(record.label);
    item["customInfo"] = bytesValue(record.customInfo);
    item["plvs"] = record.hasPlvs ? bytesValue(record.plvs) : Json::Value(Json::nullValue);
    item["payloadLength"] = Json::UInt64(record.payloadLength);
}

void CJsonReport::entry(const brn::TAR_FILE_INFO_T& info) {
    Json::Value& packages = root["packages"];
    if (packages.empty()) return;  // entries come only after a package's head
    Json::Value item(Json::objectValue);
    const std::string mode = modeText(info);
    item["type"] = mode.substr(0, 1);
    item["mode"] = mode.substr(1);
    item["size"] = Json::UInt64(dataSize(info));
    item["name"] = bytesValue(info.name);
    item["target"] = isLink(info) ? bytesValue(info.linkname) : Json::Value(Json::nullValue);
    packages[packages.size() - 1]["entries"].append(std::move(item));
}

void CJsonReport::verdict(const PackageRecord& record, bool, const std::string& text) {
    packageEntry(record)["verdict"] = text;
}

void CJsonReport::signatureVerdict(bool, const std::string& text, const std::string& trustedComment) {
    root["signature"]["verdict"] = text;
    root["signature"]["trustedComment"] = trustedComment;
}

void CJsonReport::fileVerdict(bool, const std::string& text) {
    root["verdict"] = text;
}

bool CJsonReport::finish(int status) {
    root["status"] = status;
    if (root["verdict"].isNull()) root["verdict"] = status == 0 ? "OK" : "FAILED";
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    const std::unique_ptr<Json::StreamWriter> writer(builder.newStreamWriter());
    std::ostringstream text;
    writer->write(root, &text);
    text << '\n';
    const std::string document = text.str();
    return fwrite(document.data(), 1, document.size(), out) == document.size() && fflush(out) == 0;
}

}  // namespace velk
