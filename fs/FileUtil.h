#pragma once
// Stateless file-system helpers over POSIX calls: testing for and creating directories,
// telling a mount's root, writing a whole buffer and reading a file in chunks. Results are int
// codes (0 or a count on success, a negative value per cause), except isDirectory, makeDirs
// and isMountRoot (bool) and parentDir (a path). Every descriptor opened here is closed
// before the function returns, on every path.

#include <cstdint>
#include <functional>
#include <string>

// True when `name` in the directory `dirFd` (not followed if a link) is the root of a mount,
// a bind mount of a folder of the same file system included.
bool isMountRoot(int dirFd, const char* name);
// True when `path` names a directory, symbolic links followed.
bool isDirectory(const std::string& path);
// Creates `path` and its missing parents with mode 0755. False for an empty path or when
// a mkdir fails other than with EEXIST (an existing file of any kind counts as made).
bool makeDirs(const std::string& path);
// The directory part of `path`, "/" and "\" both separating: "a/b/c" -> "a/b",
// "a/b/" -> "a/b", "file" -> ".", "/file" -> "/", "" -> ".".
std::string parentDir(const std::string& path);

// Writes all `length` bytes, at most 65536 per write; after a partial write the rest is
// written on. length; -1 bad arguments; -2 a write failed ("write failed(<errno>,<text>)").
int writeAll(const char* buffer, int length, int fd);
// Reads from the current position to the end (at most maxLength bytes when it is >= 1) and
// hands the bytes to funcOnOutput in chunks of exactly chunkSize, the last one shorter.
// Stops with 0 when funcOnOutput takes fewer bytes than offered. 0; -1 bad arguments;
// -2 read failed; -3 funcOnOutput negative on a full chunk; -4 on the last, partial chunk.
int readFile64(int fd, int chunkSize, const std::function<int(const char*, int)>& funcOnOutput,
               int64_t maxLength);
