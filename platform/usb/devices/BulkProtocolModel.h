// A device of the maker's bulk protocol on the simulated bus (high speed):
// bit-sliced audio over a bulk IN and a bulk OUT endpoint, an isochronous
// keep-alive stream beside them and an interrupt IN endpoint for MIDI.
//
// Interfaces (audio streaming, class 1/2; alternate 0 without endpoints,
// alternate 1 with the endpoints and a format record: m or n channels of 24
// bits in 4-byte subframes, 44.1, 48, 88.2 and 96 kHz):
//   0 output: bulk OUT 0x05 (512), isochronous keep-alive OUT 0x01 (8 bytes,
//     every microframe), interrupt IN 0x83 (64 bytes, every 1 ms; MIDI,
//     NAKs while nothing is queued)
//   1 input: bulk IN 0x86 (512)
// Interrupt variant: the audio endpoints are interrupt endpoints of 964
// bytes (OUT 0x05) and 1,024 bytes (IN 0x86), every microframe.
// 2 to 32 inputs, 2 to 16 outputs (Brava: 8, 16 or 32 each way).
//
// Requests: the HX-5100's, plus the sampling frequency (GET_CUR/SET_CUR on
// endpoints 0, 0x05 and 0x86). Writing register 0 (vendor 0x49 OUT, wIndex
// 0) also sets the DMA width: bit 0x20 set, byte units (8 frames a 512-byte
// IN block); clear, 16-bit units (4 frames).
//
// Audio: an IN packet goes out per 8 (or 4) captured frames, twice that in a
// 1,024-byte packet; the endpoint NAKs until the device has them. An OUT
// packet of 10 frames (20 in 964 bytes) is taken when the playback FIFO has
// room for it, else NAKed; its MIDI and control bytes (480/481, or
// 432/433 and 914/915) are recorded. Keep-alive packets are counted, and so
// are gaps (a (micro)frame without one after the first).
//
// MIDI loop: the MIDI bytes of the OUT packets come back on interrupt IN
// 0x83 (NAKed while none wait), in the layout the rate selects: up to 48 kHz
// four MIDI bytes and a control byte (0xFF), 0xFD where no byte is; at 88.2
// and 96 kHz one MIDI byte and a control byte, or, in the interrupt variant,
// two MIDI bytes.
#pragma once

#include "platform/usb/devices/BitSliceCodec.h"
#include "platform/usb/devices/ChannelStream.h"
#include "platform/usb/devices/HX5100Model.h"
#include "platform/usb/devices/TransferKnobs.h"

#include <algorithm>
#include <deque>
#include <utility>
#include <vector>

namespace hx::usb::devices {

struct BulkProtocolLayout {
    uint32_t inputChannels = 2;  // 2..32, even
    uint32_t outputChannels = 2; // 2..16, even
    bool interruptTransfers = false;
    // 10 outputs in the fifth-lane layout (channels 8 and 9 on lane 4, half
    // a frame late), as the maker's two products with it take them; they
    // play one frame later.
    bool fifthLane = false;
    // The Brava product's word formats instead of bit slices: 8, 16 or 32
    // channels each way, 32 / channels x 4 frames a 512-byte IN block and
    // 32 / channels x 5 an OUT packet (bulk only).
    bool brava = false;
};

struct BulkProtocolStats {
    uint64_t inPackets = 0;
    uint64_t outPackets = 0;
    uint64_t outBadPackets = 0; // not the packet size
    uint64_t keepAlivePackets = 0;
    uint64_t keepAliveGaps = 0;
    uint64_t midiBytes = 0;    // MIDI slots other than 0xFD
    uint64_t controlBytes = 0; // control slots other than 0xFF
};

class BulkProtocolModel : public ChannelStreamModel<HX5100Model> {
public:
    static constexpr uint8_t kBulkOut = 0x05;
    static constexpr uint8_t kBulkIn = 0x86;
    static constexpr uint8_t kKeepAlive = 0x01;
    static constexpr uint8_t kMidiIn = 0x83;
    // The playback FIFO is small (nakPacedFifoFrames): the device takes an
    // OUT packet as soon as it has room for it, and the host polls every
    // microframe.
    static constexpr uint32_t fifoFramesAt(uint32_t rate, uint32_t packetFrames = 10) {
        return nakPacedFifoFrames(rate, packetFrames);
    }
    // The small FIFO caps any configuration's capacity.
    void configureChannels(const ChannelStreamConfig& config) override;

    BulkProtocolModel(HX5100Identity identity, BulkProtocolLayout layout);

    std::span<const uint8_t> configurationDescriptor(uint8_t index) const override;
    const BulkProtocolLayout& layout() const { return mLayout; }

    uint32_t rate() const;
    // 1 (byte units) or 2 (16-bit units), as register 0 last set it.
    uint32_t dmaUnitBytes() const;
    uint32_t inFramesPerPacket() const;
    uint32_t outFramesPerPacket() const;

    BulkProtocolStats stats() const;
    // Every OUT packet's MIDI and control bytes, in order (the first 65,536).
    std::vector<std::pair<uint8_t, uint8_t>> midiControlBytes() const;
    // The bus frame of the OUT packet that carried the latest MIDI byte.
    uint64_t midiLastFrame() const;
    // Bytes an IN packet of the MIDI loop carries in the current layout.
    uint32_t midiLoopPacketBytes() const;

    // Knobs.

protected:
    ControlResult classOrVendorRequest(const StandardUSB::DeviceRequest& setup,
                                       uint8_t* data) override;
    IsochResult streamOut(uint8_t address, const IsochSlot& slot, const uint8_t* data,
                          uint32_t length) override;
    IsochResult streamIn(uint8_t address, const IsochSlot& slot, uint8_t* data,
                         uint32_t capacity) override;
    IsochResult bulkOut(uint8_t address, uint64_t frame, const uint8_t* data,
                        uint32_t length) override;
    IsochResult bulkIn(uint8_t address, uint64_t frame, uint8_t* data, uint32_t capacity) override;
    void onBusReset() override;
    void onSetConfiguration(uint8_t value) override;

private:
    ControlResult frequencyRequest(const StandardUSB::DeviceRequest& setup, uint8_t* data);
    uint32_t inPacketBytes() const { return mLayout.interruptTransfers ? 1024 : 512; }
    uint32_t outPacketBytes() const { return mLayout.interruptTransfers ? 964 : 512; }
    uint32_t inFramesPerBlock() const; // under the lock
    uint32_t inFrames() const;         // under the lock
    uint32_t outFrames() const;        // under the lock
    void recordMidiControl(uint8_t midi, uint8_t control, uint64_t frame);
    uint32_t midiLoopIn(uint8_t* data, uint32_t capacity); // under the lock
    // The FIFO the configuration asked for, capped at the rate's (under the
    // lock).
    void capFifo();

    BulkProtocolLayout mLayout;
    std::vector<uint8_t> mConfiguration;
    // Guarded by the model's lock.
    uint32_t mRate = kPowerOnSampleRate;
    uint32_t mAskedFifoFrames = UINT32_MAX;
    uint32_t mUnitBytes = 2;
    BulkProtocolStats mStats;
    std::optional<uint64_t> mLastKeepAliveUnit;
    std::vector<std::pair<uint8_t, uint8_t>> mMidiControl;
    bitslice::FifthLaneDecoder mFifthLane{10};
    std::deque<uint8_t> mMidiLoop;
    uint64_t mMidiLastFrame = 0;
};

} // namespace hx::usb::devices
