// An active audio server device over the scripted kernel service: the
// HX-5100's description (or another product's identity), settings 48 kHz,
// 24-bit stereo both ways, and a control-block fixture - three input
// sources with mute and per-channel volume, one output source with mute and
// a master-only volume. The server host, loaded with the plug-in's own
// driver interface, performs the device's configuration changes and records
// the host notices. Property calls go through the device's entries as the
// driver interface makes them, a thrown status becoming the answer.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "abi/AudioSM.h"
#include "abi/ProductIdentities.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/coreaudio/ServerHost.h"
#include "platform/sys/HXProcess.h"
#include "plugins/server/CAException.h"
#include "plugins/server/QnASPlugInDevice.h"
#include "plugins/server/QnASPlugInObjectMap.h"
#include "plugins/server/QnASPlugInPlugIn.h"
#include "tests/device/DeviceLogicFixtures.h"
#include "tests/plugins/server/ScriptedKernelService.h"
#include "tests/plugins/server/ServerDriverReference.h"

namespace servertest {

using hx::test::KernelScript;
using hx::test::ScriptedKernelService;
using hx::test::ScriptedReply;

constexpr UInt32 fcc(const char (&c)[5]) {
    return hx::coreaudio::fourCC(c);
}

inline void fillEndpoint(XsEndpoint& e, const char* name, int16_t channels, bool mute) {
    std::strncpy(e.mName, name, sizeof e.mName - 1);
    e.mChannels = channels;
    e.mMutePresent = mute ? 1 : 0;
    e.mVolumePresent = 1;
    for (XsVolumeTriplet& v : e.mVolumes)
        v = {int16_t(-96 * 256), 0, 0};
}

inline void fillControls(DriverSM& area) {
    XsControlGroup& in = area.mControls.cIn;
    in.mCount = 3;
    in.iSelector = 0x01;
    fillEndpoint(in.mEndpoints[0], "Line", 2, true);
    fillEndpoint(in.mEndpoints[1], "Mic", 2, true);
    fillEndpoint(in.mEndpoints[2], "S/PDIF", 2, true);
    XsControlGroup& out = area.mControls.cOut;
    out.mCount = 1;
    out.iSelector = 0x01;
    fillEndpoint(out.mEndpoints[0], "Speakers", -1, true);
}

class ServerDevice : public ::testing::Test {
public:
    void SetUp() override { start(kKorvexVendorID, kKorvexHX5100ProductID); }

    void start(uint16_t vendor, uint16_t product) {
        hx::sys::setOwnUid(501);
        std::filesystem::create_directories(hx::path::map("/tmp"));
        service = ScriptedKernelService::publish("SCRIPTED-UID");
        area = reinterpret_cast<DriverSM*>(service->area(1));
        area->mChannelSettings = QnChannelSettings{48000, 2, 24, 2, 24, 0};
        area->mHighSpeed = 1;
        std::strcpy(area->mModelName, "HX-5100");
        std::strcpy(area->mDeviceUID, "KERNEL-UID");
        audiosm::store32(&area->mConfigured, 1);
        fillControls(*area);
        reinterpret_cast<AudioSM*>(service->area(4))->_layout(2, 48000, 0);
        reinterpret_cast<AudioSM*>(service->area(5))->_layout(2, 48000, 0);
        // The description is set below; the kernel's answer ends at once.
        service->script([](KernelScript& s) {
            s.queued[4].push_back({kIOReturnSuccess, {}, true, 0});
            s.userClassId = 0x5C1;
            // This connection's client identity.
            s.standing[27] = {kIOReturnSuccess, {0x77, 0, 0, 0, 0, 0, 0, 0}, false, 0};
        });
        QnASPlugInIOKitIterator it(IOServiceMatching("ScriptedKernelService"));
        io_object_t entry = it.Next();
        id = QnASPlugInObjectMap::GetNextObjectID();
        device = new QnASPlugInDevice(id, entry);
        IOObjectRelease(entry);
        QnASPlugInObjectMap::MapObject(id, device);
        device->Activate();
        auto info = devicelogic::hx5100Info(true);
        info->mVendor = vendor;
        info->mProduct = product;
        std::memcpy(&device->deviceInfo(), info.get(), sizeof(APIDeviceInfo));
        device->logic().setupSpecificFeatures();
        device->logic().createIOBuffers();
        ASSERT_TRUE(device->IsActive());
    }

    void TearDown() override {
        if (host) host->shutdown();
        QnASPlugInPlugIn::sHost = nullptr;
        if (!deviceGone) {
            if (device->IsActive()) device->Deactivate();
            QnASPlugInObjectMap::UnmapObject(id, device);
        }
        ScriptedKernelService::unpublish(service);
        hx::sys::resetProcessOverrides();
    }

    // The server host with the device listed; its notices and changes are
    // recorded from here on.
    hx::coreaudio::ServerHost& serverHost() {
        if (!host) {
            QnASPlugInPlugIn::GetInstance()->TestSeam_AddDevice(id);
            host = std::make_unique<hx::coreaudio::ServerHost>();
            EXPECT_EQ(host->loadDriver(hx::test::serverDriverReference()), 0);
            host->settle();
        }
        return *host;
    }
    std::vector<UInt64> performedActions() {
        serverHost().settle();
        std::vector<UInt64> actions;
        for (const auto& c : host->configurationChanges())
            if (c.device == id && c.performed) actions.push_back(c.action);
        return actions;
    }
    std::vector<UInt64> requestedActions() {
        serverHost().settle();
        std::vector<UInt64> actions;
        for (const auto& c : host->configurationChanges())
            if (c.device == id) actions.push_back(c.action);
        return actions;
    }
    // The selectors the host was told of on an object, in order.
    std::vector<UInt32> notices(AudioObjectID object) {
        serverHost().settle();
        std::vector<UInt32> out;
        for (const auto& call : host->propertiesChangedCalls())
            if (call.object == object)
                for (const auto& a : call.addresses)
                    out.push_back(a.mSelector);
        return out;
    }
    size_t requestsOf(uint32_t req) {
        const auto r = service->requests();
        return size_t(std::count(r.begin(), r.end(), req));
    }

    static OSStatus status(const std::function<void()>& call) {
        try {
            call();
            return 0;
        } catch (const CAException& e) {
            return e.GetError();
        }
    }
    static AudioObjectPropertyAddress global(UInt32 selector) {
        return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMaster};
    }
    OSStatus get(AudioObjectID object, UInt32 selector, UInt32 room, void* out, UInt32& written,
                 UInt32 qualifierSize = 0, const void* qualifier = nullptr, pid_t pid = 0) {
        written = 0;
        const AudioObjectPropertyAddress a = global(selector);
        QnASPlugInObject& o = *device;
        return status([&] {
            o.GetPropertyData(object, pid, a, qualifierSize, qualifier, room, written, out);
        });
    }
    OSStatus set(AudioObjectID object, UInt32 selector, UInt32 size, const void* data) {
        const AudioObjectPropertyAddress a = global(selector);
        QnASPlugInObject& o = *device;
        return status([&] { o.SetPropertyData(object, 0, a, 0, nullptr, size, data); });
    }
    UInt32 get32(AudioObjectID object, UInt32 selector) {
        UInt32 value = 0xDEADBEEF, written = 0;
        EXPECT_EQ(get(object, selector, 4, &value, written), 0) << std::hex << selector;
        EXPECT_EQ(written, 4u);
        return value;
    }
    OSStatus set32(AudioObjectID object, UInt32 selector, UInt32 value) {
        return set(object, selector, 4, &value);
    }

    // Sub-objects: streams, then volumes, data sources, mutes (input first).
    AudioObjectID inStream() const { return device->subObjectID(0); }
    AudioObjectID outStream() const { return device->subObjectID(1); }
    AudioObjectID volume(bool input) const { return device->subObjectID(input ? 2 : 3); }
    AudioObjectID source(bool input) const { return device->subObjectID(input ? 4 : 5); }
    AudioObjectID mute(bool input) const { return device->subObjectID(input ? 6 : 7); }

    static constexpr UInt64 kOwnClient = 0x77;

    hx::test::TempRoot root;
    hx::clock::VirtualClock clock;
    ScriptedKernelService* service = nullptr;
    DriverSM* area = nullptr;
    QnASPlugInDevice* device = nullptr;
    AudioObjectID id = 0;
    bool deviceGone = false;
    std::unique_ptr<hx::coreaudio::ServerHost> host;
};

} // namespace servertest
