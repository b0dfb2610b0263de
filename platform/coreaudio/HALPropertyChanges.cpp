#include "platform/coreaudio/HALPropertyChanges.h"

#include "platform/base/HXClock.h"
#include "platform/coreaudio/AudioHardwarePlugIn.h"

#include <deque>
#include <mutex>

namespace hx::coreaudio {

namespace {

// The recorder keeps the latest calls only, so a long run without a host
// cannot grow it without bound.
constexpr std::size_t kRecorded = 4096;

std::mutex gLock;
PropertyChangeHook gHook;
std::deque<PropertyChange> gRecorded;

OSStatus deliver(PropertyChange change) {
    change.hostTime = mach_absolute_time();
    // A plug-in a HAL host loaded tells that host.
    OSStatus status = 0;
    if (withHALPlugInEndpoint(change.plugIn,
                              [&](HALPlugInEndpoint& e) { status = e.propertyChanged(change); }))
        return status;
    PropertyChangeHook hook;
    {
        std::lock_guard<std::mutex> g(gLock);
        if (!gHook) {
            gRecorded.push_back(std::move(change));
            if (gRecorded.size() > kRecorded) gRecorded.pop_front();
            return kAudioHardwareNoError;
        }
        hook = gHook;
    }
    return hook(change);
}

} // namespace

void setPropertyChangeHook(PropertyChangeHook hook) {
    std::lock_guard<std::mutex> g(gLock);
    gHook = std::move(hook);
}

std::vector<PropertyChange> recordedPropertyChanges() {
    std::lock_guard<std::mutex> g(gLock);
    return {gRecorded.begin(), gRecorded.end()};
}

void clearRecordedPropertyChanges() {
    std::lock_guard<std::mutex> g(gLock);
    gRecorded.clear();
}

} // namespace hx::coreaudio

using hx::coreaudio::PropertyChange;

extern "C" OSStatus AudioHardwareDevicePropertyChanged(AudioHardwarePlugInRef inPlugIn,
                                                       AudioDeviceID inDeviceID, UInt32 inChannel,
                                                       Boolean isInput,
                                                       AudioDevicePropertyID inPropertyID) {
    return hx::coreaudio::deliver(PropertyChange{PropertyChange::Call::Device,
                                                 inPlugIn,
                                                 inDeviceID,
                                                 0,
                                                 inChannel,
                                                 isInput != 0,
                                                 inPropertyID,
                                                 {},
                                                 0});
}

extern "C" OSStatus AudioHardwareStreamPropertyChanged(AudioHardwarePlugInRef inPlugIn,
                                                       AudioDeviceID inOwningDeviceID,
                                                       AudioStreamID inStreamID, UInt32 inChannel,
                                                       AudioDevicePropertyID inPropertyID) {
    return hx::coreaudio::deliver(PropertyChange{PropertyChange::Call::Stream,
                                                 inPlugIn,
                                                 inOwningDeviceID,
                                                 inStreamID,
                                                 inChannel,
                                                 false,
                                                 inPropertyID,
                                                 {},
                                                 0});
}

extern "C" OSStatus AudioObjectPropertiesChanged(AudioHardwarePlugInRef inPlugIn,
                                                 AudioObjectID inObjectID, UInt32 inNumberAddresses,
                                                 const AudioObjectPropertyAddress inAddresses[]) {
    std::vector<AudioObjectPropertyAddress> addresses;
    if (inAddresses) addresses.assign(inAddresses, inAddresses + inNumberAddresses);
    return hx::coreaudio::deliver(PropertyChange{PropertyChange::Call::Object, inPlugIn, inObjectID,
                                                 0, 0, false, 0, std::move(addresses), 0});
}
