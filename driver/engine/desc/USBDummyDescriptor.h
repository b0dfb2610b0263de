// Synthesized streaming descriptors. Many products do not declare what
// their streaming alternates carry (vendor-specific interfaces, interrupt or
// bulk streaming); after the descriptors are read, the driver adds the
// missing Type I format records to its own model so every later stage
// treats all products alike. Nothing is ever written to the device.
#pragma once

#include <cstdint>

#include "driver/engine/ZrDeviceTraits.h"

class ZrInterfaceDescriptor;
class ZrSimpleArray;

// The part of the device object's device-specific data that the builder
// reads and limits: channel counts a product reports for itself. 0 means
// "not reported": the interface choice then keeps the wanted counts, so a
// multichannel class-compliant device is not held to 2 channels.
struct DeviceSpecificData {
    uint32_t mInputChannels = 0;
    uint32_t mOutputChannels = 0;
};

// Gives an existing alternate format record 0 (and record 1 unless any of
// the second three values is -1). A missing alternate changes nothing.
void addSingleAlternate(ZrInterfaceDescriptor* interface, int alternate, int channels,
                        int resolution, int rateBits, int channels2, int resolution2,
                        int rateBits2);

void buildDummyDescriptor_FLB2(ZrSimpleArray& configurations, const DeviceSpecificData& data);

namespace USB {
void buildDummyDescriptor(const ZrDeviceIds& ids, ZrSimpleArray& configurations, bool highSpeed,
                          DeviceSpecificData& data);
}
