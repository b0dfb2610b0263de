// The keep-alive stream of the isochronous engine. Bulk-protocol devices
// carry their audio over bulk (or interrupt) pipes but expect an
// isochronous OUT packet every (micro)frame beside them: one byte each,
// queued 50 bus frames ahead in the same four-block ring as the audio
// streams. Only the completion releases a keep-alive block (there is
// nothing to fill); a late completion moves the plan on instead of breaking
// the stream.
#include "driver/engine/transport/ZrIsocStreaming.h"

#include "platform/kern/IOLib.h"

namespace {

constexpr uint32_t kKeepAliveQueueAhead = 50;
constexpr uint32_t kKeepAliveRequests = 3;
// A late completion plans the next block this many frames after the
// current one.
constexpr uint32_t kLatePlanFrames = 5;

} // namespace

bool ZrIsocStreaming::configureKeepAlive(bool highSpeed, IOUSBHostPipe* pipe) {
    mKeepAlivePipe.bind(pipe);
    if (!pipe) return true;
    return mIsocKeepAlive.initForPipe(highSpeed, &mKeepAlivePipe, nullptr);
}

bool ZrIsocStreaming::rtsIsocAudioRunKeepAlive() {
    if (!mKeepAlivePipe.handle) return false;
    uint32_t current = 0;
    if (!getCurrentFrame(current)) {
        mDeviceGone.store(true);
        mBadFrame.store(true);
        return false;
    }
    mDeviceGone.store(false);
    IOLog("starting keep alive stream...");
    mIsocKeepAlive.prepareForStream(current + kKeepAliveQueueAhead);
    m_bStreamingStarted.store(true, std::memory_order_release);
    for (uint32_t i = 0; i < kKeepAliveRequests; ++i)
        rtsRequestOutKeepAlive();
    return true;
}

bool ZrIsocStreaming::rtsRequestOutKeepAlive() {
    if (!isStreamingStarted() || !mKeepAlivePipe.handle) return false;
    ZrIsocRB* rb = mIsocKeepAlive.next();
    if (!rb) {
        IOLog("rtsRequestOutKeepAlive: NO FREE IsocRB found\n");
        return false;
    }
    if (!rb->mPipe || !rb->mPipe->handle) {
        rb->release();
        return false;
    }
    rb->initWriteKeepAlive();
    uint64_t now = 0;
    uint32_t current = 0;
    if (!getCurrentFrame(current, &now)) {
        // The device is gone: the block goes back, no completion will.
        rb->release();
        return false;
    }
    rb->mCompletion = {this, &ZrIsocStreaming::rtsIsoWriteKeepAliveCompleteStatic, rb};
    rb->mDescriptor->prepare();
    // The one use the block holds is the completion's: nothing processes it.
    rb->markQueued(true);
    const IOReturn r =
        rb->mPipe->handle->io(rb->mDescriptor, rb->mFrameList, rb->mFrameCount,
                              fullFrame(rb->mStartFrame.load(), now), &rb->mCompletion);
    if (r != kIOReturnSuccess) {
        IOLog("ZrDevice::rtsRequestOutKeepAlive isoc write failed with status %08X\n", r);
        rb->release();
        return false;
    }
    return true;
}

void ZrIsocStreaming::rtsIsoWriteKeepAliveCompleteStatic(void* owner, void* parameter,
                                                         IOReturn status,
                                                         IOUSBHostIsochronousFrame*) {
    ZrIsocStreaming* self = static_cast<ZrIsocStreaming*>(owner);
    ZrIsocRB* rb = static_cast<ZrIsocRB*>(parameter);
    if (!self || !rb) return;
    if (status != kIOReturnSuccess && status != kIOReturnAborted)
        IOLog("rtsIsoWriteCompleteStaticKeepAlive called with status:%08X\n", status);
    // The next request is queued before this block goes back: the ring has
    // a fourth block for it.
    if (!rb->isCancelled()) self->rtsIsoWriteKeepAliveComplete(rb);
    rb->setCallbackDone();
}

void ZrIsocStreaming::rtsIsoWriteKeepAliveComplete(ZrIsocRB*) {
    if (!isStreamingStarted() || mDeviceGone.load() || !mKeepAlivePipe.handle) return;
    uint32_t current = 0;
    if (!getCurrentFrame(current)) {
        mDeviceGone.store(true);
        mBadFrame.store(true);
        return;
    }
    const uint32_t next = mIsocKeepAlive.mNextFrame.load(std::memory_order_acquire);
    if (int32_t(current - next) >= 0) {
        // Late: the frames in between go without a keep-alive packet; the
        // stream itself carries on from a few frames ahead.
        IOLog("rtsIsoWriteComplete to late current:%d diff:%d NTF:%d\n", int(current),
              int(current - next), int(next));
        mIsocKeepAlive.mNextFrame.store(current + kLatePlanFrames, std::memory_order_release);
        mKeepAliveLate.fetch_add(1, std::memory_order_relaxed);
    }
    rtsRequestOutKeepAlive();
}
