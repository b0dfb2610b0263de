// What the configuration choices need to know about a device: its product
// row's flags (read once at attach, so the choosers test flags and never
// identifiers), its bus speed and its specific-features record, all in its
// ZrDeviceTraits.
#pragma once

#include "driver/engine/ZrDeviceTraits.h"
