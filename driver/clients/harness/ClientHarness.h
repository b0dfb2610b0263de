// The client harness in one process: the machine (HarnessMachine: clock,
// bus, HX-5100 model, driver) and a client of the audio driver
// (HarnessClient: the user-side IOKit calls only) as its own process (task),
// opening the audio user client, configuring, attaching its ring and running
// the user-space cycle. The same client runs against a kernel host from
// another process (hxsim --transport process).
//
// Tests and the simulator use this one class; nothing here is test-only.
// Every step can be run separately (boot, open, configure, attach, run) so
// a caller can look at or disturb the machine in between.
#pragma once

#include <cstdint>

#include "driver/clients/harness/HarnessMachine.h"
#include "driver/clients/harness/HarnessTypes.h"
#include "platform/base/MacTypes.h"
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct OSXDispatch;
class ZrKernelDeviceKorvexHX5100;
class ZrDevice;
class DriverData;
class IOUserClient;
struct AudioSM;

namespace hx::usb {
class Bus;
}
namespace hx::usb::devices {
class HX5100Model;
}

namespace hx::harness {

class HarnessClient;

class ClientHarness {
public:
    explicit ClientHarness(const HarnessOptions& options = {});
    ~ClientHarness();
    ClientHarness(const ClientHarness&) = delete;
    ClientHarness& operator=(const ClientHarness&) = delete;

    // The steps, in order; each returns false with lastError() set.
    bool boot();       // clock, bus, driver, model plugged, service started
    bool openClient(); // type 4, then the audio client (type 0); Req 30, Req 27
    bool configure();  // settings written at the shared memory, Req 1
    bool setRouting(); // routing matrix (and the mix's fractions) through Req 35
    bool attachRing(); // own ring mapped (type 5) and attached (Req 2)
    // All of the above.
    bool start();

    // Runs the user-space cycle for this much (virtual or real) time; the
    // cycle starts writing once the ring reads state 1.
    void run(uint64_t micros);
    // Lets time pass without client cycles.
    void idle(uint64_t micros);
    // The caller restarted the stream (a request that suspends and resumes
    // it): the loopback is checked afresh from the next recorded frame, with
    // its own latency, in the report's after-recovery fields.
    void restartLoopbackCheck();
    // The machine goes to sleep / wakes up (the power manager tells the
    // driver).
    void systemSleep();
    void systemWakeUp();
    // Detaches the ring (Req 3) and closes the connection (also done on
    // destruction); state changes come from an interest subscription.
    void stop();
    // Stops the client and puts another one in its place, in the same
    // process, with the stream and cycle settings of `options` (the machine
    // keeps its own): a user that asks for another configuration. Its steps
    // run from openClient(); the report is the new client's.
    void replaceClient(const HarnessOptions& options);

    HarnessReport report() const;
    // Recorded input, interleaved, 32-bit left-aligned samples.
    const std::vector<int32_t>& recordedInput() const;
    // The sample the client wrote at output frame position `frame`.
    int32_t playedSample(uint64_t frame, uint32_t channel) const;
    const std::string& lastError() const;
    const HarnessOptions& options() const;

    // The machine, for callers that look or disturb.
    hx::usb::Bus* bus();
    uint8_t port() const;
    std::shared_ptr<hx::usb::devices::HX5100Model> model();
    ZrKernelDeviceKorvexHX5100* service();
    ZrDevice* device();
    DriverData* driverData();
    IOUserClient* userClient();
    uint64_t clientIdentifier() const;
    AudioSM* clientRing(); // the user's mapping
    // The attach state the client ring shows (0 detached, 1 running, 2 stopped).
    uint32_t ringState() const;
    // The two parts.
    Machine& machine();
    HarnessClient& client();

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

} // namespace hx::harness
