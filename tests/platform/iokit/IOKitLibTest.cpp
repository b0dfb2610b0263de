// The user-side IOKit calls over the in-process transport, against a small
// kernel fixture: a published service with a user client. Discovery and
// notifications on a run loop, calls with their limits, shared memory across
// two simulated processes, and the checks the user side makes itself.
#include "platform/iokit/IOKitLib.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/base/HXClock.h"
#include "platform/cf/CFNumber.h"
#include "platform/base/HXLog.h"
#include "platform/iokit/HXIOKit.h"
#include "platform/iokit/KernelHost.h"
#include "platform/iokit/KernelHostWire.h"
#include "platform/iokit/ProcessTransport.h"
#include "platform/iokit/WireSocket.h"
#include "platform/kern/IOUserConnection.h"

namespace {

std::atomic<int> gCalls{0};
std::atomic<int> gInside{0};
std::atomic<int> gOverlaps{0};
std::atomic<uint64_t> gWakePort{0};
std::atomic<uint64_t> gFirstReference{0};

// A nub user space finds by class; it refuses connection type 4.
class IOKitTestNub : public IOService {
    OSDeclareDefaultStructors(IOKitTestNub) public
        : IOReturn newUserClient(task_t task, void* sid, UInt32 type, OSDictionary*,
                                 IOUserClient** handler) override;
    IOBufferMemoryDescriptor* area(UInt32 type) {
        IOBufferMemoryDescriptor*& a = type == 1 ? mSmall : mLarge;
        if (!a)
            a = IOBufferMemoryDescriptor::withOptions(kIOMemoryKernelUserShared,
                                                      type == 1 ? 30744 : 540656, 4096);
        return a;
    }

protected:
    void free() override {
        if (mSmall) mSmall->release();
        if (mLarge) mLarge->release();
        IOService::free();
    }

private:
    IOBufferMemoryDescriptor* mSmall = nullptr;
    IOBufferMemoryDescriptor* mLarge = nullptr;
};

class IOKitTestClient : public IOUserClient {
    OSDeclareDefaultStructors(IOKitTestClient) public : IOReturn clientClose() override {
        terminate(0);
        return kIOReturnSuccess;
    }
    IOReturn clientMemoryForType(UInt32 type, IOOptionBits*, IOMemoryDescriptor** memory) override {
        *memory = nullptr;
        if (type != 1 && type != 4) return kIOReturnUnsupported;
        IOBufferMemoryDescriptor* a = static_cast<IOKitTestNub*>(getProvider())->area(type);
        a->retain();
        *memory = a;
        return kIOReturnSuccess;
    }
    IOReturn externalMethod(uint32_t selector, IOExternalMethodArguments* args,
                            IOExternalMethodDispatch*, OSObject*, void*) override {
        static IOExternalMethodDispatch table[] = {
            {&IOKitTestClient::echo, 0, kIOUCVariableStructureSize, 0, kIOUCVariableStructureSize},
            {&IOKitTestClient::fail, 0, kIOUCVariableStructureSize, 0, kIOUCVariableStructureSize},
            {&IOKitTestClient::slow, 0, 0, 0, 0},
            {&IOKitTestClient::async, 1, 0, 1, 0},
        };
        ++gCalls;
        if (selector >= 4) return kIOReturnUnsupported;
        return IOUserClient::externalMethod(selector, args, &table[selector], this, nullptr);
    }
    // Answers 1,540 bytes whatever it was given, the first byte changed.
    static IOReturn echo(OSObject*, void*, IOExternalMethodArguments* a) {
        if (a->structureOutputSize < 1540) return kIOReturnBadArgument;
        static_cast<uint8_t*>(a->structureOutput)[0] ^= 0xFF;
        a->structureOutputSize = 1540;
        return kIOReturnSuccess;
    }
    static IOReturn fail(OSObject*, void*, IOExternalMethodArguments* a) {
        std::memset(a->structureOutput, 0x77, a->structureOutputSize);
        return kIOReturnNotReady;
    }
    static IOReturn slow(OSObject*, void*, IOExternalMethodArguments*) {
        if (++gInside > 1) ++gOverlaps;
        hx::clock::sleepFor(2000000);
        --gInside;
        return kIOReturnSuccess;
    }
    static IOReturn async(OSObject*, void*, IOExternalMethodArguments* a) {
        gWakePort = a->asyncWakePort;
        gFirstReference = a->asyncReferenceCount ? a->asyncReference[0] : 0;
        a->scalarOutput[0] = a->scalarInput[0] + 1;
        return kIOReturnSuccess;
    }
};

OSDefineMetaClassAndStructors(IOKitTestNub, IOService)
    OSDefineMetaClassAndStructors(IOKitTestClient, IOUserClient)

        IOReturn IOKitTestNub::newUserClient(task_t task, void* sid, UInt32 type, OSDictionary*,
                                             IOUserClient** handler) {
    if (type != 0) return kIOReturnBadArgument;
    auto* c = new IOKitTestClient;
    if (!c->initWithTask(task, sid, type) || !c->start(this)) {
        c->release();
        return kIOReturnBadArgument;
    }
    *handler = c;
    return kIOReturnSuccess;
}

IOKitTestNub* publish(const char* uid) {
    auto* nub = new IOKitTestNub;
    EXPECT_TRUE(nub->init());
    nub->setProperty("deviceUID", uid);
    OSDictionary* settings = OSDictionary::withCapacity(6);
    const char* keys[] = {"SampleRate",  "InChannels",    "InResolution",
                          "OutChannels", "OutResolution", "Flags"};
    const unsigned values[] = {48000, 2, 24, 2, 24, 0};
    for (int i = 0; i < 6; ++i) {
        OSNumber* n = OSNumber::withNumber(values[i], 32);
        settings->setObject(keys[i], n);
        n->release();
    }
    nub->setProperty("ChannelSettings", settings);
    settings->release();
    nub->registerService(kIOServiceSynchronous);
    return nub;
}

void unpublish(IOKitTestNub* nub) {
    nub->terminate();
    hx::kern::waitQuiet();
    nub->release();
}

// Runs what the current loop has pending (in process, a record is queued by
// the time the kernel call that sent it returns).
void runPending() {
    for (int i = 0; i < 3; ++i)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
}

// Runs the current loop until done() or a generous bound of passes.
template <typename Pred> void runUntil(Pred done) {
    for (int i = 0; i < 2000 && !done(); ++i)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.005, false);
}

std::string text(CFTypeRef v) {
    char buf[128] = {};
    if (!v || CFGetTypeID(v) != CFStringGetTypeID()) return {};
    CFStringGetCString(CFStringRef(v), buf, sizeof buf, kCFStringEncodingUTF8);
    return buf;
}

struct IOKitLib : ::testing::Test {
    void SetUp() override {
        nub = publish("HX-UID-1");
        port = IONotificationPortCreate(0);
        ASSERT_NE(port, nullptr);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                           kCFRunLoopDefaultMode);
    }
    void TearDown() override {
        IONotificationPortDestroy(port);
        if (nub) unpublish(nub);
        hx::iokit::setMapSizeShortfall(0);
    }
    io_service_t find() {
        io_iterator_t it = 0;
        EXPECT_EQ(IOServiceGetMatchingServices(0, IOServiceMatching("IOKitTestNub"), &it),
                  KERN_SUCCESS);
        io_service_t s = IOIteratorNext(it);
        EXPECT_EQ(IOIteratorNext(it), 0u);
        IOObjectRelease(it);
        return s;
    }
    io_connect_t open(io_service_t s, task_t task = mach_task_self()) {
        io_connect_t c = 0;
        EXPECT_EQ(IOServiceOpen(s, task, 0, &c), KERN_SUCCESS);
        return c;
    }
    IOKitTestNub* nub = nullptr;
    IONotificationPortRef port = nullptr;
};

TEST_F(IOKitLib, MatchingFindsTheServiceAndReadsItsProperties) {
    io_service_t s = find();
    ASSERT_NE(s, 0u);
    CFTypeRef uid = IORegistryEntryCreateCFProperty(s, CFSTR("deviceUID"), nullptr, 0);
    EXPECT_EQ(text(uid), "HX-UID-1");
    CFRelease(uid);
    EXPECT_EQ(IORegistryEntryCreateCFProperty(s, CFSTR("NoSuchKey"), nullptr, 0), nullptr);
    CFMutableDictionaryRef all = nullptr;
    ASSERT_EQ(IORegistryEntryCreateCFProperties(s, &all, nullptr, 0), KERN_SUCCESS);
    auto settings = CFDictionaryRef(CFDictionaryGetValue(all, CFSTR("ChannelSettings")));
    ASSERT_NE(settings, nullptr);
    ASSERT_EQ(CFGetTypeID(settings), CFDictionaryGetTypeID());
    EXPECT_EQ(CFDictionaryGetCount(settings), 6);
    int rate = 0;
    CFNumberGetValue(CFNumberRef(CFDictionaryGetValue(settings, CFSTR("SampleRate"))),
                     kCFNumberSInt32Type, &rate);
    EXPECT_EQ(rate, 48000);
    CFRelease(all);

    // A held handle keeps the properties readable after termination.
    unpublish(nub);
    nub = nullptr;
    uid = IORegistryEntryCreateCFProperty(s, CFSTR("deviceUID"), nullptr, 0);
    EXPECT_EQ(text(uid), "HX-UID-1");
    CFRelease(uid);
    EXPECT_EQ(IOObjectRelease(s), KERN_SUCCESS);
    EXPECT_EQ(IOObjectRelease(s), MACH_SEND_INVALID_DEST);
    EXPECT_EQ(IORegistryEntryCreateCFProperty(s, CFSTR("deviceUID"), nullptr, 0), nullptr);
}

TEST_F(IOKitLib, MatchingWithoutAKnownKeyFindsNothing) {
    CFMutableDictionaryRef m = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                         &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(m, CFSTR("Whatever"), CFSTR("IOKitTestNub"));
    io_iterator_t it = 0;
    ASSERT_EQ(IOServiceGetMatchingServices(0, m, &it), KERN_SUCCESS);
    EXPECT_EQ(IOIteratorNext(it), 0u);
    IOObjectRelease(it);
    io_iterator_t n = 0;
    EXPECT_EQ(IOServiceAddMatchingNotification(port, "IOServiceMatched",
                                               IOServiceMatching("IOKitTestNub"), nullptr, nullptr,
                                               &n),
              kIOReturnUnsupported);
}

struct Seen {
    int callbacks = 0;
    bool drain = true;
    std::vector<std::string> uids;
    std::vector<uint32_t> messages;
    std::vector<std::vector<uint8_t>> arguments;
    io_object_t releaseOnFirst = 0;
};

void drainInto(Seen& seen, io_iterator_t it) {
    while (io_service_t s = IOIteratorNext(it)) {
        CFTypeRef uid = IORegistryEntryCreateCFProperty(s, CFSTR("deviceUID"), nullptr, 0);
        seen.uids.push_back(text(uid));
        if (uid) CFRelease(uid);
        IOObjectRelease(s);
    }
}

void onMatch(void* refCon, io_iterator_t it) {
    auto* seen = static_cast<Seen*>(refCon);
    ++seen->callbacks;
    if (seen->drain) drainInto(*seen, it);
}

void onInterest(void* refCon, io_service_t, natural_t type, void* argument) {
    auto* seen = static_cast<Seen*>(refCon);
    ++seen->callbacks;
    seen->messages.push_back(type);
    if (argument && type == 0xE0000130) {
        const auto* b = static_cast<const uint8_t*>(argument);
        seen->arguments.emplace_back(b, b + 36);
    }
    if (seen->releaseOnFirst) {
        EXPECT_EQ(IOObjectRelease(seen->releaseOnFirst), KERN_SUCCESS);
        seen->releaseOnFirst = 0;
    }
}

TEST_F(IOKitLib, PublishArmsAfterDrainingAndTerminateFollowsTheMessages) {
    Seen published, terminated, interest;
    io_iterator_t pub = 0, term = 0;
    ASSERT_EQ(IOServiceAddMatchingNotification(port, kIOPublishNotification,
                                               IOServiceMatching("IOKitTestNub"), onMatch,
                                               &published, &pub),
              KERN_SUCCESS);
    ASSERT_EQ(IOServiceAddMatchingNotification(port, kIOTerminatedNotification,
                                               IOServiceMatching("IOKitTestNub"), onMatch,
                                               &terminated, &term),
              KERN_SUCCESS);
    drainInto(terminated, term);
    // The iterator first holds what is published; a second service before
    // draining calls nothing.
    IOKitTestNub* second = publish("HX-UID-2");
    runPending();
    EXPECT_EQ(published.callbacks, 0);
    drainInto(published, pub);
    EXPECT_EQ(published.uids, (std::vector<std::string>{"HX-UID-1", "HX-UID-2"}));

    // Armed: the third arrives through the callback; the callback leaves it
    // undrained, so a fourth calls nothing more.
    published.drain = false;
    IOKitTestNub* third = publish("HX-UID-3");
    runUntil([&] { return published.callbacks == 1; });
    IOKitTestNub* fourth = publish("HX-UID-4");
    runPending();
    EXPECT_EQ(published.callbacks, 1);
    drainInto(published, pub);
    EXPECT_EQ(published.uids.size(), 4u);
    EXPECT_EQ(published.uids[3], "HX-UID-4");

    io_iterator_t all = 0;
    IOServiceGetMatchingServices(0, IOServiceMatching("IOKitTestNub"), &all);
    io_service_t firstNub = IOIteratorNext(all);
    for (io_service_t rest; (rest = IOIteratorNext(all)) != 0;)
        IOObjectRelease(rest);
    IOObjectRelease(all);
    io_object_t note = 0;
    ASSERT_EQ(IOServiceAddInterestNotification(port, firstNub, kIOGeneralInterest, onInterest,
                                               &interest, &note),
              KERN_SUCCESS);
    uint8_t change[36] = {};
    change[0] = 0xFF, change[1] = 0xFF, change[2] = 0xFF, change[3] = 0xFF;
    nub->messageClients(0xE0000130, change, sizeof change);
    unpublish(nub);
    nub = nullptr;
    runUntil([&] { return terminated.callbacks == 1 && interest.messages.size() == 2; });
    EXPECT_EQ(interest.messages, (std::vector<uint32_t>{0xE0000130, 0xE0000010}));
    ASSERT_EQ(interest.arguments.size(), 1u);
    EXPECT_EQ(interest.arguments[0][0], 0xFF);
    EXPECT_EQ(terminated.uids, (std::vector<std::string>{"HX-UID-1"}));
    // Still readable through the held handle.
    CFTypeRef uid = IORegistryEntryCreateCFProperty(firstNub, CFSTR("deviceUID"), nullptr, 0);
    EXPECT_EQ(text(uid), "HX-UID-1");
    CFRelease(uid);
    IOObjectRelease(note);
    IOObjectRelease(firstNub);
    IOObjectRelease(pub);
    IOObjectRelease(term);
    unpublish(second);
    unpublish(third);
    unpublish(fourth);
}

// Two ports in two loops see one service's messages in send order; a
// callback that releases its own notification hears nothing more.
TEST_F(IOKitLib, InterestReachesTwoPortsInSendOrder) {
    io_service_t s = find();
    Seen here, there, once;
    io_object_t a = 0, c = 0;
    ASSERT_EQ(IOServiceAddInterestNotification(port, s, kIOGeneralInterest, onInterest, &here, &a),
              KERN_SUCCESS);
    ASSERT_EQ(IOServiceAddInterestNotification(port, s, kIOGeneralInterest, onInterest, &once, &c),
              KERN_SUCCESS);
    once.releaseOnFirst = c;
    std::atomic<bool> ready{false};
    std::thread other([&] {
        IONotificationPortRef p2 = IONotificationPortCreate(0);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(p2),
                           kCFRunLoopCommonModes);
        io_object_t b = 0;
        EXPECT_EQ(
            IOServiceAddInterestNotification(p2, s, kIOGeneralInterest, onInterest, &there, &b),
            KERN_SUCCESS);
        ready = true;
        for (int i = 0; i < 4000 && there.arguments.size() < 20; ++i)
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.005, false);
        IOObjectRelease(b);
        IONotificationPortDestroy(p2);
    });
    while (!ready)
        std::this_thread::yield();
    for (uint8_t i = 0; i < 20; ++i) {
        uint8_t change[36] = {};
        change[4] = i;
        nub->messageClients(0xE0000130, change, sizeof change);
    }
    runUntil([&] { return here.arguments.size() == 20; });
    other.join();
    ASSERT_EQ(here.arguments.size(), 20u);
    ASSERT_EQ(there.arguments.size(), 20u);
    for (uint8_t i = 0; i < 20; ++i) {
        EXPECT_EQ(here.arguments[i][4], i);
        EXPECT_EQ(there.arguments[i][4], i);
        EXPECT_EQ(there.arguments[i].size(), 36u);
    }
    EXPECT_EQ(once.callbacks, 1);
    EXPECT_EQ(IOObjectRelease(c), MACH_SEND_INVALID_DEST);
    IOObjectRelease(a);
    IOObjectRelease(s);
}

TEST_F(IOKitLib, CallsKeepTheirLimitsAndLeaveFailedOutputsAlone) {
    io_service_t s = find();
    io_connect_t refused = 0;
    EXPECT_EQ(IOServiceOpen(s, mach_task_self(), 4, &refused), kIOReturnBadArgument);
    io_connect_t c = open(s);
    std::vector<uint8_t> in(1548, 0x11), out(1548, 0);
    size_t outSize = out.size();
    ASSERT_EQ(IOConnectCallStructMethod(c, 0, in.data(), in.size(), out.data(), &outSize),
              KERN_SUCCESS);
    EXPECT_EQ(outSize, 1540u);
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(out[1], 0x11);

    std::vector<uint8_t> kept(64, 0x42);
    size_t keptSize = kept.size();
    EXPECT_EQ(IOConnectCallStructMethod(c, 1, in.data(), 64, kept.data(), &keptSize),
              kIOReturnNotReady);
    EXPECT_EQ(keptSize, 64u);
    EXPECT_EQ(kept[0], 0x42);

    const int before = gCalls;
    std::vector<uint64_t> scalars(17, 1);
    uint32_t none = 0;
    EXPECT_EQ(IOConnectCallScalarMethod(c, 0, scalars.data(), 17, nullptr, &none),
              kIOReturnBadArgument);
    std::vector<uint8_t> big(4097, 0);
    size_t bigOut = 0;
    EXPECT_EQ(IOConnectCallStructMethod(c, 0, big.data(), big.size(), nullptr, &bigOut),
              kIOReturnBadArgument);
    EXPECT_EQ(gCalls, before); // the kernel untouched

    uint64_t ref[8] = {0xABCDEF, 2, 3};
    uint64_t x = 41, y = 0;
    uint32_t yCount = 1;
    ASSERT_EQ(IOConnectCallAsyncScalarMethod(c, 3, 0x5151, ref, 3, &x, 1, &y, &yCount),
              KERN_SUCCESS);
    EXPECT_EQ(y, 42u);
    EXPECT_EQ(gWakePort, 0x5151u);
    EXPECT_EQ(gFirstReference, 0xABCDEFu);

    EXPECT_EQ(IOServiceClose(c), KERN_SUCCESS);
    EXPECT_EQ(IOConnectCallStructMethod(c, 0, in.data(), in.size(), out.data(), &outSize),
              MACH_SEND_INVALID_DEST);
    EXPECT_EQ(IOServiceClose(c), MACH_SEND_INVALID_DEST);
    IOObjectRelease(s);
}

TEST_F(IOKitLib, CallsOnOneConnectionRunOneAtATime) {
    io_service_t s = find();
    io_connect_t c = open(s);
    gOverlaps = 0;
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i)
        callers.emplace_back([c] {
            for (int k = 0; k < 5; ++k)
                EXPECT_EQ(IOConnectCallScalarMethod(c, 2, nullptr, 0, nullptr, nullptr), 0);
        });
    for (auto& t : callers)
        t.join();
    EXPECT_EQ(gOverlaps, 0);
    IOServiceClose(c);
    IOObjectRelease(s);
}

TEST_F(IOKitLib, MappingsAreExactSharedAndOutliveTheConnection) {
    io_service_t s = find();
    const task_t other = hx::kern::createTask(7001, "OtherProcess", 501);
    io_connect_t mine = open(s), theirs = open(s, other);
    int pid = 0;
    ASSERT_EQ(pid_for_task(other, &pid), KERN_SUCCESS);
    EXPECT_EQ(pid, 7001);
    mach_vm_address_t a = 0, b = 0, large = 0;
    mach_vm_size_t sa = 0, sb = 0, sl = 0;
    ASSERT_EQ(IOConnectMapMemory64(mine, 1, mach_task_self(), &a, &sa, kIOMapAnywhere),
              KERN_SUCCESS);
    ASSERT_EQ(IOConnectMapMemory64(theirs, 1, other, &b, &sb, kIOMapAnywhere), KERN_SUCCESS);
    ASSERT_EQ(IOConnectMapMemory64(mine, 4, mach_task_self(), &large, &sl, kIOMapAnywhere),
              KERN_SUCCESS);
    EXPECT_EQ(sa, 30744u);
    EXPECT_EQ(sb, 30744u);
    EXPECT_EQ(sl, 540656u);
    EXPECT_NE(a, b);
    reinterpret_cast<volatile uint8_t*>(a)[30743] = 0x5A;
    EXPECT_EQ(reinterpret_cast<volatile uint8_t*>(b)[30743], 0x5A);
    reinterpret_cast<volatile uint8_t*>(b)[0] = 0xA5;
    EXPECT_EQ(reinterpret_cast<volatile uint8_t*>(a)[0], 0xA5);

    vm_address_t small = 0;
    vm_size_t smallSize = 0;
    EXPECT_EQ(IOConnectMapMemory(mine, 2, mach_task_self(), &small, &smallSize, kIOMapAnywhere),
              kIOReturnUnsupported);
    hx::iokit::setMapSizeShortfall(4);
    mach_vm_address_t c = 0;
    mach_vm_size_t sc = 0;
    ASSERT_EQ(IOConnectMapMemory64(mine, 1, mach_task_self(), &c, &sc, kIOMapAnywhere),
              KERN_SUCCESS);
    EXPECT_EQ(sc, 30740u);
    EXPECT_EQ(IOConnectUnmapMemory64(mine, 1, mach_task_self(), c), KERN_SUCCESS);
    EXPECT_EQ(IOConnectUnmapMemory64(mine, 1, mach_task_self(), c), kIOReturnBadArgument);

    // Mappings are the task's: they outlive the connection.
    IOServiceClose(mine);
    IOServiceClose(theirs);
    reinterpret_cast<volatile uint8_t*>(a)[1] = 0x33;
    EXPECT_EQ(reinterpret_cast<volatile uint8_t*>(b)[1], 0x33);
    hx::kern::killTask(other);
    IOObjectRelease(s);
}

// A simulated process dies while attached (the task hook): its connection
// answers nothing more, and another process's connection and mapping go on.
TEST_F(IOKitLib, ADeadProcessEndsOnlyItsOwnConnections) {
    io_service_t s = find();
    const task_t doomed = hx::kern::createTask(7002, "DoomedProcess", 501);
    io_connect_t theirs = open(s, doomed), mine = open(s);
    mach_vm_address_t a = 0;
    mach_vm_size_t size = 0;
    ASSERT_EQ(IOConnectMapMemory64(mine, 1, mach_task_self(), &a, &size, kIOMapAnywhere),
              KERN_SUCCESS);
    hx::kern::killTask(doomed);
    EXPECT_EQ(hx::kern::taskConnectionCount(doomed), 0u);
    EXPECT_EQ(IOConnectCallScalarMethod(theirs, 2, nullptr, 0, nullptr, nullptr),
              MACH_SEND_INVALID_DEST);
    EXPECT_EQ(IOConnectCallScalarMethod(mine, 2, nullptr, 0, nullptr, nullptr), KERN_SUCCESS);
    reinterpret_cast<volatile uint8_t*>(a)[100] = 0x11;
    EXPECT_EQ(static_cast<uint8_t*>(nub->area(1)->getBytesNoCopy())[100], 0x11);
    int pid = 0;
    EXPECT_EQ(pid_for_task(doomed, &pid), MACH_SEND_INVALID_DEST);
    EXPECT_EQ(IOServiceClose(theirs), MACH_SEND_INVALID_DEST);
    IOServiceClose(mine);
    IOObjectRelease(s);
}

TEST_F(IOKitLib, UnknownNamesAnswerInvalidDestination) {
    io_connect_t c = 0;
    EXPECT_EQ(IOServiceOpen(0x7777777, mach_task_self(), 0, &c), MACH_SEND_INVALID_DEST);
    io_service_t s = find();
    EXPECT_EQ(IOServiceOpen(s, 0x7777777, 0, &c), MACH_SEND_INVALID_DEST); // a task nobody made
    int pid = 0;
    EXPECT_EQ(pid_for_task(0x7777777, &pid), MACH_SEND_INVALID_DEST);
    ASSERT_EQ(pid_for_task(mach_task_self(), &pid), KERN_SUCCESS);
    EXPECT_EQ(pid, int(getpid()));
    EXPECT_EQ(IOConnectCallScalarMethod(s, 0, nullptr, 0, nullptr, nullptr),
              MACH_SEND_INVALID_DEST);
    EXPECT_EQ(IOIteratorNext(s), 0u);
    IOObjectRelease(s);
}

} // namespace

// ---- The kernel host in this process, reached over its sockets

// A socket speaking the host's frames by hand.
struct RawSocket {
    int fd;
    uint32_t sequence = 0;
    explicit RawSocket(const std::string& path) : fd(hx::iokit::wire::connectTo(path)) {}
    ~RawSocket() { ::close(fd); }
    // Sends a request and takes its reply's payload (empty when the host
    // closed the socket instead).
    std::vector<uint8_t> request(uint16_t kind, const std::vector<uint8_t>& payload) {
        hx::iokit::wire::Frame f;
        int passed = -1;
        if (!hx::iokit::wire::sendFrame(fd, kind, ++sequence, payload) ||
            hx::iokit::wire::recvFrame(fd, f, &passed) != hx::iokit::wire::RecvResult::Frame)
            return {};
        if (passed >= 0) ::close(passed);
        return f.payload;
    }
};

// A kernel host on a socket in a temporary folder of its own; it stops and
// the folder goes when the test ends.
class ScratchKernelHost {
public:
    ScratchKernelHost() {
        char dir[] = "/tmp/hxhost.XXXXXX";
        if (::mkdtemp(dir)) mDir = dir;
        path = mDir + "/kernel.sock";
        mHost = std::make_unique<hx::iokit::KernelHost>(path, nullptr);
    }
    ~ScratchKernelHost() {
        mHost.reset();
        if (!mDir.empty()) ::rmdir(mDir.c_str());
    }
    bool start(std::string& error) {
        if (mDir.empty()) {
            error = "no temporary folder";
            return false;
        }
        return mHost->start(error);
    }

    std::string path;

private:
    std::string mDir;
    std::unique_ptr<hx::iokit::KernelHost> mHost;
};

struct HostedSession {
    RawSocket session;
    uint64_t token = 0;
    uint32_t service = 0;
    explicit HostedSession(const std::string& path) : session(path) {
        namespace wire = hx::iokit::wire;
        wire::Writer h;
        h.u8(uint8_t(wire::Role::Session));
        auto p = session.request(wire::kHello, h.data());
        wire::Reader r(p);
        uint32_t kr = 0, task = 0, count = 0;
        r.u32(kr), r.u64(token), r.u32(task);
        wire::Writer m;
        CFMutableDictionaryRef d = IOServiceMatching("IOKitTestNub");
        m.tree(d);
        CFRelease(d);
        p = session.request(wire::kGetMatchingServices, m.data());
        wire::Reader s(p);
        s.u32(kr), s.u32(count), s.u32(service);
    }
    // A port socket bound to this session, subscribed to the service's
    // general interest.
    std::unique_ptr<RawSocket> interestPort(const std::string& path) {
        namespace wire = hx::iokit::wire;
        auto port = std::make_unique<RawSocket>(path);
        wire::Writer h;
        h.u8(uint8_t(wire::Role::Port)), h.u64(token);
        auto p = port->request(wire::kHello, h.data());
        wire::Reader r(p);
        uint32_t kr = 1, handle = 0;
        if (!r.u32(kr) || kr || !r.u32(handle)) return nullptr;
        wire::Writer s;
        s.u32(handle), s.u32(service), s.u32(7);
        p = session.request(wire::kSubscribeInterest, s.data());
        return p.size() == 8 && p[0] == 0 ? std::move(port) : nullptr;
    }
};

TEST_F(IOKitLib, AKernelHostClosesAStoppedPortWithoutThinningOrReordering) {
    namespace wire = hx::iokit::wire;
    ScratchKernelHost host;
    const std::string& path = host.path;
    std::string error;
    ASSERT_TRUE(host.start(error)) << error;
    hx::log::Capture log;
    {
        HostedSession s(path);
        ASSERT_NE(s.service, 0u);
        auto stopped = s.interestPort(path);
        auto reading = s.interestPort(path);
        ASSERT_NE(stopped, nullptr);
        ASSERT_NE(reading, nullptr);
        // The reading port takes every record in order; it is fed in
        // batches it drains, so only the stopped one falls behind.
        constexpr uint32_t kBatch = 400, kBatches = 8;
        uint32_t next = 0;
        for (uint32_t b = 0; b < kBatches; ++b) {
            for (uint32_t i = 0; i < kBatch; ++i) {
                uint8_t change[36] = {};
                const uint32_t n = b * kBatch + i;
                std::memcpy(change + 4, &n, 4);
                nub->messageClients(0xE0000130, change, sizeof change);
            }
            for (uint32_t i = 0; i < kBatch; ++i, ++next) {
                wire::Frame f;
                ASSERT_EQ(wire::recvFrame(reading->fd, f), wire::RecvResult::Frame);
                hx::iokit::NotificationRecord r;
                ASSERT_TRUE(wire::decodeRecord(f.payload, r));
                ASSERT_EQ(r.argument.size(), 36u);
                uint32_t n = 0;
                std::memcpy(&n, r.argument.data() + 4, 4);
                ASSERT_EQ(n, next);
            }
        }
        // The stopped port got a prefix of the records, then its end.
        uint32_t got = 0;
        for (;;) {
            wire::Frame f;
            const auto result = wire::recvFrame(stopped->fd, f);
            if (result != wire::RecvResult::Frame) break;
            hx::iokit::NotificationRecord r;
            ASSERT_TRUE(wire::decodeRecord(f.payload, r));
            uint32_t n = 0;
            std::memcpy(&n, r.argument.data() + 4, 4);
            ASSERT_EQ(n, got++);
        }
        EXPECT_LT(got, kBatch * kBatches);
        EXPECT_NE(log.text().find("fell 1024 messages behind; closed"), std::string::npos);
    }
}

namespace {

// The number a state change of the tests below carries, from the next
// record on a port's socket; false when none came.
bool nextChange(int fd, uint32_t& n) {
    namespace wire = hx::iokit::wire;
    wire::Frame f;
    hx::iokit::NotificationRecord r;
    if (wire::recvFrame(fd, f) != wire::RecvResult::Frame || !wire::decodeRecord(f.payload, r) ||
        r.argument.size() != 36)
        return false;
    std::memcpy(&n, r.argument.data() + 4, 4);
    return true;
}

void sendChanges(IOKitTestNub* nub, uint32_t from, uint32_t count) {
    for (uint32_t n = from; n < from + count; ++n) {
        uint8_t change[36] = {};
        std::memcpy(change + 4, &n, 4);
        nub->messageClients(0xE0000130, change, sizeof change);
    }
}

// Takes count records from a port and checks they carry from, from + 1, ...
void expectChanges(int fd, uint32_t from, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t n = 0;
        ASSERT_TRUE(nextChange(fd, n)) << "record " << from + i << " never came";
        ASSERT_EQ(n, from + i);
    }
}

} // namespace

// One writer serves every port of a process: a port whose socket is full
// waits for room while the others go on, catches up without a gap once its
// reader drains it, and can go away while it waits.
TEST_F(IOKitLib, AKernelHostKeepsWritingOtherPortsWhileOneReaderPauses) {
    ScratchKernelHost host;
    const std::string& path = host.path;
    std::string error;
    ASSERT_TRUE(host.start(error)) << error;
    hx::log::Capture log;
    {
        HostedSession s(path);
        ASSERT_NE(s.service, 0u);
        auto paused = s.interestPort(path);
        auto reading = s.interestPort(path);
        ASSERT_NE(paused, nullptr);
        ASSERT_NE(reading, nullptr);
        // A writer stuck on the paused socket would leave the reading one
        // waiting: it fails after a while instead of hanging.
        const timeval patience{30, 0};
        ASSERT_EQ(::setsockopt(reading->fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience),
                  0);
        ASSERT_EQ(::setsockopt(paused->fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience), 0);
        // Far more than the paused socket holds, still short of the limit.
        constexpr uint32_t kBatch = 100, kBatches = 10;
        static_assert(kBatch * kBatches < hx::iokit::kPortQueueLimit);
        for (uint32_t b = 0; b < kBatches; ++b) {
            sendChanges(nub, b * kBatch, kBatch);
            expectChanges(reading->fd, b * kBatch, kBatch);
            if (HasFatalFailure()) return;
        }
        expectChanges(paused->fd, 0, kBatch * kBatches);
        if (HasFatalFailure()) return;
        // Both go on after the catch-up.
        constexpr uint32_t kNext = kBatch * kBatches;
        sendChanges(nub, kNext, kBatch);
        expectChanges(reading->fd, kNext, kBatch);
        expectChanges(paused->fd, kNext, kBatch);
        if (HasFatalFailure()) return;
        // The paused port falls behind again and its process closes it
        // while its records wait; the other port hears every change.
        sendChanges(nub, kNext + kBatch, 5 * kBatch);
        expectChanges(reading->fd, kNext + kBatch, 5 * kBatch);
        if (HasFatalFailure()) return;
        paused.reset();
        sendChanges(nub, kNext + 6 * kBatch, kBatch);
        expectChanges(reading->fd, kNext + 6 * kBatch, kBatch);
        EXPECT_EQ(log.text().find("messages behind"), std::string::npos) << log.text();
    }
}

namespace {

// A port's sink for the transport test below: the change numbers it heard,
// the threads that delivered them, and a hook run inside each delivery.
struct ChangeSink final : hx::iokit::PortSink {
    std::mutex lock;
    std::condition_variable cv;
    std::vector<uint32_t> numbers;
    std::vector<std::thread::id> threads;
    size_t returned = 0;
    std::function<void(size_t)> onChange;
    void deliver(hx::iokit::NotificationRecord&& r) override {
        uint32_t n = ~0u;
        if (r.argument.size() == 36) std::memcpy(&n, r.argument.data() + 4, 4);
        size_t count = 0;
        {
            std::lock_guard<std::mutex> g(lock);
            numbers.push_back(n);
            threads.push_back(std::this_thread::get_id());
            count = numbers.size();
        }
        if (onChange) onChange(count);
        {
            std::lock_guard<std::mutex> g(lock);
            ++returned;
        }
        cv.notify_all();
    }
    void lost() override {}
    bool waitFor(size_t n) {
        std::unique_lock<std::mutex> l(lock);
        return cv.wait_for(l, std::chrono::seconds(60), [&] { return returned >= n; });
    }
};

} // namespace

// Across processes one thread reads every notification port of a process:
// each port hears every change in order, and a port may end itself from
// inside its own delivery while the others go on.
TEST_F(IOKitLib, AProcessTransportReadsEveryPortOnOneThreadInOrder) {
    ScratchKernelHost host;
    const std::string& path = host.path;
    std::string error;
    ASSERT_TRUE(host.start(error)) << error;
    {
        constexpr size_t kPorts = 4, kEndsAt = 5;
        constexpr uint32_t kChanges = 300;
        std::vector<std::unique_ptr<ChangeSink>> sinks;
        for (size_t i = 0; i < kPorts; ++i)
            sinks.push_back(std::make_unique<ChangeSink>());
        int page = -1;
        auto t = hx::iokit::makeProcessTransport(path, error, &page);
        ASSERT_TRUE(error.empty()) << error;
        if (page >= 0) ::close(page);
        std::vector<hx::iokit::Handle> services;
        CFMutableDictionaryRef matching = IOServiceMatching("IOKitTestNub");
        ASSERT_EQ(t->getMatchingServices(matching, services), KERN_SUCCESS);
        CFRelease(matching);
        ASSERT_EQ(services.size(), 1u);
        std::vector<hx::iokit::Handle> ports(kPorts), subscriptions(kPorts);
        std::atomic<hx::iokit::Handle> ending{0};
        sinks[0]->onChange = [&](size_t count) {
            if (count == kEndsAt) t->destroyPort(ending);
        };
        for (size_t i = 0; i < kPorts; ++i) {
            ASSERT_EQ(t->createPort(sinks[i].get(), &ports[i]), KERN_SUCCESS);
            ASSERT_EQ(t->subscribeInterest(ports[i], services[0], uint32_t(i), &subscriptions[i]),
                      KERN_SUCCESS);
        }
        ending = ports[0];
        sendChanges(nub, 0, kChanges);
        std::vector<uint32_t> all(kChanges);
        for (uint32_t n = 0; n < kChanges; ++n)
            all[n] = n;
        for (size_t i = 1; i < kPorts; ++i) {
            SCOPED_TRACE(i);
            ASSERT_TRUE(sinks[i]->waitFor(kChanges));
            std::lock_guard<std::mutex> g(sinks[i]->lock);
            EXPECT_EQ(sinks[i]->numbers, all);
            for (auto id : sinks[i]->threads)
                EXPECT_EQ(id, sinks[1]->threads.front());
        }
        EXPECT_NE(sinks[1]->threads.front(), std::this_thread::get_id());
        ASSERT_TRUE(sinks[0]->waitFor(kEndsAt));
        {
            std::lock_guard<std::mutex> g(sinks[0]->lock);
            EXPECT_EQ(sinks[0]->numbers, std::vector<uint32_t>(all.begin(), all.begin() + kEndsAt));
            EXPECT_EQ(sinks[0]->returned, kEndsAt);
        }
        for (size_t i = 0; i < kPorts; ++i)
            t->unsubscribe(subscriptions[i]);
        for (size_t i = 1; i < kPorts; ++i)
            t->destroyPort(ports[i]);
        t->releaseService(services[0]);
        t.reset();
    }
}
