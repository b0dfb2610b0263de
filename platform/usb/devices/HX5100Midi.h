// The HX-5100's MIDI and status port (interface 3): what bulk OUT 0x03
// receives is recorded; interrupt IN 0x83 sends USB-MIDI event words
// `0B B0 cc vv`, ended by a zero word when there is room:
//   102, 103  status values 1 and 2, when they change
//   104       the mode byte (port register 2) when it changes; bit 1 is the
//             launch button, set while the button is up
//   105, 106  footswitch release and press (test knob)
//   107..117  levels, every 20 ms
// A transfer carries at most two words at full speed and 15 at high speed.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

namespace hx::usb::devices {

struct HX5100MidiByte {
    uint8_t byte;
    uint64_t frame; // bus frame the packet arrived in
};

class HX5100Midi {
public:
    static constexpr uint8_t kOutEndpoint = 0x03;
    static constexpr uint8_t kInEndpoint = 0x83;
    static constexpr uint64_t kLevelPeriodFrames = 20;
    static constexpr uint32_t kLevelControllers = 11; // 107..117

    // Bytes of every OUT packet, in order.
    std::vector<uint8_t> packetBytes() const;
    // The OUT packets as they came.
    const std::vector<std::vector<uint8_t>>& packets() const { return mPackets; }
    uint64_t lastPacketFrame() const { return mLastPacketFrame; }

    void setStatusValues(uint8_t v1, uint8_t v2);
    // Queues any event words (little-endian u32s as the wire carries them).
    void queueWords(const std::vector<uint32_t>& words);
    void queueRawBytes(const std::vector<uint8_t>& bytes);
    void footswitch(bool press, uint8_t value);
    void setLevels(const uint8_t (&levels)[kLevelControllers]);
    // Called when the mode byte changed (launch button, register write).
    void modeByteChanged(uint8_t mode);
    // Loop mode: OUT bytes come back on IN as raw bytes, no event words.
    void setLoop(bool loop) { mLoop = loop; }

    void out(uint64_t frame, const uint8_t* data, uint32_t length);
    // Fills one interrupt IN transfer; 0 bytes: nothing to send (NAK).
    uint32_t in(uint64_t frame, bool highSpeed, uint8_t* data, uint32_t capacity);
    uint64_t wordsSent() const { return mWordsSent; }

private:
    static uint32_t word(uint8_t cc, uint8_t value) {
        return 0xB00Bu | uint32_t(cc) << 16 | uint32_t(value) << 24;
    }
    std::vector<std::vector<uint8_t>> mPackets;
    uint64_t mLastPacketFrame = 0;
    std::deque<uint32_t> mWords;
    std::deque<uint8_t> mRaw;
    uint8_t mStatus[2] = {0, 0};
    uint8_t mLevels[kLevelControllers] = {};
    uint64_t mLastLevelFrame = 0;
    uint64_t mWordsSent = 0;
    bool mLoop = false;
};

} // namespace hx::usb::devices
