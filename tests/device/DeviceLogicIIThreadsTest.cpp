// Threads sharing the device's one connection on the real stack (bus,
// HX-5100 model, kernel driver and user clients, the device object), on the
// harness's virtual clock. Each worker takes part in virtual time, so time
// moves only while every one of them waits: on the bus, or for the
// connection's lock while another call runs.
#include "device/OSXDeviceManager.h"
#include "device/ZrOSXDevice.h"
#include "driver/clients/harness/ClientHarness.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/cf/CFRunLoop.h"
#include "platform/kern/IOService.h"
#include "platform/sys/HXProcess.h"
#include "tests/device/DeviceEventRecorder.h"

#include <atomic>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

template <typename Pred> bool runUntil(Pred done) {
    for (int i = 0; i < 4000 && !done(); ++i)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.005, false);
    return done();
}

class DeviceLogicIIThreads : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(hx::path::map("/tmp"));
        harness = std::make_unique<hx::harness::ClientHarness>();
        ASSERT_TRUE(harness->boot()) << harness->lastError();
        hx::sys::setOwnUid(501);
        manager = std::make_unique<OSXDeviceManager>(nullptr, &client, false);
        ASSERT_TRUE(runUntil([&] { return manager->getCountDevices() == 1; }));
        device = manager->getDevice(0);
        ASSERT_TRUE(device && device->isDeviceOpen());
        hx::kern::waitQuiet();
    }
    void TearDown() override {
        manager.reset();
        harness.reset();
        hx::sys::resetProcessOverrides();
    }

    hx::test::TempRoot root;
    std::unique_ptr<hx::harness::ClientHarness> harness;
    devicetest::DeviceEventRecorder client;
    std::unique_ptr<OSXDeviceManager> manager;
    ZrOSXDevice* device = nullptr;
};

// The entry a worker owns: codec t, register 7 for the first four; input
// pairs 0..2 and output pair 0 of the routing for the others.
struct Entry {
    bool codec;
    uint32_t a, b;
};
Entry entryOf(int t) {
    if (t < 4) return {true, uint32_t(t), 7};
    return t < 7 ? Entry{false, 1, uint32_t(t - 4)} : Entry{false, 0, 0};
}

bool setEntry(ZrOSXDevice& d, const Entry& e, uint32_t value) {
    return e.codec ? d.setWolfsonRegister(e.a, e.b, value) : d.setRouting(e.a, e.b, value);
}

int64_t getEntry(ZrOSXDevice& d, const Entry& e) {
    if (e.codec) return d.getWolfsonRegister(e.a, e.b);
    uint32_t routed = 0;
    return d.getRouting(e.a, e.b, &routed) ? int64_t(routed) : -1;
}

// Eight threads set and read back their own entry while the main thread
// turns the run loop for the state changes the codec writes send (each
// handled by reading the codec back over the same connection).
TEST_F(DeviceLogicIIThreads, EveryThreadReadsBackItsOwnLastValue) {
    constexpr int kThreads = 8, kRounds = 24;
    struct Mismatch {
        int thread, round;
        int64_t seen;
    };
    std::mutex failuresLock;
    std::vector<Mismatch> failures;
    std::atomic<int> finished{0}, calls{0};
    auto work = [&](hx::clock::Reservation reserved, int t) {
        hx::clock::Participant part(std::move(reserved));
        const Entry e = entryOf(t);
        for (int round = 0; round < kRounds; ++round) {
            const uint32_t value = uint32_t(t * 40 + round);
            const int64_t seen = setEntry(*device, e, value) ? getEntry(*device, e) : -1;
            calls += 2;
            if (seen != int64_t(value)) {
                std::lock_guard<std::mutex> g(failuresLock);
                failures.push_back({t, round, seen});
            }
        }
        ++finished;
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(work, hx::clock::Reservation(), t);
    const bool done = runUntil([&] { return finished == kThreads; });
    {
        hx::clock::Idle idle; // the joins block outside the clock
        for (std::thread& th : threads)
            th.join();
    }
    ASSERT_TRUE(done) << "finished " << finished << " of " << kThreads;
    EXPECT_EQ(calls, kThreads * kRounds * 2);
    for (const Mismatch& m : failures)
        ADD_FAILURE() << "thread " << m.thread << " round " << m.round << " read " << m.seen;
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(getEntry(*device, entryOf(t)), t * 40 + kRounds - 1) << "thread " << t;
}

} // namespace
