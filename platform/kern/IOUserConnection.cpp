#include "platform/kern/IOUserConnection.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/base/HXClock.h"
#include "platform/base/MachPort.h"

namespace hx::kern {

namespace {

// The call observer (a test hook), swapped whole under its lock; a call
// holds its own reference while it reports. Never destroyed: calls may still
// run while statics go away.
struct ObserverSlot {
    std::mutex lock;
    std::shared_ptr<const ConnectionCallObserver> observer;
};
ObserverSlot& observerSlot() {
    static ObserverSlot* slot = new ObserverSlot;
    return *slot;
}

std::shared_ptr<const ConnectionCallObserver> currentObserver() {
    ObserverSlot& slot = observerSlot();
    std::lock_guard<std::mutex> g(slot.lock);
    return slot.observer;
}

struct Connection {
    io_connect_t name = MACH_PORT_NULL;
    task_t task = MACH_PORT_NULL;
    IOUserClient* client = nullptr; // retained while the connection lives
    std::mutex lock;
    hx::clock::Condition idle;
    int inFlight = 0;
    bool closed = false;

    // Enters a call; false once the connection is closing.
    bool enter() {
        std::lock_guard<std::mutex> g(lock);
        if (closed) return false;
        ++inFlight;
        return true;
    }
    void leave() {
        std::lock_guard<std::mutex> g(lock);
        if (--inFlight == 0) idle.notifyAll();
    }
    // Refuses later calls and waits for those in flight; false when another
    // caller already closed it.
    bool shut() {
        std::unique_lock<std::mutex> l(lock);
        if (closed) return false;
        closed = true;
        idle.wait(l, [&] { return inFlight == 0; });
        return true;
    }
};

struct Mapping {
    task_t task;
    io_connect_t connect;
    uint32_t type;
    IOMemoryMap* map;
};

struct Table {
    std::mutex lock;
    std::map<io_connect_t, std::shared_ptr<Connection>> connections;
    std::vector<Mapping> mappings;
};

Table& table() {
    static Table* t = new Table;
    return *t;
}

std::shared_ptr<Connection> find(io_connect_t connect) {
    Table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.connections.find(connect);
    return it == t.connections.end() ? nullptr : it->second;
}

void forget(io_connect_t connect) {
    Table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    t.connections.erase(connect);
}

// Ends a connection: refuses later calls, waits for those in flight, then
// runs the client's close (or death) once.
IOReturn finish(const std::shared_ptr<Connection>& c, bool died) {
    if (!c->shut()) return MACH_SEND_INVALID_DEST;
    forget(c->name);
    IOReturn r = died ? c->client->clientDied() : c->client->clientClose();
    c->client->release();
    c->client = nullptr;
    return r;
}

} // namespace

IOReturn connectionOpen(IOService* service, task_t task, uint32_t type, io_connect_t* connect) {
    if (connect) *connect = MACH_PORT_NULL;
    if (!service || !connect) return kIOReturnBadArgument;
    TaskIdentity id;
    if (!taskIdentity(task, id)) return kIOReturnBadArgument;
    IOUserClient* client = nullptr;
    IOReturn r = service->newUserClient(task, nullptr, type, nullptr, &client);
    if (r != kIOReturnSuccess || !client) {
        if (client) client->release();
        return r != kIOReturnSuccess ? r : kIOReturnUnsupported;
    }
    auto c = std::make_shared<Connection>();
    c->name = hx::mach::allocatePortName();
    c->task = task;
    c->client = client;
    {
        Table& t = table();
        std::lock_guard<std::mutex> g(t.lock);
        t.connections[c->name] = c;
    }
    *connect = c->name;
    return kIOReturnSuccess;
}

IOReturn connectionCall(io_connect_t connect, uint32_t selector, const ConnectionCall& call) {
    const uint32_t scalarOutCap = call.scalarOutputCount ? *call.scalarOutputCount : 0;
    const size_t structOutCap = call.structOutputSize ? *call.structOutputSize : 0;
    std::shared_ptr<Connection> c = find(connect);
    if (!c) return MACH_SEND_INVALID_DEST;
    if (call.scalarInputCount > kMaxCallScalars || scalarOutCap > kMaxCallScalars ||
        call.structInputSize > kMaxCallStructSize || structOutCap > kMaxCallStructSize ||
        call.referenceCount > kOSAsyncRef64Count)
        return kIOReturnBadArgument;
    if ((call.scalarInputCount && !call.scalarInput) ||
        (call.structInputSize && !call.structInput) || (scalarOutCap && !call.scalarOutput) ||
        (structOutCap && !call.structOutput) || (call.referenceCount && !call.reference))
        return kIOReturnBadArgument;

    // The kernel's copies.
    uint64_t scalarIn[kMaxCallScalars] = {};
    uint64_t scalarOut[kMaxCallScalars] = {};
    uint8_t structIn[kMaxCallStructSize];
    uint8_t structOut[kMaxCallStructSize];
    io_user_reference_t reference[kOSAsyncRef64Count] = {};
    if (call.scalarInputCount)
        std::memcpy(scalarIn, call.scalarInput, call.scalarInputCount * sizeof(uint64_t));
    if (call.structInputSize) std::memcpy(structIn, call.structInput, call.structInputSize);
    if (call.referenceCount)
        std::memcpy(reference, call.reference, call.referenceCount * sizeof(uint64_t));
    const size_t copied = std::min(call.structInputSize, structOutCap);
    if (copied) std::memcpy(structOut, structIn, copied);
    if (structOutCap > copied) std::memset(structOut + copied, 0, structOutCap - copied);

    IOExternalMethodArguments args;
    args.version = 2;
    args.selector = selector;
    args.asyncWakePort = call.wakePort;
    args.asyncReference = call.referenceCount ? reference : nullptr;
    args.asyncReferenceCount = call.referenceCount;
    args.scalarInput = scalarIn;
    args.scalarInputCount = call.scalarInputCount;
    args.structureInput = call.structInputSize ? structIn : nullptr;
    args.structureInputSize = uint32_t(call.structInputSize);
    args.scalarOutput = scalarOut;
    args.scalarOutputCount = scalarOutCap;
    args.structureOutput = structOutCap ? structOut : nullptr;
    args.structureOutputSize = uint32_t(structOutCap);

    if (!c->enter()) return MACH_SEND_INVALID_DEST;
    const IOReturn r = c->client->externalMethod(selector, &args);
    if (auto observer = currentObserver())
        (*observer)(c->client, selector, structIn, call.structInputSize, r);
    c->leave();
    if (r != kIOReturnSuccess) return r;

    // What the method left, never more than the caller's room.
    const uint32_t scalarsBack = std::min(args.scalarOutputCount, scalarOutCap);
    const size_t structBack = std::min<size_t>(args.structureOutputSize, structOutCap);
    if (scalarsBack) std::memcpy(call.scalarOutput, scalarOut, scalarsBack * sizeof(uint64_t));
    if (call.scalarOutputCount) *call.scalarOutputCount = scalarsBack;
    if (structBack) std::memcpy(call.structOutput, structOut, structBack);
    if (call.structOutputSize) *call.structOutputSize = structBack;
    return r;
}

void setConnectionCallObserver(ConnectionCallObserver observer) {
    auto next =
        observer ? std::make_shared<const ConnectionCallObserver>(std::move(observer)) : nullptr;
    ObserverSlot& slot = observerSlot();
    std::lock_guard<std::mutex> g(slot.lock);
    slot.observer.swap(next);
}

IOReturn connectionMap(io_connect_t connect, uint32_t type, mach_vm_address_t* address,
                       mach_vm_size_t* size) {
    std::shared_ptr<Connection> c = find(connect);
    if (!c) return MACH_SEND_INVALID_DEST;
    if (!c->enter()) return MACH_SEND_INVALID_DEST;
    IOOptionBits options = 0;
    IOMemoryDescriptor* memory = nullptr;
    IOReturn r = c->client->clientMemoryForType(type, &options, &memory);
    IOMemoryMap* map = nullptr;
    if (r == kIOReturnSuccess) {
        if (!memory)
            r = kIOReturnNoMemory;
        else if (!(map = memory->createMappingInTask(c->task, 0,
                                                     kIOMapAnywhere | (options & kIOMapReadOnly))))
            r = kIOReturnNoMemory;
    }
    if (memory) memory->release();
    c->leave();
    if (r != kIOReturnSuccess) return r;
    if (address) *address = map->getAddress();
    if (size) *size = map->getLength();
    Table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    t.mappings.push_back({c->task, connect, type, map});
    return kIOReturnSuccess;
}

IOReturn connectionUnmap(io_connect_t connect, uint32_t type, mach_vm_address_t address) {
    IOMemoryMap* map = nullptr;
    {
        Table& t = table();
        std::lock_guard<std::mutex> g(t.lock);
        auto it = std::find_if(t.mappings.begin(), t.mappings.end(), [&](const Mapping& m) {
            return m.connect == connect && m.type == type && m.map->getAddress() == address;
        });
        if (it == t.mappings.end()) return kIOReturnBadArgument;
        map = it->map;
        t.mappings.erase(it);
    }
    map->release();
    return kIOReturnSuccess;
}

IOReturn connectionClose(io_connect_t connect) {
    std::shared_ptr<Connection> c = find(connect);
    if (!c) return MACH_SEND_INVALID_DEST;
    const IOReturn r = finish(c, false);
    return r == MACH_SEND_INVALID_DEST ? r : kIOReturnSuccess;
}

IOReturn connectionDied(io_connect_t connect) {
    std::shared_ptr<Connection> c = find(connect);
    if (!c) return MACH_SEND_INVALID_DEST;
    const IOReturn r = finish(c, true);
    return r == MACH_SEND_INVALID_DEST ? r : kIOReturnSuccess;
}

bool connectionMapFile(io_connect_t connect, uint32_t type, mach_vm_address_t address, int* fd,
                       uint64_t* offset) {
    Table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    for (const Mapping& m : t.mappings) {
        if (m.connect != connect || m.type != type || m.map->getAddress() != address) continue;
        const int own = m.map->fileDescriptor();
        if (own < 0) return false;
        *fd = ::fcntl(own, F_DUPFD_CLOEXEC, 0);
        *offset = m.map->fileOffset();
        return *fd >= 0;
    }
    return false;
}

IOUserClient* connectionClient(io_connect_t connect) {
    std::shared_ptr<Connection> c = find(connect);
    if (!c) return nullptr;
    std::lock_guard<std::mutex> g(c->lock);
    if (c->closed || !c->client) return nullptr;
    c->client->retain();
    return c->client;
}

void killTask(task_t task) {
    std::vector<std::shared_ptr<Connection>> mine;
    std::vector<IOMemoryMap*> maps;
    {
        Table& t = table();
        std::lock_guard<std::mutex> g(t.lock);
        for (auto& [name, c] : t.connections)
            if (c->task == task) mine.push_back(c);
        for (auto it = t.mappings.begin(); it != t.mappings.end();) {
            if (it->task == task) {
                maps.push_back(it->map);
                it = t.mappings.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : mine)
        finish(c, true);
    for (IOMemoryMap* m : maps)
        m->release();
    destroyTask(task);
}

size_t taskConnectionCount(task_t task) {
    Table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    return size_t(std::count_if(t.connections.begin(), t.connections.end(),
                                [&](const auto& e) { return e.second->task == task; }));
}

} // namespace hx::kern
