#include "driver/engine/desc/ZrConfigurationDescriptor.h"

#include <new>

#include "abi/APIDeviceInfo.h"
#include "abi/USBByteBuffer.h"
#include "driver/engine/desc/DescriptorCursor.h"

using namespace DescriptorCursor;

void ZrConfigurationDescriptor::clear() {
    mNumInterfaces = mConfigurationValue = mConfigurationString = mAttributes = mMaxPower = 0;
}

bool ZrConfigurationDescriptor::scan(USBByteBuffer& buf, const ZrDeviceIds& ids) {
    clear();
    uint32_t start = buf.getReadPosition();
    uint8_t length = 0, type = 0;
    buf >> length;
    if (length < 9) return false;
    buf >> type;
    if (type != kTypeConfiguration) return false;
    uint16_t totalLength = 0;
    buf >> totalLength >> mNumInterfaces >> mConfigurationValue >> mConfigurationString >>
        mAttributes >> mMaxPower;
    skipDescriptor(buf, start, length);

    while (buf.getRemaining() > 0) {
        if (endsSet(buf)) {
            buf.forward();
            break;
        }
        uint32_t at = buf.getReadPosition();
        uint8_t len = buf.peek(0);
        if (buf.peek(1) != kTypeInterface) {
            skipDescriptor(buf, at, len);
            continue;
        }
        auto* iface = new (std::nothrow) ZrInterfaceDescriptor(this);
        if (!iface) {
            skipDescriptor(buf, at, len);
            continue;
        }
        if (!iface->scan(buf, ids) || !mInterfaces.add(iface)) delete iface;
        // An interface scan always moves past its own descriptor.
    }
    return true;
}

ZrInterfaceDescriptor* ZrConfigurationDescriptor::getInterface(int number) const {
    for (int i = 0; i < mInterfaces.count(); ++i)
        if (mInterfaces.at<ZrInterfaceDescriptor>(i)->getInterfaceNumber() == number)
            return mInterfaces.at<ZrInterfaceDescriptor>(i);
    return nullptr;
}

ZrInterfaceDescriptor* ZrConfigurationDescriptor::findFirst(bool (ZrInterfaceDescriptor::*test)()
                                                                const) const {
    for (int i = 0; i < mInterfaces.count(); ++i) {
        auto* iface = mInterfaces.at<ZrInterfaceDescriptor>(i);
        if ((iface->*test)()) return iface;
    }
    return nullptr;
}

ZrInterfaceDescriptor* ZrConfigurationDescriptor::findAudioControlInterface() const {
    return findFirst(&ZrInterfaceDescriptor::isAudioControl);
}
ZrInterfaceDescriptor* ZrConfigurationDescriptor::findAudioStreamingInInterface() const {
    return findFirst(&ZrInterfaceDescriptor::isAudioStreamingIn);
}
ZrInterfaceDescriptor* ZrConfigurationDescriptor::findAudioStreamingOutInterface() const {
    return findFirst(&ZrInterfaceDescriptor::isAudioStreamingOut);
}
ZrInterfaceDescriptor* ZrConfigurationDescriptor::findHIDInterface() const {
    return findFirst(&ZrInterfaceDescriptor::isHID);
}
ZrInterfaceDescriptor* ZrConfigurationDescriptor::findVendorInterface() const {
    return findFirst(&ZrInterfaceDescriptor::isVendor);
}
ZrInterfaceDescriptor* ZrConfigurationDescriptor::findMidiInterface() const {
    return findFirst(&ZrInterfaceDescriptor::isMidiStreaming);
}

void ZrConfigurationDescriptor::getAPIConfigInfo(APIConfigInfo& info,
                                                 const ZrDeviceIds& ids) const {
    info.iConfiguration = mConfigurationString;
    info.bConfigurationValue = mConfigurationValue;
    unsigned count = mNumInterfaces < 16 ? mNumInterfaces : 16;
    info.mNumInterfaces = uint8_t(count);
    // Entry n describes interface number n; a number the device skipped
    // leaves its entry as it was.
    for (unsigned n = 0; n < count; ++n)
        if (ZrInterfaceDescriptor* iface = getInterface(int(n)))
            iface->getAPIInterfaceInfo(info.mInterfaces[n], ids);
}
