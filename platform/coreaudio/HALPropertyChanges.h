// The calls a HAL plug-in makes to tell the audio system that a property of
// one of its devices or streams changed.
//
// A plug-in a HAL host loaded reaches that host (found by the plug-in
// reference, AudioHardwarePlugIn.h). Any other call goes to one hook; until
// a hook is set, a recorder keeps every such call (with the platform
// clock's host time at the call), so tests can read what a device reported
// and in which order. The calls return what the hook answers; the recorder
// answers 0.
#pragma once

#include "platform/coreaudio/CoreAudioTypes.h"

#include <functional>
#include <vector>

// The plug-in's function table; the HAL host declares its slots.
struct AudioHardwarePlugInInterface;
typedef AudioHardwarePlugInInterface** AudioHardwarePlugInRef;

extern "C" {

OSStatus AudioHardwareDevicePropertyChanged(AudioHardwarePlugInRef inPlugIn,
                                            AudioDeviceID inDeviceID, UInt32 inChannel,
                                            Boolean isInput, AudioDevicePropertyID inPropertyID);

OSStatus AudioHardwareStreamPropertyChanged(AudioHardwarePlugInRef inPlugIn,
                                            AudioDeviceID inOwningDeviceID,
                                            AudioStreamID inStreamID, UInt32 inChannel,
                                            AudioDevicePropertyID inPropertyID);

OSStatus AudioObjectPropertiesChanged(AudioHardwarePlugInRef inPlugIn, AudioObjectID inObjectID,
                                      UInt32 inNumberAddresses,
                                      const AudioObjectPropertyAddress inAddresses[]);

} // extern "C"

namespace hx::coreaudio {

// One property-changed call as it was made.
struct PropertyChange {
    enum class Call { Device, Stream, Object };
    Call call;
    AudioHardwarePlugInRef plugIn;
    AudioObjectID object;                 // the device (Device, Stream) or the object (Object)
    AudioStreamID stream;                 // Stream only
    UInt32 channel;                       // Device, Stream
    bool isInput;                         // Device only
    AudioObjectPropertySelector selector; // Device, Stream
    std::vector<AudioObjectPropertyAddress> addresses; // Object (a null list reads as none)
    UInt64 hostTime;                                   // mach_absolute_time when the call was made
};

using PropertyChangeHook = std::function<OSStatus(const PropertyChange&)>;

// Installs the hook every call goes to; an empty one brings the recorder back.
void setPropertyChangeHook(PropertyChangeHook hook);

// What the recorder kept, oldest first, and clearing it.
std::vector<PropertyChange> recordedPropertyChanges();
void clearRecordedPropertyChanges();

} // namespace hx::coreaudio
