// A Sorvik device's control plane on the simulated bus: the HX-5100's
// descriptors and requests (it streams nothing), and the Sorvik vendor
// requests of the UID, the device name and the channel map.
//
// Requests: vendor IN 0 (device, 8 bytes) answers the UID; vendor IN 1
// (device, 32 bytes) the name; vendor OUT 1 (device, 32 bytes) stores the
// name; vendor OUT 1 on an interface (8 bytes) stores that interface's
// channel map; vendor OUT 0x03 (like the HX-5100's 0x52) is acknowledged and
// re-enumerates the device, its state kept.
//
// Power-on state: the UID and name given at construction, no channel map
// received, and the HX-5100's power-on state for the rest.
//
// First-generation layout (Farlane1): its own descriptors instead of the
// HX-5100's: vendor interfaces 0 (output, OUT 0x01) and 1 (input, IN 0x82),
// class 255/0/0, alternates 1..7 each with one isochronous endpoint (and a
// class-specific endpoint descriptor with bit 7 clear), no format records
// (the driver knows them). The device runs at 48 kHz on the HX-5100's
// stream engine (2 channels of 24 bits). Every OUT packet opens with a
// 104-byte header, which is checked: byte 0 the packet's frames, bytes 2..5
// the running total of frames big-endian, byte 1 the index of the first
// non-zero extra byte from byte 6 (255 when none), bytes 100..103 zero. The
// extra bytes are recorded, the audio from byte 104 is played, and the
// input is the standard capture (the loopback too). Vendor OUT 0 to an
// interface (wValue the resolution, no data) is acknowledged and recorded.
// The device release is the identity's (3 in the field).
#pragma once

#include "platform/usb/devices/HX5100Model.h"

#include <array>
#include <map>
#include <optional>
#include <utility>
#include <vector>
#include <string>

namespace hx::usb::devices {

enum class SorvikLayout { ControlPlane, Farlane1 };

// What the first-generation device saw in its OUT headers.
struct SorvikHeaderStats {
    uint64_t packets = 0;
    uint64_t badFrames = 0;    // byte 0 is not the frames of a packet that carries audio
    uint64_t badTotal = 0;     // bytes 2..5 do not continue the running total
    uint64_t badTail = 0;      // bytes 100..103 not zero
    uint64_t badIndex = 0;     // byte 1 is not the first non-zero extra byte
    uint64_t shortPackets = 0; // below the header's size
};

class SorvikModel : public HX5100Model {
public:
    SorvikModel(uint8_t speed, HX5100Identity identity, std::array<uint8_t, 8> uid,
                std::string name, SorvikLayout layout = SorvikLayout::ControlPlane);

    std::span<const uint8_t> configurationDescriptor(uint8_t index) const override;
    SorvikHeaderStats headerStats() const;
    // Forgets the headers seen so far (a new stream starts its own total).
    void clearHeaders();
    // Every OUT packet's header as received, in arrival order: its frames,
    // its running total and its extra bytes (bytes 6 up to 6 + 2 x frames,
    // at most to byte 99).
    struct OutHeader {
        uint8_t frames;
        uint32_t total;
        std::vector<uint8_t> extra;
    };
    std::vector<OutHeader> outHeaders() const;
    // Vendor OUT 0 requests as {interface, resolution}, in order.
    std::vector<std::pair<uint8_t, uint16_t>> resolutionRequests() const;

    std::string name() const;
    // The last map bytes an interface received; empty when none came.
    std::vector<uint8_t> channelMap(uint8_t interfaceNumber) const;
    // Interfaces in the order their maps arrived.
    std::vector<uint8_t> mapOrder() const;

protected:
    ControlResult classOrVendorRequest(const StandardUSB::DeviceRequest& setup,
                                       uint8_t* data) override;
    IsochResult streamOut(uint8_t address, const IsochSlot& slot, const uint8_t* data,
                          uint32_t length) override;
    IsochResult streamIn(uint8_t address, const IsochSlot& slot, uint8_t* data,
                         uint32_t capacity) override;

private:
    void checkHeader(const uint8_t* data, uint32_t length);

    SorvikLayout mLayout;
    std::vector<uint8_t> mConfiguration;
    SorvikHeaderStats mHeaders;
    std::optional<uint32_t> mTotal; // the running total the last header announced
    std::vector<OutHeader> mOutHeaders;
    std::vector<std::pair<uint8_t, uint16_t>> mResolutions;
    std::array<uint8_t, 8> mUID;
    std::array<uint8_t, 32> mName{};
    std::map<uint8_t, std::vector<uint8_t>> mMaps;
    std::vector<uint8_t> mMapOrder;
};

} // namespace hx::usb::devices
