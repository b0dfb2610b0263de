// Isochronous request blocks and the four-block ring of one stream.
//
// A block covers 4 ms of bus time: 4 packets, or 32 microframe packets on a
// high-speed endpoint polled every microframe. Its in-use count is atomic:
// 1 when taken, 2 once queued (one use for the completion, one for the
// processing); the block is reused only after both released it.
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
    // Drops one use; returns the uses left. At zero the block is idle.
    uint32_t release();
    void setCallbackDone();
    uint8_t* bytes() const { return mBuffer; }

    IOUSBHostIsochronousFrame mFrameList[kIsocRBMaxPackets]{};
    ZrIsocFrameEntry mFrameTable[kIsocRBMaxPackets]{};
    uint32_t mOutChannels = 0;
    uint32_t mBytesPerFrame = 0;
    IOBufferMemoryDescriptor* mDescriptor = nullptr;
    std::atomic<uint32_t> mStartFrame{0};
    uint32_t mFrameCount = kIsocRBPackets;
    std::atomic<bool> m_bCancel{false};
    bool mMicroFrames = false;
    uint32_t mProcessed = 0;
    bool mHighSpeed = false;
    bool mAutoDelete = false;
    uint32_t mMaxPacket = 0;
    uint32_t mBufferSize = kIsocRBBytes;
    uint32_t mAllocSize = 0;
    IsocPipe* mPipe = nullptr;
    uint8_t* mBuffer = nullptr;
    bool mbInit = false;
    IOUSBHostIsochronousCompletion mCompletion{}; // valid while the request is queued
    std::atomic<bool> mDone{true};
    std::atomic<bool> mCallbackDone{true};

private:
    void layout(bool highSpeed, IsocPipe* pipe);
    bool allocate(uint32_t bytes);
    std::atomic<uint32_t> mInUse{0};
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
