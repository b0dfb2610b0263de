// The MIDI records: the byte containers that carry MIDI and control-port
// bytes between the kernel and user space (or inside the kernel), the MIDI
// shared memory (memory type 3) and the vendor asynchronous transport area
// (memory types 6 and 7).
//
// All records are plain, packed, little-endian and pointer-free so they can
// live in shared memory. Every container is single-producer/single-consumer
// and lock-free.
//
// Memory a client can write is untrusted. The kernel therefore never trusts
// an index or count it reads back from such an area:
// - Queue64KReader (the kernel's side of a client's output queue) and
//   MidiIOWriter (the kernel's side of an input ring) keep their own
//   position privately and only publish it into the record;
// - every index read from the record is taken modulo its ring;
// - a Queue64K fill count above 65,536 empties that queue (logged once per
//   reader).
// The record methods (Queue64K::put/get, MidiIO::get, ...) are the user
// side's, and the kernel's for areas only it writes (Queue256).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

static_assert(std::endian::native == std::endian::little, "boundary records are little-endian");

constexpr uint32_t kQueue64KSize = 65536;
constexpr uint32_t kQueue256Size = 256;
constexpr uint32_t kMidiIOElements = 8192;
constexpr uint32_t kMidiIOElementBytes = 8;
constexpr uint32_t kMidiQueueMinSize = 16;
constexpr uint32_t kMidiQueueMaxSize = 32768;
constexpr uint32_t kMidiSMBytes = 459564;
constexpr uint8_t kMidiNoByte = 0xFD; // the filler byte the wire uses for "no MIDI here"

#pragma pack(push, 1)

// ---------------------------------------------------------------------------
// Queue64K: a client's MIDI output queue (client writes, kernel reads).
struct Queue64K {
    uint32_t mFill; // changed only by atomic add, by both sides
    uint8_t mData[kQueue64KSize];
    uint16_t mWrite; // the producer's
    uint16_t mRead;  // the consumer's

    void init();
    void initNoMemSet();
    // Producer side: copies up to n bytes in; returns how many.
    uint32_t put(const void* bytes, uint32_t n);
    // Consumer side (user space, or a trusted area): copies up to n out.
    uint32_t get(void* buffer, uint32_t n);
    uint32_t fill() const;
};

// Queue256: the kernel's own control-port queue.
struct Queue256 {
    uint32_t mFill;
    uint8_t mData[kQueue256Size];
    uint8_t mWrite;
    uint8_t mRead;

    void init();
    void initNoMemSet() { init(); }
    uint32_t put(const void* bytes, uint32_t n);
    uint32_t get(void* buffer, uint32_t n);
    uint32_t fill() const;
};

// One MIDI input event: arrival time, 1..8 bytes (length 0: empty slot).
// The 64-bit stamp sits at any offset modulo 8 in the ring.
struct MidiIOElement {
    uint64_t mTimeStamp;
    uint32_t mLength;
    uint8_t mData[kMidiIOElementBytes];
};

// MidiIO: a MIDI input ring (kernel writes through MidiIOWriter, client reads).
struct MidiIO {
    MidiIOElement mElements[kMidiIOElements];
    uint32_t mReadIndex;
    uint32_t mWriteIndex;

    void init();
    void close() {}
    // Reader side; indexes read from the record are taken modulo the ring.
    bool readyForRead() const;
    bool get(MidiIOElement& out);
};

// MidiQueue: a general MIDI byte ring with overwrite, header then size bytes.
// The caller provides the storage (MidiQueueStorage below).
struct MidiQueue {
    uint32_t mWritePos;
    uint32_t mReadPos;
    uint32_t mFill;
    uint32_t mSize;

    uint8_t* data() { return reinterpret_cast<uint8_t*>(this + 1); }
    // False unless 16 <= size <= 32,768; the storage must hold size bytes.
    bool init(uint32_t size);
    // Writes n bytes (null: advances without copying); n above the size
    // keeps the last size bytes. Returns the bytes that fitted without
    // overwriting older ones.
    uint32_t put(const void* bytes, uint32_t n);
    // Copies out up to n bytes (null: discards them).
    uint32_t get(void* buffer, uint32_t n);
    void getLength(uint32_t* used, uint32_t* free) const;

private:
    bool sane() const { return mSize >= kMidiQueueMinSize && mSize <= kMidiQueueMaxSize; }
};

// The MIDI shared memory (memory type 3).
struct MidiSharedMemory {
    uint16_t mVendorID;
    uint16_t mProductID;
    char mDeviceString1[256];
    char mDeviceString2[256];
    char mDeviceUID[256];
    uint32_t mClosing;         // 1: the port is going away
    int32_t mOutputInProgress; // atomic: 0 idle, 1 while an output chain runs
    Queue64K mOut[2];          // client -> kernel, MIDI ports 0 and 1
    MidiIO mIn[2];             // kernel -> client, MIDI ports 0 and 1
};

// The vendor asynchronous transport area (memory types 6 and 7).
constexpr uint32_t kAsyncBlockDataBytes = 8192;
constexpr uint32_t kAsyncBlockCount = 128;
constexpr uint32_t kAsyncTransportBytes = 1051668;

enum AsyncBlockState : uint32_t {
    kAsyncBlockFree = 0,
    kAsyncBlockReady = 1,
    kAsyncBlockInFlight = 2,
    kAsyncBlockDone = 3,
    kAsyncBlockFailed = 5,
};

struct AsyncTransportBlock {
    uint8_t mData[kAsyncBlockDataBytes];
    uint32_t mLength;
    uint32_t mState;
    uint64_t mRefCon;      // the user side's; the kernel leaves it alone
    uint64_t mDestination; // the user side's; the kernel leaves it alone

    void init();
    // The length as the kernel may use it: read once, clamped to the block.
    uint32_t clampedLength() const;
};

struct AsyncTransportData {
    AsyncTransportBlock mBlocks[kAsyncBlockCount];
    uint32_t mKernelFill; // device area: next block the kernel fills; own area: next block the user
                          // fills
    uint32_t mUserRequest; // device area: next block the user asks for; own area: next block the
                           // kernel sends
    uint32_t mOutReturn;   // own area: next finished output block the user hands back
    uint32_t mInReturn;    // device area: next finished input block the user hands back
    uint8_t mSpare[4];

    void init();
    // A block by an index read from the area, taken modulo the ring.
    AsyncTransportBlock& block(uint32_t index) { return mBlocks[index % kAsyncBlockCount]; }
};

#pragma pack(pop)

static_assert(sizeof(Queue64K) == 65544);
static_assert(offsetof(Queue64K, mData) == 4);
static_assert(offsetof(Queue64K, mWrite) == 65540);
static_assert(offsetof(Queue64K, mRead) == 65542);
static_assert(sizeof(Queue256) == 262);
static_assert(offsetof(Queue256, mData) == 4);
static_assert(offsetof(Queue256, mWrite) == 260);
static_assert(offsetof(Queue256, mRead) == 261);
static_assert(sizeof(MidiIOElement) == 20);
static_assert(offsetof(MidiIOElement, mLength) == 8);
static_assert(offsetof(MidiIOElement, mData) == 12);
static_assert(sizeof(MidiIO) == 163848);
static_assert(offsetof(MidiIO, mReadIndex) == 163840);
static_assert(offsetof(MidiIO, mWriteIndex) == 163844);
static_assert(sizeof(MidiQueue) == 16);
static_assert(offsetof(MidiSharedMemory, mProductID) == 2);
static_assert(offsetof(MidiSharedMemory, mDeviceString1) == 4);
static_assert(offsetof(MidiSharedMemory, mDeviceString2) == 260);
static_assert(offsetof(MidiSharedMemory, mDeviceUID) == 516);
static_assert(offsetof(MidiSharedMemory, mClosing) == 772);
static_assert(offsetof(MidiSharedMemory, mOutputInProgress) == 776);
static_assert(offsetof(MidiSharedMemory, mOut) == 780);
static_assert(offsetof(MidiSharedMemory, mOut) + sizeof(Queue64K) == 66324);
static_assert(offsetof(MidiSharedMemory, mIn) == 131868);
static_assert(offsetof(MidiSharedMemory, mIn) + sizeof(MidiIO) == 295716);
static_assert(sizeof(MidiSharedMemory) == kMidiSMBytes);
static_assert(sizeof(AsyncTransportBlock) == 8216);
static_assert(offsetof(AsyncTransportBlock, mLength) == 8192);
static_assert(offsetof(AsyncTransportBlock, mState) == 8196);
static_assert(offsetof(AsyncTransportBlock, mRefCon) == 8200);
static_assert(offsetof(AsyncTransportBlock, mDestination) == 8208);
static_assert(offsetof(AsyncTransportData, mKernelFill) == 1051648);
static_assert(offsetof(AsyncTransportData, mUserRequest) == 1051652);
static_assert(offsetof(AsyncTransportData, mOutReturn) == 1051656);
static_assert(offsetof(AsyncTransportData, mInReturn) == 1051660);
static_assert(sizeof(AsyncTransportData) == kAsyncTransportBytes);

// MidiQueue with its storage.
template <uint32_t N> struct MidiQueueStorage {
    static_assert(N >= kMidiQueueMinSize && N <= kMidiQueueMaxSize);
    MidiQueue queue{};
    uint8_t bytes[N]{};
    MidiQueueStorage() { queue.init(N); }
};

// The kernel's reading side of a client's Queue64K. Its read index lives
// here; the record's read index only mirrors it. Counts read from the
// record are checked: above 65,536 the queue is emptied (logged once).
class Queue64KReader {
public:
    // Starts over at the record's current state (after the queue's init).
    void reset(Queue64K& q);
    uint32_t get(Queue64K& q, void* buffer, uint32_t n);
    // Empties the queue: what the producer wrote is dropped.
    void clear(Queue64K& q);
    bool isEmpty(const Queue64K& q) const;
    uint16_t readIndex() const { return mRead; }

private:
    uint32_t checkedFill(Queue64K& q);
    uint16_t mRead = 0;
    bool mLogged = false;
};

// The kernel's writing side of a MidiIO ring: its write index lives here.
class MidiIOWriter {
public:
    void reset(MidiIO& io); // MidiIO::init then start at 0
    bool putByte(MidiIO& io, uint8_t b, uint64_t timeStamp);
    // Drops every 0xFD; packs the rest into elements of up to 8 bytes.
    uint32_t putFrame(MidiIO& io, const uint8_t* bytes, uint32_t n, uint64_t timeStamp);
    uint32_t writeIndex() const { return mWrite; }

private:
    void store(MidiIO& io, const uint8_t* bytes, uint32_t n, uint64_t timeStamp);
    uint32_t mWrite = 0;
};
