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

int removeDirContents(const std::string& path);
int removeDir(const std::string& path, bool removeSelf);
bool isDirectory(const std::string& path);
bool makeDirs(const std::string& path);
std::string parentDir(const std::string& path);

int openFile(const std::string& path, bool read, bool write, int offset, int whence, int* fd);
int openFile64(const std::string& path, bool read, bool write, bool truncate, int64_t offset, int whence,
               int* fd, int64_t* position, int64_t* size);

int writeAll(const char* buffer, int length, int fd);
int readFile64(int fd, int chunkSize, const std::function<int(const char*, int)>& funcOnOutput,
               int64_t maxLength);
int writeFile(const char* buffer, int length, const std::string& path);
int writeFile(const std::string& text, const std::string& path);
