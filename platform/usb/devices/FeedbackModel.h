// A device of the maker's bulk-in/isochronous-out kind on the simulated bus
// (high speed): isochronous output paced by an isochronous feedback
// endpoint, bit-sliced input over bulk.
//
// Interfaces (audio streaming, class 1/2; alternate 0 without endpoints):
//   0 output, alternate 1: isochronous OUT 0x01 (adaptive), m channels of
//     24-bit little-endian samples in 3-byte subframes, 44.1 to 96 kHz;
//   1 input, alternate 1: bulk IN 0x86 (512, the bulk protocol's blocks) and
//     the isochronous feedback IN 0x83 (declared 32 bytes, bInterval 1 or 4).
// Feedback: a 3-byte packet per interval whose byte 0 is the whole frames
// the converter consumed in that period (bytes 1 and 2 zero).
// Requests: the bulk-protocol device's (rate on endpoints 0, 0x01, 0x86,
// register 0 with the DMA width).
#pragma once

#include "platform/usb/devices/ChannelStream.h"
#include "platform/usb/devices/HX5100Model.h"
#include "platform/usb/devices/TransferKnobs.h"

namespace hx::usb::devices {

struct FeedbackLayout {
    uint32_t inputChannels = 2;
    uint32_t outputChannels = 2;
    uint8_t feedbackInterval = 1; // bInterval: 1 (every microframe) or 4 (1 ms)
};

struct FeedbackStats {
    uint64_t inPackets = 0;
    uint64_t outPackets = 0;
    uint64_t outBadPackets = 0; // not whole frames
    uint64_t feedbackPackets = 0;
};

class FeedbackModel : public ChannelStreamModel<HX5100Model> {
public:
    static constexpr uint8_t kOut = 0x01;
    static constexpr uint8_t kBulkIn = 0x86;
    static constexpr uint8_t kFeedback = 0x83;

    FeedbackModel(HX5100Identity identity, FeedbackLayout layout = {});

    std::span<const uint8_t> configurationDescriptor(uint8_t index) const override;
    // Its converter starts once the FIFO holds 2 ms of frames at the
    // current rate (unless the configuration names a level), as the
    // HX-5100's does: the host's packets follow the feedback a pattern
    // cycle late and vary by a frame a microframe.
    void configureChannels(const ChannelStreamConfig& config) override;
    uint32_t rate() const;
    FeedbackStats stats() const;

    // Knobs.
    // The next `packets` feedback packets are 2 bytes long.
    void sendShortFeedback(uint32_t packets);
    // The next `packets` feedback packets report `value` frames.
    void sendFeedbackValue(uint32_t packets, uint8_t value);

protected:
    ControlResult classOrVendorRequest(const StandardUSB::DeviceRequest& setup,
                                       uint8_t* data) override;
    IsochResult streamOut(uint8_t address, const IsochSlot& slot, const uint8_t* data,
                          uint32_t length) override;
    IsochResult streamIn(uint8_t address, const IsochSlot& slot, uint8_t* data,
                         uint32_t capacity) override;
    IsochResult bulkIn(uint8_t address, uint64_t frame, uint8_t* data, uint32_t capacity) override;
    void onBusReset() override;
    void onSetConfiguration(uint8_t value) override;

private:
    void applyChannelConfig();

    FeedbackLayout mLayout;
    ChannelStreamConfig mChannelConfig;
    std::vector<uint8_t> mConfiguration;
    uint32_t mRate = kPowerOnSampleRate;
    uint32_t mUnitBytes = 2;
    FeedbackStats mStats;
    uint32_t mShortFeedbackLeft = 0;
    uint32_t mValueLeft = 0;
    uint8_t mValue = 0;
};

} // namespace hx::usb::devices
