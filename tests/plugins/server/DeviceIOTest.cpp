// The server device's IO against the scripted kernel service: start and
// stop with the attach handshake, zero time stamps taken by the kernel's
// ring writer, the IO cycle's conversions to the advertised sample size
// inside canaried host buffers, its limits, and the latencies.
#include "plugins/server/QnASPlugInDevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <atomic>
#include <thread>
#include <vector>

#include "abi/AudioSM.h"
#include "abi/DeviceFamilies.h"
#include "driver/engine/stream/AudioSMKernel.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "plugins/server/CAException.h"
#include "plugins/server/QnASPlugInPlugIn.h"
#include "tests/plugins/server/ScriptedKernelService.h"

using hx::test::KernelScript;
using hx::test::ScriptedKernelService;

namespace {

constexpr UInt32 kRead = 0x72656164, kWrite = 0x72697465;
constexpr OSStatus kStop = 0x73746F70, kNope = 0x6E6F7065;
constexpr size_t kCanary = 64;

// Property changes the device reports to the host.
std::vector<AudioObjectPropertySelector> gChanges;
OSStatus recordChanges(AudioServerPlugInHostRef, AudioObjectID, UInt32 n,
                       const AudioObjectPropertyAddress* a) {
    for (UInt32 i = 0; i < n; ++i)
        gChanges.push_back(a[i].mSelector);
    return 0;
}
const AudioServerPlugInHostInterface gHost{&recordChanges, nullptr, nullptr, nullptr};

// A host buffer of exactly frames x bytes per frame between canaries.
struct HostBuffer {
    HostBuffer(size_t bytes) : raw(bytes + 2 * kCanary, 0xA5), size(bytes) {}
    uint8_t* data() { return raw.data() + kCanary; }
    bool intact() const {
        for (size_t i = 0; i < kCanary; ++i)
            if (raw[i] != 0xA5 || raw[kCanary + size + i] != 0xA5) return false;
        return true;
    }
    std::vector<uint8_t> raw;
    size_t size;
};

int32_t sample3(const uint8_t* p) {
    return int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24) >> 8;
}

class DeviceIO : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(hx::path::map("/tmp"));
        gChanges.clear();
        service = ScriptedKernelService::publish("SCRIPTED-UID");
        ASSERT_NE(service, nullptr);
        auto* area = reinterpret_cast<DriverSM*>(service->area(1));
        area->mChannelSettings = QnChannelSettings{48000, 2, 24, 2, 24, 0};
        layoutRings(2, 2);
        QnASPlugInIOKitIterator it(IOServiceMatching("ScriptedKernelService"));
        io_object_t entry = it.Next();
        device = std::make_unique<QnASPlugInDevice>(77, entry);
        IOObjectRelease(entry);
        ASSERT_TRUE(device->_HW_Open());
    }
    void TearDown() override {
        device.reset();
        QnASPlugInPlugIn::sHost = nullptr;
        ScriptedKernelService::unpublish(service);
    }
    void layoutRings(UInt32 inChannels, UInt32 outChannels) {
        auto* in = reinterpret_cast<AudioSM*>(service->area(4));
        writer.bind(in, AudioSMGeometry{});
        writer._init(inChannels, 48000, 0);
        reinterpret_cast<AudioSM*>(service->area(5))->_layout(outChannels, 48000, 0);
    }
    // The kernel's side: frames of value (next + i) in every channel, left
    // aligned, and a stamp per block.
    void kernelWrites(UInt32 frames) {
        const UInt32 ch = writer.geometry().channels;
        std::vector<int32_t> block(size_t(frames) * ch);
        for (UInt32 f = 0; f < frames; ++f)
            for (UInt32 c = 0; c < ch; ++c)
                block[size_t(f) * ch + c] = int32_t(uint32_t(nextValue + f + 1000 * c) << 8);
        nextValue += frames;
        hostNow += UInt64(frames) * 1000000000ull / 48000;
        writer.AddTimeStamp(hostNow, frames, true);
        writer.writeFrames(block.data(), frames, 0);
    }
    AudioServerPlugInIOCycleInfo cycle(Float64 inTime, Float64 outTime) {
        AudioServerPlugInIOCycleInfo info{};
        info.mInputTime.mSampleTime = inTime;
        info.mOutputTime.mSampleTime = outTime;
        return info;
    }
    AudioSM* outRing() { return reinterpret_cast<AudioSM*>(service->area(5)); }
    AudioSM* inRing() { return reinterpret_cast<AudioSM*>(service->area(4)); }

    hx::test::TempRoot root;
    ScriptedKernelService* service = nullptr;
    std::unique_ptr<QnASPlugInDevice> device;
    AudioSMWriter writer;
    int32_t nextValue = 1;
    UInt64 hostNow = 5000000000ull;
};

} // namespace

TEST_F(DeviceIO, StartTakesTheWritePositionAsZeroAndTheKernelStampsAdvanceByRings) {
    for (int i = 0; i < 8; ++i)
        kernelWrites(4096);
    Float64 sample = -1;
    UInt64 host = 1, seed = 1;
    device->GetZeroTimeStamp(sample, host, seed);
    EXPECT_EQ(sample, 0.0); // no stamp before start
    EXPECT_EQ(host, 0u);
    const UInt64 start = writer.getFramePos();
    device->StartIO();
    EXPECT_EQ(service->countSelector(2), 1u);
    EXPECT_EQ(device->IOState(), 2u);
    EXPECT_EQ(device->zeroBase(), start);
    EXPECT_EQ(audiosm::load64(&outRing()->mClientFramePos), start);
    EXPECT_EQ(device->hostBytesPerSample(true), 3u);
    kernelWrites(512); // the kernel takes the request
    EXPECT_EQ(writer.zeroSampleTime(), start);
    device->GetZeroTimeStamp(sample, host, seed);
    EXPECT_EQ(sample, 0.0);
    EXPECT_EQ(host, writer.GetTimeStamp(start));
    const UInt32 ring = device->ringFrames();
    ASSERT_EQ(ring, 65536u);
    while (writer.getFramePos() + 512 - start < ring)
        kernelWrites(512);
    kernelWrites(512);
    device->GetZeroTimeStamp(sample, host, seed);
    EXPECT_EQ(sample, Float64(ring));
    EXPECT_EQ(host, writer.GetTimeStamp(start + ring));
    device->StopIO();
    EXPECT_EQ(service->countSelector(3), 1u);
    device->GetZeroTimeStamp(sample, host, seed);
    EXPECT_EQ(sample, 0.0);
    EXPECT_EQ(host, 0u);
}

TEST_F(DeviceIO, NestedStartsReachTheKernelOnce) {
    device->StartIO();
    device->StartIO();
    device->StopIO();
    EXPECT_EQ(service->countSelector(3), 0u);
    device->StopIO();
    device->StopIO(); // nothing left to stop
    EXPECT_EQ(service->countSelector(2), 1u);
    EXPECT_EQ(service->countSelector(3), 1u);
    EXPECT_EQ(device->IOStartCount(), 0u);
}

TEST_F(DeviceIO, NeverAttachedPanicsUnmapsAndTheNextStartRemaps) {
    hx::clock::VirtualClock clock;
    service->script([](KernelScript& s) { s.attach = KernelScript::Attach::Never; });
    hx::log::Capture log;
    OSStatus status = 0;
    try {
        device->StartIO();
    } catch (const CAException& e) {
        status = e.GetError();
    }
    EXPECT_EQ(UInt32(status), 0xFFFFFFFFu);
    const std::string text = log.text();
    EXPECT_NE(text.find("Start: client not attached yet, PANIC\n"), std::string::npos);
    size_t waits = 0;
    for (size_t p = 0;
         (p = text.find("Start: client not attached yet, waiting 5ms", p)) != std::string::npos;
         ++p)
        ++waits;
    EXPECT_EQ(waits, 101u);
    EXPECT_EQ(service->countSelector(3), 1u);
    EXPECT_EQ(device->IOState(), 0u);
    EXPECT_EQ(device->clientSlot(), -1);
    HostBuffer buffer(512 * 6);
    EXPECT_EQ(device->DoIOOperation(0, kRead, 512, cycle(0, 0), buffer.data(), nullptr), kStop);
    service->script([](KernelScript& s) { s.attach = KernelScript::Attach::AtStart; });
    device->StartIO();
    EXPECT_EQ(device->IOState(), 2u);
    EXPECT_EQ(
        device->DoIOOperation(0, 0x6D69786F /*'mixo'*/, 512, cycle(0, 0), buffer.data(), nullptr),
        0);
    device->StopIO();
}

TEST_F(DeviceIO, ReadAndWriteConvertToTheAdvertisedSizeInsideTheHostBuffer) {
    kernelWrites(4096);
    device->StartIO();
    const UInt64 start = device->zeroBase();
    kernelWrites(2048);
    HostBuffer in(512 * 2 * 3), out(512 * 2 * 3);
    for (UInt32 f = 0; f < 512; ++f)
        for (UInt32 c = 0; c < 2; ++c) {
            const int32_t v = int32_t(f) * (c ? -1 : 1) - 100;
            std::memcpy(out.data() + (f * 2 + c) * 3, &v, 3);
        }
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        const Float64 t = 512.0 * k;
        EXPECT_EQ(device->DoIOOperation(0, kRead, 512, cycle(t, t + 1024), in.data(), nullptr), 0);
        EXPECT_TRUE(in.intact());
        // Frame f of the ring holds value (first + f), first = 4097 for position 4096.
        const int32_t first = int32_t(start - 4096 + 4097 + UInt64(t));
        EXPECT_EQ(sample3(in.data()), first);
        EXPECT_EQ(sample3(in.data() + 3), first + 1000);
        EXPECT_EQ(sample3(in.data() + 511 * 6), first + 511);
        EXPECT_EQ(audiosm::load64(&outRing()->mClientFramePos), start + UInt64(t) + 512);
        EXPECT_EQ(device->DoIOOperation(0, kWrite, 512, cycle(t, t + 1024), out.data(), nullptr),
                  0);
        EXPECT_TRUE(out.intact());
        const UInt64 pos = start + UInt64(t) + 1024 + device->WriteAheadBase();
        const auto* samples = reinterpret_cast<const int32_t*>(outRing()->mSamples);
        const AudioSMGeometry g = outRing()->geometry();
        EXPECT_EQ(samples[g.indexOf(pos) * 2], -100);
        EXPECT_EQ(samples[g.indexOf(pos + 7) * 2 + 1], -107);
    }
    const auto n = device->counters();
    EXPECT_EQ(n.inOverloads + n.outOverloads + n.inUnderruns + n.outUnderruns, 0u);
    EXPECT_EQ(n.inCycles, 3u);
    EXPECT_EQ(n.outCycles, 3u);
    device->StopIO();
}

TEST_F(DeviceIO, AShortRingTwiceGivesZerosAndOneUnderrun) {
    hx::clock::VirtualClock clock;
    kernelWrites(1024);
    device->StartIO();
    kernelWrites(100);
    HostBuffer in(512 * 6);
    EXPECT_EQ(device->DoIOOperation(0, kRead, 512, cycle(0, 0), in.data(), nullptr), 0);
    EXPECT_TRUE(in.intact());
    EXPECT_NE(sample3(in.data() + 99 * 6), 0);
    for (UInt32 f = 100; f < 512; ++f)
        ASSERT_EQ(sample3(in.data() + f * 6), 0) << f;
    EXPECT_EQ(device->counters().inUnderruns, 1u);
    EXPECT_EQ(device->counters().inOverloads, 0u);
    device->StopIO();
}

// After a restart the host's first input cycle can lie partly before the
// new sample time 0; the ring there holds the previous timeline's frames,
// which the read must not hand out: they are silence, and the frames from
// the new zero base follow.
TEST_F(DeviceIO, AReadBeforeTheNewStartGivesSilenceNotThePreviousTimeline) {
    struct Case {
        Float64 sampleTime;
        UInt32 silent;
    } const cases[] = {{-300, 300}, {-0.5, 1}, {-512, 512}, {-5000, 512}, {0, 0}, {16, 0}};
    kernelWrites(4096);
    device->StartIO();
    kernelWrites(4096);
    device->StopIO();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sampleTime);
        kernelWrites(4096); // the stream goes on between the stop and the start
        device->StartIO();
        const UInt64 zero = device->zeroBase();
        kernelWrites(1024);
        HostBuffer in(512 * 6);
        std::memset(in.data(), 0x11, in.size);
        EXPECT_EQ(
            device->DoIOOperation(0, kRead, 512, cycle(c.sampleTime, 1024), in.data(), nullptr), 0);
        EXPECT_TRUE(in.intact());
        // The ring's frame at position p holds p + 1 (kernelWrites numbers from 1).
        const UInt64 first = zero + UInt64(std::max<Float64>(c.sampleTime, 0));
        for (UInt32 f = 0; f < 512; ++f) {
            const int32_t want = f < c.silent ? 0 : int32_t(first + (f - c.silent) + 1);
            ASSERT_EQ(sample3(in.data() + f * 6), want) << f;
        }
        EXPECT_EQ(audiosm::load64(&outRing()->mClientFramePos),
                  c.silent == 512 ? zero : first + (512 - c.silent));
        EXPECT_EQ(device->counters().inUnderruns, 0u);
        device->StopIO();
    }
}

TEST_F(DeviceIO, TooManyFramesMoveNothingAndCountOneOverload) {
    struct Case {
        const char* name;
        UInt32 ringChannels, frames;
        bool refused;
    } const cases[] = {
        {"8192 frames, 2 channels", 2, 8192, false},
        {"8193 frames, 2 channels", 2, 8193, true},
        {"4096 frames, 32 channels", 32, 4096, false},
        {"4097 frames, 32 channels", 32, 4097, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        layoutRings(c.ringChannels, c.ringChannels);
        kernelWrites(8192);
        device->StartIO();
        kernelWrites(8192);
        HostBuffer in(size_t(c.frames) * 6);
        std::memset(in.data(), 0x11, in.size);
        const OSStatus r =
            device->DoIOOperation(0, kRead, c.frames, cycle(0, 0), in.data(), nullptr);
        EXPECT_EQ(r, c.refused ? kNope : 0);
        EXPECT_TRUE(in.intact());
        EXPECT_EQ(device->counters().inOverloads, c.refused ? 1u : 0u);
        EXPECT_EQ(device->DoIOOperation(0, kWrite, c.frames, cycle(0, 0), in.data(), nullptr),
                  c.refused ? kNope : 0);
        EXPECT_EQ(device->counters().outOverloads, c.refused ? 1u : 0u);
        device->StopIO();
    }
}

TEST_F(DeviceIO, RestartReattachesAndClearsTheSlotWord) {
    service->script([](KernelScript& s) { s.slot = 3; });
    auto* area = service->area(1);
    audiosm::store32(area + 5588 + 180 * 3 + 36, 0xDEAD);
    device->RestartIO();
    EXPECT_EQ(service->countSelector(2), 1u);
    EXPECT_EQ(device->clientSlot(), 3);
    EXPECT_EQ(device->IOState(), 2u);
    EXPECT_EQ(audiosm::load32(area + 5588 + 180 * 3 + 36), 0u);
    service->script([](KernelScript& s) { s.slot = 9; }); // no such slot
    device->RestartIO();
    EXPECT_EQ(device->clientSlot(), 9);
}

TEST_F(DeviceIO, LatenciesAndSafetyOffsetsOfAnOrdinaryDevice) {
    QnASPlugInPlugIn::sHost = &gHost;
    device->deviceInfo().mVendor = 0x1234; // no family of its own
    device->deviceInfo().mProduct = 0x5678;
    device->deviceInfo().mFeatures.mLoaded = 1;
    device->setLatencyExtraMs(3);
    device->logic().createIOBuffers();
    EXPECT_EQ(device->getLatency(false), 216u);
    EXPECT_EQ(device->getLatency(true), 412u);
    EXPECT_EQ(device->getSafetyOffset(false), 48u);
    const auto ltnc = [] {
        return std::count(gChanges.begin(), gChanges.end(), hx::coreaudio::fourCC("ltnc"));
    };
    const long before = ltnc();
    EXPECT_EQ(device->getLatency(false), 216u); // no change, no notice
    EXPECT_EQ(ltnc(), before);
    device->setDebugOverride(hx::coreaudio::fourCC("DbLO"), 300);
    EXPECT_EQ(device->getLatency(false), 300u);
    EXPECT_EQ(ltnc(), before + 1);
    device->setDebugOverride(hx::coreaudio::fourCC("DbLO"), QnASPlugInDevice::kNotSet);
    EXPECT_EQ(device->getLatency(false), 216u);
    auto* area = reinterpret_cast<DriverSM*>(service->area(1));
    area->mChannelSettings.Frequency = 0; // computes as 44100
    device->logic().createIOBuffers();
    EXPECT_EQ(device->getLatency(false), UInt32(8.5 * 44100 / 1000));
}

TEST_F(DeviceIO, ListedProductsWidenTheInputSafetyOffset) {
    QnASPlugInPlugIn::sHost = &gHost;
    device->deviceInfo().mFeatures.mLoaded = 1;
    auto offsetOf = [&](UInt16 vendor, UInt16 product) {
        device->deviceInfo().mVendor = vendor;
        device->deviceInfo().mProduct = product;
        device->logic().createIOBuffers();
        return device->getSafetyOffset(true);
    };
    const UInt32 ordinary = offsetOf(0x1234, 0x5678); // no family of its own
    const UInt32 r = device->logic().currentSettings().Frequency;
    ASSERT_GT(r, 0u);
    struct Case {
        const char* name;
        DeviceFamily family;
        UInt32 expected;
    } const cases[] = {
        {"5 ms base", DeviceFamilies::kFiveMsLatency, ordinary + r / 1000},
        {"60 frames more", DeviceFamilies::kSixtyExtraFrames, ordinary + 60},
    };
    for (const auto& c : cases)
        for (const DeviceFamilyMember& m : c.family) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(offsetOf(m.vendor, m.product), c.expected);
            EXPECT_EQ(device->getSafetyOffset(false), r / 1000);
        }
}

TEST_F(DeviceIO, TheListedProductStartsWithFiveExtraMilliseconds) {
    QnASPlugInPlugIn::sHost = &gHost;
    device->deviceInfo().mFeatures.mLoaded = 1;
    for (const DeviceFamilyMember& m : DeviceFamilies::kLatencyExtraMsAtStart) {
        device->deviceInfo().mVendor = m.vendor;
        device->deviceInfo().mProduct = m.product;
        device->setLatencyExtraMs(0);
        device->logic().createIOBuffers();
        EXPECT_EQ(device->getLatency(true), UInt32(5.6 * 48)); // 48 kHz, nothing added
        device->StartIO();
        EXPECT_EQ(device->getLatency(true), UInt32((5.6 + 5) * 48));
        device->StopIO();
    }
}

TEST_F(DeviceIO, TheTimeStampHistoryFeedsTheFit) {
    auto* area = reinterpret_cast<DriverSM*>(service->area(1));
    audiosm::store32(&area->mTimeStamps.mCount, 1003);
    for (UInt32 i = 0; i < 1000; ++i) {
        area->mTimeStamps.mStamps[0][i] = 1000000 + i; // host times
        area->mTimeStamps.mStamps[1][i] = i;           // sample times
    }
    std::vector<double> x(1000), y(1000);
    UInt32 count = 0;
    QnASPlugInDevice::lrDataProvider(device.get(), count, x.data(), y.data());
    ASSERT_EQ(count, 1000u);
    EXPECT_EQ(x[0], 3.0); // oldest first: index 1003 mod 1000
    EXPECT_EQ(y[0], 1000003.0);
    EXPECT_EQ(x[999], 2.0);
    EXPECT_EQ(service->requests().back(), 41u);
}

TEST_F(DeviceIO, LowBufferFirmwareShortensTheHighRateFamilysLatencies) {
    // Features not read yet: the device counts as the high-rate family.
    auto* area = reinterpret_cast<DriverSM*>(service->area(1));
    area->mChannelSettings.Frequency = 44100;
    device->logic().createIOBuffers();
    EXPECT_EQ(device->getLatency(false), 632u);
    EXPECT_EQ(device->getLatency(true), 187u);
    device->setLowBufferFirmware(true);
    EXPECT_EQ(device->getLatency(false), 544u);
    EXPECT_EQ(device->getLatency(true), 99u);
    area->mChannelSettings.Frequency = 48000;
    device->logic().createIOBuffers();
    device->setLowBufferFirmware(false);
    EXPECT_EQ(device->getLatency(false), 629u);
    EXPECT_EQ(device->getLatency(true), 192u);
}

// A process scribbling every word a user can write while the device cycles,
// starts and stops: no write past the host buffers, every call returns.
TEST_F(DeviceIO, ScribbledAreasNeverLeadOutsideTheHostBuffers) {
    kernelWrites(8192);
    device->copyPhysicalFormat(true); // what the host was told
    device->copyPhysicalFormat(false);
    device->StartIO();
    std::atomic<bool> stop{false};
    uint8_t* area = service->area(1);
    AudioSM* rings[2] = {inRing(), outRing()};
    std::thread scribbler([&] {
        uint32_t k = 0x9E3779B9;
        while (!stop.load()) {
            k = k * 1664525u + 1013904223u;
            audiosm::store32(area + 5420 + 4 * (k % 6), (k >> 8) % 40);
            audiosm::store32(area + 14740, k >> 3);
            AudioSM* r = rings[k & 1];
            audiosm::store32(AUDIOSM_AT(r, AudioSM, mChannelsPerFrame), k % 40);
            audiosm::store64(AUDIOSM_AT(r, AudioSM, mMaxFrames), k);
            audiosm::store64(AUDIOSM_AT(r, AudioSM, mFramePos), uint64_t(k) << (k % 33));
            audiosm::store32(AUDIOSM_AT(r, AudioSM, mAttachState), k % 3);
            audiosm::store64(AUDIOSM_AT(r, AudioSM, mZeroSampleTime), k);
            audiosm::store64(AUDIOSM_AT(r, AudioSM, mZeroHostTime), k ^ 0x55);
            std::this_thread::yield();
        }
    });
    std::thread starter([&] {
        for (int i = 0; i < 20 && !stop.load(); ++i) {
            device->StopIO();
            try {
                device->StartIO();
            } catch (const CAException&) {
            }
        }
    });
    const UInt32 sizes[] = {1, 64, 512, 4096, 8192, 8193};
    for (int i = 0; i < 300; ++i) {
        const UInt32 frames = sizes[i % 6];
        HostBuffer in(size_t(frames) * 6), out(size_t(frames) * 6);
        const Float64 t = 512.0 * i;
        device->DoIOOperation(0, kRead, frames, cycle(t, t), in.data(), nullptr);
        device->DoIOOperation(0, kWrite, frames, cycle(t, t), out.data(), nullptr);
        Float64 s = 0;
        UInt64 h = 0, seed = 0;
        device->GetZeroTimeStamp(s, h, seed);
        ASSERT_TRUE(in.intact()) << i;
        ASSERT_TRUE(out.intact()) << i;
    }
    stop = true;
    starter.join();
    scribbler.join();
    while (device->IOStartCount() > 0)
        device->StopIO();
}
