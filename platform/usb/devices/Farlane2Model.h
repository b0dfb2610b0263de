// A second-generation Sorvik device (Farlane-2) on the simulated bus (high
// speed): the Sorvik control plane (SorvikModel) streaming at 48 kHz over
// interrupt endpoints.
//
// Interfaces (vendor 255/0/0): 0 control; 1 input (alternate 1: interrupt IN
// 0x81) and 2 output (alternate 1: interrupt OUT 0x02), both every
// microframe with packets of 32 + 28 x channels bytes; 3 MIDI (the
// HX-5100's MIDI port as a loop: what bulk OUT 0x03 receives comes back on
// interrupt IN 0x83, no status words); 4
// vendor (VendorEcho: bulk OUT 0x04, bulk IN 0x84). The driver builds the
// formats from the packet sizes.
//
// Packets: a 32-byte header, then 7 frames of big-endian 32-bit samples
// (the 24-bit value in bits 31..8). Header: byte 0 the frames (7), byte 1
// the index of the first non-zero extra byte (bytes 4..31, index 0..27) or
// 0xFF, bytes 2..3 a running counter (+7 a packet, big-endian, the first
// packet 7), bytes 4..31 extra bytes. The device checks every OUT header
// and records the extra bytes of packets that carry some; it sends its IN
// headers the same way with no extra bytes.
//
// Requests: the Sorvik model's, plus vendor IN 17 and 18 to an interface
// (wIndex 1 input, 2 output; one byte): the current channel configuration
// (its channel count) and its alternate (1).
#pragma once

#include "platform/usb/devices/ChannelStream.h"
#include "platform/usb/devices/SorvikModel.h"
#include "platform/usb/devices/TransferKnobs.h"
#include "platform/usb/devices/VendorEcho.h"

#include <array>
#include <vector>

namespace hx::usb::devices {

struct Farlane2HeaderStats {
    uint64_t packets = 0;
    uint64_t badFrames = 0;  // byte 0 not 7
    uint64_t badIndex = 0;   // byte 1 not the first non-zero extra byte
    uint64_t badCounter = 0; // bytes 2..3 do not continue the counter
    uint64_t badSize = 0;    // not the packet size
    uint64_t extraPackets = 0;
};

struct Farlane2Stats {
    uint64_t inPackets = 0;
    Farlane2HeaderStats out;
};

class Farlane2Model : public ChannelStreamModel<SorvikModel> {
public:
    static constexpr uint8_t kIn = 0x81;
    static constexpr uint8_t kOut = 0x02;
    static constexpr uint32_t kRate = 48000;
    static constexpr uint32_t kFramesPerPacket = 7;
    static constexpr uint32_t kHeaderBytes = 32;

    Farlane2Model(HX5100Identity identity, std::array<uint8_t, 8> uid, std::string name,
                  uint32_t inputChannels = 4, uint32_t outputChannels = 4);

    std::span<const uint8_t> configurationDescriptor(uint8_t index) const override;
    // Its FIFO is small (nakPacedFifoFrames): it takes an OUT packet as soon
    // as there is room, one each microframe.
    static constexpr uint32_t kFifoFrames = nakPacedFifoFrames(kRate, kFramesPerPacket);
    void configureChannels(const ChannelStreamConfig& config) override;
    uint32_t inPacketBytes() const { return kHeaderBytes + 28 * mIns; }
    uint32_t outPacketBytes() const { return kHeaderBytes + 28 * mOuts; }

    Farlane2Stats stats() const;
    // The extra bytes (28) of OUT packets that carried some, in order (the
    // first 4,096).
    std::vector<std::array<uint8_t, 28>> extraBytes() const;
    uint64_t echoBytes() const;

    // Knobs.
    // The next `packets` IN packets announce 6 frames in byte 0 (their 7
    // frames still follow).
    void sendSixFramePackets(uint32_t packets);

protected:
    ControlResult classOrVendorRequest(const StandardUSB::DeviceRequest& setup,
                                       uint8_t* data) override;
    IsochResult bulkOut(uint8_t address, uint64_t frame, const uint8_t* data,
                        uint32_t length) override;
    IsochResult bulkIn(uint8_t address, uint64_t frame, uint8_t* data, uint32_t capacity) override;
    void onBusReset() override;
    void onSetConfiguration(uint8_t value) override;

private:
    void checkHeader(const uint8_t* data, uint32_t length);

    const uint32_t mIns, mOuts;
    std::vector<uint8_t> mConfiguration;
    // Guarded by the model's lock.
    Farlane2Stats mStats;
    VendorEcho mEcho;
    uint16_t mInCounter = 0;
    std::optional<uint16_t> mOutCounter;
    uint32_t mSixFrameLeft = 0;
    std::vector<std::array<uint8_t, 28>> mExtra;
};

} // namespace hx::usb::devices
