// The calls a HAL plug-in makes to the host that loaded it, found by the
// plug-in reference.
#include "platform/coreaudio/AudioHardwarePlugIn.h"

#include <map>
#include <mutex>
#include <shared_mutex>

namespace hx::coreaudio {

namespace {

// Readers are the plug-in's calls; a host unregistering waits for them.
std::shared_mutex gLock;

std::map<AudioHardwarePlugInRef, HALPlugInEndpoint*>& endpoints() {
    static auto* m = new std::map<AudioHardwarePlugInRef, HALPlugInEndpoint*>;
    return *m;
}

OSStatus call(AudioHardwarePlugInRef plugIn,
              const std::function<OSStatus(HALPlugInEndpoint&)>& fn) {
    OSStatus status = kAudioHardwareBadObjectError;
    withHALPlugInEndpoint(plugIn, [&](HALPlugInEndpoint& e) { status = fn(e); });
    return status;
}

} // namespace

void registerHALPlugIn(AudioHardwarePlugInRef plugIn, HALPlugInEndpoint* endpoint) {
    std::unique_lock<std::shared_mutex> g(gLock);
    endpoints()[plugIn] = endpoint;
}

void unregisterHALPlugIn(AudioHardwarePlugInRef plugIn) {
    std::unique_lock<std::shared_mutex> g(gLock);
    endpoints().erase(plugIn);
}

bool withHALPlugInEndpoint(AudioHardwarePlugInRef plugIn,
                           const std::function<void(HALPlugInEndpoint&)>& fn) {
    std::shared_lock<std::shared_mutex> g(gLock);
    auto it = endpoints().find(plugIn);
    if (it == endpoints().end()) return false;
    fn(*it->second);
    return true;
}

} // namespace hx::coreaudio

using hx::coreaudio::HALPlugInEndpoint;

extern "C" OSStatus AudioHardwareClaimAudioDeviceID(AudioHardwarePlugInRef inOwner,
                                                    AudioDeviceID* outAudioDeviceID) {
    return hx::coreaudio::call(
        inOwner, [&](HALPlugInEndpoint& e) { return e.claimDeviceID(outAudioDeviceID); });
}

extern "C" OSStatus AudioHardwareClaimAudioStreamID(AudioHardwarePlugInRef inOwner,
                                                    AudioDeviceID inOwningDeviceID,
                                                    AudioStreamID* outAudioStreamID) {
    return hx::coreaudio::call(inOwner, [&](HALPlugInEndpoint& e) {
        return e.claimStreamID(inOwningDeviceID, outAudioStreamID);
    });
}

extern "C" OSStatus AudioHardwareDevicesCreated(AudioHardwarePlugInRef inOwner,
                                                UInt32 inNumberDevices,
                                                const AudioDeviceID* inAudioDeviceIDs) {
    return hx::coreaudio::call(inOwner, [&](HALPlugInEndpoint& e) {
        return e.devicesCreated(inNumberDevices, inAudioDeviceIDs);
    });
}

extern "C" OSStatus AudioHardwareDevicesDied(AudioHardwarePlugInRef inOwner, UInt32 inNumberDevices,
                                             const AudioDeviceID* inAudioDeviceIDs) {
    return hx::coreaudio::call(inOwner, [&](HALPlugInEndpoint& e) {
        return e.devicesDied(inNumberDevices, inAudioDeviceIDs);
    });
}

extern "C" OSStatus AudioHardwareStreamsCreated(AudioHardwarePlugInRef inOwner,
                                                AudioDeviceID inOwningDeviceID,
                                                UInt32 inNumberStreams,
                                                const AudioStreamID* inAudioStreamIDs) {
    return hx::coreaudio::call(inOwner, [&](HALPlugInEndpoint& e) {
        return e.streamsCreated(inOwningDeviceID, inNumberStreams, inAudioStreamIDs);
    });
}
