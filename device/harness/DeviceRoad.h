// A program of the user-space device layer on the simulated machine, as a
// HAL client would use it: the bus with an HX-5100 in loopback, the kernel
// driver booted by the client harness, then the device manager finds the
// device and a float IO procedure plays a ramp and records what comes back.
//
// A driver connection first configures the device at 44,100 Hz and 24 bits
// (settings at 5420, Req 1), as another client would, unless the device is
// to be opened fresh; the program then asks for its rate through the device
// layer (setFrequency). Routing is set as the harness sets it.
// Tests and hxsim share this; nothing here is test-only.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/clients/harness/ClientHarness.h"
#include "driver/clients/harness/HarnessClient.h"
#include "platform/coreaudio/CoreAudioTypes.h"

class DriverConnection;
class OSXDeviceManager;
class ZrOSXDevice;
struct DriverSM;

namespace hx::devroad {

// A float IO procedure that plays the ramp the device model checks (24-bit
// n as n / 8,388,608) and records every input sample it receives.
struct RampProc {
    // Full: the ramp; Low and High: two parts that sum to it; Failing: full
    // scale with an error status (must add nothing).
    enum class Part { Full, Low, High, Failing };
    Part part = Part::Full;
    bool record = true;
    uint32_t channels = 2;
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> framesPlayed{0};
    std::atomic<uint64_t> frameSizeErrors{0};
    std::vector<float> recorded; // interleaved, as received

    RampProc() { recorded.reserve(size_t(1) << 22); }

    static OSStatus proc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* in,
                         const AudioTimeStamp*, AudioBufferList* out, const AudioTimeStamp*,
                         void* clientData);

    // The ramp's 24-bit value for an output frame and channel.
    static int32_t rampValue(uint64_t frame, uint32_t channel);
    // The float a ring sample s reaches a procedure as.
    static float ringToFloat(int32_t s) { return float(double(float(s)) / 2147483520.0); }

    struct Check {
        uint64_t checked = 0;
        uint64_t mismatches = 0;
        int64_t firstMismatch = -1;
        uint64_t silent = 0;  // checked frames that came back as silence (when tolerated)
        uint64_t stale = 0;   // ... or as the frame one ring lap earlier (when tolerated)
        int64_t latency = -1; // recorded frame index minus the played frame it carries
        bool constantLatency = false;
    };
    // From the first frame that is not silence, every recorded frame must be
    // the ring-to-float image of the next ramp frame, bit for bit; across
    // processes (silenceTolerated), where a cycle ran late, a frame may also
    // come back as silence or as the frame lapFrames (a lap of the ring)
    // earlier.
    Check checkLoopback(bool silenceTolerated = false, uint64_t lapFrames = 0) const;
    // The same over each run of frames that are not silence (a stream that
    // broke and came back): every run must be bit exact in itself.
    struct Segments {
        uint32_t runs = 0;
        uint64_t checked = 0;
        uint64_t mismatches = 0;
    };
    Segments checkSegments() const;
};

struct RoadOptions {
    uint32_t rate = 48000;
    bool highSpeed = true;
    hx::harness::Routing routing = hx::harness::Routing::Pass;
    hx::harness::ClockMode clock = hx::harness::ClockMode::Virtual;
    bool configureFirst = true; // a driver connection configures before the device opens
    // The harness's client sets the routing at boot; false: the program sets
    // it itself (the client is opened all the same).
    bool routeFirst = true;
    // The machine boots in this process (its kernel on the in-process
    // transport); false: it runs in a kernel host this process already chose
    // as its transport, and only the user side runs here.
    bool machineHere = true;
    // The device on the bus and its channels each way (HarnessOptions).
    hx::harness::DeviceKind device = hx::harness::DeviceKind::HX5100;
    uint32_t channels = 2;
};

class DeviceRoad {
public:
    explicit DeviceRoad(uint32_t rate) : DeviceRoad(RoadOptions{rate}) {}
    explicit DeviceRoad(const RoadOptions& options);
    ~DeviceRoad();
    DeviceRoad(const DeviceRoad&) = delete;
    DeviceRoad& operator=(const DeviceRoad&) = delete;

    // The machine, configured (unless told otherwise) and routed.
    bool boot();
    // The device manager and its first device, opened.
    ZrOSXDevice* openDevice();
    // Lets time pass on the machine's clock.
    void run(uint64_t micros);
    // Closes the device and drops the manager.
    void closeDevice();

    // A request through the configuring connection (another client).
    bool callDriver(uint32_t req);
    // The restore token at 5416 of the shared area.
    uint32_t token() const;
    DriverSM* driverSM() const;
    // The machine and client together (null when the machine is not here).
    hx::harness::ClientHarness* harness() { return mHarness.get(); }
    // The client that sets the routing, in either case.
    hx::harness::HarnessClient& routingClient();
    const std::string& error() const { return mError; }
    OSXDeviceManager* manager() { return mManager.get(); }

private:
    struct Client;
    RoadOptions mOptions;
    std::unique_ptr<hx::harness::ClientHarness> mHarness;
    std::unique_ptr<hx::harness::HarnessClient> mOwnClient; // when the machine is elsewhere
    std::unique_ptr<Client> mClient;
    std::unique_ptr<OSXDeviceManager> mManager;
    DriverConnection* mConfigurer = nullptr;
    std::string mError;
};

} // namespace hx::devroad
