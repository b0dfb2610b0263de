// Fault knobs of a device model's bulk and interrupt endpoints, armed by
// tests and the harness: NAK for a while, a stall, a short packet, an error
// status. A model asks `take` at the start of every transaction on the
// endpoint; an armed fault answers in its place. Under the model's lock.
#pragma once

#include "platform/usb/DeviceModel.h"

#include <map>
#include <optional>

namespace hx::usb::devices {

struct EndpointFault {
    uint32_t nakMs = 0;  // NAK every transaction for this long from the next one
    uint32_t stalls = 0; // the next transactions stall
    uint32_t errors = 0; // the next transactions end with `errorStatus`
    IOReturn errorStatus = kIOReturnNotResponding;
    uint32_t shortPackets = 0; // the next IN packets carry only `shortBytes`
    uint32_t shortBytes = 0;
};

class TransferKnobs {
public:
    void arm(uint8_t address, const EndpointFault& fault) { mFaults[address] = fault; }
    void clear() { mFaults.clear(); }

    // The answer of an armed fault to a transaction at `frame`, if any.
    std::optional<IsochResult> take(uint8_t address, uint64_t frame) {
        auto it = mFaults.find(address);
        if (it == mFaults.end()) return std::nullopt;
        EndpointFault& f = it->second;
        if (f.nakMs) {
            auto until = mNakUntil.try_emplace(address, frame + f.nakMs).first->second;
            if (frame < until) return IsochResult{kIOReturnNotReady, 0};
            f.nakMs = 0;
            mNakUntil.erase(address);
        }
        if (f.stalls) {
            --f.stalls;
            return IsochResult{kUSBHostReturnPipeStalled, 0};
        }
        if (f.errors) {
            --f.errors;
            return IsochResult{f.errorStatus, 0};
        }
        return std::nullopt;
    }

    // Bytes the next IN packet may carry at most (its own size when no short
    // packet is armed); counts the short packet down.
    uint32_t packetLimit(uint8_t address, uint32_t size) {
        auto it = mFaults.find(address);
        if (it == mFaults.end() || !it->second.shortPackets) return size;
        --it->second.shortPackets;
        return std::min(size, it->second.shortBytes);
    }

private:
    std::map<uint8_t, EndpointFault> mFaults;
    std::map<uint8_t, uint64_t> mNakUntil;
};

} // namespace hx::usb::devices
