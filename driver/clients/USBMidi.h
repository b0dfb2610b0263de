// USB-MIDI helpers: the per-packet MIDI byte pattern (with the bulk audio
// protocol's MIDI slot schedule) and the MIDI request block.
#pragma once

#include <atomic>
#include <cstdint>

#include "abi/MidiSM.h"
#include "platform/base/MacTypes.h"

class IOBufferMemoryDescriptor;

// How many MIDI bytes each outgoing MIDI packet carries (a 256-entry cycle)
// and, for the bulk audio protocol, which MIDI byte positions of the audio
// packets carry a byte.
class USBMidiPattern {
public:
    static constexpr uint32_t kCounts = 256;
    static constexpr uint32_t kMaxBulkSlots = 882;

    USBMidiPattern();
    // Default counts: 4 on packets 0, 8, ..., 240, else 3. The flag is unused.
    void init(bool flag = false);
    void initRX5();
    // Builds the bulk slot schedule for a sample rate; returns checkBulkRate1K().
    uint32_t initForBulk(uint32_t rate);
    // Rewinds the schedule reader (the next slot read is slot 0); returns
    // slots x 1000 / set slots (0 without set slots).
    uint32_t checkBulkRate1K();

    // The byte count of the next packet; the packet index advances (wraps at 256).
    uint32_t nextPacketCount() { return mCounts[mPacketIndex++]; }
    // The next bulk slot (wrapping at the slot count): true when it carries
    // a MIDI byte. An empty schedule carries none.
    bool nextBulkSlot();

    uint32_t count(uint32_t i) const { return mCounts[i % kCounts]; }
    uint32_t slotCount() const { return mSlotCount; }
    uint32_t slot(uint32_t i) const { return i < mSlotCount ? mSlots[i] : 0; }
    uint8_t packetIndex() const { return mPacketIndex; }

private:
    uint32_t mCounts[kCounts];
    uint32_t mSlots[kMaxBulkSlots];
    uint8_t mPacketIndex = 0;
    uint32_t mBulkReadPos = 0;
    uint32_t mSlotCount = 0;
};

// A MIDI input ring as the kernel writes it: the ring and the kernel's
// private writer of it.
struct MidiInputTarget {
    MidiIO* ring;
    MidiIOWriter* writer;
};

// The lifecycle of a MIDI request block.
enum class MidiRBState : uint8_t {
    Idle,     // free
    Used,     // its transfer is queued
    Orphaned, // given up while used: it goes when its transfer completes
};

// The MIDI request block: a page-aligned buffer of at least 12 bytes (the
// 9-byte packet and the 12-byte write pattern always fit) with a lifecycle
// state. A block in use is never deleted: unuse and
// setAutoDeleteOnCompletion only mark it, and it goes when its transfer
// completes (setUsed(false)).
class MidiRB {
public:
    static constexpr uint32_t kMinBytes = 12;
    static constexpr uint32_t kPacketBytes = 9;

    explicit MidiRB(uint32_t size);
    virtual ~MidiRB();
    MidiRB(const MidiRB&) = delete;
    MidiRB& operator=(const MidiRB&) = delete;

    bool isInitialized() const { return mBuffer != nullptr; }
    uint8_t* getData() const { return mData; }
    IOBufferMemoryDescriptor* buffer() const { return mBuffer; }
    uint32_t size() const { return mSize; }
    MidiRBState state() const { return mState.load(std::memory_order_acquire); }
    // The one way the state changes: from `from` to `to` if it still is
    // `from`.
    bool changeState(MidiRBState from, MidiRBState to) {
        return mState.compare_exchange_strong(from, to, std::memory_order_acq_rel,
                                              std::memory_order_acquire);
    }
    bool isUsed() const { return state() != MidiRBState::Idle; }
    bool isAutoDelete() const { return state() == MidiRBState::Orphaned; }
    uint8_t busy() const { return mBusy; }
    void setBusy(uint8_t b) { mBusy = b; }

    // Clearing the flag ends a transfer: the busy byte clears, and a block
    // marked auto-delete goes (the block must not be used afterwards).
    void setUsed(bool used);
    // Gives the block up: deleted at once when unused, else marked to go
    // when its transfer completes (a second call only marks it again).
    void unuse();
    void setAutoDeleteOnCompletion(bool flag);

    void initReadMidi();
    void initWriteMidi();
    // Up to the pattern's count (at most 4) of each queue's bytes into bytes
    // 0..3 and 4..7; returns the bytes still waiting in both queues.
    uint32_t placeMidiData(USBMidiPattern& pattern, MidiQueue& q0, MidiQueue& q1);
    // Bytes 0..3 into the first ring and 4..7 into the second (0xFD
    // dropped), stamped `timeStamp`; returns the bytes stored.
    uint32_t getMidiData(MidiInputTarget first, MidiInputTarget second, uint64_t timeStamp);

private:
    IOBufferMemoryDescriptor* mBuffer = nullptr;
    uint8_t mBusy = 0;
    std::atomic<MidiRBState> mState{MidiRBState::Idle};
    uint8_t* mData = nullptr;
    uint32_t mSize = 0;
};

class IOUSBHostPipe;
class ZrPipeDescriptor;
struct DriverSM;

// The driver-wide start-frame counter; a USB-MIDI start resets it.
extern std::atomic<uint32_t> fixmeStartFrame;

// What the USB-MIDI object needs of its kernel device.
class USBMidiHost {
public:
    virtual ~USBMidiHost() = default;
    virtual bool usbMidiInitPipe(ZrPipeDescriptor* pipe, const char* name) = 0;
    virtual IOUSBHostPipe* usbMidiGetPipe(ZrPipeDescriptor* pipe) const = 0;
    virtual void usbMidiClosePipe(ZrPipeDescriptor* pipe) = 0;
    virtual uint32_t usbMidiBandwidth(ZrPipeDescriptor* pipe) const = 0;
    // Marks a block still used when the pipes stop, waits, and unmarks it.
    virtual void cancelMidiRB(MidiRB* rb) = 0;
};

// The class-compliant MIDI device object of devices with raw MIDI: its own
// MIDI area (the port's layout), 4 in and 4 out request blocks on its pipes,
// 3 reads at start. Reference counted.
class USBMidiDevice {
public:
    static constexpr uint32_t kBlocks = 4;
    static constexpr uint32_t kStartReads = 3;
    static constexpr uint32_t kWriteTimeoutMs = 1000;

    explicit USBMidiDevice(USBMidiHost* host);
    void retain() { mRefs.fetch_add(1); }
    void release();

    bool init(bool highSpeed, const DriverSM* driverSM);
    void term();
    void configurationDone();
    bool initPipes();
    void closePipes();
    void assignPipes(void*) {}
    uint32_t getAllocatedBandWidth() const;
    void start();
    void stop();
    void requestMidiIn();
    bool read(MidiRB* rb);
    bool write(MidiRB* rb);
    void requestMidiOut() {}
    void processMidi();
    MidiRB* findFreeRequestBlock(bool in);

    bool isRunning() const { return mRunning.load(); }
    IOBufferMemoryDescriptor* getMidiSM() const { return mSM; }
    MidiSharedMemory* area() const { return m_pMidiSM; }
    uint32_t refCount() const { return mRefs.load(); }

private:
    ~USBMidiDevice();
    static void readComplete(void* owner, void* parameter, IOReturn status, uint32_t transferred);
    static void writeComplete(void* owner, void* parameter, IOReturn status, uint32_t transferred);
    void terminateRBs();

    USBMidiHost* mHost;
    uint32_t mHighSpeed = 0;
    uint8_t mStarted = 0;
    std::atomic<bool> mRunning{false};
    std::atomic<uint32_t> mRefs{1};
    ZrPipeDescriptor* m_pcMidiInPipe = nullptr;
    ZrPipeDescriptor* m_pcMidiOutPipe = nullptr;
    MidiRB* mOut[kBlocks] = {};
    MidiRB* mIn[kBlocks] = {};
    USBMidiPattern mPattern;
    IOBufferMemoryDescriptor* mSM = nullptr;
    MidiSharedMemory* m_pMidiSM = nullptr;
};
