// The machine-control socket's client, for tests and hxsim only (suite code
// never controls the machine): plug, unplug, model statistics, fault knobs.
#pragma once

#include "platform/base/IOKitTypes.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace hx::iokit {

class MachineControlClient {
public:
    MachineControlClient() = default;
    ~MachineControlClient();
    MachineControlClient(const MachineControlClient&) = delete;
    MachineControlClient& operator=(const MachineControlClient&) = delete;

    bool connect(const std::string& socketPath);
    // MACH_SEND_INVALID_DEST when the host is not reached.
    IOReturn plug();
    IOReturn unplug();
    IOReturn statistics(std::string& text);
    IOReturn fault(const std::string& name, uint64_t value);
    // The first device's kernel driver sends the state change to its clients.
    IOReturn stateChange(uint32_t code);
    // The machine sleeps (the root domain's registrants hear will-sleep and
    // their callbacks return before the drivers sleep) or wakes.
    IOReturn systemSleep();
    IOReturn systemWake();
    // One of the root domain's five messages alone (0xE0000270, 0xE0000280,
    // 0xE0000290, 0xE0000300, 0xE0000320); another is kIOReturnBadArgument.
    IOReturn systemPowerMessage(uint32_t type);

private:
    IOReturn request(uint16_t kind, const std::vector<uint8_t>& payload, std::string* text);
    int mFd = -1;
    uint32_t mSequence = 0;
    std::mutex mLock;
};

} // namespace hx::iokit
