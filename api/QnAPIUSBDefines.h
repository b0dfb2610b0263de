// The list of known Sorvik devices: the Sorvik devices the registry has
// now, and the list the application keeps under "DevicesList" in its own
// preferences (its main bundle identifier), each entry the registry
// properties of one device, identified by its 8-byte "SorvikUID".
//
// The preference domain is written by any process of the user, so the
// stored list is not trusted: a value of the wrong shape reads as absent and
// entries of the wrong shape match nothing.
#pragma once

#include "platform/cf/CFArray.h"
#include "platform/cf/CFDictionary.h"
#include "platform/iokit/IOKitLib.h"

// The kernel service class of the Sorvik devices of the other family.
constexpr const char* kSorvikServiceClassName = "ZrKernelDeviceSorvikModal6";

kern_return_t getSorvikDevicesFromRegistry(CFMutableArrayRef* out);
void getSorvikDevicesFromPrefs(CFMutableArrayRef* out);
bool addSorvikDeviceToDeviceList(CFMutableArrayRef list, CFDictionaryRef device);
bool removeSorvikDeviceFromDeviceList(CFMutableArrayRef list, CFDictionaryRef device);
