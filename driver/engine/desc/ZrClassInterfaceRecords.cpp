#include "driver/engine/desc/ZrClassInterfaceRecords.h"

#include <cstring>

#include "abi/APIDeviceInfo.h"
#include "abi/USBByteBuffer.h"
#include "driver/engine/ZrDeviceTraits.h"
#include "driver/engine/desc/DescriptorCursor.h"

using namespace DescriptorCursor;

namespace {

// Reads one class-specific descriptor into room bytes; the cursor always
// ends past the whole descriptor.
bool scanInto(USBByteBuffer& buf, uint8_t* data, uint32_t room) {
    std::memset(data, 0, room);
    uint32_t start = buf.getReadPosition();
    uint8_t length = buf.peek(0);
    if (buf.peek(1) != kTypeCSInterface || length < 2) {
        skipDescriptor(buf, start, length);
        return false;
    }
    uint32_t take = length < room ? length : room;
    buf.read(data, take);
    skipDescriptor(buf, start, length);
    // A descriptor cut short by the end of the set keeps only the bytes
    // that arrived: the length byte must not promise more.
    uint32_t got = buf.getReadPosition() - start;
    if (got < take) data[0] = uint8_t(got);
    return true;
}

constexpr uint32_t kBitmapRates[] = {32000,  44100,  48000,  88200, 96000,
                                     176400, 192000, 352800, 384000};

} // namespace

bool ZrInterfaceDescriptorSpecificAC::scan(USBByteBuffer& buf) {
    return scanInto(buf, mData, kRoom);
}
void ZrInterfaceDescriptorSpecificAC::clear() {
    std::memset(mData, 0, kRoom);
}

bool ZrInterfaceDescriptorSpecificAS::scan(USBByteBuffer& buf) {
    return scanInto(buf, mData, kRoom);
}
void ZrInterfaceDescriptorSpecificAS::clear() {
    std::memset(mData, 0, kRoom);
}

bool ZrInterfaceDescriptorSpecificAS::isFormatType() const {
    // The fixed part of a Type I format descriptor is 8 bytes.
    return mData[0] >= 8 && mData[1] == kTypeCSInterface && mData[2] == 2 && mData[3] == 1;
}

uint8_t ZrInterfaceDescriptorSpecificAS::getNumChannels() const {
    return isFormatType() ? mData[4] : 0;
}
uint8_t ZrInterfaceDescriptorSpecificAS::getSubframeSize() const {
    return isFormatType() ? mData[5] : 0;
}
uint8_t ZrInterfaceDescriptorSpecificAS::getBitResolution() const {
    return isFormatType() ? mData[6] : 0;
}

bool ZrInterfaceDescriptorSpecificAS::isContinousFrequency() const {
    return isFormatType() && mData[7] == 0;
}

uint32_t ZrInterfaceDescriptorSpecificAS::getCountFrequencies() const {
    if (!isFormatType() || mData[7] == 0) return 0;
    uint32_t held = (uint32_t(mData[0]) - 8) / 3;
    return mData[7] < held ? mData[7] : held;
}

uint32_t ZrInterfaceDescriptorSpecificAS::rateAt(uint32_t offset) const {
    return uint32_t(mData[offset]) | uint32_t(mData[offset + 1]) << 8 |
           uint32_t(mData[offset + 2]) << 16;
}

// A continuous range needs both of its rates inside the descriptor.
uint32_t ZrInterfaceDescriptorSpecificAS::getLowerFrequency() const {
    return (isContinousFrequency() && mData[0] >= 14) ? rateAt(8) : 0;
}

uint32_t ZrInterfaceDescriptorSpecificAS::getUpperFrequency() const {
    return (isContinousFrequency() && mData[0] >= 14) ? rateAt(11) : 0;
}

uint32_t ZrInterfaceDescriptorSpecificAS::getFrequency(uint32_t i) const {
    return i < getCountFrequencies() ? rateAt(8 + 3 * i) : 0;
}

void ZrInterfaceDescriptorSpecificAS::clearFrequency(uint32_t i) {
    if (i >= getCountFrequencies()) return;
    std::memset(mData + 8 + 3 * i, 0, 3);
}

void ZrInterfaceDescriptorSpecificAS::setNumChannels(uint8_t n) {
    mData[4] = n;
}

void ZrInterfaceDescriptorSpecificAS::genInit(int channels, int bits) {
    clear();
    mData[0] = 8;
    mData[1] = kTypeCSInterface;
    mData[2] = 2; // FORMAT_TYPE
    mData[3] = 1; // Type I
    mData[4] = uint8_t(channels);
    mData[5] = bits < 9 ? 1 : bits < 17 ? 2 : bits < 25 ? 3 : bits < 33 ? 4 : 0;
    mData[6] = uint8_t(bits);
    mData[7] = 0;
}

void ZrInterfaceDescriptorSpecificAS::genAddSR(uint32_t rate) {
    uint32_t at = mData[0];
    if (at + 3 > 255 || mData[7] == 255) return; // the length byte cannot describe more
    mData[at] = uint8_t(rate);
    mData[at + 1] = uint8_t(rate >> 8);
    mData[at + 2] = uint8_t(rate >> 16);
    mData[0] = uint8_t(at + 3);
    mData[7]++;
}

void ZrInterfaceDescriptorSpecificAS::genAddSRBitmap(uint32_t bits) {
    for (uint32_t i = 0; i < sizeof kBitmapRates / sizeof kBitmapRates[0]; ++i)
        if (bits & (1u << i)) genAddSR(kBitmapRates[i]);
}

void ZrInterfaceDescriptorSpecificAS::getAPIStreamingInfo(APIStreamingInfo& info,
                                                          const ZrDeviceIds& ids) const {
    info.mBitResolution = getBitResolution();
    info.mChannels = getNumChannels();
    info.mContinuous = isContinousFrequency() ? 1 : 0;
    info.mLowerRate = getLowerFrequency();
    info.mUpperRate = getUpperFrequency();
    // Products whose descriptors list rates they cannot run: user space is
    // offered what they really do.
    const ZrDeviceTraits& traits = ids.traits();
    if (traits.hasQuirk(kQuirkRates44k48k | kQuirkRates32k44k48k)) {
        uint8_t n = 0;
        if (traits.hasQuirk(kQuirkRates32k44k48k)) info.mRates[n++] = 32000;
        info.mRates[n++] = 44100;
        info.mRates[n++] = 48000;
        info.mNumRates = n;
        return;
    }
    uint32_t count = getCountFrequencies();
    if (count > 16) count = 16;
    info.mNumRates = uint8_t(count);
    for (uint32_t i = 0; i < count; ++i)
        info.mRates[i] = getFrequency(i);
}
