#include "fs/Message.h"

#include <cstdarg>
#include <string>

namespace brn {

namespace {

// The sink: set by the program (see the header), read by every message.
struct MessageSink {
    FILE* stream = nullptr;  // nullptr: standard output
    std::function<void()> beforeEach;
    bool muted = false;
};

MessageSink sink;

// The detour of this thread's messages; nullptr: they go to the sink.
thread_local const CMessageDetour::Take* detour = nullptr;

// The text of one formatted message, for a detour.
std::string formatted(const char* format, va_list arguments) {
    va_list again;
    va_copy(again, arguments);
    const int length = vsnprintf(nullptr, 0, format, again);
    va_end(again);
    std::string text(length > 0 ? size_t(length) : 0, '\0');
    if (length > 0) vsnprintf(text.data(), text.size() + 1, format, arguments);
    return text;
}

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
    va_list arguments;
    va_start(arguments, format);
    int written = 0;
    if (detour != nullptr) {
        const std::string text = formatted(format, arguments);
        (*detour)(text.data(), text.size());
        written = int(text.size());
    } else {
        const CLockedStream out;
        written = vfprintf(out.get(), format, arguments);
    }
    va_end(arguments);
    return written;
}

int messageLine(const char* text) {
    if (sink.muted) return 0;
    if (detour != nullptr) {
        const std::string line = std::string(text) + '\n';
        (*detour)(line.data(), line.size());
        return int(line.size());
    }
    const CLockedStream out;
    return fputs(text, out.get()) < 0 ? EOF : fputc('\n', out.get());
}

int messageText(const char* text, size_t length) {
    if (sink.muted || length == 0) return 0;
    if (detour != nullptr) {
        (*detour)(text, length);
        return int(length);
    }
    const CLockedStream out;
    return fwrite(text, 1, length, out.get()) == length ? int(length) : EOF;
}

CMessageDetour::CMessageDetour(Take taker) : take(std::move(taker)) { detour = &take; }

CMessageDetour::~CMessageDetour() { detour = nullptr; }

}  // namespace brn
