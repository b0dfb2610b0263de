// A test-only driver interface for a device that is opened but not
// activated (the plug-in's own entries answer 'stop' for an inactive object,
// so its host could not list it): slots 9, 10 and 16-22 reach the device
// object through the object map with the same checks (a foreign driver or
// ID '!obj', null pointers 'nope', Begin/Do 'stop' unless the device's IO is
// started), and the property slots answer the host's enumeration from the
// device: the plug-in object's device list, and per device 'uid ', 'nsrt',
// 'ring', 'stm#', 'saft', 'ltnc', per stream 'pft '. Initialize stores the
// host as the plug-in's does. Tests of an active device use the plug-in's
// own interface (serverDriverReference).
#pragma once

#include "platform/coreaudio/AudioServerPlugIn.h"

namespace hx::test {

AudioServerPlugInDriverRef testDriverReference();
// The plug-in's own driver interface, for a device that is active (the
// frame answers 'stop' for an inactive one, so the host cannot list it).
AudioServerPlugInDriverRef serverDriverReference();
// The interface's reference count (1 at load).
UInt32 testDriverRefCount();

} // namespace hx::test
