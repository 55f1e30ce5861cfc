#include "VelkFile/UnPackFile.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

#include "VelkFile/Algorithm.h"
#include "VelkFile/ErrorLog.h"
#include "brn/ByteOrder.h"
#include "brn/FuzzPolicy.h"
#include "fs/Message.h"

namespace velk {

namespace {

constexpr const char* kSourceFile = "VelkFile/UnPackFile.cpp";
constexpr int kBuffToFileLogLine = 53;
constexpr int kHeadKeyLogLine = 641;
constexpr int kHeadXorLogLine = 647;
constexpr int kSetHookLogLine = 800;

// The pipeline takes int lengths; a larger run of pending payload goes in several pushes.
constexpr size_t kMaxPush = size_t(1) << 30;

}  // namespace

CUnPackFile::CUnPackFile(brn::CEntryMaker& maker, Progress progress, brn::CStageLine* stageLine)
    : progressLines(progress == Progress::kShown), entryMaker(maker), line(stageLine) {
    init(std::string());
}

CUnPackFile::~CUnPackFile() = default;

int CUnPackFile::init(const std::string& dest) {
    if (progressLines) brn::messageLine("tgz:eanalysisInit\r");
    payloadDone = 0;
    packagesDone = 0;
    consumedTotal = 0;
    packageStart = 0;
    failed = Failure::kNone;
    expect = Expect::kFileHeader;
    memset(fileHeader, 0, sizeof fileHeader);
    memset(headBlock, 0, sizeof headBlock);
    memset(headKey, 0, sizeof headKey);
    memset(headCheck, 0, sizeof headCheck);
    pending.clear();
    pendingStart = 0;
    pipeline = std::make_unique<brn::CUntgza>();
    shownDest = dest;
    return 0;
}

int CUnPackFile::setOutCustomInfo(CustomInfoHook hook) {
    if (!hook) {
        logError("setOutCustomInfo", kSourceFile, kSetHookLogLine);
        return -1;
    }
    customInfoHook = std::move(hook);
    return 0;
}

int CUnPackFile::buffToFile(const char* data, int length) {
    if (data == nullptr || length < 0) return kFailed;
    // A failure sticks. Walking on would not always meet it again: a block a stage line's
    // worker refused was consumed when it was handed over.
    if (failed != Failure::kNone) return reportFailure();
    pending.append(data, size_t(length));
    const Step step = parseBuffer();
    // Blocks are consumed by moving pendingStart; the consumed front goes once per call.
    pending.erase(0, pendingStart);
    pendingStart = 0;

    if (step == Step::kNeedMore) return length;
    if (step == Step::kInputDrained) {
        if (progressLines) brn::messageLine("tgz: unpack success\r");
        return length;
    }
    return reportFailure();
}

int CUnPackFile::settle() {
    if (failed != Failure::kNone) return kFailed;
    if (expect != Expect::kPayload || payloadDone == 0) return 0;
    if (int r = pipeline->settle(); r < 0) {
        payloadRefused(r);
        return reportFailure();
    }
    return 0;
}

int CUnPackFile::reportFailure() {
    logError("buffToFile", kSourceFile, kBuffToFileLogLine);
    brn::messageLine("tgz: unpack fail\r");
    return kFailed;
}

// Records why the walk stops, where the fault is found. The first failure is the one kept:
// later calls fail on the same bytes again.
CUnPackFile::Step CUnPackFile::fail(Failure failure) {
    if (failed == Failure::kNone) failed = failure;
    return Step::kFailed;
}

bool CUnPackFile::atPackageBoundary() const {
    return expect == Expect::kFileHeader && available() == 0;
}

CUnPackFile::Step CUnPackFile::parseBuffer() {
    for (;;) {
        Step step = Step::kBlockDone;
        switch (expect) {
            case Expect::kFileHeader: step = takeFileHeader(); break;
            case Expect::kHeadBlock: step = takeHeadBlock(); break;
            case Expect::kHeadCheck: step = takeHeadCheck(); break;
            case Expect::kPayload: step = pushPayload(); break;
            case Expect::kTail: step = takeTail(); break;
        }
        if (step != Step::kBlockDone) return step;
    }
}

CUnPackFile::Step CUnPackFile::takeFileHeader() {
    if (available() < kFileHeaderSize) return Step::kNeedMore;
    memcpy(fileHeader, front(), kFileHeaderSize);
    // A bad magic stays pending: the same bytes fail again on every later call.
    if (memcmp(fileHeader, kMagic, kMagicSize) != 0) return fail(Failure::kBadMagic);
    consume(kFileHeaderSize);
    expect = Expect::kHeadBlock;
    return Step::kBlockDone;
}

CUnPackFile::Step CUnPackFile::takeHeadBlock() {
    if (available() < kHeadBlockSize) return Step::kNeedMore;
    memcpy(headBlock, front(), kHeadBlockSize);
    consume(kHeadBlockSize);
    expect = Expect::kHeadCheck;
    return Step::kBlockDone;
}

// Nothing is consumed until the check matched: a failed check stays pending.
CUnPackFile::Step CUnPackFile::checkAndDecipherHead() {
    if (available() < kHeadCheckSize) return Step::kNeedMore;
    if (getProduceHeadCheck(fileHeader, headBlock, headCheck) != 0) {
        return fail(Failure::kBadHead);
    }
    if (brn::kVerifyChecksums && memcmp(front(), headCheck, kHeadCheckSize) != 0) return fail(Failure::kBadHead);
    if (algorithmGetHeadKey(fileHeader, headKey) != 0) {
        logError("decryptHeadData", kSourceFile, kHeadKeyLogLine);
        return fail(Failure::kBadHead);
    }
    if (algorithmEncryptionHeadData(reinterpret_cast<unsigned char*>(headBlock),
                                    int(kHeadBlockSize), headKey, int(kHeadKeySize)) != 0) {
        logError("decryptHeadData", kSourceFile, kHeadXorLogLine);
        return fail(Failure::kBadHead);
    }
    consume(kHeadCheckSize);
    return Step::kBlockDone;
}

// The head check: once it matched and the head is deciphered, the hook judges the package.
CUnPackFile::Step CUnPackFile::takeHeadCheck() {
    if (const Step step = checkAndDecipherHead(); step != Step::kBlockDone) return step;
    if (customInfoHook && customInfoHook(headFacts()) < 0) return fail(Failure::kRefused);
    expect = Expect::kPayload;
    return Step::kBlockDone;
}

CUnPackFile::PackageHead CUnPackFile::headFacts() const {
    auto* head = reinterpret_cast<const unsigned char*>(headBlock);
    PackageHead facts;
    facts.index = packagesDone;
    facts.offset = packageStart;
    facts.label.assign(headBlock + kLabelAt, head[kLabelLengthAt]);
    facts.customInfo.assign(headBlock + kCustomInfoAt, head[kCustomInfoLengthAt]);
    facts.payloadLength = payloadLength();
    return facts;
}

uint64_t CUnPackFile::payloadLength() const {
    return brn::loadLe64(reinterpret_cast<const unsigned char*>(headBlock) + kPayloadLengthAt);
}

CUnPackFile::Step CUnPackFile::setUpPipeline() {
    std::string material;
    if (int r = derivePayloadKeyMaterial(fileHeader, headBlock, material); r < 0) {
        brn::message("payload key derivation error %d\n", r);
        return fail(Failure::kPipelineInit);
    }
    std::string salt(fileHeader + kHeaderSaltAt, kHeaderSaltSize);
    if (int r = pipeline->init(material, salt, &entryMaker, line); r < 0) {
        brn::message("tgza.init error %d\n", r);
        return fail(Failure::kPipelineInit);
    }
    return Step::kBlockDone;
}

// Payload bytes go into the pipeline as they arrive; its last stage has the entries made.
CUnPackFile::Step CUnPackFile::pushPayload() {
    const uint64_t total = payloadLength();
    if (payloadDone >= total) return fail(Failure::kEmptyPayload);  // payloadLength 0
    while (payloadDone < total) {
        if (available() == 0) return Step::kNeedMore;
        size_t n = size_t(std::min<uint64_t>({available(), total - payloadDone, kMaxPush}));
        if (payloadDone == 0 && setUpPipeline() != Step::kBlockDone) return Step::kFailed;
        if (int r = pipeline->update(front(), int(n)); r < 0) return payloadRefused(r);
        payloadDone += n;
        consume(n);
    }
    // A block still on the line's threads may yet be refused: then update refused it.
    if (int r = pipeline->settle(); r < 0) return payloadRefused(r);
    if (int r = pipeline->finish(); r < 0) {
        brn::message("-----------------untgza.finish error %d\n", r);
        return fail(Failure::kPayload);
    }
    if (progressLines) brn::message("-----------------unpack succe  \r\n filepath= %s\n", shownDest.c_str());
    expect = Expect::kTail;
    return Step::kBlockDone;
}

CUnPackFile::Step CUnPackFile::payloadRefused(int code) {
    brn::message("untgza.update error %d\n", code);
    return fail(Failure::kPayload);
}

CUnPackFile::Step CUnPackFile::takeTail() {
    if (available() < kTailSize) return Step::kNeedMore;
    consume(kTailSize);
    payloadDone = 0;
    ++packagesDone;
    packageStart = consumedTotal;
    expect = Expect::kFileHeader;
    pipeline = std::make_unique<brn::CUntgza>();
    return available() == 0 ? Step::kInputDrained : Step::kBlockDone;
}

}  // namespace velk
