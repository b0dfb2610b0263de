// Activation against the scripted kernel service: a configured device is
// only initialised, a held configuration counter leaves the restore to its
// holder, the first configurer restores and gives the counter back, a live
// updater or a failing device-information request leaves it inactive.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <cstring>
#include <filesystem>
#include <string>

#include "abi/AudioSM.h"
#include "abi/DeviceFamilies.h"
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

namespace {
// The device information of an LX-420 whose streaming interfaces 1 and 2
// carry two channels each, as request 4 answers it in chunks of 256.
std::deque<ScriptedReply> lx420Chunks() {
    auto info = std::make_unique<APIDeviceInfo>();
    std::memset(info.get(), 0, sizeof(APIDeviceInfo));
    info->mVendor = kKorvexVendorID;
    info->mProduct = kKorvexLX420ProductID;
    info->mNumConfigurations = 1;
    APIConfigInfo& config = info->mConfigurations[0];
    config.mNumInterfaces = 2;
    for (int i = 0; i < 2; ++i) {
        config.mInterfaces[i].mInterfaceNumber = UInt8(i + 1);
        config.mInterfaces[i].mNumAlternates = 1;
        config.mInterfaces[i].mAlternates[0].mStreaming.mChannels = 2;
    }
    std::deque<ScriptedReply> chunks;
    const auto* bytes = reinterpret_cast<const uint8_t*>(info.get());
    for (size_t at = 0; at < sizeof(APIDeviceInfo); at += 256) {
        const size_t n = std::min<size_t>(256, sizeof(APIDeviceInfo) - at);
        chunks.push_back(
            {kIOReturnSuccess, std::vector<uint8_t>(bytes + at, bytes + at + n), true, UInt32(n)});
    }
    return chunks;
}

ScriptedReply userConfig(UInt8 busy, UInt8 mode) {
    return {kIOReturnSuccess, {0, busy, mode}, false, 0};
}

UInt32 interfaceChannels(QnASPlugInDevice& device, int number) {
    const APIConfigInfo& config = device.deviceInfo().mConfigurations[0];
    for (UInt32 i = 0; i < config.mNumInterfaces && i < 16; ++i)
        if (config.mInterfaces[i].mInterfaceNumber == number)
            return config.mInterfaces[i].mAlternates[0].mStreaming.mChannels;
    return 0;
}
} // namespace

TEST_F(DeviceActivate, TheLX420RestoreTakesTheModeOnceTheDeviceAnswers) {
    struct Case {
        const char* name;
        std::vector<ScriptedReply> replies;
        size_t requests;
        UInt32 outputs, inputs;
    } const cases[] = {
        {"mode 1 after one busy answer", {userConfig(0xFF, 0), userConfig(0, 1)}, 2, 6, 4},
        {"mode 2 at once", {userConfig(0, 2)}, 1, 4, 6},
        {"mode 0", {userConfig(0, 0)}, 1, 2, 2},
        {"mode 3: counts unchanged", {userConfig(0, 3)}, 1, 2, 2},
        {"busy throughout: 11 asks, counts unchanged",
         std::vector<ScriptedReply>(11, userConfig(0xFF, 1)), 11, 2, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service->clearCalls();
        service->script([&](KernelScript& s) {
            s.queued[4] = lx420Chunks();
            s.queued[33].assign(c.replies.begin(), c.replies.end());
        });
        device->Activate();
        EXPECT_TRUE(device->isInitialised());
        EXPECT_EQ(count(33), c.requests);
        EXPECT_EQ(interfaceChannels(*device, 1), c.outputs);
        EXPECT_EQ(interfaceChannels(*device, 2), c.inputs);
        device->Deactivate();
    }
}
