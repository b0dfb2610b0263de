// What a program or a test tells the user-side IOKit calls about the
// process: which transport it uses, and the test hooks.
#pragma once

#include "platform/base/MacTypes.h"
#include "platform/base/MachTypes.h"

#include <cstddef>
#include <cstdint>

namespace hx::iokit {

class Transport;

// The process's transport, chosen on first use: the kernel host named by
// HX_KERNEL_HOST when it is set, else the in-process kernel end, unless a
// program chose otherwise first. Later choices are refused (false).
bool useInProcessTransport();
// The kernel host at socketPath; from then on this process's
// mach_absolute_time is the host's time. A host that cannot be reached is
// logged, and every call answers MACH_SEND_INVALID_DEST.
bool useProcessTransport(const char* socketPath);
bool useTransport(Transport* transport); // takes ownership
Transport& transport();
const char* transportName();

// Test hook: every later mapping reports its size this many bytes short (a
// check of a mapping's size must catch it). 0 restores exact sizes.
void setMapSizeShortfall(uint32_t bytes);

// Test hook: the next IOServiceOpen of this type is refused
// (kIOReturnNotPermitted) before it reaches the kernel; opens of other types
// go through.
void refuseNextOpen(uint32_t type);
// Test hook: the next IOCreatePlugInInterfaceForService of a device nub
// answers this error (0 clears it).
void refuseNextPlugIn(int32_t error);

// Test hook: the next call (IOConnectCall*) on a connection opened with this
// type fails with kIOReturnError before it reaches the kernel, whichever
// transport carries it; calls on connections of other types go through. The
// failed call still counts in connectCallCount. clearFailNextCall disarms a
// hook no call took.
void failNextCall(uint32_t type);
void clearFailNextCall();

// Calls made on connections (IOConnectCall*) since the process started, so
// a test can show that a request never reached the kernel.
uint64_t connectCallCount();

// Test hook: the next IOConnectMapMemory waits, before it reaches the
// kernel, until releaseHeldMapMemory (so a caller stays inside a start).
// waitForHeldMapMemory returns once a mapping is held.
void holdNextMapMemory();
void waitForHeldMapMemory();
void releaseHeldMapMemory();

// IOKit objects (services, iterators, notifications, connections) and
// notification ports this process holds, so a test can show that nothing
// was left behind.
std::size_t liveObjectCount();
long liveNotificationPortCount();

// Test hook: the next IOServiceAddMatchingNotification answers this status
// (consuming its matching dictionary) before it reaches the kernel.
void failNextMatchingNotification(kern_return_t status);

// Test hook: the next IORegisterForSystemPower answers no connection (and
// creates no port or notifier) before it reaches the kernel.
void failNextSystemPowerRegistration();

// Test hook: the next IOServiceAddInterestNotification of the power-state
// interest type answers this status before it reaches the kernel.
void failNextPowerStateInterest(kern_return_t status);

} // namespace hx::iokit
