#include "platform/dispatch/DispatchSource.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/base/MachPortRights.h"

struct HXDispatchSourceType {
    bool receive;
};

namespace {

const HXDispatchSourceType kMachSend{false};
const HXDispatchSourceType kMachRecv{true};

} // namespace

const dispatch_source_type_t HXDispatchSourceTypeMachSend = &kMachSend;
const dispatch_source_type_t HXDispatchSourceTypeMachRecv = &kMachRecv;

struct HXDispatchSource {
    const HXDispatchSourceType* type;
    mach_port_t port;
    dispatch_queue_t queue;
    std::atomic<long> refs{1};
    std::mutex lock;
    dispatch_block_t handler;
    dispatch_block_t cancelHandler;
    std::uint64_t watch = 0;
    bool resumed = false;
    std::atomic<bool> cancelled{false};
};

namespace {

// Runs the event handler on the target queue unless cancelled by then.
void fire(dispatch_source_t s) {
    dispatch_retain(s);
    dispatch_async(s->queue, [s] {
        dispatch_block_t handler;
        {
            std::lock_guard<std::mutex> g(s->lock);
            if (!s->cancelled) handler = s->handler;
        }
        if (handler) handler();
        dispatch_release(s);
    });
}

} // namespace

dispatch_source_t dispatch_source_create(dispatch_source_type_t type, uintptr_t handle,
                                         unsigned long mask, dispatch_queue_t queue) {
    if (!type || !queue || (!type->receive && mask != DISPATCH_MACH_SEND_DEAD)) return nullptr;
    hx::mach::PortRights rights;
    if (!hx::mach::portRights(mach_port_t(handle), rights)) return nullptr;
    auto* s = new HXDispatchSource;
    s->type = type;
    s->port = mach_port_t(handle);
    s->queue = queue;
    dispatch_retain(queue);
    return s;
}

void dispatch_source_set_event_handler(dispatch_source_t s, dispatch_block_t handler) {
    std::lock_guard<std::mutex> g(s->lock);
    s->handler = std::move(handler);
}

void dispatch_source_set_cancel_handler(dispatch_source_t s, dispatch_block_t handler) {
    std::lock_guard<std::mutex> g(s->lock);
    s->cancelHandler = std::move(handler);
}

void dispatch_resume(dispatch_source_t s) {
    std::lock_guard<std::mutex> g(s->lock);
    if (s->resumed || s->cancelled) return;
    s->resumed = true;
    const hx::mach::PortEvent wanted =
        s->type->receive ? hx::mach::PortEvent::Message : hx::mach::PortEvent::DeadName;
    // The watch (and every copy of it a notifier is running) holds a
    // reference, so a cancel racing a notice never frees the source under it.
    dispatch_retain(s);
    std::shared_ptr<HXDispatchSource> held(s, [](HXDispatchSource* p) { dispatch_release(p); });
    s->watch = hx::mach::watchPort(s->port, [held, wanted](hx::mach::PortEvent e) {
        if (e == wanted && !held->cancelled) fire(held.get());
    });
}

void dispatch_source_cancel(dispatch_source_t s) {
    std::uint64_t watch = 0;
    dispatch_block_t cancelHandler;
    {
        std::lock_guard<std::mutex> g(s->lock);
        if (s->cancelled.exchange(true)) return;
        watch = s->watch;
        s->watch = 0;
        cancelHandler = std::move(s->cancelHandler);
    }
    if (watch) hx::mach::unwatchPort(watch);
    if (cancelHandler) dispatch_async(s->queue, std::move(cancelHandler));
}

long dispatch_source_testcancel(dispatch_source_t s) {
    return s->cancelled ? 1 : 0;
}

uintptr_t dispatch_source_get_handle(dispatch_source_t s) {
    return s->port;
}

void dispatch_retain(dispatch_source_t s) {
    s->refs.fetch_add(1);
}

void dispatch_release(dispatch_source_t s) {
    if (s->refs.fetch_sub(1) != 1) return;
    dispatch_release(s->queue);
    delete s;
}
