// A device on the simulated bus with the driver's service, a control client
// of a user process (the requester) and the dispatcher's entries called as the user
// clients call them: under the service's dispatch lock, on a kernel copy of
// the record.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "tests/driver/engine/EngineFixture.h"
#include "tests/driver/engine/ModelRequests.h"
#include "abi/QN_Dispatch.h"
#include "driver/engine/ZrDevice.h"
#include "platform/usb/devices/SorvikModel.h"

namespace dispatchtest {

using namespace enginetest;

struct Device {
    // Any model; a product other than the HX-5100 gets a personality.
    explicit Device(std::shared_ptr<HX5100Model> m) : model(std::move(m)) {
        const auto* dd = reinterpret_cast<const StandardUSB::DeviceDescriptor*>(
            model->deviceDescriptor().data());
        if (dd->idVendor != kKorvexVendorID || dd->idProduct != kKorvexHX5100ProductID) {
            OSDictionary* p = ZrMakeDriverPersonality(dd->idVendor, dd->idProduct, nullptr);
            hx::kern::addPersonality(p);
            p->release();
        }
        port = rig.plug(model);
        attach();
    }
    explicit Device(uint8_t speed = kUSBHostConnectionSpeedHigh) : Device(makeHX5100(speed)) {}
    ~Device() {
        releaseClients();
        tap.reset();
        rig.unplug(port);
    }
    // The service now on the port, with a fresh requester (a control
    // client of the user process) and a tap on its state changes.
    void attach() {
        releaseClients();
        tap.reset();
        svc = rig.service(port);
        if (!svc) return;
        dev = svc->getDevice();
        tap = std::make_unique<StateChangeTap>(svc.svc);
        client = openClient();
    }
    IOUserClient* openClient() { return user.open(svc.svc, 2); }
    // The user side closes a client.
    void closeClient(IOUserClient* c) {
        user.close(c);
        if (c == client) client = nullptr;
    }
    void releaseClients() {
        user.kill();
        client = nullptr;
    }
    // The type-4 open: no firmware updater runs.
    void openNoUpdater() {
        IOReturn r = kIOReturnSuccess;
        EXPECT_EQ(user.open(svc.svc, 4, &r), nullptr);
        EXPECT_EQ(r, kIOReturnBadArgument);
    }
    IOReturn call(QN_Dispatch& d, IOUserClient* requester) {
        EXPECT_TRUE(svc->dispatchLock().lockMutex("test"));
        const IOReturn r =
            requester ? dev->onDispatchStreaming(requester, &d) : dev->onDispatch(&d);
        svc->dispatchLock().unlock();
        return r;
    }
    IOReturn call(QN_Dispatch& d) { return call(d, client); }
    static QN_Dispatch record(uint32_t code, uint32_t value = 0) {
        QN_Dispatch d;
        std::memset(&d, 0, sizeof d);
        d.code = code;
        d.data.ulValue = value;
        return d;
    }
    // Configures at the settings (no streaming).
    bool configure(QnChannelSettings s) {
        svc->dispatchLock().lockMutex("configure");
        const bool ok = dev->onPrepareNewConfig(s, 0, true);
        svc->dispatchLock().unlock();
        return ok;
    }
    // Configures at the settings and starts streaming.
    bool stream(QnChannelSettings s) {
        svc->dispatchLock().lockMutex("stream");
        const bool ok = dev->onPrepareNewConfig(s, 0, true);
        if (ok) dev->startStreamAfterConfig();
        svc->dispatchLock().unlock();
        return ok && dev->isStreamingStarted();
    }
    // The state changes the service sent since the requester was opened.
    std::vector<uint32_t> stateCodes() const {
        return tap ? tap->codes() : std::vector<uint32_t>{};
    }
    std::vector<QN_StateChange> stateRecords() const {
        return tap ? tap->records() : std::vector<QN_StateChange>{};
    }
    std::vector<uint8_t> bytesProperty(const char* key) const {
        OSData* d = OSDynamicCast(OSData, svc->getProperty(key));
        if (!d) return {};
        const uint8_t* p = static_cast<const uint8_t*>(d->getBytesNoCopy());
        return std::vector<uint8_t>(p, p + d->getLength());
    }

    Rig rig;
    std::shared_ptr<HX5100Model> model;
    uint8_t port = 0;
    ServiceRef svc;
    ZrDevice* dev = nullptr;
    UserTask user{"dispatchtest"};
    std::unique_ptr<StateChangeTap> tap;
    IOUserClient* client = nullptr;
};

inline QnChannelSettings stereo24(uint32_t rate) {
    return {rate, 2, 24, 2, 24, 0};
}

} // namespace dispatchtest
