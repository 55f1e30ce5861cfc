#pragma once
// Where the libraries' messages go. Every diagnostic and progress line of the stages, the
// decoder and the file helpers is written here: standard output unless the program chose
// another stream before the work began (velk-inspect keeps its report on standard output and
// sends these to standard error). One process-wide stream; the program owns it. The namespace
// is that of the streaming stages (brn/), which write most of them.

#include <cstdio>
#include <functional>

namespace brn {

void setMessageStream(FILE* stream);
// Called before every message is written (a progress line on the same terminal blanks itself
// there); an empty function stops the calls.
void setBeforeMessage(std::function<void()> hook);
// While muted, messages are dropped: a program that runs a stage only for its verdict
// (velk-pack reading a tar file's names) does not show the stage's own words.
void setMessagesMuted(bool muted);

// printf and puts to the message stream.
int message(const char* format, ...) __attribute__((format(printf, 1, 2)));
int messageLine(const char* text);

}  // namespace brn
