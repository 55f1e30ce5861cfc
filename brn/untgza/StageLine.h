#pragma once
// CStageLine runs the inflating of a payload on a thread of its own, beside the calling thread
// that reads and deciphers: the first stage (gzip) runs on the first worker and hands its
// blocks down to the second stage (tar, which writes the files), run by a second worker with
// three threads, or with two by the calling thread itself, between the blocks it deciphers.
// Blocks are handed over through two bounded buffers (a fixed number of fixed slots, allocated
// once), so memory does not grow with the data. Everything observable keeps the order one
// thread gives it:
// - only the thread of the second stage prints while blocks are in flight: the first worker
//   detours its messages down the line with its blocks (fs/Message.h), and the calling thread
//   prints its own only while nothing is in flight (it settles first);
// - a refused block stops the line: what was handed after it (blocks, marks, messages) is
//   dropped, and settle gives the code the calling stage gave with that block, the code its
//   update would have returned had the block been refused on its own thread;
// - a mark (bytes of the source taken) reaches the observer once everything handed before it
//   went through, never after a refusal.
// Calling order: construct, start (false: no thread could be made, so run in one thread),
// observeMarks, then per payload begin, any number of hand and mark, settle (or abandon, which
// drops what is in flight). The caller owns the stages and keeps them alive until settle or
// abandon returned. The destructor stops and joins every worker, on every way out.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "brn/Stage.h"

namespace brn {

class CStageLine {
public:
    using MarkObserver = std::function<void(uint64_t done)>;

    static constexpr int kMinThreads = 2;  // the caller's (deciphering and tar) and gzip's
    static constexpr int kMaxThreads = 3;  // the caller's, gzip's and tar's
    static constexpr int kStopped = -1;    // hand, handDown: an earlier block was refused
    static constexpr size_t kSlotBytes = 16384;  // the most one item carries; longer blocks are split
    static constexpr size_t kSlots = 16;         // items one hand-over buffer holds

    // threads: kMinThreads or kMaxThreads, the calling thread included.
    explicit CStageLine(int threads);
    ~CStageLine();
    CStageLine(const CStageLine&) = delete;
    CStageLine& operator=(const CStageLine&) = delete;

    // Starts the workers; false (none left running) when the system would not make them.
    [[nodiscard]] bool start();
    int threads() const { return secondOnWorker ? kMaxThreads : kMinThreads; }
    // Called with every mark, on the second stage's thread (or on the caller, while nothing is
    // in flight).
    void observeMarks(MarkObserver observer);

    // A new payload, while nothing is in flight: `first` takes the blocks handed over, `second`
    // those the first hands down; the line is no longer stopped.
    void begin(StageOutput first, StageOutput second);
    // From the calling thread: a block for the first stage; `refusal` (negative) is what the
    // caller reports should this block be refused. 0, or kStopped.
    [[nodiscard]] int hand(const char* data, int length, int refusal);
    // From the first stage, on its worker: a block for the second. 0, or kStopped.
    [[nodiscard]] int handDown(const char* data, int length);
    // From the calling thread: `done` bytes of the source were taken.
    void mark(uint64_t done);
    // True once a block was refused (or a stage threw); settle tells which.
    bool stopped() const;
    // Waits until nothing is in flight: 0, or the refusal of the block that was refused first
    // in the stream. Rethrows what a stage threw.
    [[nodiscard]] int settle();
    // Drops what is in flight and waits until nothing is.
    void abandon();

private:
    // The threads that meet at the line.
    enum Party : size_t { kCaller = 0, kFirstWorker = 1, kSecondWorker = 2, kParties = 3 };
    enum Lane : size_t { kToFirst = 0, kToSecond = 1, kLanes = 2 };
    enum class ItemKind : unsigned char { kBlock, kMark, kText };
    struct Item {
        ItemKind kind = ItemKind::kBlock;
        size_t length = 0;  // bytes in the item's slot (kBlock, kText)
        int refusal = 0;    // kBlock: what the calling stage reports if it is refused
        uint64_t done = 0;  // kMark
    };
    // One hand-over buffer and the stage that takes its blocks.
    struct Buffer {
        std::unique_ptr<char[]> slots;  // kSlots x kSlotBytes
        Item items[kSlots];
        size_t head = 0;          // the next item to take
        size_t count = 0;         // items waiting, the one being processed included
        Party hander = kCaller;   // who fills it
        Party taker = kCaller;    // who empties it
        StageOutput stage;
        int refused = 0;          // the refusal of the block its stage refused; 0 none
        int currentRefusal = 0;   // the refusal of the block being processed, for handDown
    };

    int push(Lane lane, ItemKind kind, const char* data, size_t length, int refusal, uint64_t done);
    int pushBlocks(Lane lane, const char* data, size_t length, int refusal);
    void pushText(const char* text, size_t length);
    bool waitForRoom(Lane lane, std::unique_lock<std::mutex>& held);
    void work(Lane lane);
    bool take(Lane lane, Item& item, const char*& data, bool& drop, bool wait);
    void release(Lane lane);
    bool serve(Lane lane, bool wait);
    void serveWaiting(size_t most);
    void process(Lane lane, const Item& item, const char* data);
    void refuse(Lane lane, int refusal);
    void keep(std::exception_ptr error);
    void waitUntilIdle(std::unique_lock<std::mutex>& held);
    void stopWorkers();
    void sleep(Party party, std::unique_lock<std::mutex>& held);
    void wake(Party party);
    void wakeEveryone();
    void flush(Lane lane);
    bool callerTakes(Lane lane) const { return buffers[lane].taker == kCaller; }
    bool stoppedFrom(Lane lane) const;
    bool idle() const;

    bool secondOnWorker;                  // three threads: the second stage has a worker
    Buffer buffers[kLanes];
    std::vector<std::thread> workers;
    mutable std::mutex lock;              // guards the buffers' counters and the flags below
    std::condition_variable wakes[kParties];
    bool sleeping[kParties] = {};
    MarkObserver observer;
    bool dropping = false;                // abandon: items are dropped, not processed
    bool closing = false;                 // the destructor: workers return
    std::exception_ptr thrown;            // what a stage threw
};

}  // namespace brn
