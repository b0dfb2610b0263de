// The kernel driver's product tables over the shared product identities:
// the lists behind the device object's capability answers, and the driver's
// personalities (what its bundle's property list offers the kernel for
// matching).
#pragma once

#include <cstdint>

#include "abi/ProductIdentities.h"
#include "abi/ServiceClass.h"

class OSDictionary;

// Five of the second generation carry their own input/output channel pair
// (the others 4 and 4).
struct ZrChannelPair {
    uint16_t product;
    uint8_t ins, outs;
};
constexpr ZrChannelPair kSorvikFarlane2ChannelPairs[] = {
    {kSorvikFarlane2ProductIDs[0], 12, 2},  {kSorvikFarlane2ProductIDs[1], 8, 6},
    {kSorvikFarlane2ProductIDs[2], 12, 12}, {kSorvikFarlane2ProductIDs[3], 12, 2},
    {kSorvikFarlane2ProductIDs[4], 12, 2},
};

// Whether a device's input and feedback packets get no tolerance at rate.
constexpr bool ZrHasExactClock(uint16_t vendor, uint16_t product, uint32_t rate) {
    return vendor == kHarlowVendorID && product == kHarlowExactClockProductID &&
           (rate == 48000 || rate == 96000);
}

// Product lists behind the device object's capability answers; the
// identifiers are this driver's own choice, like the table's.
enum class ZrProductList : uint8_t {
    QuarnelBulk,           // the maker's bulk protocol (at high speed)
    QuarnelBulkInIsocOut,  // bulk input with isochronous output (at high speed)
    RegularMidi,           // USB-MIDI on the control port
    MRW30,                 // the MRW30 kind: fixed interfaces, own latencies
    MakerNoDigital,        // the maker's device without a digital port
    LXNoDigital,           // the LX-series device without one
    Tolvane,               // the product with a routing value in its controls
    Trunk2,                // the second Trunk product: own start-up and alternates
    SetFrequencyRepeats,   // another maker's devices that refuse SET_CUR while starting
    NeverReEnumerated,     // devices that are not re-enumerated when unconfigured
    FirmwareVersionAlways, // the maker's devices whose firmware version is read without Merrow
                           // compatibility
    FirmwareVersionText, // devices whose firmware version text is read (without a features record)
    FirmwareChannelCounts, // another maker's device that reports its channel counts in its firmware
                           // information
    Stereo16Only, // another maker's device forced to 2 + 2 channels of 16 bits at its first scan
    PicCommands,  // another maker's device driven by PIC commands
    NeverReEnumeratedFromFirmware, // not re-enumerated from firmware kZrNoReEnumerateFirmware on
    AlwaysReEnumerated,       // re-enumerated when unconfigured even when the caller forbids it
    SetInterfaceBeforeBind,   // SET_INTERFACE(0) on interface 2 before the interfaces are bound
    ConfigureWaits,           // 50 ms pauses around binding and opening the pipes
    IsocInIsocOutAtRelease,   // at release kZrIsocInIsocOutRelease: isochronous both ways, no
                              // feedback
    ControlSetCurAfterConfig, // a class SET_CUR to its control interface once configured
    ControlSetInterfaceAfterConfig, // SET_INTERFACE(0) on its control interface once configured
    NoFrequencyReading,             // its sampling frequency is never read: 0
    MixerModeFirst,      // the first product with a mixer mode (modes 1 and 2: 4 + 4 channels)
    MixerModeSecond,     // the second (modes 1 and 2: 6 inputs, 2 outputs)
    StartSetCur02FF,     // a class SET_CUR 0x02FF on interface 0x0200 at every start
    StartSetCur0A00,     // a class SET_CUR 0x0A00 on 0x0900 (one byte) at every start
    StartSetCur0201,     // class SET_CURs 0x0201 and 0x0202 on 0x0900 at every start
    HalvardTrunk,        // the first Trunk product: its own start-up instead of endpoint rates
    InputErrorsBreak,    // other makers' devices whose input errors break the stream (41 and more)
    BulkGoClearStall,    // the maker's product whose bulk start clears both pipes' stalls first
    BulkEncoderKX,       // the maker's two products with the 10-channel fifth-lane encoder
    BulkSelectorEncoder, // another maker's 8-channel bulk product with selector encoders
    // another maker's device whose output alternate is selected again at start
    ReselectOutAlternate,
};
// Every device of this maker takes the start's SET_CUR 0x02FF as well.
constexpr uint16_t kZrStartSetCurMakerVendorID = kKestrelVendorID;
constexpr uint32_t kZrNoReEnumerateFirmware = 0x01050100;
constexpr uint16_t kZrIsocInIsocOutRelease = 0x0300;
bool ZrIsListedProduct(ZrProductList list, uint16_t vendor, uint16_t product);

// One personality: "IOClass" the service class, "IOProviderClass"
// "IOUSBHostDevice", "idVendor" and "idProduct", and "QnSpecific" (an empty
// dictionary when null is given). The caller releases it.
OSDictionary* ZrMakeDriverPersonality(uint16_t vendor, uint16_t product, OSDictionary* qnSpecific);

// Loads and unloads the driver's personalities, one per listed product, in
// the kernel's catalogue; loading makes the kernel match them against the
// devices already published.
void ZrLoadDriverPersonalities();
void ZrUnloadDriverPersonalities();
