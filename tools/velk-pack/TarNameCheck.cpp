#include "tools/velk-pack/TarNameCheck.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tools/velk-pack/UstarWriter.h"

namespace velk {

namespace {

constexpr size_t kBlockSize = brn::kTarBlockSize;

bool isZeroBlock(const unsigned char* block) {
    return std::all_of(block, block + kBlockSize, [](unsigned char byte) { return byte == 0; });
}

// The typeflags the reader takes for a regular file, the only kind of entry with data.
bool isRegularFile(char typeflag) { return typeflag == '\0' || typeflag == '0' || typeflag == '7'; }

// A symbolic link or a folder: made by the reader, without data whatever its size field says.
bool isLinkOrFolder(char typeflag) { return typeflag == '2' || typeflag == '5'; }

}  // namespace

int CTarNameCheck::update(const char* data, int len) {
    if (data == nullptr || len <= 0) return kBadArguments;
    const auto* in = reinterpret_cast<const unsigned char*>(data);
    size_t at = 0;
    const size_t size = size_t(len);
    while (at < size && (expect == Expect::kHeader || expect == Expect::kData)) {
        if (expect == Expect::kData) {
            const size_t skipped = size_t(std::min<uint64_t>(dataLeft, size - at));
            at += skipped;
            dataLeft -= skipped;
            if (dataLeft == 0) expect = Expect::kHeader;
            continue;
        }
        const size_t taken = std::min(kBlockSize - collected, size - at);
        std::memcpy(header + collected, in + at, taken);
        collected += taken;
        at += taken;
        if (collected == kBlockSize) {
            collected = 0;
            readHeader();
        }
    }
    return expect == Expect::kRefused ? kBackslashInName : len;
}

void CTarNameCheck::readHeader() {
    brn::UstarHeader fields;
    std::memcpy(&fields, header, sizeof fields);
    if (isZeroBlock(header) || (!brn::hasUstarMagic(fields) && fields.name[0] == '\0')) {
        expect = Expect::kNotRead;
        return;
    }
    const std::string name = brn::entryPath(fields);
    if (name.find('\\') != std::string::npos) {
        fprintf(stderr, "velk-pack: %s: %.*s: %s\n", source.c_str(), int(name.size()), name.data(), kBackslashRefusal);
        expect = Expect::kRefused;
        return;
    }
    const brn::OctalField size = brn::readOctalField(fields.size, sizeof fields.size);
    if (size.form == brn::OctalForm::kValue && isRegularFile(fields.typeflag)) {
        dataLeft = (uint64_t(size.value) + kBlockSize - 1) / kBlockSize * kBlockSize;
        expect = dataLeft > 0 ? Expect::kData : Expect::kHeader;
    } else if (size.form == brn::OctalForm::kValue && isLinkOrFolder(fields.typeflag)) {
        expect = Expect::kHeader;
    } else {
        expect = Expect::kNotRead;
    }
}

}  // namespace velk
