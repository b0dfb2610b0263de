// The driver reached through the user-side IOKit calls (in-process
// transport) on the booted machine: discovery by class, the open and the
// first requests, the shared memory types at their exact sizes, and an
// unplug seen through general interest and a terminate notification while
// the held service stays readable.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "abi/DriverSM.h"
#include "abi/QN_Dispatch.h"
#include "abi/QN_StateChange.h"
#include "driver/clients/harness/ClientHarness.h"
#include "platform/iokit/IOKitLib.h"
#include "tests/system/UserSideRequests.h"
#include "platform/usb/USBBus.h"

namespace {

constexpr const char* kServiceClass = "ZrKernelDeviceKorvexHX5100";

struct Seen {
    int terminated = 0;
    std::vector<uint32_t> messages;
    std::vector<uint32_t> stateChanges;
};

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
        std::memcpy(&change, argument, sizeof change); // a 36-byte copy
        EXPECT_EQ(change.mSize, 36u);
        seen->stateChanges.push_back(change.mCode);
    }
}

TEST(IOKitRoad, DiscoveryCallsMemoryAndUnplugThroughTheUserSideCalls) {
    hx::harness::ClientHarness machine;
    ASSERT_TRUE(machine.boot()) << machine.lastError();

    io_iterator_t it = 0;
    ASSERT_EQ(IOServiceGetMatchingServices(0, IOServiceMatching(kServiceClass), &it), KERN_SUCCESS);
    io_service_t service = IOIteratorNext(it);
    ASSERT_NE(service, 0u);
    EXPECT_EQ(IOIteratorNext(it), 0u);
    IOObjectRelease(it);
    CFTypeRef uid = IORegistryEntryCreateCFProperty(service, CFSTR("deviceUID"), nullptr, 0);
    ASSERT_NE(uid, nullptr);
    char uidText[128] = {};
    CFStringGetCString(CFStringRef(uid), uidText, sizeof uidText, kCFStringEncodingUTF8);
    CFRelease(uid);
    EXPECT_GT(std::strlen(uidText), 0u);

    IONotificationPortRef port = IONotificationPortCreate(0);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                       kCFRunLoopDefaultMode);
    Seen seen;
    io_iterator_t term = 0;
    ASSERT_EQ(IOServiceAddMatchingNotification(port, kIOTerminatedNotification,
                                               IOServiceMatching(kServiceClass), onTerminate, &seen,
                                               &term),
              KERN_SUCCESS);
    onTerminate(&seen, term); // drained: armed
    io_object_t interest = 0;
    ASSERT_EQ(IOServiceAddInterestNotification(port, service, kIOGeneralInterest, onInterest, &seen,
                                               &interest),
              KERN_SUCCESS);

    // Type 4 never gives a client; type 0 opens.
    io_connect_t none = 0, c = 0;
    EXPECT_EQ(IOServiceOpen(service, mach_task_self(), 4, &none), kIOReturnBadArgument);
    ASSERT_EQ(IOServiceOpen(service, mach_task_self(), 0, &c), KERN_SUCCESS);
    OSXDispatch rec{};
    size_t outSize = 0;
    int pid = 0;
    ASSERT_EQ(pid_for_task(mach_task_self(), &pid), KERN_SUCCESS);
    qnWriteU32(&rec, kOSXDispatchValueOffset, uint32_t(pid));
    EXPECT_EQ(request(c, 30, rec, &outSize), kIOReturnSuccess);
    rec = OSXDispatch{};
    ASSERT_EQ(request(c, 27, rec, &outSize), kIOReturnSuccess);
    EXPECT_EQ(outSize, sizeof rec);
    EXPECT_NE(qnReadU64(&rec, kOSXDispatchValueOffset), 0u);
    // Req 25 answers the HAL version: 0 on a fresh machine, then the first
    // one Req 24 set.
    uint32_t firstVersion = 1;
    expectHALVersionReads(c, &firstVersion);
    EXPECT_EQ(firstVersion, 0u);

    // Limits are the user side's own: the kernel never sees these.
    std::vector<uint64_t> scalars(17, 0);
    EXPECT_EQ(IOConnectCallScalarMethod(c, 0, scalars.data(), 17, nullptr, nullptr),
              kIOReturnBadArgument);
    std::vector<uint8_t> big(4097, 0);
    size_t bigOut = 0;
    EXPECT_EQ(IOConnectCallStructMethod(c, 0, big.data(), big.size(), nullptr, &bigOut),
              kIOReturnBadArgument);

    mach_vm_address_t sm = 0, ring = 0;
    mach_vm_size_t smSize = 0, ringSize = 0;
    ASSERT_EQ(IOConnectMapMemory64(c, 1, mach_task_self(), &sm, &smSize, kIOMapAnywhere),
              KERN_SUCCESS);
    EXPECT_EQ(smSize, sizeof(DriverSM));
    ASSERT_EQ(IOConnectMapMemory64(c, 5, mach_task_self(), &ring, &ringSize, kIOMapAnywhere),
              KERN_SUCCESS);
    EXPECT_EQ(ringSize, 540656u);

    // Unplug: the driver's messages, then the terminate notification; the
    // held handle still reads its identity.
    EXPECT_EQ(IOServiceClose(c), KERN_SUCCESS);
    machine.bus()->unplug(machine.port());
    for (int i = 0; i < 4000 && seen.terminated == 0; ++i)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.005, false);
    EXPECT_EQ(seen.terminated, 1);
    ASSERT_FALSE(seen.messages.empty());
    EXPECT_EQ(seen.messages.back(), kIOMessageServiceIsTerminated);
    ASSERT_FALSE(seen.stateChanges.empty());
    EXPECT_EQ(seen.stateChanges.back(), 0xFFFFFFFFu); // the device is gone
    uid = IORegistryEntryCreateCFProperty(service, CFSTR("deviceUID"), nullptr, 0);
    ASSERT_NE(uid, nullptr);
    char after[128] = {};
    CFStringGetCString(CFStringRef(uid), after, sizeof after, kCFStringEncodingUTF8);
    CFRelease(uid);
    EXPECT_STREQ(after, uidText);
    // The mapping outlived the connection and the device.
    reinterpret_cast<volatile uint8_t*>(sm)[0] = reinterpret_cast<volatile uint8_t*>(sm)[0];

    IOObjectRelease(interest);
    IOObjectRelease(term);
    IONotificationPortDestroy(port);
    IOObjectRelease(service);
}

} // namespace
