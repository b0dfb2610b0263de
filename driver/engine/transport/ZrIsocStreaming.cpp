#include "driver/engine/transport/ZrIsocStreaming.h"

#include <algorithm>
#include <cstring>

#include "abi/QN_StateChange.h"
#include "driver/engine/stream/AudioSMKernel.h"
#include "driver/engine/stream/DriverData.h"
#include "driver/engine/stream/ZrFramePatternObserver.h"
#include "platform/kern/IOLib.h"

namespace {

constexpr uint32_t kQueueAhead = 50;
constexpr uint32_t kWorkSamples = kIsocWorkBufferBytes / sizeof(int32_t);

// The pattern's largest per-packet value for a rate: expected + tolerance,
// as the frame pattern lays it out (per microframe at high speed).
uint32_t patternMaximum(uint32_t rate, bool highSpeed) {
    uint32_t expected = rate / 1000;
    if (highSpeed) expected >>= 3;
    // 44.1 kHz at high speed alternates 5 and 6 around an expected 5.
    return expected + (highSpeed ? 1 : 2);
}

} // namespace

ZrIsocStreaming::ZrIsocStreaming(IsocStreamHost& host, KeThread& thread)
    : mHost(host), mThread(thread) {}

ZrIsocStreaming::~ZrIsocStreaming() {
    stopTransport(true);
}

uint32_t ZrIsocStreaming::framesPerBusFrame(uint32_t rate) {
    switch (rate) {
    case 32000:
        return 34;
    case 44100:
        return 46;
    case 48000:
        return 50;
    case 64000:
        return 66;
    case 88200:
        return 90;
    case 96000:
        return 98;
    case 128000:
        return 132;
    case 176400:
        return 180;
    case 192000:
        return 196;
    default:
        // A rate the table does not know still gets room for its frames and
        // the pattern's slack, never a bandwidth of 0.
        return (rate + 999) / 1000 + 2;
    }
}

uint32_t ZrIsocStreaming::bandwidthInUse(uint32_t rate, uint32_t bytesPerSample, uint32_t channels,
                                         uint32_t maxPacket, bool highSpeed, bool keepMaximum) {
    const uint32_t needed = framesPerBusFrame(rate) * bytesPerSample * channels;
    if (highSpeed || keepMaximum || needed > maxPacket) return maxPacket;
    return needed;
}

void ZrIsocStreaming::setPipeBandwidth(IOUSBHostPipe* handle, uint32_t bandwidth) {
    if (!handle) return;
    for (IsocPipe* p : {&mInPipe, &mOutPipe})
        if (p->handle == handle) p->bandwidth = bandwidth;
}

bool ZrIsocStreaming::configure(bool highSpeed, IOUSBHostPipe* in, IOUSBHostPipe* out,
                                const IsocStreamSettings& settings, uint32_t inBandwidth,
                                uint32_t outBandwidth) {
    mHighSpeed = highSpeed;
    mSettings = settings;
    mFbPipe.bind(nullptr);
    mFeedbackFullFrame = false;
    mInPipe.bind(in);
    mOutPipe.bind(out);
    mInPipe.bandwidth = in ? inBandwidth : 0;
    mOutPipe.bandwidth = out ? outBandwidth : 0;

    const uint32_t maxFrames = patternMaximum(settings.rate, highSpeed);
    struct Side {
        IsocPipe& pipe;
        uint32_t bytesPerFrame;
    } sides[] = {{mInPipe, settings.inChannels * settings.inBytesPerSample},
                 {mOutPipe, settings.outChannels * settings.outBytesPerSample}};
    for (Side& s : sides) {
        if (!s.pipe.handle) continue;
        // A data endpoint polled every 4 microframes would need the
        // full-frame packet layout, which only feedback endpoints use.
        if (highSpeed && s.pipe.interval == 4) {
            IOLog("ZrIsocStreaming::configure endpoint 0x%02X: isochronous audio with interval 4 "
                  "at high speed "
                  "is not supported\n",
                  s.pipe.address);
            return false;
        }
        const bool micro = highSpeed && s.pipe.interval == 1;
        const uint32_t packets = micro ? kIsocRBMaxPackets : kIsocRBPackets;
        const uint32_t block = micro ? kIsocRBMicroBytes : kIsocRBBytes;
        // The Sorvik layout's output packets carry their header too.
        const uint32_t header =
            settings.sorvikLayout && &s.pipe == &mOutPipe ? kSorvikHeaderBytes : 0;
        const uint32_t packet = header + maxFrames * s.bytesPerFrame;
        if (packet > s.pipe.maxPacket || packet * packets > block) {
            IOLog("ZrIsocStreaming::configure endpoint 0x%02X: %d frames of %d bytes exceed the "
                  "packet (%d) or "
                  "the block (%d)\n",
                  s.pipe.address, int(maxFrames), int(s.bytesPerFrame), int(s.pipe.maxPacket),
                  int(block));
            return false;
        }
    }
    bool ok = true;
    if (mInPipe.handle) ok = mIsocIn.initForPipe(highSpeed, &mInPipe, settings.decoder) && ok;
    if (mOutPipe.handle) ok = mIsocOut.initForPipe(highSpeed, &mOutPipe, nullptr) && ok;
    return ok;
}

bool ZrIsocStreaming::configureFeedback(IOUSBHostPipe* feedback) {
    mFbPipe.bind(feedback);
    mFeedbackFullFrame = false;
    if (!feedback) return true;
    // A high-speed endpoint reports per microframe when polled every
    // microframe, per millisecond when polled every 4; the frame pattern
    // has no form for other intervals.
    if (mHighSpeed && mFbPipe.interval != 1 && mFbPipe.interval != 4) {
        IOLog("ZrIsocStreaming::configureFeedback endpoint 0x%02X: interval %d is not supported\n",
              mFbPipe.address, int(mFbPipe.interval));
        mFbPipe.bind(nullptr);
        return false;
    }
    mFeedbackFullFrame = mHighSpeed && mFbPipe.interval == 4;
    // The ring is laid out in microframes only for an endpoint polled every
    // microframe; the 1 ms form takes one packet a bus frame.
    if (!mIsocInFeedback.initForPipe(mHighSpeed && mFbPipe.interval == 1, &mFbPipe, nullptr)) {
        mFbPipe.bind(nullptr);
        return false;
    }
    return true;
}

bool ZrIsocStreaming::getCurrentFrame(uint32_t& frame, uint64_t* full) const {
    IOUSBHostPipe* pipe = mInPipe.handle    ? mInPipe.handle
                          : mOutPipe.handle ? mOutPipe.handle
                                            : mKeepAlivePipe.handle;
    const uint64_t now = pipe ? pipe->getFrameNumber() : 0;
    if (full) *full = now;
    frame = uint32_t(now);
    // Only a bus that reads 0 has lost the device; every 32-bit value,
    // including 0 and all ones at the wrap, is a valid frame.
    return now != 0;
}

uint64_t ZrIsocStreaming::fullFrame(uint32_t frame, uint64_t now) const {
    return now + int64_t(int32_t(frame - uint32_t(now)));
}

bool ZrIsocStreaming::start() {
    uint32_t current = 0;
    if (!getCurrentFrame(current)) {
        mDeviceGone.store(true);
        mBadFrame.store(true);
        return false;
    }
    mDeviceGone.store(false);
    mStreamBroken.store(0);
    mOutputSampleCounter = 0;
    mLastServicedFrame = 0;
    mDevicePosition.store(0);
    mFramesIn.store(0);
    mIsocIn.prepareForStream(current + kQueueAhead);
    mIsocInFeedback.prepareForStream(current + kQueueAhead);
    mIsocOut.prepareForStream(current + kQueueAhead);
    if (!mInPipe.handle && !mOutPipe.handle) return false;
    m_bStreamingStarted.store(true, std::memory_order_release);
    mNoInputEndpoint = false;
    if (mFbPipe.handle)
        for (int i = 0; i < 2; ++i)
            requestIOFeedback();
    IOLog("ZrDevice::rtsIsocAudioRun m_pcInPipeIsoc:%p\n", static_cast<void*>(mInPipe.handle));
    if (mInPipe.handle)
        for (int i = 0; i < 3; ++i)
            rtsRequestIn();
    if (mOutPipe.handle) {
        mNoInputEndpoint = !mInPipe.handle && !mSettings.bulkInput;
        for (int i = 0; i < 3; ++i)
            rtsRequestOut();
    }
    return true;
}

bool ZrIsocStreaming::stopTransport(bool wait) {
    const bool was = m_bStreamingStarted.exchange(false, std::memory_order_acq_rel);
    if (wait)
        mThread.stopBarrier();
    else
        mThread.setService(nullptr);
    mIsocIn.cancel(!wait);
    mIsocOut.cancel(!wait);
    if (mKeepAlivePipe.handle) mIsocKeepAlive.cancel(!wait);
    if (mFbPipe.handle) mIsocInFeedback.cancel(!wait);
    const IOOptionBits how = wait ? kAbortSynchronous : kAbortAsynchronous;
    if (mInPipe.handle) mInPipe.handle->abort(how);
    if (mOutPipe.handle) mOutPipe.handle->abort(how);
    if (mKeepAlivePipe.handle) mKeepAlivePipe.handle->abort(how);
    if (mFbPipe.handle) mFbPipe.handle->abort(how);
    return was;
}

bool ZrIsocStreaming::claimStreamBroken() {
    // Only the caller that takes the word from 1 to 0 recovers the break.
    uint32_t one = 1;
    return mStreamBroken.compare_exchange_strong(one, 0);
}

bool ZrIsocStreaming::markStreamBroken() {
    uint32_t zero = 0;
    return mStreamBroken.compare_exchange_strong(zero, 1);
}

void ZrIsocStreaming::declareBroken(const char* line) {
    mHost.stopStreaming(false);
    IOLog("%s", line);
    uint32_t zero = 0;
    if (mStreamBroken.compare_exchange_strong(zero, 1)) mHost.stcNotifyStreaming(STC_STREAM_BROKEN);
}

bool ZrIsocStreaming::submit(ZrIsocRB* rb, bool read) {
    return submit(rb,
                  read ? &ZrIsocStreaming::rtsIsoReadCompleteStatic
                       : &ZrIsocStreaming::rtsIsoWriteCompleteStatic,
                  read ? "ZrDevice::rtsRequestIn isoc read failed with status %08X\n"
                       : "ZrDevice::rtsRequestOut isoc write failed with status %08X\n");
}

bool ZrIsocStreaming::submit(ZrIsocRB* rb, IOUSBHostIsochronousCompletionAction action,
                             const char* failure) {
    uint64_t now = 0;
    uint32_t current = 0;
    if (!getCurrentFrame(current, &now)) {
        // The device is gone (its frame reads 0): the block goes back, or
        // nothing would ever release it.
        rb->take(1);
        rb->release();
        return false;
    }
    rb->mCompletion = {this, action, rb};
    rb->mDescriptor->prepare();
    // One use for the completion, one for the processing; set before the
    // request can complete.
    rb->markQueued(false);
    const IOReturn r =
        rb->mPipe->handle->io(rb->mDescriptor, rb->mFrameList, rb->mFrameCount,
                              fullFrame(rb->mStartFrame.load(), now), &rb->mCompletion);
    if (r != kIOReturnSuccess) {
        IOLog(failure, r);
        rb->take(1);
        rb->release();
        return false;
    }
    return true;
}

bool ZrIsocStreaming::rtsRequestIn() {
    if (!isStreamingStarted()) {
        IOLog("ZrDevice::rtsRequestIn - !m_bStreamingStarted\n");
        return false;
    }
    if (!mInPipe.handle) {
        IOLog("ZrDevice::rtsRequestIn - !m_pcInPipeIsoc\n");
        return false;
    }
    ZrIsocRB* rb = mIsocIn.next();
    if (!rb) {
        IOLog("ZrDevice::rtsRequestIn - NO FREE IsocRB found\n");
        return false;
    }
    if (!rb->mPipe || !rb->mPipe->handle) {
        IOLog("ZrDevice::rtsRequestIn - IsocRB not inititalized\n");
        rb->release();
        return false;
    }
    rb->initRead();
    if (submit(rb, true)) return true;
    // Nothing left in flight: no completion will ever queue again.
    if (mIsocIn.inFlight() == 0) declareBroken("ZrDevice::rtsRequestIn: STC_STREAM_BROKEN\n");
    return false;
}

bool ZrIsocStreaming::rtsRequestOut() {
    if (!isStreamingStarted()) {
        IOLog("ZrDevice::rtsRequestOut - !m_bStreamingStarted\n");
        return false;
    }
    if (!mOutPipe.handle || !mDriverData || !mPattern) return false;
    ZrIsocRB* rb = mIsocOut.next();
    if (!rb) {
        IOLog("ZrDevice::rtsRequestOut - NO FREE IsocRB found\n");
        return false;
    }
    if (!rb->mPipe || !rb->mPipe->handle) {
        rb->release();
        return false;
    }
    if (mSettings.sorvikLayout)
        rb->initWrite_Sorvik1(*mPattern, mOutputSampleCounter, mSettings.outChannels);
    else
        rb->initWrite_Std(*mPattern, mOutputSampleCounter);
    if (submit(rb, false)) return true;
    if (mIsocOut.inFlight() == 0) declareBroken("ZrDevice::rtsRequestOut: STC_STREAM_BROKEN\n");
    return false;
}

void ZrIsocStreaming::rtsIsocOutIsocIn(void* engine) {
    if (engine) static_cast<ZrIsocStreaming*>(engine)->rtsService();
}

bool ZrIsocStreaming::rtsPrepareService() {
    if (!isStreamingStarted()) {
        IOLog("%s m_bStreamingStarted=%d ppAudioSM=%p\n",
              "bool ZrDevice::rtsPrepareService(AudioSM**)", 0, static_cast<void*>(mInputRing));
        return false;
    }
    uint32_t frame = 0;
    if (!getCurrentFrame(frame)) {
        mBadFrame.store(true);
        return false;
    }
    if (frame == mLastServicedFrame) return false;
    mLastServicedFrame = frame;
    mCurrentFrame = frame;
    if (!mHost.lockInputRing()) {
        IOLog("%s *ppAudioSM NULL\n", "bool ZrDevice::rtsPrepareService(AudioSM**)");
        return false;
    }
    if (mDriverData && mInputRing) {
        uint64_t hostTime = 0, sampleTime = 0;
        mInputRing->GetLastTimeStamp(hostTime, sampleTime);
        mDriverData->rtsCheckAttachClients(
            sampleTime, mDevicePosition.load(std::memory_order_relaxed), hostTime);
    }
    return true;
}

void ZrIsocStreaming::rtsService() {
    if (!rtsPrepareService()) return;
    rtsProcessIsocOut(mSettings.sorvikLayout);
    mHost.unlockInputRing();
}

uint32_t ZrIsocStreaming::rtsProcessIsocOut_Std() {
    return rtsProcessIsocOut(false);
}

uint32_t ZrIsocStreaming::rtsProcessIsocOut_Sorvik() {
    return rtsProcessIsocOut(true);
}

void ZrIsocStreaming::mixSorvikPacket(ZrIsocRB* rb, uint32_t k, uint64_t position,
                                      uint32_t frames) {
    uint8_t* packet = rb->mBuffer + rb->mFrameTable[k].offset;
    const uint32_t request = rb->mFrameList[k].requestCount;
    if (request < kSorvikHeaderBytes) return;
    // Two extra bytes a frame; what does not fit in front of byte 100 is
    // consumed from the ring and dropped.
    uint8_t* extra = frames * 4 <= kExtraScratchBytes ? mExtraScratch : nullptr;
    if (extra) std::memset(extra, 0, frames * 4);
    mDriverData->rtsIsocOutput(reinterpret_cast<char*>(packet + kSorvikHeaderBytes),
                               request - kSorvikHeaderBytes, position, frames, extra);
    std::memset(packet + kSorvikExtraEnd, 0, kSorvikHeaderBytes - kSorvikExtraEnd);
    const uint32_t announced = 2 * uint32_t(packet[0]);
    const uint32_t written = std::min(announced, kSorvikExtraEnd - kSorvikExtraFirst);
    if (extra) std::memcpy(packet + kSorvikExtraFirst, extra, written);
    packet[1] = 255;
    for (uint32_t i = 0; i < written; ++i)
        if (packet[kSorvikExtraFirst + i]) {
            packet[1] = uint8_t(i);
            break;
        }
}

uint32_t ZrIsocStreaming::rtsProcessIsocOut(bool sorvik) {
    uint32_t filled = 0;
    uint64_t position = mDevicePosition.load(std::memory_order_relaxed);
    for (;;) {
        ZrIsocRB* rb = mIsocOut.getEarliestUnprocessed();
        if (!rb) break;
        int minimum = 0, clients = 0;
        if (mDriverData) mDriverData->rtsGetMinAvailableFrames(minimum, clients, position);
        // Sorvik packets each carry their own header: filled one by one.
        const uint32_t step = rb->mMicroFrames && !sorvik ? 8 : 1;
        const uint32_t start = rb->mStartFrame.load(std::memory_order_acquire);
        auto due = [&](uint32_t k) {
            const uint32_t frameOfPacket = rb->mMicroFrames ? k / 8 : k;
            return 3 + int32_t(mCurrentFrame - start) - int32_t(frameOfPacket) >= 1;
        };
        if (filled >= 5 && !due(rb->mProcessed)) break;
        bool waitForMore = false;
        while (rb->mProcessed < rb->mFrameCount) {
            const uint32_t k = rb->mProcessed;
            uint32_t bytes = 0;
            for (uint32_t i = 0; i < step && k + i < rb->mFrameCount; ++i)
                bytes += rb->mFrameList[k + i].requestCount;
            uint32_t frames = rb->mBytesPerFrame ? (bytes / rb->mBytesPerFrame) & 0xFFFF : 0;
            if (sorvik)
                frames = mSettings.outChannels
                             ? (bytes > kSorvikHeaderBytes && rb->mBytesPerFrame
                                    ? ((bytes - kSorvikHeaderBytes) / rb->mBytesPerFrame) & 0xFFFF
                                    : 0)
                             : rb->mFrameTable[k].frames;
            if (minimum < int(frames) && !due(k)) {
                waitForMore = true;
                break;
            }
            // A packet without frames has nothing to mix.
            if (mDriverData && clients > 0 && frames > 0) {
                if (sorvik)
                    mixSorvikPacket(rb, k, position, frames);
                else
                    mDriverData->rtsIsocOutput(
                        reinterpret_cast<char*>(rb->mBuffer + rb->mFrameTable[k].offset), bytes,
                        position, frames, nullptr);
                if (mNoInputEndpoint && mInputRing) mInputRing->writeFrames(nullptr, frames, 0);
                minimum -= int(frames);
            }
            position += frames;
            rb->mProcessed += step;
            ++filled;
            if (filled >= 5 && !(rb->mProcessed < rb->mFrameCount && due(rb->mProcessed))) break;
        }
        // A cancel may have taken the processing use already.
        if (rb->mProcessed >= rb->mFrameCount && rb->finishProcessing()) rb->release();
        if (waitForMore || filled >= 5) break;
    }
    mDevicePosition.store(position, std::memory_order_relaxed);
    return filled;
}

void ZrIsocStreaming::rtsProcessIsocIn_Std(ZrIsocRB* rb) {
    const uint32_t channels =
        mInputRing && mInputRing->geometry().channels ? mInputRing->geometry().channels : 2;
    int32_t* work = reinterpret_cast<int32_t*>(mIsocIn.mpUSBFrameInDataBuffer);
    const USB_DEC_FNC decoder = mIsocIn.mDecoder;
    uint32_t errors = mIsocIn.mErrorCounter.load(std::memory_order_relaxed);
    uint64_t written = 0;
    AbsoluteTime lastStamp = 0;

    // Decodes one packet at `used` samples into the work buffer; returns
    // the samples made.
    auto decode = [&](uint32_t k, uint32_t used) -> uint32_t {
        const IOUSBHostIsochronousFrame& f = rb->mFrameList[k];
        const uint32_t offset = rb->mFrameTable[k].offset;
        uint32_t bytes = f.status == kIOReturnSuccess ? f.completeCount : 0;
        if (bytes > f.requestCount) bytes = f.requestCount;
        if (offset >= rb->mBufferSize) return 0;
        if (bytes > rb->mBufferSize - offset) bytes = rb->mBufferSize - offset;
        if (!decoder || bytes == 0) return 0;
        // Never more wire bytes than the work buffer has samples for.
        const uint32_t room = kWorkSamples - used;
        USB_DEC_DATA query{nullptr, nullptr, bytes};
        const uint32_t want = uint32_t(decoder(&query));
        if (want > room) bytes = uint32_t(uint64_t(bytes) * room / want);
        USB_DEC_DATA d{work + used, reinterpret_cast<const char*>(rb->mBuffer + offset), bytes};
        return uint32_t(decoder(&d));
    };
    auto deliver = [&](uint32_t decodedFrames, uint32_t count) {
        // A packet shorter than the pattern's count is completed with silence.
        if (count > decodedFrames) {
            const uint64_t from = uint64_t(decodedFrames) * channels;
            const uint64_t to = uint64_t(count) * channels;
            if (to <= kWorkSamples)
                std::memset(work + from, 0, (to - from) * sizeof(int32_t));
            else
                count = decodedFrames;
        }
        if (mInputMeter && mpMeterLevels && count && channels <= 32)
            mInputMeter(mpMeterLevels, reinterpret_cast<char*>(work));
        if (mpInputPeaks && count) raiseChannelPeaks(mpInputPeaks, work, count, channels);
        if (mSettings.postProcessor && count)
            mSettings.postProcessor(work,
                                    mSettings.postProcessorCountsFrames ? count : count * channels);
        if (mInputRing && count) written += mInputRing->writeFrames(work, count, 0);
    };

    if (!rb->mMicroFrames) {
        for (uint32_t k = 0; k < rb->mFrameCount; ++k) {
            const uint32_t samples = decode(k, 0);
            const int count = mPattern ? mPattern->onRtsFrame(int(samples / channels), errors)
                                       : int(samples / channels);
            deliver(samples / channels, count > 0 ? uint32_t(count) : 0);
            lastStamp = rb->mFrameList[k].timeStamp;
        }
    } else {
        for (uint32_t g = 0; g + 8 <= rb->mFrameCount; g += 8) {
            uint32_t samples = 0;
            for (uint32_t i = 0; i < 8; ++i)
                samples += decode(g + i, samples);
            const int count = mPattern
                                  ? mPattern->onRtsFrameMicroFrames(int(samples / channels), errors,
                                                                    "rtsProcessIsocIn_Std")
                                  : int(samples / channels);
            deliver(samples / channels, count > 0 ? uint32_t(count) : 0);
            lastStamp = rb->mFrameList[g + 7].timeStamp;
        }
    }
    mIsocIn.mErrorCounter.store(errors, std::memory_order_relaxed);
    mFramesIn.fetch_add(written, std::memory_order_relaxed);
    if (mInputRing) {
        mInputRing->writeTimestamp(lastStamp);
        mInputRing->AddTimeStamp(lastStamp, written, true);
    }
    if (rb->finishProcessing()) rb->release();
}

void ZrIsocStreaming::rtsIsoReadCompleteStatic(void* owner, void* parameter, IOReturn status,
                                               IOUSBHostIsochronousFrame*) {
    ZrIsocStreaming* self = static_cast<ZrIsocStreaming*>(owner);
    ZrIsocRB* rb = static_cast<ZrIsocRB*>(parameter);
    if (!self || !rb) return;
    if (status == kIOReturnAborted)
        IOLog("rtsIsoReadCompleteStatic called with status kIOReturnAborted m_bCancel:%d "
              "m_bStreamingStarted:%d\n",
              int(rb->state() == ZrIsocRBState::Cancelled), int(self->isStreamingStarted()));
    rb->markCompleted();
    if (rb->isCancelled()) {
        rb->release();
        return;
    }
    self->rtsIsoReadComplete(rb);
    if (rb->inUse() == 0) {
        IOLog("Error(%s): pcRB's retain count reached 0 and is probably deleted.\n",
              "rtsIsoReadCompleteStatic");
        return;
    }
    rb->release();
}

void ZrIsocStreaming::rtsIsoReadComplete(ZrIsocRB* rb) {
    if (mInPipe.handle && mDriverData && isStreamingStarted()) {
        rtsProcessIsocIn_Std(rb);
        if (mSettings.breakOnInputErrors && mIsocIn.mErrorCounter.load() >= kIsocInputErrorLimit)
            declareBroken("ZrDevice::rtsIsoReadComplete: STC_STREAM_BROKEN\n");
        else if (mHost.takePendingChange())
            declareBroken(
                "ZrDevice::rtsIsoReadComplete: Channels config changed -> STC_STREAM_BROKEN\n");
        else
            rtsRequestIn();
        return;
    }
    if (rb->finishProcessing()) rb->release();
}

void ZrIsocStreaming::rtsIsoWriteCompleteStatic(void* owner, void* parameter, IOReturn status,
                                                IOUSBHostIsochronousFrame*) {
    ZrIsocStreaming* self = static_cast<ZrIsocStreaming*>(owner);
    ZrIsocRB* rb = static_cast<ZrIsocRB*>(parameter);
    if (!self || !rb) return;
    if (status != kIOReturnSuccess && status != kIOReturnAborted)
        IOLog("rtsIsoWriteCompleteStatic called with status:%08X\n", status);
    if (rb->state() != ZrIsocRBState::Cancelled) self->rtsIsoWriteComplete(rb);
    // The buffer is cleared when the block is laid out for its next write
    // (initWrite_Std), not here: a late mix may still be filling it.
    rb->setCallbackDone();
}

void ZrIsocStreaming::rtsIsoWriteComplete(ZrIsocRB* rb) {
    if (rb->state() == ZrIsocRBState::Orphaned || !isStreamingStarted() || mDeviceGone.load() ||
        !mOutPipe.handle)
        return;
    uint32_t current = 0;
    if (!getCurrentFrame(current)) {
        mDeviceGone.store(true);
        mBadFrame.store(true);
        return;
    }
    const uint32_t next = mIsocOut.mNextFrame.load(std::memory_order_acquire);
    if (int32_t(current - next) < 0) {
        rtsRequestOut();
        return;
    }
    IOLog("rtsIsoWriteComplete to late current:%d diff:%d NTF:%d lostFrames:%d", int(current),
          int(current - next), int(next), int(current + 4 - next));
    mIsocOut.mNextFrame.store(current + 5, std::memory_order_release);
    declareBroken("ZrDevice::rtsIsoWriteComplete: STC_STREAM_BROKEN\n");
}

// ---- Feedback stream

bool ZrIsocStreaming::requestIOFeedback() {
    if (!isStreamingStarted() || !mFbPipe.handle) return false;
    ZrIsocRB* rb = mIsocInFeedback.next();
    if (!rb) return false;
    if (!rb->mPipe || !rb->mPipe->handle) {
        rb->release();
        return false;
    }
    rb->initRead();
    if (submit(rb, &ZrIsocStreaming::isocReadFeedbackCompleteStatic,
               "ZrDevice::requestIOFeedback isoc read failed with status %08X\n"))
        return true;
    // Without a read in flight the pattern would never hear of the device
    // again: the output would drift until its FIFO runs over.
    if (mIsocInFeedback.inFlight() == 0)
        declareBroken("ZrDevice::requestIOFeedback: STC_STREAM_BROKEN\n");
    return false;
}

void ZrIsocStreaming::isocReadFeedbackCompleteStatic(void* owner, void* parameter, IOReturn,
                                                     IOUSBHostIsochronousFrame*) {
    ZrIsocStreaming* self = static_cast<ZrIsocStreaming*>(owner);
    ZrIsocRB* rb = static_cast<ZrIsocRB*>(parameter);
    if (!self || !rb) return;
    // The block's processing happens here: its processing use goes first
    // (a cancel may have taken it already), the completion's use last.
    const bool cancelled = rb->isCancelled();
    if (!cancelled && self->isStreamingStarted()) {
        FeedbackStreamingStruct fb{};
        uint32_t errors = 0;
        const uint32_t count = std::min<uint32_t>(rb->mFrameCount, 32);
        for (uint32_t k = 0; k < count; ++k) {
            const IOUSBHostIsochronousFrame& f = rb->mFrameList[k];
            const uint32_t offset = rb->mFrameTable[k].offset;
            // A packet of another length is no value: 0 is out of every
            // range, so the pattern takes its nominal entry there.
            const bool good =
                f.status == kIOReturnSuccess && f.completeCount == 3 && offset < rb->mBufferSize;
            if (!good) ++errors;
            fb.mValues[k] = good ? rb->mBuffer[offset] : 0;
        }
        fb.mCount = count;
        if (errors) self->mIsocInFeedback.mErrorCounter.fetch_add(errors);
        self->isocReadCompleteFeedback(rb, fb);
    }
    if (rb->finishProcessing()) rb->release();
    rb->setCallbackDone();
}

void ZrIsocStreaming::isocReadCompleteFeedback(ZrIsocRB* rb, FeedbackStreamingStruct& fb) {
    if (rb->state() == ZrIsocRBState::Orphaned || !isStreamingStarted() || mDeviceGone.load() ||
        !mPattern)
        return;
    const bool locked = mFeedbackFullFrame ? mPattern->isocFeedbackReadCompleteFullFrame(fb)
                                           : mPattern->isocFeedbackReadComplete(fb);
    if (locked) mIsocInFeedback.mErrorCounter.store(0);
    if (mIsocInFeedback.mErrorCounter.load() <= kIsocFeedbackErrorLimit) {
        initNextTransactionFeedback();
        return;
    }
    IOLog("mIsocInFeedback.mErrorCounter > %d\n", int(kIsocFeedbackErrorLimit));
    declareBroken("ZrDevice::isocReadCompleteFeedback: STC_STREAM_BROKEN\n");
}

void ZrIsocStreaming::initNextTransactionFeedback() {
    uint32_t current = 0;
    if (!getCurrentFrame(current)) {
        mDeviceGone.store(true);
        mBadFrame.store(true);
        return;
    }
    // A ring that fell behind the bus starts again just ahead of it.
    if (int32_t(current - mIsocInFeedback.mNextFrame.load(std::memory_order_acquire)) >= 0)
        mIsocInFeedback.mNextFrame.store(current + 4, std::memory_order_release);
    requestIOFeedback();
}
