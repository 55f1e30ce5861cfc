#pragma once
// Reads the package version (PLVS) out of a package's custom information, the one way
// velk-unpack and velk-inspect both read it: JsonCpp's classic reader, comments collected.

#include <string>

namespace velk {

struct CustomInfoVersion {
    bool usable = false;   // a JSON object whose PLVS, if any, is not an array or an object
    bool hasPlvs = false;  // usable and has a PLVS member
    std::string plvs;      // that member as JsonCpp converts it: numbers and booleans as text, null empty
};

CustomInfoVersion readCustomInfoVersion(const std::string& customInfo);

}  // namespace velk
