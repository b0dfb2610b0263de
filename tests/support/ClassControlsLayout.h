// The class-compliant model laid out as the kernel's control row of a
// product says: every volume unit a feature unit with the row's channels
// (its mute on the same unit), every selector unit with as many inputs as
// its group has endpoints; the vendor control where the row has one. The
// Trunk products also answer their start-ups, and the product whose output
// path is a choice of interface has its second output interface.
#pragma once

#include <cstdint>

#include "abi/ProductIdentities.h"
#include "driver/engine/ZrDeviceControls.h"
#include "platform/usb/devices/ClassAudioModel.h"

namespace hx::testsupport {

// Every feature unit's range, resolution and power-on value.
inline constexpr int16_t kClassMin = -0x2000, kClassMax = 0x0600, kClassRes = 0x0080,
                         kClassPowerOn = -0x0A00;

inline hx::usb::devices::ClassAudioLayout classLayoutOf(uint16_t vendor, uint16_t product) {
    hx::usb::devices::ClassAudioLayout l;
    l.trunk = vendor == kTrunkVendorID;
    const XsProductRow* row = usbFindDeviceControlsRow(vendor, product);
    if (!row) return l;
    for (const XsGroupRow* g : {&row->out, &row->in, &row->third}) {
        for (uint32_t i = 0; i < g->count; ++i)
            l.features.push_back({uint8_t(g->endpoints[i].volumeUnit >> 8),
                                  g->endpoints[i].channels, kClassMin, kClassMax, kClassRes,
                                  kClassPowerOn, true});
        if (g->selectorUnit)
            l.selectors.push_back({uint8_t(g->selectorUnit >> 8), uint8_t(g->count), 1});
    }
    l.vendorControlIndex = row->vendorControl.request ? row->vendorControl.index : 0;
    l.secondOutput = usbIsInterfaceSelectorDevice(vendor, product);
    return l;
}

} // namespace hx::testsupport
