// The device layer over the process transport: a kernel host (hxsim
// --kernel-host) the test starts, this process as the user side. The
// connection's opens, the manager's discovery, the mapped-size check and an
// unplug through machine control, as the in-process stack tests show them.
// The host's log goes to a file the checks read; waits are bounded only to
// end a broken run.
#include "tests/device/DeviceEventRecorder.h"
#include "device/DriverConnection.h"
#include "device/FWUpdaterDetection.h"
#include "device/ZrOSXDevice.h"
#include "driver/clients/harness/HarnessClient.h"
#include "platform/base/HXPath.h"
#include "device/OSXDeviceManager.h"

#include "abi/ServiceClass.h"
#include "platform/cf/HXCF.h"
#include "platform/iokit/HXIOKit.h"
#include "platform/iokit/MachineControlClient.h"
#include "platform/sys/HXProcess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr const char* kTypeFourLine = "received OSX_USER_CLIENT_NO_FW_UPDATER_MSG\n";
constexpr const char* kTypeZeroRefusedLine =
    "USBDriver: abort Audio - FirmwareUpdater is active or state unknown :0\n";

std::string gRoot;
std::string gHostPath;
std::string gHostLog;

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos;
         at = text.find(what, at + what.size()))
        ++n;
    return n;
}

// The host's log from byte `from` on.
std::string hostLog(std::size_t from = 0) {
    std::ifstream in(gHostLog, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    const std::string all = s.str();
    return from < all.size() ? all.substr(from) : std::string();
}

std::size_t hostLogSize() {
    std::error_code ec;
    const auto n = fs::file_size(gHostLog, ec);
    return ec ? 0 : std::size_t(n);
}

// Waits until the host's log from `from` on holds `what` `count` times; the
// host writes its log on its own thread, in order.
bool awaitLog(std::size_t from, const std::string& what, std::size_t count) {
    for (int i = 0; i < 4000; ++i) {
        if (occurrences(hostLog(from), what) >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// Runs the main run loop until done() or a generous bound of passes.
template <typename Done> bool runUntil(Done done) {
    for (int i = 0; i < 4000 && !done(); ++i)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.005, false);
    return done();
}

std::string readLine(FILE* f, const std::string& prefix) {
    char line[512];
    while (std::fgets(line, sizeof line, f)) {
        std::string s(line);
        if (s.rfind(prefix, 0) != 0) continue;
        s = s.substr(prefix.size());
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
            s.pop_back();
        return s;
    }
    return {};
}

class HostEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        char dir[] = "/tmp/hxdl.XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        gRoot = dir;
        fs::create_directories(gRoot + "/tmp");
        gHostLog = gRoot + "/kernel-host.log";
        // This process and the host share the simulated machine's root.
        ::setenv("HX_ROOT", gRoot.c_str(), 1);
        int out[2];
        ASSERT_EQ(::pipe(out), 0);
        std::string rootVar = "HX_ROOT=" + gRoot, logVar = "HX_LOG=1";
        char* argv[] = {const_cast<char*>("hxsim"), const_cast<char*>("--kernel-host"),
                        const_cast<char*>("/tmp/kernel.sock"), nullptr};
        char* envp[] = {rootVar.data(), logVar.data(), nullptr};
        mHostPid = ::fork();
        if (mHostPid == 0) {
            const int log = ::open(gHostLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (log >= 0) ::dup2(log, 2);
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::execve(HXSIM_PATH, argv, envp);
            ::_exit(127);
        }
        ::close(out[1]);
        mHostOut = ::fdopen(out[0], "r");
        gHostPath = readLine(mHostOut, "kernel host ready at ");
        ASSERT_FALSE(gHostPath.empty()) << "the kernel host did not start";
        ASSERT_TRUE(hx::iokit::useProcessTransport(gHostPath.c_str()));
    }

    void TearDown() override {
        if (mHostPid > 0) {
            ::kill(mHostPid, SIGTERM);
            ::waitpid(mHostPid, nullptr, 0);
        }
        if (mHostOut) std::fclose(mHostOut);
        std::error_code ec;
        fs::remove_all(gRoot, ec);
    }

private:
    pid_t mHostPid = -1;
    FILE* mHostOut = nullptr;
};

const auto* gEnvironment = ::testing::AddGlobalTestEnvironment(new HostEnvironment);

std::vector<io_service_t> services() {
    std::vector<io_service_t> found;
    io_iterator_t it = 0;
    if (IOServiceGetMatchingServices(0, IOServiceMatching(kZrServiceClassName), &it) !=
        KERN_SUCCESS)
        return found;
    while (io_service_t s = IOIteratorNext(it))
        found.push_back(s);
    IOObjectRelease(it);
    return found;
}

void release(const std::vector<io_service_t>& list) {
    for (io_service_t s : list)
        IOObjectRelease(s);
}

std::size_t serviceCount() {
    const auto list = services();
    release(list);
    return list.size();
}

using Recorder = devicetest::DeviceEventRecorder;

using devicetest::Events;

class DeviceLayerProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(mControl.connect(gHostPath));
        // An ordinary user's process: a device object opening a fresh device
        // restores its settings.
        hx::sys::setOwnUid(501);
    }
    void TearDown() override {
        hx::iokit::setMapSizeShortfall(0);
        hx::sys::resetProcessOverrides();
        while (mPlugged > 0) {
            mControl.unplug();
            --mPlugged;
        }
    }
    // Another HX-5100 on the host's bus; its service, once published, or 0.
    io_service_t plugFresh() {
        const std::size_t before = serviceCount();
        if (mControl.plug() != kIOReturnSuccess) return 0;
        ++mPlugged;
        if (!runUntil([&] { return serviceCount() > before; })) return 0;
        auto list = services();
        const io_service_t last = list.back();
        list.pop_back();
        release(list);
        return last;
    }

    hx::iokit::MachineControlClient mControl;
    int mPlugged = 0;
};

TEST_F(DeviceLayerProcess, RunsOnTheProcessTransport) {
    EXPECT_STREQ(hx::iokit::transportName(), "process");
}

TEST_F(DeviceLayerProcess, FreshDeviceTakesExactlyOneTypeFourOpenBeforeTypeZero) {
    const io_service_t service = plugFresh();
    ASSERT_NE(service, 0u);
    const std::size_t from = hostLogSize();
    const std::string connected = "*** Connected to client " + std::to_string(::getpid()) + " ***";

    DriverConnection first(service);
    ASSERT_TRUE(first.ioIsOpen());
    ASSERT_NE(first.driverSM(), nullptr);
    ASSERT_TRUE(awaitLog(from, connected, 1));
    std::string t = hostLog(from);
    EXPECT_EQ(occurrences(t, kTypeZeroRefusedLine), 1u);
    EXPECT_EQ(occurrences(t, kTypeFourLine), 1u);
    EXPECT_EQ(occurrences(t, connected), 1u);
    EXPECT_LT(t.find(kTypeZeroRefusedLine), t.find(kTypeFourLine));
    EXPECT_LT(t.find(kTypeFourLine), t.find(connected));

    // Open already: answers true and reaches the kernel with nothing.
    const uint64_t calls = hx::iokit::connectCallCount();
    EXPECT_TRUE(first.ioOpenConnection());
    EXPECT_EQ(hx::iokit::connectCallCount(), calls);

    // The kernel now knows no updater runs: type 0 opens at once.
    DriverConnection second(service);
    ASSERT_TRUE(second.ioIsOpen());
    ASSERT_TRUE(awaitLog(from, connected, 2));
    t = hostLog(from);
    EXPECT_EQ(occurrences(t, kTypeFourLine), 1u);
    EXPECT_EQ(occurrences(t, kTypeZeroRefusedLine), 1u);
    EXPECT_NE(first.clientID(), 0u);
    EXPECT_NE(second.clientID(), 0u);
    EXPECT_NE(first.clientID(), second.clientID());
    IOObjectRelease(service);
}

TEST_F(DeviceLayerProcess, AShortMappingClosesTheConnection) {
    const auto list = services();
    ASSERT_FALSE(list.empty());
    hx::iokit::setMapSizeShortfall(4); // 30,740 bytes
    {
        DriverConnection c(list.front());
        EXPECT_FALSE(c.ioIsOpen());
        EXPECT_EQ(c.driverSM(), nullptr);
    }
    hx::iokit::setMapSizeShortfall(0);
    DriverConnection c(list.front());
    EXPECT_TRUE(c.ioIsOpen());
    ASSERT_NE(c.driverSM(), nullptr);
    EXPECT_EQ(c.driverSM()->mVendor, 0x2F4B);
    release(list);
}

TEST_F(DeviceLayerProcess, ManagerFindsTheDeviceAndHearsAPlugAndAnUnplug) {
    const std::size_t present = serviceCount();
    ASSERT_GE(present, 1u);
    Recorder client;
    OSXDeviceManager manager(nullptr, &client, false);
    ASSERT_EQ(manager.getCountDevices(), int(present));
    EXPECT_EQ(client.events, Events(present, "added"));
    ZrOSXDevice* first = manager.getDevice(0);
    ASSERT_NE(first, nullptr);
    client.events.clear();
    client.devices.clear();

    ASSERT_EQ(mControl.plug(), kIOReturnSuccess);
    ++mPlugged;
    ASSERT_TRUE(runUntil([&] { return client.events.size() >= 1; }));
    EXPECT_EQ(client.events, Events{"added"});
    ASSERT_EQ(manager.getCountDevices(), int(present) + 1);
    ZrOSXDevice* added = manager.getDevice(int(present));
    EXPECT_EQ(client.devices[0], added);
    EXPECT_TRUE(added->ioIsOpen());
    EXPECT_EQ(manager.getDeviceFromService(added->ioGetService()), added);

    ASSERT_EQ(mControl.unplug(), kIOReturnSuccess);
    --mPlugged;
    ASSERT_TRUE(runUntil([&] { return client.events.size() >= 3; }));
    for (int i = 0; i < 20; ++i) // nothing further arrives
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.005, false);
    EXPECT_EQ(client.events, (Events{"added", "willBeRemoved", "removed"}));
    EXPECT_EQ(client.devices[1], added);
    EXPECT_EQ(client.devices[2], added);
    ASSERT_EQ(manager.getCountDevices(), int(present));
    EXPECT_EQ(manager.getDevice(0), first);
}

// ---- The rows of the in-process stack tests, across processes

void writeMarker(uint32_t pid, const char* name, std::size_t bytes) {
    FWUpdaterMarker m;
    std::memset(&m, 0, sizeof m);
    m.mPid = pid;
    std::strncpy(m.mName, name, sizeof m.mName - 1);
    std::ofstream(hx::path::map(kFWUpdaterMarkerPath), std::ios::binary)
        .write(reinterpret_cast<const char*>(&m), std::streamsize(bytes));
}

bool markerExists() {
    return fs::exists(hx::path::map(kFWUpdaterMarkerPath));
}

TEST_F(DeviceLayerProcess, UpdaterMarkerDecidesWhetherTheOpenProceeds) {
    const auto list = services();
    ASSERT_FALSE(list.empty());
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
    const std::size_t from = hostLogSize();
    const std::string connected = "*** Connected to client " + std::to_string(::getpid()) + " ***";
    std::size_t opened = 0;
    for (const auto& c : cases) {
        writeMarker(c.pid, c.name, c.bytes);
        const uint64_t calls = hx::iokit::connectCallCount();
        DriverConnection connection(list.front());
        EXPECT_EQ(connection.ioIsOpen(), c.opens) << c.what;
        EXPECT_EQ(markerExists(), !c.opens) << c.what; // a stale marker is deleted
        if (!c.opens) {
            // Refused before the kernel was asked.
            EXPECT_EQ(hx::iokit::connectCallCount(), calls) << c.what;
            EXPECT_EQ(connection.driverSM(), nullptr) << c.what;
        } else {
            ++opened;
            EXPECT_NE(connection.driverSM(), nullptr) << c.what;
        }
    }
    // The host heard exactly the opens that proceeded.
    ASSERT_TRUE(awaitLog(from, connected, opened));
    EXPECT_EQ(occurrences(hostLog(from), connected), opened);
    release(list);
}

TEST_F(DeviceLayerProcess, AttachSendsTheFrameSizeAndAsyncCallsNeverCallBack) {
    const auto list = services();
    ASSERT_FALSE(list.empty());
    // Another client configures the device, as a program would.
    hx::harness::HarnessClient configurer;
    ASSERT_TRUE(configurer.openClient()) << configurer.lastError();
    ASSERT_TRUE(configurer.configure()) << configurer.lastError();
    DriverConnection c(list.front());
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
    for (int i = 0; i < 20; ++i)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.005, false);
    EXPECT_EQ(calledBack, 0);
    c.setNotificationPort(nullptr);
    IONotificationPortDestroy(port);
    IOConnectUnmapMemory64(c.connection(), 5, mach_task_self(), ring);
    configurer.stop();
    release(list);
}

TEST_F(DeviceLayerProcess, DeferredManagerReportsEachDeviceOnceInArrivalOrder) {
    const io_service_t fresh = plugFresh();
    ASSERT_NE(fresh, 0u);
    IOObjectRelease(fresh);
    const std::size_t present = serviceCount();
    Recorder client;
    OSXDeviceManager manager(nullptr, &client, true);
    for (int i = 0; i < 20; ++i)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.005, false);
    EXPECT_EQ(manager.getCountDevices(), 0);
    EXPECT_EQ(manager.getDevice(0), nullptr);
    EXPECT_TRUE(client.events.empty());
    manager.enableCallbacks();
    ASSERT_EQ(manager.getCountDevices(), int(present));
    EXPECT_EQ(client.events, Events(present, "added"));
    for (std::size_t i = 0; i < present; ++i)
        EXPECT_EQ(client.devices[i], manager.getDevice(int(i)));
    manager.enableCallbacks();
    EXPECT_EQ(client.events.size(), present);
}

} // namespace
