// The user end's one reader for every notification port of a process,
// against socket pairs written as the kernel host writes them: records
// reach each port's sink in order and one at a time, a port that ends or
// goes away does not disturb the others, and once a port is removed its
// sink hears nothing more, even when it is removed from inside its own call.
#include "platform/iokit/PortReader.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/iokit/KernelHostWire.h"
#include "platform/iokit/WireSocket.h"

namespace {

namespace wire = hx::iokit::wire;
using hx::iokit::NotificationRecord;
using hx::iokit::PortReader;

// A port's socket: the reader takes the user end, the test writes the host
// end as the kernel host would.
struct Socket {
    int host = -1;
    int user = -1;
    Socket() {
        int sv[2] = {-1, -1};
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
        host = sv[0];
        user = sv[1];
    }
    ~Socket() {
        if (host >= 0) ::close(host);
    }
    void closeHost() {
        ::close(host);
        host = -1;
    }
    // True once the user end is closed or shut down: the host end reads
    // its end, or a reset when the user end went with records unread
    // (without waiting: the user end never writes).
    bool userEnded() const {
        char byte;
        const ssize_t n = ::recv(host, &byte, 1, MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno == ECONNRESET);
    }
};

// Sends the record numbered n of the port tagged tag; false when the user
// end is gone.
bool sendRecord(int fd, uint32_t tag, uint32_t n) {
    NotificationRecord r;
    r.kind = NotificationRecord::Interest;
    r.tag = tag;
    r.messageType = n;
    r.argument.assign(36, uint8_t(n));
    return wire::sendFrame(fd, wire::kRecord, 0, wire::encodeRecord(r));
}

void sendRecords(int fd, uint32_t tag, uint32_t from, uint32_t count) {
    for (uint32_t n = from; n < from + count; ++n)
        sendRecord(fd, tag, n);
}

// Keeps the numbers of the records a port received, counts every call, and
// notes calls that overlap or come from more than one thread. onRecord runs
// inside deliver (after the record is kept) with the count so far; onLost
// inside lost.
class Sink final : public hx::iokit::PortSink {
public:
    explicit Sink(uint32_t tag) : mTag(tag) {}

    void deliver(NotificationRecord&& r) override {
        if (mInside.exchange(true)) mOverlaps = true;
        size_t count = 0;
        {
            std::lock_guard<std::mutex> g(mLock);
            noteThread();
            if (r.tag != mTag || r.argument.size() != 36) mForeign = true;
            mNumbers.push_back(r.messageType);
            count = mNumbers.size();
            ++mCalls;
        }
        if (onRecord) onRecord(count);
        mInside = false;
        finish(false);
    }
    void lost() override {
        if (mInside.exchange(true)) mOverlaps = true;
        {
            std::lock_guard<std::mutex> g(mLock);
            noteThread();
            ++mLost;
            ++mCalls;
        }
        if (onLost) onLost();
        mInside = false;
        finish(true);
    }

    // Waits (with a generous bound, so a loaded machine only waits longer)
    // until n deliveries and, with lost, the port's lost() have returned.
    bool waitFor(size_t n, bool lost = false) {
        std::unique_lock<std::mutex> l(mLock);
        return mCv.wait_for(l, std::chrono::seconds(60),
                            [&] { return mDelivered >= n && (!lost || mLostReturned); });
    }
    std::vector<uint32_t> numbers() {
        std::lock_guard<std::mutex> g(mLock);
        return mNumbers;
    }
    int calls() {
        std::lock_guard<std::mutex> g(mLock);
        return mCalls;
    }
    int lostCount() {
        std::lock_guard<std::mutex> g(mLock);
        return mLost;
    }
    std::thread::id thread() {
        std::lock_guard<std::mutex> g(mLock);
        return mThread;
    }
    bool sound() {
        std::lock_guard<std::mutex> g(mLock);
        return !mOverlaps && !mForeign && !mManyThreads;
    }

    std::function<void(size_t count)> onRecord;
    std::function<void()> onLost;

private:
    void finish(bool lost) {
        {
            std::lock_guard<std::mutex> g(mLock);
            if (lost)
                mLostReturned = true;
            else
                ++mDelivered;
        }
        mCv.notify_all();
    }
    void noteThread() {
        if (mThread == std::thread::id())
            mThread = std::this_thread::get_id();
        else if (mThread != std::this_thread::get_id())
            mManyThreads = true;
    }

    const uint32_t mTag;
    std::atomic<bool> mInside{false};
    std::atomic<bool> mOverlaps{false};
    std::mutex mLock;
    std::condition_variable mCv;
    std::vector<uint32_t> mNumbers;
    int mCalls = 0;
    int mLost = 0;
    size_t mDelivered = 0; // deliveries returned
    bool mLostReturned = false;
    bool mForeign = false;
    bool mManyThreads = false;
    std::thread::id mThread;
};

// from, from + 1, ..., from + count - 1
std::vector<uint32_t> run(uint32_t from, uint32_t count) {
    std::vector<uint32_t> v(count);
    for (uint32_t i = 0; i < count; ++i)
        v[i] = from + i;
    return v;
}

TEST(PortReader, InterleavedRecordsReachEachPortInOrderOnOneThread) {
    constexpr uint32_t kPorts = 6, kEach = 1500;
    std::vector<std::unique_ptr<Socket>> sockets;
    std::vector<std::unique_ptr<Sink>> sinks;
    PortReader reader; // ends before the sinks and sockets
    for (uint32_t p = 0; p < kPorts; ++p) {
        sockets.push_back(std::make_unique<Socket>());
        sinks.push_back(std::make_unique<Sink>(p));
        ASSERT_NE(reader.add(sockets[p]->user, sinks[p].get()), 0u);
    }
    // The host's writer goes from port to port in bursts of different
    // lengths, some longer than the reader reads from one port at a time.
    std::vector<uint32_t> next(kPorts, 0);
    for (uint32_t round = 0; round < kEach; ++round)
        for (uint32_t p = 0; p < kPorts; ++p) {
            const uint32_t burst = std::min(kEach - next[p], 1 + (round * 7 + p * 5) % 40);
            sendRecords(sockets[p]->host, p, next[p], burst);
            next[p] += burst;
        }
    for (uint32_t p = 0; p < kPorts; ++p) {
        SCOPED_TRACE(p);
        ASSERT_TRUE(sinks[p]->waitFor(kEach));
        EXPECT_EQ(sinks[p]->numbers(), run(0, kEach));
        EXPECT_TRUE(sinks[p]->sound());
        EXPECT_EQ(sinks[p]->lostCount(), 0);
        EXPECT_EQ(sinks[p]->thread(), sinks[0]->thread());
    }
}

// A port removed by another thread while the reader is inside its sink and
// more of its records wait: remove returns only after that call did, and the
// sink hears nothing after; the other port hears every record.
TEST(PortReader, APortRemovedWithRecordsInFlightHearsNothingMoreAndTheOthersGoOn) {
    Socket doomedSocket, keptSocket;
    Sink doomed(1), kept(2);
    std::mutex gateLock;
    std::condition_variable gateCv;
    bool inside = false, open = false;
    std::atomic<bool> returned{false};
    PortReader reader; // ends before anything its sinks' calls use
    doomed.onRecord = [&](size_t count) {
        if (count != 1) return;
        std::unique_lock<std::mutex> l(gateLock);
        inside = true;
        gateCv.notify_all();
        gateCv.wait(l, [&] { return open; });
        returned = true;
    };
    const uint64_t doomedKey = reader.add(doomedSocket.user, &doomed);
    ASSERT_NE(doomedKey, 0u);
    ASSERT_NE(reader.add(keptSocket.user, &kept), 0u);
    sendRecord(doomedSocket.host, 1, 0);
    {
        std::unique_lock<std::mutex> l(gateLock);
        gateCv.wait(l, [&] { return inside; });
    }
    // The reader is held inside the doomed port's first call: these wait.
    sendRecords(doomedSocket.host, 1, 1, 50);
    sendRecords(keptSocket.host, 2, 0, 50);
    int callsAtRemoval = -1;
    bool returnedFirst = false;
    std::thread remover([&] {
        reader.remove(doomedKey);
        returnedFirst = returned;
        callsAtRemoval = doomed.calls();
    });
    // Time for the remover to reach its wait; the outcome does not depend
    // on it.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    {
        std::lock_guard<std::mutex> g(gateLock);
        open = true;
    }
    gateCv.notify_all();
    remover.join();
    EXPECT_TRUE(returnedFirst);
    EXPECT_TRUE(doomedSocket.userEnded());
    sendRecords(keptSocket.host, 2, 50, 50);
    ASSERT_TRUE(kept.waitFor(100));
    EXPECT_EQ(kept.numbers(), run(0, 100));
    // Whatever prefix of its records the doomed port heard, it heard in
    // order and nothing after its removal.
    const auto heard = doomed.numbers();
    EXPECT_EQ(doomed.calls(), callsAtRemoval);
    ASSERT_GE(heard.size(), 1u);
    EXPECT_EQ(heard, run(0, uint32_t(heard.size())));
    EXPECT_EQ(doomed.lostCount(), 0);
    EXPECT_TRUE(doomed.sound());
    EXPECT_TRUE(kept.sound());
}

// A sink may remove its own port, or another, from inside its call on the
// reader thread: no deadlock, the removed port hears nothing more and its
// socket is closed, and the rest go on.
TEST(PortReader, APortRemovedFromInsideASinkCallHearsNothingMore) {
    enum class From { OwnRecord, OwnLost, OtherPortsRecord };
    struct Case {
        const char* name;
        From from;
    } cases[] = {
        {"its own port, from its third record", From::OwnRecord},
        {"its own port, from lost()", From::OwnLost},
        {"another port, from the caller's third record", From::OtherPortsRecord},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Socket callerSocket, otherSocket, keptSocket;
        Sink caller(1), other(2), kept(3);
        std::atomic<uint64_t> callerKey{0}, otherKey{0};
        std::atomic<int> otherCallsAtRemoval{-1};
        PortReader reader; // ends before anything its sinks' calls use
        switch (k.from) {
        case From::OwnRecord:
            caller.onRecord = [&](size_t count) {
                if (count == 3) reader.remove(callerKey);
            };
            break;
        case From::OwnLost:
            caller.onLost = [&] { reader.remove(callerKey); };
            break;
        case From::OtherPortsRecord:
            caller.onRecord = [&](size_t count) {
                if (count != 3) return;
                reader.remove(otherKey);
                otherCallsAtRemoval = other.calls();
            };
            break;
        }
        callerKey = reader.add(callerSocket.user, &caller);
        otherKey = reader.add(otherSocket.user, &other);
        ASSERT_NE(callerKey.load(), 0u);
        ASSERT_NE(otherKey.load(), 0u);
        ASSERT_NE(reader.add(keptSocket.user, &kept), 0u);
        sendRecords(otherSocket.host, 2, 0, 20);
        sendRecords(keptSocket.host, 3, 0, 20);
        sendRecords(callerSocket.host, 1, 0, 3);
        if (k.from == From::OwnLost) {
            callerSocket.closeHost();
        } else {
            sendRecords(callerSocket.host, 1, 3, 20);
        }
        ASSERT_TRUE(caller.waitFor(3, k.from == From::OwnLost));
        sendRecords(keptSocket.host, 3, 20, 20);
        ASSERT_TRUE(kept.waitFor(40));
        EXPECT_EQ(kept.numbers(), run(0, 40));
        switch (k.from) {
        case From::OwnRecord:
            EXPECT_TRUE(callerSocket.userEnded());
            EXPECT_EQ(caller.numbers(), run(0, 3));
            EXPECT_EQ(caller.calls(), 3);
            break;
        case From::OwnLost:
            EXPECT_EQ(caller.numbers(), run(0, 3));
            EXPECT_EQ(caller.calls(), 4);
            EXPECT_EQ(caller.lostCount(), 1);
            break;
        case From::OtherPortsRecord: {
            ASSERT_TRUE(caller.waitFor(23));
            EXPECT_EQ(caller.numbers(), run(0, 23));
            EXPECT_TRUE(otherSocket.userEnded());
            EXPECT_EQ(other.calls(), otherCallsAtRemoval.load());
            const auto heard = other.numbers();
            EXPECT_EQ(heard, run(0, uint32_t(heard.size())));
            break;
        }
        }
        EXPECT_TRUE(caller.sound());
        EXPECT_TRUE(other.sound());
        EXPECT_TRUE(kept.sound());
    }
}

// A port's socket that ends, or carries what a port never carries, ends
// that port alone: its records before the fault arrive in order, then
// lost() once, then nothing; the socket is shut down, and the port can
// still be removed.
TEST(PortReader, APortWhoseSocketEndsHearsLostOnceAndTheOthersGoOn) {
    struct Case {
        const char* name;
        std::function<void(Socket&)> fault;
    } cases[] = {
        {"the host closes it", [](Socket& s) { s.closeHost(); }},
        {"a frame of another kind",
         [](Socket& s) { wire::sendFrame(s.host, wire::kCall, 0, std::vector<uint8_t>(8)); }},
        {"a record that does not decode",
         [](Socket& s) {
             wire::sendFrame(s.host, wire::kRecord, 0, {1, 2, 3});
         }},
        {"bytes that are no frame",
         [](Socket& s) {
             const uint8_t junk[5] = {1, 2, 3, 4, 5};
             EXPECT_EQ(::send(s.host, junk, sizeof junk, MSG_NOSIGNAL), 5);
         }},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Socket faultySocket, keptSocket;
        Sink faulty(1), kept(2);
        PortReader reader;
        const uint64_t faultyKey = reader.add(faultySocket.user, &faulty);
        ASSERT_NE(faultyKey, 0u);
        ASSERT_NE(reader.add(keptSocket.user, &kept), 0u);
        sendRecords(faultySocket.host, 1, 0, 5);
        sendRecords(keptSocket.host, 2, 0, 10);
        k.fault(faultySocket);
        if (faultySocket.host >= 0) sendRecords(faultySocket.host, 1, 5, 5);
        sendRecords(keptSocket.host, 2, 10, 10);
        ASSERT_TRUE(faulty.waitFor(5, true));
        ASSERT_TRUE(kept.waitFor(20));
        EXPECT_EQ(kept.numbers(), run(0, 20));
        // Another record to the kept port, so any late call to the faulty
        // one would have come by the time it arrives.
        sendRecord(keptSocket.host, 2, 20);
        ASSERT_TRUE(kept.waitFor(21));
        EXPECT_EQ(faulty.numbers(), run(0, 5));
        EXPECT_EQ(faulty.lostCount(), 1);
        EXPECT_EQ(faulty.calls(), 6);
        if (faultySocket.host >= 0) {
            EXPECT_TRUE(faultySocket.userEnded());
        }
        reader.remove(faultyKey);
        EXPECT_EQ(faulty.calls(), 6);
        EXPECT_TRUE(faulty.sound());
        EXPECT_TRUE(kept.sound());
        EXPECT_EQ(kept.lostCount(), 0);
    }
}

// The reader's end closes every socket still held and calls no sink after.
TEST(PortReader, TheReadersEndClosesEverySocketAndCallsNoSinkAfter) {
    Socket a, b;
    Sink sa(1), sb(2);
    int callsAtEnd = 0;
    {
        PortReader reader;
        ASSERT_NE(reader.add(a.user, &sa), 0u);
        ASSERT_NE(reader.add(b.user, &sb), 0u);
        sendRecords(a.host, 1, 0, 30);
        sendRecords(b.host, 2, 0, 30);
        ASSERT_TRUE(sa.waitFor(1));
    }
    callsAtEnd = sa.calls() + sb.calls();
    EXPECT_TRUE(a.userEnded());
    EXPECT_TRUE(b.userEnded());
    EXPECT_FALSE(sendRecord(a.host, 1, 30));
    EXPECT_EQ(sa.calls() + sb.calls(), callsAtEnd);
    const auto heard = sa.numbers();
    EXPECT_EQ(heard, run(0, uint32_t(heard.size())));
    EXPECT_EQ(sa.lostCount() + sb.lostCount(), 0);
}

} // namespace
