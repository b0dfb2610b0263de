// The user side of the vendor transport over two shared areas (the device's
// input area and the client's own output area): 128 slots of 8,192 data
// bytes each, plus four ring indexes.
//
// Both areas are shared with the kernel and writable by any process:
// indexes read from them are taken modulo 128, and where a read's data goes
// and how much was asked stay in this object, so a rewritten slot can never
// direct a copy. Results are the transport's eQN_IO_RESULT codes.
#pragma once

#include <cstdint>

typedef void (*VendorAsyncCallback)(void* context, uint32_t result, uint32_t length,
                                    uint64_t userData);

class VendorAsyncTransport {
public:
    static constexpr uint32_t kAreaBytes = 1051668;
    static constexpr uint32_t kSlots = 128;
    static constexpr uint32_t kSlotBytes = 8216;
    static constexpr uint32_t kDataBytes = 8192;
    // Offsets in a slot and of the indexes.
    static constexpr uint32_t kLength = 8192;
    static constexpr uint32_t kState = 8196;
    static constexpr uint32_t kUserData = 8200;
    static constexpr uint32_t kDestination = 8208;
    static constexpr uint32_t kSubmitWrite = 1051648;
    static constexpr uint32_t kSubmitRead = 1051652;
    static constexpr uint32_t kCompleteOut = 1051656;
    static constexpr uint32_t kCompleteIn = 1051660;

    enum Result : uint32_t { kOK = 0, kPending = 1, kNotOpen = 2, kBadParameter = 3, kBusy = 4 };

    // Takes both areas and clears their slot headers and indexes.
    void attach(uint8_t* in, uint8_t* out);
    void detach();
    bool isOpen() const { return mIn && mOut; }
    uint8_t* area(bool isInput) const { return isInput ? mIn : mOut; }

    uint32_t write(const void* data, uint32_t length, uint64_t userData);
    uint32_t read(void* buffer, uint32_t length, uint64_t userData);
    // Hands back finished slots, input first; nothing while busy is held.
    void check(VendorAsyncCallback inCallback, VendorAsyncCallback outCallback, void* context);

    // The busy counter a closer takes so no check runs meanwhile.
    int32_t* busyCounter() { return &mBusy; }

private:
    uint8_t* mIn = nullptr;
    uint8_t* mOut = nullptr;
    void* mDest[kSlots] = {};
    uint32_t mWanted[kSlots] = {};
    int32_t mBusy = 0;
};
