#include "tests/brn/tar/TarTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace tartest {

std::string header(const std::string& name, char typeflag, size_t size, const std::string& linkname) {
    std::string block(512, '\0');
    block.replace(0, name.size(), name);
    block.replace(100, 7, "0000644");
    char digits[16];
    snprintf(digits, sizeof digits, "%011llo", static_cast<unsigned long long>(size));
    block.replace(124, 11, digits);
    block.replace(136, 11, "00000000000");
    block[156] = typeflag;
    block.replace(157, linkname.size(), linkname);
    block.replace(257, 8, std::string("ustar\0" "00", 8));
    block.replace(265, 4, "root");
    unsigned sum = 8 * ' ';
    for (size_t i = 0; i < block.size(); ++i) sum += (i >= 148 && i < 156) ? 0 : static_cast<unsigned char>(block[i]);
    snprintf(digits, sizeof digits, "%06o", sum);
    block.replace(148, 7, std::string(digits, 6) + '\0');
    return block;
}

std::string patched(std::string block, size_t offset, const std::string& bytes) {
    return block.replace(offset, bytes.size(), bytes);
}

std::string file(const std::string& name, const std::string& content) {
    return header(name, '0', content.size()) + content + std::string((512 - content.size() % 512) % 512, '\0');
}

std::string zeroBlocks(size_t count) { return std::string(512 * count, '\0'); }

Extraction extract(const std::string& archive, const std::string& outDir, const std::vector<size_t>& slices,
                   PathFor pathFor) {
    Extraction run;
    testing::internal::CaptureStdout();
    {
        brn::CTarReader reader;
        const int initialised = reader.init([&](const brn::TAR_FILE_INFO_T& info, bool&, std::string& outPath) {
            run.seen.push_back(info);
            outPath = pathFor ? pathFor(info) : outDir + "/" + info.name;
            return 0;
        });
        EXPECT_EQ(initialised, 0);
        size_t at = 0;
        for (size_t slice : slices) {
            run.results.push_back(reader.update(archive.data() + at, int(slice)));
            at += slice;
        }
        run.finished = reader.finish();
    }
    fflush(stdout);
    run.printed = testing::internal::GetCapturedStdout();
    return run;
}

Extraction extract(const std::string& archive, const std::string& outDir) {
    return extract(archive, outDir, {archive.size()});
}

}  // namespace tartest
