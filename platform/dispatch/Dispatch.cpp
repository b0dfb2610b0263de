#include "platform/dispatch/Dispatch.h"

#include "platform/base/HXClock.h"
#include "platform/cf/CFRunLoop.h"
#include "platform/cf/HXCF.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <optional>
#include <map>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <vector>

namespace {

struct SyncWait {
    bool done = false;
};

struct Item {
    std::function<void()> work;
    SyncWait* sync = nullptr; // a dispatch_sync caller waiting for it
};

} // namespace

struct HXDispatchQueueAttr {
    int unused;
};

struct HXDispatchQueue {
    std::string label;
    bool serial = true;
    bool immortal = false;
    bool isMain = false;
    long priority = DISPATCH_QUEUE_PRIORITY_DEFAULT;
    long refs = 1; // the caller's and one per waiting item (under gLock)
    std::deque<Item> items;
    int running = 0;
    bool inReady = false;
    std::map<const void*, std::pair<void*, dispatch_function_t>> specific;
};

namespace {

constexpr int kMaxWorkers = 8;

std::mutex gLock;
// Made on first use, never destroyed: static initialisers may call in, and
// worker threads still ending at exit notify them (a condition destroyed
// under a late notify was a race at process exit).
hx::clock::Condition& changedCondition() { // an item finished; sync waiters and drains look again
    static auto* c = new hx::clock::Condition;
    return *c;
}
hx::clock::Condition& timerWakeCondition() {
    static auto* c = new hx::clock::Condition;
    return *c;
}
std::deque<HXDispatchQueue*>& readyQueues() {
    static auto* q = new std::deque<HXDispatchQueue*>;
    return *q;
}
int gWorkers = 0;      // alive
int gExecuting = 0;    // running an item now
int gBlocked = 0;      // workers waiting in dispatch_sync
int gRetiring = 0;     // threads that left their work and are ending their part in virtual time
long gOutstanding = 0; // items queued or running, every queue
thread_local HXDispatchQueue* tCurrent = nullptr;
thread_local bool tIsWorker = false;

struct Timer {
    std::uint64_t deadline;
    std::uint64_t sequence;
    HXDispatchQueue* queue;
    std::function<void()> work;
    bool operator>(const Timer& o) const {
        return deadline != o.deadline ? deadline > o.deadline : sequence > o.sequence;
    }
};
// Made on first use, never freed: callers may come from static
// initialisers and from threads still running at exit.
std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer>>& timers() {
    static auto* v = new std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer>>;
    return *v;
}
std::uint64_t gTimerSequence = 0;
bool gTimerThread = false;

HXDispatchQueue* makeImmortal(const char* label, bool serial, long priority, bool isMain = false) {
    auto* q = new HXDispatchQueue;
    q->label = label;
    q->serial = serial;
    q->immortal = true;
    q->priority = priority;
    q->isMain = isMain;
    return q;
}

HXDispatchQueue* mainQueue() {
    static HXDispatchQueue* q =
        makeImmortal("main-thread", true, DISPATCH_QUEUE_PRIORITY_DEFAULT, true);
    return q;
}

// Queues whose last reference went while the lock was held; freed outside it.
void destroy(HXDispatchQueue* q) {
    for (auto& [key, value] : q->specific)
        if (value.second) value.second(value.first);
    delete q;
}

// Drops one reference under the lock; answers the queue when it must go.
HXDispatchQueue* unref(HXDispatchQueue* q) {
    if (q->immortal) return nullptr;
    return --q->refs == 0 ? q : nullptr;
}

void workerMain(hx::clock::Reservation seat);
void timerMain(hx::clock::Reservation seat);

// Starts a worker when ready queues outnumber the workers free to take them.
void ensureWorkers() {
    const int free = gWorkers - gExecuting;
    if (int(readyQueues().size()) > free && gWorkers - gBlocked < kMaxWorkers) {
        ++gWorkers;
        hx::clock::Reservation seat; // time cannot move before it runs
        std::thread([seat = std::move(seat)]() mutable { workerMain(std::move(seat)); }).detach();
    }
}

CFRunLoopSourceRef mainSource();

// Puts a queue with waiting work where a worker (or the main loop) finds
// it. Under the lock; answers whether the main loop must be signalled.
bool schedule(HXDispatchQueue* q) {
    if (q->isMain) return !q->items.empty();
    if (!q->inReady && !q->items.empty() && (!q->serial || q->running == 0)) {
        readyQueues().push_back(q);
        q->inReady = true;
    }
    ensureWorkers();
    return false;
}

void signalMain() {
    if (CFRunLoopSourceRef s = mainSource()) CFRunLoopSourceSignal(s);
}

// Queues work; under the lock. Answers whether the main loop must be signalled.
bool enqueue(HXDispatchQueue* q, Item item) {
    ++q->refs;
    ++gOutstanding;
    q->items.push_back(std::move(item));
    return schedule(q);
}

void submit(HXDispatchQueue* q, Item item) {
    bool toMain;
    {
        std::lock_guard<std::mutex> g(gLock);
        toMain = enqueue(q, std::move(item));
    }
    if (toMain) signalMain();
}

// After an item of q ran; under the lock. Answers a queue to destroy.
HXDispatchQueue* finished(HXDispatchQueue* q, SyncWait* sync) {
    --q->running;
    --gOutstanding;
    if (sync) sync->done = true;
    if (q->serial) schedule(q);
    changedCondition().notifyAll();
    return unref(q);
}

void runItem(HXDispatchQueue* q, Item& item, std::unique_lock<std::mutex>& lk) {
    lk.unlock();
    HXDispatchQueue* outer = tCurrent;
    tCurrent = q;
    item.work();
    tCurrent = outer;
    lk.lock();
    if (HXDispatchQueue* gone = finished(q, item.sync)) {
        lk.unlock();
        destroy(gone);
        lk.lock();
    }
}

// The ready queue of highest priority, first come first served.
HXDispatchQueue* takeReady() {
    if (readyQueues().empty()) return nullptr;
    auto best = readyQueues().begin();
    for (auto it = readyQueues().begin(); it != readyQueues().end(); ++it)
        if ((*it)->priority > (*best)->priority) best = it;
    return *best;
}

// A thread leaving: it stops counting as alive first (so new work starts a
// new thread), then ends its part in virtual time, then says it is gone.
void retire(std::optional<hx::clock::Participant>& participant, std::unique_lock<std::mutex>& lk) {
    ++gRetiring;
    lk.unlock();
    participant.reset();
    lk.lock();
    --gRetiring;
    changedCondition().notifyAll();
}

void workerMain(hx::clock::Reservation seat) {
    std::optional<hx::clock::Participant> participant(std::in_place, std::move(seat));
    tIsWorker = true;
    std::unique_lock<std::mutex> lk(gLock);
    while (HXDispatchQueue* q = takeReady()) {
        Item item = std::move(q->items.front());
        q->items.pop_front();
        ++q->running;
        if (q->serial || q->items.empty()) {
            readyQueues().erase(std::find(readyQueues().begin(), readyQueues().end(), q));
            q->inReady = false;
        }
        ++gExecuting;
        ensureWorkers(); // a concurrent queue's next item may go to another worker
        runItem(q, item, lk);
        --gExecuting;
    }
    --gWorkers;
    retire(participant, lk);
}

// Runs the main queue's items that are waiting now; on the main thread.
void runMainItems() {
    HXDispatchQueue* q = mainQueue();
    std::unique_lock<std::mutex> lk(gLock);
    for (std::size_t n = q->items.size(); n > 0 && !q->items.empty(); --n) {
        Item item = std::move(q->items.front());
        q->items.pop_front();
        ++q->running;
        runItem(q, item, lk);
    }
}

CFRunLoopSourceRef mainSource() {
    static CFRunLoopSourceRef source = [] {
        CFRunLoopRef mainLoop = CFRunLoopGetMain();
        if (!mainLoop) return CFRunLoopSourceRef(nullptr);
        CFRunLoopSourceContext ctx{};
        ctx.perform = [](void*) { runMainItems(); };
        CFRunLoopSourceRef s = CFRunLoopSourceCreate(nullptr, 0, &ctx);
        CFRunLoopAddSource(mainLoop, s, kCFRunLoopCommonModes);
        return s;
    }();
    return source;
}

void timerMain(hx::clock::Reservation seat) {
    std::optional<hx::clock::Participant> participant(std::in_place, std::move(seat));
    std::unique_lock<std::mutex> lk(gLock);
    bool toMain = false;
    while (!timers().empty()) {
        const Timer& next = timers().top();
        if (hx::clock::nowNanos() < next.deadline) {
            if (toMain) {
                lk.unlock();
                signalMain();
                lk.lock();
                toMain = false;
                continue;
            }
            timerWakeCondition().waitUntil(lk, next.deadline);
            continue;
        }
        Timer due = next;
        timers().pop();
        // The timer's reference to the queue passes to the queued item.
        ++gOutstanding;
        due.queue->items.push_back(Item{std::move(due.work)});
        toMain = schedule(due.queue) || toMain;
    }
    gTimerThread = false;
    if (toMain) {
        lk.unlock();
        signalMain();
        lk.lock();
    }
    retire(participant, lk);
}

HXDispatchQueue* globalQueue(long priority) {
    static HXDispatchQueue* high =
        makeImmortal("global-queue.high", false, DISPATCH_QUEUE_PRIORITY_HIGH);
    static HXDispatchQueue* normal =
        makeImmortal("global-queue.default", false, DISPATCH_QUEUE_PRIORITY_DEFAULT);
    static HXDispatchQueue* low =
        makeImmortal("global-queue.low", false, DISPATCH_QUEUE_PRIORITY_LOW);
    static HXDispatchQueue* background =
        makeImmortal("global-queue.background", false, DISPATCH_QUEUE_PRIORITY_BACKGROUND);
    switch (priority) {
    case DISPATCH_QUEUE_PRIORITY_HIGH:
        return high;
    case DISPATCH_QUEUE_PRIORITY_DEFAULT:
        return normal;
    case DISPATCH_QUEUE_PRIORITY_LOW:
        return low;
    case DISPATCH_QUEUE_PRIORITY_BACKGROUND:
        return background;
    default:
        return nullptr;
    }
}

std::mutex gOnceLock;
hx::clock::Condition& onceDoneCondition() {
    static auto* c = new hx::clock::Condition;
    return *c;
}

} // namespace

namespace {
HXDispatchQueueAttr gConcurrent{0};
}
constinit const dispatch_queue_attr_t HXDispatchQueueConcurrent = &gConcurrent;

dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t attr) {
    auto* q = new HXDispatchQueue;
    q->label = label ? label : "";
    q->serial = attr != DISPATCH_QUEUE_CONCURRENT;
    return q;
}

dispatch_queue_t dispatch_get_main_queue() {
    return mainQueue();
}

dispatch_queue_t dispatch_get_global_queue(long identifier, unsigned long) {
    return globalQueue(identifier);
}

const char* dispatch_queue_get_label(dispatch_queue_t queue) {
    if (queue == DISPATCH_CURRENT_QUEUE_LABEL) queue = tCurrent;
    return queue ? queue->label.c_str() : "";
}

void dispatch_retain(dispatch_queue_t queue) {
    if (!queue) return;
    std::lock_guard<std::mutex> g(gLock);
    if (!queue->immortal) ++queue->refs;
}

void dispatch_release(dispatch_queue_t queue) {
    if (!queue) return;
    HXDispatchQueue* gone;
    {
        std::lock_guard<std::mutex> g(gLock);
        gone = unref(queue);
    }
    if (gone) destroy(gone);
}

void dispatch_async(dispatch_queue_t queue, dispatch_block_t block) {
    if (queue && block) submit(queue, Item{std::move(block)});
}

void dispatch_async_f(dispatch_queue_t queue, void* context, dispatch_function_t work) {
    if (queue && work) submit(queue, Item{[context, work] { work(context); }});
}

void dispatch_sync(dispatch_queue_t queue, dispatch_block_t block) {
    if (!queue || !block) return;
    // On a concurrent queue, or from an item the queue itself is running
    // (which would wait for ever), the work runs here and now.
    if (!queue->serial || tCurrent == queue) {
        HXDispatchQueue* outer = tCurrent;
        tCurrent = queue;
        block();
        tCurrent = outer;
        return;
    }
    SyncWait wait;
    const bool onMainThread = queue->isMain && hx::cf::isMainThread();
    bool toMain;
    {
        std::lock_guard<std::mutex> g(gLock);
        toMain = enqueue(queue, Item{std::move(block), &wait});
    }
    // The main thread cannot wait for its own loop: it runs the main queue
    // up to this item itself.
    if (onMainThread) {
        while (!wait.done)
            runMainItems();
        return;
    }
    if (toMain) signalMain();
    std::unique_lock<std::mutex> lk(gLock);
    if (tIsWorker) ++gBlocked, ensureWorkers();
    changedCondition().wait(lk, [&] { return wait.done; });
    if (tIsWorker) --gBlocked;
}

void dispatch_sync_f(dispatch_queue_t queue, void* context, dispatch_function_t work) {
    if (work) dispatch_sync(queue, [context, work] { work(context); });
}

dispatch_time_t dispatch_time(dispatch_time_t when, std::int64_t delta) {
    if (when == DISPATCH_TIME_FOREVER) return DISPATCH_TIME_FOREVER;
    const std::uint64_t base = when == DISPATCH_TIME_NOW ? hx::clock::nowNanos() : when;
    if (delta >= 0) {
        const std::uint64_t d = std::uint64_t(delta);
        return base > DISPATCH_TIME_FOREVER - 1 - d ? DISPATCH_TIME_FOREVER - 1 : base + d;
    }
    const std::uint64_t d = std::uint64_t(-(delta + 1)) + 1;
    return base > d ? base - d : 1;
}

void dispatch_after(dispatch_time_t when, dispatch_queue_t queue, dispatch_block_t block) {
    if (!queue || !block || when == DISPATCH_TIME_FOREVER) return;
    std::lock_guard<std::mutex> g(gLock);
    if (!queue->immortal) ++queue->refs;
    const bool earliest = timers().empty() || when < timers().top().deadline;
    timers().push(Timer{when, ++gTimerSequence, queue, std::move(block)});
    if (!gTimerThread) {
        gTimerThread = true;
        hx::clock::Reservation seat;
        std::thread([seat = std::move(seat)]() mutable { timerMain(std::move(seat)); }).detach();
    } else if (earliest) {
        timerWakeCondition().notifyAll();
    }
}

void dispatch_after_f(dispatch_time_t when, dispatch_queue_t queue, void* context,
                      dispatch_function_t work) {
    if (work) dispatch_after(when, queue, [context, work] { work(context); });
}

void dispatch_once(dispatch_once_t* predicate, dispatch_block_t block) {
    if (!predicate || !block) return;
    std::atomic_ref<long> state(*predicate);
    if (state.load(std::memory_order_acquire) == ~0L) return;
    long expected = 0;
    if (state.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
        block();
        {
            std::lock_guard<std::mutex> g(gOnceLock);
            state.store(~0L, std::memory_order_release);
        }
        onceDoneCondition().notifyAll();
        return;
    }
    std::unique_lock<std::mutex> lk(gOnceLock);
    onceDoneCondition().wait(lk, [&] { return state.load(std::memory_order_acquire) == ~0L; });
}

void dispatch_once_f(dispatch_once_t* predicate, void* context, dispatch_function_t function) {
    if (function) dispatch_once(predicate, [context, function] { function(context); });
}

void dispatch_queue_set_specific(dispatch_queue_t queue, const void* key, void* context,
                                 dispatch_function_t destructor) {
    if (!queue || !key) return;
    std::pair<void*, dispatch_function_t> old{nullptr, nullptr};
    {
        std::lock_guard<std::mutex> g(gLock);
        auto it = queue->specific.find(key);
        if (it != queue->specific.end()) {
            old = it->second;
            queue->specific.erase(it);
        }
        if (context) queue->specific[key] = {context, destructor};
    }
    if (old.second) old.second(old.first);
}

void* dispatch_queue_get_specific(dispatch_queue_t queue, const void* key) {
    if (!queue) return nullptr;
    std::lock_guard<std::mutex> g(gLock);
    auto it = queue->specific.find(key);
    return it == queue->specific.end() ? nullptr : it->second.first;
}

void* dispatch_get_specific(const void* key) {
    return dispatch_queue_get_specific(tCurrent, key);
}

namespace hx::dispatch {

void drain(dispatch_queue_t queue) {
    if (!queue) return;
    const bool runsMain = queue->isMain && hx::cf::isMainThread();
    std::unique_lock<std::mutex> lk(gLock);
    while (!queue->items.empty() || queue->running > 0) {
        if (runsMain && !queue->items.empty()) {
            lk.unlock();
            runMainItems();
            lk.lock();
            continue;
        }
        changedCondition().wait(lk);
    }
}

void drainAll() {
    const bool onMainThread = hx::cf::isMainThread();
    std::unique_lock<std::mutex> lk(gLock);
    // Also until every worker (and, with nothing delayed, the timer thread)
    // has ended its part in virtual time, so a test may switch clocks next.
    while (gOutstanding > 0 || gWorkers > 0 || gRetiring > 0 ||
           (timers().empty() && gTimerThread)) {
        if (onMainThread && !mainQueue()->items.empty()) {
            lk.unlock();
            runMainItems();
            lk.lock();
            continue;
        }
        changedCondition().wait(lk);
    }
}

} // namespace hx::dispatch
