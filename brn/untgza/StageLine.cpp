#include "brn/untgza/StageLine.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <utility>

#include "fs/Message.h"

namespace brn {

namespace {

// A sleeping taker is woken once this many items wait, or when its hander has nothing more to
// hand for now: the two threads do not wake each other for every block.
constexpr size_t kWakeAt = 4;

}  // namespace

CStageLine::CStageLine(int threads) : secondOnWorker(threads >= kMaxThreads) {
    buffers[kToFirst].hander = kCaller;
    buffers[kToFirst].taker = kFirstWorker;
    buffers[kToSecond].hander = kFirstWorker;
    buffers[kToSecond].taker = secondOnWorker ? kSecondWorker : kCaller;
    for (Buffer& buffer : buffers) buffer.slots.reset(new char[kSlots * kSlotBytes]);
}

CStageLine::~CStageLine() { stopWorkers(); }

bool CStageLine::start() {
    try {
        workers.emplace_back(&CStageLine::work, this, kToFirst);
        if (secondOnWorker) workers.emplace_back(&CStageLine::work, this, kToSecond);
    } catch (const std::system_error&) {
        stopWorkers();
        return false;
    }
    return true;
}

void CStageLine::stopWorkers() {
    {
        const std::lock_guard<std::mutex> held(lock);
        closing = true;
        wakeEveryone();
    }
    for (std::thread& worker : workers) worker.join();
    workers.clear();
}

void CStageLine::observeMarks(MarkObserver markObserver) {
    const std::lock_guard<std::mutex> held(lock);
    observer = std::move(markObserver);
}

void CStageLine::begin(StageOutput first, StageOutput second) {
    const std::lock_guard<std::mutex> held(lock);
    buffers[kToFirst].stage = std::move(first);
    buffers[kToSecond].stage = std::move(second);
    for (Buffer& buffer : buffers) buffer.refused = 0;
}

// With two threads the caller runs the second stage: what waits for it is taken between the
// blocks it hands on, so the first worker seldom waits for room.
int CStageLine::hand(const char* data, int length, int refusal) {
    const int result = length > 0 ? pushBlocks(kToFirst, data, size_t(length), refusal) : 0;
    if (callerTakes(kToSecond)) serveWaiting(kSlots);
    return result;
}

int CStageLine::handDown(const char* data, int length) {
    return length > 0 ? pushBlocks(kToSecond, data, size_t(length), buffers[kToFirst].currentRefusal) : 0;
}

// A mark while nothing is in flight needs no worker: the observer hears of it at once.
void CStageLine::mark(uint64_t done) {
    std::unique_lock<std::mutex> held(lock);
    if (stoppedFrom(kToFirst)) return;
    if (idle()) {
        held.unlock();
        if (observer) observer(done);
        return;
    }
    held.unlock();
    (void)push(kToFirst, ItemKind::kMark, nullptr, 0, 0, done);
    held.lock();
    flush(kToFirst);
}

bool CStageLine::stopped() const {
    const std::lock_guard<std::mutex> held(lock);
    return stoppedFrom(kToFirst);
}

// The refusal that counts is the one furthest down the line: the second stage can only refuse
// a block the first handed on before it failed itself.
int CStageLine::settle() {
    std::unique_lock<std::mutex> held(lock);
    waitUntilIdle(held);
    if (thrown) std::rethrow_exception(std::exchange(thrown, nullptr));
    if (buffers[kToSecond].refused != 0) return buffers[kToSecond].refused;
    return buffers[kToFirst].refused;
}

void CStageLine::abandon() {
    std::unique_lock<std::mutex> held(lock);
    dropping = true;
    wakeEveryone();
    waitUntilIdle(held);
    dropping = false;
}

int CStageLine::pushBlocks(Lane lane, const char* data, size_t length, int refusal) {
    for (size_t at = 0; at < length; at += kSlotBytes) {
        const size_t piece = std::min(length - at, kSlotBytes);
        if (push(lane, ItemKind::kBlock, data + at, piece, refusal, 0) != 0) return kStopped;
    }
    return 0;
}

// A message of the first worker travels as text items; it is dropped with the blocks when the
// second stage refused one.
void CStageLine::pushText(const char* text, size_t length) {
    for (size_t at = 0; at < length; at += kSlotBytes) {
        if (push(kToSecond, ItemKind::kText, text + at, std::min(length - at, kSlotBytes), 0, 0) != 0) return;
    }
}

// Copies the bytes into the next free slot outside the lock: each buffer has one hander, and
// the slot is not the taker's until it is counted.
int CStageLine::push(Lane lane, ItemKind kind, const char* data, size_t length, int refusal, uint64_t done) {
    Buffer& buffer = buffers[lane];
    std::unique_lock<std::mutex> held(lock);
    if (!waitForRoom(lane, held)) return kStopped;
    const size_t at = (buffer.head + buffer.count) % kSlots;
    held.unlock();
    if (length > 0) memcpy(buffer.slots.get() + at * kSlotBytes, data, length);
    held.lock();
    buffer.items[at] = Item{kind, length, refusal, done};
    if (++buffer.count >= kWakeAt) wake(buffer.taker);
    return 0;
}

// False when nothing more may be handed to `lane`: the line is dropping or closing, or its
// stage (or one after it) refused a block. A caller that runs the second stage takes its
// blocks while it waits for room.
bool CStageLine::waitForRoom(Lane lane, std::unique_lock<std::mutex>& held) {
    Buffer& buffer = buffers[lane];
    for (;;) {
        if (dropping || closing || stoppedFrom(lane)) return false;
        if (buffer.count < kSlots) return true;
        if (buffer.hander == kCaller && callerTakes(kToSecond) && buffers[kToSecond].count > 0) {
            held.unlock();
            serve(kToSecond, false);
            held.lock();
            continue;
        }
        sleep(buffer.hander, held);
    }
}

// The first worker detours its messages down the line with its blocks.
void CStageLine::work(Lane lane) {
    std::unique_ptr<CMessageDetour> detour;
    if (lane == kToFirst) {
        detour = std::make_unique<CMessageDetour>([this](const char* text, size_t length) { pushText(text, length); });
    }
    while (serve(lane, true)) {
    }
}

// Takes one item of `lane` and processes it, or only passes over it once the line dropped it;
// false when there was none (waiting for one if `wait`) or the line closes.
bool CStageLine::serve(Lane lane, bool wait) {
    Item item;
    const char* data = nullptr;
    bool drop = false;
    if (!take(lane, item, data, drop, wait)) return false;
    if (!drop) {
        try {
            process(lane, item, data);
        } catch (...) {
            keep(std::current_exception());
        }
    }
    release(lane);
    return true;
}

void CStageLine::serveWaiting(size_t most) {
    for (size_t served = 0; served < most && serve(kToSecond, false); ++served) {
    }
}

bool CStageLine::take(Lane lane, Item& item, const char*& data, bool& drop, bool wait) {
    Buffer& buffer = buffers[lane];
    std::unique_lock<std::mutex> held(lock);
    while (buffer.count == 0 && !closing) {
        if (!wait) return false;
        flush(kToSecond);  // the first worker runs out: what it handed on goes now
        sleep(buffer.taker, held);
    }
    if (closing) return false;
    item = buffer.items[buffer.head];
    data = buffer.slots.get() + buffer.head * kSlotBytes;
    drop = dropping || thrown || buffer.refused != 0;
    return true;
}

void CStageLine::release(Lane lane) {
    Buffer& buffer = buffers[lane];
    const std::lock_guard<std::mutex> held(lock);
    buffer.head = (buffer.head + 1) % kSlots;
    --buffer.count;
    if (buffer.count <= kSlots / 2) wake(buffer.hander);
    if (idle()) wake(kCaller);
}

void CStageLine::process(Lane lane, const Item& item, const char* data) {
    Buffer& buffer = buffers[lane];
    const bool last = lane == kToSecond;
    switch (item.kind) {
        case ItemKind::kBlock:
            buffer.currentRefusal = item.refusal;
            if (buffer.stage(data, int(item.length)) < 0) refuse(lane, item.refusal);
            return;
        case ItemKind::kMark:
            if (!last) {
                (void)push(kToSecond, ItemKind::kMark, nullptr, 0, 0, item.done);
            } else if (observer) {
                observer(item.done);
            }
            return;
        case ItemKind::kText:
            if (!last) {
                (void)push(kToSecond, ItemKind::kText, data, item.length, 0, 0);
            } else {
                messageText(data, item.length);
            }
            return;
    }
}

void CStageLine::refuse(Lane lane, int refusal) {
    const std::lock_guard<std::mutex> held(lock);
    if (buffers[lane].refused == 0) buffers[lane].refused = refusal;
    wakeEveryone();
}

void CStageLine::keep(std::exception_ptr error) {
    const std::lock_guard<std::mutex> held(lock);
    if (!thrown) thrown = std::move(error);
    wakeEveryone();
}

// The caller that runs the second stage works through its blocks meanwhile.
void CStageLine::waitUntilIdle(std::unique_lock<std::mutex>& held) {
    flush(kToFirst);
    flush(kToSecond);
    while (!idle()) {
        if (callerTakes(kToSecond) && buffers[kToSecond].count > 0) {
            held.unlock();
            serve(kToSecond, false);
            held.lock();
            continue;
        }
        sleep(kCaller, held);
    }
}

void CStageLine::sleep(Party party, std::unique_lock<std::mutex>& held) {
    sleeping[party] = true;
    wakes[party].wait(held);
    sleeping[party] = false;
}

void CStageLine::wake(Party party) {
    if (sleeping[party]) wakes[party].notify_one();
}

void CStageLine::wakeEveryone() {
    for (std::condition_variable& wakeup : wakes) wakeup.notify_all();
}

void CStageLine::flush(Lane lane) {
    if (buffers[lane].count > 0) wake(buffers[lane].taker);
}

bool CStageLine::stoppedFrom(Lane lane) const {
    if (thrown) return true;
    if (buffers[kToSecond].refused != 0) return true;
    return lane == kToFirst && buffers[kToFirst].refused != 0;
}

bool CStageLine::idle() const { return buffers[kToFirst].count == 0 && buffers[kToSecond].count == 0; }

}  // namespace brn
