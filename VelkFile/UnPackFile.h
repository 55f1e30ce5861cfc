#pragma once
// CUnPackFile decodes a package file handed over in chunks of any size, in file order.
// It keeps the bytes it cannot use yet, walks each package block by block, checks and
// deciphers the head, hands the head's facts to the custom-information hook, which
// accepts or refuses the package, and pushes the payload through a CUntgza pipeline whose
// tar stage has the entry maker make the entries. Everything happens inside buffToFile.
// Calling order: construct with the entry maker (kept by the caller, shared by every
// package), setOutCustomInfo, init, any number of buffToFile, then ask atPackageBoundary /
// packageIndex to judge the input as a whole, and failure / pipelineError after a
// failed buffToFile. The decoder owns one pipeline at a time, fresh for every package.
// Given a stage line (brn/untgza/StageLine.h), each pipeline inflates and unpacks on the
// line's threads while buffToFile walks on: a payload block refused there fails the buffToFile
// call that meets it (at the latest the one that ends the payload) with the messages and the
// record one thread gives; settle meets it when the input ended first.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "VelkFile/PackageLayout.h"
#include "brn/untgza/Untgza.h"

namespace velk {

class CUnPackFile {
public:
    // What a package's head says, handed to the hook once the head is deciphered.
    struct PackageHead {
        uint64_t index = 0;          // the package's 0-based position in the input
        uint64_t offset = 0;         // input offset of its first byte
        std::string label;
        std::string customInfo;      // the JSON text as stored
        uint64_t payloadLength = 0;  // bytes of enciphered payload that follow the head
    };
    // 0 accepts the package; a negative result refuses it.
    using CustomInfoHook = std::function<int(const PackageHead& head)>;

    // Whether the progress lines ("tgz:eanalysisInit", "tgz: unpack success",
    // "-----------------unpack succe") are printed; failure messages always are.
    enum class Progress : int { kShown = 0, kHidden = 1 };

    // Why buffToFile failed, recorded where the fault is found; kNone until it has.
    enum class Failure : int {
        kNone = 0,
        kBadMagic = 1,       // the bytes at packageOffset do not start with the magic
        kBadHead = 2,        // head check mismatch, or the head could not be deciphered
        kRefused = 3,        // the custom-information hook refused the package
        kEmptyPayload = 4,   // payloadLength 0
        kPipelineInit = 5,   // the payload key could not be derived, or the pipeline set up
        kPayload = 6,        // a stage of the pipeline failed: pipelineError() says which and why
    };

    static constexpr int kFailed = -1;

    // Every entry of every package is made by `maker`, which must outlive the decoder; so must
    // `line`, where the payloads are inflated and unpacked (nullptr: in the calling thread).
    explicit CUnPackFile(brn::CEntryMaker& maker, Progress progress = Progress::kShown,
                         brn::CStageLine* line = nullptr);
    ~CUnPackFile();
    CUnPackFile(const CUnPackFile&) = delete;
    CUnPackFile& operator=(const CUnPackFile&) = delete;

    // Starts over: no package seen, nothing pending. shownDest is the destination as the
    // caller wrote it, named by the line that reports a package unpacked.
    int init(const std::string& shownDest);

    // -1 (logged) for an empty hook, keeping the previous one; else 0.
    int setOutCustomInfo(CustomInfoHook hook);

    // Takes the next chunk of the file ("buffer to files", the inherited name callers and
    // the system's documentation use). length when the bytes were taken (more are needed,
    // or all input so far is decoded); -1 when a package failed. A failure is not cleared
    // by later calls.
    int buffToFile(const char* data, int length);
    // Waits until what the line was handed went through: 0, or -1 as buffToFile fails when a
    // block of it was refused. 0 at once without a line.
    int settle();

    // True when the input so far ends exactly behind a package's tail.
    bool atPackageBoundary() const;
    // The package being decoded (or the next one): its 0-based index, which is the number of
    // packages whose tail has been consumed since init; and the input offset of its first byte.
    uint64_t packageIndex() const { return packagesDone; }
    uint64_t packageOffset() const { return packageStart; }
    Failure failure() const { return failed; }
    // For Failure::kPayload: the stage of the current package's pipeline that failed, and why.
    brn::PipelineError pipelineError() const { return pipeline->lastError(); }

private:
    // What the next bytes must be:  kFileHeader -> kHeadBlock -> kHeadCheck -> kPayload
    // -> kTail -> kFileHeader (next package). A failure leaves the state where it was.
    enum class Expect : int {
        kFileHeader = 1,  // 80 bytes starting with the magic
        kHeadBlock = 2,   // 656 enciphered bytes
        kHeadCheck = 3,   // 32 bytes; then the head is deciphered and the hook consulted
        kPayload = 4,     // payloadLength bytes, pushed into the pipeline as they arrive
        kTail = 5,        // 32 bytes, skipped
    };

    // How far a step of the walk got. Why the walk stopped is recorded in `failed`.
    enum class Step : int {
        kBlockDone = 0,     // a block was consumed; go on with the next
        kNeedMore = 1,      // fewer bytes pending than the next block needs
        kInputDrained = 2,  // a tail was consumed and nothing is left pending
        kFailed = 3,        // a package failed: see failure()
    };

    // One step per state, each named for what it takes; parseBuffer runs them in turn.
    Step parseBuffer();
    Step takeFileHeader();
    Step takeHeadBlock();
    Step takeHeadCheck();
    Step checkAndDecipherHead();
    Step pushPayload();
    Step setUpPipeline();
    Step takeTail();

    PackageHead headFacts() const;

    Step fail(Failure failure);
    Step payloadRefused(int code);
    int reportFailure();
    uint64_t payloadLength() const;
    const char* front() const { return pending.data() + pendingStart; }
    size_t available() const { return pending.size() - pendingStart; }
    void consume(size_t n) {
        pendingStart += n;
        consumedTotal += n;
    }

    CustomInfoHook customInfoHook;
    char fileHeader[kFileHeaderSize];
    char headBlock[kHeadBlockSize];
    unsigned char headCheck[kHeadCheckSize];
    unsigned char headKey[kHeadKeySize];
    Expect expect = Expect::kFileHeader;
    std::string shownDest;
    std::string pending;       // received bytes; those before pendingStart are consumed
    size_t pendingStart = 0;
    uint64_t payloadDone = 0;  // payload bytes of this package pushed so far
    uint64_t packagesDone = 0;
    uint64_t consumedTotal = 0;  // input bytes consumed since init
    uint64_t packageStart = 0;   // input offset of the current package's first byte
    bool progressLines = true;
    Failure failed = Failure::kNone;
    brn::CEntryMaker& entryMaker;
    brn::CStageLine* line;
    std::unique_ptr<brn::CUntgza> pipeline;
};

}  // namespace velk
