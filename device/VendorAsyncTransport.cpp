#include "device/VendorAsyncTransport.h"

#include <algorithm>
#include <cstring>

#include "abi/AudioSM.h"
#include "device/AudioThreadTools.h"

namespace {

constexpr uint32_t kReadMarker = 0x9ABCDEF0u;
constexpr uint32_t kStateFree = 0;
constexpr uint32_t kStateSubmitted = 1;
constexpr uint32_t kStateInFlight = 2;
constexpr uint32_t kStateDone = 3;
constexpr uint32_t kLastFailure = 6;

uint8_t* slotAt(uint8_t* area, uint32_t k) {
    return area + size_t(k % VendorAsyncTransport::kSlots) * VendorAsyncTransport::kSlotBytes;
}
uint32_t word(const uint8_t* p) {
    return audiosm::load32(p, __ATOMIC_ACQUIRE);
}
void setWord(uint8_t* p, uint32_t v) {
    audiosm::store32(p, v, __ATOMIC_RELEASE);
}

void initArea(uint8_t* area) {
    for (uint32_t k = 0; k < VendorAsyncTransport::kSlots; ++k)
        std::memset(slotAt(area, k) + VendorAsyncTransport::kLength, 0, 24);
    std::memset(area + VendorAsyncTransport::kSubmitWrite, 0, 16);
}

} // namespace

void VendorAsyncTransport::attach(uint8_t* in, uint8_t* out) {
    mIn = in;
    mOut = out;
    initArea(in);
    initArea(out);
    std::memset(mDest, 0, sizeof mDest);
    std::memset(mWanted, 0, sizeof mWanted);
}

void VendorAsyncTransport::detach() {
    mIn = mOut = nullptr;
    std::memset(mDest, 0, sizeof mDest);
    std::memset(mWanted, 0, sizeof mWanted);
}

uint32_t VendorAsyncTransport::write(const void* data, uint32_t length, uint64_t userData) {
    if (!mOut) return kNotOpen;
    if ((!data && length) || length > kDataBytes) return kBadParameter;
    const uint32_t k = word(mOut + kSubmitWrite) % kSlots;
    uint8_t* slot = slotAt(mOut, k);
    if (word(slot + kState) != kStateFree) return kBusy;
    if (length) std::memcpy(slot, data, length);
    audiosm::store32(slot + kLength, length);
    audiosm::store64(slot + kUserData, userData);
    audiosm::store64(slot + kDestination, 0);
    setWord(slot + kState, kStateSubmitted);
    setWord(mOut + kSubmitWrite, (k + 1) % kSlots);
    return kPending;
}

uint32_t VendorAsyncTransport::read(void* buffer, uint32_t length, uint64_t userData) {
    if (!mIn) return kNotOpen;
    if (!buffer || length == 0 || length > kDataBytes) return kBadParameter;
    const uint32_t k = word(mIn + kSubmitRead) % kSlots;
    uint8_t* slot = slotAt(mIn, k);
    if (word(slot + kState) != kStateFree) return kBusy;
    mDest[k] = buffer;
    mWanted[k] = length;
    audiosm::store32(slot + kLength, length);
    audiosm::store64(slot + kUserData, userData);
    audiosm::store64(slot + kDestination, reinterpret_cast<uintptr_t>(buffer));
    audiosm::store32(slot, kReadMarker);
    setWord(slot + kState, kStateSubmitted);
    setWord(mIn + kSubmitRead, (k + 1) % kSlots);
    return kPending;
}

void VendorAsyncTransport::check(VendorAsyncCallback inCallback, VendorAsyncCallback outCallback,
                                 void* context) {
    IntSpinLock busy;
    if (!busy.lock(&mBusy, false)) return;
    for (bool isInput : {true, false}) {
        uint8_t* area = isInput ? mIn : mOut;
        if (!area) continue;
        const uint32_t indexOffset = isInput ? kCompleteIn : kCompleteOut;
        for (uint32_t n = 0; n < kSlots; ++n) {
            const uint32_t k = word(area + indexOffset) % kSlots;
            uint8_t* slot = slotAt(area, k);
            const uint32_t state = word(slot + kState);
            if (state <= kStateInFlight) break;
            uint32_t result = kNotOpen, count = 0;
            if (state == kStateDone) {
                result = kOK;
                count = std::min(audiosm::load32(slot + kLength), kDataBytes);
                if (isInput) {
                    count = std::min(count, mWanted[k]);
                    if (mDest[k] && count)
                        std::memcpy(mDest[k], slot, count);
                    else
                        count = 0;
                }
            } else if (state <= kLastFailure) {
                result = state + 1; // 4, 5, 6 give 5, 6, 7
            }
            const uint64_t user = audiosm::load64(slot + kUserData);
            if (VendorAsyncCallback cb = isInput ? inCallback : outCallback)
                cb(context, result, count, user);
            if (isInput) {
                mDest[k] = nullptr;
                mWanted[k] = 0;
            }
            setWord(slot + kState, kStateFree);
            setWord(area + indexOffset, (k + 1) % kSlots);
        }
    }
}
