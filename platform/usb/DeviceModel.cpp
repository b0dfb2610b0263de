#include "platform/usb/DeviceModel.h"

#include <algorithm>
#include <cstring>

namespace hx::usb {

using namespace StandardUSB;

namespace {

ControlResult reply(uint8_t* data, uint16_t wLength, const uint8_t* bytes, size_t size) {
    const uint32_t n = (uint32_t)std::min<size_t>(size, wLength);
    if (n) std::memcpy(data, bytes, n);
    return ControlResult::ok(n);
}

} // namespace

ControlResult DeviceModel::control(const DeviceRequest& setup, uint8_t* data) {
    std::lock_guard<std::mutex> g(mLock);
    TraceEntry entry{setup, {}, kIOReturnSuccess, 0};
    if (!(setup.bmRequestType & kRequestDirectionIn) && setup.wLength && data)
        entry.dataOut.assign(data, data + setup.wLength);
    const uint8_t type = setup.bmRequestType & 0x60;
    const ControlResult r = type == kRequestTypeStandard ? standardRequest(setup, data)
                                                         : classOrVendorRequest(setup, data);
    entry.status = r.status;
    entry.length = r.length;
    mTrace.push_back(std::move(entry));
    return r;
}

IsochResult DeviceModel::isochronousOut(uint8_t address, const IsochSlot& slot, const uint8_t* data,
                                        uint32_t length) {
    std::lock_guard<std::mutex> g(mLock);
    if ((address & kEndpointDirectionIn) || !endpointIsActive(address))
        return {kIOReturnNotResponding, 0};
    return streamOut(address, slot, data, length);
}

IsochResult DeviceModel::isochronousIn(uint8_t address, const IsochSlot& slot, uint8_t* data,
                                       uint32_t capacity) {
    std::lock_guard<std::mutex> g(mLock);
    if (!(address & kEndpointDirectionIn) || !endpointIsActive(address))
        return {kIOReturnNotResponding, 0};
    const IsochResult r = streamIn(address, slot, data, capacity);
    return {r.status, std::min(r.length, capacity)};
}

IsochResult DeviceModel::transferOut(uint8_t address, uint64_t frame, const uint8_t* data,
                                     uint32_t length, uint64_t unit) {
    std::lock_guard<std::mutex> g(mLock);
    if ((address & kEndpointDirectionIn) || !endpointIsActive(address))
        return {kIOReturnNotResponding, 0};
    mTransferUnit = unit == kFrameStartUnit ? frame * 8 : unit;
    return bulkOut(address, frame, data, length);
}

IsochResult DeviceModel::transferIn(uint8_t address, uint64_t frame, uint8_t* data,
                                    uint32_t capacity, uint64_t unit) {
    std::lock_guard<std::mutex> g(mLock);
    if (!(address & kEndpointDirectionIn) || !endpointIsActive(address))
        return {kIOReturnNotResponding, 0};
    mTransferUnit = unit == kFrameStartUnit ? frame * 8 : unit;
    const IsochResult r = bulkIn(address, frame, data, capacity);
    return {r.status, std::min(r.length, capacity)};
}

IsochResult DeviceModel::bulkOut(uint8_t, uint64_t, const uint8_t*, uint32_t) {
    return {kIOReturnNotReady, 0};
}

IsochResult DeviceModel::bulkIn(uint8_t, uint64_t, uint8_t*, uint32_t) {
    return {kIOReturnNotReady, 0};
}

IsochResult DeviceModel::streamOut(uint8_t, const IsochSlot&, const uint8_t*, uint32_t length) {
    return {kIOReturnSuccess, length};
}

IsochResult DeviceModel::streamIn(uint8_t, const IsochSlot&, uint8_t*, uint32_t) {
    return {kIOReturnSuccess, 0};
}

void DeviceModel::busReset() {
    std::lock_guard<std::mutex> g(mLock);
    mConfiguration = 0;
    mAlternate.clear();
    mActiveEndpoints.reset();
    onBusReset();
}

uint8_t DeviceModel::configurationValue() const {
    std::lock_guard<std::mutex> g(mLock);
    return mConfiguration;
}

std::optional<uint8_t> DeviceModel::alternateSetting(uint8_t interfaceNumber) const {
    std::lock_guard<std::mutex> g(mLock);
    return alternateLocked(interfaceNumber);
}

std::optional<uint8_t> DeviceModel::alternateLocked(uint8_t interfaceNumber) const {
    auto it = mAlternate.find(interfaceNumber);
    if (it == mAlternate.end()) return std::nullopt;
    return it->second;
}

std::vector<TraceEntry> DeviceModel::trace() const {
    std::lock_guard<std::mutex> g(mLock);
    return mTrace;
}

void DeviceModel::clearTrace() {
    std::lock_guard<std::mutex> g(mLock);
    mTrace.clear();
}

ControlResult DeviceModel::classOrVendorRequest(const DeviceRequest&, uint8_t*) {
    return ControlResult::stall();
}

const ConfigurationDescriptor* DeviceModel::configurationWithValue(uint8_t value) const {
    for (uint8_t i = 0;; ++i) {
        std::span<const uint8_t> c = configurationDescriptor(i);
        if (c.size() < sizeof(ConfigurationDescriptor)) return nullptr;
        const auto* cd = reinterpret_cast<const ConfigurationDescriptor*>(c.data());
        if (cd->bConfigurationValue == value) return cd;
    }
}

const ConfigurationDescriptor* DeviceModel::activeConfiguration() const {
    return mConfiguration ? configurationWithValue(mConfiguration) : nullptr;
}

bool DeviceModel::endpointIsActive(uint8_t address) const {
    if ((address & 0x7F) == 0) return true; // the default pipe
    return mActiveEndpoints.test(address);
}

// Walks the descriptors once per configuration or alternate change, so the
// per-packet check above is a bit test.
void DeviceModel::updateActiveEndpoints() {
    mActiveEndpoints.reset();
    const ConfigurationDescriptor* config = activeConfiguration();
    for (const InterfaceDescriptor* i = getNextInterfaceDescriptor(config, nullptr); i;
         i = getNextInterfaceDescriptor(config, reinterpret_cast<const Descriptor*>(i))) {
        auto alt = mAlternate.find(i->bInterfaceNumber);
        if (alt == mAlternate.end() || alt->second != i->bAlternateSetting) continue;
        for (const EndpointDescriptor* e = getNextEndpointDescriptor(config, i, nullptr); e;
             e = getNextEndpointDescriptor(config, i, reinterpret_cast<const Descriptor*>(e)))
            mActiveEndpoints.set(e->bEndpointAddress);
    }
}

ControlResult DeviceModel::standardRequest(const DeviceRequest& setup, uint8_t* data) {
    const uint8_t recipient = setup.bmRequestType & 0x1F;
    const bool in = setup.bmRequestType & kRequestDirectionIn;
    switch (setup.bRequest) {
    case kDeviceRequestGetDescriptor: {
        if (!in || recipient != kRequestRecipientDevice) break;
        const uint8_t type = setup.wValue >> 8;
        const uint8_t index = setup.wValue & 0xFF;
        if (type == kDescriptorTypeDevice && index == 0) {
            std::span<const uint8_t> d = deviceDescriptor();
            return reply(data, setup.wLength, d.data(), d.size());
        }
        if (type == kDescriptorTypeConfiguration) {
            std::span<const uint8_t> c = configurationDescriptor(index);
            if (c.empty()) break;
            return reply(data, setup.wLength, c.data(), c.size());
        }
        if (type == kDescriptorTypeString) {
            std::optional<std::vector<uint8_t>> s = stringDescriptor(index, setup.wIndex);
            if (!s) break;
            return reply(data, setup.wLength, s->data(), s->size());
        }
        break;
    }
    case kDeviceRequestSetConfiguration: {
        if (in || recipient != kRequestRecipientDevice || setup.wLength || (setup.wValue >> 8))
            break;
        const uint8_t value = setup.wValue & 0xFF;
        if (value && !configurationWithValue(value)) break;
        mConfiguration = value;
        mAlternate.clear();
        if (const ConfigurationDescriptor* config = activeConfiguration()) {
            for (const InterfaceDescriptor* i = getNextInterfaceDescriptor(config, nullptr); i;
                 i = getNextInterfaceDescriptor(config, reinterpret_cast<const Descriptor*>(i)))
                mAlternate.emplace(i->bInterfaceNumber, 0);
        }
        updateActiveEndpoints();
        onSetConfiguration(value);
        return ControlResult::ok();
    }
    case kDeviceRequestGetConfiguration: {
        if (!in || recipient != kRequestRecipientDevice || setup.wLength < 1) break;
        return reply(data, setup.wLength, &mConfiguration, 1);
    }
    case kDeviceRequestSetInterface: {
        if (in || recipient != kRequestRecipientInterface || setup.wLength) break;
        const ConfigurationDescriptor* config = activeConfiguration();
        if (!config) break;
        for (const InterfaceDescriptor* i = getNextInterfaceDescriptor(config, nullptr); i;
             i = getNextInterfaceDescriptor(config, reinterpret_cast<const Descriptor*>(i))) {
            if (i->bInterfaceNumber == setup.wIndex && i->bAlternateSetting == setup.wValue) {
                mAlternate[i->bInterfaceNumber] = i->bAlternateSetting;
                updateActiveEndpoints();
                return ControlResult::ok();
            }
        }
        break;
    }
    case kDeviceRequestClearFeature: {
        if (in || recipient != kRequestRecipientEndpoint || setup.wValue != kFeatureEndpointHalt ||
            setup.wLength || setup.wIndex > 0xFF)
            break;
        if (!endpointIsActive((uint8_t)setup.wIndex)) break;
        return ControlResult::ok();
    }
    default:
        break;
    }
    return ControlResult::stall();
}

} // namespace hx::usb
