// The MIDI and control port on a booted HX-5100 on the virtual clock: the
// reads it keeps queued, the status words the device sends (status values,
// launch button, levels) and the MIDI output chain, checked where the device
// records it. The test stands in for the MIDI client (an opaque client, the
// area written as user space would).
#include "driver/clients/AJ.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

#include "abi/QN_StateChange.h"
#include "driver/clients/harness/ClientHarness.h"
#include "driver/engine/ZrDevice.h"
#include "platform/kern/IOMemoryDescriptor.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/HX5100Model.h"

namespace {

struct TestClient : AJClient {
    std::atomic<int> refs{0}, triggers{0};
    void ajRetain() override { ++refs; }
    void ajRelease() override { --refs; }
    void triggerClient() override { ++triggers; }
};

uint32_t word(uint8_t cc, uint8_t v) {
    return 0xB00Bu | uint32_t(cc) << 16 | uint32_t(v) << 24;
}

struct Booted {
    explicit Booted(bool highSpeed) {
        hx::harness::HarnessOptions o;
        o.highSpeed = highSpeed;
        h = std::make_unique<hx::harness::ClientHarness>(o);
        ok = h->start();
        if (ok) h->run(30000);
    }
    AJ& port() { return h->device()->getAJ(); }
    MidiSharedMemory& area() {
        return *static_cast<MidiSharedMemory*>(port().getMidiSM()->getBytesNoCopy());
    }
    uint64_t frame() { return h->bus()->frameNumber(); }
    size_t count(uint32_t code) {
        const auto v = h->report().stateChanges;
        return size_t(std::count(v.begin(), v.end(), code));
    }
    std::unique_ptr<hx::harness::ClientHarness> h;
    bool ok = false;
};

class MidiPortSpeeds : public ::testing::TestWithParam<bool> {};

TEST_P(MidiPortSpeeds, SixteenReadsNoneLongerThanItsBlock) {
    Booted b(GetParam());
    ASSERT_TRUE(b.ok) << b.h->lastError();
    AJ& p = b.port();
    EXPECT_TRUE(p.isRunning());
    EXPECT_EQ(p.inBlockSize(), GetParam() ? 512u : 9u);
    EXPECT_EQ(p.packetSize(), 512u);
    EXPECT_EQ(p.statusParser(), inACR_HX5100);
    EXPECT_GE(p.readsStarted(), 16u);
    EXPECT_LE(p.largestRead(), p.inBlockSize());
    // 16 reads in flight plus the one the running port holds.
    EXPECT_EQ(p.pendingCount(), 17u);
}

TEST_P(MidiPortSpeeds, StatusValuesChangeOnceAndLevelsArrive) {
    Booted b(GetParam());
    ASSERT_TRUE(b.ok) << b.h->lastError();
    const size_t before = b.count(STC_MixerValuesChanged);
    uint8_t levels[11];
    for (int i = 0; i < 11; ++i)
        levels[i] = uint8_t(10 + i);
    b.h->model()->setMidiLevels(levels);
    b.h->model()->setStatusValues(5, 0);
    b.h->run(50000);
    EXPECT_EQ(b.h->device()->getPortConfigWord(0, 0), 5);
    EXPECT_EQ(b.count(STC_MixerValuesChanged), before + 1);
    // The same value again changes nothing.
    b.h->model()->queueEventWords({word(102, 5), 0});
    b.h->run(10000);
    EXPECT_EQ(b.count(STC_MixerValuesChanged), before + 1);
    // A status word reaches the port within 2 bus frames of the device
    // queueing it. At high speed one transfer carries every word queued; at
    // full speed (two words a transfer) the level words queued before it
    // may hold it back several frames inside the device, so the bound is
    // checked where the IN packet leaves when it is queued.
    if (GetParam()) {
        const uint64_t queued = b.frame();
        b.h->model()->queueEventWords({word(102, 7), 0});
        uint64_t seen = UINT64_MAX;
        for (int ms = 0; ms < 20 && seen == UINT64_MAX; ++ms) {
            b.h->idle(1000);
            if (b.h->device()->getPortConfigWord(0, 0) == 7) seen = b.frame();
        }
        EXPECT_LE(seen, queued + 2);
        b.h->run(10000);
        EXPECT_EQ(b.count(STC_MixerValuesChanged), before + 2);
    }
    int32_t got[32];
    b.h->device()->takeInputLevels(got);
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(got[6 + i], 10 + i) << i;
    EXPECT_GE(got[31], 2); // one 107 event every 20 ms
}

TEST_P(MidiPortSpeeds, PressAndReleaseLaunchOnce) {
    Booted b(GetParam());
    ASSERT_TRUE(b.ok) << b.h->lastError();
    // The first configuration read the register (button up).
    EXPECT_EQ(b.h->device()->getPortConfigWord(0, 2), 0x02);
    b.h->model()->setLaunchButton(true);
    b.h->run(10000);
    EXPECT_EQ(b.h->device()->getPortConfigWord(0, 2), 0x00);
    EXPECT_EQ(b.count(STC_LAUNCHCONTROLPANEL), 0u);
    b.h->model()->setLaunchButton(false);
    b.h->run(10000);
    EXPECT_EQ(b.count(STC_LAUNCHCONTROLPANEL), 1u);
    EXPECT_EQ(b.h->device()->getPortConfigWord(0, 2), 0x02);
}

// While the first configuration's read of the port register fails, the
// mode word stays unknown and controller 104 changes nothing.
TEST_P(MidiPortSpeeds, ModeByteIgnoredWhileTheRegisterReadFails) {
    hx::harness::HarnessOptions o;
    o.highSpeed = GetParam();
    hx::harness::ClientHarness h(o);
    ASSERT_TRUE(h.boot()) << h.lastError();
    h.model()->setPortRegisterReadStalls(true);
    ASSERT_TRUE(h.openClient() && h.configure() && h.setRouting() && h.attachRing())
        << h.lastError();
    h.run(30000);
    ASSERT_TRUE(h.device()->getAJ().isRunning());
    EXPECT_EQ(h.device()->getPortConfigWord(0, 2), 0xFFFF);
    const auto launches = [&h] {
        const auto v = h.report().stateChanges;
        return std::count(v.begin(), v.end(), uint32_t(STC_LAUNCHCONTROLPANEL));
    };
    for (int i = 0; i < 2; ++i) {
        h.model()->setLaunchButton(true);
        h.run(10000);
        h.model()->setLaunchButton(false);
        h.run(10000);
    }
    EXPECT_EQ(launches(), 0);
    EXPECT_EQ(h.device()->getPortConfigWord(0, 2), 0xFFFF);
}

TEST_P(MidiPortSpeeds, OutputArrivesInOrderWithinTwoFrames) {
    Booted b(GetParam());
    ASSERT_TRUE(b.ok) << b.h->lastError();
    AJ& p = b.port();
    TestClient c;
    ASSERT_TRUE(p.clientAttach(&c));
    EXPECT_FALSE(p.clientAttach(&c));
    TestClient other;
    EXPECT_FALSE(p.clientAttach(&other));
    std::vector<uint8_t> sent;
    for (int i = 0; i < 700; ++i)
        sent.push_back(uint8_t(i % 0x7F));
    const uint64_t start = b.frame();
    ASSERT_EQ(b.area().mOut[0].put(sent.data(), 100), 100u);
    p.fireOutput();
    b.h->idle(2000);
    EXPECT_LE(b.h->model()->midiLastPacketFrame(), start + 2);
    ASSERT_EQ(b.area().mOut[0].put(sent.data() + 100, 600), 600u);
    p.fireOutput();
    b.h->run(20000);
    EXPECT_EQ(b.h->model()->midiReceived(), sent);
    // Regular MIDI: each packet as long as the bytes it took, port 0 only.
    for (const auto& pk : b.h->model()->midiPackets()) {
        EXPECT_GT(pk.size(), 0u);
        EXPECT_LE(pk.size(), 512u);
    }
    // Port-1 bytes and control bytes have no place on this wire.
    ASSERT_EQ(b.area().mOut[1].put(sent.data(), 10), 10u);
    p.fireOutput();
    const uint8_t cport[3] = {1, 2, 3};
    EXPECT_EQ(p.sendCPort(cport, 3), kIOReturnIOError);
    b.h->run(10000);
    EXPECT_EQ(b.h->model()->midiReceived().size(), sent.size());
    EXPECT_EQ(__atomic_load_n(&b.area().mOutputInProgress, __ATOMIC_ACQUIRE), 0);
    p.clientDetach(&c);
    EXPECT_EQ(c.refs.load(), 0);
}

// A write the device fails loses its own bytes only: the chain ends, the
// port stays free, and bytes queued after it reach the device whole and in
// order.
TEST_P(MidiPortSpeeds, AFailedWriteDoesNotStallLaterOutput) {
    Booted b(GetParam());
    ASSERT_TRUE(b.ok) << b.h->lastError();
    AJ& p = b.port();
    TestClient c;
    ASSERT_TRUE(p.clientAttach(&c));
    hx::usb::devices::EndpointFault fault;
    fault.errors = 1;
    b.h->model()->armMidiFault(hx::usb::devices::HX5100Midi::kOutEndpoint, fault);
    const uint8_t lost[3] = {0x90, 0x40, 0x7F};
    ASSERT_EQ(b.area().mOut[0].put(lost, 3), 3u);
    p.fireOutput();
    b.h->run(10000);
    EXPECT_TRUE(b.h->model()->midiReceived().empty());
    EXPECT_EQ(__atomic_load_n(&b.area().mOutputInProgress, __ATOMIC_ACQUIRE), 0);
    std::vector<uint8_t> later;
    for (int i = 0; i < 600; ++i)
        later.push_back(uint8_t((i * 7) % 0x7F));
    ASSERT_EQ(b.area().mOut[0].put(later.data(), 600), 600u);
    p.fireOutput();
    b.h->run(20000);
    EXPECT_EQ(b.h->model()->midiReceived(), later);
    EXPECT_EQ(__atomic_load_n(&b.area().mOutputInProgress, __ATOMIC_ACQUIRE), 0);
    p.clientDetach(&c);
}

TEST_P(MidiPortSpeeds, AHeldInProgressWordDoesNotStopOutput) {
    Booted b(GetParam());
    ASSERT_TRUE(b.ok) << b.h->lastError();
    TestClient c;
    ASSERT_TRUE(b.port().clientAttach(&c));
    // A client writes the shared word: the kernel keeps its own state.
    __atomic_store_n(&b.area().mOutputInProgress, 1, __ATOMIC_RELEASE);
    const uint8_t bytes[3] = {0x90, 0x40, 0x7F};
    b.area().mOut[0].put(bytes, 3);
    b.port().fireOutput();
    b.h->run(10000);
    EXPECT_EQ(b.h->model()->midiReceived(), std::vector<uint8_t>(bytes, bytes + 3));
    // A corrupted fill count empties the queue, nothing past the area.
    b.area().mOut[0].mFill = 0x7FFFFFFF;
    b.port().fireOutput();
    b.h->run(10000);
    EXPECT_EQ(b.h->model()->midiReceived().size(), 3u);
    b.area().mOut[0].put(bytes, 3);
    b.port().fireOutput();
    b.h->run(10000);
    EXPECT_EQ(b.h->model()->midiReceived().size(), 6u);
    b.port().clientDetach(&c);
}

TEST_P(MidiPortSpeeds, StopAbortsTheReadsAndGetLevelInfoClears) {
    Booted b(GetParam());
    ASSERT_TRUE(b.ok) << b.h->lastError();
    b.port().raiseLevel(false, 3, 42);
    QN_LevelInfo l1{}, l2{};
    b.port().getLevelInfo(&l1);
    b.port().getLevelInfo(&l2);
    EXPECT_EQ(l1.lvlIn[3], 42);
    EXPECT_EQ(l2.lvlIn[3], 0);
    b.h->stop();
    b.h->device()->stopStreaming(true);
    EXPECT_FALSE(b.port().isRunning());
    EXPECT_EQ(b.port().pendingCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Speeds, MidiPortSpeeds, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return i.param ? "High" : "Full";
                         });

} // namespace
