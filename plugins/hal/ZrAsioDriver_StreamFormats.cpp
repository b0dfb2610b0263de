// The stream-format and source selectors of the device property methods.
// Not answered yet: every selector answers 'who?'.
#include "plugins/hal/ZrAsioDriver.h"

#include "platform/base/MacErrors.h"

bool ZrAsioDriver::isFormatProperty(AudioDevicePropertyID) {
    return false;
}

OSStatus ZrAsioDriver::formatPropertyInfo(ZrOSXDevice*, UInt32, Boolean, AudioDevicePropertyID,
                                          UInt32*, Boolean*) {
    return kAudioHardwareUnknownPropertyError;
}

OSStatus ZrAsioDriver::formatGetProperty(ZrOSXDevice*, UInt32, Boolean, AudioDevicePropertyID,
                                         UInt32*, void*) {
    return kAudioHardwareUnknownPropertyError;
}

OSStatus ZrAsioDriver::formatSetProperty(ZrOSXDevice*, UInt32, Boolean, AudioDevicePropertyID,
                                         UInt32, const void*) {
    return kAudioHardwareUnknownPropertyError;
}
