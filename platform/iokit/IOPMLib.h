// System power notifications: a registrant hears the machine's sleep and
// wake messages through an interest callback on a notification port of its
// own.
#pragma once

#include "platform/iokit/IOKitLib.h"

#define kIOPriorityPowerStateInterest "IOPriorityPowerStateInterest"

// The system's sleep and wake messages.
enum : natural_t {
    kIOMessageCanSystemSleep = 0xE0000270,
    kIOMessageSystemWillSleep = 0xE0000280,
    kIOMessageSystemWillNotSleep = 0xE0000290,
    kIOMessageSystemHasPoweredOn = 0xE0000300,
    kIOMessageSystemWillPowerOn = 0xE0000320,
};

extern "C" {

// The root power domain's connection (0 when refused); *thePortRef gets a
// new notification port that carries the messages, *notifier the
// registration.
io_connect_t IORegisterForSystemPower(void* refcon, IONotificationPortRef* thePortRef,
                                      IOServiceInterestCallback callback, io_object_t* notifier);
kern_return_t IODeregisterForSystemPower(io_object_t* notifier);
}
