// USB Audio Class mixer controls of the devices that expose feature and
// selector units: the product rows that say where each control lives, how
// the control block is filled from the device when a configuration is done,
// and how a requested block is applied to the device.
//
// The rows are data: one per product, named once with the product table.
// Only values (volumes, mute, selection, vendor control) come from a
// client's block; counts, units and interface numbers always come from the
// current block, which the kernel keeps privately.
//
// Every class request is tried at most 3 times and a failure is logged; a
// control whose request failed keeps the device's value in the block that
// becomes current, so the shared state never shows what the device refused.
// For the same reason a group whose choice names no endpoint is refused
// whole (and logged), and endpoints a choice does not name take no values.
// A choice with no selector unit, or one the device did not report, starts
// at the group's first endpoint.
#pragma once

#include "driver/engine/ZrDeviceTraits.h"
#include "driver/engine/ZrProductTable.h"

#include <cstdint>

#include "abi/DriverSM.h"

class ZrKernelDeviceKorvexHX5100;

// USB Audio Class 1.0 requests on the interface recipient.
constexpr uint8_t kXsSetCur = 0x01;
constexpr uint8_t kXsGetCur = 0x81;
constexpr uint8_t kXsGetMin = 0x82;
constexpr uint8_t kXsGetMax = 0x83;
constexpr uint8_t kXsGetRes = 0x84;
constexpr uint16_t kXsMuteControl = 0x0100;   // master channel only
constexpr uint16_t kXsVolumeControl = 0x0200; // + channel number (0 = master)
constexpr int kXsClassRequestTries = 3;

// One endpoint of a product row: (name, channels, volume unit, mute unit,
// interface number). Units are wIndex values (unit id << 8 | interface).
struct XsEndpointRow {
    const char* name;
    int16_t channels;
    uint16_t volumeUnit;
    uint16_t muteUnit;
    uint16_t interfaceNumber;
};

struct XsGroupRow {
    uint32_t count;
    uint32_t mode;
    uint16_t selectorUnit;
    XsEndpointRow endpoints[8];
};

// The vendor control of a product: read with vendor IN request `request`
// (one byte at wIndex), a change sent as vendor OUT request `request` with
// the value's low byte in wValue.
struct XsVendorControlRow {
    uint8_t request;
    uint16_t index;
};

struct XsProductRow {
    ZrControlsLayout layout; // the products whose table rows name it
    XsGroupRow out;
    XsGroupRow in;
    XsGroupRow third;
    uint32_t syncCount;
    const char* syncNames[8];
    XsVendorControlRow vendorControl; // request 0: none
};

// The row of a device's controls layout, or null.
const XsProductRow* usbFindDeviceControlsRow(const ZrDeviceTraits& traits);
// Products whose input selector change needs a new stream configuration.
bool usbIsHalvardDevice(const ZrDeviceTraits& traits);
// The product whose output path choice is a choice of USB interface.
bool usbIsInterfaceSelectorDevice(const ZrDeviceTraits& traits);
// The same, for a caller that holds only an identity (its traits are read).
inline const XsProductRow* usbFindDeviceControlsRow(uint16_t vendorId, uint16_t productId) {
    return usbFindDeviceControlsRow(ZrReadDeviceTraits(vendorId, productId, 0));
}
inline bool usbIsInterfaceSelectorDevice(uint16_t vendorId, uint16_t productId) {
    return usbIsInterfaceSelectorDevice(ZrReadDeviceTraits(vendorId, productId, 0));
}

void usbInitDeviceControls(ZrKernelDeviceKorvexHX5100& device, const ZrDeviceTraits& traits,
                           XsDeviceControls& out);
void usbInitEndpoint(ZrKernelDeviceKorvexHX5100& device, XsEndpoint& ep, const char* name,
                     int16_t channels, uint16_t volumeUnit, uint16_t muteUnit,
                     uint16_t interfaceNumber);
void usbInitVolumes(ZrKernelDeviceKorvexHX5100& device, XsEndpoint& ep);
void usbInitMute(ZrKernelDeviceKorvexHX5100& device, XsEndpoint& ep);
void usbInitSelectorValue(ZrKernelDeviceKorvexHX5100& device, uint16_t selectorUnit,
                          uint8_t& value);

// Sends what differs from current; `changed` tells the caller to keep the
// requested block (as corrected here) as the new current one, `restart` asks
// for a new stream configuration.
void usbApplyDeviceControls(ZrKernelDeviceKorvexHX5100& device, const ZrDeviceTraits& traits,
                            const XsDeviceControls& current, XsDeviceControls& requested,
                            bool& changed, bool& restart);
void usbApplyDeviceControlGroup(ZrKernelDeviceKorvexHX5100& device, const ZrDeviceTraits& traits,
                                const XsControlGroup& current, XsControlGroup& requested,
                                bool& changed);
void usbApplyDeviceControlEndPoint(ZrKernelDeviceKorvexHX5100& device, const ZrDeviceTraits& traits,
                                   const XsEndpoint& current, XsEndpoint& requested, bool& changed,
                                   bool& restart, bool force);
void usbApplyDeviceControlsSync(ZrKernelDeviceKorvexHX5100& device, const ZrDeviceTraits& traits,
                                const XsSyncSources& current, XsSyncSources& requested,
                                bool& changed, bool& restart);
bool usbApplyValidateXeBitCombination(uint32_t count, uint32_t bits);
// The one-hot selection as a 1-based index; 0 when it is not one bit.
int usbSelectorIndex(uint8_t oneHot);
