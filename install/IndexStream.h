#pragma once
// Buffered streams over an index file (install/TreeIndexFormat.h), each with a running
// BLAKE2b-256 of every byte it passed, which the index's end record holds: CIndexOutput writes
// a file from its start, CIndexInput reads one from its start. Both keep one 64 KiB buffer,
// whatever the index's size. The descriptor is borrowed. Results are 0 or an errno (EIO for a
// file that ends too soon). readIndexRecord reads one record's head (install/TreeIndexFormat.h).

#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "install/TreeIndexFormat.h"

namespace velk {

class CIndexOutput {
public:
    explicit CIndexOutput(int fd);
    [[nodiscard]] int write(const void* data, size_t size);
    [[nodiscard]] int flush();
    // The digest of every byte written so far.
    Digest digest() const;
    uint64_t offset() const { return written; }

private:
    int fd;
    std::vector<char> buffer;
    size_t used = 0;
    uint64_t written = 0;
    crypto_generichash_state hash;
};

class CIndexInput {
public:
    explicit CIndexInput(int fd);
    [[nodiscard]] int read(void* data, size_t size);
    [[nodiscard]] int skip(uint64_t size);
    // The digest of every byte read so far.
    Digest digest() const;
    uint64_t offset() const { return consumed; }
    // Whether the file ends right here.
    bool atEnd();

private:
    int fill();

    int fd;
    std::vector<char> buffer;
    size_t start = 0, end = 0;
    uint64_t consumed = 0;
    crypto_generichash_state hash;
};

// Reads one record's head and, for a link, its target into `record`; a file's digests are left
// to the caller, record.digestsAt noting where they start. False at the end record
// (record.kind is then kEnd) or on anything malformed or unreadable (any other kind).
bool readIndexRecord(CIndexInput& from, IndexRecord& record);

}  // namespace velk
