// The simulated USB host: ports, a frame clock, the default-pipe scheduler,
// fault knobs, hot plug and unplug.
//
// Frame clock: the frame number counts 1 ms frames at both speeds from a
// configurable start (never 0; 0 means the device is gone, and a start near
// 2^32 exercises the driver's 32-bit frame arithmetic). At high speed each
// frame has 8 microframes of 125 us; isochronous frame lists address them,
// and the scheduler serves each isochronous packet at its (micro)frame. The scheduler thread serves
// the bus frame by frame: a request submitted during frame n reaches the device at the start of
// frame n + 1.
//
// Isochronous timing is the controller's, not the scheduler thread's: a
// packet the thread reaches late (a busy machine on the real clock) is still
// served as in its own (micro)frame, with that slot's time stamp; only a
// hold (holdScheduling) makes packets miss. A wake-up later than
// kHostPauseThresholdNanos is taken as a pause of the whole machine instead
// (see there). Like a real controller, the bus
// fetches an OUT packet's payload kIsochronousFetchAheadFrames before the
// packet's (micro)frame into its own copy; a driver writing the packet later
// than that is not heard. The isochronous output path fills each packet
// while the bus is at least two frames before it, so one frame of fetch
// ahead leaves it a frame to spare. The fetch sees every store its reader
// made before a later read of the frame number (getFrameNumber), as an
// uncached read of the controller's frame register orders them on the
// hardware: a driver that fills a cycle ahead and reads the frame number
// each cycle hands its payload over without a lock. Completions of one pipe
// run one at a time, in order.
//
// Threads: one scheduler thread answers requests from the device models;
// completions run on a pool of at least two completion threads; plugging
// publishes the device for matching on the kernel thread, and unplugging
// terminates it there, never inside a call a driver made.
#pragma once

#include "platform/usb/DeviceModel.h"
#include "platform/usb/IOUSBHostFamily.h"

#include <memory>
#include <optional>

namespace hx::usb {

// How far ahead of its (micro)frame the host controller reads an isochronous
// OUT packet from memory, in 1 ms frames.
inline constexpr uint64_t kIsochronousFetchAheadFrames = 1;

// Bulk and interrupt transfers move packet by packet, one transfer of a
// pipe at a time, in order. The device paces them by NAK: a bulk endpoint
// takes or gives up to kBulkPacketsPerMicroframe packets a microframe, an
// interrupt endpoint one packet each interval; at high speed they move at
// their microframes (a NAKed bulk packet is offered again at the next one),
// at full speed a frame's worth at the frame's start. An IN packet lands in the buffer as it comes,
// its last 8 bytes stored last with release order (a reader that loads them with acquire sees the
// packet whole); an OUT packet is read from the buffer only when the device takes it, so a driver
// may fill a queued transfer late. A short packet ends the transfer; so does a time-out
// (kIOReturnTimeout with the bytes moved), an error, a stall, an abort or an unplug.
inline constexpr uint32_t kBulkPacketsPerMicroframe = 4;

// Host pauses: on the real clock the machine running the simulation can stop
// every thread for several milliseconds at once. A real host controller would
// keep counting frames while the driver's threads were stopped, but a real
// machine does not stop its whole CPU like that, so the bus rides over such a
// pause instead: when the scheduler thread wakes more than this threshold
// after the time it asked for, it takes the whole delay as a pause of the
// simulated machine and moves its frame clock's epoch on by it. Frames (and
// the device model's sample clock, which counts them) do not advance during
// the pause, so the driver finds the bus where it left it. Packet time stamps
// still come from the platform clock at service time.
inline constexpr uint64_t kHostPauseThresholdNanos = 2000000; // 2 ms past the expected wake-up

struct BusOptions {
    uint64_t firstFrame = 0x1000; // frame number at bus start; 0 is taken as 1
    uint8_t ports = 8;
    unsigned completionThreads = 2; // at least 2
};

// Which default-pipe requests a fault applies to; unset fields match anything.
struct RequestMatch {
    std::optional<uint8_t> requestType;
    std::optional<uint8_t> request;
    std::optional<uint16_t> value;
    std::optional<uint16_t> index;
    bool matches(const StandardUSB::DeviceRequest& setup) const;
};

struct Fault {
    enum class Kind { Stall, Fail, Delay };
    Kind kind = Kind::Stall;
    IOReturn status = kUSBHostReturnPipeStalled;
    uint32_t delayMs = 0;

    // The request never reaches the device; the host sees a stall.
    static Fault stall() { return {Kind::Stall, kUSBHostReturnPipeStalled, 0}; }
    // The request never reaches the device; the host sees this status.
    static Fault fail(IOReturn status) { return {Kind::Fail, status, 0}; }
    // The device answers, the answer arrives ms later (a time-out shorter
    // than that ends the request with kIOReturnTimeout).
    static Fault delay(uint32_t ms) { return {Kind::Delay, kIOReturnSuccess, ms}; }
};

class Bus {
public:
    explicit Bus(BusOptions options = {});
    // Unplugs what is still plugged, waits for the kernel to settle, stops
    // the bus threads.
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // Plugs a device into a free port (or the given one, 1-based) and
    // publishes it for matching; the port number, or 0 when none is free.
    uint8_t plug(std::shared_ptr<DeviceModel> model, uint8_t port = 0);
    // Unplugs: the device's frame number reads 0, pending requests end with
    // kIOReturnNoDevice, new ones are refused, and the device service is
    // terminated on the kernel thread.
    void unplug(uint8_t port);
    // The device on a port, retained; null when the port is empty.
    IOUSBHostDevice* copyDevice(uint8_t port) const;

    // Faults belong to the port, so they can be armed before a device is
    // plugged (to catch a driver's start-up); they stay until cleared. A
    // count of 0 applies the fault to every matching request.
    int addFault(uint8_t port, const RequestMatch& match, const Fault& fault, uint32_t count = 0);
    // Fails the next `count` GET_DESCRIPTOR(device) requests the driver sends.
    int failDeviceDescriptorReads(uint8_t port, uint32_t count, const Fault& fault);
    // How many requests a fault has caught so far.
    uint32_t faultHits(uint8_t port, int faultID) const;
    void clearFaults(uint8_t port);

    uint64_t frameNumber() const;
    // A fault knob: while held the host controller serves nothing, as if its
    // thread were starved; isochronous packets whose (micro)frame passes
    // meanwhile end with kIOReturnIsoTooOld and 0 bytes once it resumes.
    void holdScheduling(bool hold);
    // The host pause threshold in ns; 0 turns riding over pauses off. A new
    // bus starts with kHostPauseThresholdNanos on the real clock and off on
    // the virtual clock (its threads are never paused; frames follow it
    // exactly). A test knob.
    void setHostPauseThreshold(uint64_t nanos);
    // How many host pauses the frame clock has ridden over so far.
    uint64_t hostPausesAbsorbed() const;
    // The registry's "locationID" of a port: never 0, one per port.
    static uint32_t locationIDForPort(uint8_t port);

private:
    std::shared_ptr<BusCore> mCore;
};

} // namespace hx::usb
