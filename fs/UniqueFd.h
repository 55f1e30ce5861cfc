#pragma once
// CUniqueFd owns one file descriptor and closes it when destroyed or reset, so every
// early return closes what was opened. Hand a descriptor to a caller with release(),
// which gives up ownership without closing. Movable, not copyable. DirHandle does the
// same for a DIR stream from opendir (closed with closedir). Header only.

#include <dirent.h>
#include <unistd.h>

#include <memory>

namespace velk {

class CUniqueFd {  // owns one descriptor; closes it on every early return
public:
    explicit CUniqueFd(int f = -1) : fd(f) {}
    CUniqueFd(CUniqueFd&& o) noexcept : fd(o.release()) {}
    CUniqueFd& operator=(CUniqueFd&& o) noexcept {
        if (this != &o) {
            reset(o.release());
        }
        return *this;
    }
    CUniqueFd(const CUniqueFd&) = delete;
    CUniqueFd& operator=(const CUniqueFd&) = delete;
    ~CUniqueFd() { reset(); }

    int get() const { return fd; }
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
    void reset(int f = -1) {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = f;
    }

private:
    int fd;  // the owned descriptor, or -1 when none
};

// A directory stream from opendir, closed with closedir on every way out.
using DirHandle = std::unique_ptr<DIR, int (*)(DIR*)>;

}  // namespace velk
