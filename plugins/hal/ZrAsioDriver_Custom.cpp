// The custom 'Qn..' selectors of the device property methods.
// Not answered yet: every selector answers 'who?'.
#include "plugins/hal/ZrAsioDriver.h"

#include "platform/base/MacErrors.h"

bool ZrAsioDriver::isCustomProperty(AudioDevicePropertyID) {
    return false;
}

OSStatus ZrAsioDriver::customPropertyInfo(ZrOSXDevice*, UInt32, Boolean, AudioDevicePropertyID,
                                          UInt32*, Boolean*) {
    return kAudioHardwareUnknownPropertyError;
}

OSStatus ZrAsioDriver::customGetProperty(ZrOSXDevice*, UInt32, Boolean, AudioDevicePropertyID,
                                         UInt32*, void*) {
    return kAudioHardwareUnknownPropertyError;
}

OSStatus ZrAsioDriver::customSetProperty(ZrOSXDevice*, UInt32, Boolean, AudioDevicePropertyID,
                                         UInt32, const void*) {
    return kAudioHardwareUnknownPropertyError;
}
