#pragma once
// Helpers for the tar reader tests: hand-built ustar blocks (for hostile headers that no
// tool writes) and one call that runs a CTarReader over an archive in given slices,
// recording every result, the entries seen by the entry callback and what was printed.

#include <functional>
#include <string>
#include <vector>

#include "brn/tar/TarReader.h"

namespace tartest {

// One ustar header block with a valid checksum; `size` is written as 11 octal digits.
std::string header(const std::string& name, char typeflag, size_t size, const std::string& linkname = "");
// Overwrites `bytes` at `offset` of a header block (a field of a hostile header).
std::string patched(std::string block, size_t offset, const std::string& bytes);
// A regular file entry: header, then the content padded to whole blocks.
std::string file(const std::string& name, const std::string& content);
std::string zeroBlocks(size_t count);

struct Extraction {
    std::vector<int> results;              // one per update call
    int finished = 0;                      // result of finish
    std::vector<brn::TAR_FILE_INFO_T> seen;  // entries given to the entry callback
    std::string printed;                   // standard output, the reader's destructor included
};

// Maps an entry to its output path; the default is outDir + "/" + name, as the decoder does.
using PathFor = std::function<std::string(const brn::TAR_FILE_INFO_T&)>;

Extraction extract(const std::string& archive, const std::string& outDir, const std::vector<size_t>& slices,
                   PathFor pathFor = nullptr);
// The whole archive in one update call.
Extraction extract(const std::string& archive, const std::string& outDir);

}  // namespace tartest
