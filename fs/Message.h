#pragma once
// Where the libraries' messages go. Every diagnostic and progress line of the stages, the
// decoder and the file helpers is written here: standard output unless the program chose
// another stream before the work began (velk-inspect keeps its report on standard output and
// sends these to standard error). One process-wide stream; the program owns it.

#include <cstdio>

namespace brn {

void setMessageStream(FILE* stream);

// printf and puts to the message stream.
int message(const char* format, ...) __attribute__((format(printf, 1, 2)));
int messageLine(const char* text);

}  // namespace brn
