// A streaming machine on the virtual clock with the test attached as the
// MIDI and control port's client (an opaque client; the area written and
// read as user space would), for the tests of the port on looping devices.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "abi/MidiSM.h"
#include "driver/clients/AJ.h"
#include "driver/clients/harness/ClientHarness.h"
#include "driver/engine/ZrDevice.h"
#include "platform/kern/IOMemoryDescriptor.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/BulkProtocolModel.h"
#include "platform/usb/devices/HX5100Model.h"

namespace hx::test {

struct MidiRigClient : AJClient {
    void ajRetain() override {}
    void ajRelease() override {}
    void triggerClient() override {}
};

// `loop`: the HX-5100 model sends back what its MIDI endpoint receives
// instead of its status words.
struct MidiRig {
    explicit MidiRig(const hx::harness::HarnessOptions& o, bool loop = false) {
        h = std::make_unique<hx::harness::ClientHarness>(o);
        ok = h->boot();
        if (!ok) return;
        if (loop) h->model()->setMidiLoop(true);
        ok = h->openClient() && h->configure() && h->setRouting() && h->attachRing();
        if (!ok) return;
        h->run(30000);
        attached = port().clientAttach(&client);
    }
    ~MidiRig() {
        if (attached) port().clientDetach(&client);
    }
    AJ& port() { return h->device()->getAJ(); }
    MidiSharedMemory& area() {
        return *static_cast<MidiSharedMemory*>(port().getMidiSM()->getBytesNoCopy());
    }
    hx::usb::devices::BulkProtocolModel* bulk() {
        return dynamic_cast<hx::usb::devices::BulkProtocolModel*>(h->model().get());
    }
    std::vector<std::vector<uint8_t>> packets() { return h->model()->midiPackets(); }
    // Reads input ring `ring` as the client does: bytes in order, and
    // whether the stamps never went back.
    void readInput(std::vector<uint8_t>& bytes, bool& stampsInOrder, int ring = 0) {
        MidiIOElement e{};
        while (area().mIn[ring].get(e)) {
            const uint64_t stamp = e.mTimeStamp;
            if (stamp < lastStamp[ring]) stampsInOrder = false;
            lastStamp[ring] = stamp;
            const uint32_t n = e.mLength;
            ASSERT_LE(n, kMidiIOElementBytes);
            bytes.insert(bytes.end(), e.mData, e.mData + n);
        }
    }
    // Lets time pass until `want` bytes came back on ring 0 (at most
    // `limitMs`).
    std::vector<uint8_t> waitInput(size_t want, uint32_t limitMs, bool& stampsInOrder) {
        std::vector<uint8_t> got;
        for (uint32_t t = 0; t < limitMs && got.size() < want; ++t) {
            h->idle(1000);
            readInput(got, stampsInOrder);
        }
        return got;
    }
    // Lets time pass a bus frame at a time until ring 0 holds `want0`
    // bytes in `got0` and ring 1 `want1` in `got1` (at most `limitMs`); the
    // bus frame by which they all were there, or UINT64_MAX.
    uint64_t inputArrivalFrame(std::vector<uint8_t>& got0, size_t want0, std::vector<uint8_t>& got1,
                               size_t want1, uint32_t limitMs, bool& stampsInOrder) {
        for (uint32_t t = 0; t < limitMs; ++t) {
            h->idle(1000);
            readInput(got0, stampsInOrder, 0);
            readInput(got1, stampsInOrder, 1);
            if (got0.size() >= want0 && got1.size() >= want1) return h->bus()->frameNumber();
        }
        return UINT64_MAX;
    }
    // Lets time pass until the device received `count` packets (at most
    // `limitMs`).
    void waitPackets(size_t count, uint32_t limitMs) {
        for (uint32_t t = 0; t < limitMs && packets().size() < count; ++t)
            h->idle(1000);
    }
    std::unique_ptr<hx::harness::ClientHarness> h;
    MidiRigClient client;
    bool ok = false;
    bool attached = false;
    uint64_t lastStamp[2] = {};
};

// MIDI bytes that never hold 0xFD; `salt` makes another sequence.
inline std::vector<uint8_t> midiSequence(size_t n, uint8_t salt = 0) {
    std::vector<uint8_t> v;
    for (size_t i = 0; i < n; ++i)
        v.push_back(uint8_t(i % 3 == 0 ? 0x90 | (salt & 0x0F) : (i + salt) % 0x7F));
    return v;
}

} // namespace hx::test
