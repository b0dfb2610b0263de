// Looks through a device information record for an alternate setting that
// carries a rate, resolution and channel count in one direction.
#pragma once

#include <cstdint>

#include "abi/APIDeviceInfo.h"

APIDeviceInfoScanResult scanAPIDeviceInfo(const APIDeviceInfo& info, uint32_t configuration,
                                          uint32_t rate, uint8_t bits, uint8_t channels,
                                          bool discreteOnly, bool output);
