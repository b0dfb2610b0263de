// The machine of the client harness: the clock, the bus with an HX-5100 (or
// another model the options name) plugged in, the driver loaded from its
// personalities and its service started on the device. No user process runs
// here: a HarnessClient reaches the driver through the user-side IOKit
// calls, in this process or from another one through a kernel host.
//
// What only the machine can see (the driver's interface choice, its
// converters, the model's counts) comes back as MachineFacts, which cross
// to another process as text (machine control's statistics).
#pragma once

#include "driver/clients/harness/HarnessTypes.h"
#include "platform/base/MacTypes.h"
#include "platform/base/MachTypes.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

struct OSXDispatch;
class ZrKernelDeviceKorvexHX5100;
class ZrDevice;
class DriverData;
class IOUserClient;

namespace hx::usb {
class Bus;
}
namespace hx::usb::devices {
class HX5100Model;
}

namespace hx::harness {

// The driver and the device model as the machine sees them.
struct MachineFacts : DeviceFacts {
    std::string driverClass; // the service's class, empty before boot
    uint64_t playedFrames = 0;
    uint64_t hostPauses = 0; // host stalls the paced bus absorbed
    // OSXDispatch requests the driver's clients received, by code.
    std::map<uint32_t, uint64_t> requestsServed;
};

// One "key value" line per fact; parse reads what format wrote (unknown
// keys are skipped, absent ones keep their defaults).
std::string formatMachineFacts(const MachineFacts& facts);
MachineFacts parseMachineFacts(const std::string& text);
// The report's driver and device fields from the facts.
void applyMachineFacts(const MachineFacts& facts, HarnessReport& report);

// One OSXDispatch request through a kernel connection's struct method
// (selector 0 of the audio and MIDI clients, 6 of the audio-server client),
// the record in and out; for kernel tests that open connections themselves.
IOReturn callDriver(uint32_t connect, uint32_t req, OSXDispatch& rec, uint32_t selector = 0);

class Machine {
public:
    explicit Machine(const HarnessOptions& options = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Clock, bus, driver, model plugged, service started; false with
    // lastError() set. On a booted machine it changes nothing.
    bool boot();
    // Lets the machine's time reach `due` (ns): the machine's own virtual
    // clock runs there, any other clock is waited on.
    void runUntil(uint64_t due);
    void runFor(uint64_t nanos);
    // The machine goes to sleep / wakes up (the power manager tells the
    // driver).
    void systemSleep();
    void systemWakeUp();
    MachineFacts facts() const;
    // How many OSXDispatch requests of the code the driver's clients (audio,
    // MIDI, audio server) received since boot, from any process.
    uint64_t requestsServed(uint32_t code) const;

    const HarnessOptions& options() const;
    const std::string& lastError() const;
    hx::usb::Bus* bus();
    uint8_t port() const;
    std::shared_ptr<hx::usb::devices::HX5100Model> model();
    ZrKernelDeviceKorvexHX5100* service();
    ZrDevice* device();
    DriverData* driverData();
    // The user client of this type a task holds on the service, if any
    // (retained for the caller).
    IOUserClient* userClientOf(task_t task, uint32_t type);

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

} // namespace hx::harness
