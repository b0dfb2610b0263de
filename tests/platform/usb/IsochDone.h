// Records an isochronous transfer's completion: how many times it ran and
// with which status.
#pragma once

#include "platform/usb/IOUSBHostFamily.h"

#include <condition_variable>
#include <mutex>

namespace usbtest {

struct Done {
    std::mutex m;
    std::condition_variable cv;
    int calls = 0;
    IOReturn status = kIOReturnSuccess;
    static void action(void* owner, void*, IOReturn status, IOUSBHostIsochronousFrame*) {
        Done* d = static_cast<Done*>(owner);
        std::lock_guard<std::mutex> g(d->m);
        ++d->calls;
        d->status = status;
        d->cv.notify_all();
    }
    // Blocks on a plain condition: only for a completion already on its way
    // (all packets ended, only the pool is left).
    void waitOne() {
        std::unique_lock<std::mutex> l(m);
        cv.wait(l, [&] { return calls > 0; });
    }
    // The completion threads take part in virtual time, so once the clock
    // has run past the last frame the completion has run too.
    int callsSoFar() {
        std::lock_guard<std::mutex> g(m);
        return calls;
    }
};

} // namespace usbtest
