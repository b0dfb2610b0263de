#include "platform/base/HXLog.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace hx::log {

namespace {

// One queued line. Short lines live in the slot; longer ones in a heap block
// the writer frees (allocation may be slow but never waits on the writer).
struct Slot {
    std::atomic<std::size_t> seq;
    std::size_t len;
    char* heap;
    char text[232];
};

constexpr std::size_t kSlots = 4096;  // power of two
constexpr std::size_t kMask = kSlots - 1;

// Bounded multi-producer queue with per-slot sequence numbers: a producer
// claims a position with one compare-and-swap, fills the slot and publishes
// it by storing pos + 1; the writer consumes in position order.
struct Queue {
    Slot slots[kSlots];
    alignas(64) std::atomic<std::size_t> enqueuePos{0};
    alignas(64) std::atomic<std::size_t> dequeuePos{0};
    std::atomic<std::size_t> dropped{0};
    sem_t wake;

    // Writer state and the flush hand-shake.
    std::mutex deliveredLock;
    std::condition_variable deliveredCv;
    std::size_t delivered = 0;  // positions consumed, under deliveredLock
    std::atomic<pid_t> writerPid{0};
    std::mutex startLock;

    // Captures, touched only by the writer and by Capture itself.
    std::mutex captureLock;
    std::vector<Capture*> captures;

    Queue() {
        for (std::size_t i = 0; i < kSlots; ++i) slots[i].seq.store(i, std::memory_order_relaxed);
        sem_init(&wake, 0, 0);
    }
};

Queue& queue() {
    // Never destroyed: the writer may still run while statics go away.
    static Queue* q = new Queue;
    return *q;
}

thread_local bool tRealtime = false;

}  // namespace

void deliver(const char* text, std::size_t len);

namespace {

void writerLoop(Queue* q) {
    for (;;) {
        std::size_t pos = q->dequeuePos.load(std::memory_order_relaxed);
        Slot& s = q->slots[pos & kMask];
        if (s.seq.load(std::memory_order_acquire) != pos + 1) {
            while (sem_wait(&q->wake) != 0) {
            }
            continue;
        }
        deliver(s.heap ? s.heap : s.text, s.len);
        std::free(s.heap);
        s.heap = nullptr;
        s.seq.store(pos + kSlots, std::memory_order_release);
        q->dequeuePos.store(pos + 1, std::memory_order_relaxed);
        {
            std::lock_guard<std::mutex> g(q->deliveredLock);
            q->delivered = pos + 1;
        }
        q->deliveredCv.notify_all();
    }
}

void flushAtExit() { flush(); }

// Starts the writer once per process; a child made by fork has no writer
// thread (threads do not survive fork) and starts its own.
void ensureWriter(Queue& q) {
    const pid_t me = getpid();
    if (q.writerPid.load(std::memory_order_acquire) == me) return;
    std::lock_guard<std::mutex> g(q.startLock);
    if (q.writerPid.load(std::memory_order_relaxed) == me) return;
    static bool atexitRegistered = false;
    if (!atexitRegistered) {
        atexitRegistered = true;
        std::atexit(flushAtExit);
    }
    std::thread(writerLoop, &q).detach();
    q.writerPid.store(me, std::memory_order_release);
}

// Claims a slot; false when the queue is full.
bool tryClaim(Queue& q, std::size_t& pos) {
    pos = q.enqueuePos.load(std::memory_order_relaxed);
    for (;;) {
        Slot& s = q.slots[pos & kMask];
        std::size_t seq = s.seq.load(std::memory_order_acquire);
        std::ptrdiff_t dif = std::ptrdiff_t(seq) - std::ptrdiff_t(pos);
        if (dif == 0) {
            if (q.enqueuePos.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) return true;
        } else if (dif < 0) {
            return false;
        } else {
            pos = q.enqueuePos.load(std::memory_order_relaxed);
        }
    }
}

// Queues text (len bytes); heap, when given, is a block holding it that the
// writer takes over.
void enqueue(const char* text, std::size_t len, char* heap) {
    Queue& q = queue();
    ensureWriter(q);
    std::size_t pos;
    while (!tryClaim(q, pos)) {
        if (tRealtime) {
            q.dropped.fetch_add(1, std::memory_order_relaxed);
            std::free(heap);
            return;
        }
        sem_post(&q.wake);
        sched_yield();
    }
    Slot& s = q.slots[pos & kMask];
    s.len = len;
    s.heap = heap;
    if (!heap) std::memcpy(s.text, text, len);
    s.seq.store(pos + 1, std::memory_order_release);
    sem_post(&q.wake);
}

}  // namespace

bool toStderr() {
    static const bool on = [] {
        const char* v = std::getenv("HX_LOG");
        return !(v && std::strcmp(v, "0") == 0);
    }();
    return on;
}

void setRealtimeThread(bool realtime) { tRealtime = realtime; }

std::size_t droppedLines() { return queue().dropped.load(std::memory_order_relaxed); }

// Runs on the writer thread only.
void deliver(const char* text, std::size_t len) {
    Queue& q = queue();
    {
        std::lock_guard<std::mutex> g(q.captureLock);
        for (Capture* c : q.captures) c->mText.append(text, len);
    }
    if (toStderr()) {
        std::size_t done = 0;
        while (done < len) {
            ssize_t n = ::write(2, text + done, len - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
    }
}

void write(const char* text, std::size_t len) {
    if (len == 0) return;
    if (len <= sizeof(Slot::text)) {
        enqueue(text, len, nullptr);
        return;
    }
    char* heap = static_cast<char*>(std::malloc(len));
    if (!heap) return;
    std::memcpy(heap, text, len);
    enqueue(heap, len, heap);
}

void vformat(const char* fmt, va_list ap) {
    char buf[sizeof(Slot::text) + 1];
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(buf, sizeof buf, fmt, copy);
    va_end(copy);
    if (n <= 0) return;
    if (static_cast<std::size_t>(n) < sizeof buf) {
        enqueue(buf, static_cast<std::size_t>(n), nullptr);
        return;
    }
    char* heap = static_cast<char*>(std::malloc(static_cast<std::size_t>(n) + 1));
    if (!heap) return;
    std::vsnprintf(heap, static_cast<std::size_t>(n) + 1, fmt, ap);
    enqueue(heap, static_cast<std::size_t>(n), heap);
}

void format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vformat(fmt, ap);
    va_end(ap);
}

void flush() {
    Queue& q = queue();
    const std::size_t target = q.enqueuePos.load(std::memory_order_acquire);
    if (target == 0) return;
    ensureWriter(q);
    std::unique_lock<std::mutex> g(q.deliveredLock);
    while (q.delivered < target) {
        sem_post(&q.wake);
        q.deliveredCv.wait_for(g, std::chrono::milliseconds(10));
    }
}

Capture::Capture() {
    // Lines logged before this capture existed must not reach it.
    flush();
    Queue& q = queue();
    std::lock_guard<std::mutex> g(q.captureLock);
    q.captures.push_back(this);
}

Capture::~Capture() {
    Queue& q = queue();
    std::lock_guard<std::mutex> g(q.captureLock);
    auto& v = q.captures;
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
}

std::string Capture::text() const {
    flush();
    Queue& q = queue();
    std::lock_guard<std::mutex> g(q.captureLock);
    return mText;
}

void Capture::clear() {
    flush();
    Queue& q = queue();
    std::lock_guard<std::mutex> g(q.captureLock);
    mText.clear();
}

}  // namespace hx::log

extern "C" void IOLog(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    hx::log::vformat(fmt, ap);
    va_end(ap);
}

extern "C" void vsyslog(int, const char* fmt, va_list ap) {
    char buf[512];
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(buf, sizeof buf, fmt, copy);
    va_end(copy);
    if (n < 0) return;
    if (std::size_t(n) < sizeof buf - 1) {
        if (n == 0 || buf[n - 1] != '\n') buf[n++] = '\n';
        hx::log::write(buf, std::size_t(n));
        return;
    }
    std::vector<char> big(std::size_t(n) + 2);
    std::vsnprintf(big.data(), big.size(), fmt, ap);
    if (big[std::size_t(n) - 1] != '\n') big[std::size_t(n++)] = '\n';
    hx::log::write(big.data(), std::size_t(n));
}

extern "C" void syslog(int priority, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsyslog(priority, fmt, ap);
    va_end(ap);
}
