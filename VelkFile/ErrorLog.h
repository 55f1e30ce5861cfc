#pragma once
// The error log line of the package decoder and the head routines:
// "err_<operation>_<source file>_<line>\r\n" on standard output. The line numbers are
// fixed identifiers of each failure site that updaters' log scrapers already know,
// so every site passes its own constant rather than __LINE__.

namespace velk {

void logError(const char* operation, const char* sourceFile, int line);

}  // namespace velk
