// The user-side IOKit calls across processes: a kernel host (hxsim
// --kernel-host) the test starts, this process on the process transport,
// child processes (this program run again as one named case) for what two
// processes or a death show, and raw sockets for the bad inputs the host
// must survive. Every check is on data, order and counts; waits are bounded
// only to end a broken run.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "abi/AudioSM.h"
#include "abi/DriverSM.h"
#include "abi/QN_Dispatch.h"
#include "abi/QN_StateChange.h"
#include "driver/clients/harness/HarnessClient.h"
#include "platform/base/HXClock.h"
#include "platform/cf/CFNumber.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/iokit/HXIOKit.h"
#include "platform/iokit/IOKitLib.h"
#include "tests/system/UserSideRequests.h"
#include "platform/iokit/KernelHostWire.h"
#include "platform/iokit/MachineControlClient.h"
#include "platform/iokit/WireSocket.h"

namespace {

namespace wire = hx::iokit::wire;

constexpr const char* kServiceClass = "ZrKernelDeviceKorvexHX5100";
constexpr const char* kChildVariable = "HX_KERNEL_HOST_TEST_CHILD";
constexpr uint32_t kAudioClient = 0, kNoUpdater = 4, kControlClient = 2;
constexpr uint32_t kDriverSMType = 1, kDeviceRingType = 4, kClientRingType = 5;
constexpr size_t kClientSlotUser =
    offsetof(DriverSM, mClients) + 7 * sizeof(ClientData) + offsetof(ClientData, mUser);

std::string gRoot;
std::string gHostPath;
pid_t gHostPid = -1;

bool isChild() {
    return std::getenv(kChildVariable) != nullptr;
}

// Reads lines from fd until one starts with prefix; the rest of that line,
// or "" when the stream ended first.
std::string awaitLine(FILE* f, const std::string& prefix) {
    char line[512];
    while (std::fgets(line, sizeof line, f)) {
        std::string s(line);
        if (s.rfind(prefix, 0) == 0) {
            s = s.substr(prefix.size());
            while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
                s.pop_back();
            return s.empty() ? std::string(" ") : s;
        }
    }
    return {};
}

class HostEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (isChild()) return; // the parent named the host in HX_KERNEL_HOST
        char dir[] = "/tmp/hxkh.XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        gRoot = dir;
        int out[2];
        ASSERT_EQ(::pipe(out), 0);
        const std::string rootVar = "HX_ROOT=" + gRoot;
        // The host's log stays quiet unless the one running the test asks.
        const char* log = std::getenv("HX_LOG");
        std::vector<std::string> env = {rootVar, std::string("HX_LOG=") + (log ? log : "0")};
        char* argv[] = {const_cast<char*>("hxsim"), const_cast<char*>("--kernel-host"),
                        const_cast<char*>("/tmp/kernel.sock"), nullptr};
        char* envp[] = {env[0].data(), env[1].data(), nullptr};
        gHostPid = ::fork();
        if (gHostPid == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::execve(HXSIM_PATH, argv, envp);
            ::_exit(127);
        }
        ::close(out[1]);
        mHostOut = ::fdopen(out[0], "r");
        gHostPath = awaitLine(mHostOut, "kernel host ready at ");
        ASSERT_FALSE(gHostPath.empty()) << "the kernel host did not start";
        ASSERT_TRUE(hx::iokit::useProcessTransport(gHostPath.c_str()));
    }

    void TearDown() override {
        if (isChild()) return;
        if (gHostPid > 0) {
            ::kill(gHostPid, SIGTERM);
            int status = 0;
            ::waitpid(gHostPid, &status, 0);
        }
        if (mHostOut) std::fclose(mHostOut);
        std::error_code ec;
        std::filesystem::remove_all(gRoot, ec);
    }

private:
    FILE* mHostOut = nullptr;
};

const auto* gEnvironment = ::testing::AddGlobalTestEnvironment(new HostEnvironment);

// A child: this program again, running one ChildRole case against the host.
struct Child {
    pid_t pid = -1;
    FILE* out = nullptr;

    static Child spawn(const std::string& role) {
        Child c;
        int p[2];
        if (::pipe(p) != 0) return c;
        const std::string filter = "--gtest_filter=ChildRole." + role;
        std::string hostVar = "HX_KERNEL_HOST=" + gHostPath,
                    childVar = std::string(kChildVariable) + "=1", rootVar = "HX_ROOT=" + gRoot,
                    logVar = "HX_LOG=0";
        char* envp[] = {hostVar.data(), childVar.data(), rootVar.data(), logVar.data(), nullptr};
        char* argv[] = {const_cast<char*>("kernel_host_child"), const_cast<char*>(filter.c_str()),
                        nullptr};
        c.pid = ::fork();
        if (c.pid == 0) {
            ::dup2(p[1], 1);
            ::close(p[0]);
            ::execve("/proc/self/exe", argv, envp);
            ::_exit(127);
        }
        ::close(p[1]);
        c.out = ::fdopen(p[0], "r");
        return c;
    }
    void kill9() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
    ~Child() {
        kill9();
        if (out) std::fclose(out);
    }
};

// Runs the current run loop until done() or about 20 s passed.
template <typename Done> bool runUntil(Done done) {
    for (int i = 0; i < 4000 && !done(); ++i)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.005, false);
    return done();
}

// Waits, off the run loop, until done() or about 20 s passed.
template <typename Done> bool waitFor(Done done) {
    for (int i = 0; i < 4000 && !done(); ++i)
        ::usleep(5000);
    return done();
}

io_service_t firstService() {
    io_iterator_t it = 0;
    if (IOServiceGetMatchingServices(0, IOServiceMatching(kServiceClass), &it) != KERN_SUCCESS)
        return 0;
    io_service_t s = IOIteratorNext(it);
    IOObjectRelease(it);
    return s;
}

// An audio client as the suite opens one: type 4 first, then type 0, the
// pid (Req 30) and the identity (Req 27).
io_connect_t openAudioClient(io_service_t service) {
    io_connect_t none = 0, c = 0;
    IOServiceOpen(service, mach_task_self(), kNoUpdater, &none);
    if (IOServiceOpen(service, mach_task_self(), kAudioClient, &c) != KERN_SUCCESS) return 0;
    OSXDispatch rec{};
    size_t outSize = 0;
    qnWriteU32(&rec, kOSXDispatchValueOffset, uint32_t(getpid()));
    if (request(c, 30, rec, &outSize) != kIOReturnSuccess) return 0;
    rec = OSXDispatch{};
    if (request(c, 27, rec, &outSize) != kIOReturnSuccess) return 0;
    return c;
}

// The process's own transport still answers: a fresh client opens and
// calls.
void expectOwnClientWorks() {
    io_service_t s = firstService();
    ASSERT_NE(s, 0u);
    io_connect_t c = openAudioClient(s);
    EXPECT_NE(c, 0u);
    if (c) {
        EXPECT_EQ(IOServiceClose(c), KERN_SUCCESS);
    }
    IOObjectRelease(s);
}

// One dispatch record through Req 35, as the control panels send them: the
// code and its value in, the value as the device answered it out.
IOReturn dispatch(io_connect_t c, uint32_t code, uint32_t& value) {
    OSXDispatch rec{};
    QN_Dispatch d{};
    d.code = code;
    d.data.ulValue = value;
    std::memcpy(rec.payload, &d, sizeof d);
    size_t outSize = 0;
    const IOReturn r = request(c, 35, rec, &outSize);
    std::memcpy(&d, rec.payload, sizeof d);
    value = d.data.ulValue;
    return r;
}

// A client of this process streaming as a user cycle sets up: the ring
// mapped, the channel settings, Req 1 and Req 2. goesOn() is true when it
// still holds its slot and the device ring's frame position moves past
// where it was.
struct Streaming {
    io_service_t service = 0;
    io_connect_t c = 0;
    const DriverSM* sm = nullptr;
    const AudioSM* ring = nullptr;
    int slot = -1;

    Streaming() {
        service = firstService();
        if (!service || !(c = openAudioClient(service))) return;
        mach_vm_address_t a = 0, in = 0, out = 0;
        mach_vm_size_t size = 0;
        auto map = [&](uint32_t type, mach_vm_address_t& at) {
            return IOConnectMapMemory64(c, type, mach_task_self(), &at, &size, kIOMapAnywhere) ==
                   KERN_SUCCESS;
        };
        if (!map(kDriverSMType, a) || !map(kClientRingType, out) || !map(kDeviceRingType, in))
            return;
        const QnChannelSettings cs{48000, 2, 24, 2, 24, 0};
        std::memcpy(reinterpret_cast<uint8_t*>(a) + offsetof(DriverSM, mChannelSettings), &cs,
                    sizeof cs);
        OSXDispatch rec{};
        size_t outSize = 0;
        if (request(c, 1, rec, &outSize) != kIOReturnSuccess) return;
        rec = OSXDispatch{};
        rec.frameSize = 512;
        qnWriteU32(&rec, kOSXDispatchValueOffset, 1);
        if (request(c, 2, rec, &outSize) != kIOReturnSuccess) return;
        sm = reinterpret_cast<const DriverSM*>(a);
        ring = reinterpret_cast<const AudioSM*>(in);
        slot = int(qnReadU32(&rec, kOSXDispatchValueOffset));
    }
    ~Streaming() {
        if (c) IOServiceClose(c);
        if (service) IOObjectRelease(service);
    }
    Streaming(const Streaming&) = delete;
    Streaming& operator=(const Streaming&) = delete;

    bool started() const { return ring && slot >= 0 && slot < 8; }
    uint64_t framePosition() const {
        return audiosm::load64(AUDIOSM_CAT(ring, AudioSM, mFramePos), __ATOMIC_ACQUIRE);
    }
    bool goesOn() const {
        if (!started() || audiosm::load64(&sm->mClients[slot].mClient) == 0) return false;
        const uint64_t from = framePosition();
        return waitFor([&] { return framePosition() > from; });
    }
};

struct Seen {
    std::vector<io_service_t> published;
    int terminated = 0;
    std::vector<uint32_t> messages;
    std::vector<uint32_t> stateChanges;
};

void onPublish(void* refCon, io_iterator_t it) {
    while (io_service_t s = IOIteratorNext(it))
        static_cast<Seen*>(refCon)->published.push_back(s);
}

void onTerminate(void* refCon, io_iterator_t it) {
    while (io_service_t s = IOIteratorNext(it)) {
        ++static_cast<Seen*>(refCon)->terminated;
        IOObjectRelease(s);
    }
}

void onInterest(void* refCon, io_service_t, natural_t type, void* argument) {
    auto* seen = static_cast<Seen*>(refCon);
    seen->messages.push_back(type);
    if (type == kIOMessageServicePropertyChange && argument) {
        QN_StateChange change;
        std::memcpy(&change, argument, sizeof change);
        EXPECT_EQ(change.mSize, 36u);
        seen->stateChanges.push_back(change.mCode);
    }
}

std::string uidOf(io_service_t s) {
    CFTypeRef uid = IORegistryEntryCreateCFProperty(s, CFSTR("deviceUID"), nullptr, 0);
    if (!uid) return {};
    char text[128] = {};
    CFStringGetCString(CFStringRef(uid), text, sizeof text, kCFStringEncodingUTF8);
    CFRelease(uid);
    return text;
}

TEST(KernelHost, ReportsTheProcessTransport) {
    EXPECT_STREQ(hx::iokit::transportName(), "process");
}

TEST(KernelHost, DiscoveryFindsTheServiceAndItsProperties) {
    io_service_t service = firstService();
    ASSERT_NE(service, 0u);
    EXPECT_FALSE(uidOf(service).empty());
    EXPECT_EQ(IORegistryEntryCreateCFProperty(service, CFSTR("NoSuchKey"), nullptr, 0), nullptr);
    CFMutableDictionaryRef all = nullptr;
    ASSERT_EQ(IORegistryEntryCreateCFProperties(service, &all, nullptr, 0), KERN_SUCCESS);
    EXPECT_TRUE(CFDictionaryContainsKey(all, CFSTR("deviceUID")));
    CFRelease(all);
    // A dictionary without a known key matches nothing.
    CFMutableDictionaryRef odd = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(odd, CFSTR("NoSuchMatchingKey"), CFSTR("x"));
    io_iterator_t it = 0;
    ASSERT_EQ(IOServiceGetMatchingServices(0, odd, &it), KERN_SUCCESS);
    EXPECT_EQ(IOIteratorNext(it), 0u);
    IOObjectRelease(it);
    int pid = 0;
    ASSERT_EQ(pid_for_task(mach_task_self(), &pid), KERN_SUCCESS);
    EXPECT_EQ(pid, getpid());
    IOObjectRelease(service);
}

TEST(KernelHost, PublishArmsAfterDrainingAndAnUnplugNotifiesInOrder) {
    hx::iokit::MachineControlClient control;
    ASSERT_TRUE(control.connect(gHostPath));
    IONotificationPortRef port = IONotificationPortCreate(0);
    ASSERT_NE(port, nullptr);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                       kCFRunLoopDefaultMode);
    Seen seen;
    io_iterator_t pub = 0, term = 0;
    ASSERT_EQ(IOServiceAddMatchingNotification(port, kIOPublishNotification,
                                               IOServiceMatching(kServiceClass), onPublish, &seen,
                                               &pub),
              KERN_SUCCESS);
    onPublish(&seen, pub); // the one already published; drained, so armed
    ASSERT_EQ(seen.published.size(), 1u);
    ASSERT_EQ(IOServiceAddMatchingNotification(port, kIOTerminatedNotification,
                                               IOServiceMatching(kServiceClass), onTerminate, &seen,
                                               &term),
              KERN_SUCCESS);
    onTerminate(&seen, term);

    ASSERT_EQ(control.plug(), kIOReturnSuccess);
    ASSERT_TRUE(runUntil([&] { return seen.published.size() == 2; }));
    io_service_t second = seen.published[1];
    const std::string uid = uidOf(second);
    EXPECT_FALSE(uid.empty());
    EXPECT_NE(uid, uidOf(seen.published[0]));
    io_object_t interest = 0;
    ASSERT_EQ(IOServiceAddInterestNotification(port, second, kIOGeneralInterest, onInterest, &seen,
                                               &interest),
              KERN_SUCCESS);

    ASSERT_EQ(control.unplug(), kIOReturnSuccess);
    ASSERT_TRUE(runUntil([&] { return seen.terminated == 1; }));
    ASSERT_FALSE(seen.stateChanges.empty());
    EXPECT_EQ(seen.stateChanges.back(), 0xFFFFFFFFu);
    ASSERT_FALSE(seen.messages.empty());
    EXPECT_EQ(seen.messages.back(), uint32_t(kIOMessageServiceIsTerminated));
    // The state change came before the termination message.
    const auto gone = std::find(seen.messages.begin(), seen.messages.end(),
                                uint32_t(kIOMessageServiceIsTerminated));
    EXPECT_NE(std::find(seen.messages.begin(), gone, uint32_t(kIOMessageServicePropertyChange)),
              gone);
    EXPECT_EQ(uidOf(second), uid); // the held handle still reads

    IOObjectRelease(interest);
    IOObjectRelease(pub);
    IOObjectRelease(term);
    for (io_service_t s : seen.published)
        IOObjectRelease(s);
    IONotificationPortDestroy(port);
}

// The registry questions and writes, a connection's notification port and
// traps, answered by the kernel end across the socket as in process.
// What a port delivering on a dispatch queue heard: the state-change codes
// and the queue each came on.
struct QueuedSeen {
    std::mutex lock;
    std::vector<uint32_t> codes;
    std::vector<std::string> queues;
};

void onQueuedInterest(void* refCon, io_service_t, natural_t type, void* argument) {
    if (type != kIOMessageServicePropertyChange || !argument) return;
    QN_StateChange change;
    std::memcpy(&change, argument, sizeof change);
    auto* seen = static_cast<QueuedSeen*>(refCon);
    std::lock_guard<std::mutex> g(seen->lock);
    seen->codes.push_back(change.mCode);
    seen->queues.push_back(dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL));
}

// Across processes too, state changes reach a port delivering on a dispatch
// queue, on that queue and in send order, and nothing after the port is
// destroyed.
TEST(KernelHost, StateChangesReachAQueuedPortInSendOrder) {
    hx::iokit::MachineControlClient control;
    ASSERT_TRUE(control.connect(gHostPath));
    const io_service_t service = firstService();
    ASSERT_NE(service, 0u);
    IONotificationPortRef port = IONotificationPortCreate(0);
    ASSERT_NE(port, nullptr);
    dispatch_queue_t queue = dispatch_queue_create("test.iokit.notices", DISPATCH_QUEUE_SERIAL);
    IONotificationPortSetDispatchQueue(port, queue);
    QueuedSeen seen;
    io_object_t note = 0;
    ASSERT_EQ(IOServiceAddInterestNotification(port, service, kIOGeneralInterest, onQueuedInterest,
                                               &seen, &note),
              KERN_SUCCESS);
    // Codes nothing else sends, so only these are counted.
    constexpr uint32_t kFirst = 0x7A00, kCount = 5;
    auto ours = [&] {
        std::vector<uint32_t> codes;
        std::lock_guard<std::mutex> g(seen.lock);
        for (size_t i = 0; i < seen.codes.size(); ++i)
            if (seen.codes[i] >= kFirst && seen.codes[i] <= kFirst + 0x10) {
                codes.push_back(seen.codes[i]);
                EXPECT_EQ(seen.queues[i], "test.iokit.notices");
            }
        return codes;
    };
    for (uint32_t i = 0; i < kCount; ++i)
        ASSERT_EQ(control.stateChange(kFirst + i), kIOReturnSuccess);
    EXPECT_TRUE(waitFor([&] { return ours().size() >= kCount; }));
    const std::vector<uint32_t> heard = ours();
    ASSERT_EQ(heard.size(), kCount);
    for (uint32_t i = 0; i < kCount; ++i)
        EXPECT_EQ(heard[i], kFirst + i);

    IONotificationPortDestroy(port);
    ASSERT_EQ(control.stateChange(kFirst + 0x10), kIOReturnSuccess);
    // A second port, still subscribed, hears the later change: by then the
    // destroyed one would have too.
    IONotificationPortRef witness = IONotificationPortCreate(0);
    dispatch_queue_t witnessQueue =
        dispatch_queue_create("test.iokit.witness", DISPATCH_QUEUE_SERIAL);
    IONotificationPortSetDispatchQueue(witness, witnessQueue);
    QueuedSeen witnessSeen;
    io_object_t witnessNote = 0;
    ASSERT_EQ(IOServiceAddInterestNotification(witness, service, kIOGeneralInterest,
                                               onQueuedInterest, &witnessSeen, &witnessNote),
              KERN_SUCCESS);
    ASSERT_EQ(control.stateChange(kFirst + 0x10), kIOReturnSuccess);
    EXPECT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> g(witnessSeen.lock);
        return std::count(witnessSeen.codes.begin(), witnessSeen.codes.end(), kFirst + 0x10) > 0;
    }));
    hx::dispatch::drain(queue);
    EXPECT_EQ(ours().size(), kCount);
    IONotificationPortDestroy(witness);
    IOObjectRelease(witnessNote);
    IOObjectRelease(note);
    IOObjectRelease(service);
    dispatch_release(witnessQueue);
    dispatch_release(queue);
}

TEST(KernelHost, RegistryQuestionsWritesPortsAndTraps) {
    io_service_t service = firstService();
    ASSERT_NE(service, 0u);
    EXPECT_TRUE(IOObjectConformsTo(service, kServiceClass));
    EXPECT_TRUE(IOObjectConformsTo(service, "IOService"));
    EXPECT_FALSE(IOObjectConformsTo(service, "IOUserClient"));
    // One kernel service keeps one name in this process.
    io_service_t again = firstService();
    EXPECT_EQ(again, service);
    EXPECT_TRUE(IOObjectIsEqualTo(service, again));
    IOObjectRelease(again);
    // The service's parent is the USB device nub, whose child it is.
    io_iterator_t parents = 0;
    ASSERT_EQ(IORegistryEntryGetParentIterator(service, "IOService", &parents), KERN_SUCCESS);
    io_service_t nub = IOIteratorNext(parents);
    IOObjectRelease(parents);
    ASSERT_NE(nub, 0u);
    EXPECT_TRUE(IOObjectConformsTo(nub, "IOUSBHostDevice"));
    EXPECT_FALSE(IOObjectIsEqualTo(nub, service));
    io_iterator_t children = 0;
    ASSERT_EQ(IORegistryEntryGetChildIterator(nub, "IOService", &children), KERN_SUCCESS);
    bool found = false;
    while (io_service_t child = IOIteratorNext(children)) {
        found = found || child == service;
        IOObjectRelease(child);
    }
    IOObjectRelease(children);
    EXPECT_TRUE(found);
    io_iterator_t none = 0;
    EXPECT_EQ(IORegistryEntryGetChildIterator(nub, "IODeviceTree", &none), kIOReturnBadArgument);
    IOObjectRelease(nub);
    // Nothing here takes user writes, ports or traps.
    EXPECT_EQ(IORegistryEntrySetCFProperty(service, CFSTR("Key"), CFSTR("value")),
              kIOReturnUnsupported);
    io_connect_t c = openAudioClient(service);
    ASSERT_NE(c, 0u);
    EXPECT_EQ(IOConnectSetNotificationPort(c, 0, 0, 0), kIOReturnUnsupported);
    EXPECT_EQ(IOConnectTrap0(c, 0), kIOReturnBadArgument);
    EXPECT_EQ(IOServiceClose(c), KERN_SUCCESS);
    EXPECT_EQ(IOConnectTrap0(c, 0), MACH_SEND_INVALID_DEST);
    IOObjectRelease(service);
}

TEST(KernelHost, CallsKeepTheirLimitsAndOutputSizes) {
    io_service_t service = firstService();
    ASSERT_NE(service, 0u);
    io_connect_t none = 0;
    EXPECT_EQ(IOServiceOpen(service, mach_task_self(), kNoUpdater, &none), kIOReturnBadArgument);
    io_connect_t c = openAudioClient(service);
    ASSERT_NE(c, 0u);
    OSXDispatch rec{};
    size_t outSize = 0;
    ASSERT_EQ(request(c, 27, rec, &outSize), kIOReturnSuccess);
    EXPECT_EQ(outSize, sizeof rec);
    EXPECT_NE(qnReadU64(&rec, kOSXDispatchValueOffset), 0u);
    uint32_t firstVersion = 0;
    expectHALVersionReads(c, &firstVersion);

    // A failed call leaves the caller's record and size as they were.
    std::vector<uint8_t> in(1547, 0x11), out(1548, 0x22);
    size_t outBytes = out.size();
    EXPECT_EQ(IOConnectCallStructMethod(c, 0, in.data(), in.size(), out.data(), &outBytes),
              kIOReturnBadArgument);
    EXPECT_EQ(outBytes, 1548u);
    for (uint8_t b : out)
        ASSERT_EQ(b, 0x22);

    std::vector<uint64_t> scalars(17, 0);
    EXPECT_EQ(IOConnectCallScalarMethod(c, 0, scalars.data(), 17, nullptr, nullptr),
              kIOReturnBadArgument);
    std::vector<uint8_t> big(4097, 0);
    size_t bigOut = 0;
    EXPECT_EQ(IOConnectCallStructMethod(c, 0, big.data(), big.size(), nullptr, &bigOut),
              kIOReturnBadArgument);

    io_connect_t ctl = 0;
    ASSERT_EQ(IOServiceOpen(service, mach_task_self(), kControlClient, &ctl), KERN_SUCCESS);
    QN_Dispatch d{};
    d.code = 1;
    size_t dSize = sizeof d;
    EXPECT_EQ(IOConnectCallStructMethod(ctl, 0, &d, sizeof d, &d, &dSize), kIOReturnSuccess);
    EXPECT_EQ(dSize, 1540u);
    EXPECT_EQ(IOServiceClose(ctl), KERN_SUCCESS);
    EXPECT_EQ(IOServiceClose(c), KERN_SUCCESS);
    // A closed connection is no name any more.
    EXPECT_EQ(request(c, 27, rec, &outSize), MACH_SEND_INVALID_DEST);
    IOObjectRelease(service);
}

TEST(KernelHost, MemoryCrossesAtExactSizesAndOutlivesTheConnection) {
    io_service_t service = firstService();
    ASSERT_NE(service, 0u);
    io_connect_t c = openAudioClient(service);
    ASSERT_NE(c, 0u);
    struct Case {
        uint32_t type;
        mach_vm_size_t size;
    } cases[] = {
        {kDriverSMType, sizeof(DriverSM)}, {kDeviceRingType, 540656}, {kClientRingType, 540656}};
    std::vector<mach_vm_address_t> addresses;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.type);
        mach_vm_address_t a = 0;
        mach_vm_size_t size = 0;
        ASSERT_EQ(IOConnectMapMemory64(c, k.type, mach_task_self(), &a, &size, kIOMapAnywhere),
                  KERN_SUCCESS);
        EXPECT_EQ(size, k.size);
        addresses.push_back(a);
    }
    EXPECT_EQ(sizeof(DriverSM), 30744u);
    // The type 1 area is the kernel's: it reads what the kernel wrote.
    const auto* sm = reinterpret_cast<const DriverSM*>(addresses[0]);
    EXPECT_EQ(sm->mVendor, 0x2F4B);
    // The hook makes a mapping report a wrong size, for the size check.
    hx::iokit::setMapSizeShortfall(4);
    mach_vm_address_t extra = 0;
    mach_vm_size_t extraSize = 0;
    ASSERT_EQ(IOConnectMapMemory64(c, kDriverSMType, mach_task_self(), &extra, &extraSize,
                                   kIOMapAnywhere),
              KERN_SUCCESS);
    hx::iokit::setMapSizeShortfall(0);
    EXPECT_EQ(extraSize, 30740u);
    EXPECT_EQ(IOConnectUnmapMemory64(c, kDriverSMType, mach_task_self(), extra), KERN_SUCCESS);
    EXPECT_EQ(IOConnectUnmapMemory64(c, kDriverSMType, mach_task_self(), extra),
              kIOReturnBadArgument);
    EXPECT_EQ(IOServiceClose(c), KERN_SUCCESS);
    // Still mapped after the close.
    EXPECT_EQ(sm->mVendor, 0x2F4B);
    IOObjectRelease(service);
}

TEST(KernelHost, TwoProcessesSeeEachOthersWritesToTypeOne) {
    io_service_t service = firstService();
    ASSERT_NE(service, 0u);
    io_connect_t c = openAudioClient(service);
    ASSERT_NE(c, 0u);
    mach_vm_address_t a = 0;
    mach_vm_size_t size = 0;
    ASSERT_EQ(IOConnectMapMemory64(c, kDriverSMType, mach_task_self(), &a, &size, kIOMapAnywhere),
              KERN_SUCCESS);
    auto* user = reinterpret_cast<volatile uint8_t*>(a + kClientSlotUser);
    user[0] = 0;
    user[1] = 0;
    Child child = Child::spawn("WritesTypeOne");
    ASSERT_EQ(awaitLine(child.out, "READY"), " ");
    EXPECT_EQ(user[0], 0xA5); // the child's write
    user[1] = 0x5A;           // and this one, which the child reads back
    EXPECT_EQ(awaitLine(child.out, "SAW "), "5a");
    IOServiceClose(c);
    IOObjectRelease(service);
}

TEST(KernelHost, AnAttachedProcessKilledFreesItsSlotAndOthersHearIt) {
    io_service_t service = firstService();
    ASSERT_NE(service, 0u);
    IONotificationPortRef port = IONotificationPortCreate(0);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                       kCFRunLoopDefaultMode);
    Seen seen;
    io_object_t interest = 0;
    ASSERT_EQ(IOServiceAddInterestNotification(port, service, kIOGeneralInterest, onInterest, &seen,
                                               &interest),
              KERN_SUCCESS);
    // A second port hears the same changes in the same order; a third
    // notification releases itself in its first callback.
    IONotificationPortRef second = IONotificationPortCreate(0);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(second),
                       kCFRunLoopDefaultMode);
    Seen alsoSeen;
    io_object_t also = 0;
    ASSERT_EQ(IOServiceAddInterestNotification(second, service, kIOGeneralInterest, onInterest,
                                               &alsoSeen, &also),
              KERN_SUCCESS);
    struct Once {
        io_object_t self = 0;
        int callbacks = 0;
    } once;
    ASSERT_EQ(IOServiceAddInterestNotification(
                  second, service, kIOGeneralInterest,
                  [](void* ref, io_service_t, natural_t, void*) {
                      auto* o = static_cast<Once*>(ref);
                      if (o->callbacks++ == 0) {
                          EXPECT_EQ(IOObjectRelease(o->self), KERN_SUCCESS);
                      }
                  },
                  &once, &once.self),
              KERN_SUCCESS);
    io_connect_t c = openAudioClient(service);
    ASSERT_NE(c, 0u);
    mach_vm_address_t a = 0;
    mach_vm_size_t size = 0;
    ASSERT_EQ(IOConnectMapMemory64(c, kDriverSMType, mach_task_self(), &a, &size, kIOMapAnywhere),
              KERN_SUCCESS);
    const auto* sm = reinterpret_cast<const DriverSM*>(a);
    // This process streams too, and goes on after the child's death.
    Streaming mine;
    ASSERT_TRUE(mine.started());
    // Another process's port hears the changes from here on.
    Child listener = Child::spawn("HearsStateChanges");
    ASSERT_EQ(awaitLine(listener.out, "READY"), " ");

    Child child = Child::spawn("AttachesARing");
    const std::string slotText = awaitLine(child.out, "READY ");
    ASSERT_FALSE(slotText.empty());
    int slot = -1;
    unsigned long long owner = 0;
    ASSERT_EQ(std::sscanf(slotText.c_str(), "%d %llx", &slot, &owner), 2);
    ASSERT_GE(slot, 0);
    ASSERT_LT(slot, 8);
    EXPECT_NE(slot, mine.slot);
    EXPECT_NE(audiosm::load64(&sm->mClients[slot].mClient), 0u);
    // The child holds the inputs and outputs exclusively.
    ASSERT_NE(owner, 0u);
    EXPECT_EQ(audiosm::load64(&sm->mExclusiveInputOwner), owner);
    EXPECT_EQ(audiosm::load64(&sm->mExclusiveOutputOwner), owner);
    // The configuration the child asked for shows in the registry.
    CFTypeRef settings =
        IORegistryEntryCreateCFProperty(service, CFSTR("ChannelSettings"), nullptr, 0);
    ASSERT_NE(settings, nullptr);
    ASSERT_EQ(CFGetTypeID(settings), CFDictionaryGetTypeID());
    EXPECT_EQ(CFDictionaryGetCount(CFDictionaryRef(settings)), 6);
    CFDictionaryApplyFunction(
        CFDictionaryRef(settings),
        [](const void*, const void* value, void*) {
            EXPECT_EQ(CFGetTypeID(value), CFNumberGetTypeID());
        },
        nullptr);
    int64_t rate = 0;
    CFNumberGetValue(
        CFNumberRef(CFDictionaryGetValue(CFDictionaryRef(settings), CFSTR("Frequency"))),
        kCFNumberSInt64Type, &rate);
    EXPECT_EQ(rate, 48000);
    CFRelease(settings);
    // The device streams: the kernel's time stamps on the input ring move
    // on, and none is later than this process's own clock, which is the
    // host's.
    mach_vm_address_t input = 0;
    mach_vm_size_t inputSize = 0;
    ASSERT_EQ(IOConnectMapMemory64(c, kDeviceRingType, mach_task_self(), &input, &inputSize,
                                   kIOMapAnywhere),
              KERN_SUCCESS);
    const auto* ring = reinterpret_cast<const AudioSM*>(input);
    const char* stamps = AUDIOSM_CAT(ring, AudioSM, mTimeStamps);
    const uint64_t firstFrame =
        audiosm::load64(AUDIOSM_CAT(ring, AudioSM, mFramePos), __ATOMIC_ACQUIRE);
    const uint64_t until = mach_absolute_time() + 500000000ull;
    uint64_t stampsRead = 0;
    for (uint64_t now = mach_absolute_time(); now < until; now = mach_absolute_time()) {
        const uint32_t count =
            audiosm::load32(stamps + offsetof(TimeStampsBuffer, mCount), __ATOMIC_ACQUIRE);
        if (count) {
            const size_t slot = (count - 1) % kTimeStampsCount;
            const uint64_t stamp =
                audiosm::load64(stamps + offsetof(TimeStampsBuffer, mHostTime) + 8 * slot);
            ASSERT_LE(stamp, mach_absolute_time());
            ++stampsRead;
        }
        usleep(1000);
    }
    EXPECT_GT(stampsRead, 0u);
    EXPECT_GT(audiosm::load64(AUDIOSM_CAT(ring, AudioSM, mFramePos), __ATOMIC_ACQUIRE), firstFrame);
    child.kill9();
    ASSERT_TRUE(runUntil([&] {
        return std::find(seen.stateChanges.begin(), seen.stateChanges.end(),
                         uint32_t(STC_ClientDetached)) != seen.stateChanges.end();
    }));
    // The second port heard the same changes in the same order; the third
    // notification heard one and was gone.
    // Both up to and including the detach (later changes may be on the way).
    auto untilDetached = [](const Seen& s) {
        auto end =
            std::find(s.stateChanges.begin(), s.stateChanges.end(), uint32_t(STC_ClientDetached));
        return std::vector<uint32_t>(s.stateChanges.begin(),
                                     end == s.stateChanges.end() ? end : end + 1);
    };
    ASSERT_TRUE(runUntil([&] {
        const auto heard = untilDetached(alsoSeen);
        return !heard.empty() && heard.back() == uint32_t(STC_ClientDetached);
    }));
    EXPECT_EQ(untilDetached(alsoSeen), untilDetached(seen));
    EXPECT_EQ(once.callbacks, 1);
    EXPECT_EQ(IOObjectRelease(once.self), MACH_SEND_INVALID_DEST);
    EXPECT_EQ(audiosm::load64(&sm->mClients[slot].mClient), 0u); // the slot is free
    EXPECT_EQ(audiosm::load64(&sm->mExclusiveInputOwner), 0u);
    EXPECT_EQ(audiosm::load64(&sm->mExclusiveOutputOwner), 0u);
    EXPECT_TRUE(mine.goesOn());
    // The other process's port heard the tail of the same changes, in the
    // same order, through the detach.
    const std::string heardText = awaitLine(listener.out, "HEARD ");
    std::vector<uint32_t> heard;
    for (const char* p = heardText.c_str(); *p;) {
        char* end = nullptr;
        const unsigned long code = std::strtoul(p, &end, 10);
        if (end == p) break;
        heard.push_back(uint32_t(code));
        p = *end ? end + 1 : end;
    }
    const std::vector<uint32_t> here = untilDetached(seen);
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(heard.back(), uint32_t(STC_ClientDetached));
    ASSERT_LE(heard.size(), here.size());
    EXPECT_TRUE(std::equal(heard.begin(), heard.end(), here.end() - heard.size()))
        << "heard " << heardText;
    EXPECT_NE(std::find(heard.begin(), heard.end(), uint32_t(STC_ClientAttached)), heard.end())
        << "heard " << heardText;
    expectOwnClientWorks();
    IOServiceClose(c);
    IOObjectRelease(interest);
    IOObjectRelease(also);
    IONotificationPortDestroy(port);
    IONotificationPortDestroy(second);
    IOObjectRelease(service);
}

// The client harness's own client, the same code as in process, streams
// against the host: Req 1, Req 2, two seconds of its cycle. Every frame that
// came back is the played one at one latency, or (a cycle of this process
// ran late behind the paced machine) silence or the frame one ring lap
// earlier; at least one second matched.
TEST(KernelHost, TheHarnessClientStreamsAcrossProcesses) {
    hx::harness::HarnessOptions o;
    o.silenceTolerated = true;
    hx::harness::HarnessClient client(o);
    ASSERT_TRUE(client.start()) << client.lastError();
    client.run(2000000);
    client.stop();
    const hx::harness::HarnessReport r = client.report();
    EXPECT_EQ(r.transport, "process");
    EXPECT_GT(r.framesIn, 48000u);
    ASSERT_TRUE(r.latencyKnown);
    EXPECT_EQ(r.mismatches, 0u) << "first at input frame " << r.firstMismatch;
    EXPECT_TRUE(r.matched);
    EXPECT_GE(r.framesChecked - r.silentFrames - r.staleFrames, 48000u);
    EXPECT_EQ(std::count(r.stateChanges.begin(), r.stateChanges.end(), uint32_t(STC_STREAM_BROKEN)),
              0);
}

// ---- Bad input, on raw sockets

// A socket speaking the frames by hand.
struct Raw {
    int fd = -1;
    uint32_t sequence = 0;
    explicit Raw(const std::string& path) : fd(wire::connectTo(path)) {}
    ~Raw() {
        if (fd >= 0) ::close(fd);
    }
    bool send(uint16_t kind, const std::vector<uint8_t>& payload, int passFd = -1) {
        return wire::sendFrame(fd, kind, ++sequence, payload, passFd);
    }
    bool sendBytes(const std::vector<uint8_t>& bytes) {
        return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
    }
    // The reply's payload; false when the host closed the socket instead.
    bool reply(wire::Frame& f, int* passed = nullptr) {
        return wire::recvFrame(fd, f, passed) == wire::RecvResult::Frame;
    }
    bool closedByHost() {
        wire::Frame f;
        return wire::recvFrame(fd, f) == wire::RecvResult::End;
    }
};

// A raw session: its token and task, and one service handle.
struct RawSession : Raw {
    uint64_t token = 0;
    uint32_t task = 0;
    uint32_t service = 0;
    RawSession() : Raw(gHostPath) {
        wire::Writer w;
        w.u8(uint8_t(wire::Role::Session));
        wire::Frame f;
        int page = -1;
        if (!send(wire::kHello, w.data()) || !reply(f, &page)) return;
        if (page >= 0) ::close(page);
        wire::Reader r(f.payload);
        uint32_t kr = 0;
        r.u32(kr), r.u64(token), r.u32(task);
        wire::Writer m;
        CFMutableDictionaryRef matching = IOServiceMatching(kServiceClass);
        m.tree(matching);
        CFRelease(matching);
        if (!send(wire::kGetMatchingServices, m.data()) || !reply(f)) return;
        wire::Reader s(f.payload);
        uint32_t n = 0;
        s.u32(kr), s.u32(n), s.u32(service);
    }
    uint32_t call(uint16_t kind, const std::vector<uint8_t>& payload, wire::Frame* out = nullptr) {
        wire::Frame f;
        if (!send(kind, payload) || !reply(f)) return 0xDEAD;
        if (out) *out = f;
        wire::Reader r(f.payload);
        uint32_t kr = 0;
        r.u32(kr);
        return kr;
    }
    // Opens a connection of the type and binds a raw socket to it.
    std::unique_ptr<Raw> open(uint32_t type) {
        wire::Writer w;
        w.u32(service), w.u32(task), w.u32(type);
        wire::Frame f;
        if (call(wire::kOpen, w.data(), &f) != KERN_SUCCESS) return nullptr;
        wire::Reader r(f.payload);
        uint32_t kr = 0, connection = 0;
        r.u32(kr), r.u32(connection);
        auto c = std::make_unique<Raw>(gHostPath);
        wire::Writer h;
        h.u8(uint8_t(wire::Role::Connection)), h.u64(token), h.u32(connection);
        if (!c->send(wire::kHello, h.data()) || !c->reply(f)) return nullptr;
        return c;
    }
};

std::vector<uint8_t> u32s(std::initializer_list<uint32_t> words) {
    wire::Writer w;
    for (uint32_t v : words)
        w.u32(v);
    return std::move(w.data());
}

// One OSXDispatch request on a raw connection socket: the result (0xDEAD
// when no reply came), the record as answered.
uint32_t rawRequest(Raw& c, uint32_t req, OSXDispatch& rec) {
    rec.iReq = req;
    wire::CallRequest call;
    call.structInput.assign(reinterpret_cast<uint8_t*>(&rec),
                            reinterpret_cast<uint8_t*>(&rec) + sizeof rec);
    call.structOutputCapacity = sizeof rec;
    wire::Frame f;
    wire::CallReply reply;
    if (!c.send(wire::kCall, wire::encodeCall(call)) || !c.reply(f) ||
        !wire::decodeCallReply(f.payload, call, reply))
        return 0xDEAD;
    std::memcpy(&rec, reply.structOutput.data(), std::min(reply.structOutput.size(), sizeof rec));
    return uint32_t(reply.result);
}

// A raw connection's client takes a slot as a streaming one does (its ring
// mapped, Req 1, Req 2); the slot, or -1.
int attachRaw(Raw& c) {
    wire::Frame f;
    int ring = -1;
    if (!c.send(wire::kMap, u32s({kClientRingType})) || !c.reply(f, &ring) || ring < 0) return -1;
    ::close(ring); // the kernel keeps its own
    OSXDispatch rec{};
    if (rawRequest(c, 1, rec) != kIOReturnSuccess) return -1;
    rec = OSXDispatch{};
    rec.frameSize = 512;
    qnWriteU32(&rec, kOSXDispatchValueOffset, 1);
    if (rawRequest(c, 2, rec) != kIOReturnSuccess) return -1;
    return int(qnReadU32(&rec, kOSXDispatchValueOffset));
}

bool slotFree(const DriverSM* sm, int slot) {
    return audiosm::load64(&sm->mClients[slot].mClient) == 0;
}

// How many requests of the code the driver's clients finished, from the
// machine's statistics ("requestsServed code:count,..."); -1 when unread.
int64_t requestsServed(hx::iokit::MachineControlClient& control, uint32_t code) {
    std::string text;
    if (control.statistics(text) != kIOReturnSuccess) return -1;
    const std::string key = "requestsServed ";
    const size_t line = text.find(key);
    if (line == std::string::npos) return -1;
    const size_t start = line + key.size(), end = text.find('\n', start);
    const std::string entries =
        text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const std::string want = std::to_string(code) + ":";
    for (size_t at = 0; at < entries.size();) {
        if (entries.compare(at, want.size(), want) == 0)
            return std::strtoll(entries.c_str() + at + want.size(), nullptr, 10);
        const size_t next = entries.find(',', at);
        if (next == std::string::npos) break;
        at = next + 1;
    }
    return 0;
}

TEST(KernelHost, BadFramesCloseOnlyTheirSocket) {
    Streaming other;
    ASSERT_TRUE(other.started());
    RawSession session;
    ASSERT_NE(session.service, 0u);
    std::vector<uint8_t> good = wire::encodeFrame(wire::kPidForTask, 1, u32s({session.task}));
    auto with = [&](size_t at, uint8_t value) {
        auto b = good;
        b[at] = value;
        return b;
    };
    std::vector<uint8_t> longer = good;
    longer.push_back(0);
    const std::vector<uint8_t> truncated(good.begin(), good.begin() + 10);
    std::vector<uint8_t> oversize =
        wire::encodeFrame(wire::kPidForTask, 1, std::vector<uint8_t>(65537, 0));
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"garbage", std::vector<uint8_t>(40, 0xEE)},
        {"truncated header", truncated},
        {"wrong version", with(0, 2)},
        {"unknown kind", with(2, 99)},
        {"a connection's kind", wire::encodeFrame(wire::kCall, 1, {})},
        {"length the datagram disagrees with", longer},
        {"over 64 KiB", oversize},
        {"reserved kind", wire::encodeFrame(wire::kReservedPriorityPower, 1, {})},
        {"an unknown object question", wire::encodeFrame(wire::kObjectQuery, 1, {9, 1, 0, 0, 0})},
        {"a trap on the session", wire::encodeFrame(wire::kTrap, 1, u32s({0}))},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        RawSession s;
        ASSERT_NE(s.service, 0u);
        ASSERT_TRUE(s.sendBytes(k.bytes));
        EXPECT_TRUE(s.closedByHost());
    }
    {
        SCOPED_TRACE("a frame carrying a descriptor");
        RawSession s;
        const int fd = ::open("/dev/null", O_RDONLY);
        ASSERT_TRUE(s.send(wire::kPidForTask, u32s({s.task}), fd));
        ::close(fd);
        EXPECT_TRUE(s.closedByHost());
    }
    {
        SCOPED_TRACE("a property tree beyond its bounds");
        RawSession s;
        wire::Writer w;
        for (int i = 0; i < 20; ++i)
            w.u8(5), w.u32(1); // arrays 20 deep
        w.u8(4), w.u8(1);
        ASSERT_TRUE(s.send(wire::kGetMatchingServices, w.data()));
        EXPECT_TRUE(s.closedByHost());
    }
    // The first session is undisturbed, the other client's stream goes on.
    EXPECT_EQ(session.call(wire::kPidForTask, u32s({session.task})), uint32_t(KERN_SUCCESS));
    EXPECT_TRUE(other.goesOn());
    expectOwnClientWorks();
}

// A bad frame on a connection socket ends that connection: its client dies
// (its slot is free); the session, another client's stream and this
// process's own clients go on.
TEST(KernelHost, ABadFrameOnAConnectionSocketEndsOnlyItsClient) {
    Streaming other;
    ASSERT_TRUE(other.started());
    RawSession session;
    ASSERT_NE(session.service, 0u);
    const std::vector<uint8_t> good = wire::encodeFrame(wire::kCall, 1, {});
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"garbage", std::vector<uint8_t>(40, 0xEE)},
        {"truncated header", std::vector<uint8_t>(good.begin(), good.begin() + 6)},
        {"a session's kind", wire::encodeFrame(wire::kPidForTask, 1, u32s({session.task}))},
        {"a malformed call", wire::encodeFrame(wire::kCall, 1, {1, 2, 3})},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        auto c = session.open(kAudioClient);
        ASSERT_NE(c, nullptr);
        const int slot = attachRaw(*c);
        ASSERT_GE(slot, 0);
        ASSERT_LT(slot, 8);
        ASSERT_FALSE(slotFree(other.sm, slot));
        ASSERT_TRUE(c->sendBytes(k.bytes));
        EXPECT_TRUE(c->closedByHost());
        EXPECT_TRUE(waitFor([&] { return slotFree(other.sm, slot); }));
    }
    EXPECT_EQ(session.call(wire::kPidForTask, u32s({session.task})), uint32_t(KERN_SUCCESS));
    EXPECT_TRUE(other.goesOn());
    expectOwnClientWorks();
}

TEST(KernelHost, UnknownAndForeignHandlesAreInvalidDestinations) {
    RawSession a, b;
    ASSERT_NE(a.service, 0u);
    ASSERT_NE(b.service, 0u);
    const uint32_t invalid = uint32_t(MACH_SEND_INVALID_DEST);
    EXPECT_EQ(a.call(wire::kCopyProperties, u32s({0x7FFF})), invalid);
    EXPECT_EQ(a.call(wire::kRetainObject, u32s({0x7FFF})), invalid);
    EXPECT_EQ(a.call(wire::kReleaseObject, u32s({0x7FFF})), invalid);
    EXPECT_EQ(a.call(wire::kUnsubscribe, u32s({0x7FFF})), invalid);
    EXPECT_EQ(a.call(wire::kPidForTask, u32s({b.task})), invalid); // another session's task
    EXPECT_EQ(a.call(wire::kOpen, u32s({a.service, b.task, 0})), invalid);
    EXPECT_EQ(a.call(wire::kSubscribeInterest, u32s({0x7FFF, a.service, 1})),
              invalid); // no such port
    {
        wire::Writer q;
        q.u8(uint8_t(wire::ObjectQuery::IsEqual)), q.u32(a.service), q.u32(0x7FFF);
        EXPECT_EQ(a.call(wire::kObjectQuery, q.data()), invalid);
        wire::Writer it;
        it.u32(0x7FFF), it.u8(1), it.string("IOService");
        EXPECT_EQ(a.call(wire::kIterators, it.data()), invalid);
    }
    // Another session's service handle names nothing here, unless the
    // numbers happen to agree; a released one names nothing.
    ASSERT_EQ(a.call(wire::kReleaseObject, u32s({a.service})), uint32_t(KERN_SUCCESS));
    EXPECT_EQ(a.call(wire::kCopyProperties, u32s({a.service})), invalid);
    // An absent property is none.
    wire::Writer w;
    w.u32(b.service);
    w.string("NoSuchKey");
    wire::Frame f;
    ASSERT_EQ(b.call(wire::kCopyProperty, w.data(), &f), uint32_t(KERN_SUCCESS));
    EXPECT_EQ(f.payload.size(), 5u);
    EXPECT_EQ(f.payload[4], 0);
    // A connection socket for a connection of another session is refused.
    auto mine = b.open(kAudioClient);
    ASSERT_NE(mine, nullptr);
}

TEST(KernelHost, ConnectionFramesAfterCloseAndOverLimitCalls) {
    RawSession s;
    ASSERT_NE(s.service, 0u);
    auto c = s.open(kAudioClient);
    ASSERT_NE(c, nullptr);
    // The host checks the limits again: 17 scalars never reach the kernel.
    wire::CallRequest call;
    call.scalars.assign(17, 0);
    wire::Frame f;
    ASSERT_TRUE(c->send(wire::kCall, wire::encodeCall(call)));
    ASSERT_TRUE(c->reply(f));
    uint32_t result = 0;
    wire::Reader(f.payload).u32(result);
    EXPECT_EQ(result, uint32_t(kIOReturnBadArgument));
    // Memory crosses sealed: the receiver cannot resize it.
    ASSERT_TRUE(c->send(wire::kMap, u32s({kDriverSMType})));
    int fd = -1;
    ASSERT_TRUE(c->reply(f, &fd));
    ASSERT_GE(fd, 0);
    EXPECT_NE(::ftruncate(fd, 0), 0);
    EXPECT_NE(::ftruncate(fd, 1 << 20), 0);
    ::close(fd);
    // Unmapping what is not mapped.
    wire::Writer u;
    u.u32(kDriverSMType), u.u64(0x1000);
    ASSERT_TRUE(c->send(wire::kUnmap, u.data()));
    ASSERT_TRUE(c->reply(f));
    wire::Reader(f.payload).u32(result);
    EXPECT_EQ(result, uint32_t(kIOReturnBadArgument));
    ASSERT_TRUE(c->send(wire::kClose, {}));
    ASSERT_TRUE(c->reply(f));
    wire::Reader(f.payload).u32(result);
    EXPECT_EQ(result, uint32_t(KERN_SUCCESS));
    ASSERT_TRUE(c->send(wire::kCall, wire::encodeCall(wire::CallRequest{})));
    ASSERT_TRUE(c->reply(f));
    wire::Reader(f.payload).u32(result);
    EXPECT_EQ(result, uint32_t(MACH_SEND_INVALID_DEST));
}

TEST(KernelHost, ACloseDuringADelayedCallEndsOnlyThatConnection) {
    Streaming other;
    ASSERT_TRUE(other.started());
    hx::iokit::MachineControlClient control;
    ASSERT_TRUE(control.connect(gHostPath));
    RawSession s;
    auto c = s.open(kAudioClient);
    ASSERT_NE(c, nullptr);
    const int slot = attachRaw(*c);
    ASSERT_GE(slot, 0);
    ASSERT_LT(slot, 8);
    ASSERT_FALSE(slotFree(other.sm, slot));
    const int64_t served = requestsServed(control, 13);
    ASSERT_GE(served, 0);
    ASSERT_EQ(control.fault("control-delay-ms", 300), kIOReturnSuccess);
    OSXDispatch rec{};
    rec.iReq = 13;
    wire::CallRequest call;
    call.structInput.assign(reinterpret_cast<uint8_t*>(&rec),
                            reinterpret_cast<uint8_t*>(&rec) + sizeof rec);
    call.structOutputCapacity = sizeof rec;
    ASSERT_TRUE(c->send(wire::kCall, wire::encodeCall(call)));
    c.reset(); // gone while the call waits on the device
    // The call still finishes, then the connection's client dies: its slot
    // is free.
    EXPECT_TRUE(waitFor([&] { return requestsServed(control, 13) == served + 1; }))
        << "served " << served << " then " << requestsServed(control, 13);
    ASSERT_EQ(control.fault("control-delay-ms", 0), kIOReturnSuccess);
    EXPECT_TRUE(waitFor([&] { return slotFree(other.sm, slot); }));
    EXPECT_TRUE(other.goesOn());
    expectOwnClientWorks();
}

TEST(KernelHost, ANotificationSocketTakesNoFrames) {
    Streaming other;
    ASSERT_TRUE(other.started());
    RawSession s;
    Raw port(gHostPath);
    wire::Writer h;
    h.u8(uint8_t(wire::Role::Port)), h.u64(s.token);
    wire::Frame f;
    ASSERT_TRUE(port.send(wire::kHello, h.data()));
    ASSERT_TRUE(port.reply(f));
    ASSERT_TRUE(port.send(wire::kPidForTask, u32s({s.task})));
    EXPECT_TRUE(port.closedByHost());
    // A port or connection socket naming no session is refused.
    Raw stray(gHostPath);
    wire::Writer bad;
    bad.u8(uint8_t(wire::Role::Port)), bad.u64(s.token ^ 1);
    ASSERT_TRUE(stray.send(wire::kHello, bad.data()));
    EXPECT_TRUE(stray.closedByHost());
    EXPECT_EQ(s.call(wire::kPidForTask, u32s({s.task})), uint32_t(KERN_SUCCESS));
    EXPECT_TRUE(other.goesOn());
}

TEST(KernelHost, TheSocketAfterAProcesssLimitIsRefused) {
    Streaming other;
    ASSERT_TRUE(other.started());
    std::vector<std::unique_ptr<Raw>> held;
    int answered = 0;
    bool refused = false;
    for (int i = 0; i < 300 && !refused; ++i) {
        auto r = std::make_unique<Raw>(gHostPath);
        wire::Writer w;
        w.u8(uint8_t(wire::Role::Control));
        wire::Frame f;
        if (r->send(wire::kHello, w.data()) && r->reply(f))
            ++answered;
        else
            refused = true;
        held.push_back(std::move(r));
    }
    EXPECT_TRUE(refused);
    EXPECT_LE(answered, 256);
    EXPECT_GT(answered, 200);    // this process's transport holds the rest
    EXPECT_TRUE(other.goesOn()); // while the host refuses this process
    held.clear();
    // Room again once they are gone (the host notices their ends).
    bool again = false;
    for (int i = 0; i < 200 && !again; ++i) {
        Raw r(gHostPath);
        wire::Writer w;
        w.u8(uint8_t(wire::Role::Control));
        wire::Frame f;
        again = r.send(wire::kHello, w.data()) && r.reply(f);
        if (!again) ::usleep(10000);
    }
    EXPECT_TRUE(again);
    EXPECT_TRUE(other.goesOn());
}

// Last: the host goes. Calls then answer MACH_SEND_INVALID_DEST, mappings
// made stay valid.
TEST(KernelHost, ZLostHostEndsCallsButNotMappings) {
    io_service_t service = firstService();
    ASSERT_NE(service, 0u);
    io_connect_t c = openAudioClient(service);
    ASSERT_NE(c, 0u);
    mach_vm_address_t a = 0;
    mach_vm_size_t size = 0;
    ASSERT_EQ(IOConnectMapMemory64(c, kDriverSMType, mach_task_self(), &a, &size, kIOMapAnywhere),
              KERN_SUCCESS);
    ::kill(gHostPid, SIGKILL);
    ::waitpid(gHostPid, nullptr, 0);
    gHostPid = -1;
    OSXDispatch rec{};
    size_t outSize = 0;
    EXPECT_EQ(request(c, 27, rec, &outSize), MACH_SEND_INVALID_DEST);
    EXPECT_EQ(IORegistryEntryCreateCFProperty(service, CFSTR("deviceUID"), nullptr, 0), nullptr);
    io_iterator_t it = 0;
    EXPECT_EQ(IOServiceGetMatchingServices(0, IOServiceMatching(kServiceClass), &it),
              MACH_SEND_INVALID_DEST);
    EXPECT_EQ(reinterpret_cast<const DriverSM*>(a)->mVendor, 0x2F4B);
}

// ---- The children's parts (run only as children)

TEST(ChildRole, WritesTypeOne) {
    if (!isChild()) GTEST_SKIP() << "run by KernelHost.TwoProcessesSeeEachOthersWritesToTypeOne";
    io_service_t service = firstService();
    ASSERT_NE(service, 0u);
    io_connect_t c = openAudioClient(service);
    ASSERT_NE(c, 0u);
    mach_vm_address_t a = 0;
    mach_vm_size_t size = 0;
    ASSERT_EQ(IOConnectMapMemory64(c, kDriverSMType, mach_task_self(), &a, &size, kIOMapAnywhere),
              KERN_SUCCESS);
    auto* user = reinterpret_cast<volatile uint8_t*>(a + kClientSlotUser);
    user[0] = 0xA5;
    std::printf("READY\n");
    std::fflush(stdout);
    // The parent's write, seen through this process's own mapping.
    for (int i = 0; i < 4000 && user[1] != 0x5A; ++i)
        ::usleep(5000);
    std::printf("SAW %x\n", unsigned(user[1]));
    std::fflush(stdout);
    IOServiceClose(c);
}

TEST(ChildRole, AttachesARing) {
    if (!isChild())
        GTEST_SKIP() << "run by KernelHost.AnAttachedProcessKilledFreesItsSlotAndOthersHearIt";
    io_service_t service = firstService();
    ASSERT_NE(service, 0u);
    io_connect_t c = openAudioClient(service);
    ASSERT_NE(c, 0u);
    mach_vm_address_t sm = 0, ring = 0;
    mach_vm_size_t size = 0;
    ASSERT_EQ(IOConnectMapMemory64(c, kDriverSMType, mach_task_self(), &sm, &size, kIOMapAnywhere),
              KERN_SUCCESS);
    ASSERT_EQ(
        IOConnectMapMemory64(c, kClientRingType, mach_task_self(), &ring, &size, kIOMapAnywhere),
        KERN_SUCCESS);
    const QnChannelSettings cs{48000, 2, 24, 2, 24, 0};
    std::memcpy(reinterpret_cast<uint8_t*>(sm) + offsetof(DriverSM, mChannelSettings), &cs,
                sizeof cs);
    OSXDispatch rec{};
    size_t outSize = 0;
    ASSERT_EQ(request(c, 1, rec, &outSize), kIOReturnSuccess);
    rec = OSXDispatch{};
    rec.frameSize = 512;
    qnWriteU32(&rec, kOSXDispatchValueOffset, 1);
    ASSERT_EQ(request(c, 2, rec, &outSize), kIOReturnSuccess);
    const uint32_t slot = qnReadU32(&rec, kOSXDispatchValueOffset);
    // The inputs and outputs taken exclusively: the owner words name this
    // client until it dies.
    for (uint32_t code : {30u, 32u}) {
        uint32_t value = 1;
        ASSERT_EQ(dispatch(c, code, value), kIOReturnSuccess);
        ASSERT_EQ(value, 1u);
    }
    rec = OSXDispatch{};
    ASSERT_EQ(request(c, 27, rec, &outSize), kIOReturnSuccess);
    std::printf("READY %u %llx\n", slot,
                static_cast<unsigned long long>(qnReadU64(&rec, kOSXDispatchValueOffset)));
    std::fflush(stdout);
    for (;;)
        ::pause(); // killed by the parent
}

TEST(ChildRole, HearsStateChanges) {
    if (!isChild())
        GTEST_SKIP() << "run by KernelHost.AnAttachedProcessKilledFreesItsSlotAndOthersHearIt";
    io_service_t service = firstService();
    ASSERT_NE(service, 0u);
    IONotificationPortRef port = IONotificationPortCreate(0);
    ASSERT_NE(port, nullptr);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                       kCFRunLoopDefaultMode);
    Seen seen;
    io_object_t interest = 0;
    ASSERT_EQ(IOServiceAddInterestNotification(port, service, kIOGeneralInterest, onInterest, &seen,
                                               &interest),
              KERN_SUCCESS);
    std::printf("READY\n");
    std::fflush(stdout);
    // Every change through the first detach, in the order heard.
    runUntil([&] {
        return std::find(seen.stateChanges.begin(), seen.stateChanges.end(),
                         uint32_t(STC_ClientDetached)) != seen.stateChanges.end();
    });
    std::string text;
    for (uint32_t code : seen.stateChanges) {
        text += (text.empty() ? "" : ",") + std::to_string(code);
        if (code == uint32_t(STC_ClientDetached)) break;
    }
    std::printf("HEARD %s\n", text.c_str());
    std::fflush(stdout);
    IOObjectRelease(interest);
    IONotificationPortDestroy(port);
    IOObjectRelease(service);
}

} // namespace
