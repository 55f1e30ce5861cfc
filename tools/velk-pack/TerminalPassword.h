#pragma once
// readTerminalPassword asks for a password on the controlling terminal (/dev/tty), with echo
// off while it is typed, so it never comes from a pipe and never shows on the screen. The
// terminal's settings are restored on every way out. Each fault is printed where it is found.
// The caller owns the password and should wipe it after use.

#include <string>

namespace velk {

constexpr int kPasswordOk = 0;
constexpr int kPasswordNoTerminal = -1;  // no controlling terminal, or it cannot be set up
constexpr int kPasswordNotRead = -2;     // end of input or a read error before the line end
constexpr int kPasswordTooLong = -3;     // the line is longer than kMaxPasswordBytes

constexpr size_t kMaxPasswordBytes = 1024;

[[nodiscard]] int readTerminalPassword(const std::string& prompt, std::string& password);

}  // namespace velk
