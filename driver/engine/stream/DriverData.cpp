// Client mixing: attach and detach of client rings, relayout for new
// settings, the start of attached clients, and the per-cycle mix.
#include "driver/engine/stream/DriverData.h"

#include <cstring>
#include <new>

#include "platform/base/HXClock.h"
#include "platform/kern/IOLib.h"
#include "platform/kern/IOUserClient.h"

using audiosm::load32;
using audiosm::load64;
using audiosm::store32;
using audiosm::store64;

namespace {

constexpr uint32_t kMaxWireBytes = ISOC_TEMP_SAMPLES * 3;

char* smAt(DriverSM* sm, size_t offset) {
    return reinterpret_cast<char*>(sm) + offset;
}

size_t slotOffset(uint32_t i) {
    return offsetof(DriverSM, mClients) + i * sizeof(ClientData);
}

} // namespace

// ---------------------------------------------------------------------------
// Life

DriverData::DriverData(DriverSM* sharedArea) {
    m_pDriverSM.store(sharedArea, std::memory_order_release);
    for (uint32_t n = 0; n < 32; ++n) {
        mLeft[n] = QN_Fraction{(n & 1) ? 0 : 1, 1};
        mRight[n] = QN_Fraction{(n & 1) ? 1 : 0, 1};
        mRouting[n] = char(n);
    }
}

DriverData* DriverData::create(DriverSM* sharedArea) {
    void* memory = IOMalloc(sizeof(DriverData));
    if (!memory) return nullptr;
    std::memset(memory, 0, sizeof(DriverData));
    return new (memory) DriverData(sharedArea);
}

uint32_t DriverData::retain() {
    return mReferences.fetch_add(1, std::memory_order_relaxed) + 1;
}

uint32_t DriverData::release() {
    const uint32_t left = mReferences.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) {
        this->~DriverData();
        IOFree(this, sizeof(DriverData));
    }
    return left;
}

void DriverData::sharedMemoryDestroyed() {
    m_pDriverSM.store(nullptr, std::memory_order_release);
}

// ---------------------------------------------------------------------------
// Slot locks: kernel-private; the shared word is an advisory copy.

bool DriverData::tryLockSlot(uint32_t i) {
    uint32_t expected = 0;
    if (!mSlots[i].lock.compare_exchange_strong(expected, 1, std::memory_order_acquire))
        return false;
    if (DriverSM* sm = sharedArea())
        store32(smAt(sm, slotOffset(i) + offsetof(ClientData, mLockCount)), 1);
    return true;
}

void DriverData::lockSlotWaiting(uint32_t i) {
    // The mixer holds a slot for one client's read at most.
    while (!tryLockSlot(i)) {
        IOLog("ClientData__detach !atomicCompareAndSwap32(&cCD.mLockCount, 0,1) returned false\n");
        IOSleep(1);
    }
}

void DriverData::unlockSlot(uint32_t i) {
    if (DriverSM* sm = sharedArea())
        store32(smAt(sm, slotOffset(i) + offsetof(ClientData, mLockCount)), 0);
    mSlots[i].lock.store(0, std::memory_order_release);
}

void DriverData::publishSlot(uint32_t i, int32_t id, uint32_t param, uint64_t token) {
    DriverSM* sm = sharedArea();
    if (!sm) return;
    store32(smAt(sm, slotOffset(i) + offsetof(ClientData, mClientIdentifier)), uint32_t(id));
    store32(smAt(sm, slotOffset(i) + offsetof(ClientData, mParameter)), param);
    store64(smAt(sm, slotOffset(i) + offsetof(ClientData, mClient)), token);
    store64(smAt(sm, slotOffset(i) + offsetof(ClientData, mRing)), 0);
}

uint32_t DriverData::slotState(int slot) const {
    if (slot < 0 || slot >= int(kDriverDataSlots)) return kAttachLaidOut;
    return mSlots[slot].state.load(std::memory_order_acquire);
}

// ---------------------------------------------------------------------------
// Clients

bool DriverData::attachClient(IOUserClient* client, AudioSM* ring, int id, int& slot,
                              uint32_t param, uint64_t clientToken,
                              const AudioSMGeometry* geometry) {
    if (!client || !sharedArea()) return false;
    uint32_t i = 0;
    for (; i < kDriverDataSlots; ++i) {
        IOUserClient* expected = nullptr;
        if (mSlots[i].client.compare_exchange_strong(expected, client, std::memory_order_acq_rel))
            break;
    }
    if (i == kDriverDataSlots) return false;
    client->retain();
    Slot& s = mSlots[i];
    lockSlotWaiting(i);
    s.token = clientToken ? clientToken : mNextToken.fetch_add(1, std::memory_order_relaxed) + 1;
    if (ring) {
        // The ring was just laid out by the kernel; its geometry is derived
        // again from the counts (always a layout inside the ring), never
        // taken from the record's lengths.
        const AudioSMGeometry g =
            geometry ? *geometry
                     : AudioSMGeometry::forLayout(
                           load32(AUDIOSM_CAT(ring, AudioSM, mChannelsPerFrame)),
                           load32(AUDIOSM_CAT(ring, AudioSM, mExtraBytesPerFrame)));
        s.ring.bind(ring, g);
        s.ring.store32At(offsetof(AudioSM, mAttachState), kAttachRequested, __ATOMIC_RELEASE);
        s.state.store(kAttachRequested, std::memory_order_release);
        s.hasRing.store(true, std::memory_order_release);
    } else {
        s.state.store(kAttachLaidOut, std::memory_order_release);
        s.hasRing.store(false, std::memory_order_release);
    }
    publishSlot(i, id, param, s.token);
    unlockSlot(i);
    slot = int(i);
    const int32_t n = mAttachedCount.fetch_add(1, std::memory_order_acq_rel) + 1;
    if (DriverSM* sm = sharedArea())
        store32(smAt(sm, offsetof(DriverSM, mAttachedClients)), uint32_t(n));
    return true;
}

void DriverData::detachSlot(uint32_t i) {
    Slot& s = mSlots[i];
    lockSlotWaiting(i);
    s.state.store(kAttachLaidOut, std::memory_order_release);
    s.hasRing.store(false, std::memory_order_release);
    s.ring.unbind();
    s.token = 0;
    if (DriverSM* sm = sharedArea()) {
        store32(smAt(sm, slotOffset(i) + offsetof(ClientData, mClientIdentifier)), 0);
        store64(smAt(sm, slotOffset(i) + offsetof(ClientData, mClient)), 0);
        store64(smAt(sm, slotOffset(i) + offsetof(ClientData, mRing)), 0);
    }
    IOUserClient* c = s.client.exchange(nullptr, std::memory_order_acq_rel);
    unlockSlot(i);
    if (c) c->release();
    const int32_t n = mAttachedCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (DriverSM* sm = sharedArea())
        store32(smAt(sm, offsetof(DriverSM, mAttachedClients)), uint32_t(n));
}

bool DriverData::detachClient(IOUserClient* client) {
    if (!client) return false;
    for (uint32_t i = 0; i < kDriverDataSlots; ++i) {
        if (mSlots[i].client.load(std::memory_order_acquire) == client) {
            detachSlot(i);
            return true;
        }
    }
    return false;
}

void DriverData::detachAllClients() {
    for (uint32_t i = 0; i < kDriverDataSlots; ++i)
        if (mSlots[i].client.load(std::memory_order_acquire)) detachSlot(i);
}

bool DriverData::isClientAttached(IOUserClient* client) const {
    if (!client) return false;
    for (const Slot& s : mSlots)
        if (s.client.load(std::memory_order_acquire) == client) return true;
    return false;
}

int DriverData::countClients() const {
    return sharedArea() ? mAttachedCount.load(std::memory_order_acquire) : 0;
}

void DriverData::reinitClientsForStreaming(QnChannelSettings& settings, uint32_t extra) {
    const uint32_t channels = settings.OutChannels ? settings.OutChannels : settings.InChannels;
    for (uint32_t i = 0; i < kDriverDataSlots; ++i) {
        Slot& s = mSlots[i];
        if (!s.client.load(std::memory_order_acquire) || !s.hasRing.load(std::memory_order_acquire))
            continue;
        lockSlotWaiting(i);
        if (s.hasRing.load(std::memory_order_acquire)) {
            const bool running = s.state.load(std::memory_order_acquire) == kAttachRunning;
            if (running) IOLog("...found attached client\n");
            s.ring._init(channels, settings.Frequency, extra);
            // A running ring restarts at the device's position on the next
            // cycle; the others wait for their client to ask again.
            const uint32_t next = running ? kAttachRequested : kAttachLaidOut;
            s.ring.store32At(offsetof(AudioSM, mAttachState), next, __ATOMIC_RELEASE);
            s.state.store(next, std::memory_order_release);
        }
        unlockSlot(i);
    }
}

// ---------------------------------------------------------------------------
// Settings

void DriverData::setConverters(USB_ENC_FNC converter, const QnChannelSettings& settings) {
    mInputChannels = settings.InChannels ? settings.InChannels : 1;
    mOutputChannels = settings.OutChannels;
    mConverter.store(converter, std::memory_order_release);
}

void DriverData::setOutMixer(OUT_MIXER_FNC mixer) {
    mOutMixer.store(mixer, std::memory_order_release);
}

bool DriverData::setMixerFraction(QN_MixerFraction& fraction) {
    if (fraction.nChannel < 0 || fraction.nChannel > 31) return false;
    if (fraction.nFractionLeft.nDenominator == 0) fraction.nFractionLeft.nDenominator = 1;
    if (fraction.nFractionRight.nDenominator == 0) fraction.nFractionRight.nDenominator = 1;
    mLeft[fraction.nChannel] = fraction.nFractionLeft;
    mRight[fraction.nChannel] = fraction.nFractionRight;
    return true;
}

void DriverData::setMixerFractions(QN_MixerFractions& fractions) {
    // Zero denominators never reach the mixer's division.
    for (uint32_t n = 0; n < 32; ++n) {
        QN_Fraction l = fractions.mMixerFractionLeft[n], r = fractions.mMixerFractionRight[n];
        if (!l.nDenominator) l.nDenominator = 1;
        if (!r.nDenominator) r.nDenominator = 1;
        mLeft[n] = l;
        mRight[n] = r;
    }
}

void DriverData::setRoutingMatrix(const char* routing) {
    if (routing) std::memcpy(mRouting, routing, sizeof(mRouting));
}

void DriverData::notifyChange(int slot, ESyncNotification code) {
    if (slot < 0 || slot >= int(kDriverDataSlots)) return;
    lockSlotWaiting(uint32_t(slot));
    if (mSlots[slot].hasRing.load(std::memory_order_acquire))
        mSlots[slot].ring.store32At(offsetof(AudioSM, mSyncNotification), code);
    unlockSlot(uint32_t(slot));
}

void DriverData::readOutputPeaks(int32_t* out, uint32_t channels) {
    for (uint32_t c = 0; c < channels && c < 32; ++c)
        out[c] = mPeaks[c].exchange(0, std::memory_order_relaxed);
}

void DriverData::peekOutputPeaks(int32_t* out, uint32_t channels) const {
    for (uint32_t c = 0; c < channels && c < 32; ++c)
        out[c] = mPeaks[c].load(std::memory_order_relaxed);
}

void DriverData::setOwners(uint64_t outputOwner, uint64_t privateDataOwner) {
    mOutputOwner.store(outputOwner, std::memory_order_relaxed);
    mPrivateDataOwner.store(privateDataOwner, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// Real time

void DriverData::ClientData__rtsIsocOutputSamples(ClientDataIOInfo* info, uint64_t position,
                                                  uint8_t* extra) {
    Slot& s = mSlots[info->slot];
    const AudioSMGeometry& g = s.ring.geometry();
    int32_t* dst = info->destination;
    const uint64_t need = uint64_t(info->frames) * g.channels;
    const bool silenced = info->exclusiveOutputOwner && s.token != info->exclusiveOutputOwner;
    // A client that is not the exclusive owner is consumed, not heard; so is
    // a ring whose frames do not fit this cycle's block.
    if (silenced || need > info->uSamples) {
        info->clear(dst, info->uSamples);
        dst = nullptr;
    } else if (need < info->uSamples) {
        info->clear(dst + need, info->uSamples - uint32_t(need));
    }
    uint8_t* extraDst =
        (extra && info->privateDataOwner && s.token == info->privateDataOwner) ? extra : nullptr;
    s.ring.readAt(position, dst, info->frames, info->copy, extraDst);
}

uint32_t DriverData::mixClients(DriverSM* /*sm*/, int32_t* dst, uint32_t samples, uint64_t position,
                                uint32_t frames, uint8_t* extra) {
    ClientDataIOInfo info{};
    info.copy = audioInt32CopySet;
    info.clear = audioInt32Clear;
    info.destination = dst;
    info.uSamples = samples;
    info.frames = frames;
    info.exclusiveOutputOwner = mOutputOwner.load(std::memory_order_relaxed);
    info.privateDataOwner = mPrivateDataOwner.load(std::memory_order_relaxed);
    uint32_t read = 0;
    for (uint32_t i = 0; i < kDriverDataSlots; ++i) {
        if (mSlots[i].state.load(std::memory_order_acquire) != kAttachRunning) continue;
        if (!tryLockSlot(i)) {
            IOLog("ClientData__isAttachedLocked atomicCompareAndSwap32(&cCDInfo.pCD->mLockCount, "
                  "0,1) returned false\n");
            continue;
        }
        if (mSlots[i].state.load(std::memory_order_acquire) == kAttachRunning &&
            mSlots[i].hasRing.load(std::memory_order_acquire)) {
            info.slot = i;
            ClientData__rtsIsocOutputSamples(&info, position, extra);
            ++read;
            info.copy = audioInt32CopyAdd;
            info.clear = audioInt32ClearNot;
        }
        unlockSlot(i);
    }
    return read;
}

void DriverData::rtsIsocOutput(char* wire, uint32_t bytes, uint64_t position, uint32_t frames,
                               uint8_t* extra) {
    DriverSM* sm = sharedArea();
    if (!sm) return;
    if (mAttachedCount.load(std::memory_order_acquire) <= 0) {
        if (wire) std::memset(wire, 0, bytes);
        return;
    }
    const USB_ENC_FNC converter = mConverter.load(std::memory_order_acquire);
    if (!converter) return;
    const uint32_t samples = converter(nullptr, nullptr, bytes);
    if (samples > ISOC_TEMP_SAMPLES) {
        IOLog("cCDInfo.uSamples:%08X > ISOC_TEMP_SAMPLES", samples);
        return;
    }
    if (bytes > kMaxWireBytes) {
        IOLog("uBytes:%d > ISOC_TEMP_SAMPLES*3", int(bytes));
        return;
    }
    // A packet without frames has nothing to mix and no peaks.
    if (frames == 0) return;
    if (mixClients(sm, mMixBuffer, samples, position, frames, extra))
        audioInt32Saturate(mMixBuffer, samples);
    else
        audioInt32Clear(mMixBuffer, samples);

    uint32_t channels = samples / frames;
    if (channels > 32) channels = 32;
    for (uint32_t c = 0; c < channels; ++c) {
        int32_t peak = mPeaks[c].load(std::memory_order_relaxed);
        const int32_t before = peak;
        for (uint32_t f = 0; f < frames; ++f) {
            const int32_t v = mMixBuffer[f * (samples / frames) + c];
            if (v > peak) peak = v;
        }
        if (peak != before) mPeaks[c].store(peak, std::memory_order_relaxed);
    }
    if (OUT_MIXER_FNC mixer = mOutMixer.load(std::memory_order_acquire))
        mixer(reinterpret_cast<u_int32_t*>(mMixBuffer), frames, mLeft, mRight, mRouting);
    converter(wire, mMixBuffer, bytes);
}

void DriverData::rtsBulkOutput(int32_t* pcm, uint32_t samples, uint64_t position, uint32_t frames) {
    DriverSM* sm = sharedArea();
    if (!sm || !pcm) return;
    if (mAttachedCount.load(std::memory_order_acquire) <= 0 || frames == 0) {
        std::memset(pcm, 0, size_t(samples) * 4);
        return;
    }
    if (mixClients(sm, pcm, samples, position, frames, nullptr))
        audioInt32Saturate(pcm, samples);
    else
        audioInt32Clear(pcm, samples);
}

void DriverData::rtsInterruptOutput(int32_t* pcm, uint32_t samples, uint64_t position,
                                    uint32_t frames) {
    rtsBulkOutput(pcm, samples, position, frames);
}

void DriverData::rtsCheckAttachClients(uint64_t sampleTime, uint64_t position, uint64_t hostTime) {
    if (!sharedArea()) {
        IOLog("!!! m_pDriverSM NULL");
        return;
    }
    for (uint32_t i = 0; i < kDriverDataSlots; ++i) {
        Slot& s = mSlots[i];
        if (!s.hasRing.load(std::memory_order_acquire) || !tryLockSlot(i)) continue;
        if (s.hasRing.load(std::memory_order_acquire)) {
            uint32_t st = s.state.load(std::memory_order_acquire);
            // After a relayout the client asks again by writing 2 or 3.
            if (st == kAttachLaidOut) {
                const uint32_t asked =
                    s.ring.load32At(offsetof(AudioSM, mAttachState), __ATOMIC_ACQUIRE);
                if (asked == kAttachRequested || asked == kAttachRequestedAlt)
                    st = kAttachRequested;
            }
            if (st == kAttachRequested || st == kAttachRequestedAlt) {
                IOLog("@%lld DriverData::rtsCheckAttachClients, client %d framePos %d timestamp "
                      "%llu\n",
                      (long long)(mach_absolute_time() / 1000000), int(i), int(sampleTime),
                      (unsigned long long)hostTime);
                s.ring.store64At(offsetof(AudioSM, mClientFramePos), sampleTime);
                s.ring.store64At(offsetof(AudioSM, mFramePos), sampleTime, __ATOMIC_RELEASE);
                s.ring.store64At(offsetof(AudioSM, mAttachTimeStamp), hostTime);
                s.ring.store64At(offsetof(AudioSM, mAttachFramePos), sampleTime);
                s.ring.store64At(offsetof(AudioSM, mAttachOutFramePos), position);
                s.ring.store32At(offsetof(AudioSM, mAttachState), kAttachRunning, __ATOMIC_RELEASE);
                s.state.store(kAttachRunning, std::memory_order_release);
            }
            s.ring.store64At(offsetof(AudioSM, mKernelOutFramePos), position);
        }
        unlockSlot(i);
    }
}

void DriverData::rtsGetMinAvailableFrames(int& minimum, int& clients, uint64_t position) {
    minimum = 0;
    clients = 0;
    if (!sharedArea()) {
        IOLog("rtsGetMinAvailableFrames pDriverSM NULL!!!\n");
        return;
    }
    for (uint32_t i = 0; i < kDriverDataSlots; ++i) {
        Slot& s = mSlots[i];
        if (!s.client.load(std::memory_order_acquire) || !s.hasRing.load(std::memory_order_acquire))
            continue;
        if (!tryLockSlot(i)) continue;
        if (s.hasRing.load(std::memory_order_acquire)) {
            const uint64_t end = s.ring.load64At(offsetof(AudioSM, mFramePos), __ATOMIC_ACQUIRE) +
                                 s.ring.load64At(offsetof(AudioSM, mWriteOffset));
            const int lead = int(int32_t(uint32_t(end - position)));
            if (clients == 0 || lead < minimum) minimum = lead;
            ++clients;
        }
        unlockSlot(i);
    }
}
