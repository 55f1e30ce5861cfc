#pragma once
// Stateless file-system helpers over POSIX calls: emptying and removing a directory
// tree, testing for and creating directories, opening, writing and reading files.
// Results are int codes (0 or a count on success, a negative value per cause), except
// isDirectory and makeDirs (bool) and parentDir (a path). A descriptor handed out by
// openFile or openFile64 belongs to the caller; every other descriptor opened here is
// closed before the function returns, on every path.

#include <cstdint>
#include <functional>
#include <string>

// Deletes everything below `path` depth first through descriptors (fs/TreeRemover.h:
// symbolic links are removed, never followed; no mount point is crossed), printing "ready
// to del <path>" before each removal and "<call> <path> failed(<errno>,<text>)" when a
// call fails; keeps `path`. 0; -1 cannot open; -2 cannot examine an entry; -3 a
// subdirectory failed; -4 remove failed; -5 a mount point below; -6 a directory was
// replaced while it was emptied.
int removeDirContents(const std::string& path);
// removeDirContents, then, with removeSelf, the directory itself (-127 when that fails).
int removeDir(const std::string& path, bool removeSelf);
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

// Opens `path` (mode 0600, parents made when writing, no truncation) and seeks when offset
// or whence is non-zero. 0; -1 neither read nor write (or fd null); -2 no parent; -3 open;
// -4 seek.
int openFile(const std::string& path, bool read, bool write, int offset, int whence, int* fd);
// Large-file form. With `size`, finds the size first and then seeks from where the file
// was opened. 0; -1 neither read nor write (or fd null); -2 no parent; -3 open; -4 size;
// -5 seek after the size; -6 seek. `position` and `size` may be null.
int openFile64(const std::string& path, bool read, bool write, bool truncate, int64_t offset, int whence,
               int* fd, int64_t* position, int64_t* size);

// Writes all `length` bytes, at most 65536 per write; after a partial write the rest is
// written on. length; -1 bad arguments; -2 a write failed ("write failed(<errno>,<text>)").
int writeAll(const char* buffer, int length, int fd);
// Reads from the current position to the end (at most maxLength bytes when it is >= 1) and
// hands the bytes to funcOnOutput in chunks of exactly chunkSize, the last one shorter.
// Stops with 0 when funcOnOutput takes fewer bytes than offered. 0; -1 bad arguments;
// -2 read failed; -3 funcOnOutput negative on a full chunk; -4 on the last, partial chunk.
int readFile64(int fd, int chunkSize, const std::function<int(const char*, int)>& funcOnOutput,
               int64_t maxLength);
// Makes `buffer` the content of `path` (parents made; a block device is written in place,
// any other file is cut to length). 0; -1 bad arguments; -2 no parent; -3 cannot open;
// -4 length 0, a failed write or a failed close; -5 fstat; -6 ftruncate. Failed calls
// print "<call> <path> failed(<errno>,<text>)".
int writeFile(const char* buffer, int length, const std::string& path);
int writeFile(const std::string& text, const std::string& path);
