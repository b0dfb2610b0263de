// Isochronous request blocks and the four-block ring of one stream.
//
// A block covers 4 ms of bus time: 4 packets, or 32 microframe packets on a
// high-speed endpoint polled every microframe. Its in-use count is atomic:
// 1 when taken, 2 once queued (one use for the completion, one for the
// processing); the block is reused only after both released it. Beside the
// count the block has one lifecycle state (ZrIsocRBState), which says which
// of the two halves is done; it changes only by compare-exchange.
//
// Bus frame numbers are kept modulo 2^32 and compared as signed differences,
// so a stream runs across the 32-bit wrap.
#pragma once

#include <atomic>
#include <cstdint>

#include "driver/transcoders/PCMConvert.h"
#include "platform/usb/IOUSBHostFamily.h"

class ZrFramePatternObserver;

// An endpoint as the transport uses it: the pipe handle (held by the
// device) and what its descriptors say.
struct IsocPipe {
    IOUSBHostPipe* handle = nullptr;
    uint8_t address = 0;
    uint8_t interval = 0;
    uint32_t maxPacket = 0; // bytes per (micro)frame, extra transactions included
    uint32_t bandwidth = 0; // bytes per packet in use (full speed), as the device's check stored it

    // Reads address, interval and packet size from the pipe's endpoint.
    void bind(IOUSBHostPipe* pipe);
    bool isIn() const { return (address & 0x80) != 0; }
};

constexpr uint32_t kIsocRBMaxPackets = 32;
constexpr uint32_t kIsocRBPackets = 4;
constexpr uint32_t kIsocRBBytes = 4096;
constexpr uint32_t kIsocRBMicroBytes = 32768;
constexpr uint32_t kIsocWorkBufferBytes = 262144;
// The first Sorvik generation's output packet header: byte 0 the packet's
// frames, byte 1 the index of the first non-zero extra byte (255: none),
// bytes 2..5 the running total of frames after the packet (big-endian), the
// extra bytes from byte 6 up to byte 99, bytes 100..103 zero.
constexpr uint32_t kSorvikHeaderBytes = 104;
constexpr uint32_t kSorvikExtraFirst = 6;
constexpr uint32_t kSorvikExtraEnd = 100;

struct ZrIsocFrameEntry {
    uint32_t frames;
    uint32_t offset;
};

// The lifecycle of an isochronous request block. The two halves of a
// queued block, its transfer's completion and its processing (decoding an
// input block, mixing an output block), end in either order: an output
// block is mixed while its transfer is still on the bus, or after its
// completion ran. The use count says who still holds the block; the state
// says which halves are done.
enum class ZrIsocRBState : uint8_t {
    Unready,   // no buffer or no pipe: the ring never hands it out
    Idle,      // free on the ring (the use count is 0)
    Taken,     // held by the one laying it out; not on the bus yet
    Queued,    // on the bus; completion and processing both pending
    Processed, // on the bus; processed, or nothing to process (keep-alive)
    Completed, // the completion ran (or runs); the processing is pending
    Finished,  // completed and processed; the last use goes back soon
    Cancelled, // a cancel took the processing; the completion only returns its use
    Orphaned,  // the ring let go of it: the last release deletes it
};

class ZrIsocRB {
public:
    explicit ZrIsocRB(bool highSpeed, IsocPipe* pipe);
    ~ZrIsocRB();
    ZrIsocRB(const ZrIsocRB&) = delete;
    ZrIsocRB& operator=(const ZrIsocRB&) = delete;

    // Binds to a pipe again (the buffer is kept, grown when the new layout
    // needs microframes).
    void reinit(bool highSpeed, IsocPipe* pipe);

    void initRead();
    void initWrite_Std(ZrFramePatternObserver& pattern, uint32_t& total);
    // The first Sorvik generation's output: each packet opens with a header
    // of kSorvikHeaderBytes (frames, the extra-bytes index, the running
    // total of frames big-endian, the extra bytes, a zero tail) and carries
    // its audio after it; a configuration without output channels sends the
    // header alone.
    void initWrite_Sorvik1(ZrFramePatternObserver& pattern, uint32_t& total, uint32_t outChannels);
    // The keep-alive stream's layout: every packet one byte, packet k at
    // offset k.
    void initWriteKeepAlive();

    bool isInUse() const { return mInUse.load(std::memory_order_acquire) != 0; }
    uint32_t inUse() const { return mInUse.load(std::memory_order_acquire); }
    void take(uint32_t uses) { mInUse.store(uses, std::memory_order_release); }
    // Drops one use; returns the uses left. At zero the block is idle (an
    // orphaned block is deleted).
    uint32_t release();

    ZrIsocRBState state() const { return mState.load(std::memory_order_acquire); }
    // The one way the state changes: from `from` to `to` if it still is
    // `from`.
    bool changeState(ZrIsocRBState from, ZrIsocRBState to) {
        return mState.compare_exchange_strong(from, to, std::memory_order_acq_rel,
                                              std::memory_order_acquire);
    }
    bool isReady() const { return state() != ZrIsocRBState::Unready; }
    // The transfer is on the bus (or about to be) and its completion has not
    // run yet.
    bool awaitsCompletion() const;
    // Processing still to do: queued, or completed before it was processed.
    bool awaitsProcessing() const;
    // The completion skips the processing of a cancelled or orphaned block.
    bool isCancelled() const;
    // Queues a taken block: two uses when it is to be processed, one when
    // only its completion will come (keep-alive). A block cancelled while
    // taken keeps only the completion's use.
    void markQueued(bool processed);
    // Ends the processing half; true when the caller is to release the
    // processing use (a cancel may have taken it already).
    bool finishProcessing();
    // Marks the completion as run (the caller still releases its use).
    void markCompleted();
    // Marks completion as run and releases its use.
    void setCallbackDone();
    // Stops a block in use: a pending processing is given up (its use goes
    // back here), a transfer still on the bus is marked cancelled.
    void cancel();
    // The ring is going: a block nobody holds is deleted now, one still on
    // the bus with its last release.
    void orphan();
    // Back to idle (or unready) whatever the state was, for a stream's start
    // or a new layout; returns the state it had.
    ZrIsocRBState reset();
    uint8_t* bytes() const { return mBuffer; }

    IOUSBHostIsochronousFrame mFrameList[kIsocRBMaxPackets]{};
    ZrIsocFrameEntry mFrameTable[kIsocRBMaxPackets]{};
    uint32_t mOutChannels = 0;
    uint32_t mBytesPerFrame = 0;
    IOBufferMemoryDescriptor* mDescriptor = nullptr;
    std::atomic<uint32_t> mStartFrame{0};
    uint32_t mFrameCount = kIsocRBPackets;
    bool mMicroFrames = false;
    uint32_t mProcessed = 0;
    bool mHighSpeed = false;
    uint32_t mMaxPacket = 0;
    uint32_t mBufferSize = kIsocRBBytes;
    uint32_t mAllocSize = 0;
    IsocPipe* mPipe = nullptr;
    uint8_t* mBuffer = nullptr;
    IOUSBHostIsochronousCompletion mCompletion{}; // valid while the request is queued

private:
    void layout(bool highSpeed, IsocPipe* pipe);
    bool allocate(uint32_t bytes);
    // A buffer of the layout's size and a pipe to queue on.
    bool bound() const;
    // Moves the state to `to` from whatever it is; returns the state left.
    ZrIsocRBState moveTo(ZrIsocRBState to);
    std::atomic<uint32_t> mInUse{0};
    std::atomic<ZrIsocRBState> mState{ZrIsocRBState::Unready};
};

class IsocData {
public:
    IsocData() { init(); }
    ~IsocData() { term(); }
    IsocData(const IsocData&) = delete;
    IsocData& operator=(const IsocData&) = delete;

    void init();
    bool initForPipe(bool highSpeed, IsocPipe* pipe, USB_DEC_FNC decoder);
    void term();
    void prepareForStream(uint32_t firstFrame);
    ZrIsocRB* next();
    void cancel(bool noWait);
    ZrIsocRB* getEarliestUnprocessed();
    // Blocks queued and not yet completed.
    uint32_t inFlight() const;

    ZrIsocRB* mRBs[4]{};
    uint8_t* mpUSBFrameInDataBuffer = nullptr;
    uint32_t mNext = 0;
    std::atomic<uint32_t> mNextFrame{0};
    std::atomic<uint32_t> mErrorCounter{0};
    USB_DEC_FNC mDecoder = nullptr;
};
