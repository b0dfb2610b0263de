// Activation against the scripted kernel service: a configured device is
// only initialised, a held configuration counter leaves the restore to its
// holder, the first configurer restores and gives the counter back, a live
// updater or a failing device-information request leaves it inactive. The
// description patch after the information transfer, the low-buffer
// firmware check and the Farlane restore run through the device's
// activation.
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
#include "plugins/server/QnASPlugInPlugIn.h"
#include "platform/coreaudio/ServerHost.h"
#include "platform/kern/OSContainers.h"
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

namespace {
// Request 4's answers for a device information record: chunks of 256, the
// last one short.
std::deque<ScriptedReply> chunksOf(const APIDeviceInfo& info) {
    std::deque<ScriptedReply> chunks;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&info);
    for (size_t at = 0; at < sizeof(APIDeviceInfo); at += 256) {
        const size_t n = std::min<size_t>(256, sizeof(APIDeviceInfo) - at);
        chunks.push_back(
            {kIOReturnSuccess, std::vector<uint8_t>(bytes + at, bytes + at + n), true, UInt32(n)});
    }
    return chunks;
}

// A product's identity with two streaming interfaces of one mono 24-bit
// alternate each.
std::unique_ptr<APIDeviceInfo> identity(UInt16 vendor, UInt16 product) {
    auto info = std::make_unique<APIDeviceInfo>();
    std::memset(info.get(), 0, sizeof(APIDeviceInfo));
    info->mVendor = vendor;
    info->mProduct = product;
    info->mNumConfigurations = 1;
    APIConfigInfo& config = info->mConfigurations[0];
    config.mNumInterfaces = 2;
    for (int i = 0; i < 2; ++i) {
        config.mInterfaces[i].mInterfaceNumber = UInt8(i + 1);
        config.mInterfaces[i].mNumAlternates = 1;
        config.mInterfaces[i].mAlternates[0].mStreaming.mChannels = 1;
        config.mInterfaces[i].mAlternates[0].mStreaming.mBitResolution = 24;
    }
    return info;
}

UInt32 dispatchCode(const hx::test::KernelCall& call) {
    UInt32 code = 0;
    if (call.payload.size() >= 4) std::memcpy(&code, call.payload.data(), 4);
    return code;
}

// A dispatch reply: the code, then the answer's bytes.
ScriptedReply dispatchReply(UInt32 code, const void* answer, size_t bytes) {
    std::vector<uint8_t> payload(4 + bytes);
    std::memcpy(payload.data(), &code, 4);
    std::memcpy(payload.data() + 4, answer, bytes);
    return {kIOReturnSuccess, payload, false, 0};
}
} // namespace

TEST_F(DeviceActivate, TheDescriptionIsPatchedAfterTheInformationTransfer) {
    struct Case {
        const char* name;
        UInt16 vendor, product;
        bool overLastChunk; // the last chunk one byte over the space left
        bool patched;
        UInt8 inputs, outputs;
    } const cases[] = {
        {"Farlane-1 product 4", kSorvikVendorID, 4, false, true, 8, 6},
        {"Farlane-1 product 6", kSorvikVendorID, 6, false, true, 8, 6},
        {"Farlane-1 product 8", kSorvikVendorID, 8, false, true, 10, 12},
        {"Farlane-1 product 11", kSorvikVendorID, 11, false, true, 2, 2},
        {"Farlane-2: as transferred", kSorvikVendorID, 10, false, false, 1, 1},
        {"another product: as transferred", 0x1234, 0x5678, false, false, 1, 1},
        {"one over the space left: unpatched", kSorvikVendorID, 4, true, false, 1, 1},
    };
    audiosm::store32(&area->mConfigured, 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service->clearCalls();
        auto chunks = chunksOf(*identity(c.vendor, c.product));
        if (c.overLastChunk) {
            chunks.back().count += 1;
            chunks.back().payload.push_back(0);
        }
        service->script([&](KernelScript& s) { s.queued[4] = chunks; });
        device->Activate();
        ASSERT_TRUE(device->IsActive());
        EXPECT_EQ(count(4), 387u); // 386 chunks of 256 and one of 148
        const APIConfigInfo& config = device->deviceInfo().mConfigurations[0];
        EXPECT_EQ(device->deviceInfo().mProduct, c.product);
        for (int block = 0; block < 2; ++block) {
            SCOPED_TRACE(block == 0 ? "input block" : "output block");
            const APIInterfaceInfo& iface = config.mInterfaces[block];
            const UInt8 channels = block == 0 ? c.inputs : c.outputs;
            ASSERT_EQ(iface.mNumAlternates, c.patched ? 2u : 1u);
            EXPECT_EQ(iface.mAlternates[0].mStreaming.mChannels, channels);
            EXPECT_EQ(iface.mAlternates[0].mStreaming.mBitResolution, c.patched ? 16u : 24u);
            if (c.patched) {
                EXPECT_EQ(iface.mAlternates[1].mStreaming.mChannels, channels);
                EXPECT_EQ(iface.mAlternates[1].mStreaming.mBitResolution, 24u);
            }
        }
        device->Deactivate();
    }
}

TEST_F(DeviceActivate, LowBufferFirmwareIsReadAtActivation) {
    // A device without features counts as the high-rate family; at 44100 its
    // latencies are 632 out, 187 in, and 544, 99 with low-buffer firmware.
    struct Case {
        const char* name;
        SInt32 lowBufferVersion; // 0: not in the service's properties
        UInt32 firmware;
        IOReturn firmwareStatus;
        UInt32 output, input;
    } const cases[] = {
        {"no low-buffer version", 0, 0x0300, kIOReturnSuccess, 632, 187},
        {"firmware above the version", 0x0200, 0x0300, kIOReturnSuccess, 544, 99},
        {"firmware at the version", 0x0300, 0x0300, kIOReturnSuccess, 544, 99},
        {"firmware below the version", 0x0400, 0x0300, kIOReturnSuccess, 632, 187},
        {"firmware request failing reads as 0", 0x0200, 0x0300, kIOReturnError, 632, 187},
    };
    audiosm::store32(&area->mConfigured, 1);
    area->mChannelSettings.Frequency = 44100;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        OSDictionary* specific = OSDictionary::withCapacity(1);
        if (c.lowBufferVersion) {
            OSNumber* n = OSNumber::withNumber(UInt64(c.lowBufferVersion), 32);
            specific->setObject("kLowBuffFWVersion", n);
            n->release();
        }
        service->setProperty("QnSpecific", specific);
        specific->release();
        service->clearCalls();
        size_t asked = 0;
        service->script([&](KernelScript& s) {
            s.queued[4] = chunksOf(*identity(0x1234, 0x5678));
            s.onRequest = [&c, &asked](const hx::test::KernelCall& call, ScriptedReply& reply,
                                       uint8_t*) {
                if (call.request != 35 || dispatchCode(call) != 23) return;
                ++asked;
                reply = dispatchReply(23, &c.firmware, 4);
                reply.status = c.firmwareStatus;
            };
        });
        device->Activate();
        ASSERT_TRUE(device->IsActive());
        EXPECT_EQ(asked, 1u);
        EXPECT_EQ(device->getLatency(false), c.output);
        EXPECT_EQ(device->getLatency(true), c.input);
        device->Deactivate();
        service->script([](KernelScript& s) { s.onRequest = nullptr; });
    }
}

TEST_F(DeviceActivate, TheFarlaneRestoreSendsTheStoredMapAndFallsBackToTheDefaults) {
    // The first configurer of a first-generation Farlane restores the
    // configuration and map stored under the device's state: request 35
    // code 68, the kernel then reports configured within five checks 50 ms
    // apart, else a second attempt with the defaults.
    constexpr UInt16 kProduct = 4;
    const UInt8 state[8] = {0x46, 0x4C, 0x31, 0x2D, 0x00, 0x00, 0x00, 0x07};
    QN_Sorvik_ConfigAndMap stored{};
    stored.cConfig = QN_DeviceConfiguration{96000, 8, 24, 6, 24};
    for (int k = 0; k < 8; ++k) {
        stored.cMap.mEInputMap[k] = k;
        stored.cMap.mEOutputMap[k] = k < 6 ? k : QN_Sorvik_ChannelMap::kNoChannel;
    }
    QN_Sorvik_ConfigAndMap defaults{};
    defaults.cMap = stored.cMap;
    defaults.cMap.setDefaults(kSorvikVendorID, kProduct);
    defaults.cConfig = QN_DeviceConfiguration{48000, 2, 24, 2, 24};

    struct Case {
        const char* name;
        bool store;              // a record under the device's state
        bool configuredByReq1;   // the kernel reports configured after request 1
        int configuredAtAttempt; // 0: never
        std::vector<const QN_Sorvik_ConfigAndMap*> sent;
        uint64_t atLeastNs; // the checks' waits
    } const cases[] = {
        {"nothing stored: the defaults at once", false, true, 1, {&defaults}, 0},
        {"stored, taken at once", true, true, 1, {&stored}, 0},
        {"stored, refused once: the defaults",
         true,
         true,
         2,
         {&stored, &defaults},
         5 * 50000000ull},
        {"never configured: two attempts", true, true, 0, {&stored, &defaults}, 10 * 50000000ull},
        {"not configured after request 1: no restore", true, false, 0, {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Storage through a host (the cases run with nothing stored first).
        hx::coreaudio::ServerHost host;
        QnASPlugInPlugIn::sHost = host.hostInterface();
        if (c.store) {
            CFMutableDictionaryRef settings = CFDictionaryCreateMutable(
                nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
            ASSERT_TRUE(device->writeStorageProperties(settings));
            CFRelease(settings);
            QN_Sorvik_ConfigAndMap record = stored;
            char key[8];
            std::memcpy(key, state, 8);
            ASSERT_TRUE(device->setStoredSorvikConfigAndMapping(record, key, true));
        }
        audiosm::store32(&area->mConfigured, 0);
        audiosm::store32(&area->mNewConfigPending, 0);
        service->clearCalls();
        std::vector<QN_Sorvik_ConfigAndMap> sent;
        service->script([&](KernelScript& s) {
            s.queued[4] = chunksOf(*identity(kSorvikVendorID, kProduct));
            s.onRequest = [&](const hx::test::KernelCall& call, ScriptedReply& reply,
                              uint8_t* driverArea) {
                auto* a = reinterpret_cast<DriverSM*>(driverArea);
                if (call.request == 1 && c.configuredByReq1) audiosm::store32(&a->mConfigured, 1);
                if (call.request != 35) return;
                const UInt32 code = dispatchCode(call);
                if (code == 67) reply = dispatchReply(67, state, sizeof state);
                if (code == 68) {
                    QN_Sorvik_ConfigAndMap record{};
                    std::memcpy(&record, call.payload.data() + 4, sizeof record);
                    sent.push_back(record);
                    audiosm::store32(&a->mConfigured,
                                     int(sent.size()) == c.configuredAtAttempt ? 1 : 0);
                }
                if (code == 69 && !sent.empty())
                    reply = dispatchReply(69, &sent.back(), sizeof sent.back());
            };
        });
        hx::log::Capture log;
        const uint64_t before = clock.now();
        device->Activate();
        const uint64_t waited = clock.now() - before;
        service->script([](KernelScript& s) { s.onRequest = nullptr; });
        EXPECT_TRUE(device->IsActive());
        EXPECT_EQ(token(), 0u);
        ASSERT_EQ(sent.size(), c.sent.size());
        for (size_t k = 0; k < sent.size(); ++k) {
            SCOPED_TRACE(k);
            EXPECT_EQ(std::memcmp(&sent[k], c.sent[k], sizeof sent[k]), 0);
        }
        EXPECT_GE(waited, c.atLeastNs);
        size_t lines = 0;
        const std::string text = log.text();
        for (size_t at = text.find("Sorvik savedConfigMap:"); at != std::string::npos;
             at = text.find("Sorvik savedConfigMap:", at + 1))
            ++lines;
        EXPECT_EQ(lines, c.sent.size());
        // The usage lists follow what the kernel holds after the restore.
        if (!sent.empty()) {
            bool in[16], out[16], wantIn[16], wantOut[16];
            device->logic().getSorvikUsage(in, out);
            sent.back().cMap.getUsageList(wantIn, wantOut, kSorvikVendorID, kProduct);
            EXPECT_TRUE(std::equal(in, in + 16, wantIn));
            EXPECT_TRUE(std::equal(out, out + 16, wantOut));
        }
        device->Deactivate();
        QnASPlugInPlugIn::sHost = nullptr;
        host.shutdown();
        hx::sys::resetProcessOverrides();
    }
}

TEST_F(DeviceActivate, DeactivationKeepsTheFarlaneConfigurationInHostStorage) {
    // A first-generation Farlane leaves the configuration and map the kernel
    // last reported in host storage under its device state when it
    // deactivates; other products store no such record.
    UInt8 state[8] = {0x46, 0x4C, 0x31, 0x2D, 0x00, 0x00, 0x00, 0x00};
    QN_Sorvik_ConfigAndMap held{};
    held.cConfig = QN_DeviceConfiguration{88200, 6, 24, 4, 24};
    for (int k = 0; k < 8; ++k) {
        held.cMap.mEInputMap[k] = k < 6 ? 7 - k : QN_Sorvik_ChannelMap::kNoChannel;
        held.cMap.mEOutputMap[k] = k < 4 ? k : QN_Sorvik_ChannelMap::kNoChannel;
    }
    struct Case {
        const char* name;
        UInt16 vendor, product;
        bool stored;
    } const cases[] = {
        {"Farlane-1 product 4", kSorvikVendorID, 4, true},
        {"Farlane-1 product 11", kSorvikVendorID, 11, true},
        {"Farlane-2", kSorvikVendorID, 10, false},
        {"HX-5100", kKorvexVendorID, kKorvexHX5100ProductID, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ++state[7]; // a device state of its own per case
        hx::coreaudio::ServerHost host;
        QnASPlugInPlugIn::sHost = host.hostInterface();
        // The kernel configures the device from its stored (default) settings
        // and takes the default map at once.
        audiosm::store32(&area->mConfigured, 0);
        audiosm::store32(&area->mNewConfigPending, 0);
        service->script([&](KernelScript& s) {
            s.queued[4] = chunksOf(*identity(c.vendor, c.product));
            s.onRequest = [&](const hx::test::KernelCall& call, ScriptedReply& reply,
                              uint8_t* driverArea) {
                auto* a = reinterpret_cast<DriverSM*>(driverArea);
                if (call.request == 1) audiosm::store32(&a->mConfigured, 1);
                if (call.request != 35) return;
                const UInt32 code = dispatchCode(call);
                if (code == 67) reply = dispatchReply(67, state, sizeof state);
                if (code == 69) reply = dispatchReply(69, &held, sizeof held);
            };
        });
        device->Activate();
        ASSERT_TRUE(device->IsActive());
        service->script([](KernelScript& s) { s.onRequest = nullptr; });
        char key[8];
        std::memcpy(key, state, 8);
        QN_Sorvik_ConfigAndMap before{};
        EXPECT_FALSE(device->getStoredSorvikConfigAndMapping(before, key));
        device->Deactivate();
        QN_Sorvik_ConfigAndMap back{};
        const bool found = device->getStoredSorvikConfigAndMapping(back, key);
        EXPECT_EQ(found, c.stored);
        if (found) {
            EXPECT_EQ(std::memcmp(&back, &held, sizeof back), 0);
        }
        // The settings dictionary was written too.
        CFPropertyListRef settings = nullptr;
        QnASPlugInPlugIn::CopyFromStorage(CFSTR("com.korvex.hx5100"), &settings);
        EXPECT_NE(settings, nullptr);
        if (settings) CFRelease(settings);
        QnASPlugInPlugIn::sHost = nullptr;
        host.shutdown();
    }
}

TEST_F(DeviceActivate, TheListedProductsTakeTheirSafetyOffsetsAndStartLatencies) {
    // At 48 kHz with the area's word at 24 clear, on devices with features
    // and no family flags: input safety offset 7 ms (336 frames), 8 ms on the
    // three 5 ms products, 60 frames more on the five others; the input
    // latency is 5.6 + 3 ms, 5.6 + 5 ms from the start of the IO on the one
    // product that starts with 5 extra milliseconds.
    struct Case {
        UInt16 vendor, product;
        UInt32 inputOffset, latencyAfterStart;
    } const cases[] = {
        {0x1234, 0x5678, 336, 412},
        {kDarrowVendorID, kDarrowD1ProductID, 384, 412},
        {kDarrowVendorID, kDarrowD3ProductID, 384, 412},
        {kDarrowVendorID, kDarrowD4ProductID, 384, 412},
        {kDarrowVendorID, kDarrowD2ProductID, 336, 508},
        {kVelmarVendorID, kVelmarV4ProductID, 396, 412},
        {kVelmarVendorID, kVelmarV6ProductID, 396, 412},
        {kVelmarVendorID, kVelmarV8ProductID, 396, 412},
        {kSelbyVendorID, kSelbyS2ProductID, 396, 412},
        {kSelbyVendorID, kSelbyS4ProductID, 396, 412},
    };
    EXPECT_EQ(std::size(DeviceFamilies::kFiveMsLatency), 3u);
    EXPECT_EQ(std::size(DeviceFamilies::kLatencyExtraMsAtStart), 1u);
    EXPECT_EQ(std::size(DeviceFamilies::kSixtyExtraFrames), 5u);
    audiosm::store32(&area->mConfigured, 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.vendor << ":" << c.product);
        auto info = identity(c.vendor, c.product);
        info->mFeatures.mLoaded = 1; // no family flags
        service->script([&](KernelScript& s) { s.queued[4] = chunksOf(*info); });
        device->Activate();
        ASSERT_TRUE(device->IsActive());
        EXPECT_EQ(device->getSafetyOffset(true), c.inputOffset);
        EXPECT_EQ(device->getSafetyOffset(false), 48u);
        EXPECT_EQ(device->getLatency(true), 412u);
        device->StartIO();
        EXPECT_EQ(device->getLatency(true), c.latencyAfterStart);
        device->StopIO();
        device->Deactivate();
    }
}
