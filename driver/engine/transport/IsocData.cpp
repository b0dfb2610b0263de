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
    if (bound()) changeState(ZrIsocRBState::Unready, ZrIsocRBState::Idle);
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
    moveTo(bound() ? ZrIsocRBState::Idle : ZrIsocRBState::Unready);
}

bool ZrIsocRB::bound() const {
    return mBuffer && mDescriptor && mAllocSize >= mBufferSize && mPipe && mPipe->handle;
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
        mStartFrame.store(0, std::memory_order_relaxed);
        if (reset() == ZrIsocRBState::Orphaned) {
            IOLog("AUTODELETE ZrIsocRB %p\n", static_cast<void*>(this));
            delete this;
        }
    }
    return left;
}

ZrIsocRBState ZrIsocRB::moveTo(ZrIsocRBState to) {
    for (;;) {
        const ZrIsocRBState s = state();
        if (changeState(s, to)) return s;
    }
}

ZrIsocRBState ZrIsocRB::reset() {
    for (;;) {
        const ZrIsocRBState s = state();
        if (changeState(s, s == ZrIsocRBState::Unready ? s : ZrIsocRBState::Idle)) return s;
    }
}

bool ZrIsocRB::awaitsCompletion() const {
    switch (state()) {
    case ZrIsocRBState::Taken:
    case ZrIsocRBState::Queued:
    case ZrIsocRBState::Processed:
    case ZrIsocRBState::Cancelled:
    case ZrIsocRBState::Orphaned:
        return true;
    default:
        return false;
    }
}

bool ZrIsocRB::awaitsProcessing() const {
    const ZrIsocRBState s = state();
    return s == ZrIsocRBState::Queued || s == ZrIsocRBState::Completed;
}

bool ZrIsocRB::isCancelled() const {
    const ZrIsocRBState s = state();
    return s == ZrIsocRBState::Cancelled || s == ZrIsocRBState::Orphaned;
}

void ZrIsocRB::markQueued(bool processed) {
    // The uses are set before the state, so a cancel that sees the block
    // queued finds the processing's use to give back.
    take(processed ? 1 : 2);
    if (!changeState(ZrIsocRBState::Taken,
                     processed ? ZrIsocRBState::Processed : ZrIsocRBState::Queued))
        take(1); // cancelled while taken: nothing will process it
}

bool ZrIsocRB::finishProcessing() {
    for (;;) {
        const ZrIsocRBState s = state();
        if (s == ZrIsocRBState::Queued) {
            if (changeState(s, ZrIsocRBState::Processed)) return true;
        } else if (s == ZrIsocRBState::Completed) {
            if (changeState(s, ZrIsocRBState::Finished)) return true;
        } else {
            return false;
        }
    }
}

void ZrIsocRB::markCompleted() {
    for (;;) {
        const ZrIsocRBState s = state();
        if (s == ZrIsocRBState::Queued) {
            if (changeState(s, ZrIsocRBState::Completed)) return;
        } else if (s == ZrIsocRBState::Processed) {
            if (changeState(s, ZrIsocRBState::Finished)) return;
        } else {
            return; // cancelled or orphaned: only the use goes back
        }
    }
}

void ZrIsocRB::setCallbackDone() {
    markCompleted();
    release();
}

void ZrIsocRB::cancel() {
    for (;;) {
        const ZrIsocRBState s = state();
        switch (s) {
        case ZrIsocRBState::Taken:
        case ZrIsocRBState::Processed:
            if (changeState(s, ZrIsocRBState::Cancelled)) return;
            break;
        case ZrIsocRBState::Queued:
            // Nothing processes a cancelled stream: the processing's use
            // goes back here.
            if (changeState(s, ZrIsocRBState::Cancelled)) {
                release();
                return;
            }
            break;
        case ZrIsocRBState::Completed:
            // The completion already ran: giving back the processing's use
            // may free the block.
            if (changeState(s, ZrIsocRBState::Finished)) {
                release();
                return;
            }
            break;
        default:
            return;
        }
    }
}

void ZrIsocRB::orphan() {
    if (!isInUse()) {
        delete this;
        return;
    }
    // A use of its own while it changes hands: if the completion returns
    // meanwhile, the release below is the last and deletes it.
    mInUse.fetch_add(1, std::memory_order_acq_rel);
    const ZrIsocRBState was = moveTo(ZrIsocRBState::Orphaned);
    // Nobody processes an orphaned block.
    if (was == ZrIsocRBState::Queued || was == ZrIsocRBState::Completed) release();
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
        all = all && rb->isReady();
    }
    return all;
}

void IsocData::term() {
    for (auto& rb : mRBs) {
        if (!rb) continue;
        // A block still in use goes with its last release (a completion
        // still to come).
        rb->orphan();
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
        rb->reset();
        rb->mStartFrame.store(0);
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
    if (!rb->isReady()) {
        IOLog("IsocData::next() - !mRBs[mNext]->mbInit\n");
        return nullptr;
    }
    // A block whose last release is still resetting it is not free yet.
    if (!rb->changeState(ZrIsocRBState::Idle, ZrIsocRBState::Taken)) {
        IOLog("IsocData::next() - mRBs[mNext]->isInUse()\n");
        return nullptr;
    }
    rb->take(1);
    const uint32_t start = mNextFrame.fetch_add(4, std::memory_order_acq_rel);
    rb->mStartFrame.store(start, std::memory_order_release);
    mNext = (mNext + 1) % 4;
    return rb;
}

ZrIsocRB* IsocData::getEarliestUnprocessed() {
    ZrIsocRB* best = nullptr;
    for (ZrIsocRB* rb : mRBs) {
        if (!rb || !rb->isReady() || !rb->awaitsProcessing()) continue;
        // Earliest by modular distance, so the order holds across the wrap.
        if (!best || int32_t(rb->mStartFrame.load() - best->mStartFrame.load()) < 0) best = rb;
    }
    return best;
}

uint32_t IsocData::inFlight() const {
    uint32_t n = 0;
    for (ZrIsocRB* rb : mRBs)
        if (rb && rb->isInUse() && rb->awaitsCompletion()) ++n;
    return n;
}

void IsocData::cancel(bool noWait) {
    for (ZrIsocRB* rb : mRBs) {
        if (!rb || !rb->isReady() || !rb->isInUse()) continue;
        // Nothing processes a cancelled stream: a block whose completion
        // already ran gives back its processing use here too, or it would
        // stay taken for good.
        rb->cancel();
    }
    if (noWait) return;
    IOSleep(50);
    for (ZrIsocRB* rb : mRBs) {
        if (!rb || rb->state() != ZrIsocRBState::Cancelled) continue;
        if (!rb->isInUse())
            rb->changeState(ZrIsocRBState::Cancelled, ZrIsocRBState::Idle);
        else
            IOLog("IsocData::cancel() isocRB is still used !\n");
    }
}
