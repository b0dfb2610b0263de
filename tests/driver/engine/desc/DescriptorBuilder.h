// Builds configuration descriptor sets for the descriptor model's tests and
// the fuzz corpus, one descriptor per call, with wTotalLength computed.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

class DescriptorBuilder {
public:
    DescriptorBuilder& config(uint8_t numInterfaces, uint8_t value = 1) {
        add({9, 2, 0, 0, numInterfaces, value, 0, 0x80, 250});
        return *this;
    }
    DescriptorBuilder& iface(uint8_t number, uint8_t alt, uint8_t endpoints, uint8_t cls,
                             uint8_t sub) {
        add({9, 4, number, alt, endpoints, cls, sub, 0, 0});
        return *this;
    }
    // 7-byte endpoint.
    DescriptorBuilder& ep(uint8_t address, uint8_t attributes, uint16_t maxPacket,
                          uint8_t interval) {
        add({7, 5, address, attributes, uint8_t(maxPacket), uint8_t(maxPacket >> 8), interval});
        return *this;
    }
    // Class-specific isochronous endpoint: sampling-frequency control.
    DescriptorBuilder& csEp() {
        add({7, 0x25, 1, 1, 0, 0, 0});
        return *this;
    }
    // Type I format with a discrete rate list.
    DescriptorBuilder& format(uint8_t channels, uint8_t bits,
                              std::initializer_list<uint32_t> rates) {
        uint8_t sub = bits <= 16 ? 2 : bits <= 24 ? 3 : 4;
        std::vector<uint8_t> d = {uint8_t(8 + 3 * rates.size()), 0x24, 2, 1, channels, sub, bits,
                                  uint8_t(rates.size())};
        for (uint32_t r : rates) {
            d.push_back(uint8_t(r));
            d.push_back(uint8_t(r >> 8));
            d.push_back(uint8_t(r >> 16));
        }
        mBytes.insert(mBytes.end(), d.begin(), d.end());
        fix();
        return *this;
    }
    // Type I format with a continuous range.
    DescriptorBuilder& range(uint8_t channels, uint8_t bits, uint32_t lo, uint32_t hi) {
        add({14, 0x24, 2, 1, channels, uint8_t(bits <= 16 ? 2 : 3), bits, 0, uint8_t(lo),
             uint8_t(lo >> 8), uint8_t(lo >> 16), uint8_t(hi), uint8_t(hi >> 8),
             uint8_t(hi >> 16)});
        return *this;
    }
    DescriptorBuilder& raw(std::initializer_list<uint8_t> bytes) {
        add(bytes);
        return *this;
    }
    const std::vector<uint8_t>& bytes() const { return mBytes; }

private:
    void add(std::initializer_list<uint8_t> bytes) {
        mBytes.insert(mBytes.end(), bytes.begin(), bytes.end());
        fix();
    }
    void fix() {
        if (mBytes.size() >= 4) {
            mBytes[2] = uint8_t(mBytes.size());
            mBytes[3] = uint8_t(mBytes.size() >> 8);
        }
    }
    std::vector<uint8_t> mBytes;
};

// The HX-5100's configuration set as the device presents it: vendor-class
// interfaces 0 (control), 1 (output: alternate 1 16-bit, alternate 2
// 24-bit), 2 (input, the same) and 3 (MIDI and status port over bulk).
// Isochronous sizes: 2 channels x 3 bytes x 49 frames at full speed, 26
// frames per microframe at high speed; the 16-bit alternates 2 bytes.
inline std::vector<uint8_t> hx5100ConfigurationSet(bool highSpeed) {
    const uint16_t pkt24 = highSpeed ? 156 : 294;
    const uint16_t pkt16 = highSpeed ? 104 : 196;
    const uint16_t bulk = highSpeed ? 512 : 64;
    DescriptorBuilder b;
    b.config(4)
        .iface(0, 0, 0, 0xFF, 0)
        .iface(1, 0, 0, 0xFF, 0)
        .iface(1, 1, 1, 0xFF, 0)
        .ep(0x01, 0x05, pkt16, 1)
        .iface(1, 2, 1, 0xFF, 0)
        .ep(0x01, 0x05, pkt24, 1)
        .iface(2, 0, 0, 0xFF, 0)
        .iface(2, 1, 1, 0xFF, 0)
        .ep(0x82, 0x05, pkt16, 1)
        .iface(2, 2, 1, 0xFF, 0)
        .ep(0x82, 0x05, pkt24, 1)
        .iface(3, 0, 2, 0xFF, 0)
        .ep(0x03, 0x02, bulk, 0)
        .ep(0x84, 0x02, bulk, 0);
    return b.bytes();
}

// A class-compliant two-way device: audio control 0, output 1 and input 2,
// each with a 16-bit and a 24-bit alternate.
inline std::vector<uint8_t> classCompliantConfigurationSet() {
    DescriptorBuilder b;
    b.config(3)
        .iface(0, 0, 0, 1, 1)
        .raw({9, 0x24, 1, 0, 1, 9, 0, 1, 1})
        .iface(1, 0, 0, 1, 2)
        .iface(1, 1, 1, 1, 2)
        .raw({7, 0x24, 1, 1, 1, 1, 0})
        .format(2, 16, {44100, 48000})
        .ep(0x01, 0x09, 196, 1)
        .csEp()
        .iface(1, 2, 1, 1, 2)
        .format(2, 24, {44100, 48000, 96000})
        .ep(0x01, 0x09, 582, 1)
        .csEp()
        .iface(2, 0, 0, 1, 2)
        .iface(2, 1, 1, 1, 2)
        .format(2, 16, {44100, 48000})
        .ep(0x82, 0x05, 196, 1)
        .csEp()
        .iface(2, 2, 1, 1, 2)
        .format(2, 24, {44100, 48000, 96000})
        .ep(0x82, 0x05, 582, 1)
        .csEp();
    return b.bytes();
}
