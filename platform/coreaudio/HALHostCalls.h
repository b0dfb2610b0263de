// The audio system's program-side calls, answered through the process's
// HAL host (HALHost.h): each finds the plug-in owning the ID and passes the
// plug-in's status on unchanged. The host itself answers only the device
// list (kAudioObjectSystemObject, 'dev#'). Without a loaded host every call
// answers kAudioHardwareNotRunningError.
#pragma once

#include "platform/coreaudio/AudioHardwarePlugIn.h"

typedef OSStatus (*AudioObjectPropertyListenerProc)(AudioObjectID inObjectID,
                                                    UInt32 inNumberAddresses,
                                                    const AudioObjectPropertyAddress* inAddresses,
                                                    void* inClientData);

extern "C" {

// ---- IO procedures and timing
OSStatus AudioDeviceAddIOProc(AudioDeviceID inDevice, AudioDeviceIOProc inProc, void* inClientData);
OSStatus AudioDeviceRemoveIOProc(AudioDeviceID inDevice, AudioDeviceIOProc inProc);
OSStatus AudioDeviceCreateIOProcID(AudioDeviceID inDevice, AudioDeviceIOProc inProc,
                                   void* inClientData, AudioDeviceIOProcID* outIOProcID);
OSStatus AudioDeviceDestroyIOProcID(AudioDeviceID inDevice, AudioDeviceIOProcID inIOProcID);
OSStatus AudioDeviceStart(AudioDeviceID inDevice, AudioDeviceIOProc inProcID);
OSStatus AudioDeviceStop(AudioDeviceID inDevice, AudioDeviceIOProc inProcID);
OSStatus AudioDeviceRead(AudioDeviceID inDevice, const AudioTimeStamp* inStartTime,
                         AudioBufferList* outData);
OSStatus AudioDeviceGetCurrentTime(AudioDeviceID inDevice, AudioTimeStamp* outTime);
OSStatus AudioDeviceTranslateTime(AudioDeviceID inDevice, const AudioTimeStamp* inTime,
                                  AudioTimeStamp* outTime);
OSStatus AudioDeviceStartAtTime(AudioDeviceID inDevice, AudioDeviceIOProc inProcID,
                                AudioTimeStamp* ioRequestedStartTime, UInt32 inFlags);
OSStatus AudioDeviceGetNearestStartTime(AudioDeviceID inDevice,
                                        AudioTimeStamp* ioRequestedStartTime, UInt32 inFlags);

// ---- Device and stream properties
OSStatus AudioDeviceGetPropertyInfo(AudioDeviceID inDevice, UInt32 inChannel, Boolean isInput,
                                    AudioDevicePropertyID inPropertyID, UInt32* outSize,
                                    Boolean* outWritable);
OSStatus AudioDeviceGetProperty(AudioDeviceID inDevice, UInt32 inChannel, Boolean isInput,
                                AudioDevicePropertyID inPropertyID, UInt32* ioPropertyDataSize,
                                void* outPropertyData);
OSStatus AudioDeviceSetProperty(AudioDeviceID inDevice, const AudioTimeStamp* inWhen,
                                UInt32 inChannel, Boolean isInput,
                                AudioDevicePropertyID inPropertyID, UInt32 inPropertyDataSize,
                                const void* inPropertyData);
OSStatus AudioStreamGetPropertyInfo(AudioStreamID inStream, UInt32 inChannel,
                                    AudioDevicePropertyID inPropertyID, UInt32* outSize,
                                    Boolean* outWritable);
OSStatus AudioStreamGetProperty(AudioStreamID inStream, UInt32 inChannel,
                                AudioDevicePropertyID inPropertyID, UInt32* ioPropertyDataSize,
                                void* outPropertyData);
OSStatus AudioStreamSetProperty(AudioStreamID inStream, const AudioTimeStamp* inWhen,
                                UInt32 inChannel, AudioDevicePropertyID inPropertyID,
                                UInt32 inPropertyDataSize, const void* inPropertyData);

// ---- Object properties and listeners
Boolean AudioObjectHasProperty(AudioObjectID inObjectID,
                               const AudioObjectPropertyAddress* inAddress);
OSStatus AudioObjectIsPropertySettable(AudioObjectID inObjectID,
                                       const AudioObjectPropertyAddress* inAddress,
                                       Boolean* outIsSettable);
OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData,
                                        UInt32* outDataSize);
OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32* ioDataSize, void* outData);
OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32 inDataSize, const void* inData);
// Listeners run on the host's notification thread N.
OSStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        AudioObjectPropertyListenerProc inListener,
                                        void* inClientData);
}
