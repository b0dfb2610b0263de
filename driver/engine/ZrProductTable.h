// The products this driver knows by USB identifier: the names that replace
// what the devices report, and the driver's personalities (what its bundle's
// property list offers the kernel for matching).
//
// Identifiers are this driver's own choice: the simulated devices are built
// with them, and tests plug them in.
#pragma once

#include <cstdint>

class OSDictionary;

constexpr uint16_t kKorvexVendorID = 0x2F4B;
constexpr uint16_t kKorvexHX5100ProductID = 0x5100;

// Product lists behind the device object's capability answers; the
// identifiers are this driver's own choice, like the table's.
constexpr uint16_t kQuarnelVendorID = 0x2F6A;  // the driver maker's own devices
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
};
bool ZrIsListedProduct(ZrProductList list, uint16_t vendor, uint16_t product);

// The class every personality names and every user-space deliverable matches.
constexpr const char* kZrServiceClassName = "ZrKernelDeviceKorvexHX5100";

struct ZrProductName {
    uint16_t vendor;
    uint16_t product;
    const char* productName;
    const char* vendorName;  // null: the device's own vendor string stays
};

// Empty strings become "Unknown vendor" and "USB Device"; known products get
// their table names. Both buffers hold 256 bytes.
void driverOverwriteProductVendorStrings(char* vendorString, char* productString, uint16_t vendor,
                                         uint16_t product);

// One personality: "IOClass" the service class, "IOProviderClass"
// "IOUSBHostDevice", "idVendor" and "idProduct", and "QnSpecific" (an empty
// dictionary when null is given). The caller releases it.
OSDictionary* ZrMakeDriverPersonality(uint16_t vendor, uint16_t product, OSDictionary* qnSpecific);

// Loads and unloads the driver's personalities, one per listed product, in
// the kernel's catalogue; loading makes the kernel match them against the
// devices already published.
void ZrLoadDriverPersonalities();
void ZrUnloadDriverPersonalities();
