// Dispatch queues: order, delays on virtual time, the main queue on the
// main run loop, sync, once, queue-specific values, global queues.
#include "platform/dispatch/Dispatch.h"

#include "platform/base/HXClock.h"
#include "platform/cf/CFRunLoop.h"
#include "platform/cf/HXCF.h"

#include <atomic>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::uint64_t kMs = 1000000;

// One owned serial queue per test.
struct Queue {
    explicit Queue(const char* label, dispatch_queue_attr_t attr = DISPATCH_QUEUE_SERIAL)
        : q(dispatch_queue_create(label, attr)) {}
    ~Queue() { dispatch_release(q); }
    operator dispatch_queue_t() const { return q; }
    dispatch_queue_t q;
};

TEST(Dispatch, SerialQueuesRunTheirItemsOneAtATimeInSubmissionOrder) {
    Queue a("test.a"), b("test.b");
    std::vector<int> seenA, seenB;
    std::atomic<int> insideA{0}, mostInsideA{0};
    for (int i = 0; i < 500; ++i) {
        dispatch_async(a, [&, i] {
            int now = ++insideA;
            int prev = mostInsideA.load();
            while (now > prev && !mostInsideA.compare_exchange_weak(prev, now)) {
            }
            seenA.push_back(i);
            --insideA;
        });
        dispatch_async(b, [&, i] { seenB.push_back(i); });
    }
    hx::dispatch::drain(a);
    hx::dispatch::drain(b);
    ASSERT_EQ(seenA.size(), 500u);
    ASSERT_EQ(seenB.size(), 500u);
    for (int i = 0; i < 500; ++i) {
        EXPECT_EQ(seenA[std::size_t(i)], i);
        EXPECT_EQ(seenB[std::size_t(i)], i);
    }
    EXPECT_EQ(mostInsideA.load(), 1);
    hx::dispatch::drainAll();
}

TEST(Dispatch, SyncRunsAfterEarlierItemsAndFunctionFormsPassTheirContext) {
    Queue q("test.sync");
    std::vector<int> order;
    dispatch_async(q, [&] { order.push_back(1); });
    int context = 2;
    dispatch_async_f(q, &context, [](void* c) { (void)c; });
    dispatch_sync_f(q, &order, [](void* c) { static_cast<std::vector<int>*>(c)->push_back(2); });
    dispatch_sync(q, [&] {
        order.push_back(3);
        // A sync onto the queue running the caller runs at once.
        dispatch_sync(q, [&] { order.push_back(4); });
        EXPECT_STREQ(dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL), "test.sync");
    });
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_STREQ(dispatch_queue_get_label(q), "test.sync");
    EXPECT_STREQ(dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL), "");
    hx::dispatch::drainAll();
}

TEST(Dispatch, AfterRunsAtItsVirtualDeadlineInDeadlineOrder) {
    hx::clock::VirtualClock clock;
    const std::uint64_t start = clock.now();
    Queue q("test.after");
    std::mutex lock;
    std::vector<std::string> seen;
    auto record = [&](const char* what) {
        return [&, what] {
            std::lock_guard<std::mutex> g(lock);
            seen.push_back(std::string(what) + "@" +
                           std::to_string((hx::clock::nowNanos() - start) / kMs));
        };
    };
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, 30 * kMs), q, record("third"));
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, 10 * kMs), q, record("first"));
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, 20 * kMs), q, record("second"));
    dispatch_after(dispatch_time(DISPATCH_TIME_NOW, 20 * kMs), q, record("second-too"));
    dispatch_after(DISPATCH_TIME_FOREVER, q, record("never"));
    int ctx = 0;
    dispatch_after_f(dispatch_time(DISPATCH_TIME_NOW, 25 * kMs), dispatch_get_global_queue(0, 0),
                     &ctx,
                     [](void* c) { *static_cast<int*>(c) = int(hx::clock::nowNanos() / kMs); });
    dispatch_async(q, record("now"));
    clock.runFor(50 * kMs);
    hx::dispatch::drainAll();
    const std::vector<std::string> expected = {"now@0", "first@10", "second@20", "second-too@20",
                                               "third@30"};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(std::uint64_t(ctx), (start + 25 * kMs) / kMs);
}

TEST(Dispatch, MainQueueItemsRunOnTheMainRunLoopsThread) {
    ASSERT_TRUE(hx::cf::isMainThread());
    std::thread::id ranOn;
    std::atomic<bool> ran{false};
    std::thread([&] {
        dispatch_async(dispatch_get_main_queue(), [&] {
            ranOn = std::this_thread::get_id();
            ran = true;
        });
    }).join();
    while (!ran)
        EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1e6, true), kCFRunLoopRunHandledSource);
    EXPECT_EQ(ranOn, std::this_thread::get_id());

    // A worker waiting in a sync onto the main queue is served by the loop.
    Queue q("test.to-main");
    std::atomic<bool> synced{false};
    dispatch_async(q, [&] {
        dispatch_sync(dispatch_get_main_queue(), [&] { EXPECT_TRUE(hx::cf::isMainThread()); });
        synced = true;
    });
    while (!synced)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, true);

    // The main thread drains its own queue without running the loop.
    int count = 0;
    dispatch_async(dispatch_get_main_queue(), [&] { ++count; });
    dispatch_sync(dispatch_get_main_queue(), [&] { ++count; });
    EXPECT_EQ(count, 2);
    dispatch_async(dispatch_get_main_queue(), [&] { ++count; });
    hx::dispatch::drain(dispatch_get_main_queue());
    EXPECT_EQ(count, 3);
    hx::dispatch::drainAll();
}

TEST(Dispatch, OnceRunsExactlyOnceAcrossThreads) {
    dispatch_once_t once = 0;
    std::atomic<int> runs{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            dispatch_once(&once, [&] {
                std::this_thread::yield();
                ++runs;
            });
            EXPECT_EQ(runs.load(), 1); // nobody returns before the block ran
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(runs.load(), 1);
    dispatch_once_f(&once, &runs, [](void* r) { ++*static_cast<std::atomic<int>*>(r); });
    EXPECT_EQ(runs.load(), 1);
}

TEST(Dispatch, QueueSpecificValuesBelongToTheRunningQueue) {
    static const char kKey = 0;
    static int destroyed;
    destroyed = 0;
    int value = 7, other = 8;
    void* seen = &other;
    {
        Queue q("test.specific");
        dispatch_queue_set_specific(q, &kKey, &value, [](void*) { ++destroyed; });
        EXPECT_EQ(dispatch_queue_get_specific(q, &kKey), &value);
        dispatch_sync(q, [&] { seen = dispatch_get_specific(&kKey); });
        EXPECT_EQ(seen, &value);
        EXPECT_EQ(dispatch_get_specific(&kKey), nullptr);
        dispatch_sync(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0),
                      [&] { seen = dispatch_get_specific(&kKey); });
        EXPECT_EQ(seen, nullptr);
        EXPECT_EQ(destroyed, 0);
    }
    EXPECT_EQ(destroyed, 1); // the queue's values go with it
}

TEST(Dispatch, GlobalQueuesRunItemsSideBySide) {
    dispatch_queue_t high = dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_HIGH, 0);
    dispatch_queue_t normal = dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0);
    EXPECT_NE(high, normal);
    EXPECT_EQ(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_LOW, 0),
              dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_LOW, 0));
    EXPECT_EQ(dispatch_get_global_queue(12345, 0), nullptr);
    // The first item waits for the second: only a concurrent queue gets past.
    std::mutex m;
    std::condition_variable cv;
    bool second = false, firstDone = false;
    dispatch_async(normal, [&] {
        std::unique_lock<std::mutex> l(m);
        cv.wait(l, [&] { return second; });
        firstDone = true;
    });
    dispatch_async(normal, [&] {
        std::lock_guard<std::mutex> l(m);
        second = true;
        cv.notify_all();
    });
    hx::dispatch::drain(normal);
    EXPECT_TRUE(firstDone);
    Queue concurrent("test.concurrent", DISPATCH_QUEUE_CONCURRENT);
    std::atomic<int> n{0};
    for (int i = 0; i < 20; ++i)
        dispatch_async(concurrent, [&] { ++n; });
    hx::dispatch::drainAll();
    EXPECT_EQ(n.load(), 20);
}

TEST(Dispatch, TimeIsAbsoluteOnThePlatformClockAndSaturates) {
    hx::clock::VirtualClock clock;
    EXPECT_EQ(dispatch_time(DISPATCH_TIME_NOW, 5), clock.now() + 5);
    EXPECT_EQ(dispatch_time(clock.now(), -int64_t(clock.now()) - 10), 1u);
    EXPECT_EQ(dispatch_time(DISPATCH_TIME_FOREVER, -5), DISPATCH_TIME_FOREVER);
    EXPECT_EQ(dispatch_time(DISPATCH_TIME_NOW, INT64_MAX) > clock.now(), true);
    EXPECT_LT(dispatch_time(~0ull - 10, 100), DISPATCH_TIME_FOREVER);
}

} // namespace
