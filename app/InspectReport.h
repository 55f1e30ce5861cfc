#pragma once
// The two forms of velk-inspect's report. CTextReport writes a block per package and its
// entries in the manner of `tar -tv` as it learns them, and the verdict lines at finish.
// CJsonReport keeps the same facts (names, never data) and writes one JSON document at
// finish. Calling order: per package `package`, then its `entry` calls; `verdict` for
// every package judged, in index order; `fileVerdict` at most once; `finish` last. The
// report writes to a stream it does not own. Bytes from the package are shown escaped in
// the text form, so a hostile name cannot drive the terminal.

#include <cstdint>
#include <cstdio>
#include <string>

#include <json/json.h>

#include "brn/tar/TarReader.h"

namespace velk {

// One package as its head told it.
struct PackageRecord {
    uint64_t index = 0;
    uint64_t offset = 0;         // input offset of the package's first byte
    bool headRead = false;       // false: the package failed before its head was deciphered
    std::string label;           // exact bytes
    std::string customInfo;      // exact bytes
    bool hasPlvs = false;
    std::string plvs;            // the text velk-unpack would write as the version
    uint64_t payloadLength = 0;  // bytes
};

// The type letter and permission letters of `tar -tv`: "-rw-r--r--", "drwxr-xr-x", "hrw-r--r--" ...
std::string modeText(const brn::TAR_FILE_INFO_T& info);
// `bytes` with every byte outside printable ASCII, and the backslash, as \ooo or \\.
std::string printable(const std::string& bytes);

class CInspectReport {
public:
    virtual ~CInspectReport() = default;
    virtual void package(const PackageRecord& record) = 0;
    virtual void entry(const brn::TAR_FILE_INFO_T& info) = 0;
    // "OK", or why the package would fail; `failed` tells which. `record` may be a
    // package whose head was never read.
    virtual void verdict(const PackageRecord& record, bool failed, const std::string& text) = 0;
    // The signature check: "OK" and the trusted comment, or why it failed.
    virtual void signatureVerdict(bool failed, const std::string& text, const std::string& trustedComment) = 0;
    // A verdict on the file as a whole that belongs to no package.
    virtual void fileVerdict(bool failed, const std::string& text) = 0;
    // Ends the report; `status` is the program's exit status. False when it could not be written.
    virtual bool finish(int status) = 0;
};

class CTextReport : public CInspectReport {
public:
    // With `verifying`, OK verdicts are written too; failures always are.
    CTextReport(FILE* out, bool verifying) : out(out), verifying(verifying) {}
    void package(const PackageRecord& record) override;
    void entry(const brn::TAR_FILE_INFO_T& info) override;
    void verdict(const PackageRecord& record, bool failed, const std::string& text) override;
    void signatureVerdict(bool failed, const std::string& text, const std::string& trustedComment) override;
    void fileVerdict(bool failed, const std::string& text) override;
    bool finish(int status) override;

private:
    FILE* out;
    bool verifying;
    std::string closing;  // the verdict lines, written at finish (a few per package)
};

class CJsonReport : public CInspectReport {
public:
    // `size`: the file's size in bytes, or null for a stream.
    CJsonReport(FILE* out, const std::string& path, const Json::Value& size);
    void package(const PackageRecord& record) override;
    void entry(const brn::TAR_FILE_INFO_T& info) override;
    void verdict(const PackageRecord& record, bool failed, const std::string& text) override;
    void signatureVerdict(bool failed, const std::string& text, const std::string& trustedComment) override;
    void fileVerdict(bool failed, const std::string& text) override;
    bool finish(int status) override;

private:
    Json::Value& packageEntry(const PackageRecord& record);

    FILE* out;
    Json::Value root;
};

}  // namespace velk
