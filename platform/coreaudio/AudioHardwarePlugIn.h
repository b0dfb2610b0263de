// The legacy HAL plug-in interface: the plug-in's function table of 30
// slots, the UUIDs of its type and interfaces, the records its property
// calls carry, and the calls a plug-in makes to the HAL that loaded it
// (claiming object IDs, announcing devices and streams and their deaths;
// the property-changed calls are in HALPropertyChanges.h).
//
// The calls a plug-in makes are functions of this shared platform library:
// each finds the HAL host that loaded the plug-in by the plug-in reference
// (hx::coreaudio::HALPlugInEndpoint). A reference no host knows answers
// kAudioHardwareBadObjectError to the claims and announcements.
#pragma once

#include "platform/cf/CFPlugInCOM.h"
#include "platform/coreaudio/CoreAudioTypes.h"
#include "platform/coreaudio/HALPropertyChanges.h"

#include <cstddef>
#include <functional>

// ---- Type and interfaces

// The HAL plug-in type a bundle lists its factory under.
#define kAudioHardwarePlugInTypeID                                                                 \
    CFUUIDGetConstantUUIDWithBytes(nullptr, 0xF8, 0xBB, 0x1C, 0x28, 0xBA, 0xE8, 0x11, 0xD6, 0x9C,  \
                                   0x31, 0x00, 0x03, 0x93, 0x15, 0xCD, 0x46)
// The four generations of the table's interface (the newest first); every
// generation is the same 30-slot table here.
#define kAudioHardwarePlugInInterface4ID                                                           \
    CFUUIDGetConstantUUIDWithBytes(nullptr, 0xE9, 0x6C, 0x3E, 0x92, 0xE7, 0x45, 0x4C, 0xB7, 0xBA,  \
                                   0x91, 0xB3, 0x3C, 0x68, 0xF2, 0xF0, 0x26)
#define kAudioHardwarePlugInInterface3ID                                                           \
    CFUUIDGetConstantUUIDWithBytes(nullptr, 0x38, 0xD7, 0x8A, 0x18, 0x77, 0xA5, 0x11, 0xD8, 0xB8,  \
                                   0xB8, 0x00, 0x0A, 0x95, 0x88, 0x78, 0x7E)
#define kAudioHardwarePlugInInterface2ID                                                           \
    CFUUIDGetConstantUUIDWithBytes(nullptr, 0x5D, 0x80, 0xCB, 0x6C, 0x48, 0x4F, 0x11, 0xD7, 0x85,  \
                                   0x71, 0x00, 0x0A, 0x95, 0x77, 0x12, 0x82)
#define kAudioHardwarePlugInInterfaceID                                                            \
    CFUUIDGetConstantUUIDWithBytes(nullptr, 0xFA, 0xFC, 0xAF, 0xC3, 0xBA, 0xE8, 0x11, 0xD6, 0xB4,  \
                                   0xA8, 0x00, 0x03, 0x93, 0x15, 0xCD, 0x46)

// ---- Objects and status codes

inline constexpr AudioObjectID kAudioObjectSystemObject = 1;
inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeWildcard =
    hx::coreaudio::fourCC("****");
inline constexpr AudioObjectPropertyElement kAudioObjectPropertyElementWildcard = 0xFFFFFFFF;

enum : OSStatus {
    kAudioHardwareBadDeviceError = OSStatus(hx::coreaudio::fourCC("!dev")),
    kAudioHardwareBadStreamError = OSStatus(hx::coreaudio::fourCC("!str")),
    kAudioDevicePermissionsError = OSStatus(hx::coreaudio::fourCC("!hog")),
};

enum : AudioObjectPropertySelector {
    kAudioHardwarePropertyDevices = hx::coreaudio::fourCC("dev#"),
};

// ---- Records of the property calls

struct AudioValueTranslation {
    void* mInputData;
    UInt32 mInputDataSize;
    void* mOutputData;
    UInt32 mOutputDataSize;
};
static_assert(sizeof(AudioValueTranslation) == 32);

struct AudioChannelDescription {
    UInt32 mChannelLabel;
    UInt32 mChannelFlags;
    Float32 mCoordinates[3];
};
static_assert(sizeof(AudioChannelDescription) == 20);

// A 12-byte head and one description per channel (one declared here).
struct AudioChannelLayout {
    UInt32 mChannelLayoutTag;
    UInt32 mChannelBitmap;
    UInt32 mNumberChannelDescriptions;
    AudioChannelDescription mChannelDescriptions[1];
};
static_assert(offsetof(AudioChannelLayout, mChannelDescriptions) == 12);
static_assert(sizeof(AudioChannelLayout) == 12 + 20);

// One procedure's use of a direction's streams (one stream declared here).
struct AudioHardwareIOProcStreamUsage {
    void* mIOProc;
    UInt32 mNumberStreams;
    UInt32 mStreamIsOn[1];
};
static_assert(sizeof(AudioHardwareIOProcStreamUsage) == 16);

// ---- The function table

struct AudioHardwarePlugInInterface {
    void* _reserved;
    HRESULT (*QueryInterface)(void* thisPointer, REFIID iid, LPVOID* ppv);
    ULONG (*AddRef)(void* thisPointer);
    ULONG (*Release)(void* thisPointer);
    OSStatus (*Initialize)(AudioHardwarePlugInRef self);
    OSStatus (*Teardown)(AudioHardwarePlugInRef self);
    OSStatus (*DeviceAddIOProc)(AudioHardwarePlugInRef self, AudioDeviceID device,
                                AudioDeviceIOProc proc, void* clientData);
    OSStatus (*DeviceRemoveIOProc)(AudioHardwarePlugInRef self, AudioDeviceID device,
                                   AudioDeviceIOProc proc);
    OSStatus (*DeviceStart)(AudioHardwarePlugInRef self, AudioDeviceID device,
                            AudioDeviceIOProc procOrID);
    OSStatus (*DeviceStop)(AudioHardwarePlugInRef self, AudioDeviceID device,
                           AudioDeviceIOProc procOrID);
    OSStatus (*DeviceRead)(AudioHardwarePlugInRef self, AudioDeviceID device,
                           const AudioTimeStamp* startTime, AudioBufferList* data);
    OSStatus (*DeviceGetCurrentTime)(AudioHardwarePlugInRef self, AudioDeviceID device,
                                     AudioTimeStamp* time);
    OSStatus (*DeviceTranslateTime)(AudioHardwarePlugInRef self, AudioDeviceID device,
                                    const AudioTimeStamp* inTime, AudioTimeStamp* outTime);
    OSStatus (*DeviceGetPropertyInfo)(AudioHardwarePlugInRef self, AudioDeviceID device,
                                      UInt32 channel, Boolean isInput,
                                      AudioDevicePropertyID property, UInt32* outSize,
                                      Boolean* outWritable);
    OSStatus (*DeviceGetProperty)(AudioHardwarePlugInRef self, AudioDeviceID device, UInt32 channel,
                                  Boolean isInput, AudioDevicePropertyID property, UInt32* ioSize,
                                  void* outData);
    OSStatus (*DeviceSetProperty)(AudioHardwarePlugInRef self, AudioDeviceID device,
                                  const AudioTimeStamp* when, UInt32 channel, Boolean isInput,
                                  AudioDevicePropertyID property, UInt32 size, const void* data);
    OSStatus (*StreamGetPropertyInfo)(AudioHardwarePlugInRef self, AudioStreamID stream,
                                      UInt32 channel, AudioDevicePropertyID property,
                                      UInt32* outSize, Boolean* outWritable);
    OSStatus (*StreamGetProperty)(AudioHardwarePlugInRef self, AudioStreamID stream, UInt32 channel,
                                  AudioDevicePropertyID property, UInt32* ioSize, void* outData);
    OSStatus (*StreamSetProperty)(AudioHardwarePlugInRef self, AudioStreamID stream,
                                  const AudioTimeStamp* when, UInt32 channel,
                                  AudioDevicePropertyID property, UInt32 size, const void* data);
    OSStatus (*DeviceStartAtTime)(AudioHardwarePlugInRef self, AudioDeviceID device,
                                  AudioDeviceIOProc procOrID, AudioTimeStamp* ioRequestedStartTime,
                                  UInt32 flags);
    OSStatus (*DeviceGetNearestStartTime)(AudioHardwarePlugInRef self, AudioDeviceID device,
                                          AudioTimeStamp* ioRequestedStartTime, UInt32 flags);
    OSStatus (*InitializeWithObjectID)(AudioHardwarePlugInRef self, AudioObjectID objectID);
    void (*ObjectShow)(AudioHardwarePlugInRef self, AudioObjectID objectID);
    Boolean (*ObjectHasProperty)(AudioHardwarePlugInRef self, AudioObjectID objectID,
                                 const AudioObjectPropertyAddress* address);
    OSStatus (*ObjectIsPropertySettable)(AudioHardwarePlugInRef self, AudioObjectID objectID,
                                         const AudioObjectPropertyAddress* address,
                                         Boolean* outIsSettable);
    OSStatus (*ObjectGetPropertyDataSize)(AudioHardwarePlugInRef self, AudioObjectID objectID,
                                          const AudioObjectPropertyAddress* address,
                                          UInt32 qualifierDataSize, const void* qualifierData,
                                          UInt32* outDataSize);
    OSStatus (*ObjectGetPropertyData)(AudioHardwarePlugInRef self, AudioObjectID objectID,
                                      const AudioObjectPropertyAddress* address,
                                      UInt32 qualifierDataSize, const void* qualifierData,
                                      UInt32* ioDataSize, void* outData);
    OSStatus (*ObjectSetPropertyData)(AudioHardwarePlugInRef self, AudioObjectID objectID,
                                      const AudioObjectPropertyAddress* address,
                                      UInt32 qualifierDataSize, const void* qualifierData,
                                      UInt32 dataSize, const void* data);
    OSStatus (*DeviceCreateIOProcID)(AudioHardwarePlugInRef self, AudioDeviceID device,
                                     AudioDeviceIOProc proc, void* clientData,
                                     AudioDeviceIOProcID* outIOProcID);
    OSStatus (*DeviceDestroyIOProcID)(AudioHardwarePlugInRef self, AudioDeviceID device,
                                      AudioDeviceIOProcID procID);
};
static_assert(sizeof(AudioHardwarePlugInInterface) == 30 * sizeof(void*));

// ---- Calls of the plug-in to its HAL

extern "C" {
OSStatus AudioHardwareClaimAudioDeviceID(AudioHardwarePlugInRef inOwner,
                                         AudioDeviceID* outAudioDeviceID);
OSStatus AudioHardwareClaimAudioStreamID(AudioHardwarePlugInRef inOwner,
                                         AudioDeviceID inOwningDeviceID,
                                         AudioStreamID* outAudioStreamID);
OSStatus AudioHardwareDevicesCreated(AudioHardwarePlugInRef inOwner, UInt32 inNumberDevices,
                                     const AudioDeviceID* inAudioDeviceIDs);
OSStatus AudioHardwareDevicesDied(AudioHardwarePlugInRef inOwner, UInt32 inNumberDevices,
                                  const AudioDeviceID* inAudioDeviceIDs);
OSStatus AudioHardwareStreamsCreated(AudioHardwarePlugInRef inOwner, AudioDeviceID inOwningDeviceID,
                                     UInt32 inNumberStreams, const AudioStreamID* inAudioStreamIDs);
}

namespace hx::coreaudio {

// What a HAL host answers its plug-in's calls with. The host registers one
// per plug-in reference it loaded; a call runs while the registration holds
// (unregistering waits for calls in progress).
class HALPlugInEndpoint {
public:
    virtual ~HALPlugInEndpoint() = default;
    virtual OSStatus claimDeviceID(AudioDeviceID* out) = 0;
    virtual OSStatus claimStreamID(AudioDeviceID owner, AudioStreamID* out) = 0;
    virtual OSStatus devicesCreated(UInt32 count, const AudioDeviceID* ids) = 0;
    virtual OSStatus devicesDied(UInt32 count, const AudioDeviceID* ids) = 0;
    virtual OSStatus streamsCreated(AudioDeviceID owner, UInt32 count,
                                    const AudioStreamID* ids) = 0;
    virtual OSStatus propertyChanged(const PropertyChange& change) = 0;
};

void registerHALPlugIn(AudioHardwarePlugInRef plugIn, HALPlugInEndpoint* endpoint);
void unregisterHALPlugIn(AudioHardwarePlugInRef plugIn);

// Runs fn with the endpoint of a reference while its registration holds;
// false (fn not run) for a reference no host registered.
bool withHALPlugInEndpoint(AudioHardwarePlugInRef plugIn,
                           const std::function<void(HALPlugInEndpoint&)>& fn);

} // namespace hx::coreaudio
