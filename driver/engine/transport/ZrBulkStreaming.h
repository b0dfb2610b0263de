// The bulk and interrupt audio transports of one device: the driver maker's
// bulk protocol (bit-sliced DMA packets on a bulk or interrupt in pipe and
// a bulk or interrupt out pipe) and the interrupt PCM transports (plain
// interleaved 32-bit frames, and the second Sorvik generation's 7-frame
// packets with a 32-byte header).
//
// Completions (bus threads) claim, submit and resubmit transfer records;
// the real-time service consumes in records as their packets arrive and
// fills out records ahead of the bus, under the input ring's lock. A record
// passes between them by its use count and sequence number (ZrBulkIRP.h).
//
// Real-time rule for the rts* members: no allocation, no lock a non-real-
// time thread holds for long, no blocking; the staging block and work
// buffer exist from configuration on. The prescribed log lines stay.
//
// Positions are 64-bit; the drift guards sum in 64 bits.
#pragma once

#include <atomic>
#include <cstdint>

#include "driver/engine/transport/KeThread.h"
#include "driver/engine/transport/LevelMeters.h"
#include "driver/engine/transport/ZrBulkIRP.h"
#include "driver/transcoders/DMAConvert.h"
#include "driver/transcoders/PCMConvert.h"

class AudioSMWriter;
class DriverData;
class ZrFramePatternObserver;

class BulkStreamHost;
// The DMA width register written through a host's register access.
uint32_t writeDmaInputChannels(BulkStreamHost& host, uint32_t inChannels, bool brava);

// What the transports ask of their device.
class BulkStreamHost {
public:
    virtual ~BulkStreamHost() = default;
    virtual void stopStreaming(bool wait) = 0;
    // A state change to every client (2: the stream broke).
    virtual void stcNotifyStreaming(uint32_t code) = 0;
    virtual bool lockInputRing() { return true; }
    virtual void unlockInputRing() {}
    // The DMA register (vendor request 0x49): read one byte, write one.
    virtual bool readDmaRegister(uint8_t& value) = 0;
    virtual void writeDmaRegister(uint8_t value) = 0;
    // The DMA width register for an input channel count (16 or fewer, or
    // the Brava product: byte units, bit 0x20); bit 0x10 always set. Answers
    // the DMA word width, 16 or 32. The device decides the Brava rule itself.
    virtual uint32_t setAJDMAInputChannels(uint32_t inChannels, bool brava) {
        return writeDmaInputChannels(*this, inChannels, brava);
    }
    // The endpoint rate of the in pipe (set, then read back).
    virtual void setPipeRates(uint32_t rate) = 0;
    // The MIDI port's bulk slot schedule (advanced one slot a call: true
    // when the slot is flagged), its MIDI output queue 0 and its control-
    // port queue.
    virtual bool nextMidiSlotFlagged() { return false; }
    virtual bool takeMidiByte(uint8_t&) { return false; }
    virtual bool takeControlByte(uint8_t&) { return false; }
};

enum class BulkTransport : uint8_t { None, Bulk, Interrupt, InterruptFarlane };

// What the configuration decided.
struct BulkStreamSettings {
    uint32_t rate = 0;
    uint32_t inChannels = 0;
    uint32_t outChannels = 0;
    bool brava = false;                 // its own rate rule and converters
    bool kxProduct = false;             // the 10-channel fifth-lane encoder
    bool selectorProduct = false;       // the other maker's 8-channel selector encoders
    uint32_t digitalOutSelector = 0;    // that product's selector word
    bool useInterruptTransfers = false; // an interrupt in pipe stands for the bulk in pipe
    bool quarnelBulkDevice = false;     // its underruns may request a reset
    bool bulkInIsocOut = false;         // in errors resubmit on newer kernels
    bool goClearStall = false;          // the go step clears both pipes' stalls first
    LevelProcessorFnc inputMeter = nullptr;
    LevelProcessorFnc outputMeter = nullptr;
    void (*postProcessor)(int32_t*, uint32_t) = nullptr;
};

// Frames per packet of the bulk protocol for a DMA width and rate (the
// Brava rule replaces the width's), doubled for 1,024-byte packets.
struct BulkFramesPerPacket {
    uint32_t in = 0;
    uint32_t out = 0;
};
BulkFramesPerPacket bulkFramesPerPacket(uint32_t width, bool brava, uint32_t rate,
                                        uint32_t inMaxPacket, uint32_t outMaxPacket);
// The DMA width the input channel count needs (16 up to 16 channels).
inline uint32_t bulkDmaWidth(uint32_t inChannels) {
    return inChannels <= 16 ? 16 : 32;
}
// The decoder and encoder choices (null: none fits). int964 means the out
// packets are 964-byte interrupt packets. Logs as the device does.
DMA_CONVERT_FNC chooseDMADecoder(uint32_t inChannels, uint32_t width, bool brava);
DMA_CONVERT_FNC chooseDMAEncoder(const BulkStreamSettings& s, bool int964);
// The checks a bulk or interrupt configuration passes before it may run;
// false with the reason logged.
bool bulkCountsAgree(const BulkStreamSettings& s, uint32_t inMaxPacket, uint32_t outMaxPacket,
                     bool hasIn, bool hasOut);
bool interruptCountsAgree(uint32_t inChannels, uint32_t outChannels, uint32_t inMaxPacket,
                          uint32_t outMaxPacket, bool farlane);

class ZrBulkStreaming {
public:
    ZrBulkStreaming(BulkStreamHost& host, KeThread& thread);
    ~ZrBulkStreaming();
    ZrBulkStreaming(const ZrBulkStreaming&) = delete;
    ZrBulkStreaming& operator=(const ZrBulkStreaming&) = delete;

    void attach(DriverData* driverData, AudioSMWriter* inputRing, ZrFramePatternObserver* pattern) {
        mDriverData = driverData;
        mInputRing = inputRing;
        mPattern = pattern;
    }
    // Configuration: the pipes (either may be null) and settings; sizes the
    // records for the pipes and the staging buffers. False, logged, when
    // the counts disagree (nothing streams).
    bool configure(BulkTransport transport, IOUSBHostPipe* in, IOUSBHostPipe* out,
                   const BulkStreamSettings& settings);
    // The configuration goes: the records give their buffers back (none is
    // in use after the stop).
    void release();
    BulkTransport transport() const { return mTransport; }
    bool isConfigured() const { return mTransport != BulkTransport::None; }

    // Starts: the bulk run or the interrupt run for the configured
    // transport, installing the service routine (unless another transport's
    // routine runs this one's steps). False when nothing runs.
    bool run(bool installService = true);
    // Stop: abort both pipes, then (waiting) poll every 10 ms until no
    // record is in use. True when streaming ran.
    bool stop(bool wait);
    void setMeters(LevelProcessorFnc in, LevelProcessorFnc out) {
        mSettings.inputMeter = in;
        mSettings.outputMeter = out;
    }
    // The digital-out selector changed: stored for the next run, and the
    // encoder is chosen again (it picks the selector product's output lane
    // pair). A running stream takes the new encoder from its next packet
    // when it consumes what the old one did; the encoder in force results.
    DMA_CONVERT_FNC chooseDMAEncoderForSelector(uint32_t selector);
    // Where the meters raise their peaks: the input meter into the level
    // record's input bytes, the output meter into its output bytes (either
    // null: that meter does not run); the per-channel input peaks.
    void setLevelTargets(char* inputLevels, char* outputLevels, int32_t* inputPeaks) {
        mpInputLevels = inputLevels;
        mpOutputLevels = outputLevels;
        mpInputPeaks = inputPeaks;
    }

    // Bulk.
    bool bulkAudioRun();
    void bulkAudioGo();
    bool bulkAudioIn();
    bool bulkAudioOut();
    void bulkAudioStop(bool wait);
    static void bulkAudioInCompletion(void* owner, void* parameter, IOReturn status,
                                      uint32_t bytes);
    static void bulkAudioOutCompletion(void* owner, void* parameter, IOReturn status,
                                       uint32_t bytes);
    void bulkInpEvent(AudioBulkIRP* irp);
    void bulkOutEvent(AudioBulkIRP* irp);
    uint32_t rtsProcessBulkIn();
    void rtsProcessBulkOut();
    static void rtsBulkOutBulkIn(void* engine);

    // Interrupt (plain and second Sorvik generation).
    bool interruptAudioRun();
    bool interruptAudioRun_Flb();
    void interruptAudioGo(bool flb);
    bool interruptAudioIn(bool flb, bool log);
    bool interruptAudioOut(bool flb, bool log);
    void interruptAudioStop(bool wait);
    static void interruptAudioInCompletion(void* owner, void* parameter, IOReturn status,
                                           uint32_t bytes);
    static void interruptAudioOutCompletion(void* owner, void* parameter, IOReturn status,
                                            uint32_t bytes);
    void rtsProcessInterruptIn();
    void rtsProcessInterruptIn_Flb();
    void rtsProcessInterruptOut(bool flb);
    static void rtsInterruptOutInterruptIn(void* engine);
    static void rtsInterruptOutInterruptIn_Flb(void* engine);

    // State (tests and reports).
    bool isStreamingStarted() const { return mStarted.load(std::memory_order_acquire); }
    uint64_t devicePosition() const { return mDevicePosition; }
    uint32_t underruns() const { return mUnderrunsTotal.load(std::memory_order_relaxed); }
    uint32_t guardInserts() const { return mInsertsTotal.load(std::memory_order_relaxed); }
    bool resetRequested() const { return mResetRequested.load(std::memory_order_acquire); }
    int32_t pendingInserts() const { return mPendingInserts.load(std::memory_order_acquire); }
    void setPendingInserts(int32_t n) { mPendingInserts.store(n, std::memory_order_release); }
    uint32_t inFramesPerPacket() const { return mInFramesPerPacket; }
    uint32_t outFramesPerPacket() const { return mOutFramesPerPacket; }
    uint32_t bytesPerBulkFromClient() const { return mBytesPerBulkFromClient; }
    uint32_t maxPacketsPerCycle() const { return mMaxPacketsPerCycle; }
    uint32_t outputLead() const { return mOutputLead; }
    uint32_t guardCriticalPoint() const { return mGuardCriticalPoint; }
    uint32_t guardCriticalPointLow() const { return mGuardCriticalPointLow; }
    DMA_CONVERT_FNC decoder() const { return mDecoder; }
    DMA_CONVERT_FNC encoder() const { return mEncoder; }
    AudioBulkIRP& bulkIn(uint32_t i) { return mBulkIn[i]; }
    AudioBulkIRP& bulkOut(uint32_t i) { return mBulkOut[i]; }
    AudioInterruptIRP& intIn(uint32_t i) { return mIntIn[i]; }
    AudioInterruptIRP& intOut(uint32_t i) { return mIntOut[i]; }
    // Underrun state, for the reset rule (tests set the frame).
    void setCurrentFrame(uint32_t frame) { mCurrentFrame = frame; }
    // Fixtures and fuzz targets: the records sized for packet sizes with no
    // pipe behind them, the converters and counts a run would choose, and
    // streaming marked started without a transfer.
    bool configureUnbound(BulkTransport transport, uint32_t inPacket, uint32_t outPacket,
                          const BulkStreamSettings& settings);
    // The underrun rule of the out side: counts, logs and, after 5,001 in a
    // window of 5,001 bus frames, requests the reset. True when the window
    // closed.
    bool underrun(uint32_t needed, uint32_t available);

private:
    bool prepareService();
    void declareBroken(const char* line);
    bool stopping() const { return !mStarted.load(std::memory_order_acquire); }
    template <class R, size_t N> static R* oldest(R (&records)[N]);
    void writeGroup(uint32_t frames);
    void fillMidiBytes(uint8_t* packet);
    void guard(uint64_t frames, int32_t& pending, bool log);
    void resetGuards();
    bool submitIn(AudioTransferRecord& r, uint32_t length, IOUSBHostCompletionAction action,
                  uint32_t timeout);

    BulkStreamHost& mHost;
    KeThread& mThread;
    DriverData* mDriverData = nullptr;
    AudioSMWriter* mInputRing = nullptr;
    ZrFramePatternObserver* mPattern = nullptr;
    BulkTransport mTransport = BulkTransport::None;
    BulkStreamSettings mSettings{};
    IOUSBHostPipe* mInPipe = nullptr;
    IOUSBHostPipe* mOutPipe = nullptr;
    uint32_t mInPacketSize = 0;
    uint32_t mOutPacketSize = 0;

    AudioBulkIRP mBulkIn[kBulkInRecords];
    AudioBulkIRP mBulkOut[kBulkOutRecords];
    AudioInterruptIRP mIntIn[kInterruptInRecords];
    AudioInterruptIRP mIntOut[kInterruptOutRecords];
    std::atomic<uint32_t> mNextIn{1};
    std::atomic<uint32_t> mNextOut{1};

    uint32_t mDmaWidth = 16;
    uint32_t mInFramesPerPacket = 0;
    uint32_t mOutFramesPerPacket = 0;
    uint32_t mOutputLead = 0;
    uint32_t mMaxPacketsPerCycle = 0;
    DMA_CONVERT_FNC mDecoder = nullptr;
    DMA_CONVERT_FNC mEncoder = nullptr;
    std::atomic<uint32_t> mBytesPerBulkFromClient{0};
    uint32_t mFlbCounter = 0;
    int32_t mCarry = 0;

    std::atomic<bool> mStarted{false};
    std::atomic<bool> mBroken{false};
    std::atomic<bool> mResetRequested{false};
    uint32_t mLastServicedFrame = 0;
    uint32_t mCurrentFrame = 0;
    // The stream's start: its first output lead is due at once, before any
    // client (started at the first service, writing from the input it has
    // seen) can have written. Until the clients first cover what is needed,
    // for at most kStartGraceFrames bus frames, their shortfall is that
    // start, filled from their silent rings, not an underrun.
    static constexpr uint32_t kStartGraceFrames = 50;
    bool mClientsLed = false;
    uint32_t mStartFrame = 0; // the first serviced bus frame (0: none yet)
    bool startShortfall() const {
        return !mClientsLed && mStartFrame && mCurrentFrame - mStartFrame < kStartGraceFrames;
    }
    uint64_t mDevicePosition = 0;
    uint64_t mOutFramePosition = 0;
    uint32_t mNumUnderrun = 0;
    uint32_t mLastUnderrunReset = 0;
    std::atomic<uint32_t> mUnderrunsTotal{0};
    std::atomic<uint32_t> mInsertsTotal{0};

    // Drift guards (bulk and interrupt sets).
    uint32_t mGuardCriticalPoint = 0;
    uint32_t mGuardCriticalPointLow = 0;
    uint64_t mGuardOutSum = 0;
    uint64_t mGuardPosSum = 0;
    uint64_t mGuardCumSum = 0;
    uint32_t mGuardCount = 0;
    std::atomic<int32_t> mPendingInserts{0};

    // Staging: the output PCM block and the input work buffer.
    int32_t* mPcmBlock = nullptr;
    int32_t* mWork = nullptr;
    uint32_t mWorkFrames = 0;
    uint8_t mFlbExtra[28] = {};
    char* mpInputLevels = nullptr;
    char* mpOutputLevels = nullptr;
    int32_t* mpInputPeaks = nullptr;
};
