// The class-compliant control block against the class-compliant model: what
// a configuration reads from the device, what an apply sends, what the
// shared area shows; and system sleep and wake-up of the HX-5100.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "EngineFixture.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrDeviceControls.h"
#include "driver/engine/transport/LevelMeters.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "platform/usb/devices/ClassAudioModel.h"
#include "tests/support/ClassControlsLayout.h"

namespace {

using namespace enginetest;
using hx::usb::devices::ClassAudioLayout;
using hx::usb::devices::ClassAudioModel;

using hx::testsupport::classLayoutOf;
constexpr int16_t kMin = hx::testsupport::kClassMin, kMax = hx::testsupport::kClassMax,
                  kPowerOn = hx::testsupport::kClassPowerOn;

// A features record that says: not Merrow-compatible (flag 0 clear).
OSDictionary* classCompliantSpecific() {
    APISpecificFeatures f{};
    f.mLoaded = 1;
    OSDictionary* s = OSDictionary::withCapacity(1);
    OSData* d = OSData::withBytes(&f, sizeof f);
    s->setObject("kConfigurationData", d);
    d->release();
    return s;
}

// A model plugged, the driver started on it, no firmware updater, and one
// audio client.
template <class Model> struct Opened {
    // `beforePlug` runs once the driver is loaded, before the model plugs.
    explicit Opened(std::shared_ptr<Model> m, const std::function<void()>& beforePlug = {})
        : model(std::move(m)) {
        if (beforePlug) beforePlug();
        port = rig.plug(model);
        svc = rig.service(port);
        if (!svc) return;
        dev = svc->getDevice();
        tap = std::make_unique<StateChangeTap>(svc.svc);
        user.open(svc.svc, 4);
        client = user.open(svc.svc, 2);
        clientId = svc->clientIdentifier(client);
    }
    ~Opened() {
        user.kill();
        tap.reset();
        rig.unplug(port);
    }
    // The state changes the service sent since the client was opened.
    std::vector<QN_StateChange> records() {
        return tap ? tap->records() : std::vector<QN_StateChange>{};
    }
    std::vector<uint32_t> codes() {
        hx::kern::waitQuiet();
        return tap ? tap->codes() : std::vector<uint32_t>{};
    }
    Rig rig;
    std::shared_ptr<Model> model;
    uint8_t port = 0;
    ServiceRef svc;
    ZrDevice* dev = nullptr;
    UserTask user{"controlstest"};
    std::unique_ptr<StateChangeTap> tap;
    IOUserClient* client = nullptr;
    uint64_t clientId = 0;
};

// The driver matched on the product by a personality with the features
// record only.
void useClassPersonality(uint16_t vendor, uint16_t product) {
    ZrUnloadDriverPersonalities();
    OSDictionary* specific = classCompliantSpecific();
    OSDictionary* p = ZrMakeDriverPersonality(vendor, product, specific);
    hx::kern::addPersonality(p);
    p->release();
    specific->release();
}

std::shared_ptr<ClassAudioModel> makeClassModel(uint16_t vendor, uint16_t product) {
    return std::make_shared<ClassAudioModel>(
        kUSBHostConnectionSpeedFull,
        hx::usb::devices::HX5100Identity{vendor, product, 0x0100, "M", "P", ""},
        classLayoutOf(vendor, product));
}

// The class model laid out by the product's row, under that personality.
struct ClassDevice : Opened<ClassAudioModel> {
    ClassDevice(uint16_t vendor, uint16_t product)
        : Opened<ClassAudioModel>(makeClassModel(vendor, product),
                                  [=] { useClassPersonality(vendor, product); }) {}
    bool configure() { return svc->reqConfigureDevice("test") == kIOReturnSuccess; }
    // Class requests to the audio-control interface since the last clear.
    std::vector<hx::usb::TraceEntry> classRequests() {
        std::vector<hx::usb::TraceEntry> out;
        for (const auto& e : model->trace())
            if ((e.setup.bmRequestType & 0x7F) == 0x21) out.push_back(e);
        return out;
    }
};

TEST(DeviceControls, ConfigurationReadsTheTypicalRowFromTheDevice) {
    ClassDevice c(kCadenzaVendorID, kCadenzaTypicalProductID);
    ASSERT_NE(c.dev, nullptr);
    ASSERT_TRUE(c.configure());
    const XsDeviceControls& x = c.dev->currentControls();
    EXPECT_EQ(+x.cOut.mCount, 2u);
    EXPECT_EQ(+x.cOut.mMode, 1u);
    EXPECT_STREQ(x.cOut.mEndpoints[0].mName, "HP 1+2");
    EXPECT_STREQ(x.cOut.mEndpoints[1].mName, "Out 1+2");
    EXPECT_EQ(+x.cOut.mEndpoints[1].mVolumeUnit, 0x0700);
    EXPECT_EQ(+x.cIn.mCount, 1u);
    EXPECT_STREQ(x.cIn.mEndpoints[0].mName, "In 1+2");
    for (const XsEndpoint* e :
         {&x.cOut.mEndpoints[0], &x.cOut.mEndpoints[1], &x.cIn.mEndpoints[0]}) {
        EXPECT_EQ(+e->mChannels, 2);
        EXPECT_EQ(+e->mVolumePresent, 1u);
        EXPECT_EQ(+e->mMutePresent, 1u);
        EXPECT_EQ(+e->mMute, 0);
        for (int k = 0; k < 2; ++k) {
            EXPECT_EQ(+e->mVolumes[k].mMin, kMin);
            EXPECT_EQ(+e->mVolumes[k].mCur, kPowerOn);
            EXPECT_EQ(+e->mVolumes[k].mMax, kMax);
        }
        EXPECT_EQ(+e->mVolumes[2].mMax, 0);
    }
    EXPECT_EQ(+x.cThird.mCount, 0u);
    // Published in both shared blocks.
    const DriverSM* sm = c.dev->getDriverSM();
    EXPECT_EQ(std::memcmp(&sm->mControls, &x, sizeof x), 0);
    EXPECT_EQ(std::memcmp(&sm->mSavedControls, &x, sizeof x), 0);
    // Not Merrow-compatible: no deep sleep, nothing sent.
    c.model->clearTrace();
    EXPECT_FALSE(c.dev->sendDeepSleep());
    EXPECT_TRUE(c.model->trace().empty());
}

TEST(DeviceControls, SelectorRowReadsTheSelectorAsOneHotAndTheMasterOnly) {
    ClassDevice c(kCadenzaVendorID, kCadenzaSelectorProductID);
    ASSERT_NE(c.dev, nullptr);
    ASSERT_TRUE(c.configure());
    const XsDeviceControls& x = c.dev->currentControls();
    EXPECT_EQ(+x.cIn.mMode, 0u);
    EXPECT_EQ(+x.cIn.mSelectorUnit, 0x0B00);
    EXPECT_EQ(+x.cIn.iSelector, 0x01);
    EXPECT_EQ(+x.cOut.mEndpoints[1].mChannels, -1);
    EXPECT_EQ(+x.cOut.mEndpoints[1].mVolumes[0].mCur, kPowerOn);
    EXPECT_EQ(+x.cOut.mEndpoints[1].mVolumes[1].mMax, 0);
}

TEST(DeviceControls, AProductWithoutARowGetsZerosAndSendsNothing) {
    ClassDevice c(kCadenzaVendorID, 0x00FF);
    ASSERT_NE(c.dev, nullptr);
    ASSERT_TRUE(c.configure());
    XsDeviceControls zero{};
    EXPECT_EQ(std::memcmp(&c.dev->currentControls(), &zero, sizeof zero), 0);
    c.model->clearTrace();
    XsDeviceControls wanted{};
    wanted.cOut.mEndpoints[0].mVolumes[0].mCur = 5;
    wanted.cOut.iSelector = 2;
    c.dev->setSelectors(wanted);
    EXPECT_TRUE(c.classRequests().empty());
    // No endpoint to take a value.
    EXPECT_EQ(+c.dev->currentControls().cOut.mCount, 0u);
    EXPECT_EQ(+c.dev->currentControls().cOut.mEndpoints[0].mVolumes[0].mCur, 0);
}

// One apply per case against the selector row's device.
TEST(DeviceControls, ApplyTable) {
    struct Case {
        const char* what;
        void (*edit)(XsDeviceControls&);
        // (request, wValue, wIndex) in order
        std::vector<std::tuple<uint8_t, uint16_t, uint16_t>> sent;
        bool changed;
        // The input group as applied equals the current one: nothing of it
        // taken that was not sent.
        bool inputsAsCurrent;
    };
    using T = std::tuple<uint8_t, uint16_t, uint16_t>;
    // The mode-1 output group always sends every channel's volume.
    const std::vector<T> outVolumes = {
        {1, 0x0201, 0x0400}, {1, 0x0202, 0x0400}, {1, 0x0200, 0x0500}};
    // Mode 0 with a selector unit: the selection is sent, the chosen
    // endpoint (the 1-channel "Mic") applied forced, then once more.
    const std::vector<T> micChosen = {
        {1, 0, 0x0B00}, {1, 0x0100, 0x0C00}, {1, 0x0201, 0x0C00}, {1, 0x0201, 0x0C00}};
    auto with = [&](std::vector<T> before, std::vector<T> after = {}) {
        before.insert(before.end(), after.begin(), after.end());
        return before;
    };
    const std::vector<Case> cases = {
        {"unchanged: the selection and every volume go out", [](XsDeviceControls&) {},
         with(micChosen, outVolumes), true, true},
        {"two bits in mode 0: nothing for the inputs, refused",
         [](XsDeviceControls& x) {
             x.cIn.iSelector = 0x03;
             x.cIn.mEndpoints[0].mMute = 1;
         },
         with({}, outVolumes), false, true},
        {"no bit in mode 0: refused", [](XsDeviceControls& x) { x.cIn.iSelector = 0; },
         with({}, outVolumes), false, true},
        {"past the endpoints in mode 0: refused",
         [](XsDeviceControls& x) { x.cIn.iSelector = 0x04; }, with({}, outVolumes), false, true},
        {"an endpoint the selection does not name takes no value",
         [](XsDeviceControls& x) { x.cIn.mEndpoints[1].mMute = 1; }, with(micChosen, outVolumes),
         true, true},
        {"a selector change: SET_CUR to the unit, the chosen endpoint forced, then applied again",
         [](XsDeviceControls& x) { x.cIn.iSelector = 0x02; },
         with({{1, 0, 0x0B00},
               {1, 0x0100, 0x0D00},
               {1, 0x0201, 0x0D00},
               {1, 0x0202, 0x0D00},
               {1, 0x0201, 0x0D00},
               {1, 0x0202, 0x0D00}},
              outVolumes),
         true, false},
        {"mute changed is sent", [](XsDeviceControls& x) { x.cOut.mEndpoints[0].mMute = 1; },
         with(micChosen,
              {{1, 0x0100, 0x0400}, {1, 0x0201, 0x0400}, {1, 0x0202, 0x0400}, {1, 0x0200, 0x0500}}),
         true, true},
        {"the master volume only with 0x0200",
         [](XsDeviceControls& x) { x.cOut.mEndpoints[1].mVolumes[0].mCur = 0x100; },
         with(micChosen, outVolumes), true, true},
        {"the word at 80 needs no request but changes",
         [](XsDeviceControls& x) { x.cOut.mEndpoints[0].mCompareWord = 9; },
         with(micChosen, outVolumes), true, true},
    };
    for (const Case& k : cases) {
        ClassDevice c(kCadenzaVendorID, kCadenzaSelectorProductID);
        ASSERT_NE(c.dev, nullptr);
        ASSERT_TRUE(c.configure());
        XsDeviceControls wanted = c.dev->currentControls();
        k.edit(wanted);
        XsDeviceControls current = c.dev->currentControls();
        c.model->clearTrace();
        bool changed = false, restart = false;
        usbApplyDeviceControls(*c.svc.svc,
                               ZrReadDeviceTraits(kCadenzaVendorID, kCadenzaSelectorProductID, 0),
                               current, wanted, changed, restart);
        std::vector<T> sent;
        for (const auto& e : c.classRequests())
            sent.emplace_back(e.setup.bRequest, e.setup.wValue, e.setup.wIndex);
        EXPECT_EQ(sent, k.sent) << k.what;
        EXPECT_EQ(changed, k.changed) << k.what;
        EXPECT_FALSE(restart) << k.what;
        EXPECT_EQ(std::memcmp(&wanted.cIn, &current.cIn, sizeof current.cIn) == 0,
                  k.inputsAsCurrent)
            << k.what;
    }
}

// The product whose output path is a choice of interface has no selector
// unit: its output choice starts at the first output (the interface the
// configuration opens), so mute and volume reach that output's feature unit.
// A choice naming no output is refused whole, and logged.
TEST(DeviceControls, InterfaceSelectorOutputStartsAtItsFirstOutput) {
    ClassDevice c(kCadenzaVendorID, kCadenzaInterfaceSelectorProductID);
    ASSERT_NE(c.dev, nullptr);
    ASSERT_TRUE(c.configure());
    XsDeviceControls wanted = c.dev->currentControls();
    EXPECT_EQ(+wanted.cOut.mMode, 0u);
    EXPECT_EQ(+wanted.cOut.mSelectorUnit, 0);
    EXPECT_EQ(+wanted.cOut.iSelector, 0x01);
    ASSERT_NE(c.dev->pipes()[ZrPipeSlot::OutIsoc], nullptr);
    EXPECT_EQ(c.dev->pipes()[ZrPipeSlot::OutIsoc]->getInterfaceDescriptor()->getInterfaceNumber(),
              wanted.cOut.mEndpoints[0].mInterface);
    using T = std::tuple<uint8_t, uint16_t, uint16_t>;
    auto sent = [&] {
        std::vector<T> out;
        for (const auto& e : c.classRequests())
            if (e.setup.wIndex == 0x0400 || e.setup.wIndex == 0x0500)
                out.emplace_back(e.setup.bRequest, e.setup.wValue, e.setup.wIndex);
        c.model->clearTrace();
        return out;
    };
    c.model->clearTrace();
    wanted.cOut.mEndpoints[0].mMute = 1;
    wanted.cOut.mEndpoints[0].mVolumes[1].mCur = 0x0100;
    c.dev->setSelectors(wanted);
    EXPECT_EQ(sent(),
              (std::vector<T>{{1, 0x0100, 0x0400}, {1, 0x0201, 0x0400}, {1, 0x0202, 0x0400}}));
    EXPECT_TRUE(c.model->mute(4));
    EXPECT_EQ(c.model->volume(4, 2), 0x0100);
    EXPECT_EQ(+c.dev->currentControls().cOut.mEndpoints[0].mMute, 1);
    EXPECT_EQ(+c.dev->currentControls().cOut.mEndpoints[0].mVolumes[1].mCur, 0x0100);

    hx::log::Capture log;
    wanted = c.dev->currentControls();
    wanted.cOut.iSelector = 0;
    wanted.cOut.mEndpoints[0].mMute = 0;
    c.dev->setSelectors(wanted);
    EXPECT_TRUE(sent().empty());
    EXPECT_TRUE(c.model->mute(4));
    EXPECT_EQ(+c.dev->currentControls().cOut.iSelector, 0x01);
    EXPECT_EQ(+c.dev->currentControls().cOut.mEndpoints[0].mMute, 1);
    EXPECT_NE(log.text().find("usbApplyDeviceControlGroup: selection 00 names no endpoint of 2"),
              std::string::npos);
}

// A move of the output to an interface the device does not have stops at
// the missing interface with the output closed; moving back to the first
// output brings it back and it streams (the transport kept no pipe of the
// closed interface).
TEST(DeviceControls, InterfaceSelectorMoveToAMissingInterfaceCanBeUndone) {
    ClassAudioLayout l = classLayoutOf(kCadenzaVendorID, kCadenzaInterfaceSelectorProductID);
    l.secondOutput = false;
    Opened<ClassAudioModel> c(
        std::make_shared<ClassAudioModel>(
            kUSBHostConnectionSpeedFull,
            hx::usb::devices::HX5100Identity{kCadenzaVendorID, kCadenzaInterfaceSelectorProductID,
                                             0x0100, "M", "P", ""},
            l),
        [] { useClassPersonality(kCadenzaVendorID, kCadenzaInterfaceSelectorProductID); });
    ASSERT_NE(c.dev, nullptr);
    ASSERT_EQ(c.svc->reqConfigureDevice("test"), kIOReturnSuccess);
    ASSERT_NE(c.dev->pipes()[ZrPipeSlot::OutIsoc], nullptr);
    const uint8_t alternate = c.model->alternateSetting(1).value_or(0);
    EXPECT_NE(alternate, 0);
    hx::log::Capture log;
    XsDeviceControls wanted = c.dev->currentControls();
    wanted.cOut.iSelector = 0x02;
    c.dev->setSelectors(wanted);
    EXPECT_NE(log.text().find("1624: No interface N. 3\n"), std::string::npos);
    EXPECT_EQ(c.dev->pipes()[ZrPipeSlot::OutIsoc], nullptr);
    EXPECT_EQ(c.model->alternateSetting(1), std::optional<uint8_t>(0));
    wanted.cOut.iSelector = 0x01;
    c.dev->setSelectors(wanted);
    ASSERT_NE(c.dev->pipes()[ZrPipeSlot::OutIsoc], nullptr);
    EXPECT_EQ(c.dev->pipes()[ZrPipeSlot::OutIsoc]->getAddress(), 0x01);
    EXPECT_EQ(c.model->alternateSetting(1), std::optional<uint8_t>(alternate));
    c.dev->startStreamAfterConfig();
    EXPECT_TRUE(c.dev->isStreamingStarted());
    c.dev->stopStreaming(true);
}

TEST(DeviceControls, SyncSelectionOutsideTheSourcesIsReset) {
    ClassDevice c(kCadenzaVendorID, kCadenzaSyncProductID);
    ASSERT_NE(c.dev, nullptr);
    ASSERT_TRUE(c.configure());
    XsDeviceControls current = c.dev->currentControls();
    EXPECT_EQ(+current.cSync.mCount, 2u);
    EXPECT_STREQ(current.cSync.mNames[1], "S/PDIF");
    XsDeviceControls wanted = current;
    wanted.cSync.mSelection = 0x04;
    std::strcpy(wanted.cSync.mNames[0], "client");
    bool changed = false, restart = false;
    usbApplyDeviceControls(*c.svc.svc,
                           ZrReadDeviceTraits(kCadenzaVendorID, kCadenzaSyncProductID, 0), current,
                           wanted, changed, restart);
    EXPECT_EQ(+wanted.cSync.mSelection, current.cSync.mSelection);
    EXPECT_STREQ(wanted.cSync.mNames[0], "Internal");
    wanted.cSync.mSelection = 0x02;
    usbApplyDeviceControls(*c.svc.svc,
                           ZrReadDeviceTraits(kCadenzaVendorID, kCadenzaSyncProductID, 0), current,
                           wanted, changed, restart);
    EXPECT_TRUE(changed);
    EXPECT_FALSE(restart);
}

TEST(DeviceControls, VolumesAreClampedAndAStalledUnitKeepsTheDevicesValue) {
    ClassDevice c(kCadenzaVendorID, kCadenzaTypicalProductID);
    ASSERT_NE(c.dev, nullptr);
    ASSERT_TRUE(c.configure());
    XsDeviceControls wanted = c.dev->currentControls();
    wanted.cOut.mEndpoints[0].mVolumes[0].mCur = 0x7000; // beyond the maximum
    wanted.cOut.mEndpoints[1].mVolumes[0].mCur = 0x0100; // unit 7 refuses
    wanted.cIn.mEndpoints[0].mVolumes[1].mCur = 0x0200;
    c.model->setUnitStalls(7, true);
    c.model->clearTrace();
    c.dev->setSelectors(wanted);
    EXPECT_EQ(c.model->volume(4, 1), kMax);
    EXPECT_EQ(c.model->volume(10, 2), 0x0200);
    int unit7 = 0;
    for (const auto& e : c.classRequests())
        unit7 += e.setup.wIndex == 0x0700 && e.setup.wValue == 0x0201;
    EXPECT_EQ(unit7, 3);
    const XsDeviceControls& now = c.dev->currentControls();
    EXPECT_EQ(+now.cOut.mEndpoints[0].mVolumes[0].mCur, kMax);
    EXPECT_EQ(+now.cOut.mEndpoints[1].mVolumes[0].mCur, kPowerOn);
    EXPECT_EQ(+now.cIn.mEndpoints[0].mVolumes[1].mCur, 0x0200);
    // The shared blocks show what was applied.
    EXPECT_EQ(std::memcmp(&c.dev->getDriverSM()->mControls, &now, sizeof now), 0);
    EXPECT_EQ(std::memcmp(&c.dev->getDriverSM()->mSavedControls, &now, sizeof now), 0);
}

TEST(DeviceControls, ClientUpdatesNotifyPublishAndSurviveAReconfiguration) {
    ClassDevice c(kCadenzaVendorID, kCadenzaTypicalProductID);
    ASSERT_NE(c.dev, nullptr);
    ASSERT_TRUE(c.configure());
    DriverSM* sm = c.dev->getDriverSM();
    sm->mControls.cOut.mEndpoints[0].mMute = 1;
    sm->mControls.cOut.mEndpoints[0].mChannels = 8; // structure from a client is not taken
    c.dev->UpdateMuteStatus(c.clientId);
    EXPECT_TRUE(c.model->mute(4));
    sm->mControls.cIn.mEndpoints[0].mVolumes[0].mCur = 0x0300;
    c.dev->UpdateVolumeStatus(false, c.clientId);
    c.dev->UpdateDataSourceSelector(c.clientId);
    hx::kern::waitQuiet();
    EXPECT_EQ(c.model->volume(10, 1), 0x0300);
    const XsDeviceControls& now = c.dev->currentControls();
    EXPECT_EQ(+now.cOut.mEndpoints[0].mChannels, 2);
    EXPECT_EQ(std::memcmp(&sm->mControls, &now, sizeof now), 0);
    EXPECT_EQ(std::memcmp(&sm->mSavedControls, &now, sizeof now), 0);
    std::vector<uint32_t> codes;
    for (const QN_StateChange& r : c.records())
        if (r.mCode == STC_MuteChanged || r.mCode == STC_VolumeChanged ||
            r.mCode == STC_ChangeDataSource) {
            codes.push_back(r.mCode);
            EXPECT_EQ(uint64_t(r.mClient), c.clientId);
        }
    EXPECT_EQ(codes,
              (std::vector<uint32_t>{STC_MuteChanged, STC_VolumeChanged, STC_ChangeDataSource}));
    // A client rewriting the shared block changes nothing saved; the next
    // configuration applies the saved settings again.
    std::memset(&sm->mControls, 0x5A, sizeof sm->mControls);
    c.model->clearTrace();
    ASSERT_TRUE(c.configure());
    EXPECT_TRUE(c.model->mute(4));
    EXPECT_EQ(c.model->volume(10, 1), 0x0300);
    EXPECT_EQ(+c.dev->currentControls().cIn.mEndpoints[0].mVolumes[0].mCur, 0x0300);
}

// A client thread rewriting the shared block while the apply runs changes
// neither what is sent nor what becomes current.
TEST(DeviceControls, RewritingTheSharedBlockDuringAnApplyChangesNothing) {
    ClassDevice c(kCadenzaVendorID, kCadenzaTypicalProductID);
    ASSERT_NE(c.dev, nullptr);
    ASSERT_TRUE(c.configure());
    DriverSM* sm = c.dev->getDriverSM();
    XsDeviceControls wanted = c.dev->currentControls();
    wanted.cOut.mEndpoints[1].mVolumes[1].mCur = 0x0123;
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop.load()) {
            volatile uint8_t* p = reinterpret_cast<volatile uint8_t*>(&sm->mControls);
            for (size_t i = 0; i < sizeof sm->mControls; i += 97)
                p[i] = 0x77;
            std::this_thread::yield();
        }
    });
    c.dev->setSelectors(wanted);
    stop = true;
    writer.join();
    EXPECT_EQ(c.model->volume(7, 2), 0x0123);
    EXPECT_EQ(+c.dev->currentControls().cOut.mEndpoints[1].mVolumes[1].mCur, 0x0123);
    EXPECT_STREQ(c.dev->currentControls().cOut.mEndpoints[1].mName, "Out 1+2");
}

TEST(DeviceControls, HalvardSelectorChangeReconfiguresAndTellsTheClients) {
    ClassDevice c(kTrunkVendorID, kTrunkProductID);
    ASSERT_NE(c.dev, nullptr);
    ASSERT_TRUE(c.configure());
    XsDeviceControls wanted = c.dev->currentControls();
    EXPECT_EQ(+wanted.cIn.iSelector, 0x01);
    wanted.cIn.iSelector = 0x02;
    hx::log::Capture log;
    c.dev->setSelectors(wanted);
    hx::kern::waitQuiet();
    // The stream stopped: its first step is the vendor port's abort.
    EXPECT_NE(log.text().find("VendorAsyncPort::abort no file"), std::string::npos);
    EXPECT_TRUE(c.dev->getDriverSM()->mConfigured);
    EXPECT_EQ(c.model->selector(5), 2);
    EXPECT_EQ(+c.dev->currentControls().cIn.iSelector, 0x02);
    bool sawNewConfig = false;
    for (const QN_StateChange& r : c.records())
        sawNewConfig |= r.mCode == STC_NewConfig;
    EXPECT_TRUE(sawNewConfig);
    EXPECT_TRUE(c.dev->isStreamingStarted());
    c.dev->stopStreaming(true);
    // The start-up sends the selector's value and the rates, in order.
    c.model->clearTrace();
    c.dev->initHalVardTrunk();
    std::vector<std::tuple<uint8_t, uint8_t, uint16_t>> sent;
    for (const auto& e : c.model->trace())
        sent.emplace_back(e.setup.bmRequestType, e.setup.bRequest, e.setup.wIndex);
    ASSERT_GE(sent.size(), 1u);
    EXPECT_EQ(sent[0], std::make_tuple(uint8_t(0x21), uint8_t(1), uint16_t(0x0500)));
}

TEST(DeviceControls, Trunk2StartUpSendsTheRateToItsEndpointsInOrder) {
    ClassDevice c(kTrunkVendorID, kTrunk2ProductID);
    ASSERT_NE(c.dev, nullptr);
    ASSERT_EQ(c.model->sampleRate(), 44100u);
    c.dev->getCurrentSettings().Frequency = 48000;
    c.model->clearTrace();
    c.dev->initHalVardTrunk2();
    // Each endpoint it names takes the rate at the first request.
    std::vector<uint16_t> endpoints;
    for (const auto& e : c.model->trace()) {
        ASSERT_EQ(e.setup.bmRequestType, 0x22);
        ASSERT_EQ(e.setup.bRequest, 1);
        EXPECT_EQ(e.status, kIOReturnSuccess) << e.setup.wIndex;
        ASSERT_EQ(e.dataOut.size(), 3u);
        EXPECT_EQ(e.dataOut[0] | e.dataOut[1] << 8 | e.dataOut[2] << 16, 48000);
        endpoints.push_back(e.setup.wIndex);
    }
    EXPECT_EQ(endpoints, (std::vector<uint16_t>{0x03, 0x85, 0x86, 0x85}));
    EXPECT_EQ(c.model->sampleRate(), 48000u);
}

// The Trunk2 start-up leaves interface 1 open for the service at alternate
// 0; the output's record wants alternate 2 there. The binding selects it on
// the held interface, so the output pipe is found and streams; unconfiguring
// puts the interface back to alternate 0 and lets it go, so the next
// configuration takes it again.
TEST(DeviceControls, Trunk2OutputTakesItsAlternateOnTheInterfaceTheStartUpHolds) {
    hx::clock::VirtualClock clock;
    ClassDevice c(kTrunkVendorID, kTrunk2ProductID);
    ASSERT_NE(c.dev, nullptr);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        hx::log::Capture log;
        ASSERT_TRUE(c.configure());
        EXPECT_EQ(log.text().find("initPipe mUSBPipe NULL"), std::string::npos);
        EXPECT_EQ(log.text().find("isFree() returned false"), std::string::npos);
        ASSERT_NE(c.dev->pipes()[ZrPipeSlot::OutIsoc], nullptr);
        EXPECT_EQ(c.dev->pipes()[ZrPipeSlot::OutIsoc]->getAddress(), 0x01);
        EXPECT_NE(c.dev->getBindings().getPipe(c.dev->pipes()[ZrPipeSlot::OutIsoc]), nullptr);
        EXPECT_EQ(c.model->alternateSetting(1), std::optional<uint8_t>(2));
        c.dev->startStreamAfterConfig();
        ASSERT_TRUE(c.dev->isStreamingStarted());
        const uint64_t before = c.model->streamStats().outPackets;
        clock.runFor(200 * 1000000ull);
        EXPECT_GT(c.model->streamStats().outPackets, before + 100);
        c.dev->stopStreaming(true);
        c.svc->unconfigureDevice(false, "test");
        EXPECT_EQ(c.model->alternateSetting(1), std::optional<uint8_t>(0));
    }
}

// The Tolvane product's routing value: no class request carries it; a
// vendor request names the digital output (index 4 on, 2 off). What the
// device refuses is not taken.
TEST(DeviceControls, TolvaneRoutingGoesOutAsItsVendorRequest) {
    ClassAudioLayout layout;
    layout.vendorControlIndex = 4; // the model takes index 4, stalls index 2
    Opened<ClassAudioModel> c(std::make_shared<ClassAudioModel>(
                                  kUSBHostConnectionSpeedFull,
                                  hx::usb::devices::HX5100Identity{
                                      kTolvaneVendorID, kTolvaneProductID, 0x0100, "T", "P", ""},
                                  layout),
                              [] { useClassPersonality(kTolvaneVendorID, kTolvaneProductID); });
    ASSERT_NE(c.dev, nullptr);
    ASSERT_EQ(c.svc->reqConfigureDevice("test"), kIOReturnSuccess);
    auto vendorOne = [&] {
        std::vector<std::pair<uint16_t, IOReturn>> out;
        for (const auto& e : c.model->trace())
            if (e.setup.bmRequestType == 0x40 && e.setup.bRequest == 1)
                out.emplace_back(e.setup.wIndex, e.status);
        return out;
    };
    EXPECT_EQ(c.dev->getTolvaneRoutingValue(), 0u);
    c.model->clearTrace();
    c.dev->UpdateTolvaneRouting(1, c.clientId);
    EXPECT_EQ(vendorOne(), (std::vector<std::pair<uint16_t, IOReturn>>{{4, kIOReturnSuccess}}));
    EXPECT_EQ(uint32_t(c.dev->currentControls().mRoutingValue), 1u);
    EXPECT_EQ(c.dev->getTolvaneRoutingValue(), 1u);
    // The same value again sends nothing.
    c.model->clearTrace();
    c.dev->UpdateTolvaneRouting(1, c.clientId);
    EXPECT_TRUE(vendorOne().empty());
    // Refused: tried, and the value in force stays.
    c.dev->UpdateTolvaneRouting(0, c.clientId);
    const auto sent = vendorOne();
    ASSERT_FALSE(sent.empty());
    for (const auto& [index, status] : sent) {
        EXPECT_EQ(index, 2);
        EXPECT_NE(status, kIOReturnSuccess);
    }
    EXPECT_EQ(uint32_t(c.dev->currentControls().mRoutingValue), 1u);
    EXPECT_EQ(c.dev->getTolvaneRoutingValue(), 1u);
    // Routing changes are not announced.
    for (const QN_StateChange& r : c.records())
        EXPECT_NE(r.mCode, uint32_t(STC_MonitorChanged));
}

// What a start sends, by product, on the class model: consecutive repeats
// (a stalled request tried again) count once. The PIC product tells its
// microcontroller the rate before anything and sets no endpoint rate; the
// products with start class requests send them after the input endpoint's
// rate; the Halvard Trunk product runs its start-up in place of the endpoint
// rates and again at the resume.
TEST(StartTraces, ByProductOnTheClassModel) {
    using Key = std::tuple<uint8_t, uint8_t, uint16_t, uint16_t>;
    const Key rateIn{0x22, 1, 0x0100, 0x82}, rateOut{0x22, 1, 0x0100, 0x01};
    struct Case {
        uint16_t vendor, product;
        std::vector<Key> expected; // the start's first requests, in order
    } cases[] = {
        {kTeslinVendorID, kTeslinT10ProductID, {rateIn, {0x21, 1, 0x02FF, 0x0200}}},
        {kKestrelVendorID, kKestrelProductID, {rateIn, {0x21, 1, 0x02FF, 0x0200}}},
        {kDarrowVendorID, kDarrowD1ProductID, {rateIn, {0x21, 1, 0x0A00, 0x0900}}},
        {kVelmarVendorID,
         kVelmarV4ProductID,
         {rateIn, {0x21, 1, 0x0201, 0x0900}, {0x21, 1, 0x0202, 0x0900}}},
        {kTrunkVendorID, kTrunkProductID, {rateIn, rateOut, rateIn, rateOut}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.product);
        ClassDevice c(k.vendor, k.product);
        ASSERT_NE(c.dev, nullptr);
        ASSERT_TRUE(c.configure());
        c.model->clearTrace();
        c.dev->startStreamAfterConfig();
        EXPECT_TRUE(c.dev->isStreamingStarted());
        std::vector<Key> sent;
        std::vector<std::vector<uint8_t>> data;
        for (const auto& e : c.model->trace()) {
            const Key key{e.setup.bmRequestType, e.setup.bRequest, e.setup.wValue, e.setup.wIndex};
            if (!sent.empty() && sent.back() == key && data.back() == e.dataOut) continue;
            sent.push_back(key);
            data.push_back(e.dataOut);
        }
        ASSERT_GE(sent.size(), k.expected.size());
        EXPECT_EQ(std::vector<Key>(sent.begin(), sent.begin() + long(k.expected.size())),
                  k.expected);
        // The class requests carry zeros of their stated lengths.
        for (size_t i = 0; i < k.expected.size(); ++i)
            if (std::get<0>(k.expected[i]) == 0x21) {
                EXPECT_FALSE(data[i].empty());
                EXPECT_EQ(std::count(data[i].begin(), data[i].end(), 0), long(data[i].size()));
            }
        if (k.vendor == kTrunkVendorID) {
            EXPECT_EQ(sent.size(), k.expected.size());
        }
        c.dev->stopStreaming(true);
    }
    // The PIC product: its rate command first (193 at 44.1 kHz, the
    // class model's rate), nothing but PIC commands after it, and no
    // endpoint rate.
    ClassDevice c(kPelgraneVendorID, kPelgranePicProductID);
    ASSERT_NE(c.dev, nullptr);
    ASSERT_TRUE(c.configure());
    ASSERT_EQ(c.dev->getCurrentSettings().Frequency, 44100u);
    c.model->clearTrace();
    c.dev->startStreamAfterConfig();
    const auto trace = c.model->trace();
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace[0].setup.bmRequestType, 0x40);
    EXPECT_EQ(trace[0].setup.bRequest, 1);
    EXPECT_EQ(trace[0].setup.wValue, 0xF0);
    EXPECT_EQ(trace[0].setup.wIndex, 0x1F0);
    EXPECT_EQ(trace[0].dataOut, std::vector<uint8_t>{193});
    for (const auto& e : trace) {
        const bool picSet = e.setup.bmRequestType == 0x40 && e.setup.bRequest == 1;
        const bool picGet = e.setup.bmRequestType == 0xC0 && e.setup.bRequest == 0x81;
        EXPECT_TRUE(picSet || picGet) << int(e.setup.bmRequestType) << " " << int(e.setup.bRequest);
        if (picSet) {
            EXPECT_EQ(e.dataOut, std::vector<uint8_t>{193});
        }
    }
    c.dev->stopStreaming(true);
}

// The meters are read from the device after a real start, by product and
// bus speed; the class model streams 2 channels each way, so an input meter
// made for another count is not taken. One product also has its output
// alternate selected again at the start, and says so.
TEST(StreamMeters, ChosenByProductAtStart) {
    struct Case {
        uint16_t vendor, product;
        uint8_t speed;
        LevelProcessorFnc input, output;
    } cases[] = {
        {kCadenzaVendorID, kCadenzaMeterProductID, kUSBHostConnectionSpeedFull, LevelProcessor2CH,
         LevelProcessor2CH},
        {kCadenzaVendorID, kCadenzaTypicalProductID, kUSBHostConnectionSpeedFull, nullptr, nullptr},
        {kOstravVendorID, kOstravSixEightProductID, kUSBHostConnectionSpeedFull, nullptr,
         LevelProcessor6CH},
        {kOstravVendorID, kOstravSixteenProductID, kUSBHostConnectionSpeedFull, nullptr, nullptr},
        {kOstravVendorID, kOstravSixteenProductID, kUSBHostConnectionSpeedHigh, nullptr,
         LevelProcessor8CH},
        {kOstravVendorID, kOstravSixteenBProductID, kUSBHostConnectionSpeedHigh, nullptr,
         LevelProcessor8CH},
        {kOstravVendorID, kOstravEighteenProductID, kUSBHostConnectionSpeedFull, nullptr, nullptr},
        {kOstravVendorID, kOstravEighteenProductID, kUSBHostConnectionSpeedHigh, nullptr,
         LevelProcessor8CH},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::to_string(k.product) + " speed " + std::to_string(k.speed));
        const uint16_t vendor = k.vendor, product = k.product;
        Opened<ClassAudioModel> c(
            std::make_shared<ClassAudioModel>(
                k.speed, hx::usb::devices::HX5100Identity{vendor, product, 0x0100, "M", "P", ""},
                classLayoutOf(vendor, product)),
            [=] { useClassPersonality(vendor, product); });
        ASSERT_NE(c.dev, nullptr);
        ASSERT_EQ(c.svc->reqConfigureDevice("test"), kIOReturnSuccess);
        ASSERT_EQ(c.dev->getCurrentSettings().InChannels, 2u);
        const ZrInterfaceDescriptor* out = c.dev->getConfigurations().mpOutInterface;
        ASSERT_NE(out, nullptr);
        const int outAlternate = out->getAlternateNumber();
        c.model->clearTrace();
        hx::log::Capture log;
        c.dev->startStreamAfterConfig();
        EXPECT_TRUE(c.dev->isStreamingStarted());
        EXPECT_EQ(c.dev->getInputMeter(), k.input);
        EXPECT_EQ(c.dev->getOutputMeter(), k.output);
        const bool reselects = product == kOstravSixEightProductID;
        int outSelects = 0;
        for (const auto& e : c.model->trace())
            if (e.setup.bRequest == StandardUSB::kDeviceRequestSetInterface &&
                e.setup.wIndex == out->getInterfaceNumber() && e.setup.wValue == outAlternate)
                ++outSelects;
        EXPECT_EQ(outSelects, reselects ? 1 : 0);
        const std::string line = "alternate is " + std::to_string(outAlternate) + "\n";
        EXPECT_EQ(log.text().find("mpOutInterface is ") != std::string::npos, reselects);
        EXPECT_EQ(log.text().find(line) != std::string::npos, reselects);
        c.dev->stopStreaming(true);
    }
}

// The read completion keeps each channel's largest sample until a level
// request takes it; a reader taking levels while streaming runs is safe.
TEST(StreamMeters, InputPeaksAreTakenAndCleared) {
    // Virtual time: the stream runs its course however busy the host is.
    hx::clock::VirtualClock clock;
    ClassDevice c(kCadenzaVendorID, kCadenzaMeterProductID);
    ASSERT_NE(c.dev, nullptr);
    ASSERT_TRUE(c.configure());
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        int32_t levels[32];
        QN_LevelInfo info;
        while (!stop.load()) {
            c.dev->takeInputLevels(levels);
            c.dev->getAJ().getLevelInfo(&info);
            std::this_thread::yield();
        }
    });
    c.dev->startStreamAfterConfig();
    ASSERT_TRUE(c.dev->isStreamingStarted());
    // Stream until the device has sent a few thousand frames.
    // (The bound only keeps a broken stream from hanging the test.)
    for (int i = 0; i < 1000 && c.dev->getIsocStreaming().framesIn() < 3000; ++i)
        clock.runFor(1000000);
    ASSERT_GE(c.dev->getIsocStreaming().framesIn(), 3000u);
    stop = true;
    reader.join();
    // Nobody takes them now: the peaks of what streams until the stop.
    clock.runFor(20000000);
    c.dev->stopStreaming(true);
    int32_t levels[32];
    c.dev->takeInputLevels(levels);
    // The ramp: channel 0 carries the frame counter (positive, 24 bits
    // left-aligned), channel 1 the counter offset by half the range
    // (negative while the counter is below it), so its peak stays 0.
    EXPECT_GT(levels[0], 0);
    EXPECT_EQ(levels[0] & 0xFF, 0);
    EXPECT_EQ(levels[1], 0);
    for (int k = 2; k < 32; ++k)
        EXPECT_EQ(levels[k], 0) << k;
    c.dev->takeInputLevels(levels);
    for (int k = 0; k < 32; ++k)
        EXPECT_EQ(levels[k], 0) << k;
}

// The HX-5100 with an audio client; the kernel's version back to its
// default afterwards.
struct SleepingHX5100 : Opened<HX5100Model> {
    SleepingHX5100() : Opened<HX5100Model>(makeHX5100(kUSBHostConnectionSpeedFull)) {}
    ~SleepingHX5100() { version_major = 19; }
};

TEST(SystemPower, SleepUnconfiguresAndDeepSleepsOnceAndWakeRecovers) {
    SleepingHX5100 s;
    ASSERT_NE(s.dev, nullptr);
    ASSERT_EQ(s.svc->reqConfigureDevice("test"), kIOReturnSuccess);
    s.dev->startStreamAfterConfig();
    s.records();
    const size_t before = s.codes().size();
    hx::kern::systemWillSleep();
    hx::kern::systemWillSleep(); // a second sleep does nothing
    EXPECT_TRUE(s.svc->isSystemSuspended());
    EXPECT_FALSE(s.dev->isStreamingStarted());
    EXPECT_FALSE(s.dev->getDriverSM()->mConfigured);
    EXPECT_TRUE(s.model->isDeepSleeping());
    EXPECT_EQ(s.model->deepSleepCount(), 1u);
    auto codes = s.codes();
    EXPECT_EQ(std::vector<uint32_t>(codes.begin() + long(before), codes.end()),
              std::vector<uint32_t>{54});

    hx::kern::systemDidWake();
    EXPECT_FALSE(s.svc->isSystemSuspended());
    EXPECT_TRUE(s.dev->isStreamBroken());
    codes = s.codes();
    EXPECT_EQ(codes.back(), uint32_t(STC_SystemWakeUp));
    // What the client does on 13: stage 1 claims the break once, stage 2
    // configures, restarts and tells every client.
    const size_t woke = codes.size();
    EXPECT_TRUE(s.dev->handleStreamBroken(1));
    EXPECT_FALSE(s.dev->handleStreamBroken(1));
    EXPECT_TRUE(s.dev->handleStreamBroken(2));
    codes = s.codes();
    const std::vector<uint32_t> after(codes.begin() + long(woke), codes.end());
    ASSERT_GE(after.size(), 2u);
    EXPECT_EQ(after.back(), 0x10000u);
    EXPECT_NE(std::find(after.begin(), after.end(), uint32_t(STC_NewConfig)), after.end());
    EXPECT_FALSE(s.model->isDeepSleeping());
    EXPECT_TRUE(s.dev->isStreamingStarted());
    s.dev->stopStreaming(true);
}

// Which notifications sleep or wake the device.
TEST(SystemPower, NotificationTable) {
    struct Case {
        const char* what;
        IOPMPowerFlags flags;
        unsigned long state;
        unsigned release;
        bool suspendedBefore;
        bool suspendedAfter;
    };
    const Case cases[] = {
        {"sleep", 0x4, 2, 19, false, true},
        {"sleep flag in another state", 0x4, 3, 19, false, false},
        {"no sleep flag", 0x0, 2, 19, false, false},
        {"wake", 0x2, 4, 19, true, false},
        {"wake at state 3", 0x2, 3, 19, true, false},
        {"wake below state 3", 0x2, 2, 19, true, true},
        {"wake without 0x2", 0x80, 4, 19, true, true},
        {"wake on release 11 without 0x80", 0x2, 4, 11, true, true},
        {"wake on release 11 with 0x80", 0x82, 4, 11, true, false},
        {"wake while awake", 0x2, 4, 19, false, false},
    };
    for (const Case& c : cases) {
        SleepingHX5100 s;
        ASSERT_NE(s.dev, nullptr);
        if (c.suspendedBefore) hx::kern::systemWillSleep();
        ASSERT_EQ(s.svc->isSystemSuspended(), c.suspendedBefore) << c.what;
        version_major = int(c.release);
        hx::kern::deliverPowerChange(c.flags, c.state);
        EXPECT_EQ(s.svc->isSystemSuspended(), c.suspendedAfter) << c.what;
    }
}

// A request holding the dispatch lock (a configuration) finishes first: the
// sleep cannot unconfigure under it.
TEST(SystemPower, ASleepWaitsForTheDispatchLock) {
    SleepingHX5100 s;
    ASSERT_NE(s.dev, nullptr);
    ASSERT_TRUE(s.svc->dispatchLock().lockMutex("test"));
    std::thread power([] { hx::kern::systemWillSleep(); });
    // However long it waits, it cannot run while the lock is held.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(s.svc->isSystemSuspended());
    EXPECT_EQ(s.model->deepSleepCount(), 0u);
    s.svc->dispatchLock().unlock();
    power.join();
    EXPECT_TRUE(s.svc->isSystemSuspended());
    EXPECT_EQ(s.model->deepSleepCount(), 1u);
}

TEST(SystemPower, AWakeAfterTerminateDoesNotTouchTheDevice) {
    SleepingHX5100 s;
    ASSERT_NE(s.dev, nullptr);
    hx::kern::systemWillSleep();
    s.svc->terminate(0);
    const size_t before = s.codes().size();
    hx::kern::systemDidWake();
    EXPECT_TRUE(s.svc->isSystemSuspended());
    EXPECT_EQ(s.codes().size(), before);
}

} // namespace
