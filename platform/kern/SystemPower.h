// The root power domain's user-space registrants: a process's system-power
// registration hears the machine's sleep and wake messages.
//
// A message goes to every registrant in registration order, each carrying a
// notification ID of its own. Can-sleep (0xE0000270) and will-sleep
// (0xE0000280) are awaited: the sender returns once every registrant has
// said that its callback returned (acknowledge) or has gone, or once
// kSystemPowerAnswerNanos of platform time have passed. The other messages
// are only sent. A registrant is told nothing after cancel() returns.
#pragma once

#include "platform/kern/IOTypes.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace hx::kern {

enum : UInt32 {
    kSystemPowerCanSleep = 0xE0000270,
    kSystemPowerWillSleep = 0xE0000280,
    kSystemPowerWillNotSleep = 0xE0000290,
    kSystemPowerHasPoweredOn = 0xE0000300,
    kSystemPowerWillPowerOn = 0xE0000320,
};

// How long a sleep waits for the registrants' callbacks at most.
constexpr uint64_t kSystemPowerAnswerNanos = 30000000000ULL;

// Whether the message is one of the five a registrant hears.
bool isSystemPowerMessage(UInt32 type);

class SystemPowerRegistrant {
public:
    // Gets the message type and its notification ID, on the sender's thread;
    // it must only queue.
    using Sink = std::function<void(UInt32 type, uint64_t notificationID)>;

    // The registrant's callback for the notification returned.
    void acknowledge(uint64_t notificationID);
    // No message is sent after this returns; one awaited counts as answered.
    void cancel();
    bool isCancelled() const;

private:
    friend struct SystemPowerAccess;
    mutable std::mutex mLock; // held while a message is handed to the sink
    Sink mSink;
    bool mCancelled = false;
    uint64_t mAwaiting = 0; // under the registry's lock
};

std::shared_ptr<SystemPowerRegistrant> registerSystemPower(SystemPowerRegistrant::Sink sink);
size_t systemPowerRegistrantCount();

// Sends one message to every registrant (awaiting the two that are awaited);
// the number of registrants told. A type that is none of the five is sent to
// nobody (0).
size_t sendSystemPowerMessage(UInt32 type);

} // namespace hx::kern
