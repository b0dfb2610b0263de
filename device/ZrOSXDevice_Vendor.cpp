// Raw USB control requests and the user side of the vendor transport.
//
// The vendor areas are shared with the kernel, and any process may write
// them: indexes read from them are taken modulo 128, and where a read's data
// goes and how much was asked stay in this process (mVendorDest,
// mVendorWanted), so a rewritten slot can never direct a copy.
#include <algorithm>
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
constexpr uint32_t kReadMarker = 0x9ABCDEF0u;

// Results of the transport (eQN_IO_RESULT).
constexpr uint32_t kIOResultOK = 0;
constexpr uint32_t kIOResultPending = 1;
constexpr uint32_t kIOResultNotOpen = 2;
constexpr uint32_t kIOResultBadParameter = 3;
constexpr uint32_t kIOResultBusy = 4;

constexpr size_t kSubmitWrite = 1051648;
constexpr size_t kSubmitRead = 1051652;
constexpr size_t kCompleteOut = 1051656;
constexpr size_t kCompleteIn = 1051660;

constexpr uint32_t kStateFree = 0;
constexpr uint32_t kStateSubmitted = 1;
constexpr uint32_t kStateDone = 3;

uint8_t* slotAt(uint8_t* area, uint32_t k) {
    return area + size_t(k % 128) * 8216;
}
uint32_t word(const uint8_t* p) {
    return audiosm::load32(p, __ATOMIC_ACQUIRE);
}
void setWord(uint8_t* p, uint32_t v) {
    audiosm::store32(p, v, __ATOMIC_RELEASE);
}

void initArea(uint8_t* area) {
    for (uint32_t k = 0; k < 128; ++k)
        std::memset(slotAt(area, k) + 8192, 0, 24);
    std::memset(area + kSubmitWrite, 0, 16);
}

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
    if (direction != 128 && buffer && length) std::memcpy(r.data, buffer, length);
    std::memcpy(g.record().payload, &r, sizeof r);
    if (!callDriver(kReqUSBRequest)) return false;
    if (direction == 128) {
        std::memcpy(&r, g.record().payload, sizeof r);
        if (r.uLength > kMaxRequestBytes || r.uLength > length) return false;
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
    if (!isDeviceOpen() || mVendorIn || mVendorOut) return kIOResultNotOpen;
    auto* in = static_cast<uint8_t*>(mapSharedMemory(6, kVendorAreaBytes));
    auto* out = in ? static_cast<uint8_t*>(mapSharedMemory(7, kVendorAreaBytes)) : nullptr;
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
        vendorAsyncClose();
        return kIOResultNotOpen;
    }
    RecordGuard g(*this);
    // Only a reply of 0 makes this client the owner: 3 or 4 leave the areas
    // to the device and to the client that owns them.
    if (!callDriver(kReqVendorOpen) || qnReadU32(&g.record(), kOSXDispatchValueOffset) != 0) {
        unmap();
        return kIOResultNotOpen;
    }
    mVendorIn = in;
    mVendorOut = out;
    initArea(in);
    initArea(out);
    std::memset(mVendorDest, 0, sizeof mVendorDest);
    std::memset(mVendorWanted, 0, sizeof mVendorWanted);
    return kIOResultOK;
}

uint32_t ZrOSXDevice::vendorAsyncClose() {
    if (!mVendorIn && !mVendorOut) return kIOResultOK;
    IntSpinLock busy;
    while (!busy.lock(&mVendorBusy, false))
        hx::clock::sleepFor(kBusyPollNanos);
    callDriver(kReqVendorAbort);
    if (mVendorIn)
        IOConnectUnmapMemory64(connection(), 6, mach_task_self(),
                               reinterpret_cast<mach_vm_address_t>(mVendorIn));
    if (mVendorOut)
        IOConnectUnmapMemory64(connection(), 7, mach_task_self(),
                               reinterpret_cast<mach_vm_address_t>(mVendorOut));
    mVendorIn = mVendorOut = nullptr;
    callDriver(kReqVendorClose);
    return kIOResultOK;
}

uint32_t ZrOSXDevice::vendorAsyncAbortPendingRequests() {
    if (!mVendorIn) return kIOResultNotOpen;
    callDriver(kReqVendorAbort);
    return kIOResultOK;
}

uint32_t ZrOSXDevice::vendorAsyncWrite(const void* data, uint32_t length, uint64_t userData) {
    if (!mVendorOut) return kIOResultNotOpen;
    if ((!data && length) || length > kVendorDataBytes) return kIOResultBadParameter;
    const uint32_t k = word(mVendorOut + kSubmitWrite) % kVendorSlots;
    uint8_t* slot = slotAt(mVendorOut, k);
    if (word(slot + 8196) != kStateFree) return kIOResultBusy;
    if (length) std::memcpy(slot, data, length);
    audiosm::store32(slot + 8192, length);
    audiosm::store64(slot + 8200, userData);
    audiosm::store64(slot + 8208, 0);
    setWord(slot + 8196, kStateSubmitted);
    setWord(mVendorOut + kSubmitWrite, (k + 1) % kVendorSlots);
    return kIOResultPending;
}

uint32_t ZrOSXDevice::vendorAsyncRead(void* buffer, uint32_t length, uint64_t userData) {
    if (!mVendorIn) return kIOResultNotOpen;
    if (!buffer || length == 0 || length > kVendorDataBytes) return kIOResultBadParameter;
    const uint32_t k = word(mVendorIn + kSubmitRead) % kVendorSlots;
    uint8_t* slot = slotAt(mVendorIn, k);
    if (word(slot + 8196) != kStateFree) return kIOResultBusy;
    mVendorDest[k] = buffer;
    mVendorWanted[k] = length;
    audiosm::store32(slot + 8192, length);
    audiosm::store64(slot + 8200, userData);
    audiosm::store64(slot + 8208, reinterpret_cast<uintptr_t>(buffer));
    audiosm::store32(slot, kReadMarker);
    setWord(slot + 8196, kStateSubmitted);
    setWord(mVendorIn + kSubmitRead, (k + 1) % kVendorSlots);
    return kIOResultPending;
}

void ZrOSXDevice::vendorAsyncCheck(VendorAsyncCallback inCallback, VendorAsyncCallback outCallback,
                                   void* context) {
    IntSpinLock busy;
    if (!busy.lock(&mVendorBusy, false)) return;
    for (bool isInput : {true, false}) {
        uint8_t* area = isInput ? mVendorIn : mVendorOut;
        if (!area) continue;
        const size_t indexOffset = isInput ? kCompleteIn : kCompleteOut;
        for (uint32_t n = 0; n < kVendorSlots; ++n) {
            const uint32_t k = word(area + indexOffset) % kVendorSlots;
            uint8_t* slot = slotAt(area, k);
            const uint32_t state = word(slot + 8196);
            if (state <= 2) break;
            uint32_t result = 2, count = 0;
            if (state == kStateDone) {
                result = 0;
                count = audiosm::load32(slot + 8192);
                if (isInput) {
                    count = std::min({count, mVendorWanted[k], kVendorDataBytes});
                    if (mVendorDest[k] && count) std::memcpy(mVendorDest[k], slot, count);
                } else if (count > kVendorDataBytes) {
                    count = kVendorDataBytes;
                }
            } else if (state <= 6) {
                result = state + 1;
            }
            const uint64_t user = audiosm::load64(slot + 8200);
            VendorAsyncCallback cb = isInput ? inCallback : outCallback;
            if (cb) cb(context, result, count, user);
            if (isInput) {
                mVendorDest[k] = nullptr;
                mVendorWanted[k] = 0;
            }
            setWord(slot + 8196, kStateFree);
            setWord(area + indexOffset, (k + 1) % kVendorSlots);
        }
    }
}
