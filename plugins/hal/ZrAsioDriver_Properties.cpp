// The property calls of the table (device, stream and object routes).
//
// Until the property tables come, each call finds its device and answers
// 'who?' (HasProperty: false). One property answers already: 'goin', which
// reports the device running while its stream runs or a Start is in
// progress.
#include "plugins/hal/ZrAsioDriver.h"

#include "device/ZrOSXDevice.h"
#include "platform/base/MacErrors.h"

#include <cstring>

namespace {

// Drops the look-up's reference on return.
struct Release {
    ZrOSXDevice* device;
    ~Release() {
        if (device) device->decReferences();
    }
};

} // namespace

OSStatus ZrAsioDriver::onDeviceGetPropertyInfo(AudioDeviceID device, UInt32 channel,
                                               Boolean isInput, AudioDevicePropertyID property,
                                               UInt32* outSize, Boolean* outWritable) {
    Release d{getDeviceAndRetain(device)};
    if (!d.device) return kIOReturnNoDevice;
    if (isFormatProperty(property))
        return formatPropertyInfo(d.device, channel, isInput, property, outSize, outWritable);
    return kAudioHardwareUnknownPropertyError;
}

OSStatus ZrAsioDriver::onDeviceGetProperty(AudioDeviceID device, UInt32 channel, Boolean isInput,
                                           AudioDevicePropertyID property, UInt32* ioSize,
                                           void* outData) {
    Release d{getDeviceAndRetain(device)};
    if (!d.device) return kIOReturnNoDevice;
    if (isFormatProperty(property))
        return formatGetProperty(d.device, channel, isInput, property, ioSize, outData);
    if (property == kAudioDevicePropertyDeviceIsRunning) {
        if (!ioSize || !outData || *ioSize < sizeof(UInt32))
            return kAudioHardwareBadPropertySizeError;
        const UInt32 running = d.device->isRunningStream() || isStartingStream(d.device) ? 1 : 0;
        std::memcpy(outData, &running, sizeof running);
        *ioSize = sizeof running;
        return 0;
    }
    return kAudioHardwareUnknownPropertyError;
}

OSStatus ZrAsioDriver::onDeviceSetProperty(AudioDeviceID device, const AudioTimeStamp*,
                                           UInt32 channel, Boolean isInput,
                                           AudioDevicePropertyID property, UInt32 size,
                                           const void* data) {
    Release d{getDeviceAndRetain(device)};
    if (!d.device) return kIOReturnNoDevice;
    if (isFormatProperty(property))
        return formatSetProperty(d.device, channel, isInput, property, size, data);
    return kAudioHardwareUnknownPropertyError;
}

OSStatus ZrAsioDriver::onStreamGetPropertyInfo(AudioStreamID stream, UInt32, AudioDevicePropertyID,
                                               UInt32*, Boolean*) {
    Release d{getDeviceAndRetainFromStreamID(stream)};
    if (!d.device) return kIOReturnNoDevice;
    return kAudioHardwareUnknownPropertyError;
}

OSStatus ZrAsioDriver::onStreamGetProperty(AudioStreamID stream, UInt32, AudioDevicePropertyID,
                                           UInt32*, void*) {
    Release d{getDeviceAndRetainFromStreamID(stream)};
    if (!d.device) return kIOReturnNoDevice;
    return kAudioHardwareUnknownPropertyError;
}

OSStatus ZrAsioDriver::onStreamSetProperty(AudioStreamID stream, const AudioTimeStamp*, UInt32,
                                           AudioDevicePropertyID, UInt32, const void*) {
    Release d{getDeviceAndRetainFromStreamID(stream)};
    if (!d.device) return kIOReturnNoDevice;
    return kAudioHardwareUnknownPropertyError;
}

Boolean ZrAsioDriver::onObjectHasProperty(AudioObjectID object, const AudioObjectPropertyAddress*) {
    Release d{getObjectAndRetain(object)};
    return false;
}

OSStatus ZrAsioDriver::onObjectIsPropertySettable(AudioObjectID object,
                                                  const AudioObjectPropertyAddress*, Boolean*) {
    Release d{getObjectAndRetain(object)};
    if (!d.device) return kAudioHardwareBadObjectError;
    return kAudioHardwareUnknownPropertyError;
}

OSStatus ZrAsioDriver::onObjectGetPropertyDataSize(AudioObjectID object,
                                                   const AudioObjectPropertyAddress*, UInt32,
                                                   const void*, UInt32*) {
    Release d{getObjectAndRetain(object)};
    if (!d.device) return kAudioHardwareBadObjectError;
    return kAudioHardwareUnknownPropertyError;
}

OSStatus ZrAsioDriver::onObjectGetPropertyData(AudioObjectID object,
                                               const AudioObjectPropertyAddress*, UInt32,
                                               const void*, UInt32*, void*) {
    Release d{getObjectAndRetain(object)};
    if (!d.device) return kAudioHardwareBadObjectError;
    return kAudioHardwareUnknownPropertyError;
}

OSStatus ZrAsioDriver::onObjectSetPropertyData(AudioObjectID object,
                                               const AudioObjectPropertyAddress*, UInt32,
                                               const void*, UInt32, const void*) {
    Release d{getObjectAndRetain(object)};
    if (!d.device) return kAudioHardwareBadObjectError;
    return kAudioHardwareUnknownPropertyError;
}
