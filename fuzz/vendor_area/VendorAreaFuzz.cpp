// The vendor port's readers of its two areas on arbitrary contents: the
// input sets what a client could write (block lengths, states, published
// indexes) between the port's passes, completions with any status and
// byte count, aborts and reopenings. No access may leave an area, no
// transfer may ask for more than a block, and no call may loop endlessly.
//
// The device is a stand-in that keeps each transfer until the input
// completes it; an abort completes them all at once (aborted).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include "abi/AudioSM.h"
#include "fuzz/common/FuzzInput.h"
#include "abi/USBByteBuffer.h"
#include "abi/VIDPID.h"
#include "driver/clients/VendorAsyncPort.h"
#include "driver/engine/desc/ZrConfigurationDescriptor.h"
#include "driver/engine/desc/ZrInterfaceDescriptor.h"
#include "driver/engine/desc/ZrPipeDescriptor.h"

namespace {

using hxfuzz::Input;

// Interface 4 with bulk IN 0x84 and bulk OUT 0x04.
const uint8_t kConfig[] = {9, 2, 32, 0, 1,    1, 0, 0x80, 250, 9, 4, 4,    0, 2, 255, 0,
                           0, 0, 7,  5, 0x84, 2, 0, 2,    0,   7, 5, 0x04, 2, 0, 2,   0};

class FuzzDevice : public VendorAsyncDevice {
public:
    FuzzDevice() {
        USBByteBuffer buf(kConfig, sizeof kConfig);
        config.scan(buf, VIDPID(0x1234, 0x5678, 0x0100, nullptr));
    }
    bool vendorIsFarlane() const override { return true; }
    bool vendorMatchInterface(ZrInterfaceDescriptor*& intf) override { return intf != nullptr; }
    void vendorCloseInterface(ZrInterfaceDescriptor*) override {}
    bool vendorInitPipe(ZrPipeDescriptor*, const char*) override { return true; }
    void vendorClosePipe(ZrPipeDescriptor*) override {}
    bool vendorHasUSBPipe(ZrPipeDescriptor*) const override { return true; }
    IOReturn vendorIO(ZrPipeDescriptor*, IOMemoryDescriptor* buffer, uint32_t length,
                      IOUSBHostCompletion* completion, uint32_t) override {
        if (length > kAsyncBlockDataBytes || length > buffer->getLength()) __builtin_trap();
        if (failNext) {
            failNext = false;
            return kIOReturnNotResponding;
        }
        held.push_back({*completion, buffer, length});
        return kIOReturnSuccess;
    }
    void vendorAbortPipe(ZrPipeDescriptor*) override { completeAll(kIOReturnAborted); }

    // Completes the oldest transfer; an IN transfer's bytes are written as
    // the bus writes them: at most what was asked.
    void completeOne(IOReturn status, uint32_t transferred, uint8_t fill) {
        if (held.empty()) return;
        const Held h = held.front();
        held.pop_front();
        std::vector<uint8_t> bytes(h.length, fill);
        if (h.length) h.buffer->writeBytes(0, bytes.data(), h.length);
        h.c.action(h.c.owner, h.c.parameter, status, transferred);
    }
    void completeAll(IOReturn status) {
        while (!held.empty())
            completeOne(status, 0, 0);
    }

    struct Held {
        IOUSBHostCompletion c;
        IOMemoryDescriptor* buffer;
        uint32_t length;
    };
    ZrConfigurationDescriptor config;
    std::deque<Held> held;
    bool failNext = false;
};

class FuzzOwner : public VendorAsyncClient {
public:
    FuzzOwner() { area.init(VendorAsyncPort::kAreaBytes); }
    void vendorRetain() override {}
    void vendorRelease() override {}
    SharedMemory* vendorOwnArea() override { return &area; }
    SharedMemory area;
};

void scribble(Input& in, AsyncTransportData* a) {
    const uint32_t k = in.u8() % kAsyncBlockCount;
    const uint32_t value = in.u32();
    switch (in.u8() % 3) {
    case 0:
        audiosm::store32(AUDIOSM_AT(&a->mBlocks[k], AsyncTransportBlock, mLength), value);
        break;
    case 1:
        audiosm::store32(AUDIOSM_AT(&a->mBlocks[k], AsyncTransportBlock, mState), value % 8);
        break;
    default:
        audiosm::store32(AUDIOSM_AT(a, AsyncTransportData, mKernelFill), value);
        audiosm::store32(AUDIOSM_AT(a, AsyncTransportData, mUserRequest), in.u32());
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FuzzDevice* device = new FuzzDevice();
    static FuzzOwner* owner = new FuzzOwner();
    static VendorAsyncPort* port = [] {
        auto* p = new VendorAsyncPort();
        p->onInit();
        return p;
    }();
    Input in{data, size};
    port->onFindInterfaces(device, &device->config);
    port->onConfigureDone(device);
    port->open(owner);
    // The passes run from here only: the timer is held still.
    port->timer().stopBarrier();
    port->inputArea()->init();
    static_cast<AsyncTransportData*>(owner->area.getMemory())->init();

    for (int steps = 0; in.n && steps < 256; ++steps) {
        const uint8_t op = in.u8();
        switch (op % 8) {
        case 0:
            scribble(in, port->inputArea());
            break;
        case 1:
            scribble(in, static_cast<AsyncTransportData*>(owner->area.getMemory()));
            break;
        case 2:
            port->processInput(in.u8() % 4);
            break;
        case 3:
            port->processOutput(op & 8, in.u8() % 4);
            break;
        case 4: {
            const IOReturn status = (op & 0x10) ? kIOReturnSuccess : kIOReturnIOError;
            device->completeOne(status, in.u32() % 20000, in.u8());
            break;
        }
        case 5:
            port->abort(owner, true);
            break;
        case 6:
            device->failNext = true;
            break;
        default:
            port->close(owner, false);
            device->completeAll(kIOReturnAborted);
            port->open(owner);
            port->timer().stopBarrier();
            break;
        }
    }
    device->completeAll(kIOReturnAborted);
    port->close(owner, true);
    port->onUnconfigure();
    if (port->ioCount() != 0 || port->inFlight() != 0) __builtin_trap();
    return 0;
}
