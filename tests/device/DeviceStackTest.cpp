// The device layer on the whole simulated machine, in this process: the bus
// with HX-5100 models, the kernel driver with its user clients, and the
// user-side IOKit calls with their notifications on the main run loop.
#include "tests/device/DeviceEventRecorder.h"
#include "device/DriverConnection.h"
#include "device/FWUpdaterDetection.h"
#include "device/OSXDeviceManager.h"
#include "device/QnIORegistryPrefs.h"

#include "abi/DriverSM.h"
#include "abi/ProductIdentities.h"
#include "abi/ServiceClass.h"
#include "driver/clients/harness/ClientHarness.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/cf/HXCF.h"
#include "platform/iokit/HXIOKit.h"
#include "platform/kern/IOLib.h"
#include "platform/kern/IOService.h"
#include "platform/kern/IOUserConnection.h"
#include "platform/sys/HXProcess.h"
#include "platform/usb/IOUSBHostFamily.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/HX5100Model.h"
#include "tests/platform/cf/CFTestSupport.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr const char* kTypeFourLine = "received OSX_USER_CLIENT_NO_FW_UPDATER_MSG\n";
constexpr const char* kTypeZeroRefusedLine =
    "USBDriver: abort Audio - FirmwareUpdater is active or state unknown :0\n";

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + what.size()))
        ++n;
    return n;
}

// Runs the main run loop until done() holds, within a generous bound of
// passes (each lets a little platform time go by).
template <typename Pred> bool runUntil(Pred done) {
    for (int i = 0; i < 2000 && !done(); ++i)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.005, false);
    return done();
}

// Lets the machine settle and delivers what the run loop has pending.
void runPending() {
    hx::kern::waitQuiet();
    for (int i = 0; i < 20; ++i)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.005, false);
}

using Recorder = devicetest::DeviceEventRecorder;

using devicetest::Events;

class DeviceStack : public ::testing::Test {
protected:
    DeviceStack() { boot(); }
    ~DeviceStack() override {
        unplugSecond();
        hx::cf::setMainRunLoopAbsent(false);
        hx::iokit::setMapSizeShortfall(0);
        hx::sys::resetProcessOverrides();
        mHarness.reset();
    }
    void boot() {
        fs::create_directories(hx::path::map("/tmp"));
        mHarness.reset();
        mHarness = std::make_unique<hx::harness::ClientHarness>();
        mBooted = mHarness->boot();
        // An ordinary user's process: a device object opening the fresh
        // device restores it.
        hx::sys::setOwnUid(501);
    }
    static io_service_t findService() {
        io_iterator_t it = 0;
        if (IOServiceGetMatchingServices(0, IOServiceMatching(kZrServiceClassName), &it) !=
            KERN_SUCCESS)
            return 0;
        io_service_t s = IOIteratorNext(it);
        IOObjectRelease(it);
        return s;
    }
    static std::string text(const DriverSM* sm, std::size_t offset) {
        return std::string(reinterpret_cast<const char*>(sm) + offset);
    }
    int32_t kernelClients() { return mHarness->service()->getUserClientCount(); }

    // A second HX-5100 on the bus, with its own serial number.
    void plugSecond() {
        hx::usb::devices::HX5100Identity id{kKorvexVendorID, kKorvexHX5100ProductID, 0x0100,
                                            "KORVEX AUDIO",  "HX5100 USB",           "SN0002"};
        mSecond = std::make_shared<hx::usb::devices::HX5100Model>(kUSBHostConnectionSpeedHigh, id);
        mSecondPort = mHarness->bus()->plug(mSecond);
        hx::kern::waitQuiet();
    }
    // The kernel driver's service on the second device, or null.
    ZrKernelDeviceKorvexHX5100* secondService() {
        IOUSBHostDevice* dev = mHarness->bus()->copyDevice(mSecondPort);
        if (!dev) return nullptr;
        ZrKernelDeviceKorvexHX5100* found = nullptr;
        OSIterator* it = dev->getClientIterator();
        while (OSObject* obj = it ? it->getNextObject() : nullptr)
            if ((found = OSDynamicCast(ZrKernelDeviceKorvexHX5100, obj))) break;
        if (it) it->release();
        dev->release();
        return found;
    }
    void unplugSecond() {
        if (!mSecondPort) return;
        mHarness->bus()->unplug(mSecondPort);
        mSecondPort = 0;
        hx::kern::waitQuiet();
    }
    static void writeMarker(uint32_t pid, const char* name, std::size_t bytes) {
        FWUpdaterMarker m;
        std::memset(&m, 0, sizeof m);
        m.mPid = pid;
        std::strncpy(m.mName, name, sizeof m.mName - 1);
        std::ofstream(hx::path::map(kFWUpdaterMarkerPath), std::ios::binary)
            .write(reinterpret_cast<const char*>(&m), std::streamsize(bytes));
    }
    static bool markerExists() { return fs::exists(hx::path::map(kFWUpdaterMarkerPath)); }

    hx::test::TempRoot mRoot;
    std::unique_ptr<hx::harness::ClientHarness> mHarness;
    bool mBooted = false;
    std::shared_ptr<hx::usb::devices::HX5100Model> mSecond;
    uint8_t mSecondPort = 0;
};

// ---- Connection

TEST_F(DeviceStack, UpdaterMarkerDecidesWhetherTheOpenProceeds) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    const io_service_t service = findService();
    ASSERT_NE(service, 0u);
    hx::sys::addFakeProcess({4242, std::string("Updater"), "Updater", 'S', 501});
    hx::sys::addFakeProcess({4243, std::string("Other"), "Other", 'S', 501});
    const struct {
        const char* what;
        uint32_t pid;
        const char* name;
        std::size_t bytes;
        bool opens;
    } cases[] = {
        {"a live updater", 4242, "Updater", 260, false},
        {"an ended process", 999999, "Updater", 260, true},
        {"another process's name", 4243, "Updater", 260, true},
        {"a 100-byte file", 4242, "Updater", 100, true},
    };
    for (const auto& c : cases) {
        writeMarker(c.pid, c.name, c.bytes);
        hx::kern::waitQuiet(); // the previous case's client has gone
        const int32_t clientsBefore = kernelClients();
        hx::log::Capture log;
        DriverConnection connection(service);
        EXPECT_EQ(connection.ioIsOpen(), c.opens) << c.what;
        EXPECT_EQ(markerExists(), !c.opens) << c.what; // a stale marker is deleted
        if (!c.opens) {
            // Refused before the kernel was asked: no user client, not even a refused one.
            EXPECT_EQ(kernelClients(), clientsBefore) << c.what;
            EXPECT_EQ(log.text().find("OSX_USER_CLIENT"), std::string::npos) << c.what;
            EXPECT_EQ(log.text().find("USBDriver:"), std::string::npos) << c.what;
            EXPECT_EQ(connection.driverSM(), nullptr) << c.what;
        } else {
            EXPECT_EQ(kernelClients(), clientsBefore + 1) << c.what;
            EXPECT_NE(connection.driverSM(), nullptr) << c.what;
        }
    }
    IOObjectRelease(service);
}

TEST_F(DeviceStack, FreshDeviceTakesExactlyOneTypeFourOpenBeforeTypeZero) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    const io_service_t service = findService();
    hx::log::Capture log;
    DriverConnection first(service);
    ASSERT_TRUE(first.ioIsOpen());
    std::string t = log.text();
    EXPECT_EQ(occurrences(t, kTypeZeroRefusedLine), 1u);
    EXPECT_EQ(occurrences(t, kTypeFourLine), 1u);
    const std::string connected = "*** Connected to client " + std::to_string(::getpid()) + " ***";
    EXPECT_EQ(occurrences(t, connected), 1u);
    EXPECT_LT(t.find(kTypeZeroRefusedLine), t.find(kTypeFourLine));
    EXPECT_LT(t.find(kTypeFourLine), t.find(connected));
    EXPECT_EQ(kernelClients(), 1);

    // Open already: answers true and sends nothing.
    log.clear();
    EXPECT_TRUE(first.ioOpenConnection());
    t = log.text();
    EXPECT_EQ(t.find("*** Connected to client"), std::string::npos);
    EXPECT_EQ(t.find("OSX_USER_CLIENT"), std::string::npos);
    EXPECT_EQ(t.find("USBDriver:"), std::string::npos);
    EXPECT_EQ(kernelClients(), 1);

    // The kernel now knows no updater runs: type 0 opens at once.
    DriverConnection second(service);
    ASSERT_TRUE(second.ioIsOpen());
    t = log.text();
    EXPECT_EQ(occurrences(t, kTypeFourLine), 0u);
    EXPECT_EQ(occurrences(t, kTypeZeroRefusedLine), 0u);
    EXPECT_EQ(occurrences(t, connected), 1u);
    EXPECT_EQ(kernelClients(), 2);

    // Each identity is the one the kernel resolves to that connection's client.
    ZrKernelDeviceKorvexHX5100* kernel = mHarness->service();
    ASSERT_NE(first.clientID(), 0u);
    ASSERT_NE(second.clientID(), 0u);
    EXPECT_NE(first.clientID(), second.clientID());
    IOUserClient* a = kernel->clientFromIdentifier(first.clientID());
    IOUserClient* b = kernel->clientFromIdentifier(second.clientID());
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(kernel->clientIdentifier(a), first.clientID());
    IOObjectRelease(service);
}

TEST_F(DeviceStack, AttachSendsTheFrameSizeAndLeavesTheFirstWordAsItStands) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    ASSERT_TRUE(mHarness->openClient()) << mHarness->lastError();
    ASSERT_TRUE(mHarness->configure()) << mHarness->lastError();
    const io_service_t service = findService();
    DriverConnection c(service);
    ASSERT_TRUE(c.ioIsOpen());
    mach_vm_address_t ring = 0;
    mach_vm_size_t ringSize = 0;
    ASSERT_EQ(
        IOConnectMapMemory64(c.connection(), 5, mach_task_self(), &ring, &ringSize, kIOMapAnywhere),
        KERN_SUCCESS);

    ASSERT_TRUE(c.callAttach(512));
    const int slot = c.attachedSlot();
    ASSERT_GE(slot, 0);
    ASSERT_LT(slot, 8);
    // The kernel keeps the payload's first word as the client tag: after the
    // identity request it still holds the identity's low half.
    const ClientData& published = c.driverSM()->mClients[slot];
    int32_t tag = 0;
    uint32_t parameter = 0;
    std::memcpy(&tag,
                reinterpret_cast<const uint8_t*>(&published) +
                    offsetof(ClientData, mClientIdentifier),
                sizeof tag);
    std::memcpy(&parameter,
                reinterpret_cast<const uint8_t*>(&published) + offsetof(ClientData, mParameter),
                sizeof parameter);
    EXPECT_EQ(uint32_t(tag), uint32_t(c.clientID()));
    EXPECT_EQ(parameter, 512u);

    EXPECT_TRUE(c.callDetach());
    EXPECT_EQ(c.attachedSlot(), -1);

    // The asynchronous selectors answer true and never call back.
    static int calledBack = 0;
    calledBack = 0;
    IONotificationPortRef port = IONotificationPortCreate(0);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                       kCFRunLoopDefaultMode);
    c.setNotificationPort(port);
    auto callback = +[](void*, IOReturn, void**, UInt32) { ++calledBack; };
    uint8_t buffer[64] = {};
    EXPECT_TRUE(
        c.callDriverAsync(true, buffer, sizeof buffer, reinterpret_cast<void*>(callback), nullptr));
    EXPECT_TRUE(c.callDriverAsync(false, buffer, sizeof buffer, reinterpret_cast<void*>(callback),
                                  nullptr));
    runPending();
    EXPECT_EQ(calledBack, 0);
    c.setNotificationPort(nullptr);
    IONotificationPortDestroy(port);
    IOConnectUnmapMemory64(c.connection(), 5, mach_task_self(), ring);
    IOObjectRelease(service);
}

TEST_F(DeviceStack, StreamNamesCarryTheProductFromReleaseTwelveOn) {
    const struct {
        const char* release;
        bool withProduct;
    } cases[] = {{"19.6.0", true}, {"12.0.0", true}, {"11.4.0", false}};
    for (const auto& c : cases) {
        boot(); // a fresh driver load for each release
        ASSERT_TRUE(mBooted) << mHarness->lastError();
        hx::sys::setEmulatedRelease(std::string(c.release));
        const io_service_t service = findService();
        DriverConnection connection(service);
        ASSERT_TRUE(connection.ioIsOpen()) << c.release;
        const DriverSM* sm = connection.driverSM();
        const std::string model(sm->mModelName, ::strnlen(sm->mModelName, 63));
        ASSERT_FALSE(model.empty());
        EXPECT_EQ(text(sm, 8140), c.withProduct ? model + ": Input" : "Input") << c.release;
        EXPECT_EQ(text(sm, 7040), c.withProduct ? model + ": Output" : "Output") << c.release;
        IOObjectRelease(service);
    }
}

TEST_F(DeviceStack, LongOrUnterminatedProductNamesAreCut) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    const io_service_t service = findService();
    DriverConnection first(service);
    ASSERT_TRUE(first.ioIsOpen());
    uint8_t* sm = reinterpret_cast<uint8_t*>(first.driverSM());
    const struct {
        const char* what;
        std::string name;
        bool terminated;
    } cases[] = {
        {"a 100-character name", std::string(100, 'B'), true},
        {"256 bytes without NUL", std::string(256, 'A'), false},
    };
    for (const auto& c : cases) {
        std::memcpy(sm + 540, c.name.data(), c.name.size());
        if (c.terminated) sm[540 + c.name.size()] = 0;
        const uint32_t zero = 0;
        std::memcpy(sm + 7028, &zero, sizeof zero); // as after a driver load
        std::memcpy(sm + 8128, &zero, sizeof zero);
        DriverConnection second(service);
        ASSERT_TRUE(second.ioIsOpen()) << c.what;
        // 63 characters of the name, then the NUL: no room is left for the suffix.
        EXPECT_EQ(text(first.driverSM(), 8140), c.name.substr(0, 63)) << c.what;
        EXPECT_EQ(text(first.driverSM(), 7040), c.name.substr(0, 63)) << c.what;
    }
    IOObjectRelease(service);
}

// ---- Discovery

TEST_F(DeviceStack, SecondDeviceIsAddedWhenPluggedAndRemovedWhenUnplugged) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    Recorder client;
    OSXDeviceManager manager(nullptr, &client, false);
    ASSERT_TRUE(manager.notificationsArmed() || manager.getCountDevices() == 1);
    ASSERT_EQ(manager.getCountDevices(), 1);
    EXPECT_EQ(client.events, Events{"added"});
    ZrOSXDevice* first = manager.getDevice(0);

    plugSecond();
    ASSERT_TRUE(runUntil([&] { return client.events.size() >= 2; }));
    EXPECT_EQ(client.events, (Events{"added", "added"}));
    ASSERT_EQ(manager.getCountDevices(), 2);
    ZrOSXDevice* second = manager.getDevice(1);
    EXPECT_EQ(client.devices[1], second);
    EXPECT_NE(second, first);
    EXPECT_TRUE(second->ioIsOpen());
    EXPECT_EQ(manager.getDeviceFromService(second->ioGetService()), second);

    unplugSecond();
    ASSERT_TRUE(runUntil([&] { return client.events.size() >= 4; }));
    runPending(); // nothing further arrives
    EXPECT_EQ(client.events, (Events{"added", "added", "willBeRemoved", "removed"}));
    EXPECT_EQ(client.devices[2], second);
    EXPECT_EQ(client.devices[3], second);
    ASSERT_EQ(manager.getCountDevices(), 1);
    EXPECT_EQ(manager.getDevice(0), first);
}

TEST_F(DeviceStack, DeferredManagerReportsBothDevicesOnceInArrivalOrder) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    plugSecond();
    Recorder client;
    OSXDeviceManager manager(nullptr, &client, true);
    runPending();
    EXPECT_EQ(manager.getCountDevices(), 0);
    EXPECT_EQ(manager.getDevice(0), nullptr);
    EXPECT_TRUE(client.events.empty());
    manager.enableCallbacks();
    ASSERT_EQ(manager.getCountDevices(), 2);
    EXPECT_EQ(client.events, (Events{"added", "added"}));
    EXPECT_EQ(client.devices[0], manager.getDevice(0));
    EXPECT_EQ(client.devices[1], manager.getDevice(1));
    manager.enableCallbacks();
    EXPECT_EQ(client.events.size(), 2u);
}

TEST_F(DeviceStack, UpdaterOpenElsewhereRemovesEachDeviceThroughItsInterestNotification) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    plugSecond();
    Recorder client;
    OSXDeviceManager manager(nullptr, &client, false);
    ASSERT_EQ(manager.getCountDevices(), 2);
    const task_t updater = hx::kern::createTask(7001, "FWUpdater", 501);
    std::vector<ZrOSXDevice*> removed;
    for (ZrKernelDeviceKorvexHX5100* kernel : {mHarness->service(), secondService()}) {
        ASSERT_NE(kernel, nullptr);
        const std::size_t before = client.events.size();
        // Another process opens the firmware updater's client (state change 16).
        io_connect_t connect = 0;
        ASSERT_EQ(hx::kern::connectionOpen(kernel, updater, 5, &connect), kIOReturnSuccess);
        ASSERT_TRUE(runUntil([&] { return client.events.size() >= before + 2; }));
        runPending();
        ASSERT_EQ(client.events.size(), before + 2);
        EXPECT_EQ(client.events[before], "willBeRemoved");
        EXPECT_EQ(client.events[before + 1], "removed");
        EXPECT_EQ(client.devices[before], client.devices[before + 1]);
        removed.push_back(client.devices[before]);
        EXPECT_EQ(manager.getDeviceIndex(removed.back()), -1);
        if (removed.size() == 1) {
            // Only the device whose service took the open leaves.
            ASSERT_EQ(manager.getCountDevices(), 1);
            EXPECT_NE(manager.getDevice(0), removed.back());
            EXPECT_TRUE(manager.getDevice(0)->isDeviceOpen());
        }
    }
    EXPECT_NE(removed[0], removed[1]);
    EXPECT_EQ(manager.getCountDevices(), 0);
    hx::kern::killTask(updater);
    hx::kern::waitQuiet();
}

TEST_F(DeviceStack, TerminationOfAServiceWithoutADeviceChangesNothing) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    // While a live updater is announced no device object can open, so the
    // services are there without devices.
    hx::sys::addFakeProcess({4242, std::string("Updater"), "Updater", 'S', 501});
    writeMarker(4242, "Updater", 260);
    Recorder client;
    OSXDeviceManager manager(nullptr, &client, false);
    EXPECT_EQ(manager.getCountDevices(), 0);
    plugSecond();
    runPending();
    EXPECT_EQ(manager.getCountDevices(), 0);
    unplugSecond();
    runPending();
    EXPECT_EQ(manager.getCountDevices(), 0);
    EXPECT_TRUE(client.events.empty());
    EXPECT_EQ(kernelClients(), 0);
    EXPECT_TRUE(markerExists());
}

TEST_F(DeviceStack, PublicationPauseRunsOnThePlatformClock) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    ASSERT_TRUE(hx::clock::isVirtual());
    Recorder client;
    const uint64_t before = hx::clock::nowNanos();
    OSXDeviceManager manager(nullptr, &client, false);
    // Only the virtual clock moves while the pause waits on it.
    EXPECT_GE(hx::clock::nowNanos() - before, 100'000'000u);
    EXPECT_EQ(manager.getCountDevices(), 1);
}

TEST_F(DeviceStack, WithoutAMainRunLoopOneScanAndNoNotifications) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    hx::cf::setMainRunLoopAbsent(true);
    Recorder client;
    OSXDeviceManager manager(nullptr, &client, false);
    EXPECT_FALSE(manager.notificationsArmed());
    ASSERT_EQ(manager.getCountDevices(), 1); // the device without a service was not kept
    EXPECT_EQ(client.events, Events{"added"});
    plugSecond();
    runPending();
    unplugSecond();
    runPending();
    EXPECT_EQ(manager.getCountDevices(), 1);
    EXPECT_EQ(client.events, Events{"added"});
}

// ---- The registry-mirrored settings file

TEST_F(DeviceStack, KernelChannelSettingsAreMirroredIntoTheSharedFile) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    // Made as a device object makes it, before any client configured the
    // device: the snapshot has no channel settings yet.
    QnIORegistryPrefs prefs(true, qnIOKitRegistryAccess());
    ASSERT_NE(prefs.service(), 0u);
    ASSERT_NE(prefs.getProperties(), nullptr);
    EXPECT_FALSE(CFDictionaryContainsKey(prefs.getProperties(), CFSTR("ChannelSettings")));
    ASSERT_TRUE(mHarness->openClient()) << mHarness->lastError();
    ASSERT_TRUE(mHarness->configure()) << mHarness->lastError();
    {
        QnIORegistryPrefs readOnly(false, qnIOKitRegistryAccess());
        EXPECT_TRUE(readOnly.hasProperties());
        EXPECT_FALSE(readOnly.writePropertiesToStorage());
    }
    // The mirror is written from the registry as it is now, not as it was
    // when the snapshot was first taken.
    ASSERT_TRUE(prefs.writePropertiesToStorage());
    const std::string folder = hx::path::map("/Users/Shared/Quarnel");
    const std::string file = folder + "/com.korvex.hx5100.plist";
    struct stat st;
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u);
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    int status = -1;
    const std::string out =
        hx::cftest::python("import plistlib,sys\n"
                           "d=plistlib.load(open(sys.argv[1],'rb'))['ChannelSettings']\n"
                           "print(len(d), d['Frequency'], d['InChannels'], d['InResolution'],"
                           " d['OutChannels'], d['OutResolution'])\n",
                           file, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "6 48000 2 24 2 24\n");
}

} // namespace
