// The device through the server host: an active device over the scripted
// kernel, which the host learns through the plug-in's own driver interface,
// starts, and whose IO thread (on the virtual clock) cycles against rings a
// kernel thread of the test fills at the clock's pace, as the kernel
// driver's input path would.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "abi/AudioSM.h"
#include "driver/engine/stream/AudioSMKernel.h"
#include "platform/base/HXClock.h"
#include "platform/coreaudio/ServerHost.h"
#include "tests/plugins/server/ServerDeviceFixture.h"

namespace {

int32_t sample3(const uint8_t* p) {
    return int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24) >> 8;
}

// The kernel's input path: 48 frames every millisecond of the clock, each
// frame's samples the running frame number, and a stamp per block.
class KernelFeeder {
public:
    explicit KernelFeeder(AudioSM* ring) {
        mWriter.bind(ring, AudioSMGeometry{});
        mWriter._init(2, 48000, 0);
        feed(hx::clock::nowNanos(), 4096); // the stream runs before the start
    }
    void start() {
        hx::clock::Reservation seat;
        mThread = std::thread([this, s = std::move(seat)]() mutable {
            hx::clock::Participant me(std::move(s));
            uint64_t next = hx::clock::nowNanos();
            while (!mStop.load()) {
                next += 1000000;
                hx::clock::sleepUntil(next);
                feed(next, 48);
            }
        });
    }
    void stop() {
        mStop = true;
        hx::clock::Idle idle;
        if (mThread.joinable()) mThread.join();
    }
    ~KernelFeeder() { stop(); }

private:
    void feed(uint64_t now, uint32_t frames) {
        std::vector<int32_t> block(size_t(frames) * 2);
        for (uint32_t f = 0; f < frames; ++f)
            block[2 * f] = block[2 * f + 1] = int32_t(uint32_t(mNext + f) << 8);
        mNext += frames;
        std::lock_guard<std::mutex> g(mLock);
        mWriter.writeFrames(block.data(), frames, 0);
        mWriter.AddTimeStamp(now, frames, true);
    }
    AudioSMWriter mWriter;
    std::mutex mLock;
    std::thread mThread;
    std::atomic<bool> mStop{false};
    int32_t mNext = 0;
};

using DeviceHost = servertest::ServerDevice;

} // namespace

TEST_F(DeviceHost, TheHostCyclesTheDeviceAgainstTheKernelsRings) {
    KernelFeeder kernel(reinterpret_cast<AudioSM*>(service->area(4)));
    std::vector<int32_t> heard;
    int32_t played = 0;
    hx::coreaudio::ServerHost& host = serverHost();
    const auto info = host.device(id);
    ASSERT_TRUE(info && info->usable);
    EXPECT_EQ(info->uid, "KERNEL-UID_CA");
    EXPECT_EQ(info->ringPeriod, 65536u);
    EXPECT_EQ(info->streams[0].at(0).format.mBytesPerFrame, 6u);
    UInt32 client = 0;
    ASSERT_EQ(host.addClient(id, 4242, nullptr, &client), 0);
    hx::coreaudio::ServerClientIO io;
    Float64 firstInputTime = 1;
    io.sink = [&](const void* in, UInt32 bytes, const AudioServerPlugInIOCycleInfo& cycle) {
        if (heard.empty()) firstInputTime = cycle.mInputTime.mSampleTime;
        const auto* p = static_cast<const uint8_t*>(in);
        for (UInt32 i = 0; i < bytes; i += 6)
            heard.push_back(sample3(p + i));
    };
    io.source = [&](void* out, UInt32 bytes, const AudioServerPlugInIOCycleInfo&) {
        auto* p = static_cast<uint8_t*>(out);
        for (UInt32 i = 0; i < bytes; i += 6, ++played) {
            std::memcpy(p + i, &played, 3);
            std::memcpy(p + i + 3, &played, 3);
        }
    };
    host.setClientIO(id, io);
    kernel.start();
    ASSERT_EQ(host.startIO(id, client), 0);
    clock.runFor(1500000000); // over one ring period
    EXPECT_EQ(host.stopIO(id, client), 0);
    const auto stats = host.statistics();
    EXPECT_GT(stats.cycles, 100u);
    EXPECT_EQ(stats.canaryHits, 0u);
    EXPECT_EQ(stats.stampErrors, 0u);
    EXPECT_EQ(stats.drops, 0u);
    EXPECT_EQ(host.removeClient(id, client), 0);
    host.shutdown();
    kernel.stop();

    const auto n = device->counters();
    EXPECT_EQ(n.inUnderruns + n.outUnderruns, 0u);
    EXPECT_EQ(n.inOverloads + n.outOverloads, 0u);
    ASSERT_GT(heard.size(), 60000u);
    // The first input cycle lies before the start by a cycle and the input
    // safety offset: those frames are silence, then the stream follows from
    // the start on, continuous: nothing lost. (The stream's frames count
    // from 0 and the start lies past 4096, so no frame of it is 0.)
    ASSERT_LT(firstInputTime, 0.0);
    size_t first = 0;
    while (first < heard.size() && heard[first] == 0)
        ++first;
    EXPECT_EQ(first, size_t(-firstInputTime));
    ASSERT_LT(first, heard.size());
    EXPECT_GT(heard[first], 4096);
    for (size_t i = first + 1; i < heard.size(); ++i)
        ASSERT_EQ(heard[i], heard[first] + int32_t(i - first)) << i;
    EXPECT_GT(played, 60000);
}
