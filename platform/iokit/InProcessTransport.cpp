// The in-process transport: the kernel end runs on the caller's thread.
// Registry values are converted between the kernel's containers and the
// property-list types; subscriptions feed their port's sink straight from
// the kernel's queueing (the sink only queues, so the sender runs no user
// code).
#include "platform/iokit/IOKitTransport.h"

#include "platform/base/MachPort.h"
#include "platform/cf/CFArray.h"
#include "platform/cf/CFData.h"
#include "platform/cf/CFDictionary.h"
#include "platform/cf/CFNumber.h"
#include "platform/cf/CFString.h"
#include "platform/kern/IOUserConnection.h"
#include "platform/kern/SystemPower.h"

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <variant>

namespace hx::iokit {

namespace {

// Kernel object to property-list value (one reference for the caller), or
// null for a kind user space never sees.
CFTypeRef toCF(const OSObject* o) {
    if (auto* s = OSDynamicCast(OSString, o))
        return CFStringCreateWithCString(nullptr, s->getCStringNoCopy(), kCFStringEncodingUTF8);
    if (auto* n = OSDynamicCast(OSNumber, o)) {
        const int64_t v = int64_t(n->unsigned64BitValue());
        return CFNumberCreate(nullptr, kCFNumberSInt64Type, &v);
    }
    if (auto* d = OSDynamicCast(OSData, o))
        return CFDataCreate(nullptr, static_cast<const UInt8*>(d->getBytesNoCopy()),
                            CFIndex(d->getLength()));
    if (auto* b = OSDynamicCast(OSBoolean, o))
        return CFRetain(b->getValue() ? kCFBooleanTrue : kCFBooleanFalse);
    if (auto* a = OSDynamicCast(OSArray, o)) {
        CFMutableArrayRef out = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
        for (unsigned i = 0; i < a->getCount(); ++i) {
            if (CFTypeRef v = toCF(a->getObject(i))) {
                CFArrayAppendValue(out, v);
                CFRelease(v);
            }
        }
        return out;
    }
    if (auto* d = OSDynamicCast(OSDictionary, o)) {
        CFMutableDictionaryRef out = CFDictionaryCreateMutable(
            nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        for (unsigned i = 0; i < d->getCount(); ++i) {
            const OSSymbol* key = d->getKey(i);
            CFTypeRef v = toCF(d->getObject(key));
            if (!v) continue;
            CFStringRef k =
                CFStringCreateWithCString(nullptr, key->getCStringNoCopy(), kCFStringEncodingUTF8);
            CFDictionarySetValue(out, k, v);
            CFRelease(k);
            CFRelease(v);
        }
        return out;
    }
    return nullptr;
}

// Property-list value to kernel object (retained), or null.
OSObject* toOS(CFTypeRef v) {
    const CFTypeID t = CFGetTypeID(v);
    if (t == CFStringGetTypeID()) return OSString::withCString(utf8Text(CFStringRef(v)).c_str());
    if (t == CFNumberGetTypeID()) {
        int64_t n = 0;
        CFNumberGetValue(CFNumberRef(v), kCFNumberSInt64Type, &n);
        return OSNumber::withNumber(uint64_t(n), 64);
    }
    if (t == CFBooleanGetTypeID())
        return OSBoolean::withBoolean(CFBooleanGetValue(CFBooleanRef(v)));
    if (t == CFDataGetTypeID())
        return OSData::withBytes(CFDataGetBytePtr(CFDataRef(v)),
                                 unsigned(CFDataGetLength(CFDataRef(v))));
    if (t == CFArrayGetTypeID()) {
        OSArray* a = OSArray::withCapacity(0);
        for (CFIndex i = 0; i < CFArrayGetCount(CFArrayRef(v)); ++i) {
            if (OSObject* o = toOS(CFArrayGetValueAtIndex(CFArrayRef(v), i))) {
                a->setObject(o);
                o->release();
            }
        }
        return a;
    }
    if (t == CFDictionaryGetTypeID()) {
        OSDictionary* d = OSDictionary::withCapacity(0);
        CFDictionaryApplyFunction(
            CFDictionaryRef(v),
            [](const void* key, const void* value, void* ctx) {
                if (CFGetTypeID(key) != CFStringGetTypeID()) return;
                if (OSObject* o = toOS(value)) {
                    static_cast<OSDictionary*>(ctx)->setObject(utf8Text(CFStringRef(key)).c_str(),
                                                               o);
                    o->release();
                }
            },
            d);
        return d;
    }
    return nullptr;
}

// The process's own name as its command line gives it, cut to 16 characters.
std::string commandName() {
    std::ifstream f("/proc/self/cmdline");
    std::string first;
    std::getline(f, first, '\0');
    const size_t slash = first.rfind('/');
    if (slash != std::string::npos) first = first.substr(slash + 1);
    return first.substr(0, hx::kern::kTaskNameLength);
}

class InProcessTransport final : public Transport {
public:
    // A kernel host ends a session's transport with its process: nothing
    // more is delivered to its ports, and the services it held go back.
    ~InProcessTransport() override {
        for (auto& [handle, s] : mSubscriptions)
            cancel(s);
        for (auto& [handle, s] : mServices)
            s->release();
    }

    const char* name() const override { return "in-process"; }

    kern_return_t getMatchingServices(CFDictionaryRef matching,
                                      std::vector<Handle>& services) override {
        OSDictionary* m = OSDynamicCast(OSDictionary, toOS(matching));
        if (!m) return kIOReturnBadArgument;
        for (IOService* s : hx::kern::copyMatchingServices(m))
            services.push_back(adopt(s));
        m->release();
        return KERN_SUCCESS;
    }

    kern_return_t retainService(Handle service, Handle* copy) override {
        IOService* s = service_(service);
        if (!s) return MACH_SEND_INVALID_DEST;
        *copy = adopt(s);
        return KERN_SUCCESS;
    }

    void releaseService(Handle service) override {
        IOService* s = nullptr;
        {
            std::lock_guard<std::mutex> g(mLock);
            auto it = mServices.find(service);
            if (it == mServices.end()) return;
            s = it->second;
            mServices.erase(it);
        }
        s->release();
    }

    uint64_t serviceIdentity(Handle service) override {
        std::lock_guard<std::mutex> g(mLock);
        auto it = mServices.find(service);
        return it == mServices.end() ? 0 : uint64_t(reinterpret_cast<uintptr_t>(it->second));
    }

    kern_return_t copyProperties(Handle service, CFMutableDictionaryRef* properties) override {
        IOService* s = service_(service);
        if (!s) return MACH_SEND_INVALID_DEST;
        OSDictionary* d = s->dictionaryWithProperties();
        s->release();
        *properties = CFMutableDictionaryRef(toCF(d));
        d->release();
        return KERN_SUCCESS;
    }

    kern_return_t copyProperty(Handle service, CFStringRef key, CFTypeRef* value) override {
        IOService* s = service_(service);
        if (!s) return MACH_SEND_INVALID_DEST;
        OSObject* o = s->copyProperty(utf8Text(key).c_str());
        s->release();
        *value = o ? toCF(o) : nullptr;
        if (o) o->release();
        return KERN_SUCCESS;
    }

    kern_return_t createPort(PortSink* sink, Handle* port) override {
        std::lock_guard<std::mutex> g(mLock);
        *port = ++mNext;
        mPorts[*port] = sink;
        return KERN_SUCCESS;
    }

    void destroyPort(Handle port) override {
        std::vector<Subscription> gone;
        {
            std::lock_guard<std::mutex> g(mLock);
            mPorts.erase(port);
            for (auto it = mSubscriptions.begin(); it != mSubscriptions.end();) {
                if (it->second.port == port) {
                    gone.push_back(std::move(it->second));
                    it = mSubscriptions.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (auto& s : gone)
            cancel(s);
    }

    kern_return_t subscribeServices(Handle port, NotificationRecord::Kind kind,
                                    CFDictionaryRef matching, uint32_t tag, Handle* subscription,
                                    std::vector<Handle>* existing) override {
        PortSink* sink = sink_(port);
        if (!sink) return MACH_SEND_INVALID_DEST;
        OSDictionary* m = OSDynamicCast(OSDictionary, toOS(matching));
        if (!m) return kIOReturnBadArgument;
        std::vector<IOService*> already;
        hx::kern::ServiceEvent event;
        switch (kind) {
        case NotificationRecord::Publish:
        case NotificationRecord::FirstPublish: // a service is registered, so published, once
            event = hx::kern::ServiceEvent::Publish;
            break;
        case NotificationRecord::Terminate:
            event = hx::kern::ServiceEvent::Terminate;
            break;
        case NotificationRecord::FirstMatch:
            event = hx::kern::ServiceEvent::FirstMatch;
            break;
        default:
            m->release();
            return kIOReturnBadArgument;
        }
        auto sub = hx::kern::subscribeServices(m, event, &already);
        m->release();
        sub->setSink([this, sink, kind, tag](IOService* s) {
            NotificationRecord r;
            r.kind = kind;
            r.tag = tag;
            r.service = adopt(s);
            sink->deliver(std::move(r));
        });
        for (IOService* s : already) {
            if (existing)
                existing->push_back(adopt(s));
            else
                s->release();
        }
        *subscription = add(Subscription{port, sub});
        return KERN_SUCCESS;
    }

    kern_return_t subscribeInterest(Handle port, Handle service, uint32_t tag,
                                    Handle* subscription) override {
        PortSink* sink = sink_(port);
        IOService* s = service_(service);
        if (!sink || !s) {
            if (s) s->release();
            return MACH_SEND_INVALID_DEST;
        }
        auto sub = s->subscribeUserInterest();
        s->release();
        sub->setSink([sink, tag](hx::kern::UserInterest::Message&& m) {
            NotificationRecord r;
            r.kind = NotificationRecord::Interest;
            r.tag = tag;
            r.messageType = m.type;
            r.argument = std::move(m.argument);
            sink->deliver(std::move(r));
        });
        *subscription = add(Subscription{port, sub});
        return KERN_SUCCESS;
    }

    kern_return_t registerSystemPower(Handle port, uint32_t tag, Handle* registration,
                                      Handle* root) override {
        PortSink* sink = sink_(port);
        if (!sink) return MACH_SEND_INVALID_DEST;
        auto reg = hx::kern::registerSystemPower([sink, tag](UInt32 type, uint64_t id) {
            NotificationRecord r;
            r.kind = NotificationRecord::Interest;
            r.tag = tag;
            r.messageType = type;
            r.argument.resize(sizeof id);
            std::memcpy(r.argument.data(), &id, sizeof id);
            sink->deliver(std::move(r));
        });
        IOService* domain = IOService::getPMRootDomain();
        domain->retain();
        *root = adopt(domain);
        *registration = add(Subscription{port, reg});
        return KERN_SUCCESS;
    }

    void acknowledgeSystemPower(Handle registration, uint64_t notificationID) override {
        std::shared_ptr<hx::kern::SystemPowerRegistrant> reg;
        {
            std::lock_guard<std::mutex> g(mLock);
            auto it = mSubscriptions.find(registration);
            if (it == mSubscriptions.end()) return;
            if (auto* p = std::get_if<std::shared_ptr<hx::kern::SystemPowerRegistrant>>(
                    &it->second.kernel))
                reg = *p;
        }
        if (reg) reg->acknowledge(notificationID);
    }

    void unsubscribe(Handle subscription) override {
        Subscription gone;
        {
            std::lock_guard<std::mutex> g(mLock);
            auto it = mSubscriptions.find(subscription);
            if (it == mSubscriptions.end()) return;
            gone = std::move(it->second);
            mSubscriptions.erase(it);
        }
        cancel(gone);
    }

    kern_return_t open(Handle service, task_t task, uint32_t type, Handle* connection) override {
        const task_t kernelTask = taskFor(task);
        if (kernelTask == MACH_PORT_NULL) return MACH_SEND_INVALID_DEST;
        IOService* s = service_(service);
        if (!s) return MACH_SEND_INVALID_DEST;
        io_connect_t c = MACH_PORT_NULL;
        const IOReturn r = hx::kern::connectionOpen(s, kernelTask, type, &c);
        s->release();
        if (r == kIOReturnSuccess) *connection = c;
        return r;
    }

    kern_return_t close(Handle connection) override {
        return hx::kern::connectionClose(connection);
    }

    kern_return_t call(Handle connection, uint32_t selector, const CallArgs& a) override {
        hx::kern::ConnectionCall c;
        c.scalarInput = a.scalarInput;
        c.scalarInputCount = a.scalarInputCount;
        c.structInput = a.structInput;
        c.structInputSize = a.structInputSize;
        c.scalarOutput = a.scalarOutput;
        c.scalarOutputCount = a.scalarOutputCount;
        c.structOutput = a.structOutput;
        c.structOutputSize = a.structOutputSize;
        c.wakePort = a.wakePort;
        c.reference = a.reference;
        c.referenceCount = a.referenceCount;
        return hx::kern::connectionCall(connection, selector, c);
    }

    kern_return_t map(Handle connection, uint32_t type, mach_vm_address_t* address,
                      mach_vm_size_t* size) override {
        return hx::kern::connectionMap(connection, type, address, size);
    }

    kern_return_t unmap(Handle connection, uint32_t type, mach_vm_address_t address) override {
        return hx::kern::connectionUnmap(connection, type, address);
    }

    kern_return_t pidForTask(task_t task, int* pid) override {
        const task_t t = taskFor(task);
        if (t == MACH_PORT_NULL) return MACH_SEND_INVALID_DEST;
        *pid = hx::kern::taskPid(t);
        return KERN_SUCCESS;
    }

    kern_return_t registryPath(Handle entry, const char* plane, std::string& path) override {
        if (!plane || std::strcmp(plane, "IOService") != 0) return kIOReturnBadArgument;
        IOService* s = service_(entry);
        if (!s) return MACH_SEND_INVALID_DEST;
        path = hx::kern::servicePlanePath(s);
        s->release();
        return KERN_SUCCESS;
    }

    kern_return_t deviceRequest(Handle service, DeviceRequest& r) override {
        r.done = 0;
        if (r.length > kMaxDeviceRequest) return kIOReturnBadArgument;
        const bool in = (r.requestType & 0x80) != 0;
        if (!in && r.data.size() != r.length) return kIOReturnBadArgument;
        IOService* s = service_(service);
        if (!s) return MACH_SEND_INVALID_DEST;
        r.data.resize(r.length);
        hx::kern::UserDeviceRequest setup{r.requestType, r.request, r.value, r.index, r.length};
        uint32_t done = 0;
        const IOReturn kr = hx::kern::userDeviceRequest(s, setup, r.data.data(), &done);
        s->release();
        r.done = done > r.length ? r.length : done;
        if (in) r.data.resize(r.done);
        return kr;
    }

    kern_return_t conformsTo(Handle service, const char* className, bool* conforms) override {
        IOService* s = service_(service);
        if (!s) return MACH_SEND_INVALID_DEST;
        *conforms = className && hx::kern::serviceConformsTo(s, className);
        s->release();
        return KERN_SUCCESS;
    }

    kern_return_t isEqual(Handle a, Handle b, bool* equal) override {
        IOService* x = service_(a);
        IOService* y = service_(b);
        const kern_return_t kr = x && y ? KERN_SUCCESS : MACH_SEND_INVALID_DEST;
        if (kr == KERN_SUCCESS) *equal = x == y;
        if (x) x->release();
        if (y) y->release();
        return kr;
    }

    kern_return_t neighbours(Handle entry, const char* plane, bool parents,
                             std::vector<Handle>& entries) override {
        if (!plane || std::strcmp(plane, "IOService") != 0) return kIOReturnBadArgument;
        IOService* s = service_(entry);
        if (!s) return MACH_SEND_INVALID_DEST;
        OSIterator* it =
            parents ? s->getParentIterator(gIOServicePlane) : s->getChildIterator(gIOServicePlane);
        s->release();
        if (!it) return kIOReturnNoMemory;
        while (OSObject* o = it->getNextObject()) {
            if (auto* n = OSDynamicCast(IOService, o)) {
                n->retain();
                entries.push_back(adopt(n));
            }
        }
        it->release();
        return KERN_SUCCESS;
    }

    // The entry's own handler decides (none takes user writes by default).
    kern_return_t setProperty(Handle service, CFStringRef key, CFTypeRef value) override {
        IOService* s = service_(service);
        if (!s) return MACH_SEND_INVALID_DEST;
        OSObject* v = value ? toOS(value) : nullptr;
        IOReturn r = kIOReturnBadArgument;
        if (v) {
            OSDictionary* d = OSDictionary::withCapacity(1);
            d->setObject(utf8Text(key).c_str(), v);
            r = s->setProperties(d);
            d->release();
            v->release();
        }
        s->release();
        return r;
    }

    kern_return_t setNotificationPort(Handle connection, uint32_t type, mach_port_t port,
                                      uint64_t reference) override {
        IOUserClient* c = hx::kern::connectionClient(connection);
        if (!c) return MACH_SEND_INVALID_DEST;
        const IOReturn r = c->registerNotificationPort(port, type, reference);
        c->release();
        return r;
    }

    kern_return_t trap(Handle connection, uint32_t index) override {
        IOUserClient* c = hx::kern::connectionClient(connection);
        if (!c) return MACH_SEND_INVALID_DEST;
        IOService* target = nullptr;
        IOExternalTrap* t = c->getTargetAndTrapForIndex(&target, index);
        IOReturn r = kIOReturnBadArgument;
        if (t && t->func) {
            IOService* object = target ? target : t->object;
            r = object ? (object->*(t->func))(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)
                       : kIOReturnBadArgument;
        }
        c->release();
        return r;
    }

private:
    struct Subscription {
        Handle port = 0;
        std::variant<std::monostate, std::shared_ptr<hx::kern::ServiceSubscription>,
                     std::shared_ptr<hx::kern::UserInterest>,
                     std::shared_ptr<hx::kern::SystemPowerRegistrant>>
            kernel;
    };

    static void cancel(Subscription& s) {
        if (auto* p = std::get_if<std::shared_ptr<hx::kern::ServiceSubscription>>(&s.kernel))
            (*p)->cancel();
        if (auto* p = std::get_if<std::shared_ptr<hx::kern::UserInterest>>(&s.kernel))
            (*p)->cancel();
        if (auto* p = std::get_if<std::shared_ptr<hx::kern::SystemPowerRegistrant>>(&s.kernel))
            (*p)->cancel();
    }

    // This process's task is made on first use; a task a test made for a
    // simulated process is used as it is.
    task_t taskFor(task_t task) {
        if (task == mach_task_self()) {
            std::lock_guard<std::mutex> g(mLock);
            if (mSelfTask == MACH_PORT_NULL)
                mSelfTask =
                    hx::kern::createTask(int(getpid()), commandName().c_str(), uint32_t(getuid()));
            return mSelfTask;
        }
        hx::kern::TaskIdentity id;
        return hx::kern::taskIdentity(task, id) ? task : MACH_PORT_NULL;
    }

    // Takes over a retained service.
    Handle adopt(IOService* s) {
        std::lock_guard<std::mutex> g(mLock);
        mServices[++mNext] = s;
        return mNext;
    }

    Handle add(Subscription&& s) {
        std::lock_guard<std::mutex> g(mLock);
        mSubscriptions[++mNext] = std::move(s);
        return mNext;
    }

    // Retained for the caller.
    IOService* service_(Handle h) {
        std::lock_guard<std::mutex> g(mLock);
        auto it = mServices.find(h);
        if (it == mServices.end()) return nullptr;
        it->second->retain();
        return it->second;
    }

    PortSink* sink_(Handle h) {
        std::lock_guard<std::mutex> g(mLock);
        auto it = mPorts.find(h);
        return it == mPorts.end() ? nullptr : it->second;
    }

    std::mutex mLock;
    Handle mNext = 0;
    task_t mSelfTask = MACH_PORT_NULL;
    std::map<Handle, IOService*> mServices;
    std::map<Handle, PortSink*> mPorts;
    std::map<Handle, Subscription> mSubscriptions;
};

} // namespace

std::unique_ptr<Transport> makeInProcessTransport() {
    return std::make_unique<InProcessTransport>();
}

} // namespace hx::iokit
