// Client mixing: the kernel object that owns the client side of a device's
// driver shared area. Eight slots, each holding a user client and that
// client's own output ring; on the real-time thread it mixes the running
// rings into one block, applies the output mixer and packs the block for the
// wire (or hands the PCM to a bulk or interrupt transport). It also starts
// newly attached clients at the device's current position.
//
// Trust: the shared slots only show what user space may know (identifier,
// parameter, the client's opaque identifier, an advisory lock word). The
// client pointers, rings, ring geometry, attach states and slot locks live
// here, in kernel memory. A user writing its ring or slot can spoil its own
// audio, never the kernel's addressing or another client's mix, and cannot
// keep a detach waiting: the only holder of a slot lock is the mixer, for one
// client's read.
//
// Real-time path (rts*): no allocation, no waiting; a busy slot is skipped
// for the cycle.
#pragma once

#include <atomic>
#include <cstdint>

#include "abi/AudioSM.h"
#include "abi/DriverSM.h"
#include "abi/QN_Dispatch.h"
#include "driver/engine/stream/AudioSMKernel.h"
#include "driver/transcoders/OutMixer.h"
#include "driver/transcoders/PCMConvert.h"

class IOUserClient;

constexpr uint32_t ISOC_TEMP_SAMPLES = 8192;
constexpr uint32_t kDriverDataSlots = 8;

// Codes the kernel posts in a client ring's mSyncNotification.
enum ESyncNotification : uint32_t { kSyncNotificationNone = 0 };

// Attach states of a client ring (the ring's mAttachState shows them).
enum : uint32_t {
    kAttachLaidOut = 0,
    kAttachRunning = 1,
    kAttachRequested = 2,
    kAttachRequestedAlt = 3,
};

class DriverData;

// The per-cycle mixing context.
struct ClientDataIOInfo {
    AudioCopyFunc copy;
    AudioClearFunc clear;
    int32_t* destination;
    uint32_t uSamples;
    uint32_t frames;
    uint64_t exclusiveOutputOwner; // opaque client identifier, 0 none
    uint64_t privateDataOwner;
    uint32_t slot;
};

class DriverData {
public:
    // Life. create allocates zeroed kernel memory; the count starts at 1.
    static DriverData* create(DriverSM* sharedArea);
    uint32_t retain();  // returns the new count
    uint32_t release(); // returns the new count; frees at 0
    void sharedMemoryDestroyed();

    // Clients. clientToken is the client's opaque identifier (what the
    // shared area's owner fields hold); 0 lets this object make one.
    // geometry, when given, is the one the kernel laid the ring out with
    // (else it is derived again from the ring's counts).
    bool attachClient(IOUserClient* client, AudioSM* ring, int id, int& slot, uint32_t param,
                      uint64_t clientToken = 0, const AudioSMGeometry* geometry = nullptr);
    bool detachClient(IOUserClient* client);
    void detachAllClients();
    bool isClientAttached(IOUserClient* client) const;
    int countClients() const;
    // Lays the attached rings out again for new settings, each frame carrying
    // extraBytesPerFrame (the product's rule, as the clients lay them out).
    void reinitClientsForStreaming(QnChannelSettings& settings, uint32_t extraBytesPerFrame);

    // Settings from the configuration and the control requests.
    void setConverters(USB_ENC_FNC converter, const QnChannelSettings& settings);
    void setOutMixer(OUT_MIXER_FNC mixer);
    bool setMixerFraction(QN_MixerFraction& fraction);
    void setMixerFractions(QN_MixerFractions& fractions);
    void setRoutingMatrix(const char* routing);
    void notifyChange(int slot, ESyncNotification code);

    // Real time.
    void rtsIsocOutput(char* wire, uint32_t bytes, uint64_t position, uint32_t frames,
                       uint8_t* extra);
    void rtsBulkOutput(int32_t* pcm, uint32_t samples, uint64_t position, uint32_t frames);
    void rtsInterruptOutput(int32_t* pcm, uint32_t samples, uint64_t position, uint32_t frames);
    void rtsCheckAttachClients(uint64_t sampleTime, uint64_t position, uint64_t hostTime);
    void rtsGetMinAvailableFrames(int& minimum, int& clients, uint64_t position);

    // Level requests: the largest mixed sample per output channel since the
    // last read, then cleared.
    void readOutputPeaks(int32_t* out, uint32_t channels);
    // The same without clearing.
    void peekOutputPeaks(int32_t* out, uint32_t channels) const;
    // The output and private-data owners the mixer honours: the device's
    // kernel-private choice, never the shared area's copies.
    void setOwners(uint64_t outputOwner, uint64_t privateDataOwner);

    // Inspection.
    DriverSM* sharedArea() const { return m_pDriverSM.load(std::memory_order_acquire); }
    uint32_t inputChannels() const { return mInputChannels; }
    uint32_t outputChannels() const { return mOutputChannels; }
    USB_ENC_FNC converter() const { return mConverter.load(std::memory_order_relaxed); }
    OUT_MIXER_FNC outMixer() const { return mOutMixer.load(std::memory_order_relaxed); }
    QN_Fraction leftFraction(uint32_t ch) const { return mLeft[ch % 32]; }
    QN_Fraction rightFraction(uint32_t ch) const { return mRight[ch % 32]; }
    const char* routingMap() const { return mRouting; }
    uint32_t references() const { return mReferences.load(std::memory_order_relaxed); }
    // The kernel's own attach state of a slot's ring.
    uint32_t slotState(int slot) const;
    const int32_t* mixingBuffer() const { return mMixBuffer; }

private:
    explicit DriverData(DriverSM* sharedArea);
    ~DriverData() = default;

    struct Slot {
        std::atomic<IOUserClient*> client{nullptr};
        std::atomic<uint32_t> lock{0};
        std::atomic<uint32_t> state{kAttachLaidOut};
        std::atomic<bool> hasRing{false};
        uint64_t token = 0;
        AudioSMView ring;
    };

    bool tryLockSlot(uint32_t i);
    void lockSlotWaiting(uint32_t i);
    void unlockSlot(uint32_t i);
    void publishSlot(uint32_t i, int32_t id, uint32_t param, uint64_t token);
    void detachSlot(uint32_t i);
    // Mixes the running rings into dst; returns the clients read. sm is the
    // shared area the caller found present for this cycle.
    uint32_t mixClients(DriverSM* sm, int32_t* dst, uint32_t samples, uint64_t position,
                        uint32_t frames, uint8_t* extra);
    void ClientData__rtsIsocOutputSamples(ClientDataIOInfo* info, uint64_t position,
                                          uint8_t* extra);

    std::atomic<uint32_t> mReferences{1};
    uint32_t mInputChannels = 1;
    uint32_t mOutputChannels = 0;
    std::atomic<DriverSM*> m_pDriverSM{nullptr};
    int32_t mMixBuffer[ISOC_TEMP_SAMPLES] = {};
    std::atomic<USB_ENC_FNC> mConverter{nullptr};
    std::atomic<OUT_MIXER_FNC> mOutMixer{nullptr};
    std::atomic<int32_t> mPeaks[32] = {};
    std::atomic<uint64_t> mOutputOwner{0};
    std::atomic<uint64_t> mPrivateDataOwner{0};
    QN_Fraction mLeft[32] = {};
    QN_Fraction mRight[32] = {};
    char mRouting[32] = {};
    std::atomic<int32_t> mAttachedCount{0};
    std::atomic<uint64_t> mNextToken{0};
    Slot mSlots[kDriverDataSlots];
};
