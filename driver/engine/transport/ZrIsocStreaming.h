// The isochronous streaming engine of one device: starts and stops the input
// and output streams, queues their requests 50 bus frames ahead, decodes
// input in the read completions straight into the device's input ring (one
// time stamp per completed request) and, on the real-time thread, fills the
// already-queued output packets from the clients' mix shortly before the bus
// fetches them. Output packet sizes come from the frame pattern, which the
// input packet sizes feed (implicit feedback) or, on devices with a feedback
// endpoint, the frames the device reports consumed (explicit feedback).
//
// The device object owns this engine and gives it a narrow view of itself:
// the pipes, the driver data, the input ring's writer, the frame pattern, the
// real-time thread (whose service lock is the stop barrier) and a host for
// stopping and state changes.
//
// Bus frame numbers are taken modulo 2^32 and compared as signed
// differences.
#pragma once

#include <atomic>
#include <cstdint>

#include "driver/engine/transport/IsocData.h"
#include "driver/engine/transport/KeThread.h"
#include "driver/engine/transport/LevelMeters.h"

class AudioSMWriter;
class DriverData;
class ZrFramePatternObserver;
struct FeedbackStreamingStruct;

// What the engine asks of its device.
class IsocStreamHost {
public:
    virtual ~IsocStreamHost() = default;
    // The device's stop (transports, service, then its own state). Called by
    // the completions with wait false.
    virtual void stopStreaming(bool wait) = 0;
    // A state change to every client (2: the stream broke).
    virtual void stcNotifyStreaming(uint32_t code) = 0;
    // The input ring's lock word, held by each service cycle; a cycle that
    // finds it taken skips.
    virtual bool lockInputRing() { return true; }
    virtual void unlockInputRing() {}
    // Takes the device's pending-change flag (channel counts changed while
    // streaming): true when it was set, and it is clear afterwards.
    virtual bool takePendingChange() { return false; }
};

typedef void (*IsocPostProcessor)(int32_t* samples, u_int32_t count);

// What the configuration decided for the streams.
struct IsocStreamSettings {
    uint32_t rate = 0;
    uint32_t inChannels = 0; // 0: no input stream
    uint32_t inBytesPerSample = 0;
    uint32_t outChannels = 0; // 0: no output stream
    uint32_t outBytesPerSample = 0;
    USB_DEC_FNC decoder = nullptr;
    IsocPostProcessor postProcessor = nullptr;
    bool postProcessorCountsFrames = false; // its count is frames, not samples
    // The device's input errors (41 and more since the last lock) break the
    // stream; other devices live on the pattern's repairs.
    bool breakOnInputErrors = false;
    // The input arrives over a bulk pipe: the output never writes silence
    // into the input ring in its place.
    bool bulkInput = false;
    // The first Sorvik generation's output layout (a header before each
    // packet's audio; its extra bytes come from the private-data client).
    bool sorvikLayout = false;
};

// Input errors since the last lock from which a device that counts them
// breaks the stream.
constexpr uint32_t kIsocInputErrorLimit = 41;
// Feedback errors (packets not 3 bytes long) since the last lock above
// which the stream breaks.
constexpr uint32_t kIsocFeedbackErrorLimit = 40;

class ZrIsocStreaming {
public:
    ZrIsocStreaming(IsocStreamHost& host, KeThread& thread);
    ~ZrIsocStreaming();

    // Device parts the engine works with; set before configuring.
    void attach(DriverData* driverData, AudioSMWriter* inputRing, ZrFramePatternObserver* pattern) {
        mDriverData = driverData;
        mInputRing = inputRing;
        mPattern = pattern;
    }

    // Configuration: binds the rings to the alternates' pipes (either may be
    // null). False, with a log line, when an alternate cannot stream: a
    // high-speed audio endpoint polled every 4 microframes, or packets at the
    // pattern's maximum that overrun the endpoint or the block buffer.
    // The bandwidths are what the device's bandwidth check stored in each
    // pipe (0: the endpoint's maximum).
    bool configure(bool highSpeed, IOUSBHostPipe* in, IOUSBHostPipe* out,
                   const IsocStreamSettings& settings, uint32_t inBandwidth = 0,
                   uint32_t outBandwidth = 0);
    // The feedback endpoint of the configuration (null: none, the input
    // packets pace the output). Polled every microframe on a high-speed bus
    // it reports per microframe (32 packets a block); polled every 4
    // microframes, per millisecond (4 packets a block, each value spread
    // over 8 microframes). False, logged, for any other polling interval at
    // high speed or a ring that cannot be set up.
    bool configureFeedback(IOUSBHostPipe* feedback);
    // Frames per bus frame the bandwidth table gives a rate.
    static uint32_t framesPerBusFrame(uint32_t rate);
    // The bandwidth a pipe uses for rate: the endpoint's maximum at high
    // speed (and when keepMaximum); at full speed the bytes one bus frame's
    // frames need when they fit the maximum, else the maximum.
    static uint32_t bandwidthInUse(uint32_t rate, uint32_t bytesPerSample, uint32_t channels,
                                   uint32_t maxPacket, bool highSpeed, bool keepMaximum);
    // A new bandwidth for the pipe bound to handle (nothing when none is).
    void setPipeBandwidth(IOUSBHostPipe* handle, uint32_t bandwidth);

    // Resume: clears the break and the positions, starts both streams and
    // installs the service routine. False when the bus frame is unavailable.
    bool start();

    // The keep-alive stream that bulk-protocol devices run beside their bulk
    // transfers: one byte every (micro)frame on an isochronous OUT pipe.
    // Configuration binds its ring to the pipe (null: none); false when the
    // ring's blocks cannot be made.
    bool configureKeepAlive(bool highSpeed, IOUSBHostPipe* pipe);
    // Starts it 50 bus frames ahead with 3 requests queued; marks streaming
    // started. False when there is no keep-alive pipe or the bus frame is
    // unavailable.
    bool rtsIsocAudioRunKeepAlive();
    bool rtsRequestOutKeepAlive();
    static void rtsIsoWriteKeepAliveCompleteStatic(void* owner, void* parameter, IOReturn status,
                                                   IOUSBHostIsochronousFrame* frames);
    IsocData& keepAliveRing() { return mIsocKeepAlive; }
    IsocPipe& keepAlivePipe() { return mKeepAlivePipe; }
    // Keep-alive completions that came at or after the planned next frame
    // (each moved the plan on).
    uint32_t keepAliveLateCompletions() const { return mKeepAliveLate.load(); }
    // Removes the service (with the barrier when waiting), cancels the rings
    // and aborts the pipes. True when streaming was running.
    bool stopTransport(bool wait);

    // Recovery, stage 1: claims the break (true once per break).
    bool claimStreamBroken();
    // Sets the word when it is clear (a break or a wake-up to recover from);
    // true when this call set it.
    bool markStreamBroken();

    // The service routine for KeThread: argument is this engine.
    static void rtsIsocOutIsocIn(void* engine);
    void rtsService();
    // One cycle of a service routine that runs another transport beside the
    // isochronous output: begin (false: skip the cycle; true: the input
    // ring is locked and the clients are checked), then the output fill and
    // the other transport's steps, then end (the ring unlocked).
    bool rtsBeginCycle() { return rtsPrepareService(); }
    void rtsEndCycle() { mHost.unlockInputRing(); }

    // Bus frame modulo 2^32; false only when the device is gone (the bus
    // reads 0).
    bool getCurrentFrame(uint32_t& frame, uint64_t* full = nullptr) const;

    // The input meter chosen at stream start (null: none); it sees one
    // decoded frame per processed packet.
    void setInputMeter(LevelProcessorFnc meter) { mInputMeter = meter; }
    // The input peaks since the last read, then cleared (32 bytes).
    // Where the input side keeps its levels: the meter's level bytes (the
    // control port's record) and the per-channel input peaks (32 entries);
    // both outlive the engine. Set once, before streaming.
    void setLevelTargets(char* meterLevels, int32_t* inputPeaks) {
        mpMeterLevels = meterLevels;
        mpInputPeaks = inputPeaks;
    }

    bool isStreamingStarted() const { return m_bStreamingStarted.load(std::memory_order_acquire); }
    uint32_t streamBrokenWord() const { return mStreamBroken.load(); }
    uint64_t devicePosition() const { return mDevicePosition.load(std::memory_order_relaxed); }
    uint64_t framesIn() const { return mFramesIn.load(std::memory_order_relaxed); }
    uint32_t inputErrors() const { return mIsocIn.mErrorCounter.load(); }
    uint32_t feedbackErrors() const { return mIsocInFeedback.mErrorCounter.load(); }
    bool hasFeedback() const { return mFbPipe.handle != nullptr; }
    bool feedbackFullFrame() const { return mFeedbackFullFrame; }
    IsocData& feedbackRing() { return mIsocInFeedback; }
    bool badFrameSeen() const { return mBadFrame.load(); }
    IsocData& inputRing() { return mIsocIn; }
    IsocData& outputRing() { return mIsocOut; }
    IsocPipe& inPipe() { return mInPipe; }
    IsocPipe& outPipe() { return mOutPipe; }

    // Queueing and processing (public for the device's own paths and tests).
    bool rtsRequestIn();
    bool rtsRequestOut();
    // Queues the next feedback read (2 stay in flight).
    bool requestIOFeedback();
    uint32_t rtsProcessIsocOut_Std();
    uint32_t rtsProcessIsocOut_Sorvik();
    void rtsProcessIsocIn_Std(ZrIsocRB* rb);

    static void rtsIsoReadCompleteStatic(void* owner, void* parameter, IOReturn status,
                                         IOUSBHostIsochronousFrame* frames);
    static void rtsIsoWriteCompleteStatic(void* owner, void* parameter, IOReturn status,
                                          IOUSBHostIsochronousFrame* frames);
    static void isocReadFeedbackCompleteStatic(void* owner, void* parameter, IOReturn status,
                                               IOUSBHostIsochronousFrame* frames);
    // The values of one completed feedback block, into the frame pattern;
    // queues the next read or breaks the stream past the error limit.
    void isocReadCompleteFeedback(ZrIsocRB* rb, FeedbackStreamingStruct& fb);

private:
    bool rtsPrepareService();
    // The output fill of both layouts; returns the packets filled.
    uint32_t rtsProcessIsocOut(bool sorvik);
    // Mixes one packet of the Sorvik layout: audio after the header, the
    // private-data client's extra bytes into the header as far as they fit.
    void mixSorvikPacket(ZrIsocRB* rb, uint32_t k, uint64_t position, uint32_t frames);
    void rtsIsoReadComplete(ZrIsocRB* rb);
    void rtsIsoWriteComplete(ZrIsocRB* rb);
    void rtsIsoWriteKeepAliveComplete(ZrIsocRB* rb);
    bool submit(ZrIsocRB* rb, bool read);
    bool submit(ZrIsocRB* rb, IOUSBHostIsochronousCompletionAction action, const char* failure);
    void initNextTransactionFeedback();
    void declareBroken(const char* line);
    uint64_t fullFrame(uint32_t frame, uint64_t now) const;

    IsocStreamHost& mHost;
    KeThread& mThread;
    DriverData* mDriverData = nullptr;
    AudioSMWriter* mInputRing = nullptr;
    ZrFramePatternObserver* mPattern = nullptr;
    IsocStreamSettings mSettings{};
    bool mHighSpeed = false;
    IsocPipe mInPipe;
    IsocPipe mOutPipe;
    IsocData mIsocIn;
    IsocData mIsocOut;
    IsocPipe mKeepAlivePipe;
    IsocData mIsocKeepAlive;
    std::atomic<uint32_t> mKeepAliveLate{0};
    IsocPipe mFbPipe;
    IsocData mIsocInFeedback;
    bool mFeedbackFullFrame = false;

    std::atomic<bool> m_bStreamingStarted{false};
    std::atomic<uint32_t> mStreamBroken{0};
    std::atomic<bool> mDeviceGone{false};
    std::atomic<bool> mBadFrame{false};
    bool mNoInputEndpoint = false;
    uint32_t mLastServicedFrame = 0;
    uint32_t mCurrentFrame = 0;
    std::atomic<uint64_t> mDevicePosition{0};
    uint32_t mOutputSampleCounter = 0;
    std::atomic<uint64_t> mFramesIn{0};
    LevelProcessorFnc mInputMeter = nullptr;
    // Where a packet's extra bytes land before the header takes what fits.
    static constexpr uint32_t kExtraScratchBytes = 8192;
    uint8_t mExtraScratch[kExtraScratchBytes] = {};
    char* mpMeterLevels = nullptr;
    int32_t* mpInputPeaks = nullptr;
};
