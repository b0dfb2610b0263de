// The driver control API against the real stack on the virtual clock: the
// bus with HX-5100 (and Sorvik) models, the kernel driver and its
// dispatcher, the control client and the user-side IOKit calls.
#include "ApiTestSupport.h"

#include "abi/QN_Dispatch.h"
#include "abi/ServiceClass.h"
#include "driver/clients/harness/ClientHarness.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "driver/engine/ZrProductTable.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/StdoutCapture.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/iokit/HXIOKit.h"
#include "platform/kern/IOService.h"
#include "platform/kern/IOUserConnection.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/SorvikModel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace {

using apitest::Events;
using apitest::Watcher;
using hx::usb::devices::HX5100Firmware;
using hx::usb::devices::HX5100Identity;
using hx::usb::devices::HX5100Model;

HX5100Identity identity(uint16_t vendor = kKorvexVendorID,
                        uint16_t product = kKorvexHX5100ProductID) {
    return {vendor, product, 0x0100, "KORVEX AUDIO", "HX5100 USB", "SN0002"};
}

struct DeviceApi : ::testing::Test {
    DeviceApi() {
        std::filesystem::create_directories(hx::path::map("/tmp"));
        harness = std::make_unique<hx::harness::ClientHarness>();
        booted = harness->boot();
    }
    void SetUp() override {
        ASSERT_TRUE(booted) << harness->lastError();
        qnapiInit(apitest::record, &events, apitest::guidOf(kZrServiceClassName));
        device = events.last(QNAPI_CBEvent_DeviceAttached);
        ASSERT_NE(device, nullptr);
        // No firmware updater runs (the type-4 open tells the driver).
        io_connect_t none = 0;
        EXPECT_NE(IOServiceOpen(device->getDeviceInstance(), mach_task_self(), 4, &none),
                  KERN_SUCCESS);
    }
    void TearDown() override {
        qnapiTerm();
        for (uint8_t p : extraPorts)
            harness->bus()->unplug(p);
        hx::kern::waitQuiet();
        apitest::runPending();
    }
    // Plugs another model; its device once attached.
    USBDevice* plug(std::shared_ptr<HX5100Model> model) {
        const size_t before = events.seen.size();
        extraPorts.push_back(harness->bus()->plug(model));
        hx::kern::waitQuiet();
        runUntil([&] { return events.seen.size() > before; });
        return events.seen.size() > before ? events.seen.back().first : nullptr;
    }
    template <typename Pred> void runUntil(Pred done) {
        for (int i = 0; i < 200 && !done(); ++i) {
            apitest::runPending();
            if (!done()) harness->idle(10'000);
        }
    }

    hx::test::TempRoot root;
    std::unique_ptr<hx::harness::ClientHarness> harness;
    bool booted = false;
    Events events;
    USBDevice* device = nullptr;
    std::vector<uint8_t> extraPorts;
};

TEST_F(DeviceApi, OpenReadsVersionStringsAndFlags) {
    ASSERT_TRUE(device->open(false));
    EXPECT_STREQ(device->getDriverVersionRecord().text, "3.4.13");
    // The kernel's own names of the device, terminated inside their fields.
    EXPECT_STREQ(device->getDeviceString(), "Korvex");
    EXPECT_STREQ(device->getProductString(), "HX-5100");
    EXPECT_TRUE(device->isUSB2Device());
    EXPECT_EQ(device->getIdVendor(), kKorvexVendorID);
    EXPECT_EQ(device->getIdProduct(), kKorvexHX5100ProductID);
    // A second open sends nothing.
    const uint64_t calls = hx::iokit::connectCallCount();
    EXPECT_TRUE(device->open(true));
    EXPECT_EQ(hx::iokit::connectCallCount(), calls);
    QN_DeviceDescriptor dd;
    ASSERT_TRUE(device->getDeviceDescriptor(dd));
    EXPECT_TRUE(dd.isDevice(kKorvexVendorID, kKorvexHX5100ProductID, 0xFFFF));
    EXPECT_TRUE(dd.isDevice(kKorvexVendorID, kKorvexHX5100ProductID, 0x0100));
    EXPECT_FALSE(dd.isDevice(kKorvexVendorID, kKorvexHX5100ProductID, 0x0101));
}

TEST_F(DeviceApi, TheExclusiveOpenPutsTheDeviceIntoUpdateModeOrFallsBack) {
    Watcher other(device->getDeviceInstance());
    hx::iokit::refuseNextOpen(5);
    ASSERT_TRUE(device->open(true)); // type 2
    apitest::runPending();
    EXPECT_FALSE(other.saw(16));
    device->close();
    ASSERT_TRUE(device->open(true)); // type 5
    apitest::runPending();
    EXPECT_TRUE(other.saw(16));
}

TEST_F(DeviceApi, PlugAttachesAndUnplugDetachesBeforeTheClose) {
    events.retainAttached = true;
    USBDevice* second =
        plug(std::make_shared<HX5100Model>(uint8_t(kUSBHostConnectionSpeedHigh), identity()));
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(events.seen.back().second, QNAPI_CBEvent_DeviceAttached);
    ASSERT_TRUE(second->open(false));
    harness->bus()->unplug(extraPorts.back());
    extraPorts.pop_back();
    hx::kern::waitQuiet();
    runUntil([&] { return events.last(QNAPI_CBEvent_DeviceDetached) == second; });
    ASSERT_EQ(events.last(QNAPI_CBEvent_DeviceDetached), second);
    EXPECT_TRUE(events.openAtEvent.back());
    EXPECT_FALSE(second->isOpen());
    const uint64_t calls = hx::iokit::connectCallCount();
    QN_DeviceConfiguration c{7, 7, 7, 7, 7};
    EXPECT_FALSE(second->getCurrentConfiguration(c));
    EXPECT_EQ(c.samplerate, 7u);
    EXPECT_EQ(second->getDigitalOutMode(), -1);
    EXPECT_EQ(hx::iokit::connectCallCount(), calls);
    EXPECT_EQ(second->release(), 0u);
}

TEST_F(DeviceApi, EachStateChangeFromItsSenderRaisesItsEvent) {
    ASSERT_TRUE(device->open(false));
    ASSERT_TRUE(harness->openClient());
    // Another client of the device, as the audio layer opens one.
    task_t task = hx::kern::createTask(4200, "otherclient", 501);
    io_connect_t other = 0;
    ASSERT_EQ(hx::kern::connectionOpen(harness->service(), task, 0, &other), kIOReturnSuccess);
    auto* service = harness->service();
    struct Row {
        const char* sender;
        std::function<void()> send;
        QNAPI_CBEvent event;
    } rows[] = {
        {"Req 6",
         [&] {
             OSXDispatch rec{};
             const uint32_t s[6] = {44100, 2, 24, 2, 24, 0};
             std::memcpy(rec.payload, s, sizeof s);
             hx::harness::callDriver(other, 6, rec);
         },
         QNAPI_CBEvent(3)},
        {"code 28", [&] { device->setDigitalOutMode(1); }, QNAPI_CBEvent(3)},
        {"code 16", [&] { device->setClockSource(1); }, QNAPI_CBEvent(3)},
        {"Req 1", [&] { harness->configure(); }, QNAPI_CBEvent(5)},
        {"Req 40",
         [&] {
             OSXDispatch rec{};
             qnWriteU16(rec.payload, 0, 3);
             hx::harness::callDriver(other, 40, rec);
         },
         QNAPI_CBEvent(7)},
        {"35", [&] { service->messageToClients(35, 0, 0, 0); }, QNAPI_CBEvent(6)},
        {"34", [&] { service->messageToClients(34, 0, 0, 0); }, QNAPI_CBEvent(4)},
        {"55", [&] { service->messageToClients(55, 0, 0, 0); }, QNAPI_CBEvent(3)},
        {"56", [&] { service->messageToClients(56, 0, 0, 0); }, QNAPI_CBEvent(3)},
        {"16", [&] { service->messageToClients(16, 0, 0, 0); }, QNAPI_CBEvent(0)},
        {"32", [&] { service->messageToClients(32, 0, 0, 0); }, QNAPI_CBEvent(0)},
    };
    for (const Row& r : rows) {
        apitest::runPending();
        events.seen.clear();
        r.send();
        hx::kern::waitQuiet();
        apitest::runPending();
        if (r.event)
            EXPECT_EQ(events.count(r.event), 1) << r.sender;
        else
            EXPECT_TRUE(events.seen.empty()) << r.sender;
        for (auto& [d, e] : events.seen)
            EXPECT_EQ(d, device) << r.sender;
    }
    hx::kern::connectionClose(other);
    hx::kern::killTask(task);
}

TEST_F(DeviceApi, TypedRequestsReachTheDispatcher) {
    ASSERT_TRUE(device->open(false));
    ASSERT_TRUE(harness->openClient());
    ASSERT_TRUE(harness->configure());
    // Round trips.
    EXPECT_EQ(device->setDigitalOutMode(1), 1);
    EXPECT_EQ(device->getDigitalOutMode(), 1);
    const long source = device->setClockSource(1);
    EXPECT_NE(source, -1);
    EXPECT_EQ(device->getCurrentClockSource(), source);
    // Not served by this kernel: the failure value, the record untouched.
    EXPECT_EQ(device->getCountConfigurations(), 0u);
    QN_DeviceConfiguration c{9, 9, 9, 9, 9};
    EXPECT_FALSE(device->getConfiguration(0, c));
    EXPECT_EQ(c.samplerate, 9u);
    // The configuration in force.
    ASSERT_TRUE(device->getCurrentConfiguration(c));
    EXPECT_EQ(c.samplerate, 48000u);
    EXPECT_EQ(c.numInputs, 2u);
    EXPECT_EQ(c.bitsOutput, 24u);
    // A codec register and its read-back; register 22 is refused.
    EXPECT_EQ(device->setWMRegister(1, 5, 0x1F), 0x1F);
    EXPECT_EQ(device->getWMRegister(1, 5), 0x1F);
    EXPECT_EQ(device->setWMRegister(1, 22, 0x1F), 0);
    EXPECT_EQ(harness->model()->codecRegister(1, 22), 0);
    // The USB request tunnel.
    char desc[18] = {};
    uint16_t n = 0;
    ASSERT_TRUE(
        device->request(kDirIn, kLevelStandard, kRecipientDevice, 6, 0x0100, 0, desc, 18, &n));
    EXPECT_EQ(n, 18);
    EXPECT_EQ(desc[0], 18);
    EXPECT_EQ(desc[1], 1);
    uint64_t calls = hx::iokit::connectCallCount();
    EXPECT_FALSE(
        device->request(kDirIn, kLevelVendor, kRecipientDevice, 0x56, 0, 0, desc, 257, &n));
    EXPECT_EQ(device->setBufferSize(128), 0u);
    EXPECT_EQ(device->getConfigStatus(), 0u);
    EXPECT_EQ(hx::iokit::connectCallCount(), calls);
    // The blocks go one by one; a refused block ends the send (the kernel
    // of this tree still records what it would put on the port).
    std::vector<uint8_t> bytes(600, 1);
    const bool sent = device->sendCPortBytes(bytes.size(), bytes.data());
    EXPECT_EQ(hx::iokit::connectCallCount(), calls + (sent ? 3 : 1));
    // Routing: what was set reads back from the registry; a missing key -1.
    hx::test::StdoutCapture out;
    const int pair = device->setRouting(true, 0, 1);
    EXPECT_EQ(device->getRouting(true, 0), pair);
    EXPECT_EQ(device->getRouting(true, 9), -1);
    EXPECT_NE(out.finish().find("getRouting RoutingIn0 returns: "), std::string::npos);
}

TEST_F(DeviceApi, SuspendAndResumeWhileAnotherClientStreams) {
    ASSERT_TRUE(device->open(false));
    ASSERT_TRUE(harness->openClient() && harness->configure() && harness->setRouting() &&
                harness->attachRing())
        << harness->lastError();
    harness->run(20'000);
    EXPECT_TRUE(device->suspendStreaming());
    EXPECT_TRUE(device->resumeStreaming());
    harness->run(5'000);
    harness->stop();
}

TEST_F(DeviceApi, FirmwareUpdateModeAndReenumeration) {
    events.retainAttached = false;
    ASSERT_TRUE(device->open(false));
    Watcher other(device->getDeviceInstance());
    ASSERT_TRUE(device->prepareFirmwareUpdate());
    apitest::runPending();
    EXPECT_TRUE(other.saw(16));

    for (int way = 0; way < 2; ++way) {
        SCOPED_TRACE(way);
        ASSERT_TRUE(device->isOpen());
        events.seen.clear();
        EXPECT_TRUE(way == 0 ? device->reenumerateDevice() : device->replugDevice());
        runUntil([&] { return events.count(QNAPI_CBEvent_DeviceAttached) == 1; });
        EXPECT_EQ(events.codes(), (std::vector<QNAPI_CBEvent>{QNAPI_CBEvent_DeviceDetached,
                                                              QNAPI_CBEvent_DeviceAttached}));
        device = events.last(QNAPI_CBEvent_DeviceAttached);
        ASSERT_NE(device, nullptr);
        ASSERT_TRUE(device->open(false));
    }
}

TEST_F(DeviceApi, FirmwareVersionFromTheKernelsWordOrFromTheDevice) {
    QnVersion v;
    std::memset(&v, 0x5A, sizeof v);
    EXPECT_FALSE(device->getFirmwareVersion(v, false)); // closed
    const QnVersion zero{};
    EXPECT_EQ(std::memcmp(&v, &zero, sizeof v), 0);
    EXPECT_FALSE(device->getDriverVersion(v));

    for (bool stalls : {false, true}) {
        SCOPED_TRACE(stalls);
        auto model = std::make_shared<HX5100Model>(uint8_t(kUSBHostConnectionSpeedHigh), identity(),
                                                   HX5100Firmware{1, 2, 3, 7, "1.2.3"});
        model->setFirmwareWordStalls(stalls);
        USBDevice* d = plug(model);
        ASSERT_NE(d, nullptr);
        ASSERT_TRUE(d->open(false));
        hx::test::StdoutCapture out;
        ASSERT_TRUE(d->getFirmwareVersion(v, false));
        const std::string printed = out.finish();
        EXPECT_EQ(printed.find("fwupdater 01020307\n") != std::string::npos, stalls);
        EXPECT_NE(printed.find("uFirmwareVersion 01020307\n"), std::string::npos);
        EXPECT_STREQ(v.text, "1.2.3");
        EXPECT_EQ(v.build, 7u);
        EXPECT_STREQ(v.firmware, "1.2.3");
    }
}

TEST_F(DeviceApi, SorvikNameMapAndConfiguration) {
    constexpr uint16_t kProduct = 4;
    OSDictionary* p = ZrMakeDriverPersonality(kSorvikVendorID, kProduct, nullptr);
    hx::kern::addPersonality(p);
    p->release();
    auto model = std::make_shared<hx::usb::devices::SorvikModel>(
        uint8_t(kUSBHostConnectionSpeedHigh), identity(kSorvikVendorID, kProduct),
        std::array<uint8_t, 8>{1, 2, 3, 4, 5, 6, 7, 8}, "Studio A");
    USBDevice* d = plug(model);
    ASSERT_NE(d, nullptr);
    io_connect_t none = 0;
    EXPECT_NE(IOServiceOpen(d->getDeviceInstance(), mach_task_self(), 4, &none), KERN_SUCCESS);
    ASSERT_TRUE(d->open(false));
    char name[32];
    ASSERT_TRUE(d->getSorvikDeviceName(name));
    EXPECT_STREQ(name, "Studio A");
    ASSERT_TRUE(d->setSorvikDeviceName("Desk"));
    ASSERT_TRUE(d->getSorvikDeviceName(name));
    EXPECT_STREQ(name, "Desk");
    EXPECT_FALSE(d->setSorvikDeviceName(std::string(32, 'L').c_str()));
    ASSERT_TRUE(d->getSorvikDeviceName(name));
    EXPECT_STREQ(name, "Desk");

    QN_Sorvik_ChannelMap map{};
    for (int i = 0; i < 8; ++i)
        map.mEInputMap[i] = map.mEOutputMap[i] = 0xFF;
    map.mEInputMap[0] = 160, map.mEInputMap[1] = 161, map.mEOutputMap[0] = 32,
    map.mEOutputMap[1] = 33;
    ASSERT_TRUE(d->setChannelMap(map));
    QN_Sorvik_ChannelMap back{};
    ASSERT_TRUE(d->getChannelMap(back));
    EXPECT_EQ(std::memcmp(&back, &map, sizeof map), 0);
}

// The configuration and map record: the Sorvik control-plane model streams
// nothing, so the HX-5100 configures it.
TEST_F(DeviceApi, ConfigurationAndMapUpdateTheCachedRecord) {
    USBDevice* d = device;
    ASSERT_TRUE(d->open(false));
    QN_Sorvik_ConfigAndMap wanted{}, result{};
    ASSERT_TRUE(d->getConfigurationAndChannelMap(wanted));
    wanted.cConfig = {44100, 2, 24, 2, 24};
    ASSERT_TRUE(d->setConfigurationAndChannelMap(wanted, result));
    EXPECT_EQ(result.cConfig.samplerate, 44100u);
    EXPECT_EQ(std::memcmp(&d->getSorvikConfigAndMap(), &result, sizeof result), 0);
    // Another client configures at 48 kHz: 69 reads it, the cache keeps
    // what 68 answered until the update.
    ASSERT_TRUE(harness->openClient() && harness->configure()) << harness->lastError();
    QN_Sorvik_ConfigAndMap now{};
    ASSERT_TRUE(d->getConfigurationAndChannelMap(now));
    EXPECT_EQ(now.cConfig.samplerate, 48000u);
    EXPECT_EQ(d->getSorvikConfigAndMap().cConfig.samplerate, 44100u);
    d->updateSorvikConfigAndMap();
    EXPECT_EQ(std::memcmp(&d->getSorvikConfigAndMap(), &now, sizeof now), 0);
}

} // namespace
