// Run loops: one per thread, made when first asked for. A loop runs in a
// mode; sources and timers belong to modes, and those added to
// kCFRunLoopCommonModes belong to every common mode (the default mode is
// one). A loop waits through the platform clock (platform/base HXClock.h)
// and takes part in virtual time while it runs, so timers fire on virtual
// time in tests.
//
// Callbacks run on the thread running the loop, never inside the call that
// signalled a source or added a timer. A signalled source runs once on the
// loop's next pass (signals before it run coalesce); due timers fire in
// deadline order, a repeating timer moving on by whole intervals.
#pragma once

#include "platform/cf/CFBase.h"
#include "platform/cf/CFString.h"

typedef struct HXCFRunLoop* CFRunLoopRef;
typedef struct HXCFRunLoopSource* CFRunLoopSourceRef;
typedef struct HXCFRunLoopTimer* CFRunLoopTimerRef;
typedef CFStringRef CFRunLoopMode;

typedef SInt32 CFRunLoopRunResult;
enum {
    kCFRunLoopRunFinished = 1,      // the mode has no source or timer
    kCFRunLoopRunStopped = 2,       // CFRunLoopStop
    kCFRunLoopRunTimedOut = 3,      // the time given passed
    kCFRunLoopRunHandledSource = 4, // a source ran and the caller asked to return
};

struct CFRunLoopSourceContext {
    CFIndex version; // 0
    void* info;
    const void* (*retain)(const void* info);
    void (*release)(const void* info);
    CFStringRef (*copyDescription)(const void* info);
    Boolean (*equal)(const void* info1, const void* info2);
    CFHashCode (*hash)(const void* info);
    void (*schedule)(void* info, CFRunLoopRef rl, CFRunLoopMode mode);
    void (*cancel)(void* info, CFRunLoopRef rl, CFRunLoopMode mode);
    void (*perform)(void* info);
};

struct CFRunLoopTimerContext {
    CFIndex version;
    void* info;
    const void* (*retain)(const void* info);
    void (*release)(const void* info);
    CFStringRef (*copyDescription)(const void* info);
};
typedef void (*CFRunLoopTimerCallBack)(CFRunLoopTimerRef timer, void* info);

// Constant keys are constant strings, valid even in another file's static
// initialisers.
#define kCFRunLoopDefaultMode CFSTR("kCFRunLoopDefaultMode")
#define kCFRunLoopCommonModes CFSTR("kCFRunLoopCommonModes")

extern "C" {
CFTypeID CFRunLoopGetTypeID(void);
CFRunLoopRef CFRunLoopGetCurrent(void);
// The main thread's loop (hx::cf::setMainThread); null when the process has
// been told it has none.
CFRunLoopRef CFRunLoopGetMain(void);
CFRunLoopMode CFRunLoopCopyCurrentMode(CFRunLoopRef rl);
void CFRunLoopAddCommonMode(CFRunLoopRef rl, CFRunLoopMode mode);

// Runs the default mode until stopped or left without sources and timers.
void CFRunLoopRun(void);
CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode mode, CFTimeInterval seconds,
                                      Boolean returnAfterSourceHandled);
// Ends the loop's current (innermost) run; a loop not running ignores it.
void CFRunLoopStop(CFRunLoopRef rl);
void CFRunLoopWakeUp(CFRunLoopRef rl);
Boolean CFRunLoopIsWaiting(CFRunLoopRef rl);

void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode);
void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode);
Boolean CFRunLoopContainsSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode);
void CFRunLoopAddTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFRunLoopMode mode);
void CFRunLoopRemoveTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFRunLoopMode mode);
Boolean CFRunLoopContainsTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFRunLoopMode mode);

CFTypeID CFRunLoopSourceGetTypeID(void);
CFRunLoopSourceRef CFRunLoopSourceCreate(CFAllocatorRef allocator, CFIndex order,
                                         CFRunLoopSourceContext* context);
CFIndex CFRunLoopSourceGetOrder(CFRunLoopSourceRef source);
void CFRunLoopSourceGetContext(CFRunLoopSourceRef source, CFRunLoopSourceContext* context);
// Marks the source to run on the next pass of each loop holding it, and
// wakes those loops (CFRunLoopWakeUp is then harmless but not needed).
void CFRunLoopSourceSignal(CFRunLoopSourceRef source);
// Removes the source from every loop; it never runs again.
void CFRunLoopSourceInvalidate(CFRunLoopSourceRef source);
Boolean CFRunLoopSourceIsValid(CFRunLoopSourceRef source);

CFTypeID CFRunLoopTimerGetTypeID(void);
// fireDate is on CFAbsoluteTimeGetCurrent's clock (the platform clock);
// interval 0 makes a one-shot timer, which is invalidated after it fires.
CFRunLoopTimerRef CFRunLoopTimerCreate(CFAllocatorRef allocator, CFAbsoluteTime fireDate,
                                       CFTimeInterval interval, CFOptionFlags flags, CFIndex order,
                                       CFRunLoopTimerCallBack callout,
                                       CFRunLoopTimerContext* context);
CFAbsoluteTime CFRunLoopTimerGetNextFireDate(CFRunLoopTimerRef timer);
void CFRunLoopTimerSetNextFireDate(CFRunLoopTimerRef timer, CFAbsoluteTime fireDate);
CFTimeInterval CFRunLoopTimerGetInterval(CFRunLoopTimerRef timer);
Boolean CFRunLoopTimerDoesRepeat(CFRunLoopTimerRef timer);
CFIndex CFRunLoopTimerGetOrder(CFRunLoopTimerRef timer);
void CFRunLoopTimerInvalidate(CFRunLoopTimerRef timer);
Boolean CFRunLoopTimerIsValid(CFRunLoopTimerRef timer);
}
