#pragma once
// The velk-unpack program: velk-unpack SOURCE DEST VERSION-FILE. It opens and checks
// SOURCE, locks, empties (or makes) DEST (install/Destination.h), decodes every package of
// SOURCE into it, reading the file in 102400-byte chunks, and writes the PLVS value of the
// last package that had one into VERSION-FILE. The result is an exit status of
// app/ExitStatus.h; every failure status comes with a line on standard output saying why.

namespace velk {

// Runs the whole program; argv as given to main.
int velkUnpack(int argc, const char* const* argv);

}  // namespace velk
