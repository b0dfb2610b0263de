// The program-side calls: through the process's host to the plug-in's
// table. What a program registers and starts is noted, so unloading can
// undo what it left.
#include "platform/coreaudio/HALHostCalls.h"

#include "platform/coreaudio/HALHostImpl.h"

#include <cstring>

using hx::coreaudio::HALHost;

namespace {

// Runs f(impl, plug-in reference) with the loaded host, else 'stop'. Every
// program call passes here, GetCurrentTime among them, so the host and its
// plug-in reference are read in place, once each.
template <class F> auto through(F f, decltype(f(std::declval<HALHost::Impl&>(), nullptr)) none) {
    HALHost* h = hx::coreaudio::gLoadedHALHost.load(std::memory_order_acquire);
    if (!h) return none;
    HALHost::Impl& m = h->impl();
    AudioHardwarePlugInRef r = m.ref;
    if (!r) return none;
    return f(m, r);
}

template <class F> OSStatus through(F f) {
    return through(f, OSStatus(kAudioHardwareNotRunningError));
}

void note(HALHost::Impl& m, std::multimap<AudioDeviceID, AudioDeviceIOProc>& list,
          AudioDeviceID device, AudioDeviceIOProc proc, bool add) {
    std::lock_guard<std::mutex> g(m.lock);
    if (add) {
        list.emplace(device, proc);
        return;
    }
    auto [first, last] = list.equal_range(device);
    for (auto it = first; it != last; ++it)
        if (it->second == proc) {
            list.erase(it);
            return;
        }
}

bool isDeviceList(AudioObjectID object, const AudioObjectPropertyAddress* a) {
    return object == kAudioObjectSystemObject && a && a->mSelector == kAudioHardwarePropertyDevices;
}

} // namespace

extern "C" {

OSStatus AudioDeviceAddIOProc(AudioDeviceID inDevice, AudioDeviceIOProc inProc,
                              void* inClientData) {
    return through([&](HALHost::Impl& m, AudioHardwarePlugInRef r) {
        const OSStatus s = (*r)->DeviceAddIOProc(r, inDevice, inProc, inClientData);
        if (s == 0) note(m, m.added, inDevice, inProc, true);
        return s;
    });
}

OSStatus AudioDeviceRemoveIOProc(AudioDeviceID inDevice, AudioDeviceIOProc inProc) {
    return through([&](HALHost::Impl& m, AudioHardwarePlugInRef r) {
        const OSStatus s = (*r)->DeviceRemoveIOProc(r, inDevice, inProc);
        if (s == 0) note(m, m.added, inDevice, inProc, false);
        return s;
    });
}

OSStatus AudioDeviceCreateIOProcID(AudioDeviceID inDevice, AudioDeviceIOProc inProc,
                                   void* inClientData, AudioDeviceIOProcID* outIOProcID) {
    return through([&](HALHost::Impl& m, AudioHardwarePlugInRef r) {
        const OSStatus s =
            (*r)->DeviceCreateIOProcID(r, inDevice, inProc, inClientData, outIOProcID);
        if (s == 0 && outIOProcID && *outIOProcID) note(m, m.created, inDevice, *outIOProcID, true);
        return s;
    });
}

OSStatus AudioDeviceDestroyIOProcID(AudioDeviceID inDevice, AudioDeviceIOProcID inIOProcID) {
    return through([&](HALHost::Impl& m, AudioHardwarePlugInRef r) {
        const OSStatus s = (*r)->DeviceDestroyIOProcID(r, inDevice, inIOProcID);
        if (s == 0) {
            note(m, m.created, inDevice, inIOProcID, false);
            // Destroying stops it.
            note(m, m.started, inDevice, inIOProcID, false);
        }
        return s;
    });
}

OSStatus AudioDeviceStart(AudioDeviceID inDevice, AudioDeviceIOProc inProcID) {
    return through([&](HALHost::Impl& m, AudioHardwarePlugInRef r) {
        const OSStatus s = (*r)->DeviceStart(r, inDevice, inProcID);
        if (s == 0 && inProcID) note(m, m.started, inDevice, inProcID, true);
        if (s == 0 && !inProcID) {
            std::lock_guard<std::mutex> g(m.lock);
            ++m.deviceStarts[inDevice];
        }
        return s;
    });
}

OSStatus AudioDeviceStop(AudioDeviceID inDevice, AudioDeviceIOProc inProcID) {
    return through([&](HALHost::Impl& m, AudioHardwarePlugInRef r) {
        const OSStatus s = (*r)->DeviceStop(r, inDevice, inProcID);
        if (s == 0 && inProcID) note(m, m.started, inDevice, inProcID, false);
        if (s == 0 && !inProcID) {
            std::lock_guard<std::mutex> g(m.lock);
            auto it = m.deviceStarts.find(inDevice);
            if (it != m.deviceStarts.end() && --it->second <= 0) m.deviceStarts.erase(it);
        }
        return s;
    });
}

OSStatus AudioDeviceRead(AudioDeviceID inDevice, const AudioTimeStamp* inStartTime,
                         AudioBufferList* outData) {
    return through([&](HALHost::Impl&, AudioHardwarePlugInRef r) {
        return (*r)->DeviceRead(r, inDevice, inStartTime, outData);
    });
}

OSStatus AudioDeviceGetCurrentTime(AudioDeviceID inDevice, AudioTimeStamp* outTime) {
    return through([&](HALHost::Impl&, AudioHardwarePlugInRef r) {
        return (*r)->DeviceGetCurrentTime(r, inDevice, outTime);
    });
}

OSStatus AudioDeviceTranslateTime(AudioDeviceID inDevice, const AudioTimeStamp* inTime,
                                  AudioTimeStamp* outTime) {
    return through([&](HALHost::Impl&, AudioHardwarePlugInRef r) {
        return (*r)->DeviceTranslateTime(r, inDevice, inTime, outTime);
    });
}

OSStatus AudioDeviceStartAtTime(AudioDeviceID inDevice, AudioDeviceIOProc inProcID,
                                AudioTimeStamp* ioRequestedStartTime, UInt32 inFlags) {
    return through([&](HALHost::Impl&, AudioHardwarePlugInRef r) {
        return (*r)->DeviceStartAtTime(r, inDevice, inProcID, ioRequestedStartTime, inFlags);
    });
}

OSStatus AudioDeviceGetNearestStartTime(AudioDeviceID inDevice,
                                        AudioTimeStamp* ioRequestedStartTime, UInt32 inFlags) {
    return through([&](HALHost::Impl&, AudioHardwarePlugInRef r) {
        return (*r)->DeviceGetNearestStartTime(r, inDevice, ioRequestedStartTime, inFlags);
    });
}

OSStatus AudioDeviceGetPropertyInfo(AudioDeviceID inDevice, UInt32 inChannel, Boolean isInput,
                                    AudioDevicePropertyID inPropertyID, UInt32* outSize,
                                    Boolean* outWritable) {
    return through([&](HALHost::Impl&, AudioHardwarePlugInRef r) {
        return (*r)->DeviceGetPropertyInfo(r, inDevice, inChannel, isInput, inPropertyID, outSize,
                                           outWritable);
    });
}

OSStatus AudioDeviceGetProperty(AudioDeviceID inDevice, UInt32 inChannel, Boolean isInput,
                                AudioDevicePropertyID inPropertyID, UInt32* ioPropertyDataSize,
                                void* outPropertyData) {
    return through([&](HALHost::Impl&, AudioHardwarePlugInRef r) {
        return (*r)->DeviceGetProperty(r, inDevice, inChannel, isInput, inPropertyID,
                                       ioPropertyDataSize, outPropertyData);
    });
}

OSStatus AudioDeviceSetProperty(AudioDeviceID inDevice, const AudioTimeStamp* inWhen,
                                UInt32 inChannel, Boolean isInput,
                                AudioDevicePropertyID inPropertyID, UInt32 inPropertyDataSize,
                                const void* inPropertyData) {
    return through([&](HALHost::Impl&, AudioHardwarePlugInRef r) {
        return (*r)->DeviceSetProperty(r, inDevice, inWhen, inChannel, isInput, inPropertyID,
                                       inPropertyDataSize, inPropertyData);
    });
}

OSStatus AudioStreamGetPropertyInfo(AudioStreamID inStream, UInt32 inChannel,
                                    AudioDevicePropertyID inPropertyID, UInt32* outSize,
                                    Boolean* outWritable) {
    return through([&](HALHost::Impl&, AudioHardwarePlugInRef r) {
        return (*r)->StreamGetPropertyInfo(r, inStream, inChannel, inPropertyID, outSize,
                                           outWritable);
    });
}

OSStatus AudioStreamGetProperty(AudioStreamID inStream, UInt32 inChannel,
                                AudioDevicePropertyID inPropertyID, UInt32* ioPropertyDataSize,
                                void* outPropertyData) {
    return through([&](HALHost::Impl&, AudioHardwarePlugInRef r) {
        return (*r)->StreamGetProperty(r, inStream, inChannel, inPropertyID, ioPropertyDataSize,
                                       outPropertyData);
    });
}

OSStatus AudioStreamSetProperty(AudioStreamID inStream, const AudioTimeStamp* inWhen,
                                UInt32 inChannel, AudioDevicePropertyID inPropertyID,
                                UInt32 inPropertyDataSize, const void* inPropertyData) {
    return through([&](HALHost::Impl&, AudioHardwarePlugInRef r) {
        return (*r)->StreamSetProperty(r, inStream, inWhen, inChannel, inPropertyID,
                                       inPropertyDataSize, inPropertyData);
    });
}

Boolean AudioObjectHasProperty(AudioObjectID inObjectID,
                               const AudioObjectPropertyAddress* inAddress) {
    if (isDeviceList(inObjectID, inAddress)) return hx::coreaudio::currentHALHost() != nullptr;
    return through(
        [&](HALHost::Impl&, AudioHardwarePlugInRef r) {
            return (*r)->ObjectHasProperty(r, inObjectID, inAddress);
        },
        Boolean(false));
}

OSStatus AudioObjectIsPropertySettable(AudioObjectID inObjectID,
                                       const AudioObjectPropertyAddress* inAddress,
                                       Boolean* outIsSettable) {
    if (isDeviceList(inObjectID, inAddress)) {
        if (outIsSettable) *outIsSettable = false;
        return 0;
    }
    return through([&](HALHost::Impl&, AudioHardwarePlugInRef r) {
        return (*r)->ObjectIsPropertySettable(r, inObjectID, inAddress, outIsSettable);
    });
}

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData,
                                        UInt32* outDataSize) {
    if (isDeviceList(inObjectID, inAddress)) {
        HALHost* h = hx::coreaudio::currentHALHost();
        if (!h) return kAudioHardwareNotRunningError;
        if (!outDataSize) return kAudioHardwareBadPropertySizeError;
        *outDataSize = UInt32(h->devices().size() * sizeof(AudioDeviceID));
        return 0;
    }
    return through([&](HALHost::Impl&, AudioHardwarePlugInRef r) {
        return (*r)->ObjectGetPropertyDataSize(r, inObjectID, inAddress, inQualifierDataSize,
                                               inQualifierData, outDataSize);
    });
}

OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32* ioDataSize, void* outData) {
    if (isDeviceList(inObjectID, inAddress)) {
        HALHost* h = hx::coreaudio::currentHALHost();
        if (!h) return kAudioHardwareNotRunningError;
        if (!ioDataSize || (*ioDataSize && !outData)) return kAudioHardwareBadPropertySizeError;
        const std::vector<AudioDeviceID> list = h->devices();
        const std::size_t n =
            std::min<std::size_t>(*ioDataSize / sizeof(AudioDeviceID), list.size());
        if (n) std::memcpy(outData, list.data(), n * sizeof(AudioDeviceID));
        *ioDataSize = UInt32(n * sizeof(AudioDeviceID));
        return 0;
    }
    return through([&](HALHost::Impl&, AudioHardwarePlugInRef r) {
        return (*r)->ObjectGetPropertyData(r, inObjectID, inAddress, inQualifierDataSize,
                                           inQualifierData, ioDataSize, outData);
    });
}

OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32 inDataSize, const void* inData) {
    if (isDeviceList(inObjectID, inAddress)) return kAudioHardwareIllegalOperationError;
    return through([&](HALHost::Impl&, AudioHardwarePlugInRef r) {
        return (*r)->ObjectSetPropertyData(r, inObjectID, inAddress, inQualifierDataSize,
                                           inQualifierData, inDataSize, inData);
    });
}

OSStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID,
                                        const AudioObjectPropertyAddress* inAddress,
                                        AudioObjectPropertyListenerProc inListener,
                                        void* inClientData) {
    HALHost* h = hx::coreaudio::currentHALHost();
    if (!h) return kAudioHardwareNotRunningError;
    if (!inAddress || !inListener) return kAudioHardwareIllegalOperationError;
    h->addListener(inObjectID, *inAddress,
                   [inListener, inClientData](AudioObjectID object, UInt32 count,
                                              const AudioObjectPropertyAddress* addresses) {
                       inListener(object, count, addresses, inClientData);
                   });
    return 0;
}

} // extern "C"
