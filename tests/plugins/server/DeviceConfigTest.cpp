// The device's configuration changes through the server host and the
// plug-in's own driver interface: the log-only cases, one record per request
// (performed or aborted, then freed), and the power notices.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "abi/AudioSM.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/coreaudio/ServerHost.h"
#include "plugins/server/QnASPlugInDevice.h"
#include "plugins/server/QnASPlugInObjectMap.h"
#include "plugins/server/QnASPlugInPlugIn.h"
#include "tests/plugins/server/ScriptedKernelService.h"
#include "tests/plugins/server/ServerDriverReference.h"

using hx::test::KernelScript;
using hx::test::ScriptedKernelService;
using hx::test::ScriptedReply;

namespace {

class DeviceConfig : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(hx::path::map("/tmp"));
        service = ScriptedKernelService::publish("SCRIPTED-UID");
        auto* area = reinterpret_cast<DriverSM*>(service->area(1));
        area->mChannelSettings = QnChannelSettings{48000, 2, 24, 2, 24, 0};
        reinterpret_cast<AudioSM*>(service->area(4))->_layout(2, 48000, 0);
        reinterpret_cast<AudioSM*>(service->area(5))->_layout(2, 48000, 0);
        QnASPlugInIOKitIterator it(IOServiceMatching("ScriptedKernelService"));
        io_object_t entry = it.Next();
        id = QnASPlugInObjectMap::GetNextObjectID();
        device = new QnASPlugInDevice(id, entry);
        IOObjectRelease(entry);
        ASSERT_TRUE(device->_HW_Open());
        QnASPlugInObjectMap::MapObject(id, device);
        device->mapSubObjects();
    }
    void TearDown() override {
        QnASPlugInPlugIn::sHost = nullptr;
        device->unmapSubObjects();
        QnASPlugInObjectMap::UnmapObject(id, device); // released on the global queue
        ScriptedKernelService::unpublish(service);
    }
    size_t requestsOf(uint32_t req) {
        const auto r = service->requests();
        return size_t(std::count(r.begin(), r.end(), req));
    }

    hx::test::TempRoot root;
    ScriptedKernelService* service = nullptr;
    QnASPlugInDevice* device = nullptr;
    AudioObjectID id = 0;
};

} // namespace

TEST_F(DeviceConfig, BeforeInitCompleteAChangeOnlyLogs) {
    ConfigChangeInfo info{};
    info.v.rate = 44100;
    hx::log::Capture log;
    service->clearCalls();
    device->PerformConfigChange(kQnConfigChangeSampleRate, &info);
    EXPECT_NE(log.text().find("Not initialized yet\n"), std::string::npos);
    EXPECT_EQ(log.text().find("PerformConfigChange received"), std::string::npos);
    EXPECT_TRUE(service->calls().empty());
}

TEST_F(DeviceConfig, AnUnknownActionIsLoggedAndTheFlagsCleared) {
    hx::clock::VirtualClock clock;
    ASSERT_EQ(device->InitComplete(), 0);
    ASSERT_TRUE(device->isInitialised());
    device->setStreamingSuspended(true);
    hx::log::Capture log;
    device->PerformConfigChange(12, nullptr);
    const std::string text = log.text();
    EXPECT_NE(text.find("PerformConfigChange unknown 12\n"), std::string::npos);
    EXPECT_NE(text.find("PerformConfigChange Out, mInStreamingSuspended false\n"),
              std::string::npos);
    // Silence no more: the next output is the host's.
    device->StartIO();
    std::vector<uint8_t> out(64 * 6, 0x40);
    EXPECT_EQ(device->WriteOutputData(64, 0, out.data()), 0);
    EXPECT_EQ(out[0], 0x40);
    device->StopIO();
}

TEST_F(DeviceConfig, EachRequestHasItsRecordUntilTheHostPerformsOrAbortsIt) {
    hx::clock::VirtualClock clock;
    ASSERT_EQ(device->InitComplete(), 0);
    QnASPlugInPlugIn::GetInstance()->TestSeam_AddDevice(id);
    hx::coreaudio::ServerHost host;
    ASSERT_EQ(host.loadDriver(hx::test::serverDriverReference()), 0);
    host.settle();
    ConfigChangeInfo info{};
    host.abortNextConfigurationChange();
    device->requestConfigChange(kQnConfigWakeUp, info);
    device->requestConfigChange(kQnConfigChangeDigitalOutMode, info);
    device->requestConfigChange(12, info);
    hx::log::Capture log;
    host.settle();
    const auto changes = host.configurationChanges();
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_FALSE(changes[0].performed);
    EXPECT_EQ(changes[1].action, UInt64(kQnConfigChangeDigitalOutMode));
    EXPECT_TRUE(changes[1].performed);
    EXPECT_EQ(changes[2].action, 12u);
    EXPECT_EQ(device->outstandingConfigChanges(), 0u);
    EXPECT_NE(log.text().find("PerformConfigChange unknown 12\n"), std::string::npos);
    host.shutdown();
}

TEST_F(DeviceConfig, SleepSilencesTheOutputAndWakeRequestsAChangeAfterFiveSeconds) {
    hx::clock::VirtualClock clock;
    ASSERT_EQ(device->InitComplete(), 0);
    QnASPlugInPlugIn::GetInstance()->TestSeam_AddDevice(id);
    hx::coreaudio::ServerHost host;
    ASSERT_EQ(host.loadDriver(hx::test::serverDriverReference()), 0);
    host.settle();
    device->StartIO();
    device->PropertyNotificationHandler(0xE0000280, nullptr);
    EXPECT_EQ(requestsOf(43), 1u);
    std::vector<uint8_t> out(64 * 6, 0x40);
    EXPECT_EQ(device->WriteOutputData(64, 0, out.data()), 0);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0; }));
    device->StopIO();
    const uint64_t before = clock.now();
    device->PropertyNotificationHandler(0xE0000300, nullptr);
    EXPECT_EQ(requestsOf(44), 1u);
    EXPECT_GE(clock.now() - before, 5000000000ull);
    host.settle();
    const auto changes = host.configurationChanges();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].action, UInt64(kQnConfigWakeUp));
    EXPECT_TRUE(changes[0].performed);
    host.shutdown();
}

namespace {
// A reply of request 35 answering `value` in its word.
ScriptedReply answer35(UInt32 value, IOReturn status = kIOReturnSuccess) {
    std::vector<uint8_t> payload(8, 0);
    std::memcpy(payload.data() + 4, &value, 4);
    return {status, payload, false, 0};
}
} // namespace

TEST_F(DeviceConfig, AClockSourceChangeStoresWhatTheKernelReports) {
    struct Case {
        const char* name;
        UInt32 kernel, wanted, kernelAfter;
        IOReturn setStatus;
        size_t requests, notices;
    } const cases[] = {
        {"differs: set, the kernel's answer stored, one notice", 1, 2, 2, kIOReturnSuccess, 3, 1},
        {"kernel refuses: its source stays, no notice", 1, 2, 1, kIOReturnError, 3, 0},
        {"equal: nothing set, no notice", 1, 1, 1, kIOReturnSuccess, 2, 0},
    };
    hx::clock::VirtualClock clock;
    QnASPlugInPlugIn::GetInstance()->TestSeam_AddDevice(id);
    hx::coreaudio::ServerHost host;
    ASSERT_EQ(host.loadDriver(hx::test::serverDriverReference()), 0);
    host.settle();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service->script([&](KernelScript& s) {
            s.queued[35].clear();
            s.standing[35] = answer35(c.kernel);
        });
        ASSERT_EQ(device->InitComplete(), 0);
        ASSERT_EQ(device->clockSource(), c.kernel);
        service->script([&](KernelScript& s) {
            s.queued[35].push_back(answer35(c.kernel));
            if (c.wanted != c.kernel) s.queued[35].push_back(answer35(0, c.setStatus));
            s.queued[35].push_back(answer35(c.kernelAfter));
        });
        host.settle();
        const size_t noticesBefore = host.propertiesChangedCalls().size();
        service->clearCalls();
        ConfigChangeInfo info{};
        info.v.value = c.wanted;
        const uint64_t before = clock.now();
        device->requestConfigChange(kQnConfigChangeClockSource, info);
        host.settle();
        EXPECT_EQ(requestsOf(35), c.requests);
        EXPECT_EQ(device->clockSource(), c.kernelAfter);
        EXPECT_GE(clock.now() - before, 50000000ull);
        size_t csrc = 0;
        const auto calls = host.propertiesChangedCalls();
        for (size_t k = noticesBefore; k < calls.size(); ++k)
            for (const auto& a : calls[k].addresses)
                csrc += a.mSelector == hx::coreaudio::fourCC("csrc");
        EXPECT_EQ(csrc, c.notices);
        if (c.wanted != c.kernel) {
            // The set (code 16) carries the wanted source behind its code.
            const uint8_t pattern[8] = {16, 0, 0, 0, uint8_t(c.wanted), 0, 0, 0};
            bool carried = false;
            for (const auto& call : service->calls())
                if (call.request == 35)
                    carried |=
                        std::search(call.payload.begin(), call.payload.end(), std::begin(pattern),
                                    std::end(pattern)) != call.payload.end();
            EXPECT_TRUE(carried);
        }
    }
    host.shutdown();
}

TEST_F(DeviceConfig, ADataSourceTheKernelRefusesIsNotStored) {
    hx::clock::VirtualClock clock;
    ASSERT_EQ(device->InitComplete(), 0);
    QnASPlugInPlugIn::GetInstance()->TestSeam_AddDevice(id);
    hx::coreaudio::ServerHost host;
    ASSERT_EQ(host.loadDriver(hx::test::serverDriverReference()), 0);
    host.settle();
    // No control records in this driver area: every source is refused.
    for (UInt64 action : {kQnConfigChangeInputDataSource, kQnConfigChangeOutputDataSource}) {
        ConfigChangeInfo info{};
        info.v.value = 3;
        device->requestConfigChange(action, info);
        host.settle();
        EXPECT_EQ(device->currentDataSource(action == kQnConfigChangeInputDataSource), 1u);
    }
    EXPECT_EQ(host.configurationChanges().size(), 2u);
    host.shutdown();
}

TEST_F(DeviceConfig, TheFarlaneRefreshStoresTheConfigurationUnderTheDeviceState) {
    hx::clock::VirtualClock clock;
    ASSERT_EQ(device->InitComplete(), 0);
    QnASPlugInPlugIn::GetInstance()->TestSeam_AddDevice(id);
    hx::coreaudio::ServerHost host;
    ASSERT_EQ(host.loadDriver(hx::test::serverDriverReference()), 0);
    host.settle();
    const uint8_t state[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (UInt64 action : {kQnConfigChangeFarlaneConfig, kQnConfigChangeFarlaneConfig2}) {
        service->script([&](KernelScript& s) {
            std::vector<uint8_t> payload(12, 0);
            std::memcpy(payload.data() + 4, state, 8);
            s.queued[35].push_back({kIOReturnSuccess, payload, false, 0});
        });
        service->clearCalls();
        hx::log::Capture log;
        ConfigChangeInfo info{};
        device->requestConfigChange(action, info);
        host.settle();
        EXPECT_EQ(requestsOf(35), 1u);
        EXPECT_EQ(log.text().find("PerformConfigChange unknown"), std::string::npos);
        QN_Sorvik_ConfigAndMap stored{};
        char key[8];
        std::memcpy(key, state, 8);
        EXPECT_TRUE(device->getStoredSorvikConfigAndMapping(stored, key));
    }
    host.shutdown();
}
