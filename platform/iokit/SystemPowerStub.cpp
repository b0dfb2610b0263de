// Stand-in until the kernel host's root power domain exists: a system-power
// registration is refused (no connection, no port, no notifier) and says so
// once per process.
#include "platform/iokit/IOPMLib.h"

#include <atomic>

#include "platform/base/HXLog.h"
#include "platform/base/MacErrors.h"

namespace {
std::atomic<bool> gTold{false};
}

extern "C" io_connect_t IORegisterForSystemPower(void*, IONotificationPortRef* thePortRef,
                                                 IOServiceInterestCallback, io_object_t* notifier) {
    if (!gTold.exchange(true))
        hx::log::format("IORegisterForSystemPower: system power notifications are not "
                        "available (stub)\n");
    if (thePortRef) *thePortRef = nullptr;
    if (notifier) *notifier = 0;
    return 0;
}

extern "C" kern_return_t IODeregisterForSystemPower(io_object_t* notifier) {
    if (!notifier || *notifier == 0) return kIOReturnBadArgument;
    return kIOReturnUnsupported;
}
