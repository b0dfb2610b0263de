// The client of the client harness: a user process of the audio driver on
// the user-side IOKit calls alone (no kernel header), so the same code runs
// beside the machine in one process or against a kernel host from another.
//
// It finds the service by its class, hears state changes through a general
// interest notification on its own run-loop mode, opens the audio user
// client (type 4, then type 0), registers (Req 30, Req 27), maps the driver
// shared memory, writes the channel settings there and configures (Req 1),
// maps the input ring and its own ring and attaches it (Req 2), and then
// runs the user-space cycle: read the frames the device delivered from the
// input ring, write the same number of frames of a test signal into its ring
// a fixed distance ahead of the kernel. What it saw comes back as a report.
#pragma once

#include "driver/clients/harness/HarnessTypes.h"
#include "platform/base/IOKitTypes.h"
#include "platform/base/MachPort.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct AudioSM;
struct DriverSM;

namespace hx::harness {

class HarnessClient {
public:
    // task: the process the client opens for (MACH_PORT_NULL: this one).
    explicit HarnessClient(const HarnessOptions& options = {}, task_t task = MACH_PORT_NULL);
    ~HarnessClient();
    HarnessClient(const HarnessClient&) = delete;
    HarnessClient& operator=(const HarnessClient&) = delete;

    // How the client waits for a cycle's time (ns on the platform clock); by
    // default the platform clock's own wait. A machine in the same process
    // runs its virtual clock there instead.
    void setWaiter(std::function<void(uint64_t due)> waitUntil);
    // Called once, when the first input frame that is not silence arrived
    // (the machine marks its FIFO level there).
    void setFirstSoundHook(std::function<void()> hook);

    // The steps, in order; each returns false with lastError() set.
    bool openClient(); // type 4, then the audio client (type 0); Req 30, Req 27
    bool configure();  // settings written at the shared memory, Req 1
    bool setRouting(); // routing matrix (and the mix's fractions) through Req 35
    bool attachRing(); // own ring mapped (type 5) and attached (Req 2)
    bool start();      // all four

    // Runs the user-space cycle for this much time; the cycle starts writing
    // once the ring reads state 1.
    void run(uint64_t micros);
    void idle(uint64_t micros);
    // The caller restarted the stream: the loopback is checked afresh from
    // the next recorded frame, in the report's after-recovery fields.
    void restartLoopbackCheck();
    // Detaches the ring (Req 3) and closes the connection (also done on
    // destruction); the state changes told until then stay in the report.
    void stop();

    // The client's part of the report, and what its mapping of the driver
    // shared memory shows of the device.
    HarnessReport report() const;
    const std::vector<int32_t>& recordedInput() const;
    int32_t playedSample(uint64_t frame, uint32_t channel) const;
    const std::string& lastError() const;
    const HarnessOptions& options() const;
    io_connect_t connection() const;
    task_t task() const;
    uint64_t clientIdentifier() const;
    AudioSM* clientRing();
    DriverSM* driverSM();
    // The attach state the client ring shows (0 detached, 1 running, 2 stopped).
    uint32_t ringState() const;
    // State changes told so far (the notification port's queue is run first
    // when called on the thread that opened the client).
    std::vector<uint32_t> stateChanges() const;

    struct Impl;

private:
    std::unique_ptr<Impl> mImpl;
};

// One OSXDispatch request through a connection's struct method (selector 0
// of the audio and MIDI clients, 6 of the audio-server client), the record
// in and out, on the user-side calls.
IOReturn callClient(io_connect_t connect, uint32_t req, void* record, uint32_t selector = 0);

} // namespace hx::harness
