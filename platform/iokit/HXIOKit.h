// What a program or a test tells the user-side IOKit calls about the
// process: which transport it uses, and the test hooks.
#pragma once

#include "platform/base/MachTypes.h"

#include <cstdint>

namespace hx::iokit {

class Transport;

// The process's transport, chosen on first use: the in-process kernel end
// unless a program chose otherwise first. Later choices are refused (false).
bool useInProcessTransport();
bool useTransport(Transport* transport);  // takes ownership
Transport& transport();
const char* transportName();

// Test hook: every later mapping reports its size this many bytes short (a
// check of a mapping's size must catch it). 0 restores exact sizes.
void setMapSizeShortfall(uint32_t bytes);

// Test hook: the next IOServiceOpen of this type is refused
// (kIOReturnNotPermitted) before it reaches the kernel; opens of other types
// go through.
void refuseNextOpen(uint32_t type);

// Calls made on connections (IOConnectCall*) since the process started, so
// a test can show that a request never reached the kernel.
uint64_t connectCallCount();

}  // namespace hx::iokit
