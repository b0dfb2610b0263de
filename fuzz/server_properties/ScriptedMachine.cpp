// The scripted machine of the server property fuzz target: one HX-5100
// device made over a scripted kernel service (its description, settings and
// control blocks) and listed through the plug-in's test seam, the server
// host with the plug-in's driver interface on the virtual clock. A device
// that left (a state change unlists it) is made and listed again.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "abi/AudioSM.h"
#include "fuzz/server_properties/PropertiesMachine.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/kern/IOLib.h"
#include "platform/sys/HXProcess.h"
#include "plugins/server/QnASPlugInObjectMap.h"
#include "plugins/server/QnASPlugInPlugIn.h"
#include "tests/device/DeviceLogicFixtures.h"
#include "tests/plugins/server/ScriptedKernelService.h"

extern AudioServerPlugInDriverInterface* gAudioServerPlugInDriverInterfacePtr;

namespace serverfuzz {

namespace {

using hx::test::KernelScript;
using hx::test::ScriptedKernelService;

#define HX_FUZZ_REQUIRE(cond)                                                                      \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "server properties fuzz: %s failed at line %d\n", #cond,          \
                         __LINE__);                                                                \
            __builtin_trap();                                                                      \
        }                                                                                          \
    } while (0)

inline void fillEndpoint(XsEndpoint& e, const char* name, int16_t channels) {
    std::strncpy(e.mName, name, sizeof e.mName - 1);
    e.mChannels = channels;
    e.mMutePresent = 1;
    e.mVolumePresent = 1;
    for (XsVolumeTriplet& v : e.mVolumes)
        v = {int16_t(-96 * 256), 0, 0};
}

struct Machine {
    hx::test::TempRoot root;
    hx::clock::VirtualClock* clock = nullptr;
    ScriptedKernelService* service = nullptr;
    std::unique_ptr<hx::coreaudio::ServerHost> host;
    QnASPlugInDevice* device = nullptr;
    AudioObjectID id = 0;
};
Machine* gMachine = nullptr;

void layAreas() {
    ScriptedKernelService* s = gMachine->service;
    auto* area = reinterpret_cast<DriverSM*>(s->area(1));
    area->mChannelSettings = QnChannelSettings{48000, 2, 24, 2, 24, 0};
    area->mHighSpeed = 1;
    std::strcpy(area->mModelName, "HX-5100");
    std::strcpy(area->mDeviceUID, "KERNEL-UID");
    audiosm::store32(&area->mConfigured, 1);
    XsControlGroup& in = area->mControls.cIn;
    in.mCount = 3;
    in.iSelector = 0x01;
    fillEndpoint(in.mEndpoints[0], "Line", 2);
    fillEndpoint(in.mEndpoints[1], "Mic", 2);
    fillEndpoint(in.mEndpoints[2], "S/PDIF", 2);
    XsControlGroup& out = area->mControls.cOut;
    out.mCount = 1;
    out.iSelector = 0x01;
    fillEndpoint(out.mEndpoints[0], "Speakers", -1);
    reinterpret_cast<AudioSM*>(s->area(4))->_layout(2, 48000, 0);
    reinterpret_cast<AudioSM*>(s->area(5))->_layout(2, 48000, 0);
    s->script([](KernelScript& k) {
        k = KernelScript{};
        k.queued[4].push_back({kIOReturnSuccess, {}, true, 0});
        k.standing[27] = {kIOReturnSuccess, {0x77, 0, 0, 0, 0, 0, 0, 0}, false, 0};
    });
}

// A device made and listed as discovery does.
void plug() {
    layAreas();
    QnASPlugInIOKitIterator it(IOServiceMatching("ScriptedKernelService"));
    io_object_t entry = it.Next();
    gMachine->id = QnASPlugInObjectMap::GetNextObjectID();
    gMachine->device = new QnASPlugInDevice(gMachine->id, entry);
    IOObjectRelease(entry);
    QnASPlugInObjectMap::MapObject(gMachine->id, gMachine->device);
    gMachine->device->Activate();
    auto info = devicelogic::hx5100Info(true);
    std::memcpy(&gMachine->device->deviceInfo(), info.get(), sizeof(APIDeviceInfo));
    gMachine->device->logic().setupSpecificFeatures();
    gMachine->device->logic().createIOBuffers();
    QnASPlugInPlugIn::GetInstance()->TestSeam_AddDevice(gMachine->id);
    gMachine->host->settle();
}

bool listed() {
    for (const auto& info : QnASPlugInPlugIn::GetInstance()->CopyDeviceList())
        if (info.mDeviceObjectID == gMachine->id) return true;
    return false;
}

} // namespace

void boot() {
    if (gMachine) return;
    gMachine = new Machine;
    std::filesystem::create_directories(hx::path::map("/tmp"));
    hx::sys::setOwnUid(501);
    hx::sys::setEmulatedRelease(std::string("13.0.0"));
    gMachine->clock = new hx::clock::VirtualClock;
    gMachine->service = ScriptedKernelService::publish("SCRIPTED-UID");
    gMachine->host = std::make_unique<hx::coreaudio::ServerHost>();
    HX_FUZZ_REQUIRE(gMachine->host->loadDriver(&gAudioServerPlugInDriverInterfacePtr) == 0);
    gMachine->host->settle();
    plug();
}

void replugIfGone() {
    gMachine->host->settle();
    if (listed() && gMachine->device->IsActive()) return;
    if (listed()) {
        // Still listed but no longer active: take it away as a removal does.
        QnASPlugInPlugIn::GetInstance()->RemoveDevice(gMachine->device);
        QnASPlugInObjectMap::UnmapObject(gMachine->id, gMachine->device);
    }
    plug();
}

// IO is stopped by the call that started it; the settings stay (a later
// input meets what an earlier one set, as a host's clients would).
void resetAfterInput() {}

hx::coreaudio::ServerHost& host() {
    return *gMachine->host;
}
AudioObjectID deviceID() {
    return gMachine->id;
}
QnASPlugInDevice& device() {
    return *gMachine->device;
}

} // namespace serverfuzz
