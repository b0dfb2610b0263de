// A device streaming plain interleaved PCM over interrupt endpoints (the
// MRW30 kind) on the simulated bus (high speed).
//
// Interfaces: 0 control (vendor 255/1, no endpoints); 1 output and 2 input
// (vendor 255/0): alternate 0 without endpoints, alternate k carrying the
// k-th channel count of the layout, with a format record (24 bits in 4-byte
// subframes, 44.1 to 96 kHz) and one interrupt endpoint every microframe
// (OUT 0x01, IN 0x82) whose packet holds `framesPerPacket` frames: packet
// sizes differ by channel count; 3 MIDI (class 1/3, no endpoints).
//
// Wire: signed 32-bit little-endian samples, the 24-bit value in bits
// 31..8, frames interleaved, whole frames a packet. IN: a packet as soon as
// the device has its frames (NAK before); OUT: a packet is taken when the
// playback FIFO has room for its frames (NAK before); packets that are not
// whole frames are counted.
//
// Requests: the HX-5100's, with the sampling frequency answered on
// endpoints 0, 0x01 and 0x82.
#pragma once

#include "platform/usb/devices/ChannelStream.h"
#include "platform/usb/devices/HX5100Model.h"
#include "platform/usb/devices/TransferKnobs.h"

#include <vector>

namespace hx::usb::devices {

struct InterruptPcmLayout {
    std::vector<uint32_t> channelCounts = {2, 4, 8}; // alternates 1, 2, 3
    uint32_t framesPerPacket = 16;
};

struct InterruptPcmStats {
    uint64_t inPackets = 0;
    uint64_t outPackets = 0;
    uint64_t outBadPackets = 0; // not whole frames
};

class InterruptPcmModel : public ChannelStreamModel<HX5100Model> {
public:
    static constexpr uint8_t kOut = 0x01;
    static constexpr uint8_t kIn = 0x82;

    InterruptPcmModel(HX5100Identity identity, InterruptPcmLayout layout = {});

    std::span<const uint8_t> configurationDescriptor(uint8_t index) const override;
    // Its FIFO is small (nakPacedFifoFrames): it takes an OUT packet as soon
    // as there is room, one each microframe.
    void configureChannels(const ChannelStreamConfig& config) override;
    uint32_t fifoFramesAt(uint32_t rate) const {
        return nakPacedFifoFrames(rate, mLayout.framesPerPacket);
    }
    uint32_t rate() const;
    InterruptPcmStats stats() const;

protected:
    ControlResult classOrVendorRequest(const StandardUSB::DeviceRequest& setup,
                                       uint8_t* data) override;
    IsochResult bulkOut(uint8_t address, uint64_t frame, const uint8_t* data,
                        uint32_t length) override;
    IsochResult bulkIn(uint8_t address, uint64_t frame, uint8_t* data, uint32_t capacity) override;
    void onBusReset() override;
    void onSetConfiguration(uint8_t value) override;

private:
    // Follows the active alternates' channel counts (under the lock).
    void followAlternates();
    // The FIFO the configuration asked for, capped at the rate's (under the
    // lock).
    void capFifo();

    InterruptPcmLayout mLayout;
    std::vector<uint8_t> mConfiguration;
    uint32_t mRate = kPowerOnSampleRate;
    uint32_t mAskedFifoFrames = UINT32_MAX;
    uint32_t mIns = 0, mOuts = 0;
    InterruptPcmStats mStats;
};

} // namespace hx::usb::devices
