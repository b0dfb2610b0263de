// The driver control API over the process transport: a kernel host (hxsim
// --kernel-host) the test starts, this process as the API's program. The
// discovery, open, event and version rows of the in-process tests, with the
// kernel in another process: plugs, unplugs and the device's own state
// changes come through machine control. Waits are bounded only to end a
// broken run.
#include "ApiTestSupport.h"

#include "abi/QN_Dispatch.h"
#include "abi/QN_StateChange.h"
#include "abi/ServiceClass.h"
#include "driver/clients/harness/HarnessClient.h"
#include "platform/base/MacErrors.h"
#include "platform/iokit/HXIOKit.h"
#include "platform/iokit/MachineControlClient.h"

#include "tests/support/KernelHostEnvironment.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#ifndef HXSIM_PATH
#error "HXSIM_PATH must name the hxsim binary"
#endif

namespace fs = std::filesystem;

namespace {

using apitest::Events;
using apitest::Watcher;

// The kernel host for the whole program, this process on its transport.
auto* const gEnvironment =
    static_cast<hx::testsupport::KernelHostEnvironment*>(::testing::AddGlobalTestEnvironment(
        new hx::testsupport::KernelHostEnvironment(HXSIM_PATH, "/tmp/hxapi.XXXXXX")));

// Runs the run loop until done() or a generous bound of passes (a loop with
// no source returns at once, so each pass also waits a little).
template <typename Done> bool runUntil(Done done) {
    for (int i = 0; i < 6000 && !done(); ++i) {
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.005, false);
        if (!done()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

class ApiProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(control.connect(gEnvironment->hostPath()));
        qnapiInit(apitest::record, &events, apitest::guidOf(kZrServiceClassName));
        // The host's device is there at the call: attached inside it.
        ASSERT_EQ(events.count(QNAPI_CBEvent_DeviceAttached), 1);
        device = events.last(QNAPI_CBEvent_DeviceAttached);
        ASSERT_NE(device, nullptr);
        noUpdater(device);
    }
    void TearDown() override {
        qnapiTerm();
        while (plugged > 0) {
            control.unplug();
            --plugged;
        }
        // The next test starts with the host's own device only.
        EXPECT_TRUE(runUntil([] { return serviceCount() == 1; }));
    }
    static size_t serviceCount() {
        size_t n = 0;
        io_iterator_t it = 0;
        if (IOServiceGetMatchingServices(0, IOServiceMatching(kZrServiceClassName), &it) !=
            KERN_SUCCESS)
            return 0;
        while (io_service_t s = IOIteratorNext(it)) {
            ++n;
            IOObjectRelease(s);
        }
        IOObjectRelease(it);
        return n;
    }
    // No firmware updater runs (the type-4 open tells the driver).
    static void noUpdater(USBDevice* d) {
        io_connect_t none = 0;
        EXPECT_NE(IOServiceOpen(d->getDeviceInstance(), mach_task_self(), 4, &none), KERN_SUCCESS);
    }
    // Another HX-5100 on the host's bus; its device once attached.
    USBDevice* plug() {
        const int before = events.count(QNAPI_CBEvent_DeviceAttached);
        if (control.plug() != kIOReturnSuccess) return nullptr;
        ++plugged;
        if (!runUntil([&] { return events.count(QNAPI_CBEvent_DeviceAttached) > before; }))
            return nullptr;
        return events.last(QNAPI_CBEvent_DeviceAttached);
    }
    void unplugLast() {
        ASSERT_EQ(control.unplug(), kIOReturnSuccess);
        --plugged;
    }

    hx::iokit::MachineControlClient control;
    Events events;
    USBDevice* device = nullptr;
    int plugged = 0;
};

TEST_F(ApiProcess, DiscoveryFollowsInitPlugUnplugAndTerm) {
    // A second init keeps the first callback.
    Events ignored;
    qnapiInit(apitest::record, &ignored, apitest::guidOf("SomeOtherClass"));
    EXPECT_TRUE(ignored.seen.empty());

    events.retainAttached = true;
    USBDevice* second = plug();
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, device);
    EXPECT_TRUE(ignored.seen.empty());
    ASSERT_TRUE(second->open(false));

    // Unplug: detached while still open, closed after the event.
    unplugLast();
    ASSERT_TRUE(runUntil([&] { return events.last(QNAPI_CBEvent_DeviceDetached) == second; }));
    EXPECT_TRUE(events.openAtEvent.back());
    EXPECT_FALSE(second->isOpen());
    // The user's reference fails every request with no call.
    const uint64_t calls = hx::iokit::connectCallCount();
    QN_DeviceConfiguration c{7, 7, 7, 7, 7};
    EXPECT_FALSE(second->getCurrentConfiguration(c));
    EXPECT_EQ(c.samplerate, 7u);
    EXPECT_EQ(second->getDigitalOutMode(), -1);
    EXPECT_FALSE(second->open(false));
    EXPECT_EQ(hx::iokit::connectCallCount(), calls);
    EXPECT_EQ(second->release(), 0u);

    // Term closes and releases without events; a later init works.
    ASSERT_TRUE(device->open(false));
    events.seen.clear();
    qnapiTerm();
    EXPECT_TRUE(events.seen.empty());
    qnapiInit(apitest::record, &events, apitest::guidOf(kZrServiceClassName));
    EXPECT_EQ(events.codes(), std::vector<QNAPI_CBEvent>{QNAPI_CBEvent_DeviceAttached});
    device = events.last(QNAPI_CBEvent_DeviceAttached);
    ASSERT_NE(device, nullptr);
    EXPECT_FALSE(device->isOpen());
}

TEST_F(ApiProcess, OpenFillsTheRecordsAndTheExclusiveOpenTellsOtherClients) {
    ASSERT_TRUE(device->open(false));
    EXPECT_STREQ(device->getDriverVersionRecord().text, "3.4.13");
    EXPECT_STREQ(device->getDeviceString(), "Korvex");
    EXPECT_STREQ(device->getProductString(), "HX-5100");
    EXPECT_TRUE(device->isUSB2Device()); // the host's device runs at high speed
    const uint64_t calls = hx::iokit::connectCallCount();
    EXPECT_TRUE(device->open(true)); // a second open sends nothing
    EXPECT_EQ(hx::iokit::connectCallCount(), calls);

    // Update mode is the device's for every client: a device of its own.
    USBDevice* fresh = plug();
    ASSERT_NE(fresh, nullptr);
    Watcher other(fresh->getDeviceInstance());
    hx::iokit::refuseNextOpen(5);
    ASSERT_TRUE(fresh->open(true)); // type 2
    fresh->close();
    ASSERT_TRUE(fresh->open(true)); // type 5
    EXPECT_TRUE(runUntil([&] { return other.saw(16); }));
    // The first open, of type 2, told nothing: 16 came once.
    EXPECT_EQ(std::count(other.codes.begin(), other.codes.end(), 16u), 1);
}

TEST_F(ApiProcess, EachStateChangeFromItsSenderRaisesItsEvent) {
    ASSERT_TRUE(device->open(false));
    // Another client of the device, as the audio layer opens one.
    hx::harness::HarnessOptions o;
    hx::harness::HarnessClient other(o);
    ASSERT_TRUE(other.openClient()) << other.lastError();
    auto sendState = [&](uint32_t code) { ASSERT_EQ(control.stateChange(code), kIOReturnSuccess); };
    struct Row {
        const char* sender;
        std::function<void()> send;
        std::vector<QNAPI_CBEvent> events; // what the row raises, in order
    } rows[] = {
        {"Req 6",
         [&] {
             OSXDispatch rec{};
             const uint32_t s[6] = {44100, 2, 24, 2, 24, 0};
             std::memcpy(rec.payload, s, sizeof s);
             hx::harness::callClient(other.connection(), 6, &rec);
         },
         // The kernel reconfigures: configuration finished (14), then the
         // new configuration (3).
         {QNAPI_CBEvent(5), QNAPI_CBEvent(3)}},
        {"code 28", [&] { device->setDigitalOutMode(1); }, {QNAPI_CBEvent(3)}},
        {"code 16", [&] { device->setClockSource(1); }, {QNAPI_CBEvent(3)}},
        {"Req 1", [&] { other.configure(); }, {QNAPI_CBEvent(5)}},
        {"Req 40",
         [&] {
             OSXDispatch rec{};
             qnWriteU16(rec.payload, 0, 3);
             hx::harness::callClient(other.connection(), 40, &rec);
         },
         {QNAPI_CBEvent(7)}},
        {"35", [&] { sendState(STC_LAUNCHCONTROLPANEL); }, {QNAPI_CBEvent(6)}},
        {"55", [&] { sendState(55); }, {QNAPI_CBEvent(3)}},
        {"56", [&] { sendState(56); }, {QNAPI_CBEvent(3)}},
        {"16", [&] { sendState(16); }, {}},
        {"32", [&] { sendState(32); }, {}},
    };
    // State change 34 (event 4) fences each row: what a sender caused comes
    // before it on the same subscription.
    auto fence = [&] {
        events.seen.clear();
        sendState(34);
        return runUntil([&] { return events.count(QNAPI_CBEvent(4)) == 1; });
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.sender);
        ASSERT_TRUE(fence()); // what came before the row
        events.seen.clear();
        r.send();
        sendState(34);
        ASSERT_TRUE(runUntil([&] { return events.count(QNAPI_CBEvent(4)) == 1; }));
        std::vector<QNAPI_CBEvent> want = r.events;
        want.push_back(QNAPI_CBEvent(4));
        EXPECT_EQ(events.codes(), want);
        for (auto& [d, e] : events.seen)
            EXPECT_EQ(d, device);
    }
    other.stop();
}

TEST_F(ApiProcess, VersionsFromTheKernelInAnotherProcess) {
    QnVersion v;
    std::memset(&v, 0x5A, sizeof v);
    EXPECT_FALSE(device->getFirmwareVersion(v, false)); // closed
    const QnVersion zero{};
    EXPECT_EQ(std::memcmp(&v, &zero, sizeof v), 0);
    EXPECT_FALSE(device->getDriverVersion(v));

    ASSERT_TRUE(device->open(false));
    ASSERT_TRUE(device->getDriverVersion(v));
    EXPECT_STREQ(v.text, "3.4.13");
    // The host's model: firmware 1.2.3, build 4.
    for (bool fromDevice : {false, true}) {
        SCOPED_TRACE(fromDevice);
        std::memset(&v, 0, sizeof v);
        ASSERT_TRUE(device->getFirmwareVersion(v, fromDevice));
        EXPECT_STREQ(v.text, "1.2.3");
        EXPECT_EQ(v.build, 4u);
        EXPECT_STREQ(v.firmware, "1.2.3"); // the kernel's text, code 24
    }
}

} // namespace
