#pragma once
// Progress of reading a package file, for people and for programs. CProgressLine draws
// "read 12.3 of 512.0 MB, 85.2 MB/s, 6 s left" on standard error, rewritten in place with
// '\r' at most four times a second, and blanks it with clear(), and before every library
// message, which may reach the same terminal (fs/Message.h). CProgressFeed writes lines
// "PERCENT BYTES TOTAL" to a descriptor for a supervising program: at most about ten a second,
// the percent never decreasing, and "100 TOTAL TOTAL" from succeed() only. A feed whose
// descriptor fails stops writing and changes nothing else. Both do nothing unless enabled.

#include <cstdint>

namespace velk {

// Nanoseconds of the monotonic clock.
int64_t monotonicNanoseconds();

class CProgressLine {
public:
    CProgressLine(bool enabled, uint64_t total);
    ~CProgressLine();
    CProgressLine(const CProgressLine&) = delete;
    CProgressLine& operator=(const CProgressLine&) = delete;
    void update(uint64_t done);
    void clear();

private:
    bool enabled;
    uint64_t total;   // bytes of the file
    int64_t started;  // ns, monotonic
    int64_t last;     // ns, when the line was last written
    int width = 0;    // widest line written, '\r' included
    bool shown = false;
};

class CProgressFeed {
public:
    // fd < 0: disabled.
    CProgressFeed(int fd, uint64_t total);
    void update(uint64_t done);
    // The last line, "100 TOTAL TOTAL", once the install is complete.
    void succeed();

private:
    void writeLine(uint64_t done);

    int fd;
    uint64_t total;          // bytes of the file
    int64_t last = 0;        // ns, when a line was last written; 0 before the first
    uint64_t lastDone = 0;   // bytes in the last line
    bool broken = false;     // a write failed: nothing more is written
};

}  // namespace velk
