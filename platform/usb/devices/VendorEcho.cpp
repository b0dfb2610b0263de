#include "platform/usb/devices/VendorEcho.h"

#include <algorithm>
#include <cstring>

namespace hx::usb::devices {

void VendorEcho::out(const uint8_t* data, uint32_t length) {
    mReceived += length;
    if (length) mPending.emplace_back(data, data + length);
}

uint32_t VendorEcho::in(uint8_t* data, uint32_t capacity) {
    if (mPending.empty() || capacity == 0) return 0;
    std::vector<uint8_t>& front = mPending.front();
    const uint32_t n = std::min<uint32_t>(capacity, (uint32_t)front.size());
    std::memcpy(data, front.data(), n);
    front.erase(front.begin(), front.begin() + n);
    if (front.empty()) mPending.pop_front();
    mSent += n;
    return n;
}

} // namespace hx::usb::devices
