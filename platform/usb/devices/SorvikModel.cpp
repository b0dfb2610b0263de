#include "platform/usb/devices/SorvikModel.h"

#include <algorithm>
#include <cstring>

namespace hx::usb::devices {

using namespace StandardUSB;

namespace {

constexpr uint8_t kVendorIn = kRequestDirectionIn | kRequestTypeVendor | kRequestRecipientDevice;
constexpr uint8_t kVendorOut = kRequestDirectionOut | kRequestTypeVendor | kRequestRecipientDevice;
constexpr uint8_t kVendorOutInterface =
    kRequestDirectionOut | kRequestTypeVendor | kRequestRecipientInterface;

} // namespace

SorvikModel::SorvikModel(uint8_t speed, HX5100Identity identity, std::array<uint8_t, 8> uid,
                         std::string name)
    : HX5100Model(speed, std::move(identity)), mUID(uid) {
    std::memcpy(mName.data(), name.data(), std::min<size_t>(name.size(), 31));
}

std::string SorvikModel::name() const {
    std::lock_guard<std::mutex> g(mLock);
    return std::string(reinterpret_cast<const char*>(mName.data()),
                       strnlen(reinterpret_cast<const char*>(mName.data()), 32));
}

std::vector<uint8_t> SorvikModel::channelMap(uint8_t interfaceNumber) const {
    std::lock_guard<std::mutex> g(mLock);
    auto it = mMaps.find(interfaceNumber);
    return it == mMaps.end() ? std::vector<uint8_t>{} : it->second;
}

std::vector<uint8_t> SorvikModel::mapOrder() const {
    std::lock_guard<std::mutex> g(mLock);
    return mMapOrder;
}

ControlResult SorvikModel::classOrVendorRequest(const DeviceRequest& setup, uint8_t* data) {
    if (setup.bmRequestType == kVendorIn && setup.bRequest == 0 && setup.wValue == 0 &&
        setup.wIndex == 0) {
        if (setup.wLength != mUID.size()) return ControlResult::stall();
        std::memcpy(data, mUID.data(), mUID.size());
        return ControlResult::ok((uint32_t)mUID.size());
    }
    if (setup.bRequest == 1 && setup.wValue == 0 && setup.wIndex == 0 &&
        (setup.bmRequestType == kVendorIn || setup.bmRequestType == kVendorOut)) {
        if (setup.wLength != mName.size()) return ControlResult::stall();
        if (setup.bmRequestType == kVendorIn)
            std::memcpy(data, mName.data(), mName.size());
        else
            std::memcpy(mName.data(), data, mName.size());
        return ControlResult::ok((uint32_t)mName.size());
    }
    if (setup.bmRequestType == kVendorOutInterface && setup.bRequest == 1 && setup.wValue == 0) {
        if (setup.wLength != 8) return ControlResult::stall();
        mMaps[(uint8_t)setup.wIndex].assign(data, data + 8);
        mMapOrder.push_back((uint8_t)setup.wIndex);
        return ControlResult::ok(8);
    }
    if (setup.bmRequestType == kVendorOut && setup.bRequest == 0x03 && setup.wValue == 0 &&
        setup.wIndex == 0) {
        if (setup.wLength != 0) return ControlResult::stall();
        requestReEnumeration();
        return ControlResult::ok();
    }
    return HX5100Model::classOrVendorRequest(setup, data);
}

IsochResult SorvikModel::streamOut(uint8_t, const IsochSlot&, const uint8_t*, uint32_t length) {
    return {kIOReturnSuccess, length};
}

IsochResult SorvikModel::streamIn(uint8_t, const IsochSlot&, uint8_t*, uint32_t) {
    return {kIOReturnSuccess, 0};
}

} // namespace hx::usb::devices
