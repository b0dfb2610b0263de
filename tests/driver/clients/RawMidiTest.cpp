// Devices the driver matches with a features record in their personality,
// on the virtual clock. A record with raw MIDI (and no regular MIDI) makes
// the USB-MIDI object at start and turns the MIDI and control port into a
// 9-byte packet port: up to 4 bytes of MIDI port 0 from byte 0, of port 1
// from byte 4, the control byte last. The HX-5100 model under its sibling's
// identity loops those packets back on its interrupt endpoint, where the
// port's parser moves bytes 0..3 and 4..7 into the client's two input
// rings. The test stands in for the MIDI client (an opaque client, the area
// written and read as user space would).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "abi/APIDeviceInfo.h"
#include "abi/DriverSM.h"
#include "abi/MidiSM.h"
#include "abi/ProductIdentities.h"
#include "driver/clients/AJ.h"
#include "driver/clients/USBMidi.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "driver/engine/desc/ZrDeviceConfigurations.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "platform/usb/USBBus.h"
#include "tests/driver/clients/MidiRig.h"

namespace {

using hx::harness::HarnessOptions;
using hx::test::midiSequence;
using Packet = std::vector<uint8_t>;

const std::vector<uint8_t> kRawMidiFlags = {eSpecFeature_MerrowCompatible, eSpecFeature_RawMidi};

// A streaming machine whose personality carries `flags`, with the test
// attached as the port's client.
struct Rig : hx::test::MidiRig {
    Rig(uint16_t product, const std::vector<uint8_t>& flags, bool highSpeed, bool loop)
        : MidiRig(options(product, flags, highSpeed), loop) {}
    static HarnessOptions options(uint16_t product, const std::vector<uint8_t>& flags,
                                  bool highSpeed) {
        HarnessOptions o;
        o.productID = product;
        o.highSpeed = highSpeed;
        o.featureFlags = flags;
        return o;
    }
};

// MIDI bytes per port of the 9-byte packet at `index` of the 256-packet
// cycle: 4 on packets 0, 8, ..., 240, 3 on every other.
uint32_t bytesAt(uint32_t index) {
    index %= 256;
    return index % 8 == 0 && index <= 240 ? 4 : 3;
}

// The packets a chain makes of two ports' bytes from cycle position `index`:
// each takes up to its count of each port, 0xFD fills what it does not take,
// byte 8 is the control byte; the chain ends when both ports are empty.
std::vector<Packet> ninePackets(const std::vector<uint8_t>& port0,
                                const std::vector<uint8_t>& port1, uint32_t index,
                                uint8_t control) {
    std::deque<uint8_t> q[2] = {{port0.begin(), port0.end()}, {port1.begin(), port1.end()}};
    std::vector<Packet> out;
    while (!q[0].empty() || !q[1].empty()) {
        Packet p(9, kMidiNoByte);
        const uint32_t n = bytesAt(index++);
        for (int port = 0; port < 2; ++port)
            for (uint32_t i = 0; i < n && !q[port].empty(); ++i) {
                p[4 * port + i] = q[port].front();
                q[port].pop_front();
            }
        p[8] = control;
        out.push_back(p);
    }
    return out;
}

class RawMidiPort : public ::testing::TestWithParam<bool> {};

// Both ports' bytes leave in 9-byte packets laid out by the cycle's counts,
// and come back in order on their own input rings; control bytes take the
// last byte of a packet each, the last one staying there.
TEST_P(RawMidiPort, NineBytePacketsCarryBothPortsAndTheControlByte) {
    Rig r(kKorvexHX5100SiblingProductID, kRawMidiFlags, GetParam(), true);
    ASSERT_TRUE(r.ok) << r.h->lastError();
    ASSERT_TRUE(r.attached);
    AJ& p = r.port();
    ASSERT_TRUE(p.isRunning());
    EXPECT_EQ(p.packetSize(), 9u);
    EXPECT_EQ(p.port1Offset(), 4u);
    EXPECT_EQ(p.inBlockSize(), GetParam() ? 512u : 9u);
    EXPECT_EQ(p.statusParser(), inACR_M4_M4_C1);
    EXPECT_EQ(p.controlByte(), AJ::kInitialControlByte);
    ASSERT_TRUE(r.packets().empty());

    // Input first: a packet the device sends reaches both input rings
    // within 2 bus frames of being queued (its IN packet leaves no earlier).
    {
        const Packet in = {0x92, 0x3C, 0x7F, kMidiNoByte, 0x83, 0x3C, 0x00, kMidiNoByte, 0xFF};
        const uint64_t queued = r.h->bus()->frameNumber();
        r.h->model()->queueMidiInBytes(in);
        bool inOrder = true;
        std::vector<uint8_t> in0, in1;
        const uint64_t arrived = r.inputArrivalFrame(in0, 3, in1, 3, 20, inOrder);
        EXPECT_LE(arrived, queued + 2);
        EXPECT_EQ(in0, std::vector<uint8_t>(in.begin(), in.begin() + 3));
        EXPECT_EQ(in1, std::vector<uint8_t>(in.begin() + 4, in.begin() + 7));
        EXPECT_TRUE(inOrder);
    }

    // One byte first: it reaches the device within 2 bus frames.
    const std::vector<uint8_t> port0 = midiSequence(61, 1), port1 = midiSequence(47, 2);
    const uint64_t start = r.h->bus()->frameNumber();
    ASSERT_EQ(r.area().mOut[0].put(port0.data(), 1), 1u);
    p.fireOutput();
    r.waitPackets(1, 10);
    ASSERT_EQ(r.packets().size(), 1u);
    EXPECT_LE(r.h->model()->midiLastPacketFrame(), start + 2);
    // Then both ports at once: the chain takes them packet by packet.
    ASSERT_EQ(r.area().mOut[0].put(port0.data() + 1, uint32_t(port0.size() - 1)), port0.size() - 1);
    ASSERT_EQ(r.area().mOut[1].put(port1.data(), uint32_t(port1.size())), port1.size());
    p.fireOutput();
    std::vector<Packet> want = ninePackets({port0[0]}, {}, 0, AJ::kInitialControlByte);
    const std::vector<Packet> rest =
        ninePackets({port0.begin() + 1, port0.end()}, port1, 1, AJ::kInitialControlByte);
    want.insert(want.end(), rest.begin(), rest.end());
    r.waitPackets(want.size(), 200);
    EXPECT_EQ(r.packets(), want);

    bool inOrder = true;
    std::vector<uint8_t> got0, got1;
    for (int ms = 0; ms < 200 && (got0.size() < port0.size() || got1.size() < port1.size()); ++ms) {
        r.h->idle(1000);
        r.readInput(got0, inOrder, 0);
        r.readInput(got1, inOrder, 1);
    }
    EXPECT_EQ(got0, port0);
    EXPECT_EQ(got1, port1);
    EXPECT_TRUE(inOrder);

    // Control bytes: one a packet, no MIDI beside them; the last one stays
    // in the packets that follow. None reaches the input rings.
    const uint8_t control[3] = {0x01, 0x02, 0x03};
    EXPECT_EQ(p.sendCPort(control, 3), kIOReturnSuccess);
    const size_t before = want.size();
    r.waitPackets(before + 3, 100);
    const uint8_t note = 0x91;
    ASSERT_EQ(r.area().mOut[0].put(&note, 1), 1u);
    p.fireOutput();
    r.waitPackets(before + 4, 100);
    const std::vector<Packet> all = r.packets();
    ASSERT_EQ(all.size(), before + 4);
    for (uint32_t i = 0; i < 3; ++i) {
        Packet c(9, kMidiNoByte);
        c[8] = control[i];
        EXPECT_EQ(all[before + i], c) << i;
    }
    EXPECT_EQ(all[before + 3], ninePackets({note}, {}, uint32_t(before + 3), control[2]).front());
    r.h->idle(20000);
    got0.clear(), got1.clear();
    r.readInput(got0, inOrder, 0);
    r.readInput(got1, inOrder, 1);
    EXPECT_EQ(got0, std::vector<uint8_t>{note});
    EXPECT_TRUE(got1.empty());
}

// 300 bytes through the 256-byte control queue succeed as the packets drain
// it: each leaves once, in order, in the last byte of a packet of its own.
TEST_P(RawMidiPort, ThreeHundredControlBytesDrainThroughThePackets) {
    Rig r(kKorvexHX5100SiblingProductID, kRawMidiFlags, GetParam(), true);
    ASSERT_TRUE(r.ok) << r.h->lastError();
    std::vector<uint8_t> bytes(300);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(i % 251);
    EXPECT_EQ(r.port().sendCPort(bytes.data(), uint32_t(bytes.size())), kIOReturnSuccess);
    r.waitPackets(bytes.size(), 500);
    r.h->idle(10000);
    const std::vector<Packet> all = r.packets();
    ASSERT_EQ(all.size(), bytes.size());
    for (size_t i = 0; i < all.size(); ++i) {
        ASSERT_EQ(all[i].size(), 9u) << i;
        EXPECT_EQ(all[i][8], bytes[i]) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Speeds, RawMidiPort, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return i.param ? "High" : "Full";
                         });

// Which personalities make the USB-MIDI object, and the packets the port
// sends beside it: only a Merrow-compatible record with raw MIDI makes it;
// without regular MIDI the port sends 9-byte packets. The configuration
// publishes the device's MIDI interface for class drivers unless the record
// is Merrow-compatible with MIDI of either kind.
struct PersonalityCase {
    const char* name;
    std::vector<uint8_t> flags;
    bool usbMidi;
    uint32_t packetSize;
    bool registersInterface;
};

class MidiPersonality : public ::testing::TestWithParam<PersonalityCase> {};

TEST_P(MidiPersonality, TheUSBMidiObjectAndThePortFollowTheRecord) {
    const PersonalityCase& c = GetParam();
    hx::log::Capture log;
    Rig r(kKorvexHX5100ProductID, c.flags, true, false);
    ASSERT_TRUE(r.ok) << r.h->lastError();
    ZrDevice* dev = r.h->device();
    EXPECT_EQ(r.port().packetSize(), c.packetSize);
    // The status parser stays the HX-5100's: its family code wins.
    EXPECT_EQ(r.port().statusParser(), inACR_HX5100);
    // A Merrow-compatible device with MIDI of either kind keeps its MIDI
    // interface from class drivers; any other publishes it, once.
    const std::string text = log.text();
    EXPECT_EQ(text.find("..not for merrow compatible") != std::string::npos, !c.registersInterface);
    const std::string registered =
        "void ZrKernelDeviceKorvexHX5100::registerMidiInterface() register interface\n";
    const size_t at = text.find(registered);
    EXPECT_EQ(at != std::string::npos, c.registersInterface);
    if (at != std::string::npos) {
        EXPECT_EQ(text.find(registered, at + 1), std::string::npos);
    }
    // The interface it publishes: the device's MIDI interface, bound.
    ZrInterfaceDescriptor* midi = dev->getConfigurations().m_pcMidiInterface;
    ASSERT_NE(midi, nullptr);
    EXPECT_NE(dev->getBindings().getInterface(midi), nullptr);
    const DriverSM* sm = dev->getDriverSM();
    ASSERT_NE(sm, nullptr);
    EXPECT_STREQ(r.area().mDeviceUID, sm->mDeviceUID);
    USBMidiDevice* usb = dev->getUSBMidiDevice();
    ASSERT_EQ(usb != nullptr, c.usbMidi);
    if (!usb) {
        EXPECT_EQ(log.text().find("USBMidiDevice [MIDI]"), std::string::npos);
        return;
    }
    // Its own area, with the device's identity.
    const MidiSharedMemory* area = usb->area();
    ASSERT_NE(area, nullptr);
    EXPECT_NE(static_cast<const void*>(area), static_cast<const void*>(&r.area()));
    EXPECT_EQ(area->mVendorID, kKorvexVendorID);
    EXPECT_EQ(area->mProductID, kKorvexHX5100ProductID);
    EXPECT_STREQ(area->mDeviceString1, sm->mVendorString);
    EXPECT_STREQ(area->mDeviceString2, sm->mProductString);
    // The start writes the device's unique identifier after it made the
    // object, so the area's copy is whatever the shared area held then (the
    // port's own area takes it again at configuration; this one is handed
    // to no client).
    char line[512];
    std::snprintf(line, sizeof line, "USBMidiDevice [MIDI] vendor=%04X product=%04X UID=%s\n",
                  kKorvexVendorID, kKorvexHX5100ProductID, area->mDeviceUID);
    EXPECT_NE(log.text().find(line), std::string::npos) << line;
    // Started with the stream; no pipes of its own, so no bandwidth.
    EXPECT_TRUE(usb->isRunning());
    EXPECT_EQ(usb->getAllocatedBandWidth(), 0u);
    // Stop, then the teardown when the rig goes (the sanitizer build checks
    // both).
    r.h->stop();
    dev->stopStreaming(true);
    EXPECT_FALSE(usb->isRunning());
    EXPECT_FALSE(r.port().isRunning());
}

INSTANTIATE_TEST_SUITE_P(
    Records, MidiPersonality,
    ::testing::Values(PersonalityCase{"RawMidi", kRawMidiFlags, true, 9, false},
                      PersonalityCase{"RegularMidi",
                                      {eSpecFeature_MerrowCompatible, eSpecFeature_RegularMidi},
                                      false,
                                      512,
                                      false},
                      PersonalityCase{"Both",
                                      {eSpecFeature_MerrowCompatible, eSpecFeature_RawMidi,
                                       eSpecFeature_RegularMidi},
                                      true,
                                      512,
                                      false},
                      PersonalityCase{"Neither", {eSpecFeature_MerrowCompatible}, false, 9, true},
                      // Not Merrow-compatible: no USB-MIDI object, whatever
                      // MIDI the record names, and the interface published.
                      PersonalityCase{"NotMerrowRawMidi", {eSpecFeature_RawMidi}, false, 9, true},
                      PersonalityCase{
                          "NotMerrowRegularMidi", {eSpecFeature_RegularMidi}, false, 512, true}),
    [](const ::testing::TestParamInfo<PersonalityCase>& i) { return std::string(i.param.name); });

// The kernel device's cancel of a USB-MIDI block: it marks the block busy,
// waits 50 ms and clears the mark again unless the block completed
// meanwhile (a completion clears the mark itself; a block not in flight
// keeps it). A thread of the machine looks at the block 20 ms into the wait
// and, in one case, completes its transfer there. Then the stop and the
// teardown (the sanitizer build checks all of it).
struct CancelCase {
    const char* name;
    bool inFlight;
    bool completesDuringWait;
    bool usedAfter;
    uint8_t busyAfter;
};

class MidiRBCancel : public ::testing::TestWithParam<CancelCase> {};

TEST_P(MidiRBCancel, MarksTheBlockForTheWaitThenStopAndTeardown) {
    const CancelCase& c = GetParam();
    Rig r(kKorvexHX5100ProductID, kRawMidiFlags, true, false);
    ASSERT_TRUE(r.ok) << r.h->lastError();
    ZrKernelDeviceKorvexHX5100* kdev = r.h->service();
    ASSERT_NE(kdev, nullptr);
    USBMidiDevice* usb = r.h->device()->getUSBMidiDevice();
    ASSERT_NE(usb, nullptr);
    ASSERT_TRUE(usb->isRunning());

    auto* rb = new MidiRB(MidiRB::kMinBytes);
    ASSERT_TRUE(rb->isInitialized());
    if (c.inFlight) rb->setUsed(true);
    uint8_t busyDuring = 0xEE;
    hx::clock::Reservation seat;
    std::thread machine([&, seat = std::move(seat)]() mutable {
        hx::clock::Participant p(std::move(seat));
        hx::clock::sleepFor(20000000);
        busyDuring = rb->busy();
        if (c.completesDuringWait) rb->setUsed(false);
    });
    const uint64_t before = hx::clock::nowNanos();
    kdev->cancelMidiRB(rb);
    const uint64_t waited = hx::clock::nowNanos() - before;
    {
        hx::clock::Idle idle;
        machine.join();
    }
    EXPECT_GE(waited, 50000000u);
    EXPECT_EQ(busyDuring, 1);
    EXPECT_EQ(rb->isUsed(), c.usedAfter);
    EXPECT_EQ(rb->busy(), c.busyAfter);
    // A null block is no block.
    kdev->cancelMidiRB(nullptr);

    // A block still in flight goes when its transfer ends.
    rb->unuse();
    if (c.usedAfter) {
        EXPECT_TRUE(rb->isAutoDelete());
        rb->setUsed(false);
    }
    r.h->stop();
    r.h->device()->stopStreaming(true);
    EXPECT_FALSE(usb->isRunning());
    EXPECT_FALSE(r.port().isRunning());
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, MidiRBCancel,
    ::testing::Values(CancelCase{"InFlight", true, false, true, 0},
                      CancelCase{"CompletesDuringTheWait", true, true, false, 0},
                      CancelCase{"NotInFlight", false, false, false, 1}),
    [](const ::testing::TestParamInfo<CancelCase>& i) { return std::string(i.param.name); });

} // namespace
