// The kernel host: the kernel end of the user-side IOKit calls served to
// other processes over Unix SOCK_SEQPACKET sockets (PROTOCOL.md).
//
// Every user process gets a session (its task, named by the peer's
// credentials and command line), a socket per connection and one per
// notification port; machine control is a socket of its own for tests and
// hxsim. A client's bad frame ends only that socket. The host also publishes
// its clock in a read-only page every session receives.
#pragma once

#include "platform/base/IOKitTypes.h"
#include "platform/iokit/KernelHostWire.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace hx::iokit {

// What machine control reaches: the simulated machine behind the host.
class MachineControl {
public:
    virtual ~MachineControl() = default;
    virtual IOReturn plug() = 0;   // one more HX-5100
    virtual IOReturn unplug() = 0; // the device plugged last
    // One "key value" line per figure of the device model.
    virtual std::string statistics() = 0;
    virtual IOReturn fault(const std::string& name, uint64_t value) = 0;
    // The kernel driver of the device plugged first tells its clients of the
    // state change (as the device's own launch button does).
    virtual IOReturn stateChange(uint32_t code) {
        (void)code;
        return kIOReturnUnsupported;
    }
    // The machine sleeps (wire::kMachineSleep) or wakes (kMachineWake)
    // through the kernel's own hooks, or the root domain sends one of its
    // five messages alone; anything else is kIOReturnBadArgument.
    virtual IOReturn systemPower(uint32_t what);
};

// Sockets one process may hold at once; the next is refused at accept.
constexpr int kMaxSocketsPerProcess = 256;
// Records a notification port may fall behind before it is closed.
constexpr size_t kPortQueueLimit = 1024;

class KernelHost {
public:
    // control may be null (machine control then answers kIOReturnUnsupported).
    KernelHost(std::string socketPath, MachineControl* control);
    ~KernelHost();
    KernelHost(const KernelHost&) = delete;
    KernelHost& operator=(const KernelHost&) = delete;

    // Listens at the path (mode 0600) and starts serving; error says why not.
    bool start(std::string& error);
    // Stops accepting, ends every socket and waits for their threads.
    void stop();
    const std::string& socketPath() const;

    // The frames of one socket without a socket, for the fuzz target: the
    // first frame binds the role (as Hello), later ones are served; replies
    // are collected instead of sent. False once the socket would have closed.
    class Feed {
    public:
        virtual ~Feed() = default;
        virtual bool frame(const uint8_t* data, size_t size,
                           std::vector<std::vector<uint8_t>>& replies) = 0;
    };
    // A feed as a process of the given identity would open one.
    std::unique_ptr<Feed> feed(int pid, uint32_t uid, const char* name);

    struct Impl;

private:
    std::unique_ptr<Impl> mImpl;
};

} // namespace hx::iokit
