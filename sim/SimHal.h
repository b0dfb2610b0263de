// The HAL plug-in on the simulated machine, as a program of the other
// system reaches it: the machine boots (here, or in a kernel host this
// process already chose as its transport), the built plug-in is installed
// under the path root, the HAL host loads it, and every call goes through
// the program-side calls of the host. hxsim's HAL road and hxhal share it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/harness/DeviceRoad.h"
#include "platform/coreaudio/HALHost.h"
#include "platform/coreaudio/HALHostCalls.h"
#include "sim/SimOptions.h"

namespace hx::sim {

struct HalSetup {
    uint32_t rate = 48000; // the rate the machine's client asks for
    bool highSpeed = true;
    Clock clock = Clock::Virtual;
    // The machine boots in this process; false: it runs in a kernel host.
    bool machineHere = true;
    // The machine's client sets the routing at boot; false: the program sets
    // it through the plug-in.
    bool routeFirst = true;
    Routing routing = Routing::Pass;
};

class HalSession {
public:
    explicit HalSession(const HalSetup& setup);
    ~HalSession(); // unload(), then the machine goes
    HalSession(const HalSession&) = delete;
    HalSession& operator=(const HalSession&) = delete;

    // Boots the machine (configured by another client at 44,100 Hz),
    // installs the built plug-in and loads it through the host. False with
    // error set; loadStatus() then tells what InitializeWithObjectID answered.
    bool start(std::string& error);
    OSStatus loadStatus() const { return mLoadStatus; }
    AudioObjectID plugInID() const;

    // The system object's device list ('dev#').
    OSStatus deviceList(std::vector<AudioDeviceID>& out);
    // The HX-5100 in the device list: the first device whose 'QnVD' and
    // 'QnPD' give Korvex's vendor and the HX-5100's product; waits for the
    // device's publication. 0 with why set when none is found.
    AudioDeviceID findHX5100(std::string& why);

    // Lets time pass on the machine's clock.
    void run(uint64_t micros);
    // Stops and unloads the plug-in (also done on destruction).
    void unload();

    hx::devroad::DeviceRoad& road() { return *mRoad; }
    hx::coreaudio::HALHost& host() { return *mHost; }
    // The machine's report, here or through the routing client.
    hx::harness::HarnessReport machineReport();

private:
    HalSetup mSetup;
    std::unique_ptr<hx::devroad::DeviceRoad> mRoad;
    std::unique_ptr<hx::coreaudio::HALHost> mHost;
    OSStatus mLoadStatus = 0;
};

// ---- Property calls on a device, through the program-side calls

// A fixed-size get: the answer's status; value written only on 0.
OSStatus halGet(AudioDeviceID device, bool isInput, uint32_t selector, void* value, uint32_t size,
                uint32_t element = 0);
// A CFString get ('name'-like C strings go through halGetCString).
OSStatus halGetCFString(AudioDeviceID device, bool isInput, uint32_t selector, std::string& out);
// A C-string get sized by GetPropertyInfo.
OSStatus halGetCString(AudioDeviceID device, bool isInput, uint32_t selector, std::string& out);
// A CF object get: the object's text (see cfText), the object released.
OSStatus halGetCFText(AudioDeviceID device, bool isInput, uint32_t selector, std::string& out);
OSStatus halSet(AudioDeviceID device, bool isInput, uint32_t selector, const void* value,
                uint32_t size, uint32_t element = 0);

// Starts an IO procedure (or ID) from a program thread, as a program of the
// other system does; the thread takes part in the machine's time while it
// runs. AudioDeviceStart's status.
OSStatus halStartFromProgramThread(AudioDeviceID device, AudioDeviceIOProcID id);

// A CF object as people read it: strings quoted, numbers as integers, data
// as hex bytes, dictionaries as {key = value; ...}, null as (null).
std::string cfText(const void* object);

// Sets the routing of output pair 0 through the plug-in: the 32 bytes of
// 'QnRM' (pass: playback 1/2 on output pair 0), and for the mix the
// mixer's fractions through 'QnMF', one channel at a time. The first
// status that is not 0 (its selector in failedSelector), else 0.
OSStatus halSetRouting(AudioDeviceID device, Routing routing, uint32_t* failedSelector = nullptr);

// "'fsiz'" style text of a selector; parses "fsiz" or a 4-character text.
std::string selectorText(uint32_t selector);
bool parseSelector(const std::string& text, uint32_t& selector);

} // namespace hx::sim
