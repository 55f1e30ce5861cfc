#include "fs/Message.h"

#include <cstdarg>

namespace brn {

namespace {

// The sink: set by the program (see the header), read by every message.
struct MessageSink {
    FILE* stream = nullptr;  // nullptr: standard output
    std::function<void()> beforeEach;
    bool muted = false;
};

MessageSink sink;

// Holds the stream's lock from the hook to the end of the message.
class CLockedStream {
public:
    CLockedStream() : out(sink.stream != nullptr ? sink.stream : stdout) {
        flockfile(out);
        if (sink.beforeEach) sink.beforeEach();
    }
    ~CLockedStream() { funlockfile(out); }
    CLockedStream(const CLockedStream&) = delete;
    CLockedStream& operator=(const CLockedStream&) = delete;
    FILE* get() const { return out; }

private:
    FILE* out;
};

}  // namespace

void setMessageStream(FILE* stream) { sink.stream = stream; }

void setBeforeMessage(std::function<void()> hook) { sink.beforeEach = std::move(hook); }

void setMessagesMuted(bool muted) { sink.muted = muted; }

int message(const char* format, ...) {
    if (sink.muted) return 0;
    const CLockedStream out;
    va_list arguments;
    va_start(arguments, format);
    const int written = vfprintf(out.get(), format, arguments);
    va_end(arguments);
    return written;
}

int messageLine(const char* text) {
    if (sink.muted) return 0;
    const CLockedStream out;
    return fputs(text, out.get()) < 0 ? EOF : fputc('\n', out.get());
}

}  // namespace brn
