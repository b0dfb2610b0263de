// The whole-stack machine of the server property fuzz target: the bus with
// the simulated HX-5100, the kernel driver and its service, reached through
// the IOKit stand-in in process, on the virtual clock (the client harness's
// machine). The server host loads the plug-in's driver interface; its
// Initialize finds the service as discovery does, so the device has its
// interest registration and its kernel connection. The machine boots once;
// a device that left (a state change unlists it) or went inactive is
// replaced by a fresh HX-5100 on the port, found again by discovery.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "abi/ProductIdentities.h"
#include "driver/clients/harness/ClientHarness.h"
#include "fuzz/server_properties/PropertiesMachine.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/kern/IOLib.h"
#include "platform/sys/HXProcess.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/HX5100Model.h"
#include "plugins/server/QnASPlugInObjectMap.h"
#include "plugins/server/QnASPlugInPlugIn.h"

extern AudioServerPlugInDriverInterface* gAudioServerPlugInDriverInterfacePtr;

namespace serverfuzz {

namespace {

constexpr Float64 kRate = 48000;

struct Machine {
    hx::test::TempRoot root;
    std::unique_ptr<hx::harness::ClientHarness> harness;
    uint8_t port = 0;
    std::unique_ptr<hx::coreaudio::ServerHost> host;
};
// Lives with the process, as the plug-in does.
Machine* gMachine = nullptr;

void settle() {
    hx::kern::waitQuiet();
    gMachine->host->settle();
}

// The plug-in's active device, taken from its list (held), or none.
bool takeListedDevice() {
    for (const auto& info : QnASPlugInPlugIn::GetInstance()->CopyDeviceList()) {
        QnASPlugInObject* o = QnASPlugInObjectMap::CopyObjectByObjectID(info.mDeviceObjectID);
        auto* d = dynamic_cast<QnASPlugInDevice*>(o);
        if (d && d->IsActive()) {
            gCurrent.device = d;
            gCurrent.id = info.mDeviceObjectID;
            return true;
        }
        if (o) QnASPlugInObjectMap::ReleaseObject(o);
    }
    return false;
}

// Virtual time runs in small steps until discovery lists an active device.
bool waitForDevice() {
    for (int i = 0; i < 300; ++i) {
        settle();
        if (takeListedDevice()) return true;
        gMachine->harness->idle(10000);
    }
    return false;
}

bool stillListed() {
    return listed(gCurrent.id) && gCurrent.device->IsActive();
}

void releaseDevice() {
    if (gCurrent.device) QnASPlugInObjectMap::ReleaseObject(gCurrent.device);
    gCurrent.device = nullptr;
    gCurrent.id = 0;
}

} // namespace

void boot() {
    if (gMachine) return;
    gMachine = new Machine;
    prepareProcess();
    gMachine->harness = std::make_unique<hx::harness::ClientHarness>();
    HX_FUZZ_REQUIRE(gMachine->harness->boot());
    gMachine->port = gMachine->harness->port();
    hx::kern::waitQuiet();
    gMachine->host = std::make_unique<hx::coreaudio::ServerHost>();
    gCurrent.host = gMachine->host.get();
    HX_FUZZ_REQUIRE(gMachine->host->loadDriver(&gAudioServerPlugInDriverInterfacePtr) == 0);
    HX_FUZZ_REQUIRE(waitForDevice());
    // Discovery made it: the kernel's state changes reach it.
    HX_FUZZ_REQUIRE(QnASPlugInPlugIn::GetInstance()->CopyDeviceList().at(0).mInterestNotification !=
                    0);
}

void replugIfGone() {
    settle();
    if (stillListed()) return;
    releaseDevice();
    hx::usb::Bus* bus = gMachine->harness->bus();
    bus->unplug(gMachine->port);
    settle();
    hx::usb::devices::HX5100Identity identity{kKorvexVendorID, kKorvexHX5100ProductID, 0x0100,
                                              "KORVEX AUDIO",  "HX5100 USB",           "SN0001"};
    gMachine->port = bus->plug(
        std::make_shared<hx::usb::devices::HX5100Model>(kUSBHostConnectionSpeedHigh, identity));
    HX_FUZZ_REQUIRE(waitForDevice());
}

// IO is stopped by the call that started it; a changed nominal rate is set
// back (the host performs the change), so every input starts at 48 kHz.
void resetAfterInput() {
    AudioServerPlugInDriverRef driver = &gAudioServerPlugInDriverInterfacePtr;
    const AudioObjectPropertyAddress rate{hx::coreaudio::fourCC("nsrt"),
                                          kAudioObjectPropertyScopeGlobal,
                                          kAudioObjectPropertyElementMaster};
    Float64 now = 0;
    UInt32 size = 0;
    if ((*driver)->GetPropertyData(driver, gCurrent.id, 0, &rate, 0, nullptr, sizeof now, &size,
                                   &now) != 0 ||
        now == kRate)
        return;
    (*driver)->SetPropertyData(driver, gCurrent.id, 0, &rate, 0, nullptr, sizeof kRate, &kRate);
    replugIfGone();
}

} // namespace serverfuzz
