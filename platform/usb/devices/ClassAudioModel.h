// A class-compliant (USB Audio Class 1.0) interface on the simulated bus:
// an audio-control interface with feature units (master or per-channel
// volume with minimum, maximum and resolution; mute) and selector units,
// laid out as the plugging code says, and two streaming interfaces that
// reuse the HX-5100's stream engine (2 channels, 44.1 and 48 kHz; alternate
// 1 streams 16 bits, alternate 2 24 bits; each direction as its interface's
// alternate says).
//
// Class requests go to the interface recipient with wIndex = unit << 8 |
// interface 0: GET_CUR, GET_MIN, GET_MAX, GET_RES and SET_CUR. A volume
// outside its range, an unknown unit or an unknown control stalls; a unit
// can be told to stall everything (a failing device).
//
// Optional: a second output interface (3, endpoint 0x03) for the product
// whose output path is a choice of interface; the Trunk start-ups (vendor
// 0x85 IN answering 2, SET_CUR of the rate on endpoints 0x03, 0x85, 0x86);
// a vendor control register (vendor request 1 IN/OUT at one wIndex); a HID
// interface (4) with one interrupt IN endpoint (0x87);
// a command microcontroller (PIC): vendor request 1 OUT with wValue 0xF0,
// wIndex 0x1F0 and one command byte, and vendor request 0x81 IN with wValue
// 0xF0, wIndex 0 answering the last command; it can be told to stall.
//
// Power-on state: every volume at its unit's given value, mutes off, each
// selector at its given input, the vendor control 0, 44,100 Hz; plus the
// HX-5100's own power-on state for what it shares (deep sleep 0x44).
#pragma once

#include "platform/usb/devices/HX5100Model.h"

#include <map>
#include <vector>

namespace hx::usb::devices {

struct ClassFeatureUnit {
    uint8_t id;
    int channels; // -1: a master control only; 1..8 per-channel controls
    int16_t min, max, res, powerOn;
    bool mute;
};

struct ClassSelectorUnit {
    uint8_t id;
    uint8_t inputs;
    uint8_t powerOn; // 1-based
};

struct ClassAudioLayout {
    std::vector<ClassFeatureUnit> features;
    std::vector<ClassSelectorUnit> selectors;
    bool secondOutput = false;       // interface 3, endpoint 0x03
    bool trunk = false;              // answers the Trunk start-ups
    uint16_t vendorControlIndex = 0; // 0: no vendor control
    bool hid = false;                // a HID interface with an interrupt IN endpoint
    bool pic = false;                // answers the PIC commands
    // The class-specific endpoint descriptor after each streaming endpoint:
    // Clear (bit 7 of its attributes clear), MaxPacketsOnly (set) or Absent.
    enum class ClassEndpoint { Clear, MaxPacketsOnly, Absent } classEndpoint = ClassEndpoint::Clear;
};

class ClassAudioModel : public HX5100Model {
public:
    ClassAudioModel(uint8_t speed, HX5100Identity identity, ClassAudioLayout layout);

    std::span<const uint8_t> configurationDescriptor(uint8_t index) const override;

    // The unit's current values (channel 0 = master).
    int16_t volume(uint8_t unit, int channel) const;
    bool mute(uint8_t unit) const;
    uint8_t selector(uint8_t unit) const;
    uint8_t vendorControl() const;
    // Every request to the unit stalls while set.
    void setUnitStalls(uint8_t unit, bool stalls);
    // The PIC's get (or its set too) stalls while set.
    void setPicStalls(bool getStalls, bool setStalls = false);
    uint8_t lastPicCommand() const;

protected:
    ControlResult classOrVendorRequest(const StandardUSB::DeviceRequest& setup,
                                       uint8_t* data) override;
    IsochResult streamOut(uint8_t address, const IsochSlot& slot, const uint8_t* data,
                          uint32_t length) override;
    IsochResult streamIn(uint8_t address, const IsochSlot& slot, uint8_t* data,
                         uint32_t capacity) override;

private:
    // The stream's wire format from the streaming alternates (under lock);
    // `outInterface` is the output interface in use, 0 when not known.
    void followAlternates(uint8_t outInterface);
    ControlResult featureRequest(const StandardUSB::DeviceRequest& setup, uint8_t* data,
                                 ClassFeatureUnit& unit);
    ControlResult selectorRequest(const StandardUSB::DeviceRequest& setup, uint8_t* data,
                                  ClassSelectorUnit& unit);
    // The PIC's two requests; nothing (no answer) for other requests.
    std::optional<ControlResult> picRequest(const StandardUSB::DeviceRequest& setup, uint8_t* data);

    ClassAudioLayout mLayout;
    std::vector<uint8_t> mConfiguration;
    // Guarded by the model's lock.
    std::map<uint8_t, std::vector<int16_t>> mVolumes; // unit -> [master or channels 1..n]
    std::map<uint8_t, uint8_t> mMutes;
    std::map<uint8_t, uint8_t> mSelectors;
    std::map<uint8_t, bool> mStalls;
    uint8_t mVendorControl = 0;
    uint8_t mPicCommand = 0;
    bool mPicGetStalls = false;
    bool mPicSetStalls = false;
};

} // namespace hx::usb::devices
