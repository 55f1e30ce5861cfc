#pragma once
// Reads the package version (PLVS) out of a package's custom information, the one way
// velk-unpack and velk-inspect both read it: JsonCpp's classic reader, comments collected.
// CPackageVersion judges each package head as velk-unpack does and keeps the version the
// run ends with; both programs hand it every head their decoder reads, in order.

#include <string>

namespace velk {

struct CustomInfoVersion {
    bool usable = false;   // a JSON object whose PLVS, if any, is not an array or an object
    bool hasPlvs = false;  // usable and has a PLVS member
    std::string plvs;      // that member as JsonCpp converts it: numbers and booleans as text, null empty
};

CustomInfoVersion readCustomInfoVersion(const std::string& customInfo);

class CPackageVersion {
public:
    static constexpr int kAccepted = 0;
    static constexpr int kEmptyField = -1;  // the label or the custom information is empty
    static constexpr int kUnusable = -2;    // not a JSON object, or its PLVS is an array or an object
                                            // ("outCustomInfo ERROR" printed)

    // Judges one package head; an accepted one that has a PLVS makes it the version.
    int take(const std::string& label, const std::string& customInfo);
    // The PLVS of the last accepted package that had one; empty when none had.
    const std::string& value() const { return plvs; }

private:
    std::string plvs;
};

}  // namespace velk
