#include "platform/base/MachPortRights.h"

#include <map>
#include <mutex>
#include <vector>

#include "platform/base/MachPort.h"

namespace {

struct Port {
    hx::mach::PortRights rights;
};

struct Watch {
    mach_port_t name;
    std::function<void(hx::mach::PortEvent)> watcher;
};

std::mutex gLock;

std::map<mach_port_t, Port>& ports() {
    static auto* table = new std::map<mach_port_t, Port>;
    return *table;
}

std::map<std::uint64_t, Watch>& watches() {
    static auto* table = new std::map<std::uint64_t, Watch>;
    return *table;
}

std::uint64_t gNextWatch = 0;

// The watchers of name, copied so they run without the lock.
std::vector<std::function<void(hx::mach::PortEvent)>> watchersOf(mach_port_t name) {
    std::vector<std::function<void(hx::mach::PortEvent)>> out;
    for (auto& [id, w] : watches())
        if (w.name == name) out.push_back(w.watcher);
    return out;
}

void forgetIfEmpty(std::map<mach_port_t, Port>::iterator it) {
    const hx::mach::PortRights& r = it->second.rights;
    if (!r.receive && r.sendReferences == 0) ports().erase(it);
}

} // namespace

extern "C" kern_return_t mach_port_allocate(task_t, mach_port_right_t right,
                                            mach_port_name_t* name) {
    if (right != MACH_PORT_RIGHT_RECEIVE || !name) return KERN_INVALID_VALUE;
    const mach_port_t made = hx::mach::allocatePortName();
    std::lock_guard<std::mutex> lock(gLock);
    ports()[made].rights.receive = true;
    *name = made;
    return KERN_SUCCESS;
}

extern "C" kern_return_t mach_port_insert_right(task_t, mach_port_name_t name, mach_port_t poly,
                                                mach_msg_type_name_t polyPoly) {
    if (polyPoly != MACH_MSG_TYPE_MAKE_SEND || poly != name) return KERN_INVALID_VALUE;
    std::lock_guard<std::mutex> lock(gLock);
    auto it = ports().find(name);
    if (it == ports().end()) return KERN_INVALID_NAME;
    if (!it->second.rights.receive) return KERN_INVALID_RIGHT;
    it->second.rights.sendReferences++;
    return KERN_SUCCESS;
}

extern "C" kern_return_t mach_port_deallocate(task_t, mach_port_t name) {
    std::lock_guard<std::mutex> lock(gLock);
    auto it = ports().find(name);
    if (it == ports().end()) return KERN_INVALID_NAME;
    if (it->second.rights.sendReferences == 0) return KERN_INVALID_RIGHT;
    it->second.rights.sendReferences--;
    forgetIfEmpty(it);
    return KERN_SUCCESS;
}

extern "C" kern_return_t mach_port_mod_refs(task_t, mach_port_name_t name, mach_port_right_t right,
                                            mach_port_delta_t delta) {
    std::vector<std::function<void(hx::mach::PortEvent)>> toldDead;
    {
        std::lock_guard<std::mutex> lock(gLock);
        auto it = ports().find(name);
        if (it == ports().end()) return KERN_INVALID_NAME;
        hx::mach::PortRights& r = it->second.rights;
        if (right == MACH_PORT_RIGHT_RECEIVE) {
            if (!r.receive) return KERN_INVALID_RIGHT;
            if (delta == 0) return KERN_SUCCESS;
            if (delta != -1) return KERN_INVALID_VALUE;
            r.receive = false;
            // The send rights left become a dead name.
            if (r.sendReferences > 0) {
                r.dead = true;
                toldDead = watchersOf(name);
            }
            forgetIfEmpty(it);
        } else if (right == MACH_PORT_RIGHT_SEND || right == MACH_PORT_RIGHT_DEAD_NAME) {
            if ((right == MACH_PORT_RIGHT_DEAD_NAME) != r.dead) return KERN_INVALID_RIGHT;
            const long refs = long(r.sendReferences) + delta;
            if (refs < 0) return KERN_INVALID_VALUE;
            r.sendReferences = std::uint32_t(refs);
            forgetIfEmpty(it);
        } else {
            return KERN_INVALID_VALUE;
        }
    }
    for (auto& w : toldDead)
        w(hx::mach::PortEvent::DeadName);
    return KERN_SUCCESS;
}

namespace hx::mach {

std::uint64_t watchPort(mach_port_t name, std::function<void(PortEvent)> watcher) {
    std::lock_guard<std::mutex> lock(gLock);
    if (ports().find(name) == ports().end()) return 0;
    const std::uint64_t id = ++gNextWatch;
    watches()[id] = Watch{name, std::move(watcher)};
    return id;
}

void unwatchPort(std::uint64_t watch) {
    std::lock_guard<std::mutex> lock(gLock);
    watches().erase(watch);
}

bool postMessage(mach_port_t name) {
    std::vector<std::function<void(PortEvent)>> told;
    {
        std::lock_guard<std::mutex> lock(gLock);
        auto it = ports().find(name);
        if (it == ports().end() || !it->second.rights.receive) return false;
        told = watchersOf(name);
    }
    for (auto& w : told)
        w(PortEvent::Message);
    return true;
}

bool portRights(mach_port_t name, PortRights& out) {
    std::lock_guard<std::mutex> lock(gLock);
    auto it = ports().find(name);
    if (it == ports().end()) return false;
    out = it->second.rights;
    return true;
}

} // namespace hx::mach
