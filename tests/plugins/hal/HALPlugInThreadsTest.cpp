// The HAL plug-in through the HAL host under concurrency: look-ups from
// several program threads while a device goes, and unloading while devices
// come and go (run under the address and thread sanitizers).
#include "tests/plugins/hal/HALPlugInFixture.h"

#include "abi/ProductIdentities.h"
#include "device/harness/DeviceRoad.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/cf/CFPlugIn.h"
#include "platform/cf/HXCF.h"
#include "platform/iokit/HXIOKit.h"
#include "platform/kern/IOLib.h"
#include "platform/sys/HXProcess.h"
#include "platform/usb/IOUSBHostFamily.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/HX5100Model.h"

#include <atomic>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

using hx::coreaudio::HALAnnouncement;
using hx::coreaudio::HALHost;
using hx::coreaudio::HALHostOptions;
using hx::devroad::DeviceRoad;
using hx::devroad::RampProc;

using namespace hx::haltest;

namespace {

OSStatus silentProc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*,
                    const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*, void*) {
    return 0;
}

TEST_F(HALPlugIn, LookUpsOnFourThreadsDuringAnUnplugAnswerCleanly) {
    ASSERT_EQ(load(), 0);
    plugSecond();
    ASSERT_TRUE(devicesBecome(2));
    const auto list = mHost->devices();
    const auto streams = mHost->streams(list[1]);
    ASSERT_EQ(streams.size(), 2u);
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> calls{0}, unexpected{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 4; ++w)
        workers.emplace_back([&, w] {
            while (!stop) {
                AudioTimeStamp t{};
                UInt32 v = 0, size = sizeof v;
                OSStatus s = 0;
                switch (w) {
                case 0:
                    s = AudioDeviceGetCurrentTime(list[1], &t);
                    break;
                case 1:
                    s = AudioDeviceGetProperty(list[1], 0, false,
                                               kAudioDevicePropertyDeviceIsRunning, &size, &v);
                    break;
                case 2:
                    s = AudioStreamGetProperty(streams[w % 2], 0,
                                               kAudioDevicePropertyDeviceIsRunning, &size, &v);
                    break;
                default: {
                    AudioDeviceIOProcID id = nullptr;
                    s = AudioDeviceCreateIOProcID(list[1], silentProc, nullptr, &id);
                    if (s == 0) s = AudioDeviceDestroyIOProcID(list[1], id);
                    break;
                }
                }
                ++calls;
                if (s != 0 && s != kNoDevice && s != kAudioHardwareNotRunningError &&
                    s != kAudioHardwareUnknownPropertyError && s != kError)
                    ++unexpected;
            }
        });
    unplugSecond();
    EXPECT_TRUE(devicesBecome(1));
    stop = true;
    {
        hx::clock::Idle idle;
        for (auto& t : workers)
            t.join();
    }
    EXPECT_GT(calls.load(), 0u);
    EXPECT_EQ(unexpected.load(), 0u);
    AudioTimeStamp t{};
    EXPECT_EQ(AudioDeviceGetCurrentTime(list[1], &t), kNoDevice);
}

// A program thread asks for the time while the audio thread moves it on:
// every answer is one update's stamp, never half of one and half of the
// next (the thread sanitizer checks the hand-over).
TEST_F(HALPlugIn, TheTimeAProgramThreadReadsWhileTheDeviceRunsIsOneUpdatesStamp) {
    ASSERT_EQ(load(), 0);
    const AudioDeviceID dev = onlyDevice();
    ASSERT_NE(dev, 0u);
    RampProc ramp;
    AudioDeviceIOProcID id = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(dev, &RampProc::proc, &ramp, &id), 0);
    ASSERT_EQ(AudioDeviceStart(dev, id), 0);
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> answered{0}, torn{0};
    std::thread reader([&] {
        while (!stop) {
            AudioTimeStamp t{};
            if (AudioDeviceGetCurrentTime(dev, &t) != 0) continue;
            ++answered;
            // Before the first update the stamp is empty; after it, every
            // stamp carries the filter's flags and a rate scalar of 1.
            const bool empty = t.mFlags == 0 && t.mRateScalar == 0.0;
            const bool whole = t.mFlags != 0 && t.mRateScalar == 1.0;
            if (!empty && !whole) ++torn;
        }
    });
    mRoad->run(300000);
    stop = true;
    {
        hx::clock::Idle idle;
        reader.join();
    }
    EXPECT_GT(ramp.calls.load(), 0u);
    EXPECT_GT(answered.load(), 0u);
    EXPECT_EQ(torn.load(), 0u);
    ASSERT_EQ(AudioDeviceStop(dev, id), 0);
    ASSERT_EQ(AudioDeviceDestroyIOProcID(dev, id), 0);
}

TEST_F(HALPlugIn, UnloadsWhileDevicesComeAndGo) {
    ASSERT_EQ(load(), 0);
    std::atomic<bool> done{false};
    std::thread plugger([&] {
        for (int i = 0; i < 3 && !done; ++i) {
            plugSecond();
            unplugSecond();
        }
    });
    mRoad->run(150000);
    mHost->unload();
    done = true;
    {
        hx::clock::Idle idle;
        plugger.join();
    }
    EXPECT_FALSE(mHost->loaded());
    EXPECT_EQ(instances(), 0);
    for (const auto& a : mHost->announcements())
        EXPECT_NE(a.kind, HALAnnouncement::Kind::DevicesDied) << "unloading announces no death";
}

} // namespace
