// hxsim's HAL road: a program of the other system on the HAL plug-in. The
// machine boots (another client configures the device at 44,100 Hz), the
// HAL host loads the installed plug-in, the program finds the HX-5100 in
// the device list, asks for the rate through 'nsrt', the frame size through
// 'fsiz' and the routing through 'QnRM', creates an IO procedure ID and
// starts it from a program thread, plays the ramp and records the loopback,
// stops, destroys the ID and unloads the plug-in.
#include <algorithm>
#include <cmath>
#include <string>

#include "sim/SimHal.h"
#include "sim/SimKernelHost.h"
#include "sim/SimRoads.h"
#include "sim/SimScenario.h"

namespace hx::sim {

namespace {

using hx::coreaudio::fourCC;

constexpr uint32_t kSelRate = fourCC("nsrt");
constexpr uint32_t kSelFrameSize = fourCC("fsiz");
constexpr uint32_t kSelFormat = fourCC("sfmt");
constexpr uint32_t kSelLatency = fourCC("ltnc");
constexpr uint32_t kSelName = fourCC("name");
constexpr uint32_t kSelUID = fourCC("uid ");
constexpr uint32_t kSelStreams = fourCC("stm#");

Report::Hal::Format readFormat(AudioDeviceID device, bool isInput) {
    Report::Hal::Format f;
    AudioStreamBasicDescription d{};
    f.status = halGet(device, isInput, kSelFormat, &d, sizeof d);
    if (*f.status == 0) {
        f.rate = d.mSampleRate;
        f.formatID = d.mFormatID;
        f.flags = d.mFormatFlags;
        f.bytesPerFrame = d.mBytesPerFrame;
        f.channels = d.mChannelsPerFrame;
        f.bits = d.mBitsPerChannel;
    }
    return f;
}

// The failure of a property call the road relies on.
std::string refused(const char* what, uint32_t selector, OSStatus status) {
    return std::string("the HAL plug-in ") + what + ": " + selectorText(selector) + " answered " +
           statusText(status);
}

} // namespace

void runHalScenario(const Options& o, Progress& progress, Report& r, std::vector<int32_t>& recorded,
                    KernelHostChild* host) {
    if (beginRoad(o, r)) return;

    HalSetup setup;
    setup.rate = o.rate;
    setup.highSpeed = o.speed == Speed::High;
    setup.clock = o.clock;
    setup.machineHere = o.transport != Transport::Process;
    setup.routeFirst = false; // the program routes through the plug-in
    setup.routing = o.routing;
    HalSession session(setup);
    Report::Hal hal;
    auto machineReport = [&] {
        hx::harness::HarnessReport h = session.machineReport();
        if (host) hx::harness::applyMachineFacts(host->facts(), h);
        return h;
    };
    auto driverClass = [&] {
        return session.road().harness() ? session.road().harness()->machine().facts().driverClass
               : host                   ? host->facts().driverClass
                                        : std::string();
    };
    std::string error;
    const bool started = session.start(error);
    const std::string driver = driverClass();
    fillMachine(r, machineReport(), driver.c_str());
    hal.loadStatus = session.loadStatus();
    hal.plugInID = session.plugInID();
    if (!started) {
        r.hal = hal;
        r.failure = error;
        return;
    }
    const AudioDeviceID device = session.findHX5100(error);
    hal.deviceID = device;
    if (!device) {
        r.hal = hal;
        r.failure = error;
        return;
    }
    hal.inStreamStatus = halGet(device, true, kSelStreams, &hal.inStreamID, 4);
    hal.outStreamStatus = halGet(device, false, kSelStreams, &hal.outStreamID, 4);
    hal.nameStatus = halGetCString(device, false, kSelName, hal.name);
    hal.uidStatus = halGetCFString(device, false, kSelUID, hal.uid);

    // The program's settings, each through its property.
    const Float64 rate = o.rate;
    hal.rateSetStatus = halSet(device, false, kSelRate, &rate, sizeof rate);
    uint32_t routingSelector = 0;
    hal.routingStatus = halSetRouting(device, o.routing, &routingSelector);
    hal.frameSizeAsked = o.frameSize != 0;
    if (hal.frameSizeAsked) {
        const UInt32 frames = o.frameSize;
        hal.frameSizeSetStatus = halSet(device, false, kSelFrameSize, &frames, sizeof frames);
    }
    Float64 rateNow = 0;
    hal.rateStatus = halGet(device, false, kSelRate, &rateNow, sizeof rateNow);
    hal.rate = rateNow;
    hal.frameSizeStatus = halGet(device, false, kSelFrameSize, &hal.frameSize, 4);
    auto readFormatsAndLatencies = [&](Report::Hal& h) {
        h.inFormat = readFormat(device, true);
        h.outFormat = readFormat(device, false);
        h.inLatencyStatus = halGet(device, true, kSelLatency, &h.inLatency, 4);
        h.outLatencyStatus = halGet(device, false, kSelLatency, &h.outLatency, 4);
    };
    readFormatsAndLatencies(hal);
    r.hal = hal;
    fillMachine(r, machineReport(), driver.c_str());
    if (*hal.rateSetStatus != 0) {
        // A rate the device refuses is one it does not offer at this speed.
        if (*hal.rateSetStatus == OSStatus(0xE00002C2)) {
            r.failure = "rate " + std::to_string(o.rate) + " not offered at " + speedName(o.speed) +
                        " speed: 'nsrt' answered " + statusText(*hal.rateSetStatus);
            r.optionError = true;
        } else {
            r.failure = refused("did not set the rate", kSelRate, *hal.rateSetStatus);
        }
        return;
    }
    if (hal.frameSizeAsked && *hal.frameSizeSetStatus != 0) {
        r.failure = refused("did not set the frame size", kSelFrameSize, *hal.frameSizeSetStatus);
        if (*hal.frameSizeSetStatus == OSStatus(0xE00002C2)) r.optionError = true;
        return;
    }
    if (*hal.rateStatus == 0 && hal.rate != rate) {
        r.failure = "rate " + std::to_string(o.rate) + " not offered at " + speedName(o.speed) +
                    " speed; the HAL plug-in's 'nsrt' reads " + std::to_string(long(hal.rate));
        r.optionError = true;
        return;
    }
    if (*hal.routingStatus != 0) {
        r.failure = refused("did not set the routing", routingSelector, *hal.routingStatus);
        return;
    }

    hx::devroad::RampProc ramp;
    ramp.recorded.reserve(size_t(o.seconds * o.rate * 2 * 1.2) + 65536);
    AudioDeviceIOProcID id = nullptr;
    const OSStatus created =
        AudioDeviceCreateIOProcID(device, &hx::devroad::RampProc::proc, &ramp, &id);
    if (created != 0) {
        r.failure = "the IO procedure ID was not created: " + statusText(created);
        return;
    }
    const OSStatus startStatus = halStartFromProgramThread(device, id);
    if (startStatus != 0) {
        AudioDeviceDestroyIOProcID(device, id);
        r.failure = "the IO procedure did not start: " + statusText(startStatus);
        return;
    }
    runForSeconds(o, progress, r, [&](uint64_t micros) { session.run(micros); });
    // The formats and latencies while streaming, then the stop.
    readFormatsAndLatencies(hal);
    const OSStatus stopStatus = AudioDeviceStop(device, id);
    const OSStatus destroyStatus = AudioDeviceDestroyIOProcID(device, id);
    hal.ioCycles = ramp.calls.load();
    hal.framesOut = ramp.framesPlayed.load();
    hal.framesIn = ramp.recorded.size() / ramp.channels;
    r.hal = hal;
    fillMachine(r, machineReport(), driver.c_str());
    session.unload();

    const std::string loopbackFailure = reportLoopback(o, ramp, r, recorded);
    if (stopStatus != 0)
        r.failure = "the IO procedure did not stop: " + statusText(stopStatus);
    else if (destroyStatus != 0)
        r.failure = "the IO procedure ID was not destroyed: " + statusText(destroyStatus);
    else if (hal.ioCycles == 0)
        r.failure = "the HAL plug-in ran no IO cycle";
    else
        r.failure = loopbackFailure;
}

} // namespace hx::sim
