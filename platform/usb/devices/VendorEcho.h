// The Farlane-2 device's vendor interface: a bulk OUT and a bulk IN
// endpoint that echo. Every OUT packet is kept whole and sent back, in
// order, as IN packets of at most the IN capacity; the IN endpoint NAKs
// while nothing is waiting. The owner runs it under its lock.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

namespace hx::usb::devices {

class VendorEcho {
public:
    static constexpr uint8_t kOut = 0x04;
    static constexpr uint8_t kIn = 0x84;
    static constexpr uint16_t kMaxPacket = 512;

    // Takes an OUT packet; always accepted.
    void out(const uint8_t* data, uint32_t length);
    // The next IN packet, or 0 bytes when nothing waits (a NAK).
    uint32_t in(uint8_t* data, uint32_t capacity);

    uint64_t bytesReceived() const { return mReceived; }
    uint64_t bytesSent() const { return mSent; }
    void reset() { mPending.clear(); }

private:
    std::deque<std::vector<uint8_t>> mPending;
    uint64_t mReceived = 0;
    uint64_t mSent = 0;
};

} // namespace hx::usb::devices
