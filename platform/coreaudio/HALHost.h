// The HAL host: what the audio system does in a client process with a
// legacy HAL plug-in, so tests and programs play and record through the
// real plug-in code.
//
// Loading runs on the calling thread: the process identity is set (name,
// emulated release), the bundle is loaded through platform/cf, its factory
// is called with the HAL plug-in type, the reference is asked for the newest
// interface (and that extra reference released), and InitializeWithObjectID
// runs with an ID claimed for the plug-in; devices already present are
// published inside that call.
//
// The plug-in's calls (claims, devices and streams created or died,
// property changes) reach the host through the shared platform library,
// found by the plug-in reference. One object registry hands out the IDs
// (monotonic, never 0). Announcements and property changes are queued and
// the call returns at once: thread N delivers them to listeners in the
// order made, never inside a plug-in call. Thread M runs the main run loop
// (the device manager's IOKit notifications, later publications, removals,
// change notices), declared the process's main thread, unless the program
// runs that loop itself. IO procedures run on each device's own audio
// thread; the host does nothing per cycle.
//
// Programs reach the plug-in through the program-side calls
// (HALHostCalls.h), which find the plug-in owning an ID and pass its status
// on unchanged; the host answers nothing itself but the device list.
#pragma once

#include "platform/coreaudio/AudioHardwarePlugIn.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace hx::coreaudio {

// Where HAL plug-in bundles are installed, under the path root.
inline constexpr const char* kHALPlugInFolder = "/Library/Audio/Plug-Ins/HAL";

struct HALHostOptions {
    // The process identity set at load; empty keeps the program's own.
    std::string processName;
    std::string release; // the emulated release, e.g. "13.0.0"
    // Thread M runs the main run loop; false: the program runs it.
    bool runMainLoop = true;
};

using HALPropertyListener = std::function<void(AudioObjectID object, UInt32 count,
                                               const AudioObjectPropertyAddress* addresses)>;

// One delivered notification, as listeners saw it (for tests).
struct HALNotice {
    AudioObjectID object = 0;
    AudioObjectPropertyAddress address{};
};

// What the plug-in announced, in order (for tests).
struct HALAnnouncement {
    enum class Kind { DevicesCreated, StreamsCreated, DevicesDied, DiedIgnored };
    Kind kind;
    AudioObjectID device = 0;
    std::vector<AudioObjectID> streams; // StreamsCreated
};

class HALHost {
public:
    explicit HALHost(HALHostOptions options = {});
    ~HALHost(); // unload()
    HALHost(const HALHost&) = delete;
    HALHost& operator=(const HALHost&) = delete;

    // Copies a built bundle folder into the HAL folder under the root (a
    // program's or test's installation step); false when it cannot.
    static bool installBundle(const std::string& builtBundle);

    // Loads the bundle (a path of the other system), or the first bundle of
    // the HAL folder that lists a factory for the HAL plug-in type. Answers
    // InitializeWithObjectID's status, or 'what' when nothing could be
    // loaded (the factory answered null, the interface was refused).
    OSStatus load(const std::string& bundlePath = {});
    // Stops and destroys what the program left, Teardown, Release to zero;
    // then ends the threads. Nothing of the plug-in's remains running.
    void unload();
    bool loaded() const;
    AudioHardwarePlugInRef plugIn() const;
    AudioObjectID plugInObjectID() const;

    // The published devices in order, and a device's streams.
    std::vector<AudioDeviceID> devices() const;
    std::vector<AudioStreamID> streams(AudioDeviceID device) const;
    std::vector<HALAnnouncement> announcements() const;
    std::vector<HALNotice> notices() const;

    // Listeners (wildcard scope and element match every one); the device
    // list is (kAudioObjectSystemObject, 'dev#').
    void addListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                     HALPropertyListener listener);

    // Returns when thread M has run everything signalled and thread N has
    // delivered everything queued.
    void settle();

    // Test knobs.
    void failNextClaim();
    void failNextDevicesCreated();

    struct Impl;
    Impl& impl() { return *mImpl; }

private:
    std::unique_ptr<Impl> mImpl;
};

// The process's loaded host (the program-side calls use it), or null.
HALHost* currentHALHost();

} // namespace hx::coreaudio
