// The plug-in's own driver interface, made through its factory as the host
// makes it, for the tests that hand an active device to the server host.
#pragma once

#include "platform/coreaudio/AudioServerPlugIn.h"

namespace hx::test {

AudioServerPlugInDriverRef serverDriverReference();

} // namespace hx::test
