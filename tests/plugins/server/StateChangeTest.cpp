// The kernel's state changes as the audio server's device takes them: a row
// per code with the kernel requests it sends, the configuration changes it
// asks the host for, the notices the host hears, what it stores and the
// lines it logs; then the decided endings (a wake-up after a broken stream,
// the device leaving the plug-in) and the LX-420's replies.
#include <optional>
#include <string>

#include "platform/base/HXLog.h"
#include "platform/dispatch/Dispatch.h"
#include "plugins/server/OSXAsioRegistry.h"
#include "tests/plugins/server/ServerDeviceFixture.h"

using namespace servertest;

namespace {

constexpr UInt32 kWatchedRequests[] = {31, 32, 33, 35};
const UInt32 kWatchedNotices[] = {fcc("QvRC"), fcc("QvLC"), fcc("QvFC"), fcc("QvMC"),
                                  fcc("QnOS"), fcc("QvRt"), fcc("csrc"), fcc("goin")};

class StateChange : public ServerDevice {
public:
    void send(UInt32 code, UInt64 client, UInt32 param1 = 0, UInt32 param2 = 0) {
        QN_StateChange change = makeStateChange(code, param1, client, param2);
        device->PropertyNotificationHandler(kQnStateChangeMessage, &change);
    }
    std::vector<UInt32> watchedRequests() {
        std::vector<UInt32> out;
        for (UInt32 r : service->requests())
            if (std::find(std::begin(kWatchedRequests), std::end(kWatchedRequests), r) !=
                std::end(kWatchedRequests))
                out.push_back(r);
        return out;
    }
    std::vector<UInt32> watchedNotices() {
        std::vector<UInt32> out;
        for (UInt32 n : notices(id))
            if (std::find(std::begin(kWatchedNotices), std::end(kWatchedNotices), n) !=
                std::end(kWatchedNotices))
                out.push_back(n);
        return out;
    }
    // A value the device stored in its preference domain.
    std::optional<UInt32> stored(const char* key) {
        CFStringRef idRoot = CFStringCreateWithCString(
            nullptr, QnAudioPluginClassCommons::getIDRoot(), kCFStringEncodingUTF8);
        qnas::OSXAsioRegistry registry(idRoot);
        CFRelease(idRoot);
        UInt32 value = 0;
        if (!registry.getUInt32Value(value, key)) return std::nullopt;
        return value;
    }
    // Request 35's answer for a control code (the payload word after it).
    void answer35(UInt32 value, IOReturn status = kIOReturnSuccess) {
        std::vector<uint8_t> payload(8, 0);
        std::memcpy(payload.data() + 4, &value, 4);
        service->script([&](KernelScript& s) { s.standing[35] = {status, payload, false, 0}; });
    }
    void newKernelSettings() { area->mChannelSettings = QnChannelSettings{44100, 2, 24, 2, 24, 0}; }
};

struct Row {
    const char* name;
    UInt32 code;
    bool own;
    std::function<void(StateChange&)> setup;
    std::vector<UInt32> requests;
    std::vector<UInt64> actions;
    std::vector<UInt32> notices;
    const char* line;
};

} // namespace

TEST_F(StateChange, ARowPerCode) {
    const std::vector<Row> rows = {
        {"code 1 does nothing", 1, false, nullptr, {}, {}, {}, nullptr},
        {"code 57 does nothing", 57, false, nullptr, {}, {}, {}, nullptr},
        {"2 broken stream: 31, 100 ms, 32, then a wake-up",
         2,
         false,
         nullptr,
         {31, 32},
         {kQnConfigWakeUp},
         {},
         "QnASPlugInDevice received STC_STREAM_BROKEN\n"},
        {"2 with 31 failing skips 32",
         2,
         false,
         [](StateChange& t) {
             t.service->script([](KernelScript& s) {
                 s.standing[31] = {kIOReturnError, {}, false, 0};
             });
         },
         {31},
         {kQnConfigWakeUp},
         {},
         "STC_STREAM_BROKEN"},
        {"3 unchanged: no change",
         3,
         false,
         nullptr,
         {},
         {},
         {},
         "QnASPlugInDevice received STC_NewConfig: no change\n"},
        {"3 changed by another client: change 4",
         3,
         false,
         [](StateChange& t) { t.newKernelSettings(); },
         {33},
         {kQnConfigChangeNewConfig},
         {},
         nullptr},
        {"3 changed by this plug-in: nothing",
         3,
         true,
         [](StateChange& t) { t.newKernelSettings(); },
         {},
         {},
         {},
         nullptr},
        {"11 client attached: running state", 11, false, nullptr, {}, {}, {}, nullptr},
        {"13 not suspended: no wake-up first",
         13,
         false,
         nullptr,
         {31, 32},
         {kQnConfigWakeUp},
         {},
         "STC_STREAM_BROKEN"},
        {"13 suspended: a wake-up, then as 2",
         13,
         false,
         [](StateChange& t) { t.device->setStreamingSuspended(true); },
         {31, 32},
         {kQnConfigWakeUp, kQnConfigWakeUp},
         {},
         "STC_STREAM_BROKEN"},
        {"34 user configuration",
         34,
         false,
         nullptr,
         {33},
         {},
         {fcc("QvRC")},
         "Req_UserConfigChanged configPending"},
        {"34 with 33 failing: no notice",
         34,
         false,
         [](StateChange& t) {
             t.service->script([](KernelScript& s) {
                 s.standing[33] = {kIOReturnError, {}, false, 0};
             });
         },
         {33},
         {},
         {},
         nullptr},
        {"35 control panel", 35, false, nullptr, {}, {}, {fcc("QvLC")}, nullptr},
        {"36 device status", 36, false, nullptr, {}, {}, {fcc("QvFC")}, nullptr},
        {"38 foot switch mode", 38, false, nullptr, {}, {}, {fcc("QvFC")}, nullptr},
        {"39 foot switch protocol", 39, false, nullptr, {}, {}, {fcc("QvFC")}, nullptr},
        {"40 settings stored", 40, false, nullptr, {}, {}, {}, nullptr},
        {"48 mixer", 48, false, nullptr, {}, {}, {fcc("QvMC")}, nullptr},
        {"49 from another client: change 8, mode stored",
         49,
         false,
         [](StateChange& t) { t.answer35(3); },
         {35},
         {kQnConfigChangeDigitalOutMode},
         {},
         "Plugin received STC_DigiOutModeChanged\n"},
        {"49 from this plug-in: no change 8",
         49,
         true,
         [](StateChange& t) { t.answer35(3); },
         {35},
         {},
         {},
         "STC_DigiOutModeChanged"},
        {"50 from this plug-in: only the preferences",
         50,
         true,
         [](StateChange& t) { t.answer35(1); },
         {35},
         {},
         {},
         "STC_SampleCkSrcChanged\n"},
        {"50 from another client, rates equal: change 9 (the kernel's source read twice) then "
         "'csrc'",
         50,
         false,
         [](StateChange& t) { t.answer35(1); },
         {35, 35, 35, 35},
         {kQnConfigChangeClockSource},
         {fcc("csrc")},
         "STC_SampleCkSrcChanged\n"},
        {"50 from another client, rates differ: change 4",
         50,
         false,
         [](StateChange& t) {
             t.answer35(1);
             t.newKernelSettings();
         },
         {35, 35, 33},
         {kQnConfigChangeNewConfig},
         {},
         nullptr},
        {"50 with 35 failing: no change 9",
         50,
         false,
         [](StateChange& t) { t.answer35(0, kIOReturnError); },
         {35, 35},
         {},
         {},
         nullptr},
        {"52 start-up finished: change 4",
         52,
         false,
         nullptr,
         {35, 33}, // the start-up reads the clock source
         {kQnConfigChangeNewConfig},
         {},
         "QnASPlugInDevice received STC_INITCOMPLETE\n"},
        {"53 mixer buffer stored", 53, false, nullptr, {}, {}, {}, nullptr},
        {"55 digital output selector", 55, false, nullptr, {}, {}, {fcc("QnOS")}, nullptr},
        {"56 routing", 56, false, nullptr, {}, {}, {fcc("QvRt")}, nullptr},
    };
    bool first = true;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (!first) {
            TearDown();
            host.reset();
            start(kKorvexVendorID, kKorvexHX5100ProductID);
        }
        first = false;
        serverHost();
        if (row.setup) row.setup(*this);
        service->clearCalls();
        hx::log::Capture log;
        send(row.code, row.own ? kOwnClient : 0x99);
        EXPECT_EQ(requestedActions(), row.actions);
        EXPECT_EQ(watchedRequests(), row.requests);
        EXPECT_EQ(watchedNotices(), row.notices);
        if (row.line) {
            EXPECT_NE(log.text().find(row.line), std::string::npos) << log.text();
        }
    }
}

TEST_F(StateChange, AnInactiveDeviceIgnoresEveryChange) {
    serverHost();
    device->QnASPlugInObject::Deactivate();
    service->clearCalls();
    for (UInt32 code : {2u, 3u, 13u, 16u, 34u, 35u, 50u, 52u})
        send(code, 0x99);
    EXPECT_TRUE(service->requests().empty());
    EXPECT_TRUE(requestedActions().empty());
    EXPECT_TRUE(watchedNotices().empty());
}

TEST_F(StateChange, AFarlaneOneKeepsItsConfigurationInHostStorageAfterAChange) {
    // After the change is handled, a first-generation Farlane stores the
    // configuration and map the kernel last reported under its device
    // state; the HX-5100 stores no such record.
    QN_Sorvik_ConfigAndMap held{};
    held.cConfig = QN_DeviceConfiguration{44100, 4, 24, 6, 24};
    for (int k = 0; k < 8; ++k) {
        held.cMap.mEInputMap[k] = k < 4 ? 3 - k : QN_Sorvik_ChannelMap::kNoChannel;
        held.cMap.mEOutputMap[k] = k < 6 ? k : QN_Sorvik_ChannelMap::kNoChannel;
    }
    const struct {
        const char* name;
        UInt16 vendor, product;
        bool stored;
    } rows[] = {
        {"HX-5100", kKorvexVendorID, kKorvexHX5100ProductID, false},
        {"Farlane-1", kSorvikVendorID, kSorvikFarlane1ProductIDs[0], true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        host.reset();
        start(row.vendor, row.product);
        serverHost();
        // The kernel's configuration and map (control code 69).
        std::vector<uint8_t> payload(4 + sizeof held);
        const UInt32 code = 69;
        std::memcpy(payload.data(), &code, 4);
        std::memcpy(payload.data() + 4, &held, sizeof held);
        service->script([&](KernelScript& s) {
            s.standing[35] = {kIOReturnSuccess, payload, false, 0};
        });
        device->logic().updateSorvikConfigAndMap();
        service->script([](KernelScript& s) { s.standing.erase(35); });
        char key[8];
        std::memcpy(key, device->farlaneState(), 8);
        QN_Sorvik_ConfigAndMap back{};
        EXPECT_FALSE(device->getStoredSorvikConfigAndMapping(back, key));
        send(1, 0x99); // a change with nothing else to do
        const bool found = device->getStoredSorvikConfigAndMapping(back, key);
        EXPECT_EQ(found, row.stored);
        if (found) {
            EXPECT_EQ(std::memcmp(&back, &held, sizeof back), 0);
        }
    }
}

TEST_F(StateChange, AChangeOfAnotherSizeOrWithoutARecordIsIgnored) {
    serverHost();
    service->clearCalls();
    QN_StateChange change = makeStateChange(35, 0, 0x99, 0);
    change.mSize = 32;
    device->PropertyNotificationHandler(kQnStateChangeMessage, &change);
    device->PropertyNotificationHandler(kQnStateChangeMessage, nullptr);
    EXPECT_TRUE(watchedNotices().empty());
}

TEST_F(StateChange, ABrokenStreamSilencesTheOutputUntilTheWakeUpIsPerformed) {
    serverHost();
    device->StartIO();
    std::vector<uint8_t> out(64 * 6, 0x40);
    send(STC_STREAM_BROKEN, 0x99);
    EXPECT_EQ(performedActions(), std::vector<UInt64>{kQnConfigWakeUp});
    // Performed: the host's output reaches the ring again.
    EXPECT_EQ(device->WriteOutputData(64, 0, out.data()), 0);
    EXPECT_EQ(out[0], 0x40);
    device->StopIO();
}

TEST_F(StateChange, WhileTheWakeUpWaitsTheOutputIsSilent) {
    device->StartIO();
    // No host: the request is queued but never performed.
    send(STC_SystemWakeUp, 0x99);
    std::vector<uint8_t> out(64 * 6, 0x40);
    EXPECT_EQ(device->WriteOutputData(64, 0, out.data()), 0);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0; }));
    device->StopIO();
}

TEST_F(StateChange, WolfsonRegisterMirror) {
    struct Case {
        UInt32 codec;
        UInt32 reg;
        UInt32 value;
        bool phono0, phono1;
    };
    const Case cases[] = {
        {1, 21, 0x0002, false, true},
        {0, 21, 0x0003, true, true},
        {0, 21, 0x0001, false, true},
        {1, 7, 0x0002, false, true}, // another register leaves the flags
    };
    for (const Case& c : cases) {
        send(STC_ChangeWolfson, 0x99, c.codec, (c.reg << 16) | c.value);
        EXPECT_EQ(device->logic().phonoFlag(0), c.phono0) << c.reg << " " << c.value;
        EXPECT_EQ(device->logic().phonoFlag(1), c.phono1) << c.reg << " " << c.value;
        const std::string key =
            "WolfsonRegister_" + std::to_string(c.codec) + "_" + std::to_string(c.reg);
        EXPECT_EQ(stored(key.c_str()), std::optional<UInt32>(c.value)) << key;
    }
}

TEST_F(StateChange, DigitalOutModeAndClockSourceStores) {
    serverHost();
    // 49 stores the kernel's answer; a failed request stores nothing.
    answer35(5);
    send(STC_DigiOutModeChanged, kOwnClient);
    EXPECT_EQ(stored("DigitalOutMode"), std::optional<UInt32>(5));
    answer35(0, kIOReturnError);
    send(STC_DigiOutModeChanged, 0x99);
    EXPECT_EQ(stored("DigitalOutMode"), std::optional<UInt32>(5));
    EXPECT_EQ(performedActions(), std::vector<UInt64>{kQnConfigChangeDigitalOutMode});
    // 50 from this plug-in: the preferences take the kernel's source, the
    // stored one stays.
    const UInt32 before = device->clockSource();
    answer35(2);
    send(STC_SampleCkSrcChanged, kOwnClient);
    EXPECT_EQ(device->clockSource(), before);
    EXPECT_EQ(stored("ClockSource"), std::optional<UInt32>(2));
    // From another client with equal rates: stored once the host performed
    // change 9, which tells 'csrc'.
    answer35(1);
    send(STC_SampleCkSrcChanged, 0x99);
    EXPECT_EQ(performedActions(),
              (std::vector<UInt64>{kQnConfigChangeDigitalOutMode, kQnConfigChangeClockSource}));
    EXPECT_EQ(notices(id), std::vector<UInt32>{fcc("csrc")});
    EXPECT_EQ(device->clockSource(), 1u);
    EXPECT_EQ(stored("ClockSource"), std::optional<UInt32>(1));
    // Failing: nothing stored, no change 9.
    answer35(0, kIOReturnError);
    send(STC_SampleCkSrcChanged, 0x99);
    EXPECT_EQ(device->clockSource(), 1u);
    EXPECT_EQ(stored("ClockSource"), std::optional<UInt32>(1));
    EXPECT_EQ(performedActions().size(), 2u);
    // Rates differ: stored at once, then change 4.
    answer35(0);
    newKernelSettings();
    send(STC_SampleCkSrcChanged, 0x99);
    EXPECT_EQ(device->clockSource(), 0u);
    EXPECT_EQ(requestedActions().back(), UInt64(kQnConfigChangeNewConfig));
}

TEST_F(StateChange, Lx420RepliesAsATable) {
    struct Case {
        UInt8 mixerMode;
        UInt8 outChannels, inChannels;
        UInt32 userMode;
    };
    const Case cases[] = {{1, 6, 4, 1}, {0, 2, 2, 0}, {2, 4, 6, 2}, {7, 4, 6, 2}};
    TearDown();
    start(kKorvexVendorID, kKorvexLX420ProductID);
    serverHost();
    auto channels = [&](uint8_t iface) {
        const APIConfigInfo& c = device->deviceInfo().mConfigurations[0];
        for (unsigned i = 0; i < c.mNumInterfaces; ++i)
            if (c.mInterfaces[i].mInterfaceNumber == iface)
                return c.mInterfaces[i].mAlternates[0].mStreaming.mChannels;
        return UInt8(0);
    };
    for (const Case& c : cases) {
        service->script([&](KernelScript& s) {
            s.standing[33] = {kIOReturnSuccess, {1, 0x5A, c.mixerMode}, false, 0};
        });
        hx::log::Capture log;
        send(STC_ChannelModeChanged, 0x99);
        EXPECT_EQ(channels(1), c.outChannels) << int(c.mixerMode);
        EXPECT_EQ(channels(2), c.inChannels) << int(c.mixerMode);
        EXPECT_EQ(device->userMixerMode(), c.userMode);
        const std::string line = "Req_UserConfigChanged configPending 1 value 5A value1 " +
                                 std::to_string(c.mixerMode) + "\n";
        EXPECT_NE(log.text().find(line), std::string::npos) << log.text();
    }
    EXPECT_EQ(watchedNotices().size(), 4u);
}

TEST_F(StateChange, FirmwareUpdateModeTakesTheDeviceOutOfThePlugIn) {
    serverHost();
    // A reference of the test's own, so the device can be asked afterwards.
    ASSERT_GT(QnASPlugInObjectMap::RetainObject(device), 0u);
    send(STC_FirmwareUpdateMode, 0x99);
    EXPECT_FALSE(device->IsActive());
    for (const auto& listed : QnASPlugInPlugIn::GetInstance()->CopyDeviceList())
        EXPECT_NE(listed.mDeviceObjectID, id);
    EXPECT_EQ(QnASPlugInObjectMap::CopyObjectByObjectID(id), nullptr);
    EXPECT_EQ(QnASPlugInObjectMap::CopyObjectByObjectID(inStream()), nullptr);
    const std::vector<UInt32> expected = {fcc("ownd"), fcc("dev#")};
    EXPECT_EQ(notices(kAudioObjectPlugInObject), expected);
    // Change 10 is asked for; the host finds no device to perform it on.
    const auto changes = serverHost().configurationChanges();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].action, UInt64(kQnConfigChangeFarlaneConfig));
    EXPECT_FALSE(changes[0].performed);
    deviceGone = true;
    host->shutdown();
    QnASPlugInObjectMap::ReleaseObject(device); // deleted on the global queue
}

namespace {
void forwardInterest(void* refCon, io_service_t, natural_t type, void* argument) {
    static_cast<QnASPlugInDevice*>(refCon)->PropertyNotificationHandler(type, argument);
}
} // namespace

// From the kernel: the service's messages to its clients reach the device's
// handler on the plug-in's queue, one at a time, in send order.
TEST_F(StateChange, KernelMessagesReachTheHandlerOnThePlugInQueueInOrder) {
    serverHost();
    dispatch_queue_t queue = QnASPlugInPlugIn::GetInstance()->GetDispatchQueue().GetDispatchQueue();
    IONotificationPortRef port = IONotificationPortCreate(kIOMasterPortDefault);
    IONotificationPortSetDispatchQueue(port, queue);
    QnASPlugInIOKitIterator it(IOServiceMatching("ScriptedKernelService"));
    io_object_t entry = it.Next();
    io_object_t note = 0;
    ASSERT_EQ(IOServiceAddInterestNotification(port, entry, kIOGeneralInterest, &forwardInterest,
                                               device, &note),
              KERN_SUCCESS);
    service->clearCalls();
    for (UInt32 code : {35u, 2u, 55u, 56u, 48u, 1u}) {
        QN_StateChange change = makeStateChange(code, 0, 0x99, 0);
        service->messageClients(kQnStateChangeMessage, &change, sizeof change);
    }
    hx::dispatch::drain(queue);
    const std::vector<UInt32> expected = {fcc("QvLC"), fcc("QnOS"), fcc("QvRt"), fcc("QvMC")};
    EXPECT_EQ(watchedNotices(), expected);
    EXPECT_EQ(performedActions(), std::vector<UInt64>{kQnConfigWakeUp});
    EXPECT_EQ(watchedRequests(), (std::vector<UInt32>{31, 32}));
    IOObjectRelease(note);
    IONotificationPortDestroy(port);
    IOObjectRelease(entry);
}
