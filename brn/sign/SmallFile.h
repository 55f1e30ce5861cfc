#pragma once
// readSmallFile reads a whole key or signature file into a string. Such files are small: one
// above `maxBytes` is refused once maxBytes + 1 bytes were read, so a hostile file never sizes
// an allocation. Only regular files are read; opening does not wait for a FIFO's writer, and
// a FIFO or a device is refused. The caller owns the text; no descriptor outlives the call.

#include <cstddef>
#include <string>

namespace brn {

constexpr int kSmallFileOk = 0;
constexpr int kSmallFileMissing = -1;     // nothing at the path (ENOENT, ENOTDIR)
constexpr int kSmallFileUnreadable = -2;  // no regular file, or open, fstat or read failed
constexpr int kSmallFileTooLarge = -3;    // more than maxBytes bytes

[[nodiscard]] int readSmallFile(const std::string& path, size_t maxBytes, std::string& text);
// The same through a descriptor the caller opened and keeps. After kSmallFileUnreadable,
// errno says why (EINVAL: not a regular file).
[[nodiscard]] int readSmallFile(int fd, size_t maxBytes, std::string& text);

}  // namespace brn
