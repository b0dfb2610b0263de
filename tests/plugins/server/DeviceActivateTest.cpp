// Activation against the scripted kernel service: a configured device is
// only initialised, a held configuration counter leaves the restore to its
// holder, the first configurer restores and gives the counter back, a live
// updater or a failing device-information request leaves it inactive.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "abi/AudioSM.h"
#include "device/FWUpdaterDetection.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/sys/HXProcess.h"
#include "plugins/server/QnASPlugInDevice.h"
#include "plugins/server/QnASPlugInObjectMap.h"
#include "tests/plugins/server/ScriptedKernelService.h"

using hx::test::KernelScript;
using hx::test::ScriptedKernelService;
using hx::test::ScriptedReply;

namespace {

class DeviceActivate : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(hx::path::map("/tmp"));
        service = ScriptedKernelService::publish("SCRIPTED-UID");
        area = reinterpret_cast<DriverSM*>(service->area(1));
        area->mChannelSettings = QnChannelSettings{48000, 2, 24, 2, 24, 0};
        std::strcpy(area->mModelName, "HX-5100");
        std::strcpy(area->mDeviceUID, "KERNEL-UID");
        reinterpret_cast<AudioSM*>(service->area(4))->_layout(2, 48000, 0);
        reinterpret_cast<AudioSM*>(service->area(5))->_layout(2, 48000, 0);
        // Two chunks of device information, the second short.
        service->script([](KernelScript& s) {
            s.queued[4].push_back({kIOReturnSuccess, std::vector<uint8_t>(256, 1), true, 256});
            s.queued[4].push_back({kIOReturnSuccess, std::vector<uint8_t>(148, 2), true, 148});
        });
        QnASPlugInIOKitIterator it(IOServiceMatching("ScriptedKernelService"));
        io_object_t entry = it.Next();
        id = QnASPlugInObjectMap::GetNextObjectID();
        device = new QnASPlugInDevice(id, entry);
        IOObjectRelease(entry);
        // As discovery does: the map owns the device under its own ID.
        QnASPlugInObjectMap::MapObject(id, device);
    }
    void TearDown() override {
        QnASPlugInObjectMap::UnmapObject(id, device); // retired on the global queue
        ScriptedKernelService::unpublish(service);
    }
    size_t count(uint32_t req) {
        const auto r = service->requests();
        return size_t(std::count(r.begin(), r.end(), req));
    }
    uint32_t token() { return audiosm::load32(&area->mNewConfigPending); }

    hx::test::TempRoot root;
    hx::clock::VirtualClock clock;
    ScriptedKernelService* service = nullptr;
    DriverSM* area = nullptr;
    QnASPlugInDevice* device = nullptr;
    AudioObjectID id = 0;
};

} // namespace

TEST_F(DeviceActivate, AConfiguredDeviceIsOnlyInitialised) {
    audiosm::store32(&area->mConfigured, 1);
    device->Activate();
    EXPECT_TRUE(device->isInitialised());
    EXPECT_TRUE(device->IsActive());
    EXPECT_EQ(count(38) + count(1) + count(40), 0u); // no restore
    EXPECT_EQ(count(4), 2u);
    EXPECT_EQ(device->coreAudioUID(), "KERNEL-UID_CA");
    EXPECT_EQ(device->productName(), "HX-5100");
    EXPECT_EQ(service->countSelector(0), 1u);
    EXPECT_EQ(service->countSelector(7), 1u);
    // The sub-objects answer through the map while active.
    QnASPlugInObject* stream = QnASPlugInObjectMap::CopyObjectByObjectID(device->streamID(true));
    EXPECT_EQ(stream, device);
    if (stream) QnASPlugInObjectMap::ReleaseObject(stream);
    device->Deactivate();
    EXPECT_FALSE(device->IsActive());
    EXPECT_FALSE(device->isOpen());
    EXPECT_EQ(QnASPlugInObjectMap::CopyObjectByObjectID(device->streamID(true)), nullptr);
}

TEST_F(DeviceActivate, AHeldCounterLeavesTheRestoreToItsHolder) {
    audiosm::store32(&area->mNewConfigPending, 1);
    device->Activate();
    EXPECT_FALSE(device->isInitialised());
    EXPECT_EQ(count(1), 0u);
    EXPECT_EQ(token(), 1u);
    hx::log::Capture log;
    device->PerformConfigChange(kQnConfigWakeUp, nullptr);
    EXPECT_NE(log.text().find("Not initialized yet\n"), std::string::npos);
    device->Deactivate();
}

TEST_F(DeviceActivate, TheFirstConfigurerRestoresAndGivesTheCounterBack) {
    device->Activate();
    EXPECT_EQ(token(), 0u);
    EXPECT_EQ(count(1), 1u); // configured from the stored (default) settings
    EXPECT_TRUE(device->isInitialised());
    device->Deactivate();
}

TEST_F(DeviceActivate, ALiveUpdaterStopsActivationBeforeAnyConnection) {
    hx::sys::setOwnProcessName(std::string("Updater"));
    ASSERT_TRUE(fwupdateRegister());
    hx::log::Capture log;
    device->Activate();
    EXPECT_NE(log.text().find("firmware updater is active - exit\n"), std::string::npos);
    EXPECT_EQ(service->openClients(), 0u);
    EXPECT_FALSE(device->IsActive());
    fwupdateUnRegister();
    hx::sys::resetProcessOverrides();
}

TEST_F(DeviceActivate, AFailingDeviceInformationRequestClosesTheDevice) {
    service->script([](KernelScript& s) {
        s.queued[4].clear();
        s.standing[4] = {kIOReturnError, {}, false, 0};
    });
    device->Activate();
    EXPECT_FALSE(device->isOpen());
    EXPECT_FALSE(device->IsActive());
    EXPECT_FALSE(device->isInitialised());
    EXPECT_EQ(service->openClients(), 0u);
}

TEST_F(DeviceActivate, ChunkCountsEndTheTransfer) {
    struct Case {
        const char* name;
        uint32_t first;
        size_t requests;
    } const cases[] = {{"0 bytes", 0, 1}, {"257 bytes", 257, 1}, {"256 then short", 256, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service->clearCalls();
        service->script([&](KernelScript& s) {
            s.queued[4].clear();
            s.queued[4].push_back({kIOReturnSuccess, {}, true, c.first});
            s.queued[4].push_back({kIOReturnSuccess, {}, true, 10});
        });
        ASSERT_TRUE(device->_HW_Open());
        device->getApiDeviceInfo();
        EXPECT_EQ(count(4), c.requests);
        device->_HW_Close();
    }
}
