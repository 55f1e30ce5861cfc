#pragma once
// Where the libraries' messages go. Every diagnostic and progress line of the stages, the
// decoder, the install steps and the file helpers is written through message/messageLine to
// one sink: a stream (standard output unless the program chose another), a hook called before
// each message, and a mute switch. The sink is the program's and the only process-wide state
// the libraries read: app/ and tools/ (and tests) set it, before the work starts or around one
// stage run on the working thread; no library below app/ ever sets it. The namespace is that
// of the streaming stages (brn/), which write most of the messages.
// Threads: the sink is read by whichever thread prints, so it is set before any thread of the
// work starts and changed only while no stage runs. Each message is one locked write on the
// stream (flockfile), hook included, so lines printed from several threads never mix within a
// line; the hook runs on the printing thread and must be safe there. A thread that works
// ahead of the one that prints (a stage of brn/untgza/StageLine.h) detours its messages with
// CMessageDetour, so that they travel down the line with its data and are printed in the
// order one thread would print them.

#include <cstddef>
#include <cstdio>
#include <functional>

namespace brn {

// The stream messages go to; nullptr: standard output (velk-inspect keeps its report on
// standard output and sends these to standard error).
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
// Writes `length` bytes of text as they are: what a detour took, printed where it arrives.
int messageText(const char* text, size_t length);

// While it lives, the messages this thread prints (muted ones excepted) go to `take` as whole
// texts instead of the stream, the hook not called. Other threads are not affected. One per
// thread at a time; `take` runs on this thread.
class CMessageDetour {
public:
    using Take = std::function<void(const char* text, size_t length)>;
    explicit CMessageDetour(Take take);
    ~CMessageDetour();
    CMessageDetour(const CMessageDetour&) = delete;
    CMessageDetour& operator=(const CMessageDetour&) = delete;

private:
    Take take;
};

}  // namespace brn
