#include "driver/clients/USBMidi.h"

#include <algorithm>
#include <cstring>

#include "platform/kern/IOMemoryDescriptor.h"

// ---- USBMidiPattern -------------------------------------------------------

USBMidiPattern::USBMidiPattern()
{
    init();
    initForBulk(44100);
}

void USBMidiPattern::init(bool)
{
    mPacketIndex = 0;
    for (uint32_t i = 0; i < kCounts; ++i)
        mCounts[i] = (i % 8 == 0 && i < 248) ? 4 : 3;
}

void USBMidiPattern::initRX5()
{
    mPacketIndex = 0;
    std::fill(std::begin(mCounts), std::end(mCounts), 39u);
}

uint32_t USBMidiPattern::initForBulk(uint32_t rate)
{
    mSlotCount = 0;
    std::fill(std::begin(mSlots), std::end(mSlots), 0u);
    const int64_t quarter = rate / 4;
    if (quarter * 1000 >= 6250000) {
        const int64_t step = quarter * 1000 / 6250;
        int64_t acc = 1000;
        while (mSlotCount < kMaxBulkSlots) {
            if (acc > 0) {
                mSlots[mSlotCount++] = 1;
                acc -= step;
            } else {
                mSlots[mSlotCount++] = 0;
            }
            acc += 1000;
            if (acc == 0)
                break;
        }
        if (acc == 0 && mSlotCount < kMaxBulkSlots)
            mSlots[mSlotCount++] = 0;
    }
    return checkBulkRate1K();
}

uint32_t USBMidiPattern::checkBulkRate1K()
{
    mBulkReadPos = mSlotCount;
    const uint32_t ones = uint32_t(std::count(mSlots, mSlots + mSlotCount, 1u));
    return ones ? mSlotCount * 1000 / ones : 0;
}

bool USBMidiPattern::nextBulkSlot()
{
    if (mSlotCount == 0)
        return false;
    if (mBulkReadPos >= mSlotCount)
        mBulkReadPos = 0;
    return mSlots[mBulkReadPos++] != 0;
}

// ---- MidiRB ---------------------------------------------------------------

MidiRB::MidiRB(uint32_t size)
{
    const uint32_t bytes = std::max(size, kMinBytes);
    mBuffer = IOBufferMemoryDescriptor::withOptions(16, bytes, 4096);
    if (mBuffer) {
        mData = static_cast<uint8_t*>(mBuffer->getBytesNoCopy());
        mSize = bytes;
    }
}

MidiRB::~MidiRB()
{
    if (mBuffer)
        mBuffer->release();
}

void MidiRB::setUsed(bool used)
{
    mUsed = used;
    if (!used) {
        mBusy = 0;
        if (mAutoDelete)
            delete this;
    }
}

void MidiRB::unuse()
{
    if (mUsed)
        mAutoDelete = true;  // goes when its transfer completes
    else
        delete this;
}

void MidiRB::setAutoDeleteOnCompletion(bool flag)
{
    mAutoDelete = flag;
    if (flag && !mUsed) {
        mBusy = 0;
        delete this;
    }
}

void MidiRB::initReadMidi()
{
    if (mData)
        std::memset(mData, kMidiNoByte, mSize);
}

void MidiRB::initWriteMidi()
{
    if (!mData)
        return;
    std::memset(mData, kMidiNoByte, 8);
    std::memset(mData + 8, 0x55, 4);
}

uint32_t MidiRB::placeMidiData(USBMidiPattern& pattern, MidiQueue& q0, MidiQueue& q1)
{
    uint32_t used0 = 0, used1 = 0;
    q0.getLength(&used0, nullptr);
    q1.getLength(&used1, nullptr);
    if (used0 + used1 == 0 || !mData)
        return 0;
    const uint32_t n = std::min(pattern.nextPacketCount(), 4u);
    if (n == 0)
        return used0 + used1;
    q0.get(mData, n);
    q1.get(mData + 4, n);
    q0.getLength(&used0, nullptr);
    q1.getLength(&used1, nullptr);
    return used0 + used1;
}

uint32_t MidiRB::getMidiData(MidiInputTarget first, MidiInputTarget second, uint64_t timeStamp)
{
    if (!mData)
        return 0;
    uint32_t stored = 0;
    if (first.ring && first.writer)
        stored += first.writer->putFrame(*first.ring, mData, 4, timeStamp);
    if (second.ring && second.writer)
        stored += second.writer->putFrame(*second.ring, mData + 4, 4, timeStamp);
    return stored;
}
