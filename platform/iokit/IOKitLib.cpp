// The user side of the IOKit calls: this process's names for services,
// iterators, notifications and connections, notification ports feeding a
// run-loop source, and the per-connection call serialisation. The kernel end
// is reached only through the process's transport.
#include "platform/iokit/IOKitLib.h"
#include "platform/dispatch/Dispatch.h"

#include "platform/base/HXClock.h"
#include "platform/cf/CFNumber.h"
#include "platform/iokit/HXIOKit.h"
#include "platform/iokit/HostTimePage.h"
#include "platform/iokit/IOKitTransport.h"
#include "platform/iokit/IOPMLib.h"
#include "platform/iokit/ProcessTransport.h"
#include "platform/base/HXLog.h"

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <string>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

using hx::iokit::CallArgs;
using hx::iokit::Handle;
using hx::iokit::NotificationRecord;

const mach_port_t bootstrap_port = 0;

struct IONotificationPort;

namespace {

constexpr uint32_t kMaxScalars = 16;
constexpr size_t kMaxStruct = 4096;

// ---- Transport choice

std::mutex gTransportLock;
hx::iokit::Transport* gTransport = nullptr;
std::atomic<uint32_t> gMapShortfall{0};
std::atomic<int64_t> gRefuseOpenType{-1};
std::atomic<uint64_t> gConnectCalls{0};
std::atomic<int64_t> gFailCallType{-1}; // test hook: the next call of this type fails

// ---- Objects

enum class Kind { Service, Iterator, Notification, Connection };

struct Object {
    Kind kind = Kind::Service;
    int refs = 1;
    Handle handle = 0;     // service or connection handle; subscription of a notification
    uint64_t identity = 0; // services: the kernel object, so one object keeps one name
    // Iterators
    std::deque<Handle> items;
    bool armed = false;
    // Notifications (an iterator of a matching notification, or an interest one)
    IONotificationPort* port = nullptr;
    IOServiceMatchingCallback matchingCallback = nullptr;
    IOServiceInterestCallback interestCallback = nullptr;
    void* refCon = nullptr;
    io_service_t interestService = 0; // the notification's own reference
    // A system-power registration (each callback's return is told to the
    // root domain), or an interest that hears the service's power-state
    // messages only.
    bool systemPower = false;
    bool powerStateOnly = false;
    // Connections: calls run one at a time.
    std::shared_ptr<struct CallGate> gate;
    uint32_t connectType = 0; // the type it was opened with
};

struct CallGate {
    std::mutex lock;
    std::condition_variable cv;
    bool busy = false;
};

std::mutex gObjectsLock;
std::map<mach_port_t, Object>& objects() {
    static auto* m = new std::map<mach_port_t, Object>;
    return *m;
}

mach_port_t addObject(Object&& o) {
    const mach_port_t name = hx::mach::allocatePortName();
    std::lock_guard<std::mutex> g(gObjectsLock);
    objects().emplace(name, std::move(o));
    return name;
}

// The object's handle when it is of the kind, else 0.
Handle handleOf(mach_port_t name, Kind kind) {
    std::lock_guard<std::mutex> g(gObjectsLock);
    auto it = objects().find(name);
    return it != objects().end() && it->second.kind == kind ? it->second.handle : 0;
}

// As in a task of the other system, one kernel service has one name here:
// a service that arrives again (an iterator, a terminate notification) gets
// the name it already has, one more reference on it, so callers compare
// services by name.
mach_port_t newService(Handle h) {
    auto& transport = hx::iokit::transport();
    const uint64_t identity = transport.serviceIdentity(h);
    {
        std::lock_guard<std::mutex> g(gObjectsLock);
        for (auto& [name, o] : objects())
            if (identity && o.kind == Kind::Service && o.identity == identity) {
                ++o.refs;
                transport.releaseService(h);
                return name;
            }
    }
    Object o;
    o.kind = Kind::Service;
    o.handle = h;
    o.identity = identity;
    return addObject(std::move(o));
}

// Drops what an object held once its last reference went; called unlocked.
void dispose(Object& o);

} // namespace

// ---- Notification ports

struct IONotificationPort final : hx::iokit::PortSink {
    Handle handle = 0;
    mach_port_t machPort = 0;
    CFRunLoopSourceRef source = nullptr;
    std::mutex lock;
    std::deque<NotificationRecord> queue;
    // With a dispatch queue, records are drained there instead of on a run
    // loop; once destroyed, queued drains do nothing and the port itself is
    // freed by a last block on that queue.
    dispatch_queue_t dispatchQueue = nullptr;
    std::atomic<bool> destroyed{false};

    void deliver(NotificationRecord&& record) override {
        dispatch_queue_t target = nullptr;
        {
            std::lock_guard<std::mutex> g(lock);
            queue.push_back(std::move(record));
            target = dispatchQueue;
        }
        if (target)
            dispatch_async(target, [this] { drain(); });
        else
            CFRunLoopSourceSignal(source);
    }
    void lost() override {}

    static void perform(void* info) { static_cast<IONotificationPort*>(info)->drain(); }

    // Runs on the loop holding the source: one record at a time, in arrival
    // order, each callback without any lock held.
    void drain() {
        for (;;) {
            NotificationRecord r;
            {
                std::lock_guard<std::mutex> g(lock);
                if (queue.empty() || destroyed) return;
                r = std::move(queue.front());
                queue.pop_front();
            }
            dispatch(r, r.tag);
        }
    }

    static bool isPowerStateMessage(uint32_t type) {
        return type >= 0xE0000210 && type <= 0xE0000230;
    }

    // A registration that is still there tells the root domain its
    // callback returned (a deregistered one answers by its end).
    static void acknowledgePower(mach_port_t target, uint64_t id) {
        Handle registration = 0;
        {
            std::lock_guard<std::mutex> g(gObjectsLock);
            auto it = objects().find(target);
            if (it != objects().end() && it->second.systemPower) registration = it->second.handle;
        }
        if (registration) hx::iokit::transport().acknowledgeSystemPower(registration, id);
    }

    void dispatch(NotificationRecord& r, mach_port_t target) {
        auto& transport = hx::iokit::transport();
        std::unique_lock<std::mutex> g(gObjectsLock);
        auto it = objects().find(target);
        if (it == objects().end() ||
            it->second.kind !=
                (r.kind == NotificationRecord::Interest ? Kind::Notification : Kind::Iterator)) {
            g.unlock();
            if (r.service) transport.releaseService(r.service);
            return;
        }
        Object& o = it->second;
        if (r.kind == NotificationRecord::Interest) {
            if (o.powerStateOnly && !isPowerStateMessage(r.messageType)) return;
            IOServiceInterestCallback cb = o.interestCallback;
            void* refCon = o.refCon;
            const io_service_t service = o.interestService;
            void* argument = r.argument.empty() ? nullptr : r.argument.data();
            uint64_t powerID = 0;
            const bool power = o.systemPower;
            if (power) {
                // The callback gets the notification's ID as its argument.
                if (r.argument.size() == sizeof powerID)
                    std::memcpy(&powerID, r.argument.data(), sizeof powerID);
                argument = reinterpret_cast<void*>(uintptr_t(powerID));
            }
            ++o.refs; // the callback may release the notification
            g.unlock();
            cb(refCon, service, r.messageType, argument);
            if (power) acknowledgePower(target, powerID);
            IOObjectRelease(target);
            return;
        }
        o.items.push_back(r.service);
        if (!o.armed || !o.matchingCallback) return;
        o.armed = false;
        IOServiceMatchingCallback cb = o.matchingCallback;
        void* refCon = o.refCon;
        ++o.refs;
        g.unlock();
        cb(refCon, target);
        IOObjectRelease(target);
    }
};

namespace {

void dispose(Object& o) {
    auto& transport = hx::iokit::transport();
    switch (o.kind) {
    case Kind::Service:
        transport.releaseService(o.handle);
        break;
    case Kind::Iterator:
    case Kind::Notification:
        if (o.port && o.handle) transport.unsubscribe(o.handle);
        for (Handle h : o.items)
            transport.releaseService(h);
        if (o.interestService) IOObjectRelease(o.interestService);
        break;
    case Kind::Connection:
        break; // IOServiceClose ends a connection
    }
}

// Gives a notification name its subscription (and the services a publish
// one found already), or drops the name when subscribing failed.
kern_return_t bindNotification(mach_port_t name, kern_return_t kr, Handle subscription,
                               const std::vector<Handle>& existing, io_object_t* out) {
    std::unique_lock<std::mutex> g(gObjectsLock);
    Object& o = objects()[name];
    if (kr != KERN_SUCCESS) {
        o.port = nullptr;
        g.unlock();
        IOObjectRelease(name);
        return kr;
    }
    o.handle = subscription;
    o.items.insert(o.items.begin(), existing.begin(), existing.end());
    *out = name;
    return KERN_SUCCESS;
}

bool tooBig(uint32_t scalars, size_t structSize) {
    return scalars > kMaxScalars || structSize > kMaxStruct;
}

} // namespace

namespace {
std::atomic<long> gLivePorts{0};
std::atomic<kern_return_t> gFailNextMatching{KERN_SUCCESS};
std::atomic<bool> gFailNextSystemPower{false};
std::atomic<kern_return_t> gFailNextPowerStateInterest{KERN_SUCCESS};
} // namespace

namespace hx::iokit {

std::size_t liveObjectCount() {
    std::lock_guard<std::mutex> g(gObjectsLock);
    return objects().size();
}

long liveNotificationPortCount() {
    return gLivePorts.load();
}

void failNextMatchingNotification(kern_return_t status) {
    gFailNextMatching = status;
}

void failNextSystemPowerRegistration() {
    gFailNextSystemPower = true;
}

void failNextPowerStateInterest(kern_return_t status) {
    gFailNextPowerStateInterest = status;
}

bool useInProcessTransport() {
    return useTransport(makeInProcessTransport().release());
}

namespace {

// The host's clock becomes this process's clock (once per process).
void followHostClock(int timePage) {
    static HostTimeSource* source = nullptr;
    if (timePage < 0) return;
    if (source) {
        ::close(timePage);
        return;
    }
    auto* s = new HostTimeSource;
    if (!s->attach(timePage)) {
        delete s;
        return;
    }
    source = s;
    hx::clock::setSource(s);
}

Transport* processTransport(const char* socketPath) {
    std::string error;
    int timePage = -1;
    Transport* t = makeProcessTransport(socketPath, error, &timePage).release();
    if (!error.empty()) IOLog("IOKit: %s\n", error.c_str());
    followHostClock(timePage);
    return t;
}

} // namespace

bool useProcessTransport(const char* socketPath) {
    std::lock_guard<std::mutex> g(gTransportLock);
    if (gTransport || !socketPath) return false;
    gTransport = processTransport(socketPath);
    return true;
}

bool useTransport(Transport* t) {
    std::lock_guard<std::mutex> g(gTransportLock);
    if (gTransport) {
        delete t;
        return false;
    }
    gTransport = t;
    return true;
}

Transport& transport() {
    std::lock_guard<std::mutex> g(gTransportLock);
    if (!gTransport) {
        const char* host = std::getenv(kKernelHostVariable);
        gTransport = host && *host ? processTransport(host) : makeInProcessTransport().release();
    }
    return *gTransport;
}

const char* transportName() {
    return transport().name();
}

void setMapSizeShortfall(uint32_t bytes) {
    gMapShortfall.store(bytes);
}

Handle serviceHandle(io_service_t service) {
    return handleOf(service, Kind::Service);
}

void refuseNextOpen(uint32_t type) {
    gRefuseOpenType.store(int64_t(type));
}

void failNextCall(uint32_t type) {
    gFailCallType.store(int64_t(type));
}

void clearFailNextCall() {
    gFailCallType.store(-1);
}

uint64_t connectCallCount() {
    return gConnectCalls.load();
}

// ---- Holding a mapping (test hook)

namespace {
std::mutex gHoldLock;
hx::clock::Condition gHoldChanged;
bool gHoldArmed = false; // under gHoldLock
bool gHolding = false;
bool gHoldReleased = false;

// Called at the start of every mapping: the armed one waits for release.
void holdIfArmed() {
    std::unique_lock<std::mutex> lk(gHoldLock);
    if (!gHoldArmed) return;
    gHoldArmed = false;
    gHolding = true;
    gHoldReleased = false;
    gHoldChanged.notifyAll();
    gHoldChanged.wait(lk, [] { return gHoldReleased; });
    gHolding = false;
    gHoldChanged.notifyAll();
}
} // namespace

void holdNextMapMemory() {
    std::lock_guard<std::mutex> g(gHoldLock);
    gHoldArmed = true;
}

void waitForHeldMapMemory() {
    std::unique_lock<std::mutex> lk(gHoldLock);
    gHoldChanged.wait(lk, [] { return gHolding; });
}

void releaseHeldMapMemory() {
    {
        std::lock_guard<std::mutex> g(gHoldLock);
        gHoldArmed = false;
        gHoldReleased = true;
    }
    gHoldChanged.notifyAll();
}

} // namespace hx::iokit

extern "C" {

kern_return_t IOMasterPort(mach_port_t, mach_port_t* masterPort) {
    if (!masterPort) return kIOReturnBadArgument;
    *masterPort = hx::mach::allocatePortName();
    return KERN_SUCCESS;
}

// mach_port_deallocate: platform/base (MachPortRights.cpp).

kern_return_t pid_for_task(mach_port_t task, int* pid) {
    if (!pid) return KERN_INVALID_ARGUMENT;
    return hx::iokit::transport().pidForTask(task, pid);
}

CFMutableDictionaryRef IOServiceMatching(const char* name) {
    if (!name) return nullptr;
    CFMutableDictionaryRef d = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                         &kCFTypeDictionaryValueCallBacks);
    CFStringRef value = CFStringCreateWithCString(nullptr, name, kCFStringEncodingUTF8);
    CFDictionarySetValue(d, CFSTR("IOProviderClass"), value);
    CFRelease(value);
    return d;
}

kern_return_t IOServiceGetMatchingServices(mach_port_t, CFDictionaryRef matching,
                                           io_iterator_t* existing) {
    if (!matching) return kIOReturnBadArgument;
    std::vector<Handle> services;
    const kern_return_t kr = existing
                                 ? hx::iokit::transport().getMatchingServices(matching, services)
                                 : kIOReturnBadArgument;
    CFRelease(matching);
    if (kr != KERN_SUCCESS) return kr;
    Object o;
    o.kind = Kind::Iterator;
    o.items.assign(services.begin(), services.end());
    *existing = addObject(std::move(o));
    return KERN_SUCCESS;
}

io_object_t IOIteratorNext(io_iterator_t iterator) {
    Handle h = 0;
    {
        std::lock_guard<std::mutex> g(gObjectsLock);
        auto it = objects().find(iterator);
        if (it == objects().end() || it->second.kind != Kind::Iterator) return 0;
        Object& o = it->second;
        if (o.items.empty()) {
            o.armed = true;
            return 0;
        }
        h = o.items.front();
        o.items.pop_front();
    }
    return newService(h);
}

kern_return_t IOObjectRetain(io_object_t object) {
    std::lock_guard<std::mutex> g(gObjectsLock);
    auto it = objects().find(object);
    if (it == objects().end() || it->second.kind == Kind::Connection) return MACH_SEND_INVALID_DEST;
    ++it->second.refs;
    return KERN_SUCCESS;
}

kern_return_t IOObjectRelease(io_object_t object) {
    Object gone;
    {
        std::lock_guard<std::mutex> g(gObjectsLock);
        auto it = objects().find(object);
        if (it == objects().end() || it->second.kind == Kind::Connection)
            return MACH_SEND_INVALID_DEST;
        if (--it->second.refs > 0) return KERN_SUCCESS;
        gone = std::move(it->second);
        objects().erase(it);
    }
    dispose(gone);
    return KERN_SUCCESS;
}

kern_return_t IORegistryEntryCreateCFProperties(io_registry_entry_t entry,
                                                CFMutableDictionaryRef* properties, CFAllocatorRef,
                                                IOOptionBits) {
    const Handle h = handleOf(entry, Kind::Service);
    if (!h) return MACH_SEND_INVALID_DEST;
    if (!properties) return kIOReturnBadArgument;
    return hx::iokit::transport().copyProperties(h, properties);
}

CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key,
                                          CFAllocatorRef, IOOptionBits) {
    const Handle h = handleOf(entry, Kind::Service);
    if (!h || !key) return nullptr;
    CFTypeRef value = nullptr;
    return hx::iokit::transport().copyProperty(h, key, &value) == KERN_SUCCESS ? value : nullptr;
}

IONotificationPortRef IONotificationPortCreate(mach_port_t) {
    auto* port = new IONotificationPort;
    CFRunLoopSourceContext context{};
    context.info = port;
    context.perform = &IONotificationPort::perform;
    port->source = CFRunLoopSourceCreate(nullptr, 0, &context);
    port->machPort = hx::mach::allocatePortName();
    if (hx::iokit::transport().createPort(port, &port->handle) != KERN_SUCCESS) {
        CFRelease(port->source);
        delete port;
        return nullptr;
    }
    ++gLivePorts;
    return port;
}

void IONotificationPortDestroy(IONotificationPortRef notify) {
    if (!notify) return;
    --gLivePorts;
    // Nothing is delivered once the transport's port is gone.
    hx::iokit::transport().destroyPort(notify->handle);
    CFRunLoopSourceInvalidate(notify->source);
    CFRelease(notify->source);
    std::vector<Handle> held;
    {
        std::lock_guard<std::mutex> g(notify->lock);
        for (auto& r : notify->queue)
            if (r.service) held.push_back(r.service);
        notify->queue.clear();
    }
    for (Handle h : held)
        hx::iokit::transport().releaseService(h);
    // Notifications still named keep working as names but hear nothing more.
    {
        std::lock_guard<std::mutex> g(gObjectsLock);
        for (auto& [name, o] : objects())
            if (o.port == notify) o.port = nullptr;
    }
    dispatch_queue_t target = nullptr;
    {
        std::lock_guard<std::mutex> g(notify->lock);
        notify->destroyed = true;
        target = notify->dispatchQueue;
    }
    if (!target) {
        delete notify;
        return;
    }
    // After every drain already queued there (and after the callback that
    // may be destroying its own port right now).
    dispatch_async(target, [notify, target] {
        delete notify;
        dispatch_release(target);
    });
}

void IONotificationPortSetDispatchQueue(IONotificationPortRef notify, dispatch_queue_t queue) {
    if (!notify) return;
    bool pending = false;
    {
        std::lock_guard<std::mutex> g(notify->lock);
        if (notify->destroyed || notify->dispatchQueue) return;
        if (queue) dispatch_retain(queue);
        notify->dispatchQueue = queue;
        pending = queue && !notify->queue.empty();
    }
    if (pending) dispatch_async(queue, [notify] { notify->drain(); });
}

CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef notify) {
    return notify ? notify->source : nullptr;
}

mach_port_t IONotificationPortGetMachPort(IONotificationPortRef notify) {
    return notify ? notify->machPort : 0;
}

kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef notifyPort,
                                               const char* notificationType,
                                               CFDictionaryRef matching,
                                               IOServiceMatchingCallback callback, void* refCon,
                                               io_iterator_t* notification) {
    if (!matching) return kIOReturnBadArgument;
    if (const kern_return_t refused = gFailNextMatching.exchange(KERN_SUCCESS)) {
        CFRelease(matching);
        return refused;
    }
    NotificationRecord::Kind kind{};
    kern_return_t kr = KERN_SUCCESS;
    if (!notifyPort || !notificationType || !notification)
        kr = kIOReturnBadArgument;
    else if (std::strcmp(notificationType, kIOPublishNotification) == 0)
        kind = NotificationRecord::Publish;
    else if (std::strcmp(notificationType, kIOTerminatedNotification) == 0)
        kind = NotificationRecord::Terminate;
    else if (std::strcmp(notificationType, kIOFirstPublishNotification) == 0)
        kind = NotificationRecord::FirstPublish;
    else if (std::strcmp(notificationType, kIOFirstMatchNotification) == 0)
        kind = NotificationRecord::FirstMatch;
    else
        kr = kIOReturnUnsupported;
    if (kr != KERN_SUCCESS) {
        CFRelease(matching);
        return kr;
    }
    // The name exists before the subscription, so a record that arrives at
    // once finds its iterator.
    Object o;
    o.kind = Kind::Iterator;
    o.port = notifyPort;
    o.matchingCallback = callback;
    o.refCon = refCon;
    const mach_port_t name = addObject(std::move(o));
    Handle sub = 0;
    std::vector<Handle> existing;
    kr = hx::iokit::transport().subscribeServices(notifyPort->handle, kind, matching, name, &sub,
                                                  &existing);
    CFRelease(matching);
    return bindNotification(name, kr, sub, existing, notification);
}

kern_return_t IOServiceAddInterestNotification(IONotificationPortRef notifyPort,
                                               io_service_t service, const char* interestType,
                                               IOServiceInterestCallback callback, void* refCon,
                                               io_object_t* notification) {
    const Handle h = handleOf(service, Kind::Service);
    if (!h) return MACH_SEND_INVALID_DEST;
    if (!notifyPort || !interestType || !notification || !callback) return kIOReturnBadArgument;
    const bool powerState = std::strcmp(interestType, kIOPriorityPowerStateInterest) == 0;
    if (std::strcmp(interestType, kIOGeneralInterest) != 0 && !powerState)
        return kIOReturnUnsupported;
    if (powerState)
        if (const kern_return_t refused = gFailNextPowerStateInterest.exchange(KERN_SUCCESS))
            return refused;
    IOObjectRetain(service);
    Object o;
    o.kind = Kind::Notification;
    o.powerStateOnly = powerState;
    o.port = notifyPort;
    o.interestCallback = callback;
    o.refCon = refCon;
    o.interestService = service;
    const mach_port_t name = addObject(std::move(o));
    Handle sub = 0;
    const kern_return_t kr =
        hx::iokit::transport().subscribeInterest(notifyPort->handle, h, name, &sub);
    return bindNotification(name, kr, sub, {}, notification);
}

kern_return_t IOServiceOpen(io_service_t service, task_t owningTask, uint32_t type,
                            io_connect_t* connect) {
    const Handle h = handleOf(service, Kind::Service);
    if (!h) return MACH_SEND_INVALID_DEST;
    if (!connect) return kIOReturnBadArgument;
    int64_t refused = int64_t(type);
    if (gRefuseOpenType.compare_exchange_strong(refused, -1)) return kIOReturnNotPermitted;
    Handle c = 0;
    const kern_return_t kr = hx::iokit::transport().open(h, owningTask, type, &c);
    if (kr != KERN_SUCCESS) return kr;
    Object o;
    o.kind = Kind::Connection;
    o.handle = c;
    o.gate = std::make_shared<CallGate>();
    o.connectType = type;
    *connect = addObject(std::move(o));
    return KERN_SUCCESS;
}

kern_return_t IOServiceClose(io_connect_t connect) {
    Object gone;
    {
        std::lock_guard<std::mutex> g(gObjectsLock);
        auto it = objects().find(connect);
        if (it == objects().end() || it->second.kind != Kind::Connection)
            return MACH_SEND_INVALID_DEST;
        gone = std::move(it->second);
        objects().erase(it);
    }
    // The root power domain's connection carries no kernel connection.
    if (gone.systemPower) return KERN_SUCCESS;
    return hx::iokit::transport().close(gone.handle);
}

// The root power domain: a new port of the caller's, the registration on it
// (the notifier), and a connection to the domain that only closes. The
// callback's service is the root domain's.
io_connect_t IORegisterForSystemPower(void* refCon, IONotificationPortRef* thePortRef,
                                      IOServiceInterestCallback callback, io_object_t* notifier) {
    if (thePortRef) *thePortRef = nullptr;
    if (notifier) *notifier = 0;
    if (!thePortRef || !callback || !notifier) return 0;
    if (gFailNextSystemPower.exchange(false)) return 0;
    IONotificationPortRef port = IONotificationPortCreate(0);
    if (!port) return 0;
    Object o;
    o.kind = Kind::Notification;
    o.port = port;
    o.interestCallback = callback;
    o.refCon = refCon;
    o.systemPower = true;
    const mach_port_t name = addObject(std::move(o));
    Handle registration = 0, root = 0;
    const kern_return_t kr =
        hx::iokit::transport().registerSystemPower(port->handle, name, &registration, &root);
    if (kr != KERN_SUCCESS) {
        {
            std::lock_guard<std::mutex> g(gObjectsLock);
            objects().erase(name);
        }
        IONotificationPortDestroy(port);
        return 0;
    }
    const mach_port_t rootService = newService(root);
    {
        std::lock_guard<std::mutex> g(gObjectsLock);
        Object& bound = objects()[name];
        bound.handle = registration;
        bound.interestService = rootService;
    }
    Object connection;
    connection.kind = Kind::Connection;
    connection.systemPower = true;
    *thePortRef = port;
    *notifier = name;
    return addObject(std::move(connection));
}

// Once this returns no callback of the registration starts, whoever else
// still holds its name.
kern_return_t IODeregisterForSystemPower(io_object_t* notifier) {
    if (!notifier) return kIOReturnBadArgument;
    Object gone;
    {
        std::lock_guard<std::mutex> g(gObjectsLock);
        auto it = objects().find(*notifier);
        if (it == objects().end() || !it->second.systemPower ||
            it->second.kind != Kind::Notification)
            return kIOReturnBadArgument;
        gone = std::move(it->second);
        objects().erase(it);
    }
    *notifier = 0;
    dispose(gone);
    return KERN_SUCCESS;
}

} // extern "C"

namespace {

// Runs fn with the connection's handle, one call at a time per connection
// (a waiting caller waits through the platform clock).
template <typename Fn> kern_return_t onConnection(io_connect_t connect, Fn fn) {
    Handle h = 0;
    std::shared_ptr<CallGate> gate;
    {
        std::lock_guard<std::mutex> g(gObjectsLock);
        auto it = objects().find(connect);
        if (it == objects().end() || it->second.kind != Kind::Connection)
            return MACH_SEND_INVALID_DEST;
        h = it->second.handle;
        gate = it->second.gate;
    }
    {
        std::unique_lock<std::mutex> l(gate->lock);
        hx::clock::wait(gate->cv, l, [&] { return !gate->busy; });
        gate->busy = true;
    }
    const kern_return_t kr = fn(h);
    {
        std::lock_guard<std::mutex> l(gate->lock);
        gate->busy = false;
    }
    hx::clock::notifyAll(gate->cv);
    return kr;
}

// Test hook: true when the call on this connection is the one armed to fail
// (the hook is disarmed by it).
bool failArmedCall(mach_port_t connection) {
    int64_t type = -1;
    {
        std::lock_guard<std::mutex> g(gObjectsLock);
        auto it = objects().find(connection);
        if (it == objects().end() || it->second.kind != Kind::Connection) return false;
        type = int64_t(it->second.connectType);
    }
    return gFailCallType.compare_exchange_strong(type, -1);
}

// The user side refuses what is over the limits before the kernel sees it.
kern_return_t callOn(mach_port_t connection, uint32_t selector, const CallArgs& a) {
    if (tooBig(a.scalarInputCount, a.structInputSize) ||
        tooBig(a.scalarOutputCount ? *a.scalarOutputCount : 0,
               a.structOutputSize ? *a.structOutputSize : 0) ||
        a.referenceCount > 8)
        return kIOReturnBadArgument;
    ++gConnectCalls;
    if (gFailCallType.load(std::memory_order_relaxed) >= 0 && failArmedCall(connection))
        return kIOReturnError;
    return onConnection(connection,
                        [&](Handle h) { return hx::iokit::transport().call(h, selector, a); });
}

} // namespace

extern "C" {

kern_return_t IOConnectCallMethod(mach_port_t connection, uint32_t selector, const uint64_t* input,
                                  uint32_t inputCnt, const void* inputStruct, size_t inputStructCnt,
                                  uint64_t* output, uint32_t* outputCnt, void* outputStruct,
                                  size_t* outputStructCnt) {
    return callOn(connection, selector,
                  CallArgs{.scalarInput = input,
                           .scalarInputCount = inputCnt,
                           .structInput = inputStruct,
                           .structInputSize = inputStructCnt,
                           .scalarOutput = output,
                           .scalarOutputCount = outputCnt,
                           .structOutput = outputStruct,
                           .structOutputSize = outputStructCnt});
}

kern_return_t IOConnectCallStructMethod(mach_port_t connection, uint32_t selector,
                                        const void* inputStruct, size_t inputStructCnt,
                                        void* outputStruct, size_t* outputStructCnt) {
    return IOConnectCallMethod(connection, selector, nullptr, 0, inputStruct, inputStructCnt,
                               nullptr, nullptr, outputStruct, outputStructCnt);
}

kern_return_t IOConnectCallScalarMethod(mach_port_t connection, uint32_t selector,
                                        const uint64_t* input, uint32_t inputCnt, uint64_t* output,
                                        uint32_t* outputCnt) {
    return IOConnectCallMethod(connection, selector, input, inputCnt, nullptr, 0, output, outputCnt,
                               nullptr, nullptr);
}

kern_return_t IOConnectCallAsyncScalarMethod(mach_port_t connection, uint32_t selector,
                                             mach_port_t wake_port, uint64_t* reference,
                                             uint32_t referenceCnt, const uint64_t* input,
                                             uint32_t inputCnt, uint64_t* output,
                                             uint32_t* outputCnt) {
    return callOn(connection, selector,
                  CallArgs{.scalarInput = input,
                           .scalarInputCount = inputCnt,
                           .scalarOutput = output,
                           .scalarOutputCount = outputCnt,
                           .wakePort = wake_port,
                           .reference = reference,
                           .referenceCount = referenceCnt});
}

kern_return_t IOConnectMapMemory64(io_connect_t connect, uint32_t memoryType, task_t,
                                   mach_vm_address_t* atAddress, mach_vm_size_t* ofSize,
                                   IOOptionBits options) {
    if (!atAddress || !ofSize) return kIOReturnBadArgument;
    if (!(options & kIOMapAnywhere)) return kIOReturnUnsupported;
    hx::iokit::holdIfArmed();
    return onConnection(connect, [&](Handle h) {
        mach_vm_address_t address = 0;
        mach_vm_size_t size = 0;
        const kern_return_t kr = hx::iokit::transport().map(h, memoryType, &address, &size);
        if (kr == KERN_SUCCESS) {
            const uint32_t shortfall = gMapShortfall.load();
            *atAddress = address;
            *ofSize = size > shortfall ? size - shortfall : 0;
        }
        return kr;
    });
}

kern_return_t IOConnectMapMemory(io_connect_t connect, uint32_t memoryType, task_t intoTask,
                                 vm_address_t* atAddress, vm_size_t* ofSize, IOOptionBits options) {
    if (!atAddress || !ofSize) return kIOReturnBadArgument;
    mach_vm_address_t address = 0;
    mach_vm_size_t size = 0;
    const kern_return_t kr =
        IOConnectMapMemory64(connect, memoryType, intoTask, &address, &size, options);
    if (kr == KERN_SUCCESS) {
        *atAddress = vm_address_t(address);
        *ofSize = vm_size_t(size);
    }
    return kr;
}

kern_return_t IOConnectUnmapMemory64(io_connect_t connect, uint32_t memoryType, task_t,
                                     mach_vm_address_t atAddress) {
    return onConnection(
        connect, [&](Handle h) { return hx::iokit::transport().unmap(h, memoryType, atAddress); });
}

kern_return_t IOConnectUnmapMemory(io_connect_t connect, uint32_t memoryType, task_t fromTask,
                                   vm_address_t atAddress) {
    return IOConnectUnmapMemory64(connect, memoryType, fromTask, mach_vm_address_t(atAddress));
}

} // extern "C"

// ---- Registry questions and writes, notification ports and traps

namespace {

kern_return_t iteratorOver(io_registry_entry_t entry, const char* plane, bool parents,
                           io_iterator_t* iterator) {
    const Handle h = handleOf(entry, Kind::Service);
    if (!h) return MACH_SEND_INVALID_DEST;
    if (!iterator) return kIOReturnBadArgument;
    std::vector<Handle> entries;
    const kern_return_t kr = hx::iokit::transport().neighbours(h, plane, parents, entries);
    if (kr != KERN_SUCCESS) return kr;
    Object o;
    o.kind = Kind::Iterator;
    o.items.assign(entries.begin(), entries.end());
    *iterator = addObject(std::move(o));
    return KERN_SUCCESS;
}

} // namespace

extern "C" {

const mach_port_t kIOMasterPortDefault = 0;

boolean_t IOObjectConformsTo(io_object_t object, const char* className) {
    const Handle h = handleOf(object, Kind::Service);
    bool conforms = false;
    return h && className &&
           hx::iokit::transport().conformsTo(h, className, &conforms) == KERN_SUCCESS && conforms;
}

boolean_t IOObjectIsEqualTo(io_object_t object, io_object_t anObject) {
    if (object == anObject) return object != 0;
    const Handle a = handleOf(object, Kind::Service);
    const Handle b = handleOf(anObject, Kind::Service);
    bool equal = false;
    return a && b && hx::iokit::transport().isEqual(a, b, &equal) == KERN_SUCCESS && equal;
}

kern_return_t IORegistryEntryGetChildIterator(io_registry_entry_t entry, const char* plane,
                                              io_iterator_t* iterator) {
    return iteratorOver(entry, plane, false, iterator);
}

kern_return_t IORegistryEntryGetParentIterator(io_registry_entry_t entry, const char* plane,
                                               io_iterator_t* iterator) {
    return iteratorOver(entry, plane, true, iterator);
}

kern_return_t IORegistryEntryGetPath(io_registry_entry_t entry, const char* plane,
                                     io_string_t path) {
    const Handle h = handleOf(entry, Kind::Service);
    if (!h) return MACH_SEND_INVALID_DEST;
    if (!plane || !path || std::strcmp(plane, "IOService") != 0) return kIOReturnBadArgument;
    std::string text;
    const kern_return_t kr = hx::iokit::transport().registryPath(h, plane, text);
    if (kr != KERN_SUCCESS) return kr;
    if (text.size() + 1 > sizeof(io_string_t)) return kIOReturnBadArgument;
    std::memcpy(path, text.c_str(), text.size() + 1);
    return KERN_SUCCESS;
}

kern_return_t IORegistryEntrySetCFProperty(io_registry_entry_t entry, CFStringRef propertyName,
                                           CFTypeRef property) {
    const Handle h = handleOf(entry, Kind::Service);
    if (!h) return MACH_SEND_INVALID_DEST;
    if (!propertyName || !property) return kIOReturnBadArgument;
    return hx::iokit::transport().setProperty(h, propertyName, property);
}

kern_return_t IOConnectSetNotificationPort(io_connect_t connect, uint32_t type, mach_port_t port,
                                           uintptr_t reference) {
    return onConnection(connect, [&](Handle h) {
        return hx::iokit::transport().setNotificationPort(h, type, port, uint64_t(reference));
    });
}

kern_return_t IOConnectTrap0(io_connect_t connect, uint32_t index) {
    return onConnection(connect, [&](Handle h) { return hx::iokit::transport().trap(h, index); });
}

} // extern "C"
