// The audio server host: what the system's audio server does with a server
// plug-in, so tests and hxsim play and record through the real plug-in code.
//
// It takes the plug-in's driver reference (QueryInterface for the driver
// interface, Release of the reference it was handed, Initialize with its own
// host interface), learns the devices on its notification thread N (after
// Initialize and on every ('dev#' or 'ownd', object 1) notice), adds
// clients, starts and stops IO on the caller's thread, and runs one
// real-time IO thread per started device that wakes each cycle at the
// device's sample time, reads the zero time stamps and drives the IO
// operations against buffers of exactly the advertised format between
// canaries. Configuration-change requests run in order on thread K: park the
// IO thread at a cycle boundary, stop IO, Perform, re-read the device,
// remake the buffers, start IO as often as before, resume from new stamps.
// Storage is one XML property list per plug-in under the root, written
// whole and atomically. Every wait is on the platform clock.
//
// The host interface record outlives the host: after shutdown each of its
// calls answers 'stop' (the plug-in keeps the pointer).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/coreaudio/AudioServerPlugIn.h"

namespace hx::coreaudio {

// Where the host finds server plug-in bundles (under the root).
inline constexpr const char* kServerPlugInFolder = "/Library/Audio/Plug-Ins/HAL";

struct ServerHostOptions {
    // Frames of one IO cycle.
    UInt32 framesPerCycle = 512;
    // The process identity taken at load; empty keeps the program's own.
    std::string processName = "coreaudiod";
    // The emulated release taken at load, e.g. "13.0.0"; empty keeps it.
    std::string release;
    // The plug-in's storage file: "/Library/Preferences/Audio/Data/<name>.plist".
    std::string storageName = "plugin";
    // Knob: CopyFromStorage of a missing key answers this instead of 0.
    OSStatus missingKeyStatus = 0;
    // The IO threads add up their own CPU time from each wake to the next
    // wait (statistics' cycleCpuNanos): the cycle's work, without the waits
    // and the clock's hand-overs between cycles, less what the closing clock
    // reading itself adds (measured once as the thread starts). Off: it
    // costs two clock reads a cycle.
    bool measureCycleCpu = false;
};

struct ServerHostStatistics {
    std::uint64_t cycles = 0;
    std::uint64_t stampErrors = 0;
    std::uint64_t drops = 0;
    std::uint64_t canaryHits = 0;
    std::uint64_t changes = 0;
    // Thread CPU time of the IO threads' cycles (with measureCycleCpu).
    std::uint64_t cycleCpuNanos = 0;
};

struct ServerStreamInfo {
    AudioObjectID id = 0;
    AudioStreamBasicDescription format{};
};

// A device as the host last read it.
struct ServerDeviceInfo {
    AudioObjectID id = 0;
    std::string uid;
    Float64 sampleRate = 0;
    UInt32 ringPeriod = 0;
    UInt32 safetyOffset[2] = {0, 0}; // input, output
    UInt32 latency[2] = {0, 0};
    std::vector<ServerStreamInfo> streams[2];
    bool listed = false;
    bool usable = false; // answered sensibly: may start
};

// What the client does each cycle: sink sees the input, source fills the
// output (zeroed before it is called).
struct ServerClientIO {
    std::function<void(const void* input, UInt32 bytes, const AudioServerPlugInIOCycleInfo& cycle)>
        sink;
    std::function<void(void* output, UInt32 bytes, const AudioServerPlugInIOCycleInfo& cycle)>
        source;
    // A float client: it sees the first input stream and fills the first
    // output stream as interleaved 32-bit floats (channels × frames), the
    // host converting from and to the stream's physical format as the device
    // layer does (24-bit n is n / 8,388,608 on the way out; a left-aligned
    // word w comes back as (float) w / 2,147,483,520.0). Either form may be
    // set; the float one runs after the raw one.
    std::function<void(const float* input, UInt32 channels, UInt32 frames,
                       const AudioServerPlugInIOCycleInfo& cycle)>
        floatSink;
    std::function<void(float* output, UInt32 channels, UInt32 frames,
                       const AudioServerPlugInIOCycleInfo& cycle)>
        floatSource;
};

// The float client's conversions for a stream of the format (signed integer
// samples of 2, 3 or 4 bytes aligned high, or floats). words is scratch of
// channels × frames. False for a format they do not handle (output zeroed).
bool serverPhysicalToFloat(const AudioStreamBasicDescription& format, const void* data,
                           std::int32_t* words, float* out, UInt32 frames);
bool serverFloatToPhysical(const AudioStreamBasicDescription& format, const float* in,
                           std::int32_t* words, void* data, UInt32 frames);

struct PropertiesChangedCall {
    AudioObjectID object = 0;
    std::vector<AudioObjectPropertyAddress> addresses;
};

using ServerPropertyListener = std::function<void(AudioObjectID object, UInt32 count,
                                                  const AudioObjectPropertyAddress* addresses)>;

// One configuration change as thread K ran it, for tests.
struct ConfigurationChangeRecord {
    AudioObjectID device = 0;
    UInt64 action = 0;
    bool performed = false; // false: aborted
};

class ServerHost {
public:
    explicit ServerHost(ServerHostOptions options = {});
    ~ServerHost(); // shutdown()
    ServerHost(const ServerHost&) = delete;
    ServerHost& operator=(const ServerHost&) = delete;

    // Copies a built bundle into the plug-in folder under the root.
    static bool installBundle(const std::string& builtBundle);
    // Loads the bundle at the path (a path of the other system), or else the
    // first bundle of the plug-in folder, in name order, whose factory has
    // the server plug-in type; its factory's reference then goes to
    // loadDriver.
    OSStatus load(const std::string& bundlePath = {});
    // Takes the reference a factory (or a test) handed over.
    OSStatus loadDriver(AudioServerPlugInDriverRef driver);
    AudioServerPlugInHostRef hostInterface() const;

    std::vector<ServerDeviceInfo> devices() const;
    std::optional<ServerDeviceInfo> device(AudioObjectID id) const;

    OSStatus addClient(AudioObjectID device, pid_t pid, CFStringRef bundleID, UInt32* outClientID);
    OSStatus removeClient(AudioObjectID device, UInt32 clientID);
    OSStatus startIO(AudioObjectID device, UInt32 clientID);
    OSStatus stopIO(AudioObjectID device, UInt32 clientID);
    void setClientIO(AudioObjectID device, ServerClientIO io);

    Boolean hasProperty(AudioObjectID object, pid_t pid, const AudioObjectPropertyAddress& address);
    OSStatus isPropertySettable(AudioObjectID object, pid_t pid,
                                const AudioObjectPropertyAddress& address, Boolean* outSettable);
    OSStatus getPropertyDataSize(AudioObjectID object, pid_t pid,
                                 const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                                 const void* qualifier, UInt32* outSize);
    OSStatus getPropertyData(AudioObjectID object, pid_t pid,
                             const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                             const void* qualifier, UInt32 dataSize, UInt32* outSize,
                             void* outData);
    OSStatus setPropertyData(AudioObjectID object, pid_t pid,
                             const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                             const void* qualifier, UInt32 dataSize, const void* data);

    // Listeners run on thread N after the PropertiesChanged call returned.
    void addListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                     ServerPropertyListener listener);
    std::vector<PropertiesChangedCall> propertiesChangedCalls() const;
    std::vector<ConfigurationChangeRecord> configurationChanges() const;
    // Knob: the next configuration change is aborted.
    void abortNextConfigurationChange();

    // Waits until N and K are idle and the dispatch queues drained.
    void settle();
    ServerHostStatistics statistics() const;
    // Stops every start, removes every client, aborts queued requests, ends
    // the threads and releases the driver. Later host calls answer 'stop'.
    void shutdown();

    struct Impl;

private:
    std::unique_ptr<Impl> mImpl;
};

} // namespace hx::coreaudio
