// The control request dispatcher's entries. Until the dispatcher is served
// here, the entries record the request code and whether a client asked, and
// answer the two codes that do nothing (0 and 1) with success, every other
// code with kIOReturnBadArgument, the record left as it came.
#include <string>

#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"

IOReturn ZrDevice::onDispatch(QN_Dispatch* pDispatch) { return dispatchFunction(nullptr, pDispatch); }

IOReturn ZrDevice::onDispatchStreaming(IOUserClient* client, QN_Dispatch* pDispatch)
{
    return dispatchFunction(client, pDispatch);
}

IOReturn ZrDevice::dispatchFunction(IOUserClient* client, QN_Dispatch* pDispatch)
{
    if (!pDispatch) return kIOReturnBadArgument;
    recordStub("dispatchFunction code=" + std::to_string(pDispatch->code) +
               " requester=" + std::to_string(client ? 1 : 0));
    return pDispatch->code <= 1 ? kIOReturnSuccess : kIOReturnBadArgument;
}
