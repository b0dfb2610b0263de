// Looks through a device information record for an alternate setting that
// carries a rate, resolution and channel count in one direction.
#pragma once

#include <cstdint>

#include "abi/APIDeviceInfo.h"
#include "driver/engine/ZrDeviceTraits.h"

// The device's traits give its descriptor quirks.
APIDeviceInfoScanResult scanAPIDeviceInfo(const APIDeviceInfo& info, const ZrDeviceTraits& traits,
                                          uint32_t configuration, uint32_t rate, uint8_t bits,
                                          uint8_t channels, bool discreteOnly, bool output);
// The same for a record alone: the traits are read from its identity.
APIDeviceInfoScanResult scanAPIDeviceInfo(const APIDeviceInfo& info, uint32_t configuration,
                                          uint32_t rate, uint8_t bits, uint8_t channels,
                                          bool discreteOnly, bool output);
