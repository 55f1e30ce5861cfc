#include "fs/Message.h"

#include <cstdarg>

namespace brn {

namespace {

FILE* messageStream = nullptr;  // nullptr: standard output
std::function<void()> beforeMessage;
bool messagesMuted = false;

FILE* stream() {
    if (beforeMessage) beforeMessage();
    return messageStream != nullptr ? messageStream : stdout;
}

}  // namespace

void setMessageStream(FILE* stream) { messageStream = stream; }

void setBeforeMessage(std::function<void()> hook) { beforeMessage = std::move(hook); }

void setMessagesMuted(bool muted) { messagesMuted = muted; }

int message(const char* format, ...) {
    if (messagesMuted) return 0;
    va_list arguments;
    va_start(arguments, format);
    const int written = vfprintf(stream(), format, arguments);
    va_end(arguments);
    return written;
}

int messageLine(const char* text) {
    if (messagesMuted) return 0;
    FILE* out = stream();
    return fputs(text, out) < 0 ? EOF : fputc('\n', out);
}

}  // namespace brn
