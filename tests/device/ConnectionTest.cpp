// The driver connection and discovery through the real stack: the bus with
// an HX-5100 model, the kernel driver, its user clients and the user-side
// IOKit calls (in-process transport).
#include "tests/device/DeviceEventRecorder.h"
#include "device/DriverConnection.h"
#include "device/FWUpdaterDetection.h"
#include "device/OSXDeviceManager.h"

#include "abi/ServiceClass.h"
#include "driver/clients/harness/ClientHarness.h"
#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/iokit/HXIOKit.h"
#include "platform/sys/HXProcess.h"

#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

class Machine : public ::testing::Test {
protected:
    Machine() {
        std::filesystem::create_directories(hx::path::map("/tmp"));
        mHarness = std::make_unique<hx::harness::ClientHarness>();
        mBooted = mHarness->boot();
    }
    ~Machine() override {
        hx::iokit::setMapSizeShortfall(0);
        hx::sys::resetProcessOverrides();
        mHarness.reset();
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
    static std::string name(const DriverSM* sm, std::size_t offset) {
        return std::string(reinterpret_cast<const char*>(sm) + offset);
    }
    hx::test::TempRoot mRoot;
    std::unique_ptr<hx::harness::ClientHarness> mHarness;
    bool mBooted = false;
};

TEST_F(Machine, ConnectionOpensAnnouncesAndNamesTheStreamsOnce) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    const io_service_t service = findService();
    ASSERT_NE(service, 0u);
    hx::log::Capture log;
    DriverConnection c(service);
    ASSERT_TRUE(c.ioIsOpen());
    ASSERT_NE(c.driverSM(), nullptr);
    EXPECT_NE(c.clientID(), 0u);
    EXPECT_NE(log.text().find("*** Connected to client " + std::to_string(::getpid()) + " ***"),
              std::string::npos);
    const std::string model(c.driverSM()->mModelName, ::strnlen(c.driverSM()->mModelName, 63));
    EXPECT_EQ(name(c.driverSM(), 8140), model + ": Input");
    EXPECT_EQ(name(c.driverSM(), 7040), model + ": Output");
    EXPECT_TRUE(c.ioOpenConnection()); // already open

    // A second connection at another release leaves the names as written.
    hx::sys::setEmulatedRelease(std::string("11.0.0"));
    DriverConnection second(service);
    ASSERT_TRUE(second.ioIsOpen());
    EXPECT_EQ(name(second.driverSM(), 8140), model + ": Input");

    // Nothing was attached: the kernel refuses the detach, and no slot is kept.
    EXPECT_FALSE(c.callDetach());
    EXPECT_EQ(c.attachedSlot(), -1);
    // The kernel answers the asynchronous selectors and never calls back.
    EXPECT_TRUE(c.callDriverAsync(true, nullptr, 0, nullptr, nullptr));
    c.ioCloseConnection();
    EXPECT_FALSE(c.ioIsOpen());
    EXPECT_EQ(c.clientID(), 0u);
    EXPECT_FALSE(c.callDriver(27));
    IOObjectRelease(service);
}

TEST_F(Machine, LiveUpdaterMarkerOrShortMappingRefusesTheOpen) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    const io_service_t service = findService();
    hx::sys::setOwnProcessName(std::string("Updater"));
    ASSERT_TRUE(fwupdateRegister());
    {
        DriverConnection c(service);
        EXPECT_FALSE(c.ioIsOpen());
        EXPECT_TRUE(fwUpdaterActive());
    }
    fwupdateUnRegister();
    hx::iokit::setMapSizeShortfall(4); // 30,740 bytes
    {
        DriverConnection c(service);
        EXPECT_FALSE(c.ioIsOpen());
        EXPECT_EQ(c.driverSM(), nullptr);
    }
    hx::iokit::setMapSizeShortfall(0);
    DriverConnection c(service);
    EXPECT_TRUE(c.ioIsOpen());
    IOObjectRelease(service);
}

using Recorder = devicetest::DeviceEventRecorder;

TEST_F(Machine, DeferredManagerReportsEachDeviceOnceWhenEnabled) {
    ASSERT_TRUE(mBooted) << mHarness->lastError();
    // An ordinary user's process opens the fresh device by restoring it.
    hx::sys::setOwnUid(501);
    Recorder client;
    OSXDeviceManager manager(nullptr, &client, true);
    EXPECT_EQ(manager.getCountDevices(), 0);
    EXPECT_EQ(manager.getDevice(0), nullptr);
    EXPECT_TRUE(client.events.empty());
    manager.enableCallbacks();
    ASSERT_EQ(manager.getCountDevices(), 1);
    EXPECT_EQ(client.events, std::vector<std::string>{"added"});
    ZrOSXDevice* device = manager.getDevice(0);
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(device->ioIsOpen());
    EXPECT_EQ(manager.getDeviceIndex(device), 0);
    EXPECT_EQ(manager.getDeviceFromService(device->ioGetService()), device);
    manager.enableCallbacks();
    EXPECT_EQ(client.events.size(), 1u);
    device->incReferences();
    manager.removeDevice(device);
    EXPECT_EQ(client.events, (std::vector<std::string>{"added", "willBeRemoved", "removed"}));
    EXPECT_TRUE(device->removed());
    EXPECT_EQ(manager.getCountDevices(), 0);
    manager.removeDevice(device); // not in the list: nothing
    EXPECT_EQ(client.events.size(), 3u);
    device->decReferences();
}

} // namespace
