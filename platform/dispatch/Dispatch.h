// Dispatch queues: labelled serial queues, the main queue (run by the main
// run loop of platform/cf), and concurrent global queues by priority, with
// asynchronous, synchronous and delayed submission of blocks (C++
// callables) or plain functions, once-only initialisation and queue-specific
// values.
//
// Work runs on worker threads made when work is waiting and ended when none
// is left; each takes part in virtual time, reserved by the submitter, so a
// virtual clock cannot move while submitted work is still to run. Delayed
// work waits on the platform clock in one timer thread made the same way.
// Items of one queue start in submission order; a serial queue runs one at
// a time.
#pragma once

#include <cstdint>
#include <functional>

typedef struct HXDispatchQueue* dispatch_queue_t;
typedef const struct HXDispatchQueueAttr* dispatch_queue_attr_t;
typedef std::function<void()> dispatch_block_t;
typedef void (*dispatch_function_t)(void* context);
typedef std::uint64_t dispatch_time_t;
typedef long dispatch_once_t;
typedef long dispatch_queue_priority_t;

#define DISPATCH_QUEUE_SERIAL (static_cast<dispatch_queue_attr_t>(nullptr))
extern const dispatch_queue_attr_t HXDispatchQueueConcurrent;
#define DISPATCH_QUEUE_CONCURRENT HXDispatchQueueConcurrent
#define DISPATCH_CURRENT_QUEUE_LABEL (static_cast<dispatch_queue_t>(nullptr))

enum : dispatch_queue_priority_t {
    DISPATCH_QUEUE_PRIORITY_HIGH = 2,
    DISPATCH_QUEUE_PRIORITY_DEFAULT = 0,
    DISPATCH_QUEUE_PRIORITY_LOW = -2,
    DISPATCH_QUEUE_PRIORITY_BACKGROUND = -32768,
};

inline constexpr dispatch_time_t DISPATCH_TIME_NOW = 0;
inline constexpr dispatch_time_t DISPATCH_TIME_FOREVER = ~0ull;
inline constexpr std::uint64_t NSEC_PER_SEC = 1000000000ull;
inline constexpr std::uint64_t NSEC_PER_MSEC = 1000000ull;
inline constexpr std::uint64_t NSEC_PER_USEC = 1000ull;

dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t attr);
dispatch_queue_t dispatch_get_main_queue();
// Unknown priorities answer null.
dispatch_queue_t dispatch_get_global_queue(long identifier, unsigned long flags);
// DISPATCH_CURRENT_QUEUE_LABEL: the label of the queue running the caller
// ("" outside any queue).
const char* dispatch_queue_get_label(dispatch_queue_t queue);
void dispatch_retain(dispatch_queue_t queue);
void dispatch_release(dispatch_queue_t queue);

void dispatch_async(dispatch_queue_t queue, dispatch_block_t block);
void dispatch_async_f(dispatch_queue_t queue, void* context, dispatch_function_t work);
// Waits until the work ran on the queue (a serial or the main queue) or runs
// it on the caller's thread (a concurrent queue). Like the original, a sync
// onto the serial queue the caller runs on never returns.
void dispatch_sync(dispatch_queue_t queue, dispatch_block_t block);
void dispatch_sync_f(dispatch_queue_t queue, void* context, dispatch_function_t work);
// Submits the work to the queue once the platform clock reaches when.
void dispatch_after(dispatch_time_t when, dispatch_queue_t queue, dispatch_block_t block);
void dispatch_after_f(dispatch_time_t when, dispatch_queue_t queue, void* context,
                      dispatch_function_t work);
// An absolute time on the platform clock: when (DISPATCH_TIME_NOW for now)
// plus delta nanoseconds, saturating; DISPATCH_TIME_FOREVER stays forever.
dispatch_time_t dispatch_time(dispatch_time_t when, std::int64_t delta);

void dispatch_once(dispatch_once_t* predicate, dispatch_block_t block);
void dispatch_once_f(dispatch_once_t* predicate, void* context, dispatch_function_t function);

// A value per (queue, key); destructor runs on the value when replaced or
// when the queue goes.
void dispatch_queue_set_specific(dispatch_queue_t queue, const void* key, void* context,
                                 dispatch_function_t destructor);
void* dispatch_queue_get_specific(dispatch_queue_t queue, const void* key);
// The value for key of the queue running the caller, else null.
void* dispatch_get_specific(const void* key);

namespace hx::dispatch {

// Test hooks. drain waits until every item submitted to the queue so far
// (and what those items submit to it) has run; for the main queue called on
// the main thread it runs them itself. drainAll does the same for every
// queue until all are idle and their worker threads have ended (so a test
// may switch clocks next). Delayed work not yet due is left waiting.
void drain(dispatch_queue_t queue);
void drainAll();

} // namespace hx::dispatch
