#pragma once
// Progress of reading a package file, for people and for programs. CProgressLine draws
// "read 12.3 of 512.0 MB, 85.2 MB/s, 6 s left" (for a stream of unknown size "read 12.3 MB,
// 85.2 MB/s") on standard error, rewritten in place with '\r' at most four times a second,
// and blanks it with clear() and before every library message, which may reach the same
// terminal (fs/Message.h). CProgressFeed writes lines
// "PERCENT BYTES TOTAL" to a descriptor for a supervising program (for a stream of unknown
// size "- BYTES -"): at most about ten a second, the percent never decreasing and at most 99
// while the install runs, and "100 BYTES BYTES" from succeed() only. A feed whose descriptor
// fails stops writing and changes nothing else. Both do nothing unless enabled.

#include <cstdint>

namespace velk {

class CProgressLine {
public:
    // total 0: not known.
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
    // fd < 0: disabled; total 0: not known.
    CProgressFeed(int fd, uint64_t total);
    void update(uint64_t done);
    // The last line, "100 BYTES BYTES" with every byte read, once the install is complete.
    void succeed();

private:
    void writeLine(uint64_t done);

    void writeText(const char* line, int length);

    int fd;
    uint64_t total;          // bytes of the file; 0 when not known
    int64_t last = 0;        // ns, when a line was last written; 0 before the first
    uint64_t lastDone = 0;   // bytes in the last line
    uint64_t read = 0;       // bytes read so far
    bool broken = false;     // a write failed: nothing more is written
};

}  // namespace velk
