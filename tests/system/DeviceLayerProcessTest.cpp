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

#include "tests/support/KernelHostChild.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
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

// Runs the main run loop until done() or a generous bound of wall time. A
// run loop with nothing to serve returns at once, so a bound in passes alone
// would end the wait long before a device's termination is over (the kernel
// takes a few hundred milliseconds of its own time for it).
template <typename Done> bool runUntil(Done done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return done();
        if (CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.005, false) == kCFRunLoopRunFinished)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// ---- A second process of the simulated machine
//
// The test binary started again with HX_DL_ROLE set plays one part against
// the same kernel host and exits before any test runs. It answers on stdout
// and holds what it opened until its stdin reaches its end.
//   "open5 N": opens the firmware updater's client (type 5) on the N-th
//   service; answers "open5 <result>".
//   "restore N": waits for a line on stdin, then opens a device object on the
//   N-th service as an ordinary user; answers "ready 1" before the wait and
//   "init <0|1>" after.

std::vector<io_service_t> services();
void release(const std::vector<io_service_t>& list);

void waitForEndOfInput() {
    char c;
    while (::read(0, &c, 1) > 0) {
    }
}

int runRole(const std::string& role, const char* hostPath) {
    if (!hostPath || !hx::iokit::useProcessTransport(hostPath)) return 2;
    const auto space = role.find(' ');
    const std::string what = role.substr(0, space);
    const std::size_t index = space == std::string::npos ? 0 : std::stoul(role.substr(space + 1));
    const auto list = services();
    if (index >= list.size()) return 3;
    const io_service_t service = list[index];
    if (what == "open5") {
        io_connect_t connect = 0;
        const kern_return_t kr = IOServiceOpen(service, mach_task_self(), 5, &connect);
        std::printf("open5 %d\n", int(kr));
        std::fflush(stdout);
        waitForEndOfInput();
        if (connect) IOServiceClose(connect);
    } else if (what == "restore") {
        hx::sys::setOwnUid(501);
        auto* device = new ZrOSXDevice(nullptr, nullptr, service, nullptr);
        device->incReferences();
        std::printf("ready 1\n");
        std::fflush(stdout);
        char c;
        if (::read(0, &c, 1) != 1) return 4;
        const bool ok = device->init();
        std::printf("init %d\n", ok ? 1 : 0);
        std::fflush(stdout);
        waitForEndOfInput();
        device->closeDevice();
        device->decReferences();
    } else {
        return 5;
    }
    release(list);
    return 0;
}

const int gRole = [] {
    if (const char* role = std::getenv("HX_DL_ROLE"))
        ::_exit(runRole(role, std::getenv("HX_DL_HOST")));
    return 0;
}();

// The running part: its pid, its stdin (closing it ends the part) and stdout.
struct Part {
    pid_t pid = -1;
    int in = -1;
    FILE* out = nullptr;

    Part() = default;
    Part(const Part&) = delete;
    Part& operator=(const Part&) = delete;
    ~Part() { end(); }

    bool start(const std::string& role);
    // Closes its stdin and answers its exit status (-1 when it did not exit).
    int end() {
        if (in >= 0) ::close(in);
        in = -1;
        int status = -1;
        if (pid > 0 && ::waitpid(pid, &status, 0) == pid)
            status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid = -1;
        if (out) std::fclose(out);
        out = nullptr;
        return status;
    }
};

bool Part::start(const std::string& role) {
    int toChild[2], fromChild[2];
    // Close-on-exec: a part started later must not hold this one's stdin.
    if (::pipe2(toChild, O_CLOEXEC) != 0) return false;
    if (::pipe2(fromChild, O_CLOEXEC) != 0) return false;
    std::string roleVar = "HX_DL_ROLE=" + role, hostVar = "HX_DL_HOST=" + gHostPath,
                rootVar = "HX_ROOT=" + gRoot;
    char* argv[] = {const_cast<char*>("hx_test_system_device_layer_process"), nullptr};
    char* envp[] = {roleVar.data(), hostVar.data(), rootVar.data(), nullptr};
    pid = ::fork();
    if (pid == 0) {
        ::dup2(toChild[0], 0);
        ::dup2(fromChild[1], 1);
        ::close(toChild[1]);
        ::close(fromChild[0]);
        ::execve("/proc/self/exe", argv, envp);
        ::_exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    in = toChild[1];
    out = ::fdopen(fromChild[0], "r");
    return pid > 0 && out;
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
        gHostPath = mHost.start(HXSIM_PATH, gRoot, gHostLog);
        ASSERT_FALSE(gHostPath.empty()) << "the kernel host did not start";
        ASSERT_TRUE(hx::iokit::useProcessTransport(gHostPath.c_str()));
    }

    void TearDown() override {
        mHost.stop();
        std::error_code ec;
        fs::remove_all(gRoot, ec);
    }

private:
    hx::testsupport::KernelHostChild mHost;
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
        while (mPlugged > 0)
            EXPECT_TRUE(unplugLast());
    }
    // Takes the device plugged last off the bus and waits until its service
    // has left the registry: the kernel terminates it on its own thread, so
    // right after the call the service may still be listed.
    bool unplugLast() {
        const std::size_t before = serviceCount();
        if (mControl.unplug() != kIOReturnSuccess) return false;
        --mPlugged;
        return runUntil([&] { return serviceCount() < before; });
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

    ASSERT_TRUE(unplugLast());
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

TEST_F(DeviceLayerProcess, StreamNamesByReleaseAreWrittenOncePerDriverLoad) {
    const struct {
        const char* release;
        bool withProduct;
    } cases[] = {{"19.6.0", true}, {"12.0.0", true}, {"11.4.0", false}};
    for (const auto& c : cases) {
        // A device plugged now: a fresh driver load.
        const io_service_t service = plugFresh();
        ASSERT_NE(service, 0u) << c.release;
        hx::sys::setEmulatedRelease(std::string(c.release));
        DriverConnection first(service);
        ASSERT_TRUE(first.ioIsOpen()) << c.release;
        const DriverSM* sm = first.driverSM();
        const std::string model(sm->mModelName, ::strnlen(sm->mModelName, 63));
        ASSERT_FALSE(model.empty());
        const std::string input = c.withProduct ? model + ": Input" : "Input";
        const std::string output = c.withProduct ? model + ": Output" : "Output";
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(sm) + 8140), input) << c.release;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(sm) + 7040), output) << c.release;
        // A second connection under another release leaves them as they are.
        hx::sys::setEmulatedRelease(c.withProduct ? "11.4.0" : "19.6.0");
        DriverConnection second(service);
        ASSERT_TRUE(second.ioIsOpen()) << c.release;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(second.driverSM()) + 8140), input)
            << c.release;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(second.driverSM()) + 7040), output)
            << c.release;
        IOObjectRelease(service);
    }
}

TEST_F(DeviceLayerProcess, TerminationOfAServiceWithoutADeviceChangesNothing) {
    // While a live updater is announced no device object opens: the services
    // are there without devices.
    hx::sys::addFakeProcess({4242, std::string("Updater"), "Updater", 'S', 501});
    writeMarker(4242, "Updater", 260);
    Recorder client;
    OSXDeviceManager manager(nullptr, &client, false);
    EXPECT_EQ(manager.getCountDevices(), 0);
    const std::size_t present = serviceCount();
    ASSERT_EQ(mControl.plug(), kIOReturnSuccess);
    ++mPlugged;
    ASSERT_TRUE(runUntil([&] { return serviceCount() > present; }));
    ASSERT_TRUE(unplugLast());
    EXPECT_EQ(serviceCount(), present);
    for (int i = 0; i < 20; ++i) // anything pending arrives
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.005, false);
    EXPECT_EQ(manager.getCountDevices(), 0);
    EXPECT_TRUE(client.events.empty());
    EXPECT_TRUE(markerExists());
    std::remove(hx::path::map(kFWUpdaterMarkerPath).c_str());
}

TEST_F(DeviceLayerProcess, UpdaterOpenInAnotherProcessRemovesEachDeviceThroughItsNotification) {
    for (int i = 0; i < 2; ++i) {
        const io_service_t s = plugFresh();
        ASSERT_NE(s, 0u);
        IOObjectRelease(s);
    }
    const std::size_t present = serviceCount();
    Recorder client;
    OSXDeviceManager manager(nullptr, &client, false);
    ASSERT_EQ(manager.getCountDevices(), int(present));
    client.events.clear();
    client.devices.clear();
    // The two plugged last, each opened by another process's updater client.
    std::vector<std::unique_ptr<Part>> updaters;
    std::vector<ZrOSXDevice*> removed;
    for (std::size_t index : {present - 1, present - 2}) {
        const std::size_t before = client.events.size();
        auto updater = std::make_unique<Part>();
        ASSERT_TRUE(updater->start("open5 " + std::to_string(index)));
        // The run loop serves the notifications while the other process opens.
        ASSERT_TRUE(runUntil([&] { return client.events.size() >= before + 2; }));
        EXPECT_EQ(hx::testsupport::readLineAfter(updater->out, "open5 "), "0");
        for (int i = 0; i < 20; ++i) // nothing further arrives
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.005, false);
        ASSERT_EQ(client.events.size(), before + 2);
        EXPECT_EQ(client.events[before], "willBeRemoved");
        EXPECT_EQ(client.events[before + 1], "removed");
        EXPECT_EQ(client.devices[before], client.devices[before + 1]);
        removed.push_back(client.devices[before]);
        EXPECT_EQ(manager.getDeviceIndex(removed.back()), -1);
        // Only the device whose service took the open leaves.
        ASSERT_EQ(manager.getCountDevices(), int(present - removed.size()));
        for (int d = 0; d < manager.getCountDevices(); ++d)
            EXPECT_TRUE(manager.getDevice(d)->isDeviceOpen());
        updaters.push_back(std::move(updater));
    }
    EXPECT_NE(removed[0], removed[1]);
    for (auto& u : updaters)
        EXPECT_EQ(u->end(), 0);
}

TEST_F(DeviceLayerProcess, TwoProcessesOpeningAFreshDeviceAtOnceRestoreItOnce) {
    const io_service_t service = plugFresh();
    ASSERT_NE(service, 0u);
    const std::size_t index = serviceCount() - 1;
    DriverConnection watch(service);
    ASSERT_TRUE(watch.ioIsOpen());
    ASSERT_EQ(watch.driverSM()->mConfigured, 0u);
    const std::size_t from = hostLogSize();

    Part other;
    ASSERT_TRUE(other.start("restore " + std::to_string(index)));
    ASSERT_EQ(hx::testsupport::readLineAfter(other.out, "ready "), "1");
    auto* device = new ZrOSXDevice(nullptr, nullptr, service, nullptr);
    device->incReferences();
    // Both open at once: the other process on this line, this one now.
    ASSERT_EQ(::write(other.in, "g", 1), 1);
    const bool ok = device->init();
    EXPECT_EQ(hx::testsupport::readLineAfter(other.out, "init "), "1");
    EXPECT_TRUE(ok);
    // One restore reached the kernel: its mixer mode opens it, its mixer
    // values close it.
    ASSERT_TRUE(awaitLog(from, "Req_SetMixerValues", 1));
    EXPECT_NE(watch.driverSM()->mConfigured, 0u);
    EXPECT_EQ(other.end(), 0);
    const std::string log = hostLog(from);
    EXPECT_EQ(occurrences(log, "Req_SetMixerMode"), 1u);
    EXPECT_EQ(occurrences(log, "Req_SetMixerValues"), 1u);
    uint32_t token = 1;
    std::memcpy(&token,
                reinterpret_cast<const char*>(watch.driverSM()) +
                    offsetof(DriverSM, mNewConfigPending),
                sizeof token);
    EXPECT_EQ(token, 0u) << "the token is given back";
    device->closeDevice();
    device->decReferences();
    IOObjectRelease(service);
}

} // namespace
