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

constexpr uint32_t kHeaderBytes = 104;
constexpr uint32_t kExtraFirst = 6, kExtraEnd = 100;
constexpr size_t kExtraPacketsKept = 1 << 18;

using Bytes = std::vector<uint8_t>;

void append(Bytes& out, std::initializer_list<uint8_t> bytes) {
    out.insert(out.end(), bytes);
}

// Interfaces 0 (output) and 1 (input): alternate 0 without endpoints, 1..7
// with one isochronous endpoint each and its class-specific descriptor.
Bytes farlane1Configuration(uint8_t speed) {
    const uint16_t maxPacket = speed == kUSBHostConnectionSpeedHigh ? 1024 : 1023;
    Bytes body;
    for (uint8_t number : {0, 1}) {
        const uint8_t address = number == 0 ? 0x01 : 0x82;
        append(body, {9, 4, number, 0, 0, 255, 0, 0, 0});
        for (uint8_t alt = 1; alt <= 7; ++alt) {
            append(body, {9, 4, number, alt, 1, 255, 0, 0, 0});
            append(body,
                   {9, 5, address, 0x05, uint8_t(maxPacket), uint8_t(maxPacket >> 8), 1, 0, 0});
            append(body, {7, 0x25, 1, 0x00, 0, 0, 0});
        }
    }
    const uint16_t total = uint16_t(9 + body.size());
    Bytes out;
    append(out, {9, 2, uint8_t(total), uint8_t(total >> 8), 2, 1, 0, 0x80, 250});
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

} // namespace

SorvikModel::SorvikModel(uint8_t speed, HX5100Identity identity, std::array<uint8_t, 8> uid,
                         std::string name, SorvikLayout layout)
    : HX5100Model(speed, std::move(identity)), mLayout(layout), mUID(uid) {
    std::memcpy(mName.data(), name.data(), std::min<size_t>(name.size(), 31));
    if (mLayout == SorvikLayout::Farlane1) {
        mConfiguration = farlane1Configuration(speed);
        // The first generation runs at 48 kHz only: its clock starts there.
        DeviceRequest rate{kRequestDirectionOut | kRequestTypeClass | kRequestRecipientEndpoint,
                           0x01, 0x0100, 0x01, 3};
        uint8_t bytes[3] = {0x80, 0xBB, 0x00};
        HX5100Model::classOrVendorRequest(rate, bytes);
    }
}

std::span<const uint8_t> SorvikModel::configurationDescriptor(uint8_t index) const {
    if (mLayout != SorvikLayout::Farlane1) return HX5100Model::configurationDescriptor(index);
    if (index != 0) return {};
    return mConfiguration;
}

SorvikHeaderStats SorvikModel::headerStats() const {
    std::lock_guard<std::mutex> g(mLock);
    return mHeaders;
}

void SorvikModel::clearHeaders() {
    std::lock_guard<std::mutex> g(mLock);
    mHeaders = {};
    mTotal.reset();
    mOutHeaders.clear();
}

std::vector<SorvikModel::OutHeader> SorvikModel::outHeaders() const {
    std::lock_guard<std::mutex> g(mLock);
    return mOutHeaders;
}

std::vector<std::pair<uint8_t, uint16_t>> SorvikModel::resolutionRequests() const {
    std::lock_guard<std::mutex> g(mLock);
    return mResolutions;
}

void SorvikModel::checkHeader(const uint8_t* data, uint32_t length) {
    ++mHeaders.packets;
    if (length < kHeaderBytes) {
        ++mHeaders.shortPackets;
        return;
    }
    // A configuration without outputs sends the header alone.
    const uint32_t frames = (length - kHeaderBytes) / kHX5100BytesPerFrame;
    if (length > kHeaderBytes && data[0] != frames) ++mHeaders.badFrames;
    const uint32_t total =
        uint32_t(data[2]) << 24 | uint32_t(data[3]) << 16 | uint32_t(data[4]) << 8 | data[5];
    if (mTotal && total != *mTotal + data[0]) ++mHeaders.badTotal;
    mTotal = total;
    if (data[100] || data[101] || data[102] || data[103]) ++mHeaders.badTail;
    const uint32_t written = std::min<uint32_t>(2u * data[0], kExtraEnd - kExtraFirst);
    uint8_t first = 255;
    for (uint32_t i = 0; i < written; ++i)
        if (data[kExtraFirst + i]) {
            first = uint8_t(i);
            break;
        }
    if (data[1] != first) ++mHeaders.badIndex;
    if (mOutHeaders.size() < kExtraPacketsKept)
        mOutHeaders.push_back(
            {data[0], total,
             std::vector<uint8_t>(data + kExtraFirst, data + kExtraFirst + written)});
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
    if (mLayout == SorvikLayout::Farlane1 && setup.bmRequestType == kVendorOutInterface &&
        setup.bRequest == 0 && setup.wLength == 0 && setup.wIndex <= 1) {
        const uint16_t resolution = setup.wValue; // the request record is packed
        mResolutions.emplace_back(uint8_t(setup.wIndex), resolution);
        return ControlResult::ok();
    }
    if (setup.bmRequestType == kVendorOut && setup.bRequest == 0x03 && setup.wValue == 0 &&
        setup.wIndex == 0) {
        if (setup.wLength != 0) return ControlResult::stall();
        requestReEnumeration();
        return ControlResult::ok();
    }
    return HX5100Model::classOrVendorRequest(setup, data);
}

IsochResult SorvikModel::streamOut(uint8_t address, const IsochSlot& slot, const uint8_t* data,
                                   uint32_t length) {
    if (mLayout != SorvikLayout::Farlane1) return {kIOReturnSuccess, length};
    if (address != 0x01 || deepSleeping()) return {kIOReturnNotResponding, 0};
    checkHeader(data, length);
    if (length >= kHeaderBytes)
        HX5100Model::streamOut(address, slot, data + kHeaderBytes, length - kHeaderBytes);
    return {kIOReturnSuccess, length};
}

IsochResult SorvikModel::streamIn(uint8_t address, const IsochSlot& slot, uint8_t* data,
                                  uint32_t capacity) {
    if (mLayout != SorvikLayout::Farlane1) return {kIOReturnSuccess, 0};
    return HX5100Model::streamIn(address, slot, data, capacity);
}

} // namespace hx::usb::devices
