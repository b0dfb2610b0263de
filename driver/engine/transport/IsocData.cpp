#include "driver/engine/transport/IsocData.h"

#include <cstring>

#include "driver/engine/stream/ZrFramePatternObserver.h"
#include "platform/base/HXClock.h"
#include "platform/kern/IOLib.h"

void IsocPipe::bind(IOUSBHostPipe* pipe) {
    handle = pipe;
    bandwidth = 0;
    if (!pipe) {
        address = interval = 0;
        maxPacket = 0;
        return;
    }
    const StandardUSB::EndpointDescriptor* ep = pipe->getEndpointDescriptor();
    address = ep->bEndpointAddress;
    interval = ep->bInterval;
    const uint16_t raw = ep->wMaxPacketSize;
    maxPacket = uint32_t(raw & 0x7FF) * (1 + ((raw >> 11) & 3));
}

ZrIsocRB::ZrIsocRB(bool highSpeed, IsocPipe* pipe) {
    layout(highSpeed, pipe);
    allocate(mBufferSize);
    mbInit = mBuffer && mDescriptor && mPipe && mPipe->handle;
}

ZrIsocRB::~ZrIsocRB() {
    OSSafeReleaseNULL(mDescriptor);
}

void ZrIsocRB::layout(bool highSpeed, IsocPipe* pipe) {
    mHighSpeed = highSpeed;
    mPipe = pipe;
    mMaxPacket = pipe ? pipe->maxPacket : 0;
    mMicroFrames = highSpeed && pipe && pipe->interval == 1;
    mFrameCount = mMicroFrames ? kIsocRBMaxPackets : kIsocRBPackets;
    mBufferSize = mMicroFrames ? kIsocRBMicroBytes : kIsocRBBytes;
}

bool ZrIsocRB::allocate(uint32_t bytes) {
    IOBufferMemoryDescriptor* d =
        IOBufferMemoryDescriptor::inTaskWithPhysicalMask(kernel_task, 0, bytes, 0xFFFFFFFFull);
    if (!d) {
        IOLog("ZrIsocRB::ZrIsocRB buffer allocation inTaskWithPhysicalMask failed, try "
              "withOptions.\n");
        d = IOBufferMemoryDescriptor::withOptions(0, bytes, 4096);
    }
    if (!d || !d->getBytesNoCopy()) {
        IOLog("ZrIsocRB::ZrIsocRB buffer allocation failed. requested bytes:%d\n", int(bytes));
        OSSafeReleaseNULL(d);
        return false;
    }
    OSSafeReleaseNULL(mDescriptor);
    mDescriptor = d;
    mBuffer = static_cast<uint8_t*>(d->getBytesNoCopy());
    mAllocSize = bytes;
    std::memset(mBuffer, 0, bytes);
    return true;
}

void ZrIsocRB::reinit(bool highSpeed, IsocPipe* pipe) {
    if (isInUse()) {
        IOLog("ZrIsocRB::reinit while in use\n");
        mInUse.store(0);
    }
    const uint32_t before = mFrameCount;
    layout(highSpeed, pipe);
    if (mFrameCount != before && mFrameCount == kIsocRBMaxPackets)
        IOLog("ZrIsocRB::reinit switching to %d frames\n", int(mFrameCount));
    // A block made for 4 packets is grown before it carries 32.
    if (mAllocSize < mBufferSize) allocate(mBufferSize);
    mbInit = mBuffer && mDescriptor && mAllocSize >= mBufferSize && mPipe && mPipe->handle;
}

void ZrIsocRB::initRead() {
    uint32_t size = 0;
    if (mHighSpeed)
        size = mMaxPacket < 1024 ? mMaxPacket : 1024;
    else {
        // Without a bandwidth decision the endpoint's maximum is the request.
        const uint32_t bw = mPipe && mPipe->bandwidth ? mPipe->bandwidth : mMaxPacket;
        size = bw < 1023 ? bw : 1023;
    }
    if (size * mFrameCount > mBufferSize) size = mBufferSize / mFrameCount;
    for (uint32_t k = 0; k < mFrameCount; ++k) {
        mFrameList[k] = IOUSBHostIsochronousFrame{};
        mFrameList[k].requestCount = size;
        mFrameTable[k] = {0, k * size};
    }
    std::memset(mBuffer, 0xAA, mBufferSize);
    mProcessed = 0;
}

void ZrIsocRB::initWrite_Std(ZrFramePatternObserver& pattern, uint32_t& total) {
    mOutChannels = pattern.outChannels();
    mBytesPerFrame = pattern.outBytesPerFrame();
    uint32_t offset = 0;
    for (uint32_t k = 0; k < mFrameCount; ++k) {
        uint32_t n = pattern.nextWriteFrames();
        // Configuration refused every layout where a pattern value overruns
        // the packet or the block; this only keeps a broken pattern inside.
        if (mBytesPerFrame && offset + n * mBytesPerFrame > mBufferSize)
            n = (mBufferSize - offset) / mBytesPerFrame;
        mFrameList[k] = IOUSBHostIsochronousFrame{};
        mFrameList[k].requestCount = n * mBytesPerFrame;
        mFrameTable[k] = {n, offset};
        offset += n * mBytesPerFrame;
        total += n;
    }
    // Packets no client mixes into go out as silence.
    std::memset(mBuffer, 0, mBufferSize);
    mProcessed = 0;
}

void ZrIsocRB::initWrite_Sorvik1(ZrFramePatternObserver& pattern, uint32_t& total,
                                 uint32_t outChannels) {
    mOutChannels = pattern.outChannels();
    mBytesPerFrame = pattern.outBytesPerFrame();
    const uint32_t audioBytesPerFrame = outChannels ? mBytesPerFrame : 0;
    std::memset(mBuffer, 0, mBufferSize);
    uint32_t offset = 0;
    for (uint32_t k = 0; k < mFrameCount; ++k) {
        uint32_t n = pattern.nextWriteFrames();
        if (offset + kSorvikHeaderBytes > mBufferSize)
            n = 0;
        else if (audioBytesPerFrame &&
                 offset + kSorvikHeaderBytes + n * audioBytesPerFrame > mBufferSize)
            n = (mBufferSize - offset - kSorvikHeaderBytes) / audioBytesPerFrame;
        const uint32_t request = offset + kSorvikHeaderBytes > mBufferSize
                                     ? 0
                                     : kSorvikHeaderBytes + n * audioBytesPerFrame;
        total += n;
        if (request) {
            uint8_t* h = mBuffer + offset;
            h[0] = uint8_t(n);
            h[1] = 255;
            h[2] = uint8_t(total >> 24);
            h[3] = uint8_t(total >> 16);
            h[4] = uint8_t(total >> 8);
            h[5] = uint8_t(total);
        }
        mFrameList[k] = IOUSBHostIsochronousFrame{};
        mFrameList[k].requestCount = request;
        mFrameTable[k] = {n, offset};
        offset += request;
    }
    mProcessed = 0;
}

void ZrIsocRB::initWriteKeepAlive() {
    mOutChannels = 0;
    mBytesPerFrame = 0;
    for (uint32_t k = 0; k < mFrameCount; ++k) {
        mFrameList[k] = IOUSBHostIsochronousFrame{};
        mFrameList[k].requestCount = 1;
        mFrameTable[k] = {0, k};
    }
    std::memset(mBuffer, 0, mBufferSize);
    mProcessed = 0;
}

uint32_t ZrIsocRB::release() {
    const uint32_t left = mInUse.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) {
        mDone.store(true, std::memory_order_release);
        mCallbackDone.store(true, std::memory_order_release);
        mStartFrame.store(0, std::memory_order_relaxed);
        m_bCancel.store(false, std::memory_order_release);
        if (mAutoDelete) {
            IOLog("AUTODELETE ZrIsocRB %p\n", static_cast<void*>(this));
            delete this;
        }
    }
    return left;
}

void ZrIsocRB::setCallbackDone() {
    mCallbackDone.store(true, std::memory_order_release);
    release();
}

void IsocData::init() {
    for (auto& rb : mRBs)
        rb = nullptr;
    mpUSBFrameInDataBuffer = nullptr;
    mNext = 0;
    mNextFrame.store(0);
    mErrorCounter.store(0);
    mDecoder = nullptr;
}

bool IsocData::initForPipe(bool highSpeed, IsocPipe* pipe, USB_DEC_FNC decoder) {
    if (!mpUSBFrameInDataBuffer) {
        mpUSBFrameInDataBuffer = static_cast<uint8_t*>(IOMallocZero(kIsocWorkBufferBytes));
        if (!mpUSBFrameInDataBuffer) IOLog("IsocData::alloc buffer allocation failed.\n");
    }
    if (!mpUSBFrameInDataBuffer) {
        IOLog("%s mpUSBFrameInDataBuffer is NULL",
              "bool IsocData::initForPipe(bool, IsocPipe*, USB_DEC_FNC)");
        return false;
    }
    mDecoder = decoder;
    bool all = true;
    for (auto& rb : mRBs) {
        if (rb)
            rb->reinit(highSpeed, pipe);
        else
            rb = new ZrIsocRB(highSpeed, pipe);
        all = all && rb->mbInit;
    }
    return all;
}

void IsocData::term() {
    for (auto& rb : mRBs) {
        if (!rb) continue;
        if (rb->isInUse()) {
            // The last release (a completion still to come) frees it.
            rb->mAutoDelete = true;
            rb->take(rb->inUse() + 1);
            rb->release();
        } else {
            delete rb;
        }
        rb = nullptr;
    }
    if (mpUSBFrameInDataBuffer) IOFree(mpUSBFrameInDataBuffer, kIsocWorkBufferBytes);
    mpUSBFrameInDataBuffer = nullptr;
}

void IsocData::prepareForStream(uint32_t firstFrame) {
    mNext = 0;
    mErrorCounter.store(0);
    for (ZrIsocRB* rb : mRBs) {
        if (!rb) continue;
        rb->take(0);
        rb->mDone.store(true);
        rb->mCallbackDone.store(true);
        rb->mStartFrame.store(0);
        rb->m_bCancel.store(false);
        if (rb->mBuffer) std::memset(rb->mBuffer, 0, rb->mAllocSize);
    }
    mNextFrame.store(firstFrame, std::memory_order_release);
}

ZrIsocRB* IsocData::next() {
    ZrIsocRB* rb = mRBs[mNext];
    if (!rb) {
        IOLog("IsocData::next() - mRBs[mNext] is NULL\n");
        return nullptr;
    }
    if (rb->isInUse()) {
        IOLog("IsocData::next() - mRBs[mNext]->isInUse()\n");
        return nullptr;
    }
    if (!rb->mbInit) {
        IOLog("IsocData::next() - !mRBs[mNext]->mbInit\n");
        return nullptr;
    }
    rb->take(1);
    rb->mCallbackDone.store(false, std::memory_order_release);
    const uint32_t start = mNextFrame.fetch_add(4, std::memory_order_acq_rel);
    rb->mStartFrame.store(start, std::memory_order_release);
    mNext = (mNext + 1) % 4;
    return rb;
}

ZrIsocRB* IsocData::getEarliestUnprocessed() {
    ZrIsocRB* best = nullptr;
    for (ZrIsocRB* rb : mRBs) {
        if (!rb || !rb->mbInit || rb->mDone.load(std::memory_order_acquire)) continue;
        // Earliest by modular distance, so the order holds across the wrap.
        if (!best || int32_t(rb->mStartFrame.load() - best->mStartFrame.load()) < 0) best = rb;
    }
    return best;
}

uint32_t IsocData::inFlight() const {
    uint32_t n = 0;
    for (ZrIsocRB* rb : mRBs)
        if (rb && rb->isInUse() && !rb->mCallbackDone.load(std::memory_order_acquire)) ++n;
    return n;
}

void IsocData::cancel(bool noWait) {
    for (ZrIsocRB* rb : mRBs) {
        if (!rb || !rb->mbInit || !rb->isInUse()) continue;
        // Nothing processes a cancelled stream: a block whose completion
        // already ran gives back its processing use here too, or it would
        // stay taken for good.
        const bool completed = rb->mCallbackDone.load(std::memory_order_acquire);
        const bool wasDone = rb->mDone.exchange(true, std::memory_order_acq_rel);
        bool freed = false;
        if (!wasDone) freed = rb->release() == 0;
        if (!freed && !completed) rb->m_bCancel.store(true, std::memory_order_release);
    }
    if (noWait) return;
    IOSleep(50);
    for (ZrIsocRB* rb : mRBs) {
        if (!rb || !rb->m_bCancel.load()) continue;
        if (!rb->isInUse())
            rb->m_bCancel.store(false);
        else
            IOLog("IsocData::cancel() isocRB is still used !\n");
    }
}
