// MIDI and control bytes through devices that loop them back, on the
// virtual clock: the bulk-protocol device (MIDI and control bytes inside the
// bulk audio packets, at the slots the port's schedule flags; MIDI back on
// its interrupt endpoint in the layout the rate selects) and the second
// Sorvik Farlane generation (a plain MIDI loop on its MIDI interface), and
// for the corrupted areas also the HX-5100 model under a raw-MIDI
// personality (9-byte packets). The test stands in for the MIDI client (an
// opaque client, the area written and read as user space would).
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "abi/APIDeviceInfo.h"
#include "abi/MidiSM.h"
#include "abi/ProductIdentities.h"
#include "driver/clients/AJ.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/BulkProtocolModel.h"
#include "tests/driver/clients/MidiRig.h"
#include "tests/support/Sanitizers.h"

namespace {

using hx::harness::DeviceKind;
using hx::harness::HarnessOptions;
using hx::test::midiSequence;

HarnessOptions optionsFor(DeviceKind device, uint32_t rate, uint32_t channels) {
    HarnessOptions o;
    o.device = device;
    o.rate = rate;
    o.channels = channels;
    return o;
}

struct Rig : hx::test::MidiRig {
    Rig(DeviceKind device, uint32_t rate, uint32_t channels = 2)
        : MidiRig(optionsFor(device, rate, channels)) {}
    using MidiRig::MidiRig;
};

// How far ahead of the wire the bulk transport fills its out packets at
// most: its per-cycle limit, 8 ms of output.
constexpr uint64_t kBulkFillAheadFrames = 8;

struct BulkCase {
    DeviceKind device;
    uint32_t rate;
    uint32_t channels;
    uint32_t slots;
    uint32_t setSlots;
    AJStatusParser parser;
};

class BulkMidi : public ::testing::TestWithParam<BulkCase> {};

// MIDI bytes ride only at the slots the schedule flags (every flagged slot
// carries one while bytes wait), control slots stay 0xFF, and the bytes come
// back in order with stamps that never go back, in the rate's input layout.
TEST_P(BulkMidi, BytesRideTheFlaggedSlotsAndComeBackInOrder) {
    const BulkCase c = GetParam();
    Rig r(c.device, c.rate, c.channels);
    ASSERT_TRUE(r.ok) << r.h->lastError();
    ASSERT_TRUE(r.attached);
    AJ& p = r.port();
    ASSERT_TRUE(p.isRunning());
    EXPECT_EQ(p.statusParser(), c.parser);
    const USBMidiPattern& pat = p.pattern();
    ASSERT_EQ(pat.slotCount(), c.slots);
    uint32_t set = 0;
    for (uint32_t i = 0; i < pat.slotCount(); ++i)
        set += pat.slot(i);
    EXPECT_EQ(set, c.setSlots);

    // One byte first. It rides the next packet the real-time service fills,
    // and with clients ahead that service fills packets up to its per-cycle
    // limit (8 ms of output) ahead of the wire: at most that plus 2 frames.
    const std::vector<uint8_t> sent = midiSequence(300);
    const size_t before = r.bulk()->midiControlBytes().size();
    const uint64_t start = r.h->bus()->frameNumber();
    ASSERT_EQ(r.area().mOut[0].put(sent.data(), 1), 1u);
    // The device loops it back from the OUT packet's frame on: it reaches
    // the input ring within 2 bus frames of that.
    bool inOrder = true;
    std::vector<uint8_t> got, none;
    const uint64_t arrived = r.inputArrivalFrame(got, 1, none, 0, 50, inOrder);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_LE(arrived, r.bulk()->midiLastFrame() + 2);
    EXPECT_LE(r.bulk()->midiLastFrame(), start + kBulkFillAheadFrames + 2);
    ASSERT_EQ(r.area().mOut[0].put(sent.data() + 1, uint32_t(sent.size() - 1)),
              uint32_t(sent.size() - 1));
    const std::vector<uint8_t> rest = r.waitInput(sent.size() - got.size(), 1000, inOrder);
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, sent);
    EXPECT_TRUE(inOrder);

    // The wire: bytes in order, and within the run of the long sequence
    // (the queue never empty) a byte exactly at the flagged slots under one
    // alignment of the schedule.
    const auto wire = r.bulk()->midiControlBytes();
    std::vector<uint8_t> carried;
    std::vector<size_t> at;
    for (size_t k = before; k < wire.size(); ++k) {
        EXPECT_EQ(wire[k].second, 0xFF) << k;
        if (wire[k].first != kMidiNoByte) {
            carried.push_back(wire[k].first);
            at.push_back(k);
        }
    }
    ASSERT_EQ(carried, sent);
    const size_t first = at[1], last = at.back();
    ASSERT_GT(last - first, 2 * size_t(c.slots));
    bool aligned = false;
    for (uint32_t o = 0; o < c.slots && !aligned; ++o) {
        aligned = true;
        for (size_t k = first; k <= last && aligned; ++k)
            aligned =
                (wire[k].first != kMidiNoByte) == (pat.slot(uint32_t((k + o) % c.slots)) != 0);
    }
    EXPECT_TRUE(aligned);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, BulkMidi,
    ::testing::Values(BulkCase{DeviceKind::Bulk, 48000, 2, 48, 25, inACR_M4_C1},
                      BulkCase{DeviceKind::Bulk, 96000, 2, 96, 25, inACR_M1_C1},
                      // 1,024-byte interrupt input: two bytes a loop packet.
                      BulkCase{DeviceKind::BulkInterrupt, 96000, 8, 96, 25, inACR_M2}),
    [](const ::testing::TestParamInfo<BulkCase>& i) {
        return std::string(i.param.device == DeviceKind::Bulk ? "Bulk_" : "Interrupt_") +
               std::to_string(i.param.rate) + "Hz";
    });

// 300 bytes through the 256-byte control queue succeed as the audio packets
// drain it; each goes out once, in order, with bits 0x18 set.
TEST(BulkControlPort, ThreeHundredBytesGoAsThePacketsDrainTheQueue) {
    Rig r(DeviceKind::Bulk, 48000);
    ASSERT_TRUE(r.ok) << r.h->lastError();
    const size_t before = r.bulk()->midiControlBytes().size();
    std::vector<uint8_t> bytes(300);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(i % 0xE0);
    EXPECT_EQ(r.port().sendCPort(bytes.data(), uint32_t(bytes.size())), kIOReturnSuccess);
    r.h->idle(100000);
    std::vector<uint8_t> got;
    const auto wire = r.bulk()->midiControlBytes();
    for (size_t k = before; k < wire.size(); ++k) {
        EXPECT_EQ(wire[k].first, kMidiNoByte) << k;
        if (wire[k].second != 0xFF) got.push_back(wire[k].second);
    }
    ASSERT_EQ(got.size(), bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i)
        EXPECT_EQ(got[i], uint8_t(bytes[i] | 0x18)) << i;
}

// The second Farlane generation loops port-0 MIDI back on its MIDI
// interface: the bytes come back in order with stamps that never go back.
TEST(Farlane2Midi, PortZeroComesBackInOrder) {
    Rig r(DeviceKind::Farlane2, 48000, 4);
    ASSERT_TRUE(r.ok) << r.h->lastError();
    ASSERT_TRUE(r.attached);
    EXPECT_EQ(r.port().statusParser(), inACR_Reg);
    const std::vector<uint8_t> sent = midiSequence(2000);
    // One byte first: it reaches the device within 2 bus frames of
    // `fireOutput`, and comes back to the input ring within 2 bus frames
    // of the OUT packet that carried it (the loop's IN packet leaves no
    // earlier).
    const uint64_t start = r.h->bus()->frameNumber();
    ASSERT_EQ(r.area().mOut[0].put(sent.data(), 1), 1u);
    r.port().fireOutput();
    bool inOrder = true;
    std::vector<uint8_t> got, none;
    const uint64_t arrived = r.inputArrivalFrame(got, 1, none, 0, 50, inOrder);
    ASSERT_EQ(got.size(), 1u);
    const uint64_t outFrame = r.h->model()->midiLastPacketFrame();
    EXPECT_LE(outFrame, start + 2);
    EXPECT_LE(arrived, outFrame + 2);
    ASSERT_EQ(r.area().mOut[0].put(sent.data() + 1, uint32_t(sent.size() - 1)),
              uint32_t(sent.size() - 1));
    r.port().fireOutput();
    const std::vector<uint8_t> rest = r.waitInput(sent.size() - 1, 500, inOrder);
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, sent);
    EXPECT_TRUE(inOrder);
    // Port-1 and control bytes have no place on this wire.
    const uint8_t cport[2] = {1, 2};
    EXPECT_EQ(r.port().sendCPort(cport, 2), kIOReturnIOError);
}

// A client's area rewritten with nonsense loses at most that area's bytes:
// the port keeps running, another client's control-port bytes still go, and
// once the client starts its area over (a new attach) sequences come back
// whole. Nothing is read or written outside the area: the platform keeps an
// inaccessible page on each side of it, and the bytes from its end to the
// page end are poisoned under the address sanitizer (elsewhere the test
// fills them with a canary and checks it after each case).
struct Corruption {
    const char* name;
    void (*apply)(MidiSharedMemory&);
};

const Corruption kCorruptions[] = {
    {"FillCountPastTheQueue", [](MidiSharedMemory& a) { a.mOut[0].mFill = 0xFFFFFFF0u; }},
    {"FillCountWithoutBytes", [](MidiSharedMemory& a) { a.mOut[0].mFill = 65536; }},
    {"QueueIndexes", [](MidiSharedMemory& a) { a.mOut[0].mRead = 0xFFFF, a.mOut[0].mWrite = 7; }},
    {"InputIndexes",
     [](MidiSharedMemory& a) { a.mIn[0].mReadIndex = 0xFFFFFFFFu, a.mIn[0].mWriteIndex = 9000; }},
    {"InputLengths",
     [](MidiSharedMemory& a) {
         for (uint32_t i = 0; i < kMidiIOElements; i += 3)
             a.mIn[0].mElements[i].mLength = 0xFFFFFFFFu;
     }},
    {"InProgressHeldAtOne", [](MidiSharedMemory& a) { a.mOutputInProgress = 1; }},
    {"ClosingFlag", [](MidiSharedMemory& a) { a.mClosing = 0xFFFFFFFFu; }},
    // Port 1's queue and ring (carried by the 9-byte packets).
    {"PortOneFillCount",
     [](MidiSharedMemory& a) { a.mOut[1].mFill = 0xFFFFFFF0u, a.mOut[1].mRead = 0xFFFF; }},
    {"PortOneInputRing",
     [](MidiSharedMemory& a) {
         a.mIn[1].mReadIndex = 8191, a.mIn[1].mWriteIndex = 0xFFFFFFFFu;
         a.mIn[1].mElements[8191].mLength = 0x80000000u;
     }},
};

// The two wires the table runs on: the second Farlane generation (port 0
// only, no control byte) and the HX-5100 model under a raw-MIDI personality
// (9-byte packets of both ports and the control byte), each looping MIDI
// back.
enum class Wire { Farlane2, NineByte };

HarnessOptions wireOptions(Wire w) {
    if (w == Wire::Farlane2) return optionsFor(DeviceKind::Farlane2, 48000, 4);
    HarnessOptions o;
    o.productID = kKorvexHX5100SiblingProductID;
    o.featureFlags = std::vector<uint8_t>{eSpecFeature_MerrowCompatible, eSpecFeature_RawMidi};
    return o;
}

// The MIDI bytes of a port on the wire: all packet bytes on the Farlane-2;
// bytes 0..3 (port 0) or 4..7 (port 1) but the 0xFD fill of the 9-byte
// packets.
std::vector<uint8_t> wireBytes(Wire w, const std::vector<std::vector<uint8_t>>& packets,
                               int midiPort) {
    std::vector<uint8_t> out;
    for (const auto& p : packets) {
        if (w == Wire::Farlane2) {
            out.insert(out.end(), p.begin(), p.end());
            continue;
        }
        for (size_t i = 4 * size_t(midiPort); i < 4 * size_t(midiPort) + 4 && i < p.size(); ++i)
            if (p[i] != kMidiNoByte) out.push_back(p[i]);
    }
    return out;
}

// The bytes from the area's end to its page end, where nothing may write.
class AreaTail {
public:
    explicit AreaTail(MidiSharedMemory& area)
        : mTail(reinterpret_cast<uint8_t*>(&area) + kMidiSMBytes) {
        const uint64_t page = uint64_t(::sysconf(_SC_PAGESIZE));
        mLength = size_t((kMidiSMBytes + page - 1) / page * page - kMidiSMBytes);
#ifndef HX_TEST_ASAN
        for (size_t i = 0; i < mLength; ++i)
            mTail[i] = canary(i);
#endif
    }
    // The first byte that changed, or -1.
    ptrdiff_t firstChanged() const {
#ifndef HX_TEST_ASAN
        for (size_t i = 0; i < mLength; ++i)
            if (mTail[i] != canary(i)) return ptrdiff_t(i);
#endif
        return -1;
    }

private:
    static uint8_t canary(size_t i) {
        return uint8_t(0xA5 ^ i);
    }
    uint8_t* mTail;
    size_t mLength = 0;
};

struct CorruptionCase {
    Wire wire;
    Corruption corruption;
};

class CorruptedArea : public ::testing::TestWithParam<CorruptionCase> {};

TEST_P(CorruptedArea, LosesAtMostItsOwnBytes) {
    const Wire w = GetParam().wire;
    Rig r(wireOptions(w), w == Wire::NineByte);
    ASSERT_TRUE(r.ok) << r.h->lastError();
    ASSERT_TRUE(r.attached);
    const AreaTail tail(r.area());
    const std::vector<uint8_t> sent = midiSequence(200);
    std::vector<uint8_t> sent1(sent.rbegin(), sent.rbegin() + 60);
    GetParam().corruption.apply(r.area());
    // With the area corrupted: whatever goes or comes stays bounded.
    r.area().mOut[0].put(sent.data(), uint32_t(sent.size()));
    r.area().mOut[1].put(sent1.data(), uint32_t(sent1.size()));
    r.port().fireOutput();
    // Another client's control-port bytes go all the same where the wire
    // carries them, in the last byte of the packets (each stays there until
    // the next; before them the port's initial control byte).
    const uint8_t control[3] = {0x11, 0x12, 0x13};
    const size_t packetsBefore = r.h->model()->midiPackets().size();
    if (w == Wire::NineByte) {
        EXPECT_EQ(r.port().sendCPort(control, 3), kIOReturnSuccess);
    }
    r.h->idle(50000);
    if (w == Wire::NineByte) {
        std::vector<uint8_t> lastBytes;
        const auto packets = r.h->model()->midiPackets();
        for (size_t i = packetsBefore; i < packets.size(); ++i)
            if (packets[i][8] != AJ::kInitialControlByte &&
                (lastBytes.empty() || lastBytes.back() != packets[i][8]))
                lastBytes.push_back(packets[i][8]);
        EXPECT_EQ(lastBytes, std::vector<uint8_t>(control, control + 3));
    }
    // The client drains what it finds (its own reads of its own nonsense).
    MidiIOElement e{};
    for (int ring = 0; ring < 2; ++ring)
        for (uint32_t i = 0; i < kMidiIOElements && r.area().mIn[ring].get(e); ++i) {
        }
    bool inOrder = true;
    EXPECT_TRUE(r.port().isRunning());
    // The client starts over: its area works again.
    r.port().clientDetach(&r.client);
    ASSERT_TRUE(r.port().clientAttach(&r.client));
    r.lastStamp[0] = r.lastStamp[1] = 0;
    ASSERT_EQ(r.area().mOut[0].put(sent.data(), uint32_t(sent.size())), sent.size());
    if (w == Wire::NineByte) {
        ASSERT_EQ(r.area().mOut[1].put(sent1.data(), uint32_t(sent1.size())), sent1.size());
    }
    r.port().fireOutput();
    // Bytes the corrupted area still had looping in the device may come
    // first; the sequence ends the input, whole and in order.
    std::vector<uint8_t> got, got1;
    const auto endsWith = [](const std::vector<uint8_t>& v, const std::vector<uint8_t>& end) {
        return v.size() >= end.size() &&
               std::equal(end.begin(), end.end(), v.end() - std::ptrdiff_t(end.size()));
    };
    const bool two = w == Wire::NineByte;
    for (int ms = 0; ms < 3000 && !(endsWith(got, sent) && (!two || endsWith(got1, sent1))); ++ms) {
        r.h->idle(1000);
        r.readInput(got, inOrder, 0);
        r.readInput(got1, inOrder, 1);
    }
    EXPECT_TRUE(endsWith(got, sent)) << got.size();
    if (two) {
        EXPECT_TRUE(endsWith(got1, sent1)) << got1.size();
    }
    EXPECT_TRUE(inOrder);
    // On the wire likewise: whatever the corrupted area still sent, then
    // the sequence.
    const auto packets = r.h->model()->midiPackets();
    EXPECT_TRUE(endsWith(wireBytes(w, packets, 0), sent));
    if (two) {
        EXPECT_TRUE(endsWith(wireBytes(w, packets, 1), sent1));
    }
    EXPECT_EQ(tail.firstChanged(), -1);
}

std::vector<CorruptionCase> corruptionCases() {
    std::vector<CorruptionCase> v;
    for (Wire w : {Wire::Farlane2, Wire::NineByte})
        for (const Corruption& c : kCorruptions)
            v.push_back({w, c});
    return v;
}

INSTANTIATE_TEST_SUITE_P(Fields, CorruptedArea, ::testing::ValuesIn(corruptionCases()),
                         [](const ::testing::TestParamInfo<CorruptionCase>& i) {
                             return std::string(i.param.wire == Wire::Farlane2 ? "Farlane2_"
                                                                               : "NineByte_") +
                                    i.param.corruption.name;
                         });

} // namespace
