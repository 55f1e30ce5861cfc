#pragma once
// The velk-unpack program: velk-unpack SOURCE DEST VERSION-FILE. It opens and checks
// SOURCE, locks, empties (or makes) DEST (install/Destination.h), decodes every package of
// SOURCE into it, reading the file in 102400-byte chunks, and writes the PLVS value of the
// last package that had one into VERSION-FILE. The result is an exit status of
// install/ExitStatus.h; every failure status comes with a line on standard output saying why.

#include <string>

#include "install/ExitStatus.h"

namespace velk {

// Runs the whole program; argv as given to main.
int velkUnpack(int argc, const char* const* argv);

// The custom-information hook: reads PLVS from the package's JSON and sends the
// package to DEST. 0, -1 (empty custom information or label), -2 (not a JSON object
// or null, or a PLVS that is an array or an object; "outCustomInfo ERROR" printed).
int outCustomInfo(const std::string& customInfo, unsigned long long payloadLength, std::string& label,
                  std::string& outDir);

}  // namespace velk
