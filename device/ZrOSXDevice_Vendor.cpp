// Raw USB control requests and the device's side of the vendor transport
// (the slots themselves: VendorAsyncTransport).
#include <cstring>

#include "device/ZrOSXDevice.h"
#include "platform/base/HXClock.h"

namespace {

constexpr uint32_t kReqUSBRequest = 13;
constexpr uint32_t kReqDispatch = 35;
constexpr uint32_t kReqVendorOpen = 45;
constexpr uint32_t kReqVendorClose = 46;
constexpr uint32_t kReqVendorAbort = 47;
constexpr uint32_t kCtrlGetPrivateDataClient = 77;
constexpr uint32_t kCtrlSetPrivateDataClient = 78;
constexpr uint32_t kMaxRequestBytes = 128;
constexpr uint64_t kBusyPollNanos = 5000000;
constexpr uint32_t kIn = 128;

} // namespace

bool ZrOSXDevice::deviceRequest(int direction, int level, int recipient, uint8_t request,
                                uint16_t value, uint16_t index, uint32_t& length, void* buffer) {
    if (!isDeviceOpen() || length > kMaxRequestBytes) return false;
    RecordGuard g(*this);
    QN_VendorOrClassRequest r{};
    r.eIn = direction;
    r.eType = level;
    r.eRecipient = recipient;
    r.bRequest = request;
    r.wValue = value;
    r.wIndex = index;
    r.uLength = length;
    if (direction != int(kIn) && buffer && length) std::memcpy(r.data, buffer, length);
    std::memcpy(g.record().payload, &r, sizeof r);
    if (!callDriver(kReqUSBRequest)) return false;
    if (direction == int(kIn)) {
        std::memcpy(&r, g.record().payload, sizeof r);
        if (r.uLength > length) return false;
        if (buffer) std::memcpy(buffer, r.data, r.uLength);
        length = r.uLength;
    }
    return true;
}

bool ZrOSXDevice::getPrivateDataClient(uint32_t& out) {
    RecordGuard g(*this);
    qnWriteU32(&g.record(), kOSXDispatchRecordOffset, kCtrlGetPrivateDataClient);
    if (!callDriver(kReqDispatch)) return false;
    out = qnReadU32(&g.record(), kOSXDispatchUnionOffset);
    return true;
}

bool ZrOSXDevice::setPrivateDataClient(uint32_t client) {
    RecordGuard g(*this);
    qnWriteU32(&g.record(), kOSXDispatchRecordOffset, kCtrlSetPrivateDataClient);
    qnWriteU32(&g.record(), kOSXDispatchUnionOffset, client);
    return callDriver(kReqDispatch);
}

uint32_t ZrOSXDevice::vendorAsyncOpen() {
    if (!isDeviceOpen() || mVendor.isOpen()) return VendorAsyncTransport::kNotOpen;
    auto* in = static_cast<uint8_t*>(mapSharedMemory(6, VendorAsyncTransport::kAreaBytes));
    auto* out =
        in ? static_cast<uint8_t*>(mapSharedMemory(7, VendorAsyncTransport::kAreaBytes)) : nullptr;
    auto unmap = [&] {
        if (in)
            IOConnectUnmapMemory64(connection(), 6, mach_task_self(),
                                   reinterpret_cast<mach_vm_address_t>(in));
        if (out)
            IOConnectUnmapMemory64(connection(), 7, mach_task_self(),
                                   reinterpret_cast<mach_vm_address_t>(out));
    };
    if (!in || !out) {
        unmap();
        return VendorAsyncTransport::kNotOpen;
    }
    RecordGuard g(*this);
    // Only a reply of 0 makes this client the owner: 3 or 4 leave the areas
    // (type 6 is the device's, with its owner's blocks) as they are.
    if (!callDriver(kReqVendorOpen) || qnReadU32(&g.record(), kOSXDispatchValueOffset) != 0) {
        unmap();
        return VendorAsyncTransport::kNotOpen;
    }
    mVendor.attach(in, out);
    return VendorAsyncTransport::kOK;
}

uint32_t ZrOSXDevice::vendorAsyncClose() {
    if (!mVendor.isOpen()) return VendorAsyncTransport::kOK;
    IntSpinLock busy;
    while (!busy.lock(mVendor.busyCounter(), false))
        hx::clock::sleepFor(kBusyPollNanos);
    callDriver(kReqVendorAbort);
    IOConnectUnmapMemory64(connection(), 6, mach_task_self(),
                           reinterpret_cast<mach_vm_address_t>(mVendor.area(true)));
    IOConnectUnmapMemory64(connection(), 7, mach_task_self(),
                           reinterpret_cast<mach_vm_address_t>(mVendor.area(false)));
    mVendor.detach();
    callDriver(kReqVendorClose);
    return VendorAsyncTransport::kOK;
}

uint32_t ZrOSXDevice::vendorAsyncAbortPendingRequests() {
    if (!mVendor.isOpen()) return VendorAsyncTransport::kNotOpen;
    callDriver(kReqVendorAbort);
    return VendorAsyncTransport::kOK;
}

uint32_t ZrOSXDevice::vendorAsyncWrite(const void* data, uint32_t length, uint64_t userData) {
    return mVendor.write(data, length, userData);
}

uint32_t ZrOSXDevice::vendorAsyncRead(void* buffer, uint32_t length, uint64_t userData) {
    return mVendor.read(buffer, length, userData);
}

void ZrOSXDevice::vendorAsyncCheck(VendorAsyncCallback inCallback, VendorAsyncCallback outCallback,
                                   void* context) {
    mVendor.check(inCallback, outCallback, context);
}
