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
    gCurrent.id = QnASPlugInObjectMap::GetNextObjectID();
    gCurrent.device = new QnASPlugInDevice(gCurrent.id, entry);
    IOObjectRelease(entry);
    QnASPlugInObjectMap::MapObject(gCurrent.id, gCurrent.device);
    gCurrent.device->Activate();
    auto info = devicelogic::hx5100Info(true);
    std::memcpy(&gCurrent.device->deviceInfo(), info.get(), sizeof(APIDeviceInfo));
    gCurrent.device->logic().setupSpecificFeatures();
    gCurrent.device->logic().createIOBuffers();
    QnASPlugInPlugIn::GetInstance()->TestSeam_AddDevice(gCurrent.id);
    gMachine->host->settle();
}

} // namespace

void boot() {
    if (gMachine) return;
    gMachine = new Machine;
    prepareProcess();
    gMachine->clock = new hx::clock::VirtualClock;
    gMachine->service = ScriptedKernelService::publish("SCRIPTED-UID");
    gMachine->host = std::make_unique<hx::coreaudio::ServerHost>();
    gCurrent.host = gMachine->host.get();
    HX_FUZZ_REQUIRE(gMachine->host->loadDriver(&gAudioServerPlugInDriverInterfacePtr) == 0);
    gMachine->host->settle();
    plug();
}

void replugIfGone() {
    gMachine->host->settle();
    if (listed(gCurrent.id) && gCurrent.device->IsActive()) return;
    if (listed(gCurrent.id)) {
        // Still listed but no longer active: take it away as a removal does.
        QnASPlugInPlugIn::GetInstance()->RemoveDevice(gCurrent.device);
        QnASPlugInObjectMap::UnmapObject(gCurrent.id, gCurrent.device);
    }
    plug();
}

// IO is stopped by the call that started it; the settings stay (a later
// input meets what an earlier one set, as a host's clients would).
void resetAfterInput() {}

} // namespace serverfuzz
