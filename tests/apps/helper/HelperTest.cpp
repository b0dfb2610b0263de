// The helper application's classes in process: the bus with HX-5100s, the
// kernel driver and its user clients, the user-side IOKit calls, the device
// layer and the driver API, on the virtual clock, the test's thread as the
// main thread.
#include "apps/helper/AppObject.h"
#include "apps/helper/HALBridge.h"
#include "apps/helper/USBBridge.h"

#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "abi/ProductIdentities.h"
#include "device/OSXDeviceManager.h"
#include "device/ZrOSXDevice.h"
#include "driver/clients/harness/ClientHarness.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "platform/base/HXLog.h"
#include "platform/base/HXLogLevel.h"
#include "platform/base/HXPath.h"
#include "platform/base/MacErrors.h"
#include "platform/base/testing/StdoutCapture.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/cf/CFRunLoop.h"
#include "platform/iokit/HXIOKit.h"
#include "platform/kern/IOService.h"
#include "platform/sys/HXProcess.h"
#include "platform/sys/HXShell.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/HX5100Model.h"

namespace {

using hx::usb::devices::HX5100Model;

std::shared_ptr<HX5100Model> hx5100(const char* serial) {
    return std::make_shared<HX5100Model>(
        uint8_t(kUSBHostConnectionSpeedHigh),
        hx::usb::devices::HX5100Identity{kKorvexVendorID, kKorvexHX5100ProductID, 0x0100,
                                         "KORVEX AUDIO", "HX5100 USB", serial});
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class Helper : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(hx::path::map("/tmp"));
        harness = std::make_unique<hx::harness::ClientHarness>();
        ASSERT_TRUE(harness->boot()) << harness->lastError();
        hx::sys::setOwnUid(501);
        hx::sys::clearSystemCommands();
    }
    void TearDown() override {
        if (app && app->usbBridge()) app->usbBridge()->IOTerm();
        app.reset();
        settle();
        for (uint8_t p : extra)
            harness->bus()->unplug(p);
        hx::kern::waitQuiet();
        settle();
        harness.reset();
        hx::sys::clearFakeProcesses();
        hx::sys::unregisterBundleProgram("com.korvex.hx5100.control");
        hx::sys::resetProcessOverrides();
    }
    // What the main run loop has to do, with time passing on the machine.
    void settle() {
        hx::kern::waitQuiet();
        for (int i = 0; i < 30; ++i) {
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
            if (harness) harness->idle(5'000);
        }
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
    }
    template <typename Fn> std::string printed(Fn fn) {
        hx::test::StdoutCapture out;
        fn();
        std::fflush(stdout);
        return out.finish();
    }
    // initApp as main performs it, then what follows on the loop.
    std::string start() {
        return printed([&] {
            app = std::make_unique<AppObject>();
            app->initApp();
            settle();
        });
    }
    uint8_t plug(const char* serial) {
        const uint8_t p = harness->bus()->plug(hx5100(serial));
        extra.push_back(p);
        return p;
    }
    void unplug(uint8_t port) {
        harness->bus()->unplug(port);
        std::erase(extra, port);
    }
    ZrOSXDevice* firstDevice() { return app->halBridge()->manager()->getDevice(0); }
    // The audio client's version requests the driver has received so far.
    uint64_t served(uint32_t req) { return harness->machine().requestsServed(req); }
    // The controller's connection lines go out at warning level.
    static void expectWarnings(const hx::log::Capture& log,
                               std::initializer_list<const char*> lines) {
        for (const char* line : lines)
            EXPECT_EQ(hx::log::levelOf(log, line), LOG_WARNING) << line;
    }

    hx::test::TempRoot root;
    std::unique_ptr<hx::harness::ClientHarness> harness;
    std::unique_ptr<AppObject> app;
    std::vector<uint8_t> extra;
};

TEST_F(Helper, StartedUnpluggedConnectsOnceBothRoadsReportThePluggedDevice) {
    harness->bus()->unplug(harness->port());
    hx::kern::waitQuiet();
    hx::log::Capture log;
    std::string out = start();
    EXPECT_NE(log.text().find("No device connected yet\n"), std::string::npos);
    EXPECT_NE(out.find("Starting USB handler..."), std::string::npos);
    EXPECT_FALSE(app->usbConnected());
    EXPECT_FALSE(app->driverConnected());
    EXPECT_EQ(log.text().find("usbConnect"), std::string::npos);
    EXPECT_EQ(app->halBridge()->selectedDevice(), nullptr);

    log.clear();
    const uint64_t usbVersions = served(26), halVersions = served(25);
    out = printed([&] {
        plug("SN0002");
        settle();
    });
    const std::string lines = log.text();
    ASSERT_NE(lines.find("usbConnect"), std::string::npos) << lines;
    ASSERT_NE(lines.find("driverConnect"), std::string::npos) << lines;
    // The bus publishes the nub before its driver matches and starts on it:
    // the USB road hears of the device first.
    EXPECT_LT(lines.find("usbConnect"), lines.find("driverConnect")) << lines;
    expectWarnings(log, {"usbConnect", "driverConnect"});
    EXPECT_EQ(count(out, "NO."), 1u) << out;
    EXPECT_EQ(count(out, "YES."), 1u) << out;
    EXPECT_LT(out.find("NO."), out.find("YES."));
    EXPECT_TRUE(app->deviceConnected());
    ASSERT_NE(firstDevice(), nullptr);
    EXPECT_EQ(app->halBridge()->selectedDevice(), firstDevice());
    EXPECT_TRUE(firstDevice()->isDeviceOpen());
    // selectDriver(0) ran once: the selected device's connection asked for
    // both versions once.
    EXPECT_EQ(served(26), usbVersions + 1);
    EXPECT_EQ(served(25), halVersions + 1);
}

TEST_F(Helper, StartedPluggedKeepsTheDeviceSelectedAtStart) {
    hx::log::Capture log;
    const std::string out = start();
    const std::string lines = log.text();
    const size_t driver = lines.find("driverConnect"), usb = lines.find("usbConnect");
    ASSERT_NE(driver, std::string::npos) << lines;
    ASSERT_NE(usb, std::string::npos) << lines;
    EXPECT_LT(driver, usb); // the driver API drains before the USB notification exists
    expectWarnings(log, {"usbConnect", "driverConnect"});
    // The device selected at start is kept: "YES." selects nothing anew.
    EXPECT_EQ(served(26), 1u);
    EXPECT_EQ(served(25), 1u);
    EXPECT_EQ(lines.find("No device connected yet"), std::string::npos);
    EXPECT_EQ(count(out, "YES."), 1u) << out;
    EXPECT_NE(out.find("Audio Interface connected..."), std::string::npos);
    EXPECT_NE(out.find(" added."), std::string::npos);
    ASSERT_TRUE(app->deviceConnected());
    EXPECT_EQ(app->halBridge()->selectedDevice(), firstDevice());
    EXPECT_EQ(app->halBridge()->manager()->clientAppType(), 17);
}

TEST_F(Helper, UnplugClearsTheFlagsOnceAndARePlugConnectsAgain) {
    start();
    ASSERT_TRUE(app->deviceConnected());
    hx::log::Capture log;
    std::string out = printed([&] {
        harness->bus()->unplug(harness->port());
        settle();
    });
    char removed[64];
    std::snprintf(removed, sizeof removed, "Device 0x%08x removed.", 0u);
    EXPECT_NE(out.find(" removed."), std::string::npos) << out;
    EXPECT_EQ(count(out, "Interface removed"), 1u) << out;
    EXPECT_NE(log.text().find("usbDisconnect"), std::string::npos);
    EXPECT_NE(log.text().find("driverDisconnect"), std::string::npos);
    expectWarnings(log, {"usbDisconnect", "driverDisconnect"});
    EXPECT_FALSE(app->deviceConnected());
    EXPECT_FALSE(app->usbConnected());
    EXPECT_FALSE(app->driverConnected());
    EXPECT_FALSE(app->usbBridge()->isDeviceConnected());

    out = printed([&] {
        plug("SN0003");
        settle();
    });
    EXPECT_EQ(count(out, "YES."), 1u) << out;
    EXPECT_TRUE(app->deviceConnected());
    EXPECT_EQ(app->halBridge()->selectedDevice(), firstDevice());
}

TEST_F(Helper, ASecondDeviceComesAndGoesWhileTheFirstStaysConnected) {
    start();
    ASSERT_TRUE(app->deviceConnected());
    const io_service_t first = app->usbBridge()->connectedService();
    ZrOSXDevice* selected = app->halBridge()->selectedDevice();
    std::string out = printed([&] {
        const uint8_t second = plug("SN0009");
        settle();
        unplug(second);
        settle();
    });
    EXPECT_NE(out.find("NO."), std::string::npos) << out;
    EXPECT_EQ(count(out, " added."), 1u) << out;
    EXPECT_EQ(count(out, " removed."), 1u) << out;
    EXPECT_EQ(out.find("Interface removed"), std::string::npos) << out;
    EXPECT_TRUE(app->deviceConnected());
    EXPECT_EQ(app->usbBridge()->connectedService(), first);
    EXPECT_TRUE(app->usbBridge()->hasDeviceInterface());
    EXPECT_EQ(app->halBridge()->selectedDevice(), selected);

    out = printed([&] {
        harness->bus()->unplug(harness->port());
        settle();
    });
    EXPECT_EQ(count(out, "Interface removed"), 1u) << out;
    EXPECT_FALSE(app->deviceConnected());
}

TEST_F(Helper, StateChange35LaunchesThePanelThroughTheHeldDevice) {
    start();
    ASSERT_TRUE(app->deviceConnected());
    const int pid = int(::getpid());
    char called[96], command[128];
    std::snprintf(called, sizeof called, ">>>>>>>>> STC_LAUNCHCONTROLPANEL called by %d\n", pid);
    std::snprintf(command, sizeof command, "open -b com.korvex.hx5100.control --args %d", pid);
    {
        hx::log::Capture log;
        harness->service()->messageToClients(35, 0, 0, 0);
        settle();
        const std::string lines = log.text();
        EXPECT_NE(lines.find(called), std::string::npos) << lines;
        EXPECT_NE(lines.find(std::string("Open panel with command: ") + command),
                  std::string::npos);
        EXPECT_NE(lines.find("system: no program for bundle com.korvex.hx5100.control"),
                  std::string::npos);
        EXPECT_EQ(hx::sys::systemCommands(), std::vector<std::string>{command});
        // The driver API's event 6 changed nothing.
        EXPECT_TRUE(app->deviceConnected());
        EXPECT_TRUE(app->driverConnected());
    }
    {
        hx::sys::addFakeProcess(
            {4242, std::string("Korvex HX-5100 M\0", 17), "Korvex HX-5100", 'S', 501});
        hx::log::Capture log;
        harness->service()->messageToClients(35, 0, 0, 0);
        settle();
        EXPECT_NE(log.text().find("is already running"), std::string::npos) << log.text();
        EXPECT_EQ(hx::sys::systemCommands().size(), 1u);
        hx::sys::clearFakeProcesses();
    }
    {
        const std::string mark = root.path() + "/panel-args";
        hx::sys::registerBundleProgram("com.korvex.hx5100.control",
                                       {"/bin/sh", "-c", "printf '%s' \"$*\" >> \"$0\"", mark});
        harness->service()->messageToClients(35, 0, 0, 0);
        settle();
        hx::sys::waitForLaunchedPrograms();
        std::ifstream in(mark);
        std::string args((std::istreambuf_iterator<char>(in)), {});
        EXPECT_EQ(args, std::to_string(pid));
        EXPECT_EQ(hx::sys::systemCommands().size(), 2u);
    }
}

TEST_F(Helper, ARefusedPlugInOrAFailedUSBBridgeLeavesTheRoadUnconnected) {
    {
        hx::iokit::refuseNextPlugIn(kIOReturnNoResources);
        hx::log::Capture log;
        const std::string out = start();
        char line[64];
        std::snprintf(line, sizeof line, "--unable to create plugin err 0x%x\n",
                      unsigned(kIOReturnNoResources));
        EXPECT_NE(out.find(line), std::string::npos) << out;
        EXPECT_EQ(log.text().find("usbConnect"), std::string::npos);
        EXPECT_FALSE(app->usbConnected());
        EXPECT_TRUE(app->driverConnected());
        EXPECT_FALSE(app->deviceConnected());
        app->usbBridge()->IOTerm();
        app.reset();
        settle();
    }
    {
        USBBridge::failNextInit();
        hx::log::Capture log;
        start();
        EXPECT_NE(log.text().find("Could not initialize USB."), std::string::npos);
        expectWarnings(log, {"Could not initialize USB."});
        EXPECT_EQ(app->usbBridge(), nullptr);
        EXPECT_FALSE(app->driverConnected());
        EXPECT_EQ(log.text().find("driverConnect"), std::string::npos);
    }
}

TEST_F(Helper, DeviceRequestsGoThroughTheHeldInterface) {
    harness->bus()->unplug(harness->port());
    hx::kern::waitQuiet();
    start();
    uint8_t reply[8] = {};
    EXPECT_EQ(app->usbBridge()->USBDeviceRequestWithbRequestBmRequestTypeWValueWIndexWLengthPData(
                  0x56, 0xC0, 0, 0, 8, reply),
              IOReturn(0xE00002D9));
    EXPECT_EQ(app->usbBridge()->isUSB2Device(), -1);
    EXPECT_EQ(app->usbBridge()->getProductString(), nullptr);

    auto model = hx5100("SN0004");
    extra.push_back(harness->bus()->plug(model));
    settle();
    ASSERT_TRUE(app->deviceConnected());
    model->clearTrace();
    ASSERT_EQ(app->usbBridge()->USBDeviceRequestWithbRequestBmRequestTypeWValueWIndexWLengthPData(
                  0x56, 0xC0, 0, 0, 8, reply),
              kIOReturnSuccess);
    EXPECT_EQ(reply[0], 4);  // build
    EXPECT_EQ(reply[1], 1);  // major
    EXPECT_EQ(reply[2], 23); // minor x 10 + patch
    std::vector<uint8_t> big(4097);
    EXPECT_EQ(app->usbBridge()->USBDeviceRequestWithbRequestBmRequestTypeWValueWIndexWLengthPData(
                  0x56, 0xC0, 0, 0, 4097, big.data()),
              kIOReturnBadArgument);
    EXPECT_EQ(model->trace().size(), 1u);
    EXPECT_EQ(app->usbBridge()->isUSB2Device(), 1);
    ASSERT_NE(app->usbBridge()->getProductString(), nullptr);
    EXPECT_GT(std::string(app->usbBridge()->getProductString()).size(), 0u);
    EXPECT_EQ(app->usbBridge()->getPID(), kKorvexHX5100ProductID);
}

} // namespace
