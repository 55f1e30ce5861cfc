#include "tools/velk-pack/TerminalPassword.h"

#include <fcntl.h>
#include <sodium.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fs/UniqueFd.h"

namespace velk {
namespace {

// Puts the terminal's settings back when it goes out of scope, discarding unread input.
struct RestoreTerminal {
    int fd;
    struct termios saved;
    ~RestoreTerminal() { ::tcsetattr(fd, TCSAFLUSH, &saved); }
};

// The prompt and the line end are a courtesy: reading the password goes on without them.
bool say(int fd, const std::string& text) { return ::write(fd, text.data(), text.size()) == ssize_t(text.size()); }

}  // namespace

int readTerminalPassword(const std::string& prompt, std::string& password) {
    CUniqueFd tty(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY));
    struct termios quiet;
    if (tty.get() < 0 || ::tcgetattr(tty.get(), &quiet) != 0) {
        fprintf(stderr, "velk-pack: no terminal to ask for the password on: %s\n", strerror(errno));
        return kPasswordNoTerminal;
    }
    RestoreTerminal restore{tty.get(), quiet};
    quiet.c_lflag &= ~tcflag_t(ECHO);
    if (::tcsetattr(tty.get(), TCSAFLUSH, &quiet) != 0) {
        fprintf(stderr, "velk-pack: cannot turn off the terminal's echo: %s\n", strerror(errno));
        return kPasswordNoTerminal;
    }
    say(tty.get(), prompt);
    // The terminal hands over one line per read: the longest password, its line end and one
    // byte more tell a line that is too long.
    std::string line(kMaxPasswordBytes + 2, '\0');
    ssize_t n;
    do {
        n = ::read(tty.get(), &line[0], line.size());
    } while (n < 0 && errno == EINTR);
    say(tty.get(), "\n");
    int result = kPasswordOk;
    if (n == ssize_t(line.size())) {
        result = kPasswordTooLong;
        fprintf(stderr, "velk-pack: the password is longer than %zu bytes\n", kMaxPasswordBytes);
    } else if (n <= 0 || line[size_t(n) - 1] != '\n') {
        result = kPasswordNotRead;
        fprintf(stderr, "velk-pack: no password was read\n");
    } else {
        password.assign(line, 0, size_t(n) - 1);
    }
    sodium_memzero(&line[0], line.size());
    return result;
}

}  // namespace velk
