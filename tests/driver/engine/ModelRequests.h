// Control requests as a simulated device saw them, compared as
// {bmRequestType, bRequest, wValue, wIndex, wLength}, and the HX-5100
// requests the configuration path sends.
#pragma once

#include "driver/engine/ZrDeviceRequests.h"
#include "platform/usb/DeviceModel.h"

#include <cstdint>
#include <ostream>
#include <vector>

namespace enginetest {

struct Req {
    uint8_t type, request;
    uint16_t value, index, length;
    bool operator==(const Req&) const = default;
};

inline std::ostream& operator<<(std::ostream& o, const Req& r) {
    return o << std::hex << "{" << int(r.type) << " " << int(r.request) << " " << r.value << " "
             << r.index << " " << r.length << "}" << std::dec << " ("
             << zrDeviceRequestName(r.type, r.request) << ")";
}

// The default-pipe requests the model answered, in order.
inline std::vector<Req> requestsOf(const hx::usb::DeviceModel& model) {
    std::vector<Req> out;
    for (const hx::usb::TraceEntry& e : model.trace())
        out.push_back({e.setup.bmRequestType, e.setup.bRequest, e.setup.wValue, e.setup.wIndex,
                       e.setup.wLength});
    return out;
}

inline constexpr Req kReadSelector{0xC0, kReqRegister, 0, 0, 1};
inline constexpr Req kReadPort2{0xC0, kReqRegister, 0, 1, 1};
inline constexpr Req kMixer{0x40, kReqMixer, 0, 0, 64};
inline constexpr Req kGetRate{0xA2, kZrGetCur, 0x100, 0, 3};
inline constexpr Req kSetRateIn{0x22, kZrSetCur, 0x100, 0x82, 3};
inline constexpr Req kSetRateOut{0x22, kZrSetCur, 0x100, 0x01, 3};

} // namespace enginetest
