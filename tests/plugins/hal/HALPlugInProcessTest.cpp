// The HAL plug-in with the kernel in another process: a kernel host (hxsim
// --kernel-host) the test starts, this process as the program and the HAL
// host over the process transport. An IO procedure ID started from a
// program thread plays the ramp and records it back; a connection call
// failed by the test hook before it leaves this process answers as a failed
// kernel call. The machine runs on the real clock over there: the checks
// are on data, order and counts; waits are bounded only to end a broken
// run.
#include "device/harness/DeviceRoad.h"
#include "platform/base/HXPath.h"
#include "platform/coreaudio/HALHost.h"
#include "platform/coreaudio/HALHostCalls.h"
#include "platform/iokit/HXIOKit.h"
#include "platform/sys/HXProcess.h"

#include "tests/support/KernelHostEnvironment.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

namespace fs = std::filesystem;
using hx::coreaudio::fourCC;
using hx::coreaudio::HALHost;
using hx::devroad::DeviceRoad;
using hx::devroad::RampProc;

namespace {

constexpr OSStatus kInternal = OSStatus(0xE00002C9);
constexpr uint32_t kAudioClientConnection = 0; // the device object's connection type
// A late cycle across processes leaves the frame of a ring lap earlier (a
// 2-channel client ring).
constexpr uint64_t kRingLapFrames = 65536;

// The kernel host, started once for the whole program; this process's
// IOKit calls go to it.
const auto* gKernelHost =
    ::testing::AddGlobalTestEnvironment(new hx::testsupport::KernelHostEnvironment(
        HXSIM_PATH, "/tmp/hxhalp.XXXXXX", "kernel-host.log"));

class HALPlugInProcess : public ::testing::Test {
protected:
    void SetUp() override {
        hx::sys::setOwnUid(501);
        hx::devroad::RoadOptions o;
        o.rate = 48000;
        o.clock = hx::harness::ClockMode::Real;
        o.machineHere = false;
        mRoad = std::make_unique<DeviceRoad>(o);
        ASSERT_TRUE(mRoad->boot()) << mRoad->error();
        ASSERT_TRUE(HALHost::installBundle(HX_HAL_PLUGIN_BUNDLE));
        mHost = std::make_unique<HALHost>();
        ASSERT_EQ(mHost->load(), 0);
        for (int i = 0; i < 400 && mHost->devices().empty(); ++i) {
            mHost->settle();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        mHost->settle();
        ASSERT_EQ(mHost->devices().size(), 1u);
        mDevice = mHost->devices()[0];
    }
    void TearDown() override {
        hx::iokit::clearFailNextCall();
        mHost.reset();
        mRoad.reset();
        hx::sys::resetProcessOverrides();
    }
    std::unique_ptr<DeviceRoad> mRoad;
    std::unique_ptr<HALHost> mHost;
    AudioDeviceID mDevice = 0;
};

TEST_F(HALPlugInProcess, AnIOProcIDStartedFromAProgramThreadPlaysAndRecordsTheRamp) {
    RampProc ramp;
    AudioDeviceIOProcID id = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(mDevice, &RampProc::proc, &ramp, &id), 0);
    OSStatus started = 1;
    std::thread program([&] { started = AudioDeviceStart(mDevice, id); });
    program.join();
    ASSERT_EQ(started, 0);
    // A second of audio, then as long again for cycles a loaded machine
    // held back.
    for (int i = 0; i < 200 && ramp.framesPlayed.load() < 48000; ++i)
        mRoad->run(10000);
    ASSERT_EQ(AudioDeviceStop(mDevice, id), 0);
    const uint64_t calls = ramp.calls.load();
    mRoad->run(50000);
    EXPECT_EQ(ramp.calls.load(), calls) << "Stop detaches the procedure";
    ASSERT_EQ(AudioDeviceDestroyIOProcID(mDevice, id), 0);
    EXPECT_EQ(AudioDeviceStart(mDevice, id), OSStatus(0xE00002BC)) << "the ID is gone";

    EXPECT_GE(ramp.framesPlayed.load(), 48000u);
    EXPECT_EQ(ramp.frameSizeErrors.load(), 0u);
    const RampProc::Check c = ramp.checkLoopback(true, kRingLapFrames);
    EXPECT_GT(c.checked, 24000u);
    EXPECT_EQ(c.mismatches, 0u) << "first at " << c.firstMismatch;
    EXPECT_GT(c.checked, c.silent + c.stale) << "the ramp came back, not silence";
    EXPECT_GE(c.latency, 0);
}

// The hook fails the call before it leaves this process: the kernel host
// never sees it, and the plug-in answers as for a failed kernel call.
TEST_F(HALPlugInProcess, AConnectionCallFailedByTheHookAnswersAsAFailedKernelCall) {
    const UInt32 source = 0;
    const uint64_t calls = hx::iokit::connectCallCount();
    hx::iokit::failNextCall(kAudioClientConnection);
    EXPECT_EQ(
        AudioDeviceSetProperty(mDevice, nullptr, 0, false, fourCC("csrc"), sizeof source, &source),
        kInternal);
    EXPECT_EQ(hx::iokit::connectCallCount(), calls + 1);
    // The next call goes through.
    EXPECT_EQ(
        AudioDeviceSetProperty(mDevice, nullptr, 0, false, fourCC("csrc"), sizeof source, &source),
        0);
    UInt32 back = 7;
    UInt32 size = sizeof back;
    EXPECT_EQ(AudioDeviceGetProperty(mDevice, 0, false, fourCC("csrc"), &size, &back), 0);
    EXPECT_EQ(back, source);
}

} // namespace
