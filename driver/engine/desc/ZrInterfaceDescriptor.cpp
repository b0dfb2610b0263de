#include "driver/engine/desc/ZrInterfaceDescriptor.h"

#include <cstring>
#include <new>

#include "abi/APIDeviceInfo.h"
#include "abi/USBByteBuffer.h"
#include "driver/engine/desc/DescriptorCursor.h"
#include "driver/engine/desc/ZrDescriptorProducts.h"

using namespace DescriptorCursor;
using namespace ZrDescriptorProducts;

namespace {

// The USB rates the driver can be asked for at all; a rate outside them, or a
// zeroed slot in a rate list, never matches.
constexpr uint32_t kLowestRate = 8000;
constexpr uint32_t kHighestRate = 384000;

// Creates, scans and keeps one record; a refused or unkept record is freed.
template <class T> void scanRecord(USBByteBuffer& buf, ZrSimpleArray& into, T* record) {
    uint32_t start = buf.getReadPosition();
    uint8_t length = buf.peek(0);
    if (!record) {
        skipDescriptor(buf, start, length);
        return;
    }
    if (!record->scan(buf) || !into.add(record)) delete record;
}

} // namespace

ZrInterfaceDescriptor::~ZrInterfaceDescriptor() = default;

void ZrInterfaceDescriptor::clear() {
    mInterfaceNumber = mAlternateSetting = mNumEndpoints = 0;
    mInterfaceClass = mInterfaceSubClass = mInterfaceProtocol = mInterfaceString = 0;
    mAudioControl.deleteAll();
    mAudioStreaming.deleteAll();
    mAlternates.deleteAll();
    mPipes.deleteAll();
}

void ZrInterfaceDescriptor::applyClassCorrections(const ZrDeviceIds& ids) {
    // Products of the Merrow family present their streaming interfaces as
    // vendor-specific; their layout is fixed: 1 and 2 stream, 3 is MIDI.
    if (isMerrowCompatible(ids) && mInterfaceNumber == 1) setClass(1, 2, mInterfaceProtocol);
    if (ids.traits().hasQuirk(kQuirkStreamingOn2) && mInterfaceNumber == 2)
        setClass(1, 2, mInterfaceProtocol);
    if (isMRW192Compatible(ids) || (featuresLoadedWithout(ids, eSpecFeature_MRW192Compatible) &&
                                    ids.traits().has(ZrProductList::KorvexFamily))) {
        if (mInterfaceNumber == 3)
            setClass(1, 3, mInterfaceProtocol);
        else if (mInterfaceNumber == 1 || mInterfaceNumber == 2)
            setClass(1, 2, mInterfaceProtocol);
    }
}

bool ZrInterfaceDescriptor::scan(USBByteBuffer& buf, const ZrDeviceIds& ids) {
    clear();
    mIds = ids;
    uint32_t start = buf.getReadPosition();
    uint8_t length = 0, type = 0;
    buf >> length;
    if (length < 9) {
        skipDescriptor(buf, start, length);
        return false;
    }
    buf >> type;
    if (type != kTypeInterface) {
        skipDescriptor(buf, start, length);
        return false;
    }
    buf >> mInterfaceNumber >> mAlternateSetting >> mNumEndpoints >> mInterfaceClass >>
        mInterfaceSubClass >> mInterfaceProtocol >> mInterfaceString;
    applyClassCorrections(ids);
    skipDescriptor(buf, start, length);

    while (buf.getRemaining() > 0) {
        if (endsSet(buf)) {
            buf.forward();
            return true;
        }
        uint32_t at = buf.getReadPosition();
        uint8_t len = buf.peek(0);
        switch (buf.peek(1)) {
        case 0:
            skipDescriptor(buf, at, len);
            break;
        case kTypeInterface: {
            // The next interface, or the next alternate of ours: alternates
            // hold no alternates of their own.
            if (buf.peek(2) != mInterfaceNumber || mpParent) return true;
            auto* alt = new (std::nothrow) ZrInterfaceDescriptor(mpConfiguration, this);
            if (!alt) {
                skipDescriptor(buf, at, len);
                break;
            }
            if (!alt->scan(buf, ids) || !mAlternates.add(alt)) {
                delete alt;
                break;
            }
            applyDuplicateRule(alt, ids);
            break;
        }
        case kTypeEndpoint:
            scanRecord(buf, mPipes, new (std::nothrow) ZrPipeDescriptor(this));
            break;
        case kTypeHID:
            scanRecord(buf, mHID, new (std::nothrow) ZrHIDDescriptor());
            break;
        case kTypeCSInterface:
            if (mInterfaceSubClass == 2)
                scanRecord(buf, mAudioStreaming,
                           new (std::nothrow) ZrInterfaceDescriptorSpecificAS());
            else if (mInterfaceSubClass == 1)
                scanRecord(buf, mAudioControl,
                           new (std::nothrow) ZrInterfaceDescriptorSpecificAC());
            else
                skipDescriptor(buf, at, len);
            break;
        default:
            // Not ours (a configuration, an association, a stray endpoint
            // companion): the interface ends before it and the configuration
            // loop steps over it.
            return true;
        }
        // Every branch above moves by at least the 2 bytes checked.
    }
    return true;
}

void ZrInterfaceDescriptor::applyDuplicateRule(ZrInterfaceDescriptor* added,
                                               const ZrDeviceIds& ids) {
    APIInterfaceAlternateInfo a{};
    if (added->getAPIInterfaceAlternateInfo(a, ids, 0) < 0 || a.mStreaming.mContinuous ||
        a.mStreaming.mNumRates != 1)
        return;
    ZrInterfaceDescriptor* other = findAlternateSetting(
        a.mStreaming.mRates[0], a.mStreaming.mChannels, a.mStreaming.mBitResolution, ids);
    if (!other || other == this || other == added) return;
    APIInterfaceAlternateInfo b{};
    if (other->getAPIInterfaceAlternateInfo(b, ids, 0) < 0 || b.mStreaming.mContinuous ||
        b.mStreaming.mNumRates != 1)
        return;
    if (b.mNumEndpoints == 0 || b.mNumEndpoints != a.mNumEndpoints) return;
    // Decided at the first endpoint whose sizes differ; at most one of the
    // two goes, and neither is looked at after it is deleted.
    for (unsigned i = 0; i < a.mNumEndpoints; ++i) {
        uint16_t sizeA = a.mEndpoints[i].wMaxPacketSize;
        uint16_t sizeB = b.mEndpoints[i].wMaxPacketSize;
        if (sizeA == sizeB) continue;
        mAlternates.del(sizeA < sizeB ? added : other);
        return;
    }
}

ZrInterfaceDescriptor* ZrInterfaceDescriptor::getAlternateSetting(int alt) {
    if (alt == 0) return (!mpParent && mAlternateSetting == 0) ? this : nullptr;
    for (int i = 0; i < mAlternates.count(); ++i) {
        auto* a = mAlternates.at<ZrInterfaceDescriptor>(i);
        if (a->mAlternateSetting == alt) return a;
    }
    return nullptr;
}

ZrPipeDescriptor* ZrInterfaceDescriptor::firstPipe(bool (ZrPipeDescriptor::*test)() const) const {
    for (int i = 0; i < mPipes.count(); ++i) {
        auto* p = mPipes.at<ZrPipeDescriptor>(i);
        if ((p->*test)()) return p;
    }
    return nullptr;
}

ZrPipeDescriptor* ZrInterfaceDescriptor::getPipeByID(uint8_t number) const {
    for (int i = 0; i < mPipes.count(); ++i)
        if (mPipes.at<ZrPipeDescriptor>(i)->getEndpointNumber() == number)
            return mPipes.at<ZrPipeDescriptor>(i);
    return nullptr;
}

ZrPipeDescriptor* ZrInterfaceDescriptor::getPipeByAddress(uint8_t address) const {
    for (int i = 0; i < mPipes.count(); ++i)
        if (mPipes.at<ZrPipeDescriptor>(i)->getAddress() == address)
            return mPipes.at<ZrPipeDescriptor>(i);
    return nullptr;
}

ZrPipeDescriptor* ZrInterfaceDescriptor::getIsocInPipe() const {
    return firstPipe(&ZrPipeDescriptor::isIsocInAudio);
}
ZrPipeDescriptor* ZrInterfaceDescriptor::getIsocOutPipe() const {
    return firstPipe(&ZrPipeDescriptor::isIsocOutAudio);
}
ZrPipeDescriptor* ZrInterfaceDescriptor::getInterruptInPipe() const {
    return firstPipe(&ZrPipeDescriptor::isInterruptIn);
}
ZrPipeDescriptor* ZrInterfaceDescriptor::getInterruptOutPipe() const {
    return firstPipe(&ZrPipeDescriptor::isInterruptOut);
}
ZrPipeDescriptor* ZrInterfaceDescriptor::getBulkInPipe() const {
    return firstPipe(&ZrPipeDescriptor::isBulkIn);
}
ZrPipeDescriptor* ZrInterfaceDescriptor::getBulkOutPipe() const {
    return firstPipe(&ZrPipeDescriptor::isBulkOut);
}

ZrPipeDescriptor* ZrInterfaceDescriptor::getIsocInPipeInRange(uint16_t lo, uint16_t hi) const {
    for (int i = 0; i < mPipes.count(); ++i)
        if (mPipes.at<ZrPipeDescriptor>(i)->isIsocInInRange(lo, hi))
            return mPipes.at<ZrPipeDescriptor>(i);
    return nullptr;
}

ZrPipeDescriptor* ZrInterfaceDescriptor::getIsocOutPipeInRange(uint16_t lo, uint16_t hi) const {
    for (int i = 0; i < mPipes.count(); ++i)
        if (mPipes.at<ZrPipeDescriptor>(i)->isIsocOutInRange(lo, hi))
            return mPipes.at<ZrPipeDescriptor>(i);
    return nullptr;
}

bool ZrInterfaceDescriptor::hasIsocEndpoint(bool in) const {
    if (in ? getIsocInPipe() : getIsocOutPipe()) return true;
    for (int i = 0; i < mAlternates.count(); ++i) {
        auto* a = mAlternates.at<ZrInterfaceDescriptor>(i);
        if (in ? a->getIsocInPipe() : a->getIsocOutPipe()) return true;
    }
    return false;
}

bool ZrInterfaceDescriptor::isAudioStreamingIn() const {
    return isAudioStreaming() && hasIsocEndpoint(true);
}
bool ZrInterfaceDescriptor::isAudioStreamingOut() const {
    return isAudioStreaming() && hasIsocEndpoint(false);
}

ZrInterfaceDescriptor* ZrInterfaceDescriptor::findAlternateSetting(uint32_t rate, int channels,
                                                                   int resolution,
                                                                   const ZrDeviceIds& ids) {
    if (!isAudioStreaming()) return nullptr;
    if (hasCapabilities(rate, channels, resolution, ids)) return this;
    for (int i = 0; i < mAlternates.count(); ++i) {
        auto* a = mAlternates.at<ZrInterfaceDescriptor>(i);
        if (a->hasCapabilities(rate, channels, resolution, ids)) return a;
    }
    return nullptr;
}

bool ZrInterfaceDescriptor::hasCapabilities(uint32_t rate, int channels, int resolution,
                                            const ZrDeviceIds& ids) {
    if (rate < kLowestRate || rate > kHighestRate) return false;
    int start = 0;
    for (;;) {
        APIInterfaceAlternateInfo info{};
        int found = getAPIInterfaceAlternateInfo(info, ids, start);
        if (found < 0) return false;
        const APIStreamingInfo& s = info.mStreaming;
        if (s.mBitResolution == resolution && s.mChannels == channels) {
            if (s.mContinuous) {
                if (s.mLowerRate <= rate && rate <= s.mUpperRate) return true;
            } else {
                for (unsigned i = 0; i < s.mNumRates && i < 16; ++i)
                    if (s.mRates[i] == rate) return true;
            }
        }
        start = found + 1;
    }
}

const uint8_t* ZrInterfaceDescriptor::getUSBInterfaceDescriptor() {
    const uint8_t bytes[9] = {9,
                              kTypeInterface,
                              mInterfaceNumber,
                              mAlternateSetting,
                              mNumEndpoints,
                              mInterfaceClass,
                              mInterfaceSubClass,
                              mInterfaceProtocol,
                              mInterfaceString};
    std::memcpy(mUSBDescriptor, bytes, sizeof bytes);
    return mUSBDescriptor;
}

ZrInterfaceDescriptorSpecificAS* ZrInterfaceDescriptor::createAS() {
    auto* as = new (std::nothrow) ZrInterfaceDescriptorSpecificAS();
    if (as && !mAudioStreaming.add(as)) {
        delete as;
        return nullptr;
    }
    return as;
}

ZrInterfaceDescriptorSpecificAS* ZrInterfaceDescriptor::getOrCreateAS(int i) {
    if (auto* as = getAudioStreamingSpecific(i)) return as;
    return i == 0 ? createAS() : nullptr;
}

int ZrInterfaceDescriptor::getAPIInterfaceAlternateInfo(APIInterfaceAlternateInfo& info,
                                                        const ZrDeviceIds& ids, int start) {
    info.mAlternateSetting = mAlternateSetting;
    int endpoints = mPipes.count() < 4 ? mPipes.count() : 4;
    info.mNumEndpoints = uint8_t(endpoints);
    int found = -1;
    for (int i = start < 0 ? 0 : start; i < mAudioStreaming.count(); ++i) {
        if (mAudioStreaming.at<ZrInterfaceDescriptorSpecificAS>(i)->isFormatType()) {
            found = i;
            break;
        }
    }
    if (found >= 0)
        mAudioStreaming.at<ZrInterfaceDescriptorSpecificAS>(found)->getAPIStreamingInfo(
            info.mStreaming, ids);
    for (int i = 0; i < endpoints; ++i)
        mPipes.at<ZrPipeDescriptor>(i)->getAPIEndpointInfo(info.mEndpoints[i]);
    return found;
}

void ZrInterfaceDescriptor::getAPIInterfaceInfo(APIInterfaceInfo& info, const ZrDeviceIds& ids) {
    info.mInterfaceNumber = mInterfaceNumber;
    info.mInterfaceSubClass = mInterfaceSubClass;
    unsigned count = 0;
    for (int i = 0; i < mAlternates.count() && count < 16; ++i) {
        auto* alt = mAlternates.at<ZrInterfaceDescriptor>(i);
        int start = 0;
        while (count < 16) {
            // Filled aside and copied only when it describes a format, so
            // entries past the count stay as they were.
            APIInterfaceAlternateInfo entry = info.mAlternates[count];
            int found = alt->getAPIInterfaceAlternateInfo(entry, ids, start);
            if (found < 0) break;
            info.mAlternates[count++] = entry;
            start = found + 1;
        }
    }
    info.mNumAlternates = uint8_t(count);
}
