// Transfer records of the bulk and interrupt audio transports, and the
// general-purpose request blocks the MIDI and vendor ports use.
//
// A transfer record carries one transfer in flight or waiting. Ownership
// passes by two words: the use count (0 -> 1 is the claim, undone by the
// completion's unuse) and the sequence number (non-zero while the real-time
// service still has packets of the record to consume; it alone clears it,
// or the start's prepare on a record nobody uses). A record's buffer stays
// until its configuration goes: stop only aborts the pipes and waits for
// the completions, so no buffer is released under a transfer in flight.
//
// In buffers carry two marker words at the end of every packet (0xDEADBEEF
// then 0xBAADF00D); the bus stores a packet's last 8 bytes last, with
// release order, so a packet whose markers are gone has arrived whole.
#pragma once

#include <atomic>
#include <cstdint>

#include "driver/engine/desc/ZrSimpleObject.h"
#include "platform/kern/IOMemoryDescriptor.h"
#include "platform/usb/IOUSBHostFamily.h"

constexpr uint32_t kBulkIRPPackets = 20;
constexpr uint32_t kBulkInRecords = 4;
constexpr uint32_t kBulkOutRecords = 4;
constexpr uint32_t kInterruptInRecords = 4;
constexpr uint32_t kInterruptOutRecords = 8;
constexpr uint32_t kInterruptInPackets = 128;
constexpr uint32_t kInterruptOutPackets = 64;
constexpr uint32_t kMarkerWord0 = 0xDEADBEEF;
constexpr uint32_t kMarkerWord1 = 0xBAADF00D;
// The staging block of the bulk and interrupt output: 20 packets of the
// largest PCM a packet takes (20 frames of 32 channels... or 10 of 32).
constexpr uint32_t kBulkPcmBlockBytes = 25600;
// Request blocks of the device's request-block arrays.
constexpr uint32_t kRqBArrayBlocks = 64;
constexpr uint16_t kRqBBytes = 512;

// True while packet `k` of an in buffer of packets of `packetSize` bytes
// still holds both markers (nothing of it has arrived). Loads with acquire:
// the bus stores the marker position last.
bool bulkPacketHasMarkers(const uint8_t* data, uint32_t packetSize, uint32_t k);
// Writes both markers at the end of each of `packets` packets.
void bulkWriteMarkers(uint8_t* data, uint32_t packetSize, uint32_t packets);
// Packets arrived of a record that is not done, scanned from the last
// packet down to `processed`: the index after the last packet without its
// markers, or `processed` when none is new.
uint32_t bulkArrivedPackets(const uint8_t* data, uint32_t packetSize, uint32_t packets,
                            uint32_t processed);
// Whole packets a done transfer delivered: a partial packet's tail is stale.
inline uint32_t bulkDonePackets(uint32_t transferred, uint32_t packetSize, uint32_t packets) {
    if (!packetSize) return 0;
    const uint32_t n = transferred / packetSize;
    return n < packets ? n : packets;
}

// The part both transfer records share.
class AudioTransferRecord {
public:
    AudioTransferRecord() = default;
    ~AudioTransferRecord() { freeBuffer(); }
    AudioTransferRecord(const AudioTransferRecord&) = delete;
    AudioTransferRecord& operator=(const AudioTransferRecord&) = delete;

    // The claim: the use count goes 0 -> 1 only with a buffer and a free
    // sequence number. On success the transfer fields are cleared and the
    // number set; on failure the count is back and `seen` tells what it was.
    bool claim(uint32_t number, int32_t* seen = nullptr);
    void unuse();
    // Frees a record nobody uses (streaming (re)starts).
    void prepare();
    void cancel() {}

    int32_t useCount() const { return mUseCounter.load(std::memory_order_acquire); }
    uint32_t useNumber() const { return mUseNumber.load(std::memory_order_acquire); }
    void setUseNumber(uint32_t n) { mUseNumber.store(n, std::memory_order_release); }
    bool isDone() const { return mDone.load(std::memory_order_acquire) != 0; }
    void setDone() { mDone.store(1, std::memory_order_release); }
    uint8_t* data() const { return mData; }
    uint32_t size() const { return mSize; }
    IOBufferMemoryDescriptor* descriptor() const { return mDataDescriptor; }
    IOUSBHostPipe* pipe() const { return mPipe; }
    uint32_t packetSize() const { return mPacketSize; }
    uint32_t packetCount() const { return mPacketCount; }
    // A buffer of packets x packetSize bytes with no pipe behind it: the
    // unit fixtures and fuzz targets feed such records by hand.
    bool allocateUnbound(uint32_t packetSize, uint32_t packets) {
        if (mDataDescriptor || !packetSize) return false;
        return allocate(nullptr, packetSize, packets, "", nullptr);
    }

    void* owner = nullptr;
    uint32_t mProcessed = 0;
    std::atomic<uint32_t> mTransferedBytes{0};
    std::atomic<IOReturn> mStatus{kIOReturnSuccess};
    IOUSBHostCompletion mCompletion{};

protected:
    // Allocates packets x packetSize bytes for pipe (kernel memory below
    // 4 GiB first, then any); fallbackLine is logged on the fallback.
    bool allocate(IOUSBHostPipe* pipe, uint32_t packetSize, uint32_t packets,
                  const char* fallbackLine, const char* successLine);
    void freeBuffer();

    IOUSBHostPipe* mPipe = nullptr;
    std::atomic<int32_t> mUseCounter{0};
    std::atomic<uint32_t> mUseNumber{0};
    std::atomic<uint8_t> mDone{0};
    IOBufferMemoryDescriptor* mDataDescriptor = nullptr;
    uint8_t* mData = nullptr;
    uint32_t mSize = 0;
    uint32_t mPacketSize = 0;
    uint32_t mPacketCount = 0;
};

// One bulk transfer of 20 packets.
class AudioBulkIRP : public AudioTransferRecord {
public:
    void init(void* device);
    // False for a null pipe or when a buffer exists.
    bool allocData(IOUSBHostPipe* pipe);
    void term();
    bool useIn(uint32_t number);
    bool useOut(uint32_t number, bool log);
};

// One interrupt transfer: 128 packets on an in pipe, 64 on an out pipe.
class AudioInterruptIRP : public AudioTransferRecord {
public:
    void init(void* device);
    bool allocData(IOUSBHostPipe* pipe);
    void term();
    bool useIn(uint32_t number, bool log);
    bool useOut(uint32_t number);
    // The second Sorvik generation's out claim: every packet's 32-byte
    // header (7 frames, first-extra index 0xFF, the running counter + 7
    // big-endian in bytes 2..3, zero extra bytes).
    bool useOut_Flb2(uint32_t number, uint32_t& counter, bool log);
    uint32_t sentinelOffset(uint32_t k) const { return mSentinel[k & 127]; }

private:
    uint32_t mSentinel[128] = {};
};

// The lifecycle of a general-purpose request block. A block has one use at
// most (claimed 0 -> 1), so the state is its whole use count.
enum class BulkRBState : uint8_t {
    Idle,     // free
    InUse,    // claimed for a transfer
    Orphaned, // released while in use: it goes with its last unuse
};

// The general-purpose request block: a buffer and a lifecycle state. A
// block in use is never deleted; release marks it to go with its last
// unuse.
class BulkRB : public ZrSimpleObject {
public:
    BulkRB(void* owner, uint16_t size);
    ~BulkRB() override;
    bool isInitialized() const { return mDescriptor != nullptr; }
    bool use(uint32_t tag);
    void unuse();
    void setAutoDeleteOnCompletion(bool flag);
    void release();
    BulkRBState state() const { return mState.load(std::memory_order_acquire); }
    // The one way the state changes: from `from` to `to` if it still is
    // `from`.
    bool changeState(BulkRBState from, BulkRBState to) {
        return mState.compare_exchange_strong(from, to, std::memory_order_acq_rel,
                                              std::memory_order_acquire);
    }
    int32_t useCount() const { return state() == BulkRBState::Idle ? 0 : 1; }
    bool isBusy() const { return state() != BulkRBState::Idle; }
    bool autoDelete() const { return state() == BulkRBState::Orphaned; }
    uint8_t* data() const { return mData; }
    uint16_t bufferSize() const { return mBufferSize; }
    uint32_t tag() const { return mTag; }
    void* owner() const { return mOwner; }

    // Blocks deleted since start (tests count them).
    static std::atomic<uint32_t> sDeleted;

protected:
    bool claim();
    void* mOwner;
    std::atomic<BulkRBState> mState{BulkRBState::Idle};
    uint8_t* mData = nullptr;
    IOBufferMemoryDescriptor* mDescriptor = nullptr;
    uint16_t mBufferSize = 0;
    uint32_t mTag = 0;
};

// The same block without the tag.
class InterruptRB : public BulkRB {
public:
    using BulkRB::BulkRB;
    bool use() { return claim(); }
};

// The device's request-block arrays: 64 blocks of 512 bytes when empty
// (a filled array is left as it is); terminate empties it; the first block
// that can be claimed, or null.
void ZrInitBulkRqBs(void* owner, ZrSimpleArray& array);
void ZrInitInterruptRqBs(void* owner, ZrSimpleArray& array);
void ZrTerminateRqBs(ZrSimpleArray& array);
BulkRB* ZrFindFreeBulkRqB(ZrSimpleArray& array, uint32_t tag);
