#pragma once
// Stateless file-system helpers over POSIX calls: testing for and creating directories,
// telling a mount's root, naming the working folder, writing a whole buffer and reading a file
// or a stream in chunks. Results are int codes (0 or a count on success, a negative value per
// cause), except isDirectory, makeDirs and isMountRoot (bool), processUmask (a mode),
// parentDir, workingFolder and relativePathsProblem (texts), and readWaiting and writeWaiting
// (read's and write's own results). Every descriptor opened here is closed before the function returns, on every path.
// Ownership is a plain value.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velk {

// The owner and group that what a run makes is given, where the kernel's choice is not kept:
// root installing into a tree that belongs to another user makes every entry that user's.
struct Ownership {
    bool given = false;  // false: each entry keeps the owner and group it was made with
    uid_t user = 0;
    gid_t group = 0;
};

// True when `name` in the directory `dirFd` (not followed if a link) is the root of a mount,
// a bind mount of a folder of the same file system included.
bool isMountRoot(int dirFd, const char* name);
// True when `path` names a directory, symbolic links followed.
bool isDirectory(const std::string& path);
// Creates `path` and its missing parents with mode 0755 (fs/FileModes.h). False for an
// empty path or when a mkdir fails other than with EEXIST (an existing file of any kind counts as made).
bool makeDirs(const std::string& path);
// The process's umask, read without changing it.
mode_t processUmask();
// The directory part of `path`, "/" and "\" both separating: "a/b/c" -> "a/b",
// "a/b/" -> "a/b", "file" -> ".", "/file" -> "/", "" -> ".".
std::string parentDir(const std::string& path);

// The working folder's absolute path; empty, errno set, when it has none (ENOENT: it was
// removed, or lies outside the process's root) or it cannot be named.
std::string workingFolder();
// Empty when every one of `paths` is absolute (an empty one is no path) or the working folder
// can be named; else why the relative ones cannot be resolved: "the working folder is gone:
// relative paths cannot be resolved", or the same with "cannot be named(<errno>,<text>)". A
// relative name is never resolved against "/" in its stead.
std::string relativePathsProblem(const std::vector<std::string>& paths);

// The chunk the programs read SOURCE in: every chunk handed to the decoder but the last.
constexpr size_t kReadChunkSize = 102400;

// Writes all `length` bytes, at most 65536 per write; after a partial write the rest is
// written on. length; -1 bad arguments; -2 a write failed ("write failed(<errno>,<text>)").
int writeAll(const char* buffer, int length, int fd);
// One read of up to `size` bytes that waits for them: an interrupted call is made again, and
// where the descriptor's owner made it non-blocking (EAGAIN) poll waits until bytes or the end
// arrive. The descriptor's flags are left as they are: its file description may be the
// parent's. The bytes read, 0 at the end, or -1 with errno set.
ssize_t readWaiting(int fd, char* buffer, size_t size);
// One write of `size` bytes that waits as readWaiting does: a full non-blocking pipe (EAGAIN)
// is waited for with poll until it takes bytes, as a blocking one would be. The bytes
// written, or -1 with errno set.
ssize_t writeWaiting(int fd, const char* buffer, size_t size);
// Reads `fd` from where it stands to its end (a file, a pipe, a socket) and hands the bytes to
// onChunk in chunks of exactly chunkSize bytes, the last one shorter: short reads are gathered
// (readWaiting), so the chunks are the same however the bytes arrive. One buffer of chunkSize
// bytes. Stops with 0 when onChunk takes fewer bytes than offered. 0; -1 bad arguments; -2 a
// read failed (errno tells why); -3 onChunk returned a negative value.
int readChunks(int fd, size_t chunkSize, const std::function<int(const char*, int)>& onChunk);
constexpr int kReadChunksFailed = -2;  // readChunks: a read failed

}  // namespace velk
