// The device side of the simulated bus: what a USB device answers on its
// default pipe.
//
// Standard requests are answered here, once, from the model's descriptor
// data: GET_DESCRIPTOR (device, configuration, string), SET_CONFIGURATION,
// GET_CONFIGURATION, SET_INTERFACE and CLEAR_FEATURE(ENDPOINT_HALT) on an
// endpoint of an active alternate setting. A model adds class and vendor
// requests only. Replies are cut to wLength; an unknown request, value or
// index stalls, it never succeeds silently. Every request the device
// receives is kept in a trace.
#pragma once

#include "platform/usb/StandardUSB.h"

#include <atomic>
#include <bitset>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace hx::usb {

struct ControlResult {
    IOReturn status;
    uint32_t length; // bytes of the data stage that moved

    static ControlResult ok(uint32_t length = 0) { return {kIOReturnSuccess, length}; }
    static ControlResult stall() { return {kUSBHostReturnPipeStalled, 0}; }
};

// Where on the bus an isochronous packet is served: its frame, its
// microframe (0 at full speed) and the packet's period, all on the grid of
// 125 us units the bus counts (unit = frame x 8 + microframe).
struct IsochSlot {
    uint64_t frame;
    uint8_t microframe;
    uint64_t unit;
    uint32_t periodUnits; // 8 for a full-speed frame, 1 for a microframe
};

struct IsochResult {
    IOReturn status;
    uint32_t length; // bytes the device sent (IN) or took (OUT)
};

struct TraceEntry {
    StandardUSB::DeviceRequest setup;
    std::vector<uint8_t> dataOut; // the host's data stage (OUT requests)
    IOReturn status;
    uint32_t length;
};

class DeviceModel {
public:
    explicit DeviceModel(uint8_t speed) : mSpeed(speed) {}
    virtual ~DeviceModel() = default;
    DeviceModel(const DeviceModel&) = delete;
    DeviceModel& operator=(const DeviceModel&) = delete;

    // kUSBHostConnectionSpeedFull or kUSBHostConnectionSpeedHigh.
    uint8_t speed() const { return mSpeed; }

    // Descriptor data at this speed.
    virtual std::span<const uint8_t> deviceDescriptor() const = 0;
    // Configuration set by index (0-based); empty when there is none.
    virtual std::span<const uint8_t> configurationDescriptor(uint8_t index) const = 0;
    // String descriptor bytes; index 0 is the language table.
    virtual std::optional<std::vector<uint8_t>> stringDescriptor(uint8_t index,
                                                                 uint16_t language) const = 0;

    // One control transfer as the device sees it. `data` holds wLength bytes:
    // the host's data for OUT, room for the reply for IN.
    ControlResult control(const StandardUSB::DeviceRequest& setup, uint8_t* data);
    // One isochronous packet as the device sees it at its (micro)frame. An
    // endpoint outside the active alternate settings does not answer
    // (kIOReturnNotResponding, 0 bytes). IN fills at most `capacity` bytes.
    IsochResult isochronousOut(uint8_t address, const IsochSlot& slot, const uint8_t* data,
                               uint32_t length);
    IsochResult isochronousIn(uint8_t address, const IsochSlot& slot, uint8_t* data,
                              uint32_t capacity);

    // One bulk or interrupt transaction at a bus frame, in grid unit `unit`
    // (its 125 us microframe; by default the frame's first). An endpoint
    // outside the active alternate settings does not answer.
    // kIOReturnNotReady is the device's NAK: the host tries again later. IN
    // fills at most `capacity` bytes.
    static constexpr uint64_t kFrameStartUnit = UINT64_MAX;
    IsochResult transferOut(uint8_t address, uint64_t frame, const uint8_t* data, uint32_t length,
                            uint64_t unit = kFrameStartUnit);
    IsochResult transferIn(uint8_t address, uint64_t frame, uint8_t* data, uint32_t capacity,
                           uint64_t unit = kFrameStartUnit);

    // A bus reset: back to the unconfigured state.
    void busReset();

    uint8_t configurationValue() const;
    std::optional<uint8_t> alternateSetting(uint8_t interfaceNumber) const;

    std::vector<TraceEntry> trace() const;
    void clearTrace();

    // Set by a request after which the device re-enumerates (a replug
    // command); the bus takes it once and re-enumerates the port.
    bool takeReEnumerationRequest() { return mReEnumerate.exchange(false); }

protected:
    // Class and vendor requests; runs under the model's lock.
    virtual ControlResult classOrVendorRequest(const StandardUSB::DeviceRequest& setup,
                                               uint8_t* data);
    virtual void onBusReset() {}
    // After a SET_CONFIGURATION the device accepted (under the model's lock).
    virtual void onSetConfiguration(uint8_t /*value*/) {}
    // Streaming endpoints; run under the model's lock for active endpoints
    // only. The defaults move nothing.
    virtual IsochResult streamOut(uint8_t address, const IsochSlot& slot, const uint8_t* data,
                                  uint32_t length);
    virtual IsochResult streamIn(uint8_t address, const IsochSlot& slot, uint8_t* data,
                                 uint32_t capacity);

    // Bulk and interrupt endpoints; run under the model's lock for active
    // endpoints only. The defaults NAK.
    virtual IsochResult bulkOut(uint8_t address, uint64_t frame, const uint8_t* data,
                                uint32_t length);
    virtual IsochResult bulkIn(uint8_t address, uint64_t frame, uint8_t* data, uint32_t capacity);
    // The grid unit of the bulk or interrupt transaction being served (under
    // the lock, inside bulkOut and bulkIn): a device with its own clock
    // moves it there.
    uint64_t transferUnit() const { return mTransferUnit; }

    // The active configuration set, or null while unconfigured (under lock).
    const StandardUSB::ConfigurationDescriptor* activeConfiguration() const;
    bool endpointIsActive(uint8_t address) const;
    // An interface's alternate setting while configured (under lock).
    std::optional<uint8_t> alternateLocked(uint8_t interfaceNumber) const;
    void requestReEnumeration() { mReEnumerate.store(true); }

    mutable std::mutex mLock;

private:
    ControlResult standardRequest(const StandardUSB::DeviceRequest& setup, uint8_t* data);
    const StandardUSB::ConfigurationDescriptor* configurationWithValue(uint8_t value) const;
    void updateActiveEndpoints();

    const uint8_t mSpeed;
    uint8_t mConfiguration = 0;
    std::map<uint8_t, uint8_t> mAlternate; // interface number -> alternate setting
    std::bitset<256> mActiveEndpoints;     // by address: endpoints of the active alternates
    std::vector<TraceEntry> mTrace;
    std::atomic<bool> mReEnumerate{false};
    uint64_t mTransferUnit = 0; // under the lock
};

} // namespace hx::usb
