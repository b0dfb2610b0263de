// Runtime builders of the descriptors the multi-channel models share:
// audio-streaming interfaces with their format records, endpoints and the
// configuration header. Each appends to a byte vector.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace hx::usb::devices::desc {

using Bytes = std::vector<uint8_t>;

inline void add(Bytes& out, std::initializer_list<uint8_t> bytes) {
    out.insert(out.end(), bytes);
}

inline void interface(Bytes& out, uint8_t number, uint8_t alternate, uint8_t endpoints, uint8_t cls,
                      uint8_t subclass) {
    add(out, {9, 4, number, alternate, endpoints, cls, subclass, 0, 0});
}

// A 7-byte endpoint (bulk, interrupt) or the 9-byte audio form
// (isochronous, `audio` set).
inline void endpoint(Bytes& out, uint8_t address, uint8_t attributes, uint16_t maxPacket,
                     uint8_t interval, bool audio = false) {
    add(out, {(uint8_t)(audio ? 9 : 7), 5, address, attributes, (uint8_t)maxPacket,
              (uint8_t)(maxPacket >> 8), interval});
    if (audio) add(out, {0, 0});
}

// The class-specific general endpoint record (sampling frequency control).
inline void audioEndpoint(Bytes& out) {
    add(out, {7, 0x25, 1, 0x01, 0, 0, 0});
}

// The audio-streaming general record and a type I format record: PCM,
// `channels` of `bits` in `subframe` bytes at the listed rates.
inline void format(Bytes& out, uint8_t terminal, uint8_t channels, uint8_t subframe, uint8_t bits,
                   std::initializer_list<uint32_t> rates) {
    add(out, {7, 0x24, 1, terminal, 1, 0x01, 0x00});
    add(out, {(uint8_t)(8 + 3 * rates.size()), 0x24, 2, 1, channels, subframe, bits,
              (uint8_t)rates.size()});
    for (uint32_t r : rates)
        add(out, {(uint8_t)r, (uint8_t)(r >> 8), (uint8_t)(r >> 16)});
}

// The configuration header before `body`, value 1, bus powered.
inline Bytes configuration(uint8_t interfaces, const Bytes& body) {
    const uint16_t total = (uint16_t)(9 + body.size());
    Bytes out{9, 2, (uint8_t)total, (uint8_t)(total >> 8), interfaces, 1, 0, 0x80, 250};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

} // namespace hx::usb::devices::desc
