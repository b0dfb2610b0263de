// Device publication, the look-ups every call starts with, and the change
// notices the device layer reports.
#include "plugins/hal/ZrAsioDriver.h"

#include "device/ZrOSXDevice.h"

namespace {

bool isOutputOnly(const ZrOSXDevice* device) {
    return device->isOutputOnly();
}

// The channel count of a direction's current virtual format; 0 (the master
// element only) when it cannot be read.
UInt32 formatChannels(ZrOSXDevice* device, bool isInput) {
    AudioStreamBasicDescription d{};
    if (device->getStreamFormat(isInput, &d, false, 0xFFFFFFFF) != 0) return 0;
    return d.mChannelsPerFrame;
}

} // namespace

ZrOSXDevice* ZrAsioDriver::findListed(AudioDeviceID deviceID) const {
    for (int i = 0; i < mDevices.count(); ++i) {
        auto* d = static_cast<ZrOSXDevice*>(mDevices.atPos(i));
        if (d->getAudioDeviceID() == deviceID) return d;
    }
    return nullptr;
}

ZrOSXDevice* ZrAsioDriver::getDeviceAndRetain(AudioDeviceID deviceID) {
    std::lock_guard<ZrListLock> g(mListLock);
    ZrOSXDevice* d = findListed(deviceID);
    if (d) d->incReferences();
    return d;
}

ZrOSXDevice* ZrAsioDriver::getDeviceAndRetainFromStreamID(AudioStreamID streamID) {
    std::lock_guard<ZrListLock> g(mListLock);
    for (int i = 0; i < mDevices.count(); ++i) {
        auto* d = static_cast<ZrOSXDevice*>(mDevices.atPos(i));
        if (d->getOutAudioStreamID() == streamID ||
            (!isOutputOnly(d) && d->getInAudioStreamID() == streamID)) {
            d->incReferences();
            return d;
        }
    }
    return nullptr;
}

ZrOSXDevice* ZrAsioDriver::getObjectAndRetain(AudioObjectID object) {
    ZrOSXDevice* d = getDeviceAndRetain(object);
    return d ? d : getDeviceAndRetainFromStreamID(object);
}

void ZrAsioDriver::takeDeviceList(ZrCollection& out) {
    std::lock_guard<ZrListLock> g(mListLock);
    for (int i = 0; i < mDevices.count(); ++i) {
        auto* d = static_cast<ZrOSXDevice*>(mDevices.atPos(i));
        d->setAudioIDs(0, 0, 0);
        out.add(d);
    }
    mDevices.removeAll();
}

void ZrAsioDriver::listRemove(ZrOSXDevice* device) {
    device->incReferences(); // the list's reference may be the last
    {
        std::lock_guard<ZrListLock> g(mListLock);
        mDevices.remove(device);
    }
    device->decReferences();
}

void ZrAsioDriver::deviceAdded(ZrOSXDevice* device) {
    if (!device || mTearingDown) return;
    AudioHardwarePlugInRef ref = plugin();
    AudioDeviceID deviceID = 0;
    AudioStreamID inStreamID = 0, outStreamID = 0;
    if (AudioHardwareClaimAudioDeviceID(ref, &deviceID) != 0) return;
    const bool outputOnly = isOutputOnly(device);
    if (!outputOnly && AudioHardwareClaimAudioStreamID(ref, deviceID, &inStreamID) != 0) return;
    if (AudioHardwareClaimAudioStreamID(ref, deviceID, &outStreamID) != 0) return;
    {
        // Look-ups read the IDs under the list's lock.
        std::lock_guard<ZrListLock> g(mListLock);
        device->setAudioIDs(deviceID, inStreamID, outStreamID);
        mDevices.add(device);
    }
    if (AudioHardwareDevicesCreated(ref, 1, &deviceID) != 0) {
        // The IDs stay set on the device.
        listRemove(device);
        return;
    }
    const AudioStreamID both[2] = {inStreamID, outStreamID};
    if (outputOnly)
        AudioHardwareStreamsCreated(ref, deviceID, 1, &outStreamID);
    else
        AudioHardwareStreamsCreated(ref, deviceID, 2, both);
}

void ZrAsioDriver::deviceRemoved(ZrOSXDevice* device) {
    if (!device) return;
    AudioDeviceID deviceID = 0;
    {
        std::lock_guard<ZrListLock> g(mListLock);
        if (!mTearingDown) deviceID = device->getAudioDeviceID();
        if (deviceID != 0) device->setAudioIDs(0, 0, 0);
    }
    if (deviceID != 0) AudioHardwareDevicesDied(plugin(), 1, &deviceID);
    listRemove(device);
}

void ZrAsioDriver::notify(ZrOSXDevice* device, UInt32 element, bool isInput,
                          AudioDevicePropertyID selector) {
    AudioHardwareDevicePropertyChanged(plugin(), device->getAudioDeviceID(), element, isInput,
                                       selector);
}

void ZrAsioDriver::onVolumeChanged(ZrOSXDevice* device) {
    if (!device) return;
    for (bool isInput : {true, false}) {
        const UInt32 channels = formatChannels(device, isInput);
        for (UInt32 e = 0; e <= channels; ++e) {
            notify(device, e, isInput, kAudioDevicePropertyVolumeScalar);
            notify(device, e, isInput, kAudioDevicePropertyVolumeDecibels);
        }
    }
}

void ZrAsioDriver::onMuteChanged(ZrOSXDevice* device) {
    if (!device) return;
    notify(device, 0, true, kAudioDevicePropertyMute);
    notify(device, 0, false, kAudioDevicePropertyMute);
}

void ZrAsioDriver::onMonitorChanged(ZrOSXDevice* device) {
    if (!device) return;
    const UInt32 channels = device->reportedSettings().InChannels;
    for (UInt32 e = 0; e <= channels; ++e)
        notify(device, e, true, kAudioDevicePropertyPlayThru);
}

void ZrAsioDriver::onDataSourceChanged(ZrOSXDevice* device) {
    if (!device) return;
    AudioHardwarePlugInRef ref = plugin();
    const AudioDeviceID id = device->getAudioDeviceID();
    AudioHardwareStreamPropertyChanged(ref, id, device->getInAudioStreamID(), 0,
                                       kAudioDevicePropertyDataSource);
    AudioHardwareStreamPropertyChanged(ref, id, device->getOutAudioStreamID(), 0,
                                       kAudioDevicePropertyDataSource);
    notify(device, 0, true, kAudioDevicePropertyDataSource);
    notify(device, 0, false, kAudioDevicePropertyDataSource);
}

void ZrAsioDriver::onDeviceStopped(ZrOSXDevice* device) {
    if (!device) return;
    notify(device, 0, true, kAudioDevicePropertyDeviceIsRunning);
    notify(device, 0, false, kAudioDevicePropertyDeviceIsRunning);
}
