#include "platform/usb/devices/ClassAudioModel.h"

#include "platform/usb/devices/HX5100Descriptors.h"
#include "platform/usb/devices/RequestTypes.h"

#include <cstring>

namespace hx::usb::devices {

using namespace StandardUSB;

namespace {

using namespace requests;
constexpr uint8_t kMuteControl = 1, kVolumeControl = 2;
constexpr uint16_t kMaxPacket = 50 * 6;

using Bytes = std::vector<uint8_t>;

void append(Bytes& out, std::initializer_list<uint8_t> bytes) {
    out.insert(out.end(), bytes);
}

void interfaceDescriptor(Bytes& out, uint8_t number, uint8_t alternate, uint8_t endpoints,
                         uint8_t subclass) {
    append(out, {9, 4, number, alternate, endpoints, //
                 1,                                  // bInterfaceClass: audio
                 subclass, 0, 0});
}

// Alternates 1 (16 bits) and 2 (24 bits) of a streaming interface.
void streamingInterface(Bytes& out, uint8_t number, uint8_t address, uint8_t terminal,
                        ClassAudioLayout::ClassEndpoint classEndpoint) {
    interfaceDescriptor(out, number, 0, 0, 2);
    const uint8_t bits[] = {16, 24};
    for (uint8_t alt = 1; alt <= 2; ++alt) {
        interfaceDescriptor(out, number, alt, 1, 2);
        append(out, {7, 0x24, 1, terminal, 1, 0x01, 0x00}); // AS_GENERAL: terminal, delay, PCM
        const uint8_t b = bits[alt - 1];
        append(out, {14, 0x24, 2, 1,       // FORMAT_TYPE I
                     2, uint8_t(b / 8), b, // channels, subframe, bits
                     2,                    // two discrete rates
                     0x44, 0xAC, 0x00,     // 44,100
                     0x80, 0xBB, 0x00});   // 48,000
        append(out, {9, 5, address, 0x05, hx5100::lo(kMaxPacket), hx5100::hi(kMaxPacket), 1, 0, 0});
        // Sampling frequency control; bit 7: whole packets only.
        if (classEndpoint == ClassAudioLayout::ClassEndpoint::Clear)
            append(out, {7, 0x25, 1, 0x01, 0, 0, 0});
        else if (classEndpoint == ClassAudioLayout::ClassEndpoint::MaxPacketsOnly)
            append(out, {7, 0x25, 1, 0x81, 0, 0, 0});
    }
}

// A HID interface with one interrupt IN endpoint (a status report of 8
// bytes every 10 ms).
void hidInterface(Bytes& out, uint8_t number) {
    append(out, {9, 4, number, 0, 1, 3, 0, 0, 0});
    append(out, {9, 0x21, 0x11, 0x01, 0, 1, 0x22, 32, 0}); // HID 1.11, one report descriptor
    append(out, {7, 5, 0x87, 0x03, 8, 0, 10});
}

Bytes buildConfiguration(const ClassAudioLayout& layout) {
    Bytes body;
    const uint8_t streaming = layout.secondOutput ? 3 : 2;
    interfaceDescriptor(body, 0, 0, 0, 1);
    // Class-specific AC header: the total covers this header only (units
    // are addressed by id; the driver's rows say where they are).
    const uint8_t headerLength = uint8_t(8 + streaming);
    append(body, {headerLength, 0x24, 1, 0x00, 0x01, headerLength, 0, streaming, 1, 2});
    if (layout.secondOutput) body.push_back(3);
    streamingInterface(body, 1, 0x01, 1, layout.classEndpoint);
    streamingInterface(body, 2, 0x82, 2, layout.classEndpoint);
    if (layout.secondOutput) streamingInterface(body, 3, 0x03, 3, layout.classEndpoint);
    // Interface 3 is where the driver looks for MIDI: the HID one is 4.
    if (layout.hid) hidInterface(body, 4);
    const uint16_t total = uint16_t(9 + body.size());
    const uint8_t interfaces = uint8_t(1 + streaming + (layout.hid ? 1 : 0));
    Bytes out;
    out.reserve(total);
    append(out, {9, 2, hx5100::lo(total), hx5100::hi(total), interfaces, 1, 0, 0x80, 250});
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

} // namespace

ClassAudioModel::ClassAudioModel(uint8_t speed, HX5100Identity identity, ClassAudioLayout layout)
    : HX5100Model(speed, std::move(identity)), mLayout(std::move(layout)),
      mConfiguration(buildConfiguration(mLayout)) {
    for (const ClassFeatureUnit& u : mLayout.features) {
        mVolumes[u.id] =
            std::vector<int16_t>(u.channels < 0 ? 1 : size_t(u.channels) + 1, u.powerOn);
        if (u.mute) mMutes[u.id] = 0;
    }
    for (const ClassSelectorUnit& u : mLayout.selectors)
        mSelectors[u.id] = u.powerOn;
}

std::span<const uint8_t> ClassAudioModel::configurationDescriptor(uint8_t index) const {
    if (index != 0) return {};
    return mConfiguration;
}

int16_t ClassAudioModel::volume(uint8_t unit, int channel) const {
    std::lock_guard<std::mutex> g(mLock);
    auto it = mVolumes.find(unit);
    if (it == mVolumes.end() || channel < 0 || size_t(channel) >= it->second.size()) return 0;
    return it->second[size_t(channel)];
}

bool ClassAudioModel::mute(uint8_t unit) const {
    std::lock_guard<std::mutex> g(mLock);
    auto it = mMutes.find(unit);
    return it != mMutes.end() && it->second;
}

uint8_t ClassAudioModel::selector(uint8_t unit) const {
    std::lock_guard<std::mutex> g(mLock);
    auto it = mSelectors.find(unit);
    return it == mSelectors.end() ? 0 : it->second;
}

uint8_t ClassAudioModel::vendorControl() const {
    std::lock_guard<std::mutex> g(mLock);
    return mVendorControl;
}

void ClassAudioModel::setUnitStalls(uint8_t unit, bool stalls) {
    std::lock_guard<std::mutex> g(mLock);
    mStalls[unit] = stalls;
}

void ClassAudioModel::setPicStalls(bool getStalls, bool setStalls) {
    std::lock_guard<std::mutex> g(mLock);
    mPicGetStalls = getStalls;
    mPicSetStalls = setStalls;
}

uint8_t ClassAudioModel::lastPicCommand() const {
    std::lock_guard<std::mutex> g(mLock);
    return mPicCommand;
}

std::optional<ControlResult> ClassAudioModel::picRequest(const DeviceRequest& setup,
                                                         uint8_t* data) {
    if (setup.bmRequestType == kVendorOut && setup.bRequest == 1 && setup.wValue == 0xF0 &&
        setup.wIndex == 0x1F0 && setup.wLength == 1) {
        if (mPicSetStalls) return ControlResult::stall();
        mPicCommand = data[0];
        return ControlResult::ok(1);
    }
    if (setup.bmRequestType == kVendorIn && setup.bRequest == 0x81 && setup.wValue == 0xF0 &&
        setup.wIndex == 0 && setup.wLength == 1) {
        if (mPicGetStalls) return ControlResult::stall();
        data[0] = mPicCommand;
        return ControlResult::ok(1);
    }
    return std::nullopt;
}

ControlResult ClassAudioModel::classOrVendorRequest(const DeviceRequest& setup, uint8_t* data) {
    if (mLayout.pic)
        if (std::optional<ControlResult> r = picRequest(setup, data)) return *r;
    if (setup.bmRequestType == kClassInterfaceIn || setup.bmRequestType == kClassInterfaceOut) {
        if ((setup.wIndex & 0xFF) != 0) return ControlResult::stall();
        const uint8_t id = uint8_t(setup.wIndex >> 8);
        if (mStalls[id]) return ControlResult::stall();
        for (ClassFeatureUnit& u : mLayout.features)
            if (u.id == id) return featureRequest(setup, data, u);
        for (ClassSelectorUnit& u : mLayout.selectors)
            if (u.id == id) return selectorRequest(setup, data, u);
        return ControlResult::stall();
    }
    if (mLayout.vendorControlIndex && setup.bRequest == 1 &&
        setup.wIndex == mLayout.vendorControlIndex) {
        if (setup.bmRequestType == kVendorIn && setup.wValue == 0 && setup.wLength == 1) {
            data[0] = mVendorControl;
            return ControlResult::ok(1);
        }
        if (setup.bmRequestType == kVendorOut && setup.wLength == 0 && (setup.wValue >> 8) == 0) {
            mVendorControl = uint8_t(setup.wValue);
            return ControlResult::ok();
        }
        return ControlResult::stall();
    }
    if (mLayout.trunk) {
        // The Trunk's start-up poll: ready (2) at once.
        if (setup.bmRequestType == kVendorIn && setup.bRequest == 0x85 && setup.wValue == 1 &&
            setup.wIndex == 1 && setup.wLength == 1) {
            data[0] = 2;
            return ControlResult::ok(1);
        }
        // Its rate on the endpoints its start-up names; one clock for all.
        const bool trunkEndpoint =
            setup.wIndex == 0x03 || setup.wIndex == 0x85 || setup.wIndex == 0x86;
        if (trunkEndpoint &&
            (setup.bmRequestType == kClassEndpointOut || setup.bmRequestType == kClassEndpointIn)) {
            DeviceRequest onOut = setup;
            onOut.wIndex = 0x01;
            return HX5100Model::classOrVendorRequest(onOut, data);
        }
    }
    if (mLayout.secondOutput && setup.wIndex == 0x03 &&
        (setup.bmRequestType == kClassEndpointOut || setup.bmRequestType == kClassEndpointIn)) {
        DeviceRequest onOut = setup;
        onOut.wIndex = 0x01;
        return HX5100Model::classOrVendorRequest(onOut, data);
    }
    return HX5100Model::classOrVendorRequest(setup, data);
}

ControlResult ClassAudioModel::featureRequest(const DeviceRequest& setup, uint8_t* data,
                                              ClassFeatureUnit& unit) {
    const uint8_t control = uint8_t(setup.wValue >> 8);
    const uint8_t channel = uint8_t(setup.wValue);
    const bool in = setup.bmRequestType == kClassInterfaceIn;
    if (control == kMuteControl) {
        if (!unit.mute || channel != 0 || setup.wLength != 1) return ControlResult::stall();
        if (in) {
            if (setup.bRequest != kGetCur) return ControlResult::stall();
            data[0] = mMutes[unit.id];
            return ControlResult::ok(1);
        }
        if (setup.bRequest != kSetCur || data[0] > 1) return ControlResult::stall();
        mMutes[unit.id] = data[0];
        return ControlResult::ok(1);
    }
    if (control != kVolumeControl || setup.wLength != 2) return ControlResult::stall();
    // A master-only unit answers channel 0; a per-channel unit 1..n.
    const bool master = unit.channels < 0;
    if (master ? channel != 0 : (channel < 1 || channel > unit.channels))
        return ControlResult::stall();
    std::vector<int16_t>& values = mVolumes[unit.id];
    int16_t& value = values[master ? 0 : channel];
    if (in) {
        int16_t v = 0;
        switch (setup.bRequest) {
        case kGetCur:
            v = value;
            break;
        case kGetMin:
            v = unit.min;
            break;
        case kGetMax:
            v = unit.max;
            break;
        case kGetRes:
            v = unit.res;
            break;
        default:
            return ControlResult::stall();
        }
        data[0] = uint8_t(uint16_t(v));
        data[1] = uint8_t(uint16_t(v) >> 8);
        return ControlResult::ok(2);
    }
    if (setup.bRequest != kSetCur) return ControlResult::stall();
    const int16_t v = int16_t(uint16_t(data[0] | data[1] << 8));
    if (v < unit.min || v > unit.max) return ControlResult::stall();
    value = v;
    return ControlResult::ok(2);
}

ControlResult ClassAudioModel::selectorRequest(const DeviceRequest& setup, uint8_t* data,
                                               ClassSelectorUnit& unit) {
    if (setup.wValue != 0 || setup.wLength != 1) return ControlResult::stall();
    if (setup.bmRequestType == kClassInterfaceIn) {
        switch (setup.bRequest) {
        case kGetCur:
            data[0] = mSelectors[unit.id];
            break;
        case kGetMin:
            data[0] = 1;
            break;
        case kGetMax:
            data[0] = unit.inputs;
            break;
        case kGetRes:
            data[0] = 1;
            break;
        default:
            return ControlResult::stall();
        }
        return ControlResult::ok(1);
    }
    if (setup.bRequest != kSetCur || data[0] < 1 || data[0] > unit.inputs)
        return ControlResult::stall();
    mSelectors[unit.id] = data[0];
    return ControlResult::ok(1);
}

namespace {

// Bytes a sample on an alternate: 1 carries 16 bits, 2 24 bits; 0 when the
// interface does not stream.
uint32_t sampleBytesOf(std::optional<uint8_t> alternate) {
    if (!alternate) return 0;
    return *alternate == 1 ? 2 : *alternate == 2 ? 3 : 0;
}

} // namespace

void ClassAudioModel::followAlternates(uint8_t outInterface) {
    uint32_t out = 0;
    if (outInterface) {
        out = sampleBytesOf(alternateLocked(outInterface));
    } else {
        out = sampleBytesOf(alternateLocked(1));
        if (!out && mLayout.secondOutput) out = sampleBytesOf(alternateLocked(3));
    }
    setWireFormatLocked(sampleBytesOf(alternateLocked(2)), out);
}

IsochResult ClassAudioModel::streamIn(uint8_t address, const IsochSlot& slot, uint8_t* data,
                                      uint32_t capacity) {
    followAlternates(0);
    return HX5100Model::streamIn(address, slot, data, capacity);
}

IsochResult ClassAudioModel::streamOut(uint8_t address, const IsochSlot& slot, const uint8_t* data,
                                       uint32_t length) {
    followAlternates(address == 0x03 && mLayout.secondOutput ? 3 : 1);
    // The second output interface feeds the same converter.
    if (address == 0x03 && mLayout.secondOutput)
        return HX5100Model::streamOut(0x01, slot, data, length);
    return HX5100Model::streamOut(address, slot, data, length);
}

} // namespace hx::usb::devices
