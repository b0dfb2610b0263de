// What the driver control API's tests share: the callback that records the
// events, the class-name record, and running the current run loop.
#pragma once

#include "api/QuarnelDriverAPI.h"
#include "abi/QN_Dispatch.h"
#include "platform/cf/CFRunLoop.h"
#include "platform/iokit/IOKitLib.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace apitest {

struct Events {
    std::vector<std::pair<USBDevice*, QNAPI_CBEvent>> seen;
    std::vector<bool> openAtEvent; // the device's connection when the event came
    // Devices the callback took a reference of (released by the test).
    bool retainAttached = false;

    std::vector<QNAPI_CBEvent> codes() const {
        std::vector<QNAPI_CBEvent> c;
        for (auto& [d, e] : seen)
            c.push_back(e);
        return c;
    }
    USBDevice* last(QNAPI_CBEvent event) const {
        for (auto it = seen.rbegin(); it != seen.rend(); ++it)
            if (it->second == event) return it->first;
        return nullptr;
    }
    int count(QNAPI_CBEvent event) const {
        int n = 0;
        for (auto& [d, e] : seen)
            n += e == event;
        return n;
    }
};

inline void record(void* context, USBDevice* device, QNAPI_CBEvent event) {
    auto* events = static_cast<Events*>(context);
    if (events->retainAttached && event == QNAPI_CBEvent_DeviceAttached) device->retain();
    events->seen.emplace_back(device, event);
    events->openAtEvent.push_back(device && device->isOpen());
}

inline GUID guidOf(const char* name) {
    GUID g;
    std::memset(&g, 0, sizeof g);
    std::strncpy(g.name, name, sizeof g.name - 1);
    return g;
}

// Runs what the current loop has pending (in process, a notification is
// queued by the time the kernel call that sent it returns).
inline void runPending() {
    for (int i = 0; i < 3; ++i)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
}

// State changes another subscriber of the service hears.
struct Watcher {
    IONotificationPortRef port = IONotificationPortCreate(0);
    io_object_t note = 0;
    std::vector<uint32_t> codes;
    explicit Watcher(io_service_t service) {
        CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(port),
                           kCFRunLoopDefaultMode);
        IOServiceAddInterestNotification(port, service, kIOGeneralInterest, &Watcher::heard, this,
                                         &note);
    }
    ~Watcher() {
        if (note) IOObjectRelease(note);
        IONotificationPortDestroy(port);
    }
    static void heard(void* refcon, io_service_t, natural_t type, void* argument) {
        if (type == 0xE0000130 && argument)
            static_cast<Watcher*>(refcon)->codes.push_back(qnReadU32(argument, 4));
    }
    bool saw(uint32_t code) const {
        return std::find(codes.begin(), codes.end(), code) != codes.end();
    }
};

} // namespace apitest
