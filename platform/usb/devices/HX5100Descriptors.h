// The HX-5100's descriptors, full and high speed, as constexpr byte arrays.
//
// Interface 0 is the vendor control interface (class 255, subclass 1, no
// endpoints). Interfaces 1 (playback) and 2 (capture) are vendor streaming
// interfaces (255/2): alternate 0 without endpoints, alternates 1 and 2 each
// with one asynchronous isochronous endpoint (OUT 0x01, IN 0x82) polled every
// (micro)frame and followed by its class-specific endpoint descriptor. They
// carry no class-specific format descriptors: the driver synthesizes them.
// Interface 3 (255/3) carries the MIDI and status port: bulk OUT 0x03 and
// interrupt IN 0x83.
//
// Packet sizes: at full speed a packet carries up to 50 frames of 6 bytes
// (48 kHz plus the frame pattern's slack, 2 channels of 24 bits): 300 bytes.
// At high speed a microframe carries up to 26 frames of 6 bytes (192 kHz):
// 156 bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace hx::usb::devices::hx5100 {

constexpr uint8_t lo(uint16_t v) {
    return (uint8_t)(v & 0xFF);
}
constexpr uint8_t hi(uint16_t v) {
    return (uint8_t)(v >> 8);
}

template <size_t... N> constexpr auto concat(const std::array<uint8_t, N>&... parts) {
    std::array<uint8_t, (N + ... + 0)> out{};
    size_t at = 0;
    ((std::copy(parts.begin(), parts.end(), out.begin() + at), at += N), ...);
    return out;
}

constexpr std::array<uint8_t, 9> interfaceDescriptor(uint8_t number, uint8_t alternate,
                                                     uint8_t endpoints, uint8_t subclass) {
    return {9,         // bLength
            4,         // bDescriptorType: interface
            number,    // bInterfaceNumber
            alternate, // bAlternateSetting
            endpoints, // bNumEndpoints
            255,       // bInterfaceClass: vendor specific
            subclass,  // bInterfaceSubClass
            0,         // bInterfaceProtocol
            0};        // iInterface
}

// The 9-byte audio form of an isochronous endpoint.
constexpr std::array<uint8_t, 9> isochronousEndpoint(uint8_t address, uint16_t maxPacket) {
    return {9,             // bLength
            5,             // bDescriptorType: endpoint
            address,       // bEndpointAddress
            0x05,          // bmAttributes: isochronous, asynchronous
            lo(maxPacket), // wMaxPacketSize
            hi(maxPacket),
            1,  // bInterval: every (micro)frame
            0,  // bRefresh
            0}; // bSynchAddress
}

constexpr std::array<uint8_t, 7> classSpecificEndpoint() {
    return {7,    // bLength
            0x25, // bDescriptorType: class-specific endpoint
            1,    // bDescriptorSubtype: general
            0x01, // bmAttributes: sampling frequency control
            0,    // bLockDelayUnits
            0,    // wLockDelay
            0};
}

constexpr std::array<uint8_t, 7> endpoint(uint8_t address, uint8_t attributes, uint16_t maxPacket,
                                          uint8_t interval) {
    return {7,             // bLength
            5,             // bDescriptorType: endpoint
            address,       // bEndpointAddress
            attributes,    // bmAttributes
            lo(maxPacket), // wMaxPacketSize
            hi(maxPacket),
            interval}; // bInterval
}

constexpr auto streamingInterface(uint8_t number, uint8_t address, uint16_t maxPacket) {
    return concat(interfaceDescriptor(number, 0, 0, 2), //
                  interfaceDescriptor(number, 1, 1, 2), isochronousEndpoint(address, maxPacket),
                  classSpecificEndpoint(), //
                  interfaceDescriptor(number, 2, 1, 2), isochronousEndpoint(address, maxPacket),
                  classSpecificEndpoint());
}

constexpr auto configurationBody(uint16_t isoMaxPacket, uint16_t bulkMaxPacket,
                                 uint8_t interruptInterval) {
    return concat(interfaceDescriptor(0, 0, 0, 1),              // control
                  streamingInterface(1, 0x01, isoMaxPacket),    // playback
                  streamingInterface(2, 0x82, isoMaxPacket),    // capture
                  interfaceDescriptor(3, 0, 2, 3),              // MIDI and status port
                  endpoint(0x03, 0x02, bulkMaxPacket, 0),       // bulk OUT
                  endpoint(0x83, 0x03, 64, interruptInterval)); // interrupt IN, every 1 ms
}

template <size_t N> constexpr auto configuration(const std::array<uint8_t, N>& body) {
    constexpr uint16_t total = (uint16_t)(9 + N);
    const std::array<uint8_t, 9> header = {9,         // bLength
                                           2,         // bDescriptorType: configuration
                                           lo(total), // wTotalLength
                                           hi(total),
                                           4,    // bNumInterfaces
                                           1,    // bConfigurationValue
                                           0,    // iConfiguration
                                           0x80, // bmAttributes: bus powered
                                           250}; // bMaxPower: 500 mA
    return concat(header, body);
}

constexpr uint16_t kFullSpeedIsoMaxPacket = 50 * 6;
constexpr uint16_t kHighSpeedIsoMaxPacket = 26 * 6;

constexpr auto kFullSpeedConfiguration =
    configuration(configurationBody(kFullSpeedIsoMaxPacket, 64, 1));
// bInterval 4 at high speed: 2^(4-1) microframes, 1 ms.
constexpr auto kHighSpeedConfiguration =
    configuration(configurationBody(kHighSpeedIsoMaxPacket, 512, 4));

// Four interfaces: 9 + 2 x (3 x 9 + 2 x (9 + 7)) + (9 + 7 + 7) after the header.
static_assert(kFullSpeedConfiguration.size() == 9 + 9 + 2 * (3 * 9 + 2 * (9 + 7)) + (9 + 7 + 7));
static_assert(kFullSpeedConfiguration.size() == 159);
static_assert(kHighSpeedConfiguration.size() == kFullSpeedConfiguration.size());
static_assert(kFullSpeedConfiguration[2] + 256 * kFullSpeedConfiguration[3] ==
              kFullSpeedConfiguration.size());
static_assert(kHighSpeedConfiguration[2] + 256 * kHighSpeedConfiguration[3] ==
              kHighSpeedConfiguration.size());

constexpr std::array<uint8_t, 18> deviceDescriptor(uint16_t vendor, uint16_t product,
                                                   uint16_t release, bool hasSerial) {
    return {18,         // bLength
            1,          // bDescriptorType: device
            lo(0x0200), // bcdUSB 2.00 (at both speeds)
            hi(0x0200),
            0,          // bDeviceClass: per interface
            0,          // bDeviceSubClass
            0,          // bDeviceProtocol
            64,         // bMaxPacketSize0
            lo(vendor), // idVendor
            hi(vendor),
            lo(product), // idProduct
            hi(product),
            lo(release), // bcdDevice
            hi(release),
            1,                            // iManufacturer
            2,                            // iProduct
            (uint8_t)(hasSerial ? 3 : 0), // iSerialNumber
            1};                           // bNumConfigurations
}
static_assert(deviceDescriptor(0, 0, 0, false)[0] == deviceDescriptor(0, 0, 0, false).size());

constexpr std::array<uint8_t, 4> kLanguages = {4, 3, lo(0x0409), hi(0x0409)}; // English (US) only

} // namespace hx::usb::devices::hx5100
