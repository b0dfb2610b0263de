// Arbitrary control request records, alone and in sequences, through the
// dispatcher of a configured, streaming HX-5100 on the simulated bus.
//
// Input: up to four 1,540-byte records; a byte after the last whole record,
// when present, with bit 0 set sends the records without a requester. Each
// record is copied into a buffer of exactly its size, so a read or write
// past it is caught. Every result must be one the dispatcher or a USB
// transfer gives. Afterwards the device must configure and stream again;
// when a record ended the service (re-enumeration, a replug request) or
// entered firmware-update mode, the device is plugged in afresh first.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "abi/QN_Dispatch.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "driver/engine/ZrProductTable.h"
#include "platform/base/HXLog.h"
#include "platform/kern/WorkQueue.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/HX5100Model.h"

namespace {

constexpr size_t kRecord = sizeof(QN_Dispatch);
constexpr size_t kMaxRecords = 4;

struct Machine {
    Machine() {
        ZrLoadDriverPersonalities();
        bus = std::make_unique<hx::usb::Bus>(hx::usb::BusOptions{0x1000, 2, 2});
        plug();
    }

    void plug() {
        model = std::make_shared<hx::usb::devices::HX5100Model>(
            uint8_t(kUSBHostConnectionSpeedHigh),
            hx::usb::devices::HX5100Identity{kKorvexVendorID, kKorvexHX5100ProductID, 0x0100, "K",
                                             "HX", "S1"});
        port = bus->plug(model, 1);
        hx::kern::waitQuiet();
        svc = findService();
        if (!svc) die("no service after plug");
        client = new IOUserClient;
        client->init();
        svc->userClientListNewClient(client);
        // No firmware updater runs.
        IOUserClient* none = nullptr;
        svc->newUserClient(kernel_task, nullptr, 4, &none);
    }

    void unplug() {
        if (svc) {
            svc->userClientListClientClosed(client);
            svc->release();
            svc = nullptr;
        }
        if (client) client->release();
        client = nullptr;
        bus->unplug(port);
        hx::kern::waitQuiet();
    }

    ZrKernelDeviceKorvexHX5100* findService() {
        IOUSBHostDevice* dev = bus->copyDevice(port);
        if (!dev) return nullptr;
        ZrKernelDeviceKorvexHX5100* s = nullptr;
        OSIterator* it = dev->getClientIterator();
        while (OSObject* o = it ? it->getNextObject() : nullptr)
            if ((s = OSDynamicCast(ZrKernelDeviceKorvexHX5100, o))) {
                s->retain();
                break;
            }
        if (it) it->release();
        dev->release();
        return s;
    }

    // The device streams again after what the records did, else stop.
    void checkStreams() {
        hx::kern::waitQuiet();
        ZrKernelDeviceKorvexHX5100* now = findService();
        const bool same = now == svc;
        if (now) now->release();
        if (!same || svc->getDevice()->getFwUpdaterState() != kFwUpdaterNotActive) {
            unplug();
            plug();
        }
        ZrDevice* dev = svc->getDevice();
        svc->dispatchLock().lockMutex("fuzz");
        const QnChannelSettings s{48000, 2, 24, 2, 24, 0};
        const bool configured = dev->onPrepareNewConfig(s, 0, true);
        if (configured) dev->startStreamAfterConfig();
        const bool streaming = dev->isStreamingStarted();
        svc->dispatchLock().unlock();
        if (!configured || !streaming) die("the device no longer configures and streams");
    }

    [[noreturn]] static void die(const char* why) {
        std::fprintf(stderr, "dispatch fuzz: %s\n", why);
        std::abort();
    }

    std::unique_ptr<hx::usb::Bus> bus;
    std::shared_ptr<hx::usb::devices::HX5100Model> model;
    uint8_t port = 0;
    ZrKernelDeviceKorvexHX5100* svc = nullptr;
    IOUserClient* client = nullptr;
};

Machine& machine() {
    static Machine* m = [] {
        if (!std::getenv("HX_LOG")) setenv("HX_LOG", "0", 0);
        auto* created = new Machine;
        created->checkStreams();
        return created;
    }();
    return *m;
}

bool listedResult(IOReturn r) {
    switch (r) {
    case kIOReturnSuccess:
    case kIOReturnBadArgument:
    case kIOReturnNotOpen:
    case kIOReturnIOError:
    // A raw device request answers its transfer's status.
    case kIOReturnError:
    case kIOReturnNoDevice:
    case kIOReturnAborted:
    case kIOReturnTimeout:
    case kIOReturnNotResponding:
    case kIOReturnDeviceError:
    case IOReturn(kUSBHostReturnPipeStalled):
        return true;
    default:
        return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t records = std::min(size / kRecord, kMaxRecords);
    if (records == 0) return 0;
    const bool noRequester = size > records * kRecord && (data[records * kRecord] & 1);
    Machine& m = machine();
    for (size_t i = 0; i < records; ++i) {
        // A heap block of exactly one record: asan sees any access past it.
        auto* rec = static_cast<QN_Dispatch*>(std::malloc(kRecord));
        std::memcpy(rec, data + i * kRecord, kRecord);
        m.svc->dispatchLock().lockMutex("fuzz");
        ZrDevice* dev = m.svc->getDevice();
        const IOReturn r =
            noRequester ? dev->onDispatch(rec) : dev->onDispatchStreaming(m.client, rec);
        m.svc->dispatchLock().unlock();
        std::free(rec);
        if (!listedResult(r)) {
            std::fprintf(stderr, "dispatch fuzz: result 0x%08X\n", unsigned(r));
            std::abort();
        }
        // A record that took the device off the bus ends the sequence.
        hx::kern::waitQuiet();
        ZrKernelDeviceKorvexHX5100* now = m.findService();
        const bool same = now == m.svc;
        if (now) now->release();
        if (!same) break;
    }
    m.checkStreams();
    return 0;
}
