// Transfer records and request blocks of the bulk and interrupt transports.
#include "driver/engine/transport/ZrBulkIRP.h"

#include <cstring>

#include "platform/kern/IOLib.h"

namespace {

constexpr IOOptionBits kBufferOptions = 16;

uint32_t packetSizeOf(IOUSBHostPipe* pipe) {
    const StandardUSB::EndpointDescriptor* ep = pipe ? pipe->getEndpointDescriptor() : nullptr;
    return ep ? (ep->wMaxPacketSize & 0x7FF) : 0;
}

bool isInPipe(IOUSBHostPipe* pipe) {
    const StandardUSB::EndpointDescriptor* ep = pipe ? pipe->getEndpointDescriptor() : nullptr;
    return ep && (ep->bEndpointAddress & 0x80);
}

IOBufferMemoryDescriptor* allocateBuffer(uint32_t bytes, const char* fallbackLine) {
    IOBufferMemoryDescriptor* d = IOBufferMemoryDescriptor::inTaskWithPhysicalMask(
        kernel_task, kBufferOptions, bytes, 0xFFFFFFFFull);
    if (!d) {
        IOLog("%s", fallbackLine);
        d = IOBufferMemoryDescriptor::withOptions(kBufferOptions, bytes, 4096);
    }
    return d;
}

void store32(uint8_t* p, uint32_t v) {
    __atomic_store_n(reinterpret_cast<uint32_t*>(p), v, __ATOMIC_RELAXED);
}

} // namespace

bool bulkPacketHasMarkers(const uint8_t* data, uint32_t packetSize, uint32_t k) {
    const uint8_t* end = data + uint64_t(k + 1) * packetSize;
    const uint32_t w0 =
        __atomic_load_n(reinterpret_cast<const uint32_t*>(end - 8), __ATOMIC_ACQUIRE);
    const uint32_t w1 =
        __atomic_load_n(reinterpret_cast<const uint32_t*>(end - 4), __ATOMIC_ACQUIRE);
    return w0 == kMarkerWord0 && w1 == kMarkerWord1;
}

void bulkWriteMarkers(uint8_t* data, uint32_t packetSize, uint32_t packets) {
    for (uint32_t k = 0; k < packets; ++k) {
        uint8_t* end = data + uint64_t(k + 1) * packetSize;
        store32(end - 8, kMarkerWord0);
        store32(end - 4, kMarkerWord1);
    }
}

uint32_t bulkArrivedPackets(const uint8_t* data, uint32_t packetSize, uint32_t packets,
                            uint32_t processed) {
    if (processed >= packets || packetSize < 8) return processed;
    for (uint32_t k = packets; k-- > processed;)
        if (!bulkPacketHasMarkers(data, packetSize, k)) return k + 1;
    return processed;
}

// ---- AudioTransferRecord

bool AudioTransferRecord::claim(uint32_t, int32_t* seen) {
    const int32_t was = mUseCounter.fetch_add(1, std::memory_order_acq_rel);
    if (was != 0 || !mData || mUseNumber.load(std::memory_order_acquire) != 0) {
        mUseCounter.fetch_sub(1, std::memory_order_acq_rel);
        if (seen) *seen = was;
        return false;
    }
    mTransferedBytes.store(0, std::memory_order_relaxed);
    mProcessed = 0;
    mDone.store(0, std::memory_order_relaxed);
    mStatus.store(kIOReturnSuccess, std::memory_order_relaxed);
    return true;
}

void AudioTransferRecord::unuse() {
    int32_t c = mUseCounter.load(std::memory_order_acquire);
    while (c >= 1 && !mUseCounter.compare_exchange_weak(c, c - 1, std::memory_order_acq_rel)) {
    }
}

void AudioTransferRecord::prepare() {
    if (mUseCounter.load(std::memory_order_acquire) < 1)
        mUseNumber.store(0, std::memory_order_release);
}

bool AudioTransferRecord::allocate(IOUSBHostPipe* pipe, uint32_t packetSize, uint32_t packets,
                                   const char* fallbackLine, const char* successLine) {
    if (mDataDescriptor || !packetSize) return false;
    mPipe = pipe;
    mPacketSize = packetSize;
    mPacketCount = packets;
    const uint32_t bytes = packetSize * packets;
    mDataDescriptor = allocateBuffer(bytes, fallbackLine);
    if (!mDataDescriptor) return false;
    mData = static_cast<uint8_t*>(mDataDescriptor->getBytesNoCopy());
    mSize = bytes;
    std::memset(mData, 0, bytes);
    if (successLine) IOLog(successLine, static_cast<void*>(mDataDescriptor), int(mSize));
    return true;
}

void AudioTransferRecord::freeBuffer() {
    if (mDataDescriptor) mDataDescriptor->release();
    mDataDescriptor = nullptr;
    mData = nullptr;
    mSize = 0;
    mPipe = nullptr;
    mUseCounter.store(0);
    mUseNumber.store(0);
}

// ---- AudioBulkIRP

void AudioBulkIRP::init(void* device) {
    freeBuffer();
    owner = device;
    mPacketSize = mPacketCount = 0;
}

bool AudioBulkIRP::allocData(IOUSBHostPipe* pipe) {
    if (!pipe || mDataDescriptor) return false;
    return allocate(pipe, packetSizeOf(pipe), kBulkIRPPackets,
                    "AudioBulkIRP::allocData buffer allocation inTaskWithPhysicalMask failed, try "
                    "withOptions.\n",
                    "AudioBulkIRP::allocData mDataDescriptor:%p size:%d\n");
}

void AudioBulkIRP::term() {
    freeBuffer();
}

bool AudioBulkIRP::useIn(uint32_t number) {
    if (!claim(number)) return false;
    bulkWriteMarkers(mData, mPacketSize, kBulkIRPPackets);
    mUseNumber.store(number, std::memory_order_release);
    return true;
}

bool AudioBulkIRP::useOut(uint32_t number, bool log) {
    int32_t seen = 0;
    if (!claim(number, &seen)) {
        if (log)
            IOLog("AudioBulkIRP::useOut error nUC:%d pData:%p number:%d\n", int(seen),
                  static_cast<void*>(mData), int(useNumber()));
        return false;
    }
    for (uint32_t k = 0; k < kBulkIRPPackets; ++k) {
        uint8_t* p = mData + k * mPacketSize;
        if (mPacketSize <= 512) {
            if (mPacketSize > 481) {
                p[480] = 0xFD;
                p[481] = 0xFF;
            }
        } else if (mPacketSize > 915) {
            p[432] = p[433] = p[914] = p[915] = 0xFD;
        }
    }
    mUseNumber.store(number, std::memory_order_release);
    return true;
}

// ---- AudioInterruptIRP

void AudioInterruptIRP::init(void* device) {
    freeBuffer();
    owner = device;
    mPacketSize = mPacketCount = 0;
    std::memset(mSentinel, 0, sizeof mSentinel);
}

bool AudioInterruptIRP::allocData(IOUSBHostPipe* pipe) {
    if (!pipe || mDataDescriptor) return false;
    const uint32_t size = packetSizeOf(pipe);
    const uint32_t packets = isInPipe(pipe) ? kInterruptInPackets : kInterruptOutPackets;
    if (!allocate(pipe, size, packets,
                  "AudioInterruptIRP::allocData buffer allocation inTaskWithPhysicalMask failed, "
                  "try withOptions.\n",
                  nullptr))
        return false;
    for (uint32_t k = 0; k < 128; ++k)
        mSentinel[k] = (k + 1) * size - 8;
    mUseCounter.store(0);
    mUseNumber.store(0);
    return true;
}

void AudioInterruptIRP::term() {
    freeBuffer();
}

bool AudioInterruptIRP::useIn(uint32_t number, bool log) {
    if (log) IOLog("AudioInterruptIRP::useIn %p\n", static_cast<void*>(this));
    if (!claim(number)) {
        if (log) IOLog("useIn fail mUseNumber:%d\n", int(useNumber()));
        return false;
    }
    if (mPacketSize >= 8) bulkWriteMarkers(mData, mPacketSize, mPacketCount);
    mUseNumber.store(number, std::memory_order_release);
    if (log)
        IOLog("AudioInterruptIRP::useIn nUC:%d pData:%p number:%d\n", int(useCount()),
              static_cast<void*>(mData), int(number));
    return true;
}

bool AudioInterruptIRP::useOut(uint32_t number) {
    if (!claim(number)) return false;
    mUseNumber.store(number, std::memory_order_release);
    return true;
}

bool AudioInterruptIRP::useOut_Flb2(uint32_t number, uint32_t& counter, bool log) {
    if (log) IOLog("AudioInterruptIRP::useOut_Flb2 %p\n", static_cast<void*>(this));
    if (!claim(number)) {
        if (log) IOLog("AudioInterruptIRP::useOut_Flb2 failed %d\n", int(useCount()));
        return false;
    }
    if (mPacketSize >= 32)
        for (uint32_t k = 0; k < mPacketCount; ++k) {
            uint8_t* p = mData + k * mPacketSize;
            counter += 7;
            p[0] = 7;
            p[1] = 0xFF;
            p[2] = uint8_t(counter >> 8);
            p[3] = uint8_t(counter);
            std::memset(p + 4, 0, 28);
        }
    mUseNumber.store(number, std::memory_order_release);
    if (log)
        IOLog("AudioInterruptIRP::useOut_Flb2 success mUseCounter:%d mUseNumber:%d \n",
              int(useCount()), int(number));
    return true;
}

// ---- BulkRB

std::atomic<uint32_t> BulkRB::sDeleted{0};

BulkRB::BulkRB(void* owner, uint16_t size) : mOwner(owner), mBufferSize(size) {
    mDescriptor = IOBufferMemoryDescriptor::withOptions(kBufferOptions, size, 4096);
    if (mDescriptor) mData = static_cast<uint8_t*>(mDescriptor->getBytesNoCopy());
}

BulkRB::~BulkRB() {
    if (mDescriptor) mDescriptor->release();
    sDeleted.fetch_add(1);
}

bool BulkRB::claim() {
    return changeState(BulkRBState::Idle, BulkRBState::InUse);
}

bool BulkRB::use(uint32_t tag) {
    if (!claim()) return false;
    mTag = tag;
    return true;
}

void BulkRB::unuse() {
    // An idle block stays idle; an orphaned one goes now.
    if (changeState(BulkRBState::InUse, BulkRBState::Idle)) return;
    if (changeState(BulkRBState::Orphaned, BulkRBState::Idle)) delete this;
}

void BulkRB::setAutoDeleteOnCompletion(bool flag) {
    if (!flag) {
        changeState(BulkRBState::Orphaned, BulkRBState::InUse);
        return;
    }
    release();
}

void BulkRB::release() {
    // A block in use goes with its last unuse; a second release of such a
    // block only leaves it marked.
    for (;;) {
        const BulkRBState s = state();
        if (s == BulkRBState::Orphaned) return;
        if (s == BulkRBState::InUse) {
            if (changeState(s, BulkRBState::Orphaned)) return;
        } else if (changeState(s, BulkRBState::Orphaned)) {
            delete this;
            return;
        }
    }
}

// ---- Request-block arrays

namespace {

template <class T> void fillArray(void* owner, ZrSimpleArray& array) {
    if (array.count() != 0) return;
    for (uint32_t i = 0; i < kRqBArrayBlocks; ++i) {
        T* rb = new T(owner, kRqBBytes);
        if (!array.add(rb)) delete rb;
    }
}

} // namespace

void ZrInitBulkRqBs(void* owner, ZrSimpleArray& array) {
    fillArray<BulkRB>(owner, array);
}

void ZrInitInterruptRqBs(void* owner, ZrSimpleArray& array) {
    fillArray<InterruptRB>(owner, array);
}

void ZrTerminateRqBs(ZrSimpleArray& array) {
    while (ZrSimpleObject* o = array.atPos(0)) {
        array.remove(o);
        // A block still in use goes with its last unuse.
        if (o->isDeletable()) static_cast<BulkRB*>(o)->release();
    }
}

BulkRB* ZrFindFreeBulkRqB(ZrSimpleArray& array, uint32_t tag) {
    for (int i = 0; i < int(kRqBArrayBlocks); ++i) {
        BulkRB* rb = array.at<BulkRB>(i);
        if (rb && rb->use(tag)) return rb;
    }
    return nullptr;
}
