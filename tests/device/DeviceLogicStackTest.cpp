// The shared device logic carried by the device object, over the real stack
// in this process: the bus with an HX-5100 model in loopback, the kernel
// driver and its user clients, the device manager and the device; at full
// and high speed.
#include "abi/DeviceFamilies.h"
#include "device/OSXDeviceManager.h"
#include "device/ZrOSXDevice.h"
#include "device/harness/DeviceRoad.h"
#include "driver/clients/harness/ClientHarness.h"
#include "driver/engine/ZrProductTable.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/kern/IOService.h"
#include "platform/sys/HXProcess.h"

#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

using hx::devroad::DeviceRoad;
using hx::devroad::RampProc;
using hx::devroad::RoadOptions;

struct Overrides {
    ~Overrides() { hx::sys::resetProcessOverrides(); }
};

class DeviceLogicStack : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        RoadOptions o;
        o.rate = 48000;
        o.highSpeed = GetParam();
        road = std::make_unique<DeviceRoad>(o);
        ASSERT_TRUE(road->boot()) << road->error();
        device = road->openDevice();
        ASSERT_NE(device, nullptr) << road->error();
        ASSERT_EQ(kernel().Frequency, 48000u);
    }
    void TearDown() override {
        if (road) road->closeDevice();
        road.reset();
    }
    QnChannelSettings kernel() const { return road->driverSM()->mChannelSettings; }

    hx::test::TempRoot root;
    Overrides overrides;
    std::unique_ptr<DeviceRoad> road;
    ZrOSXDevice* device = nullptr;
};

TEST_P(DeviceLogicStack, FamiliesOfTheHX5100) {
    EXPECT_TRUE(device->isMerrowCompatible());
    EXPECT_TRUE(device->isMRW192Compatible());
    EXPECT_FALSE(device->isAC3compatible());
    EXPECT_EQ(device->isUSB2Device(), GetParam());
    const ZrDeviceFamily f = device->family();
    EXPECT_TRUE(f.merrowCompatible);
    EXPECT_TRUE(f.hx5100Range);
    EXPECT_FALSE(f.quarnelBulk || f.quarnelBulkInIsocOut || f.mrw30Compatible);
}

TEST_P(DeviceLogicStack, FormatListsAndRates) {
    const bool high = GetParam();
    EXPECT_EQ(device->getStreamFormatNum(false, true), high ? 6u : 2u);
    EXPECT_EQ(device->getStreamFormatNum(false, false), high ? 12u : 4u);
    if (high) {
        EXPECT_EQ(device->getSampleRates(nullptr, 0), 6u);
        std::vector<AudioValueRange> ranges(6);
        ASSERT_EQ(device->getSampleRates(ranges.data(), 6), 6u);
        for (const AudioValueRange& r : ranges)
            EXPECT_NE(r.mMinimum, 64000.0);
    }
    // Frame sizes: the range while the driver area is mapped.
    uint32_t lo = 0, hi = 0;
    device->getFrameSizeRangeInt(&lo, &hi);
    EXPECT_EQ(lo, 64u);
    EXPECT_EQ(hi, 8192u);
}

TEST_P(DeviceLogicStack, RateChangeReachesTheKernel) {
    AudioStreamBasicDescription d{};
    ASSERT_EQ(device->getStreamFormat(false, &d, false, ~0u), 0);
    EXPECT_EQ(d.mSampleRate, 48000.0);
    d.mSampleRate = 44100;
    ASSERT_EQ(device->setStreamFormat(false, &d, false), 0);
    hx::kern::waitQuiet();
    EXPECT_EQ(kernel().Frequency, 44100u);
    EXPECT_EQ(kernel().OutResolution, 24u);
    EXPECT_EQ(device->getFrequency(), 44100u);
    EXPECT_EQ(device->cycleRate(), 44100u);
    // Virtual 32-bit integer stereo at rate 0: configured as 24 bits, rate
    // kept, and the cycle converts to integers.
    AudioStreamBasicDescription integer{
        0, kAudioFormatLinearPCM, kAudioFormatFlagIsSignedInteger, 8, 1, 8, 2, 32, 0};
    EXPECT_EQ(device->setStreamFormat(false, &integer, false), 0);
    EXPECT_EQ(device->getFrequency(), 44100u);
    EXPECT_EQ(device->currentSettings().OutResolution, 24u);
    EXPECT_EQ(device->streamFormatFlags(false), uint32_t(kAudioFormatFlagIsSignedInteger));
}

TEST_P(DeviceLogicStack, DeferredWhileTheHarnessStreams) {
    ASSERT_TRUE(road->harness()->attachRing()) << road->harness()->lastError();
    hx::kern::waitQuiet();
    ASSERT_TRUE(device->isRunningSomewhere());
    EXPECT_FALSE(device->isRunningStream());
    EXPECT_TRUE(device->setFrequency(false, 44100));
    hx::kern::waitQuiet();
    EXPECT_EQ(kernel().Frequency, 48000u) << "no request 6 while another client streams";
    AudioStreamBasicDescription d{};
    ASSERT_EQ(device->getStreamFormat(false, &d, true, ~0u), 0);
    EXPECT_EQ(d.mSampleRate, 44100.0);
    EXPECT_EQ(device->pendingDirection(), 2u);
    // Audio MIDI Setup's device sends it.
    hx::sys::setOwnProcessName(std::string("Audio MIDI Setup"));
    {
        OSXDeviceManager setup(nullptr, nullptr, false);
        ASSERT_EQ(setup.clientAppType(), 2);
        ZrOSXDevice* other = setup.getDevice(0);
        ASSERT_NE(other, nullptr);
        EXPECT_TRUE(other->setFrequency(false, 44100));
        hx::kern::waitQuiet();
        EXPECT_EQ(kernel().Frequency, 44100u);
        other->closeDevice();
    }
}

// A change made while the device's own procedure streams stays local; the
// next start sends it, the audio thread rebuilds its buffers, and the
// stream comes back bit exact, through quick stops and starts as well.
TEST_P(DeviceLogicStack, DeferredChangeOfTheOwnStreamAppliesAtTheNextStart) {
    RampProc ramp;
    IOProcEntry* id = device->addIOProcID(&RampProc::proc, &ramp);
    ASSERT_TRUE(device->onDeviceStartProcOrID(id));
    road->run(100000);
    ASSERT_TRUE(device->isRunningStream());
    EXPECT_TRUE(device->setFrequency(false, 44100));
    EXPECT_EQ(kernel().Frequency, 48000u);
    EXPECT_EQ(device->pendingDirection(), 2u);
    road->run(50000);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(device->onDeviceStopProcOrID(id));
        ASSERT_TRUE(device->onDeviceStartProcOrID(id));
    }
    EXPECT_EQ(device->pendingDirection(), 0u);
    hx::kern::waitQuiet();
    EXPECT_EQ(kernel().Frequency, 44100u);
    const uint64_t cycles = device->ioCycles();
    road->run(200000);
    EXPECT_GT(device->ioCycles(), cycles);
    EXPECT_EQ(device->cycleRate(), 44100u);
    EXPECT_EQ(device->ioBuffer(false).mBufferChannels, kernel().OutChannels);
    ASSERT_TRUE(device->onDeviceStopProcOrID(id));
    road->run(20000);
    device->removeIOProcID(id);
    const RampProc::Segments seg = ramp.checkSegments();
    EXPECT_GT(seg.checked, 4410u);
    EXPECT_EQ(seg.mismatches, 0u);
}

// A frame size above half a mapped ring is refused; while the hardware is
// prepared a size that fits is pending until the audio thread takes it.
TEST_P(DeviceLogicStack, FrameSizesWhilePrepared) {
    RampProc ramp;
    IOProcEntry* id = device->addIOProcID(&RampProc::proc, &ramp);
    ASSERT_TRUE(device->onDeviceStartProcOrID(id));
    road->run(50000);
    ASSERT_TRUE(device->hardwarePrepared());
    const uint64_t half = device->outputRing()->geometry().maxFrames / 2;
    if (half < QnAudioPluginClassCommons::kMaxFrameSize) {
        EXPECT_EQ(device->setFrameSize(uint32_t(half) * 2, true, false), kIOReturnBadArgument);
    }
    ASSERT_EQ(device->setFrameSize(512, true, false), 0);
    EXPECT_EQ(device->getFrameSize(), 512u);
    road->run(50000);
    EXPECT_EQ(device->pendingFrameSize(), 0u);
    EXPECT_EQ(device->cycleFrameSize(), 512u);
    EXPECT_EQ(device->getFrameSizeBytes(false), 512u * 4 * device->reportedSettings().OutChannels);
    ASSERT_TRUE(device->onDeviceStopProcOrID(id));
    road->run(20000);
    device->removeIOProcID(id);
    EXPECT_EQ(ramp.checkSegments().mismatches, 0u);
}

// The kernel reads the same identities for the families both sides list.
TEST(DeviceLogicKernelFamilies, KernelAgreesOnSharedFamilies) {
    struct Shared {
        DeviceFamily family;
        ZrProductList kernelList;
    };
    const Shared shared[] = {
        {DeviceFamilies::kQuarnelBulk, ZrProductList::QuarnelBulk},
        {DeviceFamilies::kQuarnelBulkInIsocOut, ZrProductList::QuarnelBulkInIsocOut},
        {DeviceFamilies::kMRW30, ZrProductList::MRW30},
        {DeviceFamilies::kTolvane, ZrProductList::Tolvane},
        {DeviceFamilies::kTrunk, ZrProductList::HalvardTrunk},
        {DeviceFamilies::kTrunk2, ZrProductList::Trunk2},
    };
    // Every identity any family names, as probes.
    std::vector<DeviceFamilyMember> probes;
    for (DeviceFamily f :
         {DeviceFamily(DeviceFamilies::kHX5100Group),
          DeviceFamily(DeviceFamilies::kInterfaceZeroOneGroup),
          DeviceFamily(DeviceFamilies::kQuarnelBulk),
          DeviceFamily(DeviceFamilies::kQuarnelBulkInIsocOut), DeviceFamily(DeviceFamilies::kMRW30),
          DeviceFamily(DeviceFamilies::kTolvane), DeviceFamily(DeviceFamilies::kTrunk),
          DeviceFamily(DeviceFamilies::kTrunk2), DeviceFamily(DeviceFamilies::kPhono),
          DeviceFamily(DeviceFamilies::kSixChannel)})
        probes.insert(probes.end(), f.begin(), f.end());
    for (const Shared& s : shared)
        for (const DeviceFamilyMember& p : probes)
            EXPECT_EQ(DeviceFamilies::contains(s.family, p.vendor, p.product),
                      ZrIsListedProduct(s.kernelList, p.vendor, p.product))
                << std::hex << p.vendor << ":" << p.product << " list " << int(s.kernelList);
}

INSTANTIATE_TEST_SUITE_P(Speeds, DeviceLogicStack, ::testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& p) {
                             return p.param ? "HighSpeed" : "FullSpeed";
                         });

} // namespace
