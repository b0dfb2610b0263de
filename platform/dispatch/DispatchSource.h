// Dispatch sources on Mach ports: a send-right source with the dead-name
// mask fires when the port's receive right goes (its send rights turn into
// a dead name); a receive source fires for each message posted to the
// port's receive right. Sources start suspended; handlers run on the target
// queue; a cancelled source fires no more, and its cancel handler runs on
// the queue after the events already queued.
#pragma once

#include <cstdint>

#include "platform/dispatch/Dispatch.h"

typedef struct HXDispatchSource* dispatch_source_t;
typedef const struct HXDispatchSourceType* dispatch_source_type_t;

extern const dispatch_source_type_t HXDispatchSourceTypeMachSend;
extern const dispatch_source_type_t HXDispatchSourceTypeMachRecv;
#define DISPATCH_SOURCE_TYPE_MACH_SEND HXDispatchSourceTypeMachSend
#define DISPATCH_SOURCE_TYPE_MACH_RECV HXDispatchSourceTypeMachRecv

inline constexpr unsigned long DISPATCH_MACH_SEND_DEAD = 0x1;

// Null for an unknown type, a send source without the dead-name mask, or a
// port without rights.
dispatch_source_t dispatch_source_create(dispatch_source_type_t type, uintptr_t handle,
                                         unsigned long mask, dispatch_queue_t queue);
void dispatch_source_set_event_handler(dispatch_source_t source, dispatch_block_t handler);
void dispatch_source_set_cancel_handler(dispatch_source_t source, dispatch_block_t handler);
void dispatch_resume(dispatch_source_t source);
void dispatch_source_cancel(dispatch_source_t source);
long dispatch_source_testcancel(dispatch_source_t source);
uintptr_t dispatch_source_get_handle(dispatch_source_t source);
void dispatch_retain(dispatch_source_t source);
void dispatch_release(dispatch_source_t source);
