// The MIDI and control port: the device's MIDI interface run both as the MIDI
// client's port and as the device's control and status port.
//
// Output: a client's two output queues in the MIDI shared area and the
// kernel's control-port queue are packed into packets of the family's packet
// size and sent on the MIDI out pipe, one packet in flight at a time (a
// chain: each completion sends the next packet). Input: 16 reads stay queued
// on the MIDI in pipe; each completed read goes to the family's status
// parser.
//
// The client's area is untrusted: the kernel keeps its own queue positions
// and the chain's in-progress state privately and only publishes them.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "abi/MidiSM.h"
#include "abi/QN_Dispatch.h"
#include "driver/clients/AJStatusParsers.h"
#include "driver/clients/USBMidi.h"
#include "platform/base/MacTypes.h"

class IOBufferMemoryDescriptor;
class IOUSBHostPipe;
class ZrInterfaceDescriptor;
class ZrPipeDescriptor;
struct DriverSM;

// What the port needs of its device.
class AJDevice {
public:
    virtual ~AJDevice() = default;
    virtual uint16_t ajVendorID() const = 0;
    virtual uint16_t ajProductID() const = 0;
    virtual uint32_t ajProductFlags() const = 0;
    // The family code ("kInACR"): 0..8, or 255 when the identity decides.
    virtual uint32_t ajFamilyCode() const = 0;
    virtual void ajSetFamilyCode(uint32_t code) = 0;
    virtual bool ajHasRegularMidi() const = 0;
    virtual bool ajIsBulkProtocol() const = 0;
    // 1: Sorvik group A, 2: group B, 0: neither.
    virtual int ajSorvikGroup() const = 0;
    virtual bool ajIsBrava() const = 0;
    // The products of other makers: 1 the pair without MIDI pipes, 2 the
    // pair read as inACR_M4_C1, 3 the third maker's product; 0 none.
    virtual int ajOtherMaker() const = 0;
    virtual bool ajIsHighSpeed() const = 0;
    virtual uint32_t ajSampleRate() const = 0;
    // The audio in pipe is an interrupt in pipe of 1,024 bytes.
    virtual bool ajAudioInIsInterrupt1024() const = 0;
    virtual DriverSM* ajDriverSM() const = 0;
    // The MIDI interface of the configuration (the raw-MIDI one for devices
    // that offer raw MIDI); null when none.
    virtual ZrInterfaceDescriptor* ajMidiInterface() const = 0;
    virtual bool ajInitPipe(ZrPipeDescriptor* pipe, const char* name) = 0;
    virtual IOUSBHostPipe* ajGetPipe(ZrPipeDescriptor* pipe) const = 0;
    virtual void ajClosePipe(ZrPipeDescriptor* pipe) = 0;
    // Port-configuration words of the first set: status values 1, 2 and the
    // mode word.
    virtual uint16_t ajPortWord(unsigned word) const = 0;
    virtual void ajSetPortWord(unsigned word, uint16_t value) = 0;
    virtual uint32_t ajFootswitchMode() const = 0;
    virtual uint32_t ajFootswitchProtocol() const = 0;
    virtual int32_t* ajLevels() = 0;
    virtual void ajStateChange(uint32_t code) = 0;
    virtual void ajSetReadChannels(int in, int out) = 0;
};

// The MIDI client as the port sees it.
class AJClient {
public:
    virtual ~AJClient() = default;
    virtual void ajRetain() = 0;
    virtual void ajRelease() = 0;
    // Input arrived, or the port is closing.
    virtual void triggerClient() = 0;
};

class AJ : private AJStatusSink {
public:
    static constexpr uint32_t kMidiSMSize = kMidiSMBytes;
    static constexpr uint32_t kInBlocks = 16;
    static constexpr uint32_t kOutBlocks = 2;
    static constexpr uint8_t kInitialControlByte = 0xE0;
    static constexpr uint32_t kCPortTries = 10;
    static constexpr uint32_t kCPortWaitMs = 20;

    AJ() = default;
    ~AJ();
    AJ(const AJ&) = delete;
    AJ& operator=(const AJ&) = delete;

    void init(AJDevice* device);
    void initializeSM();
    void onDeviceDescriptorScanned();
    void assignPipes(ZrInterfaceDescriptor* intf);
    bool initPipes();
    void closePipes();
    void configurationDone(bool highSpeed);
    void streamingStarted();
    void streamingStopped();
    void unconfigure();
    void term();
    bool isRunning() const { return mRunning.load(); }

    uint32_t midiOut0(const uint8_t* bytes, uint32_t n);
    uint32_t midiOut1(const uint8_t* bytes, uint32_t n);
    void fireOutput();
    IOReturn sendCPort(const uint8_t* bytes, uint32_t n);
    void clearQueues();

    // ---- The bulk audio transport's MIDI and control bytes (its real-time
    // thread, once per MIDI or control byte of an out packet). They never
    // wait: a lock another thread holds counts as "nothing this time" and
    // the byte stays queued.
    // Advances the bulk slot schedule by one: true when the slot carries a
    // MIDI byte. Nothing advances while the port is stopped.
    bool nextBulkSlot();
    // The next byte of the client's MIDI output queue 0.
    bool takeBulkMidiByte(uint8_t& byte);
    // The next byte of the control-port queue.
    bool takeBulkControlByte(uint8_t& byte);

    // The MIDI shared area (memory type 3); null when it could not be made.
    IOBufferMemoryDescriptor* getMidiSM() const { return mMidiSMDesc; }
    bool hasMidiSM() const { return m_pMidiSM != nullptr; }
    bool clientAttach(AJClient* client);
    void clientDetach(AJClient* client);
    bool isAttached(AJClient* client) const;

    // ---- The level record (64 bytes: 32 input, 32 output peaks). Entries
    // are raised from the real-time side and read and cleared atomically.
    void getLevelInfo(QN_LevelInfo* info);
    void raiseLevel(bool output, unsigned channel, int8_t value);
    char* levelInBytes() { return reinterpret_cast<char*>(mLevelIn); }
    char* levelOutBytes() { return reinterpret_cast<char*>(mLevelOut); }

    // ---- State for the bulk audio transport and tests.
    Queue256& controlQueue() { return mCPortQueue; }
    std::mutex& controlQueueLock() { return mCPortLock; }
    USBMidiPattern& pattern() { return mPattern; }
    uint32_t packetSize() const override { return mPacketSize; }
    uint32_t port1Offset() const { return mPort1Offset; }
    uint32_t inBlockSize() const { return mInBlockSize; }
    AJStatusParser statusParser() const { return mParser; }
    uint8_t controlByte() const { return mControlByte; }
    uint32_t pendingCount() const { return mPending.load(); }
    uint32_t readsStarted() const { return mReadsStarted.load(); }
    uint32_t largestRead() const { return mLargestRead.load(); }
    AJStatusFields statusFields();
    ZrPipeDescriptor* outPipe() const { return m_pcMidiOutPipe; }
    ZrPipeDescriptor* inPipe() const { return m_pcMidiInPipe; }

private:
    struct Block {
        AJ* port = nullptr;
        IOBufferMemoryDescriptor* buffer = nullptr;
        uint8_t* data = nullptr;
        uint32_t size = 0;
        uint32_t length = 0;
        std::atomic<bool> used{false};
        bool use() { return !used.exchange(true); }
        void unuse() { used.store(false); }
    };
    static void inCompletion(void* owner, void* parameter, IOReturn status, uint32_t transferred);
    static void outCompletion(void* owner, void* parameter, IOReturn status, uint32_t transferred);
    void makeBlocks();
    void freeBlocks();
    void copyIdentity();
    void chooseParser();
    void chooseBulkParser();
    void bulkRead();
    void fireOutputInternal();
    bool fillPacket(Block& b);
    bool sendRB(Block& b);
    void releaseOutput();
    bool portZeroOnly() const;
    bool queuesEmpty();
    void incCounter() { mPending.fetch_add(1); }
    void decCounter() { mPending.fetch_sub(1); }

    // AJStatusSink: the parsers' view of the port and device.
    AJStatusFields& fields() override { return mFields; }
    uint32_t productFlags() const override;
    int32_t* levels() override;
    void stateChange(uint32_t code) override;
    void setReadChannels(int in, int out) override;
    bool midiInputReady() const override { return m_pMidiSM && mClient; }
    uint32_t putMidiInput(int ring, const uint8_t* bytes, uint32_t n) override;
    void triggerClient() override;

    static_assert(sizeof(std::atomic<int8_t>) == 1 && std::atomic<int8_t>::is_always_lock_free);
    std::atomic<int8_t> mLevelIn[32] = {};
    std::atomic<int8_t> mLevelOut[32] = {};

    AJDevice* mpDevice = nullptr;
    IOBufferMemoryDescriptor* mMidiSMDesc = nullptr;
    MidiSharedMemory* m_pMidiSM = nullptr;
    AJStatusParser mParser = inACR_HX5100;
    std::atomic<uint32_t> mPending{0};
    std::mutex mCPortLock;
    Queue256 mCPortQueue{};
    Block mOut[kOutBlocks];
    Block mIn[kInBlocks];
    bool mBlocksMade = false;
    USBMidiPattern mPattern;
    // Guards the bulk slot schedule: rebuilt at start while the bulk
    // transport's real-time thread may read it. A flag, not a mutex: the
    // real-time thread only ever tries it (once per out packet), and the
    // start, the only other holder, waits the few instructions that thread
    // holds it.
    std::atomic<bool> mBulkSlotBusy{false};
    uint8_t mControlByte = kInitialControlByte;
    uint8_t mFireImmediately = 1;
    uint32_t mPacketSize = 512;
    uint32_t mPort1Offset = 0;
    uint32_t mInBlockSize = 512;
    bool mHighSpeed = true;
    ZrInterfaceDescriptor* m_pcMidiInterface = nullptr;
    ZrPipeDescriptor* m_pcMidiInPipe = nullptr;
    ZrPipeDescriptor* m_pcMidiOutPipe = nullptr;
    std::atomic<bool> mRunning{false};
    std::atomic<uint32_t> mReadsStarted{0};
    std::atomic<uint32_t> mLargestRead{0};

    // The output side: the kernel's private readers of the client's queues
    // and the chain's in-progress state (published into the area).
    std::mutex mOutLock;
    Queue64KReader mReader[2];
    std::atomic<int32_t> mOutputBusy{0};
    // The input side: the parsers' state and the writers of the rings.
    std::mutex mInLock;
    AJStatusFields mFields;
    MidiIOWriter mWriter[2];
    uint64_t mStamp = 0; // arrival time of the packet being parsed
    int32_t mScratchLevels[32] = {};
    mutable std::mutex mClientLock;
    std::atomic<AJClient*> mClient{nullptr};
};
