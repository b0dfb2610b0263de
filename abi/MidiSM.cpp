#include "abi/MidiSM.h"

#include <algorithm>

#include "platform/base/HXLog.h"

namespace {

// The fill counts sit at 4-byte aligned offsets of page-aligned areas;
// the packed records only hide that from the compiler.
uint32_t* fillWord(void* record) {
    return static_cast<uint32_t*>(record);
}
const uint32_t* fillWord(const void* record) {
    return static_cast<const uint32_t*>(record);
}

uint32_t loadFill(const void* record) {
    return __atomic_load_n(fillWord(record), __ATOMIC_ACQUIRE);
}
void addFill(void* record, uint32_t n) {
    __atomic_fetch_add(fillWord(record), n, __ATOMIC_ACQ_REL);
}
void subFill(void* record, uint32_t n) {
    __atomic_fetch_sub(fillWord(record), n, __ATOMIC_ACQ_REL);
}
void storeFill(void* record, uint32_t n) {
    __atomic_store_n(fillWord(record), n, __ATOMIC_RELEASE);
}

// The ring copy both fixed-size queues share: pieces bounded by the end of
// the data and by the space (or the bytes) available.
template <uint32_t Size, class Index>
uint32_t ringPut(void* record, uint8_t* data, Index& write, const void* bytes, uint32_t n) {
    if (!bytes || n == 0) return 0;
    const auto* src = static_cast<const uint8_t*>(bytes);
    uint32_t done = 0;
    while (done < n) {
        const uint32_t fill = std::min<uint32_t>(loadFill(record), Size);
        const uint32_t at = uint32_t(write) % Size;
        const uint32_t piece = std::min({n - done, Size - at, Size - fill});
        if (piece == 0) break;
        std::memcpy(data + at, src + done, piece);
        write = Index((at + piece) % Size);
        addFill(record, piece);
        done += piece;
    }
    return done;
}

template <uint32_t Size, class Index>
uint32_t ringGet(void* record, const uint8_t* data, Index& read, void* buffer, uint32_t n) {
    if (!buffer || n == 0) return 0;
    auto* dst = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < n) {
        const uint32_t fill = std::min<uint32_t>(loadFill(record), Size);
        const uint32_t at = uint32_t(read) % Size;
        const uint32_t piece = std::min({n - done, Size - at, fill});
        if (piece == 0) break;
        std::memcpy(dst + done, data + at, piece);
        read = Index((at + piece) % Size);
        subFill(record, piece);
        done += piece;
    }
    return done;
}

} // namespace

// ---- Queue64K -------------------------------------------------------------

void Queue64K::init() {
    initNoMemSet();
    std::memset(mData, 0, sizeof mData);
}

void Queue64K::initNoMemSet() {
    storeFill(this, 0);
    mWrite = 0;
    mRead = 0;
}

uint32_t Queue64K::fill() const {
    return loadFill(this);
}

uint32_t Queue64K::put(const void* bytes, uint32_t n) {
    uint16_t w = mWrite;
    const uint32_t r = ringPut<kQueue64KSize>(this, mData, w, bytes, n);
    mWrite = w;
    return r;
}

uint32_t Queue64K::get(void* buffer, uint32_t n) {
    uint16_t rd = mRead;
    const uint32_t r = ringGet<kQueue64KSize>(this, mData, rd, buffer, n);
    mRead = rd;
    return r;
}

// ---- Queue256 -------------------------------------------------------------

void Queue256::init() {
    storeFill(this, 0);
    mWrite = 0;
    mRead = 0;
    std::memset(mData, 0, sizeof mData);
}

uint32_t Queue256::fill() const {
    return loadFill(this);
}

uint32_t Queue256::put(const void* bytes, uint32_t n) {
    uint8_t w = mWrite;
    const uint32_t r = ringPut<kQueue256Size>(this, mData, w, bytes, n);
    mWrite = w;
    return r;
}

uint32_t Queue256::get(void* buffer, uint32_t n) {
    uint8_t rd = mRead;
    const uint32_t r = ringGet<kQueue256Size>(this, mData, rd, buffer, n);
    mRead = rd;
    return r;
}

// ---- MidiIO ---------------------------------------------------------------

void MidiIO::init() {
    std::memset(mElements, 0, sizeof mElements);
    mReadIndex = 0;
    mWriteIndex = 0;
}

bool MidiIO::readyForRead() const {
    const uint32_t r = mReadIndex % kMidiIOElements;
    return r != mWriteIndex % kMidiIOElements || mElements[r].mLength != 0;
}

bool MidiIO::get(MidiIOElement& out) {
    const uint32_t r = mReadIndex % kMidiIOElements;
    if (r == mWriteIndex % kMidiIOElements && mElements[r].mLength == 0) return false;
    std::memcpy(&out, &mElements[r], sizeof out);
    mElements[r].mLength = 0;
    mReadIndex = (r + 1) % kMidiIOElements;
    return true;
}

void MidiIOWriter::reset(MidiIO& io) {
    io.init();
    mWrite = 0;
}

void MidiIOWriter::store(MidiIO& io, const uint8_t* bytes, uint32_t n, uint64_t timeStamp) {
    MidiIOElement e{};
    e.mTimeStamp = timeStamp;
    e.mLength = n;
    std::memcpy(e.mData, bytes, n);
    std::memcpy(&io.mElements[mWrite], &e, sizeof e);
    mWrite = (mWrite + 1) % kMidiIOElements;
    io.mWriteIndex = mWrite;
}

bool MidiIOWriter::putByte(MidiIO& io, uint8_t b, uint64_t timeStamp) {
    if (b == kMidiNoByte) return false;
    store(io, &b, 1, timeStamp);
    return true;
}

uint32_t MidiIOWriter::putFrame(MidiIO& io, const uint8_t* bytes, uint32_t n, uint64_t timeStamp) {
    if (!bytes) return 0;
    uint8_t element[kMidiIOElementBytes];
    uint32_t kept = 0;
    uint32_t stored = 0;
    for (uint32_t i = 0; i < n; ++i) {
        if (bytes[i] == kMidiNoByte) continue;
        element[kept++] = bytes[i];
        if (kept == kMidiIOElementBytes) {
            store(io, element, kept, timeStamp);
            stored += kept;
            kept = 0;
        }
    }
    if (kept) {
        store(io, element, kept, timeStamp);
        stored += kept;
    }
    return stored;
}

// ---- MidiQueue ------------------------------------------------------------

bool MidiQueue::init(uint32_t size) {
    if (size < kMidiQueueMinSize || size > kMidiQueueMaxSize) return false;
    mSize = size;
    mWritePos = 0;
    mReadPos = 0;
    mFill = 0;
    std::memset(data(), 0, size);
    return true;
}

uint32_t MidiQueue::put(const void* bytes, uint32_t n) {
    if (!sane() || n == 0) return 0;
    const auto* src = static_cast<const uint8_t*>(bytes);
    const uint32_t fill = std::min(mFill, mSize);
    const uint32_t fitted = std::min(n, mSize - fill);
    // Only the last size bytes can survive a longer write.
    if (n > mSize) {
        if (src) src += n - mSize;
        n = mSize;
    }
    uint32_t at = mWritePos % mSize;
    uint32_t done = 0;
    while (done < n) {
        const uint32_t piece = std::min(n - done, mSize - at);
        if (src) std::memcpy(data() + at, src + done, piece);
        at = (at + piece) % mSize;
        done += piece;
    }
    mWritePos = at;
    // Past a full queue the oldest bytes were overwritten. The read position
    // always follows from the write position and the fill count, so
    // positions a writer of the area left inconsistent cannot misplace it.
    mFill = std::min(fill + n, mSize);
    mReadPos = (at + mSize - mFill) % mSize;
    return fitted;
}

uint32_t MidiQueue::get(void* buffer, uint32_t n) {
    if (!sane()) return 0;
    auto* dst = static_cast<uint8_t*>(buffer);
    const uint32_t want = std::min({n, mFill, mSize});
    uint32_t at = mReadPos % mSize;
    uint32_t done = 0;
    while (done < want) {
        const uint32_t piece = std::min(want - done, mSize - at);
        if (dst) std::memcpy(dst + done, data() + at, piece);
        at = (at + piece) % mSize;
        done += piece;
    }
    mReadPos = at;
    mFill = std::min(mFill, mSize) - done;
    return done;
}

void MidiQueue::getLength(uint32_t* used, uint32_t* free) const {
    const uint32_t fill = sane() ? std::min(mFill, mSize) : 0;
    if (used) *used = fill;
    if (free) *free = sane() ? mSize - fill : 0;
}

// ---- The kernel's reader of a client's output queue -----------------------

void Queue64KReader::reset(Queue64K& q) {
    mRead = q.mRead;
    mLogged = false;
}

uint32_t Queue64KReader::checkedFill(Queue64K& q) {
    const uint32_t fill = loadFill(&q);
    if (fill <= kQueue64KSize) return fill;
    if (!mLogged) {
        IOLog("Queue64K fill count %u out of range: queue emptied\n", fill);
        mLogged = true;
    }
    clear(q);
    return 0;
}

uint32_t Queue64KReader::get(Queue64K& q, void* buffer, uint32_t n) {
    if (checkedFill(q) == 0) return 0;
    const uint32_t r = ringGet<kQueue64KSize>(&q, q.mData, mRead, buffer, n);
    q.mRead = mRead;
    return r;
}

void Queue64KReader::clear(Queue64K& q) {
    mRead = uint16_t(q.mWrite);
    q.mRead = mRead;
    storeFill(&q, 0);
}

bool Queue64KReader::isEmpty(const Queue64K& q) const {
    const uint32_t fill = loadFill(&q);
    return fill == 0 || fill > kQueue64KSize;
}

// ---- The vendor transport area --------------------------------------------

void AsyncTransportBlock::init() {
    mLength = 0;
    mState = kAsyncBlockFree;
    mRefCon = 0;
    mDestination = 0;
}

uint32_t AsyncTransportBlock::clampedLength() const {
    const uint32_t n = __atomic_load_n(
        &reinterpret_cast<const uint32_t*>(mData + kAsyncBlockDataBytes)[0], __ATOMIC_ACQUIRE);
    return std::min(n, kAsyncBlockDataBytes);
}

void AsyncTransportData::init() {
    for (auto& b : mBlocks)
        b.init();
    mKernelFill = 0;
    mUserRequest = 0;
    mOutReturn = 0;
    mInReturn = 0;
}
