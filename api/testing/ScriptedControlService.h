// Kernel services for testing the driver control API without a device.
//
// QnApiScriptedService: a service under its own class name whose control
// client (types 2 and 5) answers struct selector 0 with scripted replies
// (a result, an output size, bytes laid over the record it got) and records
// every record and open it received. With no reply queued it echoes the
// record whole. The test sets its registry properties directly.
//
// ZrKernelDeviceSorvikModal6: a bare service of the other Sorvik family's
// class, with the "idVendor" (and optional "SorvikUID") the test chooses.
//
// Both are registered and terminated through the kernel stand-in like any
// driver's service, so discovery, interest messages and connections run the
// real user-side IOKit road.
#pragma once

#include "platform/kern/IOService.h"
#include "platform/kern/IOUserClient.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace hx::apitest {

constexpr const char* kScriptedServiceClassName = "QnApiScriptedService";
constexpr size_t kRecordSize = 1540;

struct ScriptedReply {
    IOReturn result = kIOReturnSuccess;
    size_t outputSize = kRecordSize; // 0..1,540 (more is cut to the caller's room)
    std::vector<uint8_t> bytes;      // laid over the reply from byte 0
};

} // namespace hx::apitest

class QnApiScriptedService : public IOService {
    OSDeclareDefaultStructors(QnApiScriptedService) public
        : IOReturn newUserClient(task_t task, void* sid, UInt32 type, OSDictionary*,
                                 IOUserClient** handler) override;

    // Replies in the order they will be used; each is used once.
    void queueReply(hx::apitest::ScriptedReply reply);
    // Used whenever the queue is empty (default: echo, success, 1,540).
    void setDefaultReply(hx::apitest::ScriptedReply reply);
    std::vector<std::vector<uint8_t>> received() const;
    std::vector<uint32_t> openedTypes() const;
    void clearRecords();
    // Sends a raw message to the interest clients (argument copied, size
    // bytes).
    void sendMessage(uint32_t type, const void* argument, size_t size);

    // The client's call: lays the reply over out and sets its size.
    IOReturn answer(const void* in, size_t inSize, void* out, uint32_t& outSize);

private:
    mutable std::mutex mLock;
    std::deque<hx::apitest::ScriptedReply> mQueue;
    hx::apitest::ScriptedReply mDefault;
    std::vector<std::vector<uint8_t>> mReceived;
    std::vector<uint32_t> mOpened;
};

class QnApiScriptedClient : public IOUserClient {
    OSDeclareDefaultStructors(QnApiScriptedClient) public : IOReturn clientClose() override;
    IOReturn externalMethod(uint32_t selector, IOExternalMethodArguments* args,
                            IOExternalMethodDispatch*, OSObject*, void*) override;

private:
    static IOReturn call(OSObject* target, void*, IOExternalMethodArguments* args);
};

class ZrKernelDeviceSorvikModal6 : public IOService {
    OSDeclareDefaultStructors(ZrKernelDeviceSorvikModal6)
};

namespace hx::apitest {

// A registered scripted service (one reference for the caller).
QnApiScriptedService* publishScriptedService();
// A registered Sorvik-family service with the vendor (and the UID, when
// given) as registry properties.
ZrKernelDeviceSorvikModal6* publishSorvikService(uint16_t vendor,
                                                 std::optional<uint64_t> uid = std::nullopt);
// Terminates the service, waits until the kernel is quiet and drops the
// caller's reference.
void unpublish(IOService* service);

} // namespace hx::apitest
