// The vendor port against a small echo device on the simulated bus, on the
// virtual clock: ownership answers, the interface hooks, passes, the ring's
// wrap, completions, aborts and areas a client corrupted.
#include <gtest/gtest.h>

#include <functional>

#include "abi/AudioSM.h"
#include "platform/base/HXLog.h"
#include "tests/driver/clients/VendorEchoRig.h"

namespace {

using namespace vendortest;

constexpr uint64_t kMs = 1000000;

uint32_t stateOf(const AsyncTransportData* a, uint32_t k) {
    return audiosm::load32(AUDIOSM_CAT(&a->mBlocks[k], AsyncTransportBlock, mState),
                           __ATOMIC_ACQUIRE);
}

void setState(AsyncTransportData* a, uint32_t k, uint32_t s) {
    audiosm::store32(AUDIOSM_AT(&a->mBlocks[k], AsyncTransportBlock, mState), s, __ATOMIC_RELEASE);
}

uint32_t lengthOf(const AsyncTransportData* a, uint32_t k) {
    return audiosm::load32(AUDIOSM_CAT(&a->mBlocks[k], AsyncTransportBlock, mLength));
}

void setLength(AsyncTransportData* a, uint32_t k, uint32_t n) {
    audiosm::store32(AUDIOSM_AT(&a->mBlocks[k], AsyncTransportBlock, mLength), n);
}

// User space asks for a read of n bytes into block k.
void askRead(AsyncTransportData* in, uint32_t k, uint32_t n) {
    setLength(in, k, n);
    setState(in, k, kAsyncBlockReady);
}

// User space hands block k over for sending: n bytes of a pattern.
std::vector<uint8_t> sendBlock(AsyncTransportData* out, uint32_t k, uint32_t n, uint8_t seed) {
    std::vector<uint8_t> bytes(n);
    for (uint32_t i = 0; i < n; ++i)
        bytes[i] = uint8_t(seed + i * 7);
    std::memcpy(out->mBlocks[k].mData, bytes.data(), n);
    setLength(out, k, n);
    setState(out, k, kAsyncBlockReady);
    return bytes;
}

// Lets virtual time run in 1 ms steps until the condition holds (at most
// `ms` milliseconds).
bool runUntil(hx::clock::VirtualClock& clock, const std::function<bool()>& done,
              uint32_t ms = 200) {
    for (uint32_t i = 0; i < ms && !done(); ++i)
        clock.runFor(kMs);
    return done();
}

// The port on the echo device, configured and owned by one client whose
// areas are also mapped as user space would map them.
struct Fixture {
    hx::clock::VirtualClock clock;
    EchoRig rig;
    VendorAsyncPort port;
    Owner owner;
    std::unique_ptr<UserView> in;
    std::unique_ptr<UserView> out;

    explicit Fixture(bool open = true) {
        EXPECT_TRUE(rig.scanned);
        EXPECT_TRUE(port.onInit());
        port.onFindInterfaces(&rig, &rig.config);
        EXPECT_TRUE(port.onConfigureDone(&rig));
        in = std::make_unique<UserView>(port, 7101);
        out = std::make_unique<UserView>(owner.mArea, 7102);
        if (open) {
            EXPECT_EQ(port.open(&owner), VendorAsyncPort::kDone);
            userInit();
        }
    }
    ~Fixture() {
        port.onUnconfigure();
        port.onTerm();
    }
    // What the user side does after a successful open.
    void userInit() {
        inArea()->init();
        outArea()->init();
    }
    AsyncTransportData* inArea() const { return in->data(); }
    AsyncTransportData* outArea() const { return out->data(); }
};

TEST(VendorPort, OwnershipAnswers) {
    Fixture f(false);
    Owner other;
    EXPECT_EQ(f.port.open(nullptr), VendorAsyncPort::kInvalidParameter);
    EXPECT_EQ(f.port.open(&f.owner), VendorAsyncPort::kDone);
    EXPECT_EQ(f.owner.mRetains, 1);
    EXPECT_EQ(f.port.open(&f.owner), VendorAsyncPort::kDone);
    EXPECT_EQ(f.owner.mRetains, 1) << "a second open by the owner changes nothing";
    EXPECT_EQ(f.port.open(&other), VendorAsyncPort::kOpenByAnother);
    EXPECT_EQ(f.port.close(&other, true), VendorAsyncPort::kInvalidParameter);
    EXPECT_EQ(f.port.owner(), &f.owner) << "a non-owner's close leaves the owner";
    EXPECT_EQ(f.port.abort(nullptr, true), VendorAsyncPort::kInvalidParameter);
    EXPECT_EQ(f.port.abort(&other, true), VendorAsyncPort::kInvalidParameter);
    EXPECT_EQ(f.port.abort(&f.owner, true), VendorAsyncPort::kDone);
    EXPECT_TRUE(f.port.isOpen()) << "an abort restores the open flag";
    EXPECT_EQ(f.port.close(&f.owner, true), VendorAsyncPort::kDone);
    EXPECT_EQ(f.owner.mRetains, 0);
    EXPECT_EQ(f.port.owner(), nullptr);
    EXPECT_FALSE(f.port.isOpen());
    EXPECT_TRUE(f.port.isClosing());
    EXPECT_EQ(f.port.open(&other), VendorAsyncPort::kDone);
    EXPECT_FALSE(f.port.isClosing());
    EXPECT_EQ(f.port.close(&other, true), VendorAsyncPort::kDone);
}

TEST(VendorPort, InterfaceHooksByDevice) {
    struct Row {
        const char* name;
        bool device, farlane, match;
        bool answer, pipes;
    };
    const Row rows[] = {
        {"no device", false, true, true, false, false},
        {"not a Farlane product", true, false, true, true, false},
        {"match fails", true, true, false, false, false},
        {"Farlane product", true, true, true, true, true},
    };
    hx::clock::VirtualClock clock;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EchoRig rig;
        rig.farlane = r.farlane;
        rig.matchOk = r.match;
        VendorAsyncPort port;
        ASSERT_TRUE(port.onInit());
        port.onFindInterfaces(&rig, &rig.config);
        EXPECT_EQ(port.interface() != nullptr, r.farlane);
        EXPECT_EQ(port.onConfigureDone(r.device ? &rig : nullptr), r.answer);
        EXPECT_EQ(port.inPipe() != nullptr && port.outPipe() != nullptr, r.pipes);
        if (r.pipes) {
            EXPECT_EQ(rig.names, (std::vector<std::string>{"VendorAsyncPort mpInPipe",
                                                           "VendorAsyncPort mpOutPipe"}));
            EXPECT_EQ(port.inPipe()->getAddress(), EchoModel::kIn);
            EXPECT_EQ(port.outPipe()->getAddress(), EchoModel::kOut);
        }
        hx::log::Capture log;
        port.onUnconfigure();
        EXPECT_EQ(log.text().find("close in pipe") != std::string::npos, r.pipes);
        EXPECT_EQ(port.inPipe(), nullptr);
        EXPECT_EQ(port.interface(), nullptr);
        port.onTerm();
    }
}

TEST(VendorPort, NoInterfaceInTheConfiguration) {
    hx::clock::VirtualClock clock;
    EchoRig rig;
    VendorAsyncPort port;
    ASSERT_TRUE(port.onInit());
    hx::log::Capture log;
    port.onFindInterfaces(&rig, nullptr);
    EXPECT_NE(log.text().find("VendorAsyncPort::onFindInterfaces NO Sorvik Vendor interface\n"),
              std::string::npos);
    EXPECT_TRUE(port.onConfigureDone(&rig));
    EXPECT_NE(log.text().find("VendorAsyncPort::onConfigureDone no interface\n"),
              std::string::npos);
    port.onTerm();
}

// Blocks echo byte for byte, with no call into the port after the submit:
// the timer starts the passes.
TEST(VendorPort, BlocksEchoByteForByte) {
    Fixture f;
    // Reads ask for what was sent: a transfer of whole packets ends only
    // at its length (no short packet closes it).
    const uint32_t lengths[] = {1, 100, 512, 4000, 8192};
    for (uint32_t k = 0; k < 5; ++k) {
        askRead(f.inArea(), k, lengths[k]);
        sendBlock(f.outArea(), k, lengths[k], uint8_t(k * 31));
    }
    ASSERT_TRUE(runUntil(f.clock, [&] {
        for (uint32_t k = 0; k < 5; ++k)
            if (stateOf(f.inArea(), k) != kAsyncBlockDone) return false;
        return true;
    }));
    for (uint32_t k = 0; k < 5; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(stateOf(f.outArea(), k), uint32_t(kAsyncBlockDone));
        EXPECT_EQ(lengthOf(f.outArea(), k), lengths[k]) << "a write leaves its length";
        ASSERT_EQ(lengthOf(f.inArea(), k), lengths[k]);
        EXPECT_EQ(
            std::memcmp(f.inArea()->mBlocks[k].mData, f.outArea()->mBlocks[k].mData, lengths[k]),
            0);
    }
    // The kernel's positions are published.
    EXPECT_EQ(audiosm::load32(AUDIOSM_CAT(f.inArea(), AsyncTransportData, mKernelFill)), 5u);
    EXPECT_EQ(audiosm::load32(AUDIOSM_CAT(f.outArea(), AsyncTransportData, mUserRequest)), 5u);
    size_t received = 0;
    for (const auto& packet : f.rig.model->received())
        received += packet.size();
    EXPECT_EQ(received, size_t(1 + 100 + 512 + 4000 + 8192));
}

// Two passes at most three transfers; with blocks 0 and 1 ready and block 2
// not, the call starts two and stops at block 2. Time stands still while
// the test runs, so neither the timer nor a completion comes between.
TEST(VendorPort, PassesStopAtABlockNotReady) {
    Fixture f;
    f.port.timer().stopBarrier();
    askRead(f.inArea(), 0, 64);
    askRead(f.inArea(), 1, 64);
    f.port.processInput(2);
    EXPECT_EQ(f.port.transfersStarted(), 2u);
    EXPECT_EQ(stateOf(f.inArea(), 0), uint32_t(kAsyncBlockInFlight));
    EXPECT_EQ(stateOf(f.inArea(), 1), uint32_t(kAsyncBlockInFlight));
    EXPECT_EQ(stateOf(f.inArea(), 2), uint32_t(kAsyncBlockFree));
    EXPECT_EQ(audiosm::load32(AUDIOSM_CAT(f.inArea(), AsyncTransportData, mKernelFill)), 2u);
    // Two request blocks per direction: a third ready block waits for one.
    askRead(f.inArea(), 2, 64);
    f.port.processInput(2);
    EXPECT_EQ(f.port.transfersStarted(), 2u);
    EXPECT_EQ(stateOf(f.inArea(), 2), uint32_t(kAsyncBlockReady));
}

// 130 blocks through both rings, one at a time: both indexes wrap from 127
// to 0 and the blocks after the wrap echo too.
TEST(VendorPort, RingsWrap) {
    Fixture f;
    for (uint32_t n = 0; n < 130; ++n) {
        const uint32_t k = n % kAsyncBlockCount;
        SCOPED_TRACE(n);
        askRead(f.inArea(), k, 64);
        const std::vector<uint8_t> bytes = sendBlock(f.outArea(), k, 16 + n % 48, uint8_t(n));
        ASSERT_TRUE(runUntil(f.clock, [&] { return stateOf(f.inArea(), k) == kAsyncBlockDone; }));
        ASSERT_EQ(lengthOf(f.inArea(), k), bytes.size());
        EXPECT_EQ(std::memcmp(f.inArea()->mBlocks[k].mData, bytes.data(), bytes.size()), 0);
        EXPECT_TRUE(runUntil(f.clock, [&] { return stateOf(f.outArea(), k) == kAsyncBlockDone; }));
        const uint32_t next = (k + 1) % kAsyncBlockCount;
        EXPECT_EQ(audiosm::load32(AUDIOSM_CAT(f.outArea(), AsyncTransportData, mUserRequest)),
                  next);
        EXPECT_EQ(audiosm::load32(AUDIOSM_CAT(f.inArea(), AsyncTransportData, mKernelFill)), next);
        setState(f.inArea(), k, kAsyncBlockFree);
        setState(f.outArea(), k, kAsyncBlockFree);
    }
}

// A block of 200 bytes shrunk to 100 while its read is in flight keeps 100,
// gets 100 bytes and state 3, with the overflow logged.
TEST(VendorPort, LengthShrunkDuringARead) {
    Fixture f;
    f.rig.model->setDelayFrames(10);
    std::memset(f.inArea()->mBlocks[0].mData, 0xEE, 256);
    askRead(f.inArea(), 0, 200);
    const std::vector<uint8_t> bytes = sendBlock(f.outArea(), 0, 200, 5);
    ASSERT_TRUE(runUntil(f.clock, [&] { return stateOf(f.inArea(), 0) == kAsyncBlockInFlight; }));
    setLength(f.inArea(), 0, 100);
    hx::log::Capture log;
    ASSERT_TRUE(runUntil(f.clock, [&] { return stateOf(f.inArea(), 0) == kAsyncBlockDone; }));
    EXPECT_EQ(lengthOf(f.inArea(), 0), 100u);
    EXPECT_EQ(std::memcmp(f.inArea()->mBlocks[0].mData, bytes.data(), 100), 0);
    EXPECT_EQ(f.inArea()->mBlocks[0].mData[100], 0xEE) << "nothing past the length now";
    EXPECT_NE(log.text().find(
                  "VendorAsyncPort::inCompletion success with overflow len:100 transferred:200\n"),
              std::string::npos);
}

// After close no pass starts, even with blocks ready, until the next open.
TEST(VendorPort, NothingAfterClose) {
    Fixture f;
    ASSERT_EQ(f.port.close(&f.owner, true), VendorAsyncPort::kDone);
    askRead(f.inArea(), 0, 64);
    f.port.processInput(2);
    f.port.onService();
    f.clock.runFor(20 * kMs);
    EXPECT_EQ(f.port.transfersStarted(), 0u);
    EXPECT_EQ(stateOf(f.inArea(), 0), uint32_t(kAsyncBlockReady));
    ASSERT_EQ(f.port.open(&f.owner), VendorAsyncPort::kDone);
    f.userInit();
    askRead(f.inArea(), 0, 64);
    sendBlock(f.outArea(), 0, 64, 1);
    EXPECT_TRUE(runUntil(f.clock, [&] { return stateOf(f.inArea(), 0) == kAsyncBlockDone; }));
}

// An abort ends the transfers a silent device holds: their blocks fail
// (state 5) and the count of work in flight returns to zero.
TEST(VendorPort, AbortEndsWhatASilentDeviceHolds) {
    Fixture f;
    f.rig.model->setSilent(true);
    askRead(f.inArea(), 0, 64);
    sendBlock(f.outArea(), 0, 64, 3);
    ASSERT_TRUE(runUntil(f.clock, [&] {
        return stateOf(f.inArea(), 0) == kAsyncBlockInFlight &&
               stateOf(f.outArea(), 0) == kAsyncBlockDone;
    }));
    f.clock.runFor(10 * kMs);
    EXPECT_EQ(stateOf(f.inArea(), 0), uint32_t(kAsyncBlockInFlight));
    hx::log::Capture log;
    EXPECT_EQ(f.port.abort(&f.owner, true), VendorAsyncPort::kDone);
    EXPECT_EQ(stateOf(f.inArea(), 0), uint32_t(kAsyncBlockFailed));
    EXPECT_EQ(f.port.ioCount(), 0u);
    EXPECT_EQ(f.port.inFlight(), 0u);
    EXPECT_NE(log.text().find("VendorAsyncPort::Abort wait mIOCount satisfied"), std::string::npos);
    // The port goes on after an abort.
    f.rig.model->setSilent(false);
    setState(f.inArea(), 0, kAsyncBlockFree);
    askRead(f.inArea(), 1, 64);
    sendBlock(f.outArea(), 1, 64, 4);
    EXPECT_TRUE(runUntil(f.clock, [&] { return stateOf(f.inArea(), 1) == kAsyncBlockDone; }));
}

TEST(VendorPort, FailedWritesAndErrorStatus) {
    Fixture f;
    f.rig.model->setErrorStatus(kUSBHostReturnPipeStalled);
    sendBlock(f.outArea(), 0, 64, 1);
    hx::log::Capture log;
    ASSERT_TRUE(runUntil(f.clock, [&] { return stateOf(f.outArea(), 0) == kAsyncBlockFailed; }));
    EXPECT_NE(log.text().find("VendorAsyncPort::outCompletion error iostatus:"), std::string::npos);
    f.rig.model->setErrorStatus(kIOReturnSuccess);
    f.rig.failStarts = true;
    sendBlock(f.outArea(), 1, 64, 2);
    ASSERT_TRUE(runUntil(f.clock, [&] { return stateOf(f.outArea(), 1) == kAsyncBlockFailed; }));
    EXPECT_NE(log.text().find("VendorAsyncPort::processOutput mpOutPipe->mUSBPipe->Write "
                              "returned:"),
              std::string::npos);
    EXPECT_EQ(f.port.inFlight(), 0u);
    f.rig.failStarts = false;
    sendBlock(f.outArea(), 1, 64, 2);
    EXPECT_TRUE(runUntil(f.clock, [&] { return stateOf(f.outArea(), 1) == kAsyncBlockDone; }));
}

// A device whose completions the test holds back: an abort returns after
// its bound, fails the blocks in flight, and what the held transfers use
// is given back only when their completions ran.
class HeldRig : public EchoRig {
public:
    IOReturn vendorIO(ZrPipeDescriptor*, IOMemoryDescriptor*, uint32_t length,
                      IOUSBHostCompletion* completion, uint32_t) override {
        std::lock_guard<std::mutex> g(lock);
        held.push_back({*completion, length});
        return kIOReturnSuccess;
    }
    void vendorAbortPipe(ZrPipeDescriptor*) override {}
    void release() {
        std::vector<Held> now;
        {
            std::lock_guard<std::mutex> g(lock);
            now.swap(held);
        }
        for (const Held& h : now)
            h.c.action(h.c.owner, h.c.parameter, kIOReturnSuccess, h.length);
    }
    struct Held {
        IOUSBHostCompletion c;
        uint32_t length;
    };
    std::vector<Held> held;
};

TEST(VendorPort, AbortGivesUpOnAHeldCompletionAfterItsBound) {
    hx::clock::VirtualClock clock;
    HeldRig rig;
    VendorAsyncPort port;
    Owner owner;
    ASSERT_TRUE(port.onInit());
    port.onFindInterfaces(&rig, &rig.config);
    ASSERT_TRUE(port.onConfigureDone(&rig));
    ASSERT_EQ(port.open(&owner), VendorAsyncPort::kDone);
    AsyncTransportData* in = port.inputArea();
    AsyncTransportData* out = owner.kernelView();
    in->init();
    out->init();
    askRead(in, 0, 64);
    sendBlock(out, 0, 64, 9);
    ASSERT_TRUE(runUntil(clock, [&] { return port.inFlight() == 2; }));

    hx::log::Capture log;
    const uint64_t before = clock.now();
    EXPECT_EQ(port.abort(&owner, true), VendorAsyncPort::kDone);
    EXPECT_GE(clock.now() - before, uint64_t(VendorAsyncPort::kAbortWaitMs) * kMs);
    EXPECT_LT(clock.now() - before, uint64_t(VendorAsyncPort::kAbortWaitMs + 100) * kMs);
    EXPECT_NE(log.text().find("VendorAsyncPort::Abort wait mIOCount gave up"), std::string::npos);
    EXPECT_EQ(stateOf(in, 0), uint32_t(kAsyncBlockFailed));
    EXPECT_EQ(stateOf(out, 0), uint32_t(kAsyncBlockFailed));

    // Closing leaves the owner's area locked while its write is held.
    EXPECT_EQ(port.close(&owner, true), VendorAsyncPort::kDone);
    EXPECT_EQ(owner.mArea.lock(), nullptr);
    // The user side takes the failed block back and reuses it; the late
    // completion must not touch it.
    askRead(in, 0, 64);
    std::memset(in->mBlocks[0].mData, 0x11, 64);
    rig.release();
    EXPECT_EQ(stateOf(in, 0), uint32_t(kAsyncBlockReady));
    EXPECT_EQ(in->mBlocks[0].mData[0], 0x11);
    EXPECT_EQ(port.inFlight(), 0u);
    EXPECT_EQ(port.ioCount(), 0u);
    EXPECT_NE(owner.mArea.lock(), nullptr) << "the last held write gave the area back";
    owner.mArea.unlock();
    port.onUnconfigure();
    port.onTerm();
}

// Areas a client corrupted: indexes, lengths and states out of range lose
// at most that area's bytes; the port goes on with the next good block.
TEST(VendorPort, CorruptedAreas) {
    struct Row {
        const char* name;
        std::function<void(Fixture&)> corrupt;
    };
    const Row rows[] = {
        {"lengths past the block",
         [](Fixture& f) {
             setLength(f.inArea(), 0, 0xFFFFFFFF);
             setState(f.inArea(), 0, kAsyncBlockReady);
             setLength(f.outArea(), 0, 0x80000000);
             setState(f.outArea(), 0, kAsyncBlockReady);
         }},
        {"published indexes overwritten",
         [](Fixture& f) {
             audiosm::store32(AUDIOSM_AT(f.inArea(), AsyncTransportData, mKernelFill), 0xFFFFFFF0);
             audiosm::store32(AUDIOSM_AT(f.outArea(), AsyncTransportData, mUserRequest), 999);
         }},
        {"unknown states",
         [](Fixture& f) {
             setState(f.inArea(), 0, 0xDEADBEEF);
             setState(f.outArea(), 0, 7);
         }},
        {"a block taken back and emptied while its read is in flight",
         [](Fixture& f) {
             f.rig.model->setDelayFrames(5);
             askRead(f.inArea(), 0, 100);
             sendBlock(f.outArea(), 0, 100, 1);
             ASSERT_TRUE(
                 runUntil(f.clock, [&] { return stateOf(f.inArea(), 0) == kAsyncBlockInFlight; }));
             setLength(f.inArea(), 0, 0);
             setState(f.inArea(), 0, kAsyncBlockFree);
         }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Fixture f;
        std::memset(f.inArea()->mBlocks[1].mData, 0xEE, 64);
        r.corrupt(f);
        f.clock.runFor(20 * kMs);
        for (const auto& packet : f.rig.model->received())
            EXPECT_LE(packet.size(), kAsyncBlockDataBytes);
        EXPECT_EQ(f.inArea()->mBlocks[1].mData[0], 0xEE) << "no bytes beyond the block";
        // The kernel follows its own positions: block 0 is done with or
        // skipped, and the next good block goes.
        const uint32_t k = f.port.transfersStarted() ? 1 : 0;
        setState(f.inArea(), 0, kAsyncBlockFree);
        setState(f.outArea(), 0, kAsyncBlockFree);
        askRead(f.inArea(), k, 64);
        const std::vector<uint8_t> bytes = sendBlock(f.outArea(), k, 64, 77);
        ASSERT_TRUE(runUntil(f.clock, [&] { return stateOf(f.inArea(), k) == kAsyncBlockDone; }));
        EXPECT_EQ(std::memcmp(f.inArea()->mBlocks[k].mData, bytes.data(), 64), 0);
    }
}

} // namespace
