#include "platform/base/HXLog.h"
#include "platform/base/HXLogLevel.h"

#include "platform/base/HXClock.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/uio.h>
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
    std::uint64_t nanos; // when it was logged
    bool virtualTime;    // on the virtual clock
    int level;           // syslog priority, kNoLevel for IOLog and write
    char text[216];
};

constexpr std::size_t kSlots = 4096; // power of two
constexpr std::size_t kMask = kSlots - 1;

// Bounded multi-producer queue with per-slot sequence numbers: a producer
// claims a position with one compare-and-swap, fills the slot and publishes
// it by storing pos + 1; the writer consumes in position order.
struct Queue {
    Slot slots[kSlots];
    alignas(64) std::atomic<std::size_t> enqueuePos{0};
    alignas(64) std::atomic<std::size_t> dequeuePos{0};
    std::atomic<std::size_t> dropped{0};
    // The writer sleeps on `wake` only after setting `sleeping`; a producer
    // posts only when it takes `sleeping` back, so a burst of lines wakes
    // the writer once instead of once a line.
    sem_t wake;
    alignas(64) std::atomic<bool> sleeping{false};

    // The log file, written by the writer only (fileLock guards the switch).
    std::mutex fileLock;
    std::FILE* file = nullptr;
    bool fileFailed = false;

    // Writer state and the flush hand-shake.
    std::mutex deliveredLock;
    std::condition_variable deliveredCv;
    std::size_t delivered = 0; // positions consumed, under deliveredLock
    std::atomic<pid_t> writerPid{0};
    std::mutex startLock;

    // Captures, touched only by the writer and by Capture itself.
    std::mutex captureLock;
    std::vector<Capture*> captures;
    std::map<const Capture*, std::vector<Record>> records; // each capture's, with levels

    Queue() {
        for (std::size_t i = 0; i < kSlots; ++i)
            slots[i].seq.store(i, std::memory_order_relaxed);
        sem_init(&wake, 0, 0);
    }
};

Queue& queue() {
    // Never destroyed: the writer may still run while statics go away.
    static Queue* q = new Queue;
    return *q;
}

thread_local bool tRealtime = false;

} // namespace

void deliver(const char* text, std::size_t len, std::uint64_t nanos, bool virtualTime);

namespace {

bool slotReady(Queue* q) {
    const std::size_t pos = q->dequeuePos.load(std::memory_order_relaxed);
    return q->slots[pos & kMask].seq.load(std::memory_order_acquire) == pos + 1;
}

void writerLoop(Queue* q) {
    for (;;) {
        std::size_t pos = q->dequeuePos.load(std::memory_order_relaxed);
        Slot& s = q->slots[pos & kMask];
        if (s.seq.load(std::memory_order_acquire) != pos + 1) {
            // Announce the sleep, then look once more: a line published
            // before the announcement was seen is caught here, one after it
            // sees `sleeping` and posts.
            q->sleeping.store(true, std::memory_order_seq_cst);
            std::atomic_thread_fence(std::memory_order_seq_cst);
            if (slotReady(q)) {
                q->sleeping.store(false, std::memory_order_relaxed);
                continue;
            }
            while (sem_wait(&q->wake) != 0) {
            }
            q->sleeping.store(false, std::memory_order_relaxed);
            continue;
        }
        {
            std::lock_guard<std::mutex> g(q->captureLock);
            for (Capture* c : q->captures)
                q->records[c].push_back({s.level, std::string(s.heap ? s.heap : s.text, s.len)});
        }
        deliver(s.heap ? s.heap : s.text, s.len, s.nanos, s.virtualTime);
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

// Wakes the writer if it sleeps or is about to: never blocks.
void wakeWriter(Queue& q) {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (q.sleeping.load(std::memory_order_relaxed) &&
        q.sleeping.exchange(false, std::memory_order_acq_rel))
        sem_post(&q.wake);
}

void flushAtExit() {
    flush();
}

// This process's id, read once: every enqueue asks, and getpid is a system
// call. A child made by fork forgets it (the handler below runs in the child
// before fork returns there), so it reads its own.
std::atomic<pid_t> gOwnPid{0};
const bool gForgetPidInChild = [] {
    return pthread_atfork(nullptr, nullptr, [] { gOwnPid.store(0, std::memory_order_relaxed); }) ==
           0;
}();

pid_t ownPid() {
    pid_t p = gOwnPid.load(std::memory_order_relaxed);
    if (p == 0 || !gForgetPidInChild) {
        p = getpid();
        gOwnPid.store(p, std::memory_order_relaxed);
    }
    return p;
}

// Starts the writer once per process; a child made by fork has no writer
// thread (threads do not survive fork) and starts its own.
void ensureWriter(Queue& q) {
    const pid_t me = ownPid();
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
            if (q.enqueuePos.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed))
                return true;
        } else if (dif < 0) {
            return false;
        } else {
            pos = q.enqueuePos.load(std::memory_order_relaxed);
        }
    }
}

// Queues text (len bytes); heap, when given, is a block holding it that the
// writer takes over.
void enqueue(const char* text, std::size_t len, char* heap, int level = kNoLevel) {
    Queue& q = queue();
    ensureWriter(q);
    std::size_t pos;
    while (!tryClaim(q, pos)) {
        if (tRealtime) {
            q.dropped.fetch_add(1, std::memory_order_relaxed);
            std::free(heap);
            return;
        }
        wakeWriter(q);
        sched_yield();
    }
    Slot& s = q.slots[pos & kMask];
    s.len = len;
    s.heap = heap;
    s.nanos = hx::clock::nowNanos();
    s.virtualTime = hx::clock::isVirtual();
    s.level = level;
    if (!heap) std::memcpy(s.text, text, len);
    s.seq.store(pos + 1, std::memory_order_release);
    wakeWriter(q);
}

} // namespace

bool toStderr() {
    static const bool on = [] {
        const char* v = std::getenv("HX_LOG");
        return !(v && std::strcmp(v, "0") == 0);
    }();
    return on;
}

void setRealtimeThread(bool realtime) {
    tRealtime = realtime;
}

std::size_t droppedLines() {
    return queue().dropped.load(std::memory_order_relaxed);
}

namespace {

void writeAll(int fd, const char* text, std::size_t len) {
    std::size_t done = 0;
    while (done < len) {
        ssize_t n = ::write(fd, text + done, len - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
}

// "[12.345678v] ": seconds and microseconds on the clock in use, v for the
// virtual clock.
std::size_t stamp(char* out, std::size_t size, std::uint64_t nanos, bool virtualTime) {
    const int n =
        std::snprintf(out, size, "[%llu.%06llu%s] ", (unsigned long long)(nanos / 1000000000ull),
                      (unsigned long long)(nanos % 1000000000ull / 1000), virtualTime ? "v" : "");
    return n > 0 ? std::size_t(n) : 0;
}

} // namespace

// Runs on the writer thread only. Captures get the text as logged; stderr
// and the log file get one record a call: the time stamp, the text, and a
// line end where the text has none.
void deliver(const char* text, std::size_t len, std::uint64_t nanos, bool virtualTime) {
    Queue& q = queue();
    {
        std::lock_guard<std::mutex> g(q.captureLock);
        for (Capture* c : q.captures)
            c->mText.append(text, len);
    }
    char prefix[48];
    const std::size_t plen = stamp(prefix, sizeof prefix, nanos, virtualTime);
    const bool newline = len > 0 && text[len - 1] != '\n';
    if (toStderr()) {
        // One write for the whole record, so records from another process
        // sharing stderr do not cut into it.
        iovec parts[3] = {
            {prefix, plen}, {const_cast<char*>(text), len}, {const_cast<char*>("\n"), 1}};
        const int count = newline ? 3 : 2;
        const ssize_t n = ::writev(2, parts, count);
        const std::size_t total = plen + len + (newline ? 1 : 0);
        if (n >= 0 && std::size_t(n) < total) {
            // A short write: the rest one part at a time.
            std::size_t done = std::size_t(n);
            for (int i = 0; i < count; ++i) {
                const std::size_t size = parts[i].iov_len;
                if (done >= size) {
                    done -= size;
                    continue;
                }
                writeAll(2, static_cast<const char*>(parts[i].iov_base) + done, size - done);
                done = 0;
            }
        }
    }
    std::lock_guard<std::mutex> g(q.fileLock);
    if (q.file) {
        bool ok = std::fwrite(prefix, 1, plen, q.file) == plen &&
                  std::fwrite(text, 1, len, q.file) == len;
        if (newline) ok = ok && std::fputc('\n', q.file) != EOF;
        if (!ok) q.fileFailed = true;
    }
}

bool openFile(const std::string& path, std::string& error) {
    flush();
    Queue& q = queue();
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    std::lock_guard<std::mutex> g(q.fileLock);
    if (q.file) std::fclose(q.file);
    q.file = f;
    q.fileFailed = false;
    return true;
}

bool closeFile(std::string& error) {
    flush();
    Queue& q = queue();
    std::lock_guard<std::mutex> g(q.fileLock);
    if (!q.file) return true;
    const int writeErrno = errno;
    const bool closed = std::fclose(q.file) == 0;
    q.file = nullptr;
    if (q.fileFailed || !closed) {
        error = std::string("the log file could not be written in full: ") +
                std::strerror(closed ? writeErrno : errno);
        return false;
    }
    return true;
}

void write(const char* text, std::size_t len) {
    writeAt(kNoLevel, text, len);
}

void writeAt(int level, const char* text, std::size_t len) {
    if (len == 0) return;
    if (level != kNoLevel) level &= 7;
    if (len <= sizeof(Slot::text)) {
        enqueue(text, len, nullptr, level);
        return;
    }
    char* heap = static_cast<char*>(std::malloc(len));
    if (!heap) return;
    std::memcpy(heap, text, len);
    enqueue(heap, len, heap, level);
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
    q.records.erase(this);
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
    q.records.erase(this);
}

std::vector<Record> records(const Capture& capture) {
    flush();
    Queue& q = queue();
    std::lock_guard<std::mutex> g(q.captureLock);
    auto it = q.records.find(&capture);
    return it == q.records.end() ? std::vector<Record>{} : it->second;
}

int levelOf(const Capture& capture, const std::string& text) {
    for (const Record& r : records(capture))
        if (r.text.find(text) != std::string::npos) return r.level;
    return kNoLevel;
}

} // namespace hx::log

extern "C" void IOLog(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    hx::log::vformat(fmt, ap);
    va_end(ap);
}

extern "C" void vsyslog(int priority, const char* fmt, va_list ap) {
    char buf[512];
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(buf, sizeof buf, fmt, copy);
    va_end(copy);
    if (n < 0) return;
    if (std::size_t(n) < sizeof buf - 1) {
        if (n == 0 || buf[n - 1] != '\n') buf[n++] = '\n';
        hx::log::writeAt(priority, buf, std::size_t(n));
        return;
    }
    std::vector<char> big(std::size_t(n) + 2);
    std::vsnprintf(big.data(), big.size(), fmt, ap);
    if (big[std::size_t(n) - 1] != '\n') big[std::size_t(n++)] = '\n';
    hx::log::writeAt(priority, big.data(), std::size_t(n));
}

extern "C" void syslog(int priority, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsyslog(priority, fmt, ap);
    va_end(ap);
}
