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
#pragma once

#include "platform/usb/devices/HX5100Model.h"

#include <array>
#include <map>
#include <string>

namespace hx::usb::devices {

class SorvikModel : public HX5100Model {
public:
    SorvikModel(uint8_t speed, HX5100Identity identity, std::array<uint8_t, 8> uid,
                std::string name);

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
    std::array<uint8_t, 8> mUID;
    std::array<uint8_t, 32> mName{};
    std::map<uint8_t, std::vector<uint8_t>> mMaps;
    std::vector<uint8_t> mMapOrder;
};

} // namespace hx::usb::devices
