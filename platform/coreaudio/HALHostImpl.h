// The HAL host's state (private to platform/coreaudio's HAL host files).
#pragma once

#include "platform/base/HXClock.h"
#include "platform/cf/CFRunLoop.h"
#include "platform/coreaudio/HALHost.h"

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace hx::coreaudio {

// The loaded host behind currentHALHost(). Hidden, so the program-side calls
// of this library read it in place instead of calling out through the
// library's own import table on every call.
extern std::atomic<HALHost*> gLoadedHALHost __attribute__((visibility("hidden")));

struct HALHost::Impl : HALPlugInEndpoint {
    explicit Impl(HALHostOptions o) : options(std::move(o)) {}

    // ---- The plug-in's calls (any thread; they only queue)
    OSStatus claimDeviceID(AudioDeviceID* out) override;
    OSStatus claimStreamID(AudioDeviceID owner, AudioStreamID* out) override;
    OSStatus devicesCreated(UInt32 count, const AudioDeviceID* ids) override;
    OSStatus devicesDied(UInt32 count, const AudioDeviceID* ids) override;
    OSStatus streamsCreated(AudioDeviceID owner, UInt32 count, const AudioStreamID* ids) override;
    OSStatus propertyChanged(const PropertyChange& change) override;

    // ---- Threads
    void startThreads();
    void stopThreads();
    void runMain(hx::clock::Reservation seat);
    void runNotices(hx::clock::Reservation seat);
    static void markerPerform(void* info);
    void parkMain(bool park);
    void queueLocked(AudioObjectID object, const AudioObjectPropertyAddress& address);

    // ---- Loading
    OSStatus loadBundle(const std::string& path);
    void leaveNothingBehind();

    HALHostOptions options;
    mutable std::mutex lock;

    // Objects: what each claimed ID is.
    enum class Kind { PlugIn, Device, Stream };
    struct Object {
        Kind kind;
        AudioObjectID owner = 0; // a stream's device
        bool published = false;
    };
    AudioObjectID nextID = 2; // 1 is the system object
    std::map<AudioObjectID, Object> objects;
    std::vector<AudioDeviceID> deviceList;
    std::map<AudioDeviceID, std::vector<AudioStreamID>> streamLists;
    std::vector<HALAnnouncement> announced;
    bool failClaim = false;
    bool failCreated = false;

    // Notifications, delivered by thread N.
    std::deque<HALNotice> queue;
    std::vector<HALNotice> delivered;
    bool delivering = false;
    struct Listener {
        AudioObjectID object;
        AudioObjectPropertyAddress address;
        HALPropertyListener fn;
    };
    std::vector<Listener> listeners;
    hx::clock::Condition changed;

    // Thread M and N.
    std::thread threadM, threadN;
    bool stopping = false;
    bool mainReady = false;
    CFRunLoopRef mainLoop = nullptr;
    CFRunLoopSourceRef marker = nullptr;
    std::uint64_t markerAsked = 0, markerSeen = 0;
    bool parkRequested = false;
    bool parked = false;

    // The plug-in.
    AudioHardwarePlugInRef ref = nullptr;
    AudioObjectID plugInID = 0;

    // What the program registered and started through the host, undone at
    // unload: (device, procedure or IOProcID).
    std::multimap<AudioDeviceID, AudioDeviceIOProc> added, created, started;
    std::map<AudioDeviceID, int> deviceStarts;
};

} // namespace hx::coreaudio
