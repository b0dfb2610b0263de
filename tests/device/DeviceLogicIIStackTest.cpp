// Sorvik channel packing of the audio thread's cycle, against a plain
// frame-by-frame statement of the layout: every channel count the usage
// lists can describe and a few past them, usage patterns of every shape,
// in place, in both directions. Then the state changes as they come on the
// real stack in this process (bus, HX-5100 model, kernel driver and user
// clients, the device manager and its device): each from its own sender,
// another client's ring, a broken stream, a sleep and a wake.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "abi/DriverSM.h"
#include "abi/QN_Dispatch.h"
#include "abi/QN_StateChange.h"
#include "device/OSXDeviceManager.h"
#include "device/QnAudioPluginClassCommons.h"
#include "device/ZrOSXDevice.h"
#include "driver/clients/harness/ClientHarness.h"
#include "driver/clients/harness/HarnessClient.h"
#include "driver/engine/ZrDevice.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/kern/IOLib.h"
#include "platform/sys/HXProcess.h"
#include "tests/device/DeviceEventRecorder.h"

namespace {

constexpr uint32_t kFrames = 5;

// The layout, frame by frame: packed, the k-th channel is the k-th channel
// in use and the rest are silent; unpacked, the reverse.
std::vector<int32_t> packedReference(const std::vector<int32_t>& in, uint32_t channels,
                                     const bool usage[16]) {
    std::vector<int32_t> out(in.size(), 0);
    for (uint32_t f = 0; f < kFrames; ++f) {
        uint32_t k = 0;
        for (uint32_t c = 0; c < channels && c < 16; ++c)
            if (usage[c]) out[f * channels + k++] = in[f * channels + c];
    }
    return out;
}

std::vector<int32_t> unpackedReference(const std::vector<int32_t>& in, uint32_t channels,
                                       const bool usage[16]) {
    std::vector<int32_t> out(in.size(), 0);
    for (uint32_t f = 0; f < kFrames; ++f) {
        uint32_t k = 0;
        for (uint32_t c = 0; c < channels && c < 16; ++c)
            if (usage[c]) out[f * channels + c] = in[f * channels + k++];
    }
    return out;
}

std::vector<int32_t> numbered(uint32_t channels) {
    std::vector<int32_t> v(size_t(channels) * kFrames);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = int32_t(i + 1);
    return v;
}

TEST(SorvikPacking, MatchesTheFrameByFrameLayout) {
    // Usage patterns as bit masks over the 16 list entries.
    const uint32_t patterns[] = {0x0000, 0xFFFF, 0x5555, 0xAAAA, 0x0001, 0x8000, 0x0F0F,
                                 0xF0F0, 0x0003, 0x0C00, 0x1248, 0x7FFE, 0x0005};
    const uint32_t counts[] = {1, 2, 3, 4, 6, 8, 10, 12, 15, 16, 17, 18, 24};
    for (uint32_t mask : patterns) {
        bool usage[16];
        for (uint32_t k = 0; k < 16; ++k)
            usage[k] = mask >> k & 1;
        for (uint32_t channels : counts) {
            SCOPED_TRACE(testing::Message() << "usage " << std::hex << mask << std::dec << ", "
                                            << channels << " channels");
            const auto original = numbered(channels);
            auto packed = original;
            QnAudioPluginClassCommons::packSorvikOutput(packed.data(), channels, kFrames, usage, 4);
            EXPECT_EQ(packed, packedReference(original, channels, usage));
            auto unpacked = original;
            QnAudioPluginClassCommons::unpackSorvikInput(unpacked.data(), channels, kFrames, usage);
            EXPECT_EQ(unpacked, unpackedReference(original, channels, usage));
            // Unpacking what was packed gives back every channel in use.
            QnAudioPluginClassCommons::unpackSorvikInput(packed.data(), channels, kFrames, usage);
            for (uint32_t i = 0; i < original.size(); ++i) {
                const uint32_t c = i % channels;
                EXPECT_EQ(packed[i], c < 16 && usage[c] ? original[i] : 0) << "sample " << i;
            }
        }
    }
}

TEST(SorvikPacking, NoFramesOrNoChannelsTouchNothing) {
    const bool usage[16] = {true, false, true};
    std::vector<int32_t> samples{7, 8, 9};
    QnAudioPluginClassCommons::packSorvikOutput(samples.data(), 3, 0, usage, 4);
    QnAudioPluginClassCommons::unpackSorvikInput(samples.data(), 3, 0, usage);
    QnAudioPluginClassCommons::packSorvikOutput(samples.data(), 0, 1, usage, 4);
    QnAudioPluginClassCommons::unpackSorvikInput(samples.data(), 0, 1, usage);
    EXPECT_EQ(samples, (std::vector<int32_t>{7, 8, 9}));
}

// ---- State changes on the real stack

template <typename Pred> bool runUntil(Pred done) {
    for (int i = 0; i < 4000 && !done(); ++i)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.005, false);
    return done();
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + what.size()))
        ++n;
    return n;
}

struct Recorder : devicetest::DeviceEventRecorder {
    void onOtherClientAttached(ZrOSXDevice*) override { events.push_back("attached"); }
    void onOtherClientDetached(ZrOSXDevice*) override { events.push_back("detached"); }
    void onDataSourceChanged(ZrOSXDevice*) override { events.push_back("dataSource"); }
    std::size_t count(const std::string& e) const {
        return std::size_t(std::count(events.begin(), events.end(), e));
    }
};

class StateChangeStack : public ::testing::Test {
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
        settle();
    }
    void TearDown() override {
        second.reset();
        manager.reset();
        harness.reset();
        hx::sys::resetProcessOverrides();
    }
    void settle() {
        hx::kern::waitQuiet();
        for (int i = 0; i < 20; ++i)
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.005, false);
    }
    // The harness's client streams: opened, configured, routed, its ring attached.
    void stream() {
        ASSERT_TRUE(harness->openClient() && harness->configure() && harness->setRouting() &&
                    harness->attachRing())
            << harness->lastError();
        harness->run(100000);
        ASSERT_EQ(harness->ringState(), 1u);
        settle();
    }
    // The next output block is due in the past: its completion comes back
    // late and the kernel tells every client the stream broke.
    void breakStream() {
        ZrIsocStreaming& iso = harness->device()->getIsocStreaming();
        uint32_t now = 0;
        ASSERT_TRUE(iso.getCurrentFrame(now));
        iso.outputRing().mNextFrame.store(now - 10);
        harness->run(60000);
        ASSERT_FALSE(harness->device()->isStreamingStarted());
    }

    hx::test::TempRoot root;
    std::unique_ptr<hx::harness::ClientHarness> harness;
    Recorder client;
    std::unique_ptr<OSXDeviceManager> manager;
    ZrOSXDevice* device = nullptr;
    Recorder secondClient;
    std::unique_ptr<OSXDeviceManager> second;
};

// Code 11 comes when another client attaches its ring, not when it opens;
// its detach is 12. The device's own open and the harness's client that only
// opened call nothing.
TEST_F(StateChangeStack, AnotherClientsRingAttachAndDetachReachTheCallbacksOnce) {
    ASSERT_TRUE(harness->openClient()) << harness->lastError();
    hx::harness::HarnessClient third;
    ASSERT_TRUE(third.openClient()) << third.lastError();
    settle();
    EXPECT_EQ(client.count("attached"), 0u);
    EXPECT_EQ(client.count("detached"), 0u);
    ASSERT_TRUE(third.configure() && third.setRouting() && third.attachRing()) << third.lastError();
    ASSERT_TRUE(runUntil([&] { return client.count("attached") == 1; }));
    settle();
    EXPECT_EQ(client.count("attached"), 1u);
    EXPECT_EQ(client.count("detached"), 0u);
    third.stop();
    ASSERT_TRUE(runUntil([&] { return client.count("detached") == 1; }));
    settle();
    EXPECT_EQ(client.count("attached"), 1u);
    EXPECT_EQ(client.count("detached"), 1u);
}

// Code 2: stage 1 (Req 31), then stage 2 (Req 32) after 100 ms, and the
// stream runs again. With two device objects on the device, the one that
// claims the break first recovers it; the other's Req 31 is refused and it
// sends no Req 32.
TEST_F(StateChangeStack, ABrokenStreamIsRecoveredOnceInTwoStages) {
    for (int objects : {1, 2}) {
        SCOPED_TRACE(testing::Message() << objects << " device objects");
        if (objects == 2) {
            second = std::make_unique<OSXDeviceManager>(nullptr, &secondClient, false);
            ASSERT_TRUE(runUntil([&] { return second->getCountDevices() == 1; }));
            ASSERT_TRUE(second->getDevice(0)->isDeviceOpen());
            settle();
        }
        if (objects == 1) stream();
        hx::log::Capture log;
        breakStream();
        ASSERT_TRUE(runUntil([&] {
            return harness->device()->isStreamingStarted() &&
                   occurrences(log.text(), "QnASPlugInDevice received STC_STREAM_BROKEN\n") ==
                       std::size_t(objects);
        })) << log.text();
        settle();
        const std::string t = log.text();
        EXPECT_EQ(occurrences(t, "QnASPlugInDevice received STC_STREAM_BROKEN\n"),
                  std::size_t(objects));
        EXPECT_EQ(occurrences(t, "ZrDevice::handleStreamBroken stage 2\n"), 1u) << t;
        EXPECT_LT(t.find("QnASPlugInDevice received STC_STREAM_BROKEN\n"),
                  t.find("ZrDevice::handleStreamBroken stage 2\n"));
        EXPECT_TRUE(harness->device()->isConfigured());
        // The harness's client streams again: its ring is attached anew and
        // input arrives.
        const uint64_t inBefore = harness->report().framesIn;
        harness->run(300000);
        EXPECT_EQ(harness->ringState(), 1u);
        EXPECT_GT(harness->report().framesIn, inBefore + 48u * 150);
    }
    EXPECT_EQ(harness->report().streamBreaks, 2u);
}

// Code 13: a sleep and a wake through the power hook; the layer waits 3 s
// (virtual time) and recovers the stream as for code 2.
TEST_F(StateChangeStack, AWakeIsRecoveredAfterThreeSeconds) {
    stream();
    hx::log::Capture log;
    harness->systemSleep();
    settle();
    harness->systemWakeUp();
    const uint64_t woke = hx::clock::nowNanos();
    uint64_t recoveredAt = 0;
    ASSERT_TRUE(runUntil([&] {
        if (!recoveredAt &&
            log.text().find("ZrDevice::handleStreamBroken stage 2\n") != std::string::npos)
            recoveredAt = hx::clock::nowNanos();
        return recoveredAt && harness->device()->isStreamingStarted();
    })) << log.text();
    settle();
    const std::string t = log.text();
    EXPECT_EQ(occurrences(t, "QnASPlugInDevice received STC_STREAM_BROKEN\n"), 1u) << t;
    EXPECT_EQ(occurrences(t, "ZrDevice::handleStreamBroken stage 2\n"), 1u) << t;
    EXPECT_GE(recoveredAt - woke, 3'100'000'000ull);
    const uint64_t inBefore = harness->report().framesIn;
    harness->run(300000);
    EXPECT_EQ(harness->ringState(), 1u);
    EXPECT_GT(harness->report().framesIn, inBefore + 48u * 150);
}

struct CycleCounter {
    std::atomic<uint64_t> calls{0};
    static OSStatus proc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*,
                         const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*,
                         void* data) {
        ++static_cast<CycleCounter*>(data)->calls;
        return 0;
    }
};

// Code 10 while the device's own procedure streams: another client's
// data-source request (19). The device re-prepares, the callback is called
// once and the procedure keeps getting cycles at its rate.
TEST_F(StateChangeStack, DataSourceOfAnotherClientWhileAProcedureStreams) {
    ASSERT_TRUE(harness->openClient()) << harness->lastError();
    CycleCounter counter;
    IOProcEntry* id = device->addIOProcID(&CycleCounter::proc, &counter);
    ASSERT_TRUE(device->onDeviceStartProcOrID(id));
    ASSERT_TRUE(runUntil([&] { return counter.calls > 20; }));
    const uint32_t rate = device->cycleRate();
    OSXDispatch rec{};
    ASSERT_EQ(hx::harness::callClient(harness->client().connection(), 19, &rec), kIOReturnSuccess);
    ASSERT_TRUE(runUntil([&] { return client.count("dataSource") == 1; }));
    const uint64_t calls = counter.calls;
    ASSERT_TRUE(runUntil([&] { return counter.calls > calls + 20; }));
    EXPECT_EQ(device->cycleRate(), rate);
    EXPECT_TRUE(device->isRunningStream());
    settle();
    EXPECT_EQ(client.count("dataSource"), 1u);
    ASSERT_TRUE(device->onDeviceStopProcOrID(id));
    settle();
    device->removeIOProcID(id);
}

// Code 3 while the device's own procedure streams: another client's new
// settings (request 6 with another rate). The device re-prepares and the
// procedure keeps getting cycles, at the new rate.
TEST_F(StateChangeStack, NewConfigOfAnotherClientWhileAProcedureStreams) {
    ASSERT_TRUE(harness->openClient()) << harness->lastError();
    CycleCounter counter;
    IOProcEntry* id = device->addIOProcID(&CycleCounter::proc, &counter);
    ASSERT_TRUE(device->onDeviceStartProcOrID(id));
    ASSERT_TRUE(runUntil([&] { return counter.calls > 20; }));
    const uint32_t rate = device->cycleRate();
    ASSERT_TRUE(rate == 44100u || rate == 48000u) << rate;
    const uint32_t newRate = rate == 44100u ? 48000u : 44100u;

    // The settings at 8..28 of the record: rate, channels and bits each way.
    hx::log::Capture log;
    OSXDispatch rec{};
    const uint32_t settings[6] = {newRate, 2, 24, 2, 24, 0};
    std::memcpy(reinterpret_cast<uint8_t*>(&rec) + 8, settings, sizeof settings);
    ASSERT_EQ(hx::harness::callClient(harness->client().connection(), 6, &rec), kIOReturnSuccess);
    ASSERT_TRUE(runUntil([&] { return device->cycleRate() == newRate; }));
    const uint64_t calls = counter.calls;
    ASSERT_TRUE(runUntil([&] { return counter.calls > calls + 20; }));
    EXPECT_EQ(device->cycleRate(), newRate);
    EXPECT_EQ(device->currentSettings().Frequency, newRate);
    EXPECT_TRUE(device->isRunningStream());
    // The handler took it as code 3, detaching the audio thread once.
    EXPECT_EQ(occurrences(log.text(), "STC_NewConfig, callDetach\n"), 1u);

    ASSERT_TRUE(device->onDeviceStopProcOrID(id));
    settle();
    device->removeIOProcID(id);
}

} // namespace
