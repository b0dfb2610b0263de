// The plug-in's mutex, dispatch queue and host time base.
#include "plugins/server/CADispatchQueue.h"
#include "plugins/server/CAException.h"
#include "plugins/server/CAHostTimeBase.h"
#include "plugins/server/CAMutex.h"

#include <atomic>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/HXClock.h"
#include "platform/cf/CoreFoundation.h"

namespace {

TEST(CAMutex, NestedLockTakesOnceAndOneUnlockFrees) {
    CAMutex m("test");
    EXPECT_TRUE(m.IsFree());
    EXPECT_TRUE(m.Lock());
    EXPECT_FALSE(m.Lock());
    EXPECT_TRUE(m.IsOwnedByCurrentThread());
    m.Unlock();
    EXPECT_TRUE(m.IsFree());
    EXPECT_FALSE(m.IsOwnedByCurrentThread());
}

TEST(CAMutex, UnlockByAnotherThreadDoesNothing) {
    CAMutex m("test");
    ASSERT_TRUE(m.Lock());
    std::thread([&] {
        m.Unlock();
        EXPECT_FALSE(m.IsOwnedByCurrentThread());
        bool wasLocked = true;
        EXPECT_FALSE(m.Try(wasLocked));
        EXPECT_FALSE(wasLocked);
    }).join();
    EXPECT_TRUE(m.IsOwnedByCurrentThread());
    bool wasLocked = true;
    EXPECT_TRUE(m.Try(wasLocked));
    EXPECT_FALSE(wasLocked);
    m.Unlock();
    EXPECT_TRUE(m.IsFree());
}

TEST(CAMutex, TryOnAFreeMutexTakesIt) {
    CAMutex m("test");
    bool wasLocked = false;
    EXPECT_TRUE(m.Try(wasLocked));
    EXPECT_TRUE(wasLocked);
    EXPECT_TRUE(m.IsOwnedByCurrentThread());
    m.Unlock();
}

TEST(CAMutex, UnlockerFreesForItsScope) {
    CAMutex m("test");
    ASSERT_TRUE(m.Lock());
    {
        CAMutex::Unlocker unlocker(m);
        EXPECT_TRUE(m.IsFree());
        std::thread([&] {
            bool wasLocked = false;
            EXPECT_TRUE(m.Try(wasLocked));
            m.Unlock();
        }).join();
    }
    EXPECT_TRUE(m.IsOwnedByCurrentThread());
    m.Unlock();
}

// Eight threads nesting locks and opening them for a while with Unlocker:
// the counter guarded by the outer lock never sees two writers.
TEST(CAMutex, EightThreadsNestAndUnlock) {
    CAMutex m("test");
    int guarded = 0;
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                const bool took = m.Lock();
                EXPECT_TRUE(took);
                if (inside.fetch_add(1) != 0) overlap = true;
                EXPECT_FALSE(m.Lock()); // nested: not taken again
                ++guarded;
                inside.fetch_sub(1);
                {
                    CAMutex::Unlocker open(m);
                    EXPECT_FALSE(m.IsOwnedByCurrentThread());
                }
                EXPECT_TRUE(m.IsOwnedByCurrentThread());
                if (took) m.Unlock();
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_FALSE(overlap);
    EXPECT_EQ(guarded, 8 * 500);
    EXPECT_TRUE(m.IsFree());
}

TEST(CADispatchQueue, SyncFromInsideTheQueueRunsAtOnce) {
    CADispatchQueue q("test.queue");
    std::vector<int> order;
    q.Dispatch(true, [&] {
        order.push_back(1);
        q.Dispatch(true, [&] { order.push_back(2); });
        order.push_back(3);
    });
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(CADispatchQueue, AsyncAndZeroDelayRunInSubmissionOrder) {
    CADispatchQueue q("test.queue");
    std::vector<int> order;
    for (int i = 0; i < 20; ++i) {
        if (i % 2)
            q.Dispatch(false, [&order, i] { order.push_back(i); });
        else
            q.Dispatch(UInt64(0), [&order, i] { order.push_back(i); });
    }
    q.Dispatch(true, [] {});
    ASSERT_EQ(order.size(), 20u);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(order[std::size_t(i)], i);
}

TEST(CADispatchQueue, DelayedWorkRunsAtItsVirtualDeadline) {
    // Worker threads left by earlier tests were made on the real clock and
    // would not hold virtual time: let them end first.
    hx::dispatch::drainAll();
    hx::clock::VirtualClock clock;
    const UInt64 start = clock.now();
    std::atomic<UInt64> ranAt{0};
    {
        CADispatchQueue q("test.delayed");
        q.Dispatch(UInt64(5000000), [&] { ranAt = hx::clock::nowNanos(); });
        clock.runFor(10000000);
        hx::dispatch::drainAll();
    }
    EXPECT_EQ(ranAt.load(), start + 5000000);
}

TEST(CADispatchQueue, GlobalSerialQueueIsOneObject) {
    CADispatchQueue& a = CADispatchQueue::GetGlobalSerialQueue();
    CADispatchQueue& b = CADispatchQueue::GetGlobalSerialQueue();
    EXPECT_EQ(&a, &b);
    EXPECT_STREQ(dispatch_queue_get_label(a.GetDispatchQueue()),
                 "com.apple.audio.CADispatchQueue.SerialQueue");
}

TEST(CADispatchQueue, LongCFNameIsCutTo255Bytes) {
    const std::string name(300, 'q');
    CFStringRef s = CFStringCreateWithCString(nullptr, name.c_str(), kCFStringEncodingUTF8);
    CADispatchQueue q(s);
    CFRelease(s);
    EXPECT_EQ(std::string(dispatch_queue_get_label(q.GetDispatchQueue())), name.substr(0, 255));
}

TEST(CADispatchQueue, PatternNameIsFormed) {
    CADispatchQueue q(CFSTR("queue.%@"), CFSTR("device"));
    EXPECT_STREQ(dispatch_queue_get_label(q.GetDispatchQueue()), "queue.device");
}

TEST(CAHostTimeBase, ConvertsThroughTheTimebase) {
    EXPECT_EQ(CAHostTimeBase::ConvertFromNanos(123456), 123456u);
    EXPECT_DOUBLE_EQ(CAHostTimeBase::GetFrequency(), 1e9);
    EXPECT_EQ(CAHostTimeBase::sMinDelta, 1u);
}

} // namespace
