// The machine the server property fuzz targets call into: the server host
// with the plug-in's driver interface loaded and one HX-5100 device listed
// and active. One implementation lists a device over a scripted kernel
// service (ScriptedMachine.cpp), the other runs the whole stack - bus,
// simulated HX-5100, kernel driver, the real service through the IOKit
// stand-in (StackMachine.cpp).
#pragma once

#include "platform/coreaudio/ServerHost.h"
#include "plugins/server/QnASPlugInDevice.h"

namespace serverfuzz {

// Once per process: the machine, the host, the device listed.
void boot();
// After each call: the device is listed and active again (plugged anew if
// a call took it away), the host's queues drained.
void replugIfGone();
// After each input: IO stopped, the machine back to its first settings.
void resetAfterInput();

hx::coreaudio::ServerHost& host();
AudioObjectID deviceID();
QnASPlugInDevice& device();

} // namespace serverfuzz
