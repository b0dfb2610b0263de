// A kernel service for the audio server device's tests: a published
// IOService whose audio-server user client (type 3) answers the client's
// calls from a script instead of a device - open, close, start and stop
// hardware (with the slot it answers and whether the output ring is ever
// marked attached), the user class id, and the request records by request
// number (queued replies, each with its status, payload and byte count) -
// and offers the three shared areas (types 1, 4, 5) the test writes itself.
// Every call is recorded in order.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "abi/QN_Dispatch.h"
#include "platform/kern/IOMemoryDescriptor.h"
#include "platform/kern/IOUserClient.h"

namespace hx::test {

struct ScriptedReply {
    IOReturn status = kIOReturnSuccess;
    std::vector<uint8_t> payload; // copied over the payload's first bytes
    bool setCount = false;        // writes `count` into the record's first word
    uint32_t count = 0;
};

struct KernelCall {
    uint32_t selector = 0;
    uint32_t request = 0; // selector 6 only
    std::vector<uint64_t> scalars;
    std::vector<uint8_t> payload; // selector 6: the payload as it arrived
};

struct KernelScript {
    enum class Attach { AtStart, Never, Manual };
    IOReturn openResult = kIOReturnSuccess;
    IOReturn startResult = kIOReturnSuccess;
    int64_t slot = 0;
    Attach attach = Attach::AtStart;
    uint64_t userClassId = 0x5C1;
    // Replies by request number, taken in order; when none is queued the
    // standing reply of the number, else success with the payload unchanged.
    std::map<uint32_t, std::deque<ScriptedReply>> queued;
    std::map<uint32_t, ScriptedReply> standing;
    // Runs for every request after its reply is chosen, with the request as
    // it arrived, the reply (changeable) and the driver area (type 1, null
    // until made): the kernel's side effects, e.g. the configured word. It
    // runs under the service's lock and must not call the service.
    std::function<void(const KernelCall&, ScriptedReply&, uint8_t* driverArea)> onRequest;
};

class ScriptedKernelService : public IOService {
    OSDeclareDefaultStructors(ScriptedKernelService) public
        : static constexpr UInt32 kDriverAreaBytes = 30744;
    static constexpr UInt32 kRingBytes = 0x83FF0;

    // Makes and publishes one with the registry's "deviceUID" (none when
    // null); release with unpublish.
    static ScriptedKernelService* publish(const char* uid);
    static void unpublish(ScriptedKernelService* service);

    IOReturn newUserClient(task_t task, void* sid, UInt32 type, OSDictionary* properties,
                           IOUserClient** handler) override;

    // The kernel's view of an area of type 1, 4 or 5 (null for others).
    uint8_t* area(UInt32 type);
    IOBufferMemoryDescriptor* areaDescriptor(UInt32 type);

    // The script, changed under the service's lock.
    template <typename F> void script(F change) {
        std::lock_guard<std::mutex> g(mLock);
        change(mScript);
    }
    std::vector<KernelCall> calls();
    std::vector<uint32_t> requests(); // the request numbers of selector 6, in order
    size_t countSelector(uint32_t selector);
    size_t openClients();
    void clearCalls();

    // What the user client runs (under the lock).
    IOReturn answer(uint32_t selector, IOExternalMethodArguments* args);

protected:
    void free() override;

private:
    IOReturn callDriver(IOExternalMethodArguments* args, KernelCall& call);
    void markAttached(bool on);

    std::mutex mLock;
    KernelScript mScript;
    std::vector<KernelCall> mCalls;
    IOBufferMemoryDescriptor* mAreas[3] = {};
    size_t mOpenClients = 0;
    friend class ScriptedKernelClient;
};

} // namespace hx::test
