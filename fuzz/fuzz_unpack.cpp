// libFuzzer target of the package decoder and its pipeline: a CUnPackFile, whose entry
// maker makes every package's entries in a fresh box below the scratch root, is fed
// a package file in the slicing the first byte picks; afterwards nothing may exist outside
// the box. Without option A the data is the package file as it is (the fuzz build accepts
// any head check, so mutated heads get through). With option A the data is a plain gzip
// stream, and the target wraps it into a valid package (option B: two such packages back
// to back), so mutations reach the gzip and tar stages through the AES stage. Also checked:
// buffToFile gives the length or -1, and a failure sticks. Built as fuzz_unpack_line, the
// decoder inflates and unpacks on a stage line of two threads (an input of even length) or
// three, and a failure found there once the input ran out sticks as well.

#include <fcntl.h>

#include <cstring>
#include <memory>
#include <string>

#include "VelkFile/Algorithm.h"
#include "VelkFile/PackageLayout.h"
#include "VelkFile/UnPackFile.h"
#include "brn/ByteOrder.h"
#include "brn/crypto/PvtAes.h"
#include "brn/tar/DiskEntryMaker.h"
#include "brn/untgza/StageLine.h"
#include "fs/UniqueFd.h"
#include "fuzz/FuzzSupport.h"

namespace {

using velk::CUnPackFile;

constexpr int kEncrypt = 1;
constexpr unsigned char kSaltByte = 0x5A;
constexpr unsigned char kSeedByte = 0xC3;
const std::string kLabel = "fuzz";
const std::string kInfo = "{\"PLVS\":\"1\"}";

std::string encipherPayload(const std::string& fileHeader, const std::string& plainHead, const char* data,
                            size_t size) {
    std::string material;
    if (velk::derivePayloadKeyMaterial(fileHeader.data(), plainHead.data(), material) != 0) {
        velkfuzz::fail("derivePayloadKeyMaterial");
    }
    std::string out;
    out.reserve(size);
    brn::CPvtAesV0 aes;
    auto collect = [&out](const char* p, int n) { return out.append(p, size_t(n)), n; };
    const std::string salt = fileHeader.substr(velk::kHeaderSaltAt, velk::kHeaderSaltSize);
    if (aes.init(material, salt, kEncrypt, collect) != 0) velkfuzz::fail("aes init");
    if (size > 0 && aes.update(data, int(size)) != int(size)) velkfuzz::fail("aes update");
    if (aes.finish() != 0) velkfuzz::fail("aes finish");
    return out;
}

// One package around `data`, made as the packer makes it: head enciphered and checked.
std::string buildPackage(const char* data, size_t size) {
    std::string fileHeader(velk::kFileHeaderSize, '\0');
    memcpy(fileHeader.data(), velk::kMagic, velk::kMagicSize);
    memset(fileHeader.data() + velk::kHeaderSaltAt, kSaltByte, velk::kHeaderSaltSize);
    std::string head(velk::kHeadBlockSize, '\0');
    memset(head.data() + velk::kPayloadSeedAt, kSeedByte, velk::kPayloadSeedSize);
    head[velk::kLabelLengthAt] = char(kLabel.size());
    kLabel.copy(head.data() + velk::kLabelAt, kLabel.size());
    head[velk::kCustomInfoLengthAt] = char(kInfo.size());
    kInfo.copy(head.data() + velk::kCustomInfoAt, kInfo.size());
    brn::storeLe64(reinterpret_cast<unsigned char*>(head.data()) + velk::kPayloadLengthAt, size);
    const std::string payload = encipherPayload(fileHeader, head, data, size);

    unsigned char key[velk::kHeadKeySize];
    unsigned char check[velk::kHeadCheckSize];
    auto* stored = reinterpret_cast<unsigned char*>(head.data());
    if (velk::algorithmGetHeadKey(fileHeader.data(), key) != 0 ||
        velk::algorithmEncryptionHeadData(stored, int(head.size()), key, int(sizeof key)) != 0 ||
        velk::getProduceHeadCheck(fileHeader.data(), head.data(), check) != 0) {
        velkfuzz::fail("building the head");
    }
    return fileHeader + head + std::string(reinterpret_cast<const char*>(check), sizeof check) + payload +
           std::string(velk::kTailSize, '\0');
}

void unpack(const velkfuzz::FuzzInput& input, const std::string& box) {
    const velk::CUniqueFd root(open(box.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (root.get() < 0) velkfuzz::fail("cannot open " + box);
    brn::CDiskEntryMaker maker(root.get(), box + "/");
#ifdef VELK_FUZZ_ON_LINE
    brn::CStageLine line(input.size % 2 == 0 ? brn::CStageLine::kMinThreads : brn::CStageLine::kMaxThreads);
    if (!line.start()) velkfuzz::fail("no thread could be made");
    CUnPackFile decoder(maker, CUnPackFile::Progress::kShown, &line);
#else
    CUnPackFile decoder(maker);
#endif
    decoder.init(std::string());
    bool allTaken = velkfuzz::forEachSlice(input, [&decoder](const char* p, int n) {
        const int result = decoder.buffToFile(p, n);
        if (result != n && result != CUnPackFile::kFailed) velkfuzz::fail("buffToFile gave " + std::to_string(result));
        return result == n;
    });
    if (allTaken) allTaken = decoder.settle() == 0;
    if (!allTaken && decoder.buffToFile(input.data, 0) != CUnPackFile::kFailed) {
        velkfuzz::fail("a failure was cleared by a later call");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    velkfuzz::quietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    velkfuzz::FuzzInput input;
    if (!velkfuzz::readFuzzInput(bytes, size, input)) return 0;
    std::string built;
    if ((input.options & velkfuzz::kOptionA) != 0) {
        built = buildPackage(input.data, input.size);
        if ((input.options & velkfuzz::kOptionB) != 0) built += built;
        input.data = built.data();
        input.size = built.size();
    }
    velkfuzz::CFuzzScratch& scratch = velkfuzz::CFuzzScratch::get();
    unpack(input, scratch.fresh());
    scratch.checkAndRemove();
    return 0;
}
