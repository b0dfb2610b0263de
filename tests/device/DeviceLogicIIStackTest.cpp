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
#include "abi/ServiceClass.h"
#include "device/OSXAsioRegistry.h"
#include "device/DriverConnection.h"
#include "device/QnAudioPluginClassCommons.h"
#include "device/SorvikPacking.h"
#include "device/ZrOSXDevice.h"
#include "driver/clients/harness/ClientHarness.h"
#include "driver/clients/harness/HarnessClient.h"
#include "driver/engine/ZrDevice.h"
#include "abi/ProductIdentities.h"
#include "platform/usb/devices/ClassAudioModel.h"
#include "platform/iokit/HXIOKit.h"
#include "driver/engine/ZrDeviceControls.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/kern/IOLib.h"
#include "platform/sys/HXProcess.h"
#include "tests/device/DeviceEventRecorder.h"
#include "tests/support/ClassControlsLayout.h"

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

// Each way of moving the channels (the plain loops, the shuffles where the
// processor has them, and the one the device layer picks) against the
// layout; a guard after the last frame stays untouched.
TEST(SorvikPacking, MatchesTheFrameByFrameLayout) {
    using sorvikpacking::Path;
    // Usage patterns as bit masks over the 16 list entries.
    const uint32_t patterns[] = {0x0000, 0xFFFF, 0x5555, 0xAAAA, 0x0001, 0x8000,
                                 0x0F0F, 0xF0F0, 0x0003, 0x0C00, 0x1248, 0x7FFE,
                                 0x0005, 0x00FE, 0xFF00, 0x8001, 0x0100, 0x0180};
    const uint32_t counts[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 24};
    std::vector<Path> paths = {Path::Scalar};
    if (sorvikpacking::vectorPathAvailable()) paths.push_back(Path::Vector);
    constexpr int32_t kGuard = 0x5A5A5A5A;
    for (Path path : paths) {
        for (uint32_t mask : patterns) {
            bool usage[16];
            for (uint32_t k = 0; k < 16; ++k)
                usage[k] = mask >> k & 1;
            for (uint32_t channels : counts) {
                SCOPED_TRACE(testing::Message()
                             << (path == Path::Scalar ? "loops" : "shuffles") << ", usage "
                             << std::hex << mask << std::dec << ", " << channels << " channels");
                const auto original = numbered(channels);
                const size_t n = original.size();
                auto guarded = [&](const std::vector<int32_t>& v) {
                    auto g = v;
                    g.push_back(kGuard);
                    return g;
                };
                auto packed = guarded(original);
                sorvikpacking::pack(packed.data(), channels, kFrames, usage, path);
                EXPECT_EQ(packed, guarded(packedReference(original, channels, usage)));
                auto unpacked = guarded(original);
                sorvikpacking::unpack(unpacked.data(), channels, kFrames, usage, path);
                EXPECT_EQ(unpacked, guarded(unpackedReference(original, channels, usage)));
                // Unpacking what was packed gives back every channel in use.
                sorvikpacking::unpack(packed.data(), channels, kFrames, usage, path);
                for (size_t i = 0; i < n; ++i) {
                    const uint32_t c = uint32_t(i % channels);
                    EXPECT_EQ(packed[i], c < 16 && usage[c] ? original[i] : 0) << "sample " << i;
                }
                EXPECT_EQ(packed[n], kGuard);
            }
        }
    }
    // The device layer's own entry points (the way it picks) give the same.
    const bool usage[16] = {true,  false, true, true,  false, false, true,  false,
                            false, true,  true, false, true,  false, false, true};
    for (uint32_t channels : counts) {
        SCOPED_TRACE(testing::Message() << channels << " channels");
        const auto original = numbered(channels);
        auto packed = original;
        QnAudioPluginClassCommons::packSorvikOutput(packed.data(), channels, kFrames, usage, 4);
        EXPECT_EQ(packed, packedReference(original, channels, usage));
        auto unpacked = original;
        QnAudioPluginClassCommons::unpackSorvikInput(unpacked.data(), channels, kFrames, usage);
        EXPECT_EQ(unpacked, unpackedReference(original, channels, usage));
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
    void onVolumeChanged(ZrOSXDevice*) override { events.push_back("volume"); }
    void onMuteChanged(ZrOSXDevice*) override { events.push_back("mute"); }
    std::size_t count(const std::string& e) const {
        return std::size_t(std::count(events.begin(), events.end(), e));
    }
};

class StateChangeStack : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(hx::path::map("/tmp"));
        harness = std::make_unique<hx::harness::ClientHarness>(options());
        ASSERT_TRUE(harness->boot()) << harness->lastError();
        booted();
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
    // The machine: the HX-5100 unless a fixture plugs another device.
    virtual hx::harness::HarnessOptions options() const { return {}; }
    // Booted, before the device manager looks.
    virtual void booted() {}
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

// ---- The class-compliant model's controls on the real stack

using hx::testsupport::kClassMax;
using hx::testsupport::kClassMin;

// A product row of the kernel's class controls: the names its records carry
// each way, as the device layer shows them.
struct ClassRow {
    const char* name;
    uint16_t vendor, product;
    std::vector<std::string> outs, ins;
    bool trunk = false;
};

// The device layer on a class-compliant interface plugged under the row's
// identity (full speed, not Merrow-compatible).
class ClassControlsStack : public StateChangeStack, public ::testing::WithParamInterface<ClassRow> {
protected:
    ClassControlsStack()
        : model(std::make_shared<hx::usb::devices::ClassAudioModel>(
              kUSBHostConnectionSpeedFull,
              hx::usb::devices::HX5100Identity{GetParam().vendor, GetParam().product, 0x0100, "M",
                                               "P", ""},
              layout())),
          row(usbFindDeviceControlsRow(GetParam().vendor, GetParam().product)) {}
    hx::harness::HarnessOptions options() const override {
        hx::harness::HarnessOptions o;
        o.vendorID = GetParam().vendor;
        o.productID = GetParam().product;
        o.highSpeed = false;
        o.model = model;
        return o;
    }
    void booted() override {
        APISpecificFeatures f;
        std::memset(&f, 0, sizeof f);
        f.mLoaded = 1;
        harness->device()->initialSettings(&f);
    }
    // The harness plugs before the features record is given, so the device
    // is first read as one of the Merrow family, which would take a third
    // streaming interface for its MIDI one: the interface selector's second
    // output interface stays out here (the kernel tests move the output to
    // it).
    static hx::usb::devices::ClassAudioLayout layout() {
        hx::usb::devices::ClassAudioLayout l =
            hx::testsupport::classLayoutOf(GetParam().vendor, GetParam().product);
        l.secondOutput = false;
        return l;
    }
    const XsGroupRow& group(bool isInput) const { return isInput ? row->in : row->out; }
    // The record the controls of a direction act on: the first in mode 1,
    // else the one the data source selects.
    const XsEndpointRow& recordInUse(bool isInput) {
        const XsGroupRow& g = group(isInput);
        const uint32_t id = g.mode == 1 ? 1 : device->getDataSourceID(isInput);
        return g.endpoints[id - 1];
    }
    // Each callback of `what` since `before`, once the kernel has told.
    bool waitFor(const std::string& what, std::size_t before) {
        const bool came = runUntil([&] { return client.count(what) > before; });
        settle();
        return came && client.count(what) == before + 1;
    }

    std::shared_ptr<hx::usb::devices::ClassAudioModel> model;
    const XsProductRow* row;
};

std::string cfText(CFStringRef s) {
    if (!s) return "<null>";
    char buffer[256] = {};
    CFStringGetCString(s, buffer, sizeof buffer, kCFStringEncodingUTF8);
    CFRelease(s);
    return buffer;
}

TEST_P(ClassControlsStack, DataSourceCountsAndNamesFollowTheRow) {
    ASSERT_NE(row, nullptr);
    for (bool isInput : {false, true}) {
        SCOPED_TRACE(isInput ? "input" : "output");
        const auto& names = isInput ? GetParam().ins : GetParam().outs;
        EXPECT_EQ(device->getNumDataSources(isInput), names.size());
        for (uint32_t id = 1; id <= names.size(); ++id) {
            CFStringRef name = nullptr;
            EXPECT_EQ(device->getDataSourcesName(isInput, id, &name), kIOReturnSuccess);
            EXPECT_EQ(cfText(name), names[id - 1]) << "id " << id;
        }
        CFStringRef past = nullptr;
        device->getDataSourcesName(isInput, uint32_t(names.size()) + 1, &past);
        EXPECT_EQ(cfText(past), isInput ? "Input" : "Output");
        if (isInput && GetParam().trunk) continue; // any other id is the analog input there
        const uint64_t calls = hx::iokit::connectCallCount();
        EXPECT_EQ(device->setDataSource(isInput, uint32_t(names.size()) + 1),
                  IOReturn(kIOReturnBadArgument));
        EXPECT_EQ(device->setDataSource(isInput, 0), IOReturn(kIOReturnBadArgument));
        EXPECT_EQ(hx::iokit::connectCallCount(), calls);
    }
}

// Mute (request 10, once per change) and each volume element (request 12,
// once for a repeated value) reach the feature unit of the record in use,
// and the kernel's 7 and 6 come back as the callbacks.
TEST_P(ClassControlsStack, MuteAndVolumeReachTheFeatureUnit) {
    ASSERT_NE(row, nullptr);
    for (bool isInput : {false, true}) {
        SCOPED_TRACE(isInput ? "input" : "output");
        const XsEndpointRow& record = recordInUse(isInput);
        const uint8_t unit = uint8_t(record.volumeUnit >> 8);
        EXPECT_EQ(device->getMute(isInput, 0), 0);
        EXPECT_EQ(device->getMute(isInput, 1), -1);
        EXPECT_FALSE(device->setMute(isInput, 1, 1));
        for (uint32_t value : {1u, 0u}) {
            SCOPED_TRACE(testing::Message() << "mute " << value);
            const std::size_t mutes = client.count("mute");
            uint64_t calls = hx::iokit::connectCallCount();
            ASSERT_TRUE(device->setMute(isInput, 0, value));
            EXPECT_EQ(hx::iokit::connectCallCount() - calls, 1u);
            EXPECT_TRUE(waitFor("mute", mutes));
            EXPECT_EQ(model->mute(unit), value != 0);
            EXPECT_EQ(device->getMute(isInput, 0), int32_t(value));
            calls = hx::iokit::connectCallCount();
            ASSERT_TRUE(device->setMute(isInput, 0, value));
            EXPECT_EQ(hx::iokit::connectCallCount(), calls);
        }
        // A master-only record has element 0; a per-channel one 1..n.
        std::vector<uint32_t> elements;
        if (record.channels == -1) elements.push_back(0);
        for (int c = 1; c <= record.channels; ++c)
            elements.push_back(uint32_t(c));
        EXPECT_FALSE(device->canVolume(isInput, record.channels == -1 ? 1 : 0));
        EXPECT_FALSE(device->canVolume(isInput, uint32_t(std::max<int>(record.channels, 1)) + 1));
        float scalar = 0.5f;
        for (uint32_t element : elements) {
            SCOPED_TRACE(testing::Message() << "element " << element);
            const int16_t expected =
                int16_t(kClassMin + int32_t(double(kClassMax - kClassMin) * scalar));
            const std::size_t volumes = client.count("volume");
            uint64_t calls = hx::iokit::connectCallCount();
            ASSERT_TRUE(device->setVolumeScalar(isInput, element, scalar));
            EXPECT_EQ(hx::iokit::connectCallCount() - calls, 1u);
            EXPECT_TRUE(waitFor("volume", volumes));
            EXPECT_EQ(model->volume(unit, int(element)), expected);
            float dB = 0;
            ASSERT_TRUE(device->getVolumeDB(isInput, element, &dB));
            EXPECT_FLOAT_EQ(dB, float(expected) / 256.0f);
            calls = hx::iokit::connectCallCount();
            ASSERT_TRUE(device->setVolumeScalar(isInput, element, scalar));
            EXPECT_EQ(hx::iokit::connectCallCount(), calls);
            scalar /= 2;
        }
    }
}

// Every data source of a direction in turn: request 19, the selector unit
// (where the group has one) set to it, and the kernel's 10 as the callback.
TEST_P(ClassControlsStack, DataSourceReachesTheSelectorUnit) {
    ASSERT_NE(row, nullptr);
    for (bool isInput : {false, true}) {
        if (isInput && GetParam().trunk) continue; // the Trunk input has its own row
        const XsGroupRow& g = group(isInput);
        for (uint32_t id = g.count; id >= 1; --id) {
            SCOPED_TRACE(testing::Message() << (isInput ? "input " : "output ") << id);
            const std::size_t changes = client.count("dataSource");
            const uint64_t calls = hx::iokit::connectCallCount();
            ASSERT_EQ(device->setDataSource(isInput, id), kIOReturnSuccess);
            EXPECT_EQ(hx::iokit::connectCallCount() - calls, 1u);
            EXPECT_TRUE(waitFor("dataSource", changes));
            EXPECT_EQ(device->getDataSourceID(isInput), id);
            if (g.selectorUnit) {
                EXPECT_EQ(model->selector(uint8_t(g.selectorUnit >> 8)), id);
            }
        }
    }
}

const ClassRow kClassRows[] = {
    {"Typical", kCadenzaVendorID, kCadenzaTypicalProductID, {"HP 1+2", "Out 1+2"}, {"In 1+2"}},
    {"Selector",
     kCadenzaVendorID,
     kCadenzaSelectorProductID,
     {"Output", "Headphone"},
     {"Mic", "Line"}},
    {"Sync", kCadenzaVendorID, kCadenzaSyncProductID, {"Out"}, {"Input"}},
    {"VendorControl", kCadenzaVendorID, kCadenzaVendorControlProductID, {"Speaker"}, {"Mic"}},
    {"Meter", kCadenzaVendorID, kCadenzaMeterProductID, {"Out 1+2"}, {"In 1+2"}},
    {"Trunk",
     kTrunkVendorID,
     kTrunkProductID,
     {"Out 1+2"},
     {"Analog", "Analog - Sync Digital", "SPDIF (RCA)"},
     true},
    // The output is a choice of USB interface; no selector unit.
    {"InterfaceSelector",
     kCadenzaVendorID,
     kCadenzaInterfaceSelectorProductID,
     {"Analog", "S/PDIF"},
     {"In 1+2"}},
};

INSTANTIATE_TEST_SUITE_P(ByProduct, ClassControlsStack, ::testing::ValuesIn(kClassRows),
                         [](const auto& info) { return std::string(info.param.name); });

// The Trunk input: id 3 selects the selector's second input with the sync
// byte 2, id 2 the first input with sync byte 2, id 1 the first with 1; each
// through request 19 and the callback, and the device reconfigured.
class TrunkControlsStack : public ClassControlsStack {};

TEST_P(TrunkControlsStack, InputIdsSetTheSelectorAndTheSyncByte) {
    ASSERT_NE(row, nullptr);
    struct Step {
        uint32_t id;
        uint8_t selector, sync;
    };
    for (const Step& step : {Step{3, 2, 2}, Step{2, 1, 2}, Step{1, 1, 1}, Step{3, 2, 2}}) {
        SCOPED_TRACE(testing::Message() << "id " << step.id);
        const std::size_t changes = client.count("dataSource");
        ASSERT_EQ(device->setDataSource(true, step.id), kIOReturnSuccess);
        EXPECT_TRUE(waitFor("dataSource", changes));
        EXPECT_EQ(device->getDataSourceID(true), step.id);
        EXPECT_EQ(model->selector(uint8_t(row->in.selectorUnit >> 8)), step.selector);
        EXPECT_EQ(device->driverSM()->mControls.cSync.mSelection, step.sync);
        EXPECT_EQ(device->driverSM()->mControls.cIn.iSelector, uint8_t(1u << (step.selector - 1)));
    }
}

INSTANTIATE_TEST_SUITE_P(Trunk, TrunkControlsStack, ::testing::Values(kClassRows[5]),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Sorvik on the real stack: the first generation's channel map

// A first-generation Farlane (product 4) with its control plane: UID, name
// and the channel map the kernel keeps and sends.
class SorvikStack : public StateChangeStack {
protected:
    hx::harness::HarnessOptions options() const override {
        hx::harness::HarnessOptions o;
        o.device = hx::harness::DeviceKind::Farlane1;
        o.rate = 48000;
        return o;
    }
    std::unique_ptr<DriverConnection> otherClient() {
        io_iterator_t it = 0;
        if (IOServiceGetMatchingServices(0, IOServiceMatching(kZrServiceClassName), &it) !=
            KERN_SUCCESS)
            return nullptr;
        io_service_t service = IOIteratorNext(it);
        IOObjectRelease(it);
        auto c = std::make_unique<DriverConnection>(service);
        IOObjectRelease(service);
        return c->ioIsOpen() ? std::move(c) : nullptr;
    }
    // A dispatch code through request 35 on another client's connection,
    // with its data; the reply's data back.
    static bool dispatch(DriverConnection& c, uint32_t code, const void* data, size_t bytes,
                         void* reply = nullptr, size_t replyBytes = 0) {
        DriverConnection::RecordGuard g(c);
        std::memset(g.record().payload, 0, sizeof g.record().payload);
        std::memcpy(g.record().payload, &code, sizeof code);
        if (data) std::memcpy(g.record().payload + 4, data, bytes);
        if (!c.callDriver(35)) return false;
        if (reply) std::memcpy(reply, g.record().payload + 4, replyBytes);
        return true;
    }
    static uint32_t usageBits(ZrOSXDevice& d) {
        bool in[16], out[16];
        d.getSorvikUsage(in, out);
        uint32_t bits = 0;
        for (uint32_t k = 0; k < 16; ++k)
            bits |= (in[k] ? 1u << k : 0) | (out[k] ? 1u << (16 + k) : 0);
        return bits;
    }
};

std::vector<int32_t> mapWords(const QN_Sorvik_ChannelMap& m) {
    std::vector<int32_t> v(m.mEInputMap, m.mEInputMap + 8);
    v.insert(v.end(), m.mEOutputMap, m.mEOutputMap + 8);
    return v;
}

// At open: the description patched to the product's 8 inputs and 6 outputs,
// and the usage lists taken from the kernel's default map (inputs 0 and 1).
// Another client's new map (code 66) comes back through 0x20000: the lists
// refreshed from it and the record stored under the key of the identifier
// request 67 answers.
TEST_F(SorvikStack, OpenTakesTheDefaultMapAndAnotherClientsMapIsStored) {
    const std::vector<int32_t> defaults = {160,  161,  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                           0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(mapWords(device->driverSM()->mSorvikChannelMap), defaults);
    EXPECT_EQ(mapWords(device->sorvikConfigAndMap().cMap), defaults);
    EXPECT_EQ(usageBits(*device), 0x0003u);
    const APIConfigInfo& config = device->deviceInfo().mConfigurations[0];
    for (int block = 0; block < 2; ++block) {
        SCOPED_TRACE(block);
        ASSERT_EQ(config.mInterfaces[block].mNumAlternates, 2u);
        for (int a = 0; a < 2; ++a) {
            const auto& streaming = config.mInterfaces[block].mAlternates[a].mStreaming;
            EXPECT_EQ(streaming.mBitResolution, a == 0 ? 16u : 24u);
            EXPECT_EQ(streaming.mChannels, block == 0 ? 8u : 6u);
        }
    }

    auto other = otherClient();
    ASSERT_TRUE(other);
    uint8_t uid[8] = {};
    ASSERT_TRUE(dispatch(*other, 67, nullptr, 0, uid, sizeof uid));
    uint64_t identifier = 0;
    std::memcpy(&identifier, uid, sizeof identifier);
    ASSERT_NE(identifier, 0u);

    // Inputs 160, 128 (indices 0 and 2); outputs 32, 33 and 2 (0, 1 and 4).
    QN_Sorvik_ChannelMap map;
    for (int i = 0; i < 8; ++i)
        map.mEInputMap[i] = map.mEOutputMap[i] = 0xFF;
    map.mEInputMap[0] = 160;
    map.mEInputMap[1] = 128;
    map.mEOutputMap[0] = 32;
    map.mEOutputMap[1] = 33;
    map.mEOutputMap[2] = 2;
    ASSERT_TRUE(dispatch(*other, 66, &map, sizeof map));
    const uint32_t expected = 0x0005u | (0x0013u << 16);
    ASSERT_TRUE(runUntil([&] { return usageBits(*device) == expected; }))
        << std::hex << usageBits(*device);
    settle();
    EXPECT_EQ(mapWords(device->sorvikConfigAndMap().cMap), mapWords(map));

    CFStringRef root =
        CFStringCreateWithCString(nullptr, ZrOSXDevice::getIDRoot(), kCFStringEncodingUTF8);
    OSXAsioRegistry registry(root);
    CFRelease(root);
    QN_Sorvik_ConfigAndMap stored{};
    ASSERT_TRUE(registry.getSorvikConfigAndMapping(stored, identifier));
    EXPECT_EQ(mapWords(stored.cMap), mapWords(map));
    EXPECT_EQ(stored.cConfig.samplerate, device->sorvikConfigAndMap().cConfig.samplerate);
    EXPECT_EQ(stored.cConfig.numInputs, device->sorvikConfigAndMap().cConfig.numInputs);
    EXPECT_EQ(stored.cConfig.numOutputs, device->sorvikConfigAndMap().cConfig.numOutputs);
    // Under no other identifier.
    QN_Sorvik_ConfigAndMap none{};
    EXPECT_FALSE(registry.getSorvikConfigAndMapping(none, identifier + 1));
}

} // namespace
