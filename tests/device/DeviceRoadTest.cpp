// The device layer end to end on the virtual clock: the bus with an HX-5100
// in loopback, the kernel driver and its user clients, the user-side IOKit
// calls, the device manager and the device object. A float IO procedure
// plays the ramp and records what comes back; the model checks what it
// received and the test checks the recording bit for bit.
#include "device/OSXDeviceManager.h"
#include "device/ZrOSXDevice.h"

#include "abi/DriverSM.h"
#include "driver/clients/harness/ClientHarness.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/sys/HXProcess.h"
#include "platform/usb/devices/HX5100Model.h"
#include "device/harness/DeviceRoad.h"

#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>

namespace {

using hx::devroad::DeviceRoad;
using hx::devroad::RampProc;

struct RoadCase {
    uint32_t rate;
    uint32_t frameSize;
};

class DeviceRoadRates : public ::testing::TestWithParam<RoadCase> {};

TEST_P(DeviceRoadRates, PlaysAndRecordsBitExact) {
    const RoadCase c = GetParam();
    DeviceRoad road(c.rate);
    ASSERT_TRUE(road.boot()) << road.error();
    ZrOSXDevice* device = road.openDevice();
    ASSERT_NE(device, nullptr) << road.error();
    if (c.frameSize != device->getFrameSize()) {
        ASSERT_EQ(device->setFrameSize(c.frameSize, true, false), 0);
    }
    RampProc ramp;
    IOProcEntry* id = device->addIOProcID(&RampProc::proc, &ramp);
    ASSERT_NE(id, nullptr);
    ASSERT_TRUE(device->onDeviceStartProcOrID(id));
    road.run(400000);
    EXPECT_EQ(device->threadState(), 2);
    EXPECT_EQ(device->getFrameSize(), c.frameSize);
    ASSERT_TRUE(device->onDeviceStopProcOrID(id));
    ASSERT_TRUE(device->removeIOProcID(id));
    road.run(20000);

    // One call per buffer of the 0.4 s run, less the start-up.
    const uint64_t buffers = uint64_t(c.rate) * 4 / 10 / c.frameSize;
    EXPECT_GE(ramp.calls, buffers * 9 / 10);
    EXPECT_EQ(ramp.frameSizeErrors, 0u);
    const auto result = ramp.checkLoopback();
    EXPECT_GT(result.checked, uint64_t(c.rate) / 10) << "frames compared";
    EXPECT_EQ(result.mismatches, 0u) << "first at " << result.firstMismatch;
    const auto stats = road.harness()->model()->streamStats();
    EXPECT_GT(stats.rampFrames, uint64_t(c.rate) / 10);
    EXPECT_EQ(stats.corruptFrames, 0u);
    EXPECT_EQ(stats.discontinuities, 0u);
    EXPECT_GE(device->ioCycles(), buffers * 9 / 10);
    // The latency between what was played and what came back stays put.
    EXPECT_TRUE(result.constantLatency);
    road.closeDevice();
}

INSTANTIATE_TEST_SUITE_P(Rates, DeviceRoadRates,
                         ::testing::Values(RoadCase{48000, 256}, RoadCase{96000, 64},
                                           RoadCase{96000, 4096}));

TEST(DeviceRoad, ConfiguredByAnotherConnectionRestoresNothing) {
    DeviceRoad road(48000);
    ASSERT_TRUE(road.boot()) << road.error();
    ZrOSXDevice* device = road.openDevice();
    ASSERT_NE(device, nullptr) << road.error();
    EXPECT_EQ(road.token(), 0u);
    const ZrLatencies expected = computeLatencies(device->family(), 48000, 256, true);
    EXPECT_EQ(device->getLatency(true), uint32_t(expected.input));
    EXPECT_EQ(device->getLatency(false), uint32_t(expected.output));
    EXPECT_EQ(device->getLatency(true), 206u);
    EXPECT_EQ(device->getLatency(false), 507u);
    EXPECT_EQ(device->getOutWriteAheadBase(), 944u);
    EXPECT_NE(std::string(device->deviceName()).find(" (Bit Accurate)"), std::string::npos);
    EXPECT_EQ(device->deviceInfoBytes(), ZrOSXDevice::kDeviceInfoBytes);
    road.closeDevice();
}

TEST(DeviceRoad, TwoProceduresSumAndAFailingOneAddsNothing) {
    DeviceRoad road(48000);
    ASSERT_TRUE(road.boot()) << road.error();
    ZrOSXDevice* device = road.openDevice();
    ASSERT_NE(device, nullptr) << road.error();
    // Halves of the ramp: each writes n/2 (rounded apart so they sum to n);
    // a third returns an error and writes full scale, which must not count.
    RampProc low, high, failing;
    low.part = RampProc::Part::Low;
    high.part = RampProc::Part::High;
    failing.part = RampProc::Part::Failing;
    IOProcEntry* a = device->addIOProcID(&RampProc::proc, &low);
    IOProcEntry* b = device->addIOProcID(&RampProc::proc, &high);
    IOProcEntry* f = device->addIOProcID(&RampProc::proc, &failing);
    ASSERT_TRUE(a && b && f);
    EXPECT_NE(a, b);
    EXPECT_EQ(device->addIOProcID(&RampProc::proc, &low), a);
    ASSERT_TRUE(device->onDeviceStartProcOrID(a));
    ASSERT_TRUE(device->onDeviceStartProcOrID(b));
    ASSERT_TRUE(device->onDeviceStartProcOrID(f));
    road.run(400000);
    EXPECT_EQ(low.calls, high.calls);
    const auto result = low.checkLoopback();
    EXPECT_GT(result.checked, 4800u);
    EXPECT_EQ(result.mismatches, 0u) << "first at " << result.firstMismatch;
    EXPECT_EQ(road.harness()->model()->streamStats().corruptFrames, 0u);
    road.closeDevice();
}

TEST(DeviceRoad, ARelayoutWhileStreamingResumesBitExact) {
    DeviceRoad road(48000);
    ASSERT_TRUE(road.boot()) << road.error();
    ZrOSXDevice* device = road.openDevice();
    ASSERT_NE(device, nullptr) << road.error();
    RampProc ramp;
    IOProcEntry* id = device->addIOProcID(&RampProc::proc, &ramp);
    ASSERT_TRUE(device->onDeviceStartProcOrID(id));
    road.run(200000);
    const uint64_t before = device->ioCycles();
    // Another client has the kernel rebuild the stream (Req 32): the rings
    // are laid out again and this client is attached anew.
    ASSERT_TRUE(road.callDriver(32));
    road.run(400000);
    EXPECT_GT(device->ioCycles(), before + 20);
    device->onDeviceStopProcOrID(id);
    road.run(20000);
    const auto segments = ramp.checkSegments();
    EXPECT_GE(segments.runs, 1u);
    EXPECT_GT(segments.checked, 9600u);
    EXPECT_EQ(segments.mismatches, 0u);
    road.closeDevice();
}

} // namespace
