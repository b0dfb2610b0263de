// An active audio server device over the scripted kernel service, for the
// property tests: the device is made, mapped with its sub-objects and
// activated as discovery does; readers are fake processes by name.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "abi/AudioSM.h"
#include "abi/DeviceFamilies.h"
#include "device/ProcessNames.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/sys/HXProcess.h"
#include "plugins/server/CAException.h"
#include "plugins/server/QnASCustomProperties.h"
#include "plugins/server/QnASPlugInDevice.h"
#include "plugins/server/QnASPlugInObjectMap.h"
#include "plugins/server/QnASPlugInPlugIn.h"
#include "tests/device/DeviceLogicFixtures.h"
#include "tests/plugins/server/ScriptedKernelService.h"

namespace hx::test {

constexpr UInt32 fcc(const char (&c)[5]) {
    return hx::coreaudio::fourCC(c);
}

// A selector from a table of texts.
inline UInt32 code(const char* s) {
    return UInt32(uint8_t(s[0])) << 24 | UInt32(uint8_t(s[1])) << 16 | UInt32(uint8_t(s[2])) << 8 |
           uint8_t(s[3]);
}

constexpr AudioObjectPropertyScope kGlob = fcc("glob"), kInpt = fcc("inpt"), kOutp = fcc("outp"),
                                   kPtru = fcc("ptru"), kOther = fcc("zzzz");

// The status a call threw, 0 when it returned.
template <typename F> OSStatus statusOf(F call) {
    try {
        call();
        return 0;
    } catch (const CAException& e) {
        return e.GetError();
    }
}

class DevicePropertyFixture : public ::testing::Test {
protected:
    static constexpr pid_t kUnknownPid = 987654;

    void SetUp() override {
        std::filesystem::create_directories(hx::path::map("/tmp"));
        service = ScriptedKernelService::publish("SCRIPTED-UID");
        area = reinterpret_cast<DriverSM*>(service->area(1));
        area->mChannelSettings = QnChannelSettings{48000, 2, 24, 2, 24, 0};
        std::strcpy(area->mVendorString, "Korvex");
        std::strcpy(area->mModelName, "HX-5100");
        std::strcpy(area->mDeviceUID, "KERNEL-UID");
        audiosm::store32(&area->mConfigured, 1);
        reinterpret_cast<AudioSM*>(service->area(4))->_layout(2, 48000, 0);
        reinterpret_cast<AudioSM*>(service->area(5))->_layout(2, 48000, 0);
        service->script([](KernelScript& s) {
            s.queued[4].push_back({kIOReturnSuccess, std::vector<uint8_t>(256, 0), true, 256});
            s.queued[4].push_back({kIOReturnSuccess, std::vector<uint8_t>(148, 0), true, 148});
        });
        QnASPlugInIOKitIterator it(IOServiceMatching("ScriptedKernelService"));
        io_object_t entry = it.Next();
        id = QnASPlugInObjectMap::GetNextObjectID();
        device = new QnASPlugInDevice(id, entry);
        IOObjectRelease(entry);
        QnASPlugInObjectMap::MapObject(id, device);
        device->mapSubObjects();
        device->Activate();
        ASSERT_TRUE(device->IsActive());
        // The HX-5100's description: 44100 and 48000.
        device->deviceInfo() = *devicelogic::hx5100Info(false);
        hx::sys::hideRealProcesses(true); // the table holds the test's readers only
        hx::sys::addFakeProcess({kReaderPid, "", "Reader", 'S', 501});
    }
    void TearDown() override {
        hx::sys::clearFakeProcesses();
        hx::sys::hideRealProcesses(false);
        QnASPlugInPlugIn::sHost = nullptr;
        device->unmapSubObjects();
        QnASPlugInObjectMap::UnmapObject(id, device);
        ScriptedKernelService::unpublish(service);
    }

    void setIdentity(uint16_t vendor, uint16_t product) {
        device->deviceInfo().mVendor = vendor;
        device->deviceInfo().mProduct = product;
    }
    // The next reads come from a process of this name.
    pid_t reader(const std::string& name) {
        hx::sys::clearFakeProcesses();
        hx::sys::addFakeProcess({kReaderPid, name, name, 'S', 501});
        return kReaderPid;
    }
    size_t requestsOf(uint32_t req) {
        const auto r = service->requests();
        return size_t(std::count(r.begin(), r.end(), req));
    }

    OSStatus get(AudioObjectPropertySelector sel, AudioObjectPropertyScope scope, UInt32 element,
                 UInt32 room, UInt32& size, void* data, pid_t pid = kReaderPid,
                 AudioObjectID object = 0) {
        const AudioObjectPropertyAddress a{sel, scope, element};
        return statusOf([&] {
            device->GetPropertyData(object ? object : id, pid, a, 0, nullptr, room, size, data);
        });
    }
    // A 4-byte word read.
    UInt32 word(AudioObjectPropertySelector sel, AudioObjectPropertyScope scope = kGlob,
                pid_t pid = kReaderPid) {
        UInt32 value = 0xDEADBEEF, size = 0;
        EXPECT_EQ(get(sel, scope, 0, 4, size, &value, pid), 0) << sel;
        return value;
    }
    // An object read; the caller releases it.
    CFTypeRef object(AudioObjectPropertySelector sel, AudioObjectPropertyScope scope = kGlob,
                     UInt32 element = 0, pid_t pid = kReaderPid) {
        CFTypeRef value = nullptr;
        UInt32 size = 0;
        EXPECT_EQ(get(sel, scope, element, 8, size, &value, pid), 0) << sel;
        EXPECT_EQ(size, 8u);
        return value;
    }
    std::string text(AudioObjectPropertySelector sel, AudioObjectPropertyScope scope = kGlob,
                     UInt32 element = 0, pid_t pid = kReaderPid) {
        CFTypeRef s = object(sel, scope, element, pid);
        if (!s) return "(null)";
        char buffer[256] = {};
        CFStringGetCString(static_cast<CFStringRef>(s), buffer, sizeof buffer,
                           kCFStringEncodingUTF8);
        CFRelease(s);
        return buffer;
    }
    OSStatus set(AudioObjectPropertySelector sel, UInt32 size, const void* data,
                 AudioObjectPropertyScope scope = kGlob) {
        const AudioObjectPropertyAddress a{sel, scope, 0};
        return statusOf(
            [&] { device->SetPropertyData(id, kReaderPid, a, 0, nullptr, size, data); });
    }
    OSStatus setObject(AudioObjectPropertySelector sel, CFTypeRef value) {
        return set(sel, sizeof value, &value);
    }

    static constexpr pid_t kReaderPid = 4711;
    hx::test::TempRoot root;
    hx::clock::VirtualClock clock;
    ScriptedKernelService* service = nullptr;
    DriverSM* area = nullptr;
    QnASPlugInDevice* device = nullptr;
    AudioObjectID id = 0;
};

} // namespace hx::test
