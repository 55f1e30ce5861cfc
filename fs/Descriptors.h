#pragma once
// Descriptors a program is handed when it starts. A parent may start it with standard input,
// output or error closed; the next file it opens would then take that number, and messages
// written to "standard output" would land in it. Stateless.

namespace velk {

// Opens /dev/null onto each of descriptors 0, 1 and 2 that is closed; call before anything is
// opened. Gives a mask of those that were closed (bit n for descriptor n); -1 when one of
// them could not be given /dev/null.
int fillClosedStandardDescriptors();

// True when `fd` is open, for writing.
bool isOpenForWriting(int fd);

}  // namespace velk
