// The control requests the driver sends on a device's default pipe, named
// once: the standard requests it uses, the audio class's current-value
// requests, and the vendor requests of the devices it drives. One vendor
// code can mean different things on different products (the device decides
// by its own firmware); each meaning has its own name here, and the table at
// the end gives the logging and the request traces one readable name per
// {level, code}.
#pragma once

#include "abi/USBRequestTypes.h"

#include <cstdint>

// Standard requests.
constexpr uint8_t kUsbGetDescriptor = 0x06;
constexpr uint8_t kUsbSetConfiguration = 0x09;
constexpr uint8_t kUsbSetInterface = 0x0B;
constexpr uint16_t kUsbDeviceDescriptorValue = 0x0100; // GET_DESCRIPTOR wValue: device, index 0

// Audio class requests.
constexpr uint8_t kZrSetCur = 0x01;
constexpr uint8_t kZrGetCur = 0x81;

// Vendor requests.
constexpr uint8_t kReqSorvikUID = 0x00;        // IN, device: the unit's identifier
constexpr uint8_t kReqSorvikResolution = 0x00; // OUT, interface: sample width of the interface
constexpr uint8_t kReqSorvikName = 0x01;       // IN/OUT, device: the unit's name
constexpr uint8_t kReqSorvikMap = 0x01;        // OUT, interface: the channel map
constexpr uint8_t kReqPicSet = 0x01;           // OUT, device: command to the microcontroller
constexpr uint8_t kReqRoutingSelect = 0x01;    // OUT, device: digital output routing (wIndex 4/2)
constexpr uint8_t kReqFarlaneReset = 0x03;     // OUT, device
constexpr uint8_t kReqFarlane2ChannelConfig = 0x11;    // IN, interface: current channel config
constexpr uint8_t kReqFarlane2ChannelAlternate = 0x12; // IN, interface: its alternate
constexpr uint8_t kReqCodec = 0x41;                    // codec and transmitter registers
constexpr uint8_t kReqDspBlock = 0x42;                 // the DSP parameter block
constexpr uint8_t kReqDeepSleep = 0x44;                // OUT, device: power down
constexpr uint8_t kReqRegister = 0x49;        // one-byte register access, wIndex the register
constexpr uint8_t kReqMixer = 0x4D;           // the 64-byte mixer buffer
constexpr uint8_t kReqReplug = 0x52;          // OUT, device: leave and come back on the bus
constexpr uint8_t kReqMixerValues = 0x54;     // OUT, device: mixer knob (wValue), bitmap (wIndex)
constexpr uint8_t kReqFirmwareVersion = 0x56; // IN, device: version bytes (and counts, text)
constexpr uint8_t kReqPicGet = 0x81;          // IN, device: the microcontroller's answer
constexpr uint8_t kReqTrunk2Status = 0x85;    // IN, device: start-up state (2: ready)

// The microcontroller's register window of the PIC requests.
constexpr uint16_t kPicValue = 0xF0;
constexpr uint16_t kPicSetIndex = 0x1F0;

// The registers of the vendor register request (its wIndex).
constexpr uint16_t kRegSelector = 0;   // the input selector
constexpr uint16_t kRegPort2 = 1;      // the port register (also the mixer status)
constexpr uint16_t kRegDigitalOut = 2; // the digital output selector

// The port register's mixer bit: set, the mixer is off (mixer mode 0).
constexpr uint8_t kPortMixerOff = 0x10;
// The port register's mixer layout bit, with the mixer on: set, the six-channel
// output mixer (mixer mode 1, 4 in and 6 out); clear, four channels out.
constexpr uint8_t kPortSixChannelMixer = 0x08;

// The input selector register (vendor register request, register 0).
constexpr uint8_t kSelUSB1Mode = 0x01;       // USB 1 mode (products that keep it here)
constexpr uint8_t kSelInternalClock = 0x02;  // set: internal clock; clear: digital input
constexpr uint8_t kSelDigitalLock = 0x04;    // read: the digital input is locked
constexpr uint8_t kSelPortModes = 0x18;      // the port's two mode bits
constexpr uint8_t kSelDigitalPresent = 0x80; // read: a digital input exists
// The selector bits the port mode rewrite keeps, and the fixed mode value of
// the products whose port register is not read.
constexpr uint8_t kSelKeepBits = uint8_t(~kSelPortModes);
constexpr uint8_t kSelFixedPortModes = 18;

struct ZrDeviceRequestName {
    EDRQ_Level level;
    uint8_t code;
    const char* name;
};

inline constexpr ZrDeviceRequestName kZrDeviceRequestNames[] = {
    {kLevelStandard, kUsbGetDescriptor, "GET_DESCRIPTOR"},
    {kLevelStandard, kUsbSetConfiguration, "SET_CONFIGURATION"},
    {kLevelStandard, kUsbSetInterface, "SET_INTERFACE"},
    {kLevelClass, kZrSetCur, "SET_CUR"},
    {kLevelClass, kZrGetCur, "GET_CUR"},
    {kLevelVendor, 0x00, "vendor 0 (Sorvik UID / sample width)"},
    {kLevelVendor, 0x01, "vendor 1 (PIC set / Sorvik name or map / routing)"},
    {kLevelVendor, kReqFarlaneReset, "vendor Farlane reset"},
    {kLevelVendor, kReqFarlane2ChannelConfig, "vendor Farlane-2 channel config"},
    {kLevelVendor, kReqFarlane2ChannelAlternate, "vendor Farlane-2 channel alternate"},
    {kLevelVendor, kReqCodec, "vendor codec register"},
    {kLevelVendor, kReqDspBlock, "vendor DSP block"},
    {kLevelVendor, kReqDeepSleep, "vendor deep sleep"},
    {kLevelVendor, kReqRegister, "vendor register"},
    {kLevelVendor, kReqMixer, "vendor mixer"},
    {kLevelVendor, kReqReplug, "vendor replug"},
    {kLevelVendor, kReqMixerValues, "vendor mixer values"},
    {kLevelVendor, kReqFirmwareVersion, "vendor firmware version"},
    {kLevelVendor, kReqPicGet, "vendor PIC get"},
    {kLevelVendor, kReqTrunk2Status, "vendor Trunk2 status"},
};

// The name of a request by its bmRequestType's level and its bRequest;
// "unnamed" for codes the driver does not send.
constexpr const char* zrDeviceRequestName(uint8_t bmRequestType, uint8_t code) {
    const auto level = EDRQ_Level(bmRequestType & 0x60);
    for (const ZrDeviceRequestName& n : kZrDeviceRequestNames)
        if (n.level == level && n.code == code) return n.name;
    return "unnamed";
}
