#pragma once
// The velk-unpack program: velk-unpack SOURCE DEST VERSION-FILE. It empties (or makes)
// DEST, decodes every package of SOURCE into it, reading the file in 102400-byte
// chunks, and writes the PLVS value of the last package that had one into
// VERSION-FILE. The result is the exit status listed beside kExit... below; every
// failure status comes with a line on standard output saying why.

#include <string>

namespace velk {

constexpr int kExitOk = 0;
constexpr int kExitUsage = -1;           // fewer than three arguments, or an empty or root DEST
constexpr int kExitNoSource = -2;        // SOURCE does not exist
constexpr int kExitOpenFailed = -3;      // SOURCE cannot be opened
constexpr int kExitNotRegular = -4;      // SOURCE cannot be examined or is not a regular file
constexpr int kExitReadFailed = -5;      // reading SOURCE failed
constexpr int kExitVersionFailed = -6;   // no PLVS found, or VERSION-FILE cannot be written
constexpr int kExitIncomplete = -7;      // a package failed, SOURCE ended inside one or held none,
                                         // or DEST could not be emptied or is not a directory

constexpr int kChunkSize = 102400;

// Runs the whole program; argv as given to main.
int velkUnpack(int argc, const char* const* argv);

// The custom-information hook: reads PLVS from the package's JSON and sends the
// package to DEST. 0, -1 (empty custom information or label), -2 (not a JSON object
// or null, or a PLVS that is an array or an object; "outCustomInfo ERROR" printed).
int outCustomInfo(const std::string& customInfo, unsigned long long payloadLength, std::string& label,
                  std::string& outDir);

}  // namespace velk
