// Kernel device discovery in the audio server plug-in, on the machine (bus,
// HX-5100 models, the kernel driver, in-process transport): Initialize makes
// the device of a service already present, later plugs arrive on the
// plug-in's queue, a failed activation leaves nothing listed, terminations
// retire exactly their device, and every IOKit handle goes with the last
// device. The plug-in is one per process: the tests run in order on it.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "abi/ProductIdentities.h"
#include "driver/clients/harness/ClientHarness.h"
#include "driver/clients/harness/HarnessMachine.h"
#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/iokit/HXIOKit.h"
#include "platform/iokit/IOPMLib.h"
#include "platform/kern/IOLib.h"
#include "platform/kern/SystemPower.h"
#include "platform/sys/HXProcess.h"
#include "platform/usb/IOUSBHostFamily.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/HX5100Model.h"
#include "plugins/server/CADispatchQueue.h"
#include "plugins/server/QnASPlugInDevice.h"
#include "plugins/server/QnASPlugInObjectMap.h"
#include "plugins/server/QnASPlugInPlugIn.h"
#include "tests/plugins/server/ServerDriverReference.h"

namespace {

using hx::coreaudio::fourCC;

// The host the plug-in is told of changes through: each PropertiesChanged
// with the queue it came on.
struct Notice {
    AudioObjectID object = 0;
    std::vector<AudioObjectPropertySelector> selectors;
    std::string queue;
};

std::mutex gNoticesLock;
std::vector<Notice> gNotices;

OSStatus propertiesChanged(AudioServerPlugInHostRef, AudioObjectID object, UInt32 count,
                           const AudioObjectPropertyAddress* addresses) {
    Notice n;
    n.object = object;
    for (UInt32 i = 0; i < count; ++i)
        n.selectors.push_back(addresses[i].mSelector);
    const char* label = dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL);
    n.queue = label ? label : "";
    std::lock_guard<std::mutex> g(gNoticesLock);
    gNotices.push_back(n);
    return 0;
}
OSStatus copyFromStorage(AudioServerPlugInHostRef, CFStringRef, CFPropertyListRef* out) {
    if (out) *out = nullptr;
    return 0;
}
OSStatus writeToStorage(AudioServerPlugInHostRef, CFStringRef, CFPropertyListRef) {
    return 0;
}
OSStatus requestChange(AudioServerPlugInHostRef, AudioObjectID, UInt64, void*) {
    return 0;
}
const AudioServerPlugInHostInterface gHost{&propertiesChanged, &copyFromStorage, &writeToStorage,
                                           &requestChange};

// The plug-in object's notices (the devices tell of their own changes too).
std::vector<Notice> notices() {
    std::lock_guard<std::mutex> g(gNoticesLock);
    std::vector<Notice> out;
    for (const Notice& n : gNotices)
        if (n.object == 1) out.push_back(n);
    return out;
}

class Discovery : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sRoot = new hx::test::TempRoot;
        std::filesystem::create_directories(hx::path::map("/tmp"));
        hx::sys::setOwnUid(501);
        hx::sys::setEmulatedRelease(std::string("13.0.0"));
        sMachine = new hx::harness::ClientHarness;
        ASSERT_TRUE(sMachine->boot()) << sMachine->lastError();
        hx::kern::waitQuiet();
        sObjectsBefore = hx::iokit::liveObjectCount();
        sPortsBefore = hx::iokit::liveNotificationPortCount();
    }
    static void TearDownTestSuite() {
        delete sMachine;
        sMachine = nullptr;
        hx::sys::resetProcessOverrides();
        delete sRoot;
    }
    static QnASPlugInPlugIn& plugIn() { return *QnASPlugInPlugIn::GetInstance(); }
    // The plug-in's queue and the global serial queue have run what they had.
    static void settle() {
        for (int i = 0; i < 3; ++i) {
            hx::kern::waitQuiet();
            hx::dispatch::drain(plugIn().GetDispatchQueue().GetDispatchQueue());
            hx::dispatch::drain(CADispatchQueue::GetGlobalSerialQueue().GetDispatchQueue());
        }
    }
    // Lets virtual time pass in small steps until done() holds (a plug or
    // an unplug takes the kernel some time).
    template <class Pred> static bool settleUntil(Pred done) {
        for (int i = 0; i < 300 && !done(); ++i) {
            settle();
            if (!done()) sMachine->idle(10000);
        }
        settle();
        return done();
    }
    static std::vector<AudioObjectID> listed() {
        std::vector<AudioObjectID> ids;
        for (const auto& info : plugIn().CopyDeviceList())
            ids.push_back(info.mDeviceObjectID);
        return ids;
    }
    static uint8_t plug(const char* serial) {
        hx::usb::devices::HX5100Identity id{kKorvexVendorID, kKorvexHX5100ProductID, 0x0100,
                                            "KORVEX AUDIO",  "HX5100 USB",           serial};
        auto model =
            std::make_shared<hx::usb::devices::HX5100Model>(kUSBHostConnectionSpeedHigh, id);
        sModels.push_back(model);
        const std::size_t before = publishedServices();
        const uint8_t port = sMachine->bus()->plug(model);
        // The service is published once the kernel configured the device.
        settleUntil([&] { return publishedServices() > before; });
        for (int i = 0; i < 20; ++i) {
            sMachine->idle(10000);
            settle();
        }
        return port;
    }
    static void unplug(uint8_t port) {
        const std::size_t before = publishedServices();
        sMachine->bus()->unplug(port);
        settleUntil([&] { return publishedServices() < before; });
        // The retirement on the plug-in's queue, the deletion on the global one.
        for (int i = 0; i < 50; ++i) {
            sMachine->idle(10000);
            settle();
        }
    }
    static std::size_t publishedServices() {
        std::size_t n = 0;
        io_iterator_t it = 0;
        if (IOServiceGetMatchingServices(0, IOServiceMatching("ZrKernelDeviceKorvexHX5100"), &it) !=
            0)
            return 0;
        while (io_object_t o = IOIteratorNext(it)) {
            ++n;
            IOObjectRelease(o);
        }
        IOObjectRelease(it);
        return n;
    }
    static QnASPlugInDevice* device(AudioObjectID id) {
        return dynamic_cast<QnASPlugInDevice*>(QnASPlugInObjectMap::CopyObjectByObjectID(id));
    }

    static inline hx::test::TempRoot* sRoot = nullptr;
    static inline hx::harness::ClientHarness* sMachine = nullptr;
    static inline std::vector<std::shared_ptr<hx::usb::devices::HX5100Model>> sModels;
    static inline std::size_t sObjectsBefore = 0;
    static inline long sPortsBefore = 0;
    static inline AudioObjectID sFirst = 0;
    static inline uint8_t sSecondPort = 0;
};

constexpr AudioObjectPropertySelector kOwned = fourCC("ownd"), kDevices = fourCC("dev#");

// First in the program: the service present before Initialize becomes
// device 32 inside Initialize, its streams and controls 33 to 40; the host
// hears of the list once.
TEST_F(Discovery, InitializeMakesTheDeviceOfAServiceAlreadyPresent) {
    AudioServerPlugInDriverRef driver = hx::test::serverDriverReference();
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ((*driver)->Initialize(driver, &gHost), 0);
    // Before any queue ran: the first pass is the caller's.
    EXPECT_EQ(listed(), std::vector<AudioObjectID>{32});
    settle();
    ASSERT_EQ(listed(), std::vector<AudioObjectID>{32});
    sFirst = 32;
    QnASPlugInDevice* d = device(32);
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(d->IsActive());
    EXPECT_EQ(d->streamID(true), 33u);
    EXPECT_EQ(d->streamID(false), 34u);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(d->subObjectID(i), AudioObjectID(33 + i));
    QnASPlugInObjectMap::ReleaseObject(d);
    const auto n = notices();
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(n[0].object, 1u);
    EXPECT_EQ(n[0].selectors, (std::vector<AudioObjectPropertySelector>{kOwned, kDevices}));
    const auto info = plugIn().CopyDeviceList().at(0);
    EXPECT_NE(info.mInterestNotification, 0u);
    // The plug-in's 'dev#' through the driver lists it.
    const AudioObjectPropertyAddress list{kDevices, kAudioObjectPropertyScopeGlobal, 0};
    AudioObjectID ids[4] = {};
    UInt32 size = 0;
    ASSERT_EQ((*driver)->GetPropertyData(driver, 1, 0, &list, 0, nullptr, sizeof ids, &size, ids),
              0);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(ids[0], 32u);

    // The device's IO entries: not started, Begin and Do answer 'stop'
    // (logged); the plug-in object is no device.
    AudioServerPlugInIOCycleInfo cycle{};
    UInt8 buffer[64] = {};
    hx::log::Capture log;
    EXPECT_EQ((*driver)->BeginIOOperation(driver, 32, 0, fourCC("read"), 16, &cycle),
              OSStatus(0x73746F70));
    EXPECT_EQ(
        (*driver)->DoIOOperation(driver, 32, 33, 0, fourCC("read"), 16, &cycle, buffer, nullptr),
        OSStatus(0x73746F70));
    EXPECT_NE(log.text().find("QnASPlugInBeginIOOperation returns 73746F70\n"), std::string::npos);
    EXPECT_EQ((*driver)->StartIO(driver, 1, 0), OSStatus(0x216F626A));
    EXPECT_EQ((*driver)->PerformDeviceConfigurationChange(driver, 1, 0, nullptr),
              OSStatus(0x216F626A));
}

// A failing activation: the device leaves the list and is deleted, the host
// is not told; its termination later matches no device. The next plug comes
// on the plug-in's queue and takes IDs after the failed one's.
TEST_F(Discovery, AFailedActivationLeavesNothingAndALaterPlugArrivesOnTheQueue) {
    ASSERT_EQ(sFirst, 32u);
    const std::size_t told = notices().size();
    QnASPlugInPlugIn::TestHook_FailNextActivate(kIOReturnNoResources);
    const uint8_t failed = plug("SN0002");
    EXPECT_EQ(listed(), std::vector<AudioObjectID>{32});
    EXPECT_EQ(notices().size(), told);
    QnASPlugInObject* gone = QnASPlugInObjectMap::CopyObjectByObjectID(41);
    EXPECT_EQ(gone, nullptr);
    if (gone) QnASPlugInObjectMap::ReleaseObject(gone);
    unplug(failed);
    EXPECT_EQ(listed(), std::vector<AudioObjectID>{32});
    EXPECT_EQ(notices().size(), told);

    const uint8_t second = plug("SN0003");
    ASSERT_EQ(listed(), (std::vector<AudioObjectID>{32, 50}));
    const auto n = notices();
    ASSERT_EQ(n.size(), told + 1);
    EXPECT_EQ(n.back().queue, "QnASPlugInPlugIn");
    EXPECT_EQ(n.back().selectors, (std::vector<AudioObjectPropertySelector>{kOwned, kDevices}));
    sSecondPort = second;
}

// A device whose power registrations fail is refused as one whose
// activation fails: no system-power connection, or a power-state interest
// the kernel refuses, leaves it unlisted and deleted, the host untold, and
// none of the registrations it had made behind.
TEST_F(Discovery, AFailedPowerRegistrationRefusesTheDevice) {
    ASSERT_EQ(listed(), (std::vector<AudioObjectID>{32, 50}));
    const struct {
        const char* name;
        void (*arm)();
        const char* line;
    } rows[] = {
        {"no system power connection", [] { hx::iokit::failNextSystemPowerRegistration(); },
         "AddDevice: no system power registration for device "},
        {"power-state interest refused",
         [] { hx::iokit::failNextPowerStateInterest(kIOReturnNoResources); },
         "AddDevice: no power-state interest for device "},
    };
    const char* serials[] = {"SN0004", "SN0005"};
    for (size_t r = 0; r < std::size(rows); ++r) {
        const auto& row = rows[r];
        SCOPED_TRACE(row.name);
        const std::size_t told = notices().size();
        const long ports = hx::iokit::liveNotificationPortCount();
        const std::size_t objects = hx::iokit::liveObjectCount();
        const std::size_t registrants = hx::kern::systemPowerRegistrantCount();
        hx::log::Capture log;
        row.arm();
        const uint8_t port = plug(serials[r]);
        const std::string text = log.text();
        EXPECT_NE(text.find(row.line), std::string::npos) << text;
        if (r == 1) {
            EXPECT_NE(text.find("(E00002BE)\n"), std::string::npos) << text;
        }
        EXPECT_EQ(listed(), (std::vector<AudioObjectID>{32, 50}));
        EXPECT_EQ(notices().size(), told);
        // Its power port and system-power registration went with it.
        EXPECT_EQ(hx::iokit::liveNotificationPortCount(), ports);
        EXPECT_EQ(hx::kern::systemPowerRegistrantCount(), registrants);
        unplug(port);
        EXPECT_EQ(listed(), (std::vector<AudioObjectID>{32, 50}));
        EXPECT_EQ(notices().size(), told);
        EXPECT_EQ(hx::iokit::liveObjectCount(), objects);
    }
}

// A state change whose record is not 36 bytes long is ignored; one for a
// service no listed device has is only logged.
TEST_F(Discovery, StateChangesForNoListedDeviceAreLoggedOrIgnored) {
    // A handle that names no HX-5100 service (it has no "deviceUID").
    const io_service_t service = 0x7FFF;
    UInt32 record[9] = {36, 0x34, 0, 0, 0, 0, 0, 0, 0};
    hx::log::Capture log;
    QnASPlugInPlugIn::IOServiceInterestHandler(reinterpret_cast<void*>(1), service,
                                               kIOMessageServicePropertyChange, record);
    record[0] = 32;
    QnASPlugInPlugIn::IOServiceInterestHandler(reinterpret_cast<void*>(1), service,
                                               kIOMessageServicePropertyChange, record);
    QnASPlugInPlugIn::IOServiceInterestHandler(reinterpret_cast<void*>(1), 0,
                                               kIOMessageServicePropertyChange, record);
    const std::string text = log.text();
    const std::string line =
        "IOServiceInterestHandler, Device NULL, returning. Message was PropertyChange:034\n";
    ASSERT_NE(text.find(line), std::string::npos) << text;
    EXPECT_EQ(text.find(line), text.rfind(line)); // once
}

// The first of two devices goes: the second keeps its entry, registrations
// and ID, and its own termination still reaches the plug-in; once both are
// gone, every IOKit handle the devices held is given back.
TEST_F(Discovery, TheFirstOfTwoGoneTheSecondKeepsItsNotices) {
    ASSERT_EQ(listed(), (std::vector<AudioObjectID>{32, 50}));
    const auto before = plugIn().CopyDeviceList().at(1);
    const std::size_t told = notices().size();
    hx::log::Capture log;
    unplug(sMachine->machine().port()); // the machine's own HX-5100, device 32
    EXPECT_NE(log.text().find("_RemoveDevice: found device 32\n"), std::string::npos);
    EXPECT_NE(log.text().find("_RemoveDevice: removed device 32\n"), std::string::npos);
    ASSERT_EQ(listed(), std::vector<AudioObjectID>{50});
    const auto after = plugIn().CopyDeviceList().at(0);
    EXPECT_EQ(after.mInterestNotification, before.mInterestNotification);
    EXPECT_EQ(after.mSystemPowerNotifier, before.mSystemPowerNotifier);
    EXPECT_EQ(after.mPowerStateNotification, before.mPowerStateNotification);
    EXPECT_EQ(after.mRootPowerConnection, before.mRootPowerConnection);
    EXPECT_EQ(notices().size(), told + 1);
    QnASPlugInObject* first = QnASPlugInObjectMap::CopyObjectByObjectID(32);
    EXPECT_EQ(first, nullptr); // deleted once its references went
    if (first) QnASPlugInObjectMap::ReleaseObject(first);

    // The second still hears the system's power messages, each once (the
    // first's registration went with it): will-sleep sends request 43 before
    // the root domain goes on, has-powered-on request 44 and, 5 s later, the
    // wake-up change; the other three are only logged.
    const struct {
        uint32_t message;
        const char* line; // what the message leads to besides the log line
    } rows[] = {
        {kIOMessageCanSystemSleep, nullptr},
        {kIOMessageSystemWillNotSleep, nullptr},
        {kIOMessageSystemWillPowerOn, nullptr},
        {kIOMessageSystemWillSleep, "USB: Power OFF(sleep)\n"},
        {kIOMessageSystemHasPoweredOn, "Host_RequestDeviceConfigurationChange"},
    };
    const std::string heard = "IOServiceInterestHandler theObject=1, theService=";
    auto count = [](const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.message);
        hx::log::Capture power;
        EXPECT_EQ(hx::kern::sendSystemPowerMessage(row.message), 1u);
        const std::string atReturn = power.text();
        auto done = [&] {
            const std::string text = power.text();
            return count(text, heard) >= 1 && (!row.line || text.find(row.line) != text.npos);
        };
        for (int i = 0; i < 1000 && !done(); ++i) {
            settle();
            if (!done()) sMachine->idle(10000);
        }
        settle();
        const std::string text = power.text();
        EXPECT_EQ(count(text, heard), 1u) << text;
        if (row.line) {
            EXPECT_NE(text.find(row.line), std::string::npos) << text;
        }
        if (row.message == kIOMessageSystemWillSleep) {
            // Request 43 came back before the root domain went on.
            EXPECT_NE(atReturn.find(row.line), std::string::npos) << atReturn;
            EXPECT_LT(text.find(heard), text.find(row.line));
        } else if (row.message == kIOMessageSystemHasPoweredOn) {
            EXPECT_LT(text.find("Req_SystemWakeUp\n"), text.find(row.line)) << text;
        } else {
            EXPECT_EQ(text.find("USB: Power"), std::string::npos) << text;
            EXPECT_EQ(text.find("Req_System"), std::string::npos) << text;
        }
    }

    unplug(sSecondPort);
    EXPECT_TRUE(listed().empty());
    EXPECT_EQ(notices().size(), told + 2);
    // Only the plug-in's matching port and iterator are left.
    EXPECT_EQ(hx::iokit::liveNotificationPortCount(), sPortsBefore + 1);
    EXPECT_EQ(hx::iokit::liveObjectCount(), sObjectsBefore + 1);
}

} // namespace
