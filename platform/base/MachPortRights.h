// Rights of this process's Mach ports: a receive right, send rights counted
// by user references, and dead names. Destroying the receive right turns the
// send rights that remain into a dead name (same name, same references);
// the last reference of a name frees it. Watchers learn of messages posted
// to a receive right and of a name going dead; the dispatch sources of
// platform/dispatch are built on them.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/base/MachTypes.h"

typedef natural_t mach_port_name_t;
typedef natural_t mach_port_right_t;
typedef int mach_port_delta_t;
typedef natural_t mach_msg_type_name_t;

enum : mach_port_right_t {
    MACH_PORT_RIGHT_SEND = 0,
    MACH_PORT_RIGHT_RECEIVE = 1,
    MACH_PORT_RIGHT_DEAD_NAME = 4,
};
enum : mach_msg_type_name_t { MACH_MSG_TYPE_MAKE_SEND = 20 };

extern "C" {
// A new name holding a receive right (the only right asked for here).
kern_return_t mach_port_allocate(task_t task, mach_port_right_t right, mach_port_name_t* name);
// MACH_MSG_TYPE_MAKE_SEND on the receive right's own name: one more send
// reference.
kern_return_t mach_port_insert_right(task_t task, mach_port_name_t name, mach_port_t poly,
                                     mach_msg_type_name_t polyPoly);
// Drops one send or dead-name reference.
kern_return_t mach_port_deallocate(task_t task, mach_port_t name);
// Changes the references of one right; a receive right goes with -1.
kern_return_t mach_port_mod_refs(task_t task, mach_port_name_t name, mach_port_right_t right,
                                 mach_port_delta_t delta);
}

namespace hx::mach {

enum class PortEvent { Message, DeadName };

// Calls watcher (on the poster's or destroyer's thread; it must only queue)
// for each message posted to the name's receive right and when the name
// goes dead. Answers a watch id for unwatchPort; 0 for a name without
// rights.
std::uint64_t watchPort(mach_port_t name, std::function<void(PortEvent)> watcher);
void unwatchPort(std::uint64_t watch);

// Test hook: a message arrives at the receive right of name. False when the
// name holds none.
bool postMessage(mach_port_t name);

// What the name holds now (tests).
struct PortRights {
    bool receive = false;
    bool dead = false;
    std::uint32_t sendReferences = 0; // send or dead-name references
};
bool portRights(mach_port_t name, PortRights& out);

} // namespace hx::mach
