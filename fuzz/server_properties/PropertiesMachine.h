// The machine the server property fuzz targets call into: the server host
// with the plug-in's driver interface loaded and one HX-5100 device listed
// and active. One implementation lists a device over a scripted kernel
// service (ScriptedMachine.cpp), the other runs the whole stack - bus,
// simulated HX-5100, kernel driver, the real service through the IOKit
// stand-in (StackMachine.cpp).
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/base/HXPath.h"
#include "platform/coreaudio/ServerHost.h"
#include "platform/sys/HXProcess.h"
#include "plugins/server/QnASPlugInDevice.h"
#include "plugins/server/QnASPlugInPlugIn.h"

#define HX_FUZZ_REQUIRE(cond)                                                                      \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "server properties fuzz: %s failed at %s:%d\n", #cond, __FILE__,  \
                         __LINE__);                                                                \
            __builtin_trap();                                                                      \
        }                                                                                          \
    } while (0)

namespace serverfuzz {

// Once per process: the machine, the host, the device listed.
void boot();
// After each call: the device is listed and active again (plugged anew if
// a call took it away), the host's queues drained.
void replugIfGone();
// After each input: IO stopped, the machine back to its first settings.
void resetAfterInput();

// What the machine set up and keeps current, read by the calls.
struct Current {
    hx::coreaudio::ServerHost* host = nullptr;
    AudioObjectID id = 0;
    QnASPlugInDevice* device = nullptr;
};
inline Current gCurrent;

// The process as the audio server's: its folders, user and release.
inline void prepareProcess() {
    std::filesystem::create_directories(hx::path::map("/tmp"));
    hx::sys::setOwnUid(501);
    hx::sys::setEmulatedRelease(std::string("13.0.0"));
}

// The plug-in lists the device.
inline bool listed(AudioObjectID inDevice) {
    for (const auto& info : QnASPlugInPlugIn::GetInstance()->CopyDeviceList())
        if (info.mDeviceObjectID == inDevice) return true;
    return false;
}

inline hx::coreaudio::ServerHost& host() {
    return *gCurrent.host;
}
inline AudioObjectID deviceID() {
    return gCurrent.id;
}
inline QnASPlugInDevice& device() {
    return *gCurrent.device;
}

} // namespace serverfuzz
