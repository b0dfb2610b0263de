// The driver control API against a scripted kernel service: discovery and
// the device list, events from raw messages, the open, and every bound the
// API keeps on what it sends and hands back, with replies the service is
// told to give.
#include "ApiTestSupport.h"

#include "api/QNAJPort.h"

#include "abi/QN_StateChange.h"
#include "api/testing/ScriptedControlService.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "platform/base/testing/GuardedBuffer.h"
#include "platform/base/testing/StdoutCapture.h"
#include "platform/iokit/HXIOKit.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using apitest::Events;
using hx::apitest::ScriptedReply;

constexpr size_t kUnion = 4; // where the union starts in a record

// A reply whose union starts with the given bytes.
ScriptedReply replyWith(std::vector<uint8_t> unionBytes, IOReturn result = kIOReturnSuccess,
                        size_t size = 1540) {
    ScriptedReply r;
    r.result = result;
    r.outputSize = size;
    r.bytes.assign(kUnion, 0);
    r.bytes.insert(r.bytes.end(), unionBytes.begin(), unionBytes.end());
    return r;
}
ScriptedReply replyWord(uint32_t w) {
    return replyWith({uint8_t(w), uint8_t(w >> 8), uint8_t(w >> 16), uint8_t(w >> 24)});
}
// The code word of a received record.
uint32_t codeOf(const std::vector<uint8_t>& r) {
    return qnReadU32(r.data(), 0);
}

struct ScriptedApi : ::testing::Test {
    hx::clock::VirtualClock clock;
    Events events;
    std::vector<QnApiScriptedService*> services;

    QnApiScriptedService* publish(int16_t vendor = -1, int16_t product = -1) {
        QnApiScriptedService* s = hx::apitest::publishScriptedService();
        if (vendor >= 0) s->setProperty("idVendor", (unsigned long long)vendor, 16);
        if (product >= 0) s->setProperty("idProduct", (unsigned long long)product, 16);
        services.push_back(s);
        return s;
    }
    void init() {
        qnapiInit(apitest::record, &events,
                  apitest::guidOf(hx::apitest::kScriptedServiceClassName));
    }
    // One published service, discovered and opened.
    USBDevice* openOne(QnApiScriptedService*& svc, int16_t vendor = -1, int16_t product = -1) {
        svc = publish(vendor, product);
        init();
        USBDevice* d = events.last(QNAPI_CBEvent_DeviceAttached);
        if (d && d->open(false)) svc->clearRecords();
        return d;
    }
    void TearDown() override {
        qnapiTerm();
        for (auto* s : services)
            hx::apitest::unpublish(s);
        apitest::runPending();
    }
};

TEST_F(ScriptedApi, APresentServiceIsAttachedInsideInitAfterThePause) {
    QnApiScriptedService* first = publish();
    const uint64_t before = hx::clock::nowNanos();
    init();
    EXPECT_GE(hx::clock::nowNanos() - before, 100'000'000u);
    ASSERT_EQ(events.codes(), std::vector<QNAPI_CBEvent>{QNAPI_CBEvent_DeviceAttached});

    // A second init keeps the first callback and class.
    Events other;
    qnapiInit(apitest::record, &other, apitest::guidOf("SomeOtherClass"));
    EXPECT_TRUE(other.seen.empty());
    publish();
    apitest::runPending();
    EXPECT_EQ(events.count(QNAPI_CBEvent_DeviceAttached), 2);
    EXPECT_TRUE(other.seen.empty());

    // Term closes and releases all without events; a later init works.
    USBDevice* d = events.last(QNAPI_CBEvent_DeviceAttached);
    ASSERT_TRUE(d->open(false));
    const size_t before2 = events.seen.size();
    qnapiTerm();
    EXPECT_EQ(events.seen.size(), before2);
    init();
    EXPECT_EQ(events.count(QNAPI_CBEvent_DeviceAttached), 4);
    (void)first;
}

TEST_F(ScriptedApi, OfManyServicesTheListHolds128) {
    for (int i = 0; i < 129; ++i)
        publish();
    hx::log::Capture log;
    init();
    EXPECT_EQ(events.count(QNAPI_CBEvent_DeviceAttached), 128);
    EXPECT_EQ(events.seen.size(), 128u);
    EXPECT_NE(log.text().find("device list full"), std::string::npos);
}

TEST_F(ScriptedApi, OnlyStateChangesOfTheRightShapeRaiseEvents) {
    QnApiScriptedService* svc = nullptr;
    USBDevice* d = openOne(svc);
    ASSERT_NE(d, nullptr);
    events.seen.clear();
    struct Row {
        uint32_t type;
        uint32_t size;
        uint32_t code;
        bool null;
    } rows[] = {
        {0xE0000130, 36, 3, false},  {0xE0000130, 36, 49, false},
        {0xE0000130, 36, 50, false}, {0xE0000130, 36, 14, false},
        {0xE0000130, 36, 48, false}, {0xE0000130, 36, 35, false},
        {0xE0000130, 36, 34, false}, {0xE0000130, 36, 55, false},
        {0xE0000130, 36, 56, false}, {0xE0000130, 36, 16, false},
        {0xE0000130, 36, 32, false}, {0xE0000130, 36, 0xFFFFFFFF, false},
        {0xE0000130, 35, 3, false},  {0xE0000130, 36, 3, true},
        {0xE0000010, 36, 3, false},
    };
    for (const Row& r : rows) {
        QN_StateChange rec = makeStateChange(r.code, 0, 0, 0);
        rec.mSize = r.size;
        svc->sendMessage(r.type, r.null ? nullptr : &rec, r.null ? 0 : sizeof rec);
    }
    apitest::runPending();
    EXPECT_EQ(events.codes(),
              (std::vector<QNAPI_CBEvent>{QNAPI_CBEvent(3), QNAPI_CBEvent(3), QNAPI_CBEvent(3),
                                          QNAPI_CBEvent(5), QNAPI_CBEvent(7), QNAPI_CBEvent(6),
                                          QNAPI_CBEvent(4), QNAPI_CBEvent(3), QNAPI_CBEvent(3)}));
    for (auto& [device, e] : events.seen)
        EXPECT_EQ(device, d);
}

TEST_F(ScriptedApi, OpenAsksTypeFiveFallsBackToTwoAndOpensOnce) {
    QnApiScriptedService* svc = publish();
    init();
    USBDevice* d = events.last(QNAPI_CBEvent_DeviceAttached);
    ASSERT_NE(d, nullptr);
    ASSERT_TRUE(d->open(true));
    EXPECT_EQ(svc->openedTypes(), std::vector<uint32_t>{5});
    const size_t sent = svc->received().size();
    EXPECT_TRUE(d->open(true)); // already open: nothing sent
    EXPECT_EQ(svc->received().size(), sent);
    d->close();
    svc->clearRecords();
    hx::iokit::refuseNextOpen(5);
    ASSERT_TRUE(d->open(true));
    EXPECT_EQ(svc->openedTypes(), std::vector<uint32_t>{2});

    // A failed version read closes again.
    d->close();
    svc->queueReply(replyWord(0x03040D00));
    svc->queueReply({kIOReturnError, 1540, {}});
    ASSERT_TRUE(d->open(false));
    d->close();
    svc->queueReply({kIOReturnError, 1540, {}});
    EXPECT_FALSE(d->open(false));
    EXPECT_FALSE(d->isOpen());
}

TEST_F(ScriptedApi, UnplugDetachesBeforeTheCloseAndAKeptDeviceFailsWithoutACall) {
    events.retainAttached = true;
    QnApiScriptedService* svc = nullptr;
    USBDevice* d = openOne(svc);
    ASSERT_NE(d, nullptr);
    services.clear();
    hx::apitest::unpublish(svc);
    apitest::runPending();
    ASSERT_EQ(events.last(QNAPI_CBEvent_DeviceDetached), d);
    EXPECT_TRUE(events.openAtEvent.back()); // reported before the close
    EXPECT_FALSE(d->isOpen());
    const uint64_t calls = hx::iokit::connectCallCount();
    QN_DeviceConfiguration c{1, 2, 3, 4, 5};
    EXPECT_FALSE(d->getCurrentConfiguration(c));
    EXPECT_EQ(c.samplerate, 1u);
    EXPECT_EQ(d->getCurrentClockSource(), -1);
    EXPECT_FALSE(d->sendCPortBytes(3, reinterpret_cast<const uint8_t*>("abc")));
    EXPECT_FALSE(d->reenumerateDevice());
    EXPECT_EQ(hx::iokit::connectCallCount(), calls);
    EXPECT_EQ(d->release(), 0u);
}

TEST_F(ScriptedApi, DeviceRequestsSendExactlyTheirBytesAndCopyBackWithinBounds) {
    QnApiScriptedService* svc = nullptr;
    USBDevice* d = openOne(svc);
    ASSERT_NE(d, nullptr);
    // Sent: exactly `length` caller bytes, the rest zero.
    std::vector<char> caller(300, char(0xAA));
    uint16_t moved = 99;
    ASSERT_TRUE(
        d->request(kDirOut, kLevelVendor, kRecipientDevice, 0x52, 1, 2, caller.data(), 5, &moved));
    auto got = svc->received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(codeOf(got[0]), 34u);
    for (size_t i = 0; i < 256; ++i)
        EXPECT_EQ(got[0][kUnion + i], i < 5 ? 0xAA : 0) << i;
    EXPECT_EQ(qnReadU32(got[0].data(), kUnion + 256), 5u);
    EXPECT_EQ(moved, 0u); // direction 0 copies nothing back

    // A reply claiming 300 bytes copies at most 256 and at most `length`.
    for (uint16_t length : {uint16_t(10), uint16_t(256)}) {
        std::vector<uint8_t> data(256, 0x5C);
        data.resize(260);
        qnWriteU32(data.data(), 256, 300);
        svc->queueReply(replyWith(data));
        hx::test::GuardedBuffer buf(length);
        std::memset(buf.data(), 0, length);
        ASSERT_TRUE(d->request(kDirIn, kLevelVendor, kRecipientDevice, 0x56, 0, 0,
                               reinterpret_cast<char*>(buf.data()), length, &moved));
        EXPECT_EQ(moved, length);
        EXPECT_EQ(buf.data()[length - 1], 0x5C);
    }
    // 257 fails with no call.
    svc->clearRecords();
    EXPECT_FALSE(
        d->request(kDirIn, kLevelVendor, kRecipientDevice, 0x56, 0, 0, caller.data(), 257, &moved));
    EXPECT_TRUE(svc->received().empty());
}

// With a reply one byte short, only the rows that check the size fail.
TEST_F(ScriptedApi, AShortReplyFailsOnlySizeCheckedRows) {
    QnApiScriptedService* svc = nullptr;
    USBDevice* d = openOne(svc);
    ASSERT_NE(d, nullptr);
    svc->setDefaultReply({kIOReturnSuccess, 1539, {}});
    QN_DeviceConfiguration c{};
    QN_Sorvik_ChannelMap map{};
    char name[32];
    const uint8_t bytes[3] = {1, 2, 3};
    uint32_t levels[32];
    struct Row {
        const char* what;
        bool ok;
        bool expected;
    } rows[] = {
        {"getDigitalOutSelector", d->getDigitalOutSelector() != -1, false},
        {"getCurrentClockSource", d->getCurrentClockSource() != -1, false},
        {"getCurrentConfiguration", d->getCurrentConfiguration(c), false},
        {"getChannelMap", d->getChannelMap(map), false},
        {"getInLevels", d->getInLevels(levels), false},
        {"resumeStreaming", d->resumeStreaming(), false},
        {"setDigitalOutSelector", d->setDigitalOutSelector(1), true},
        {"setChannelMap", d->setChannelMap(map), true},
        {"setSorvikDeviceName", d->setSorvikDeviceName("x"), true},
        {"getSorvikDeviceName", d->getSorvikDeviceName(name), true},
        {"sendCPortBytes", d->sendCPortBytes(3, bytes), true},
        {"setOlvqCpldMixOutSel", d->setOlvqCpldMixOutSel(true), true},
    };
    for (const Row& r : rows)
        EXPECT_EQ(r.ok, r.expected) << r.what;
}

TEST_F(ScriptedApi, ControlPortBytesGoInBlocksAndARefusedBlockEndsTheSend) {
    QnApiScriptedService* svc = nullptr;
    USBDevice* d = openOne(svc);
    ASSERT_NE(d, nullptr);
    std::vector<uint8_t> bytes(600);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(i * 7);
    ASSERT_TRUE(d->sendCPortBytes(bytes.size(), bytes.data()));
    auto got = svc->received();
    ASSERT_EQ(got.size(), 3u);
    size_t at = 0;
    for (size_t b = 0; b < 3; ++b) {
        EXPECT_EQ(codeOf(got[b]), 36u);
        const size_t n = got[b][kUnion];
        EXPECT_EQ(n, b < 2 ? 255u : 90u);
        for (size_t i = 0; i < n; ++i)
            ASSERT_EQ(got[b][kUnion + 1 + i], bytes[at + i]);
        at += n;
    }
    svc->clearRecords();
    svc->queueReply({});
    svc->queueReply({kIOReturnNotPermitted, 1540, {}});
    EXPECT_FALSE(d->sendCPortBytes(bytes.size(), bytes.data()));
    EXPECT_EQ(svc->received().size(), 2u);
    EXPECT_TRUE(d->sendCPortBytes(0, bytes.data()));
    EXPECT_TRUE(d->sendCPortBytes(5, nullptr));
}

TEST_F(ScriptedApi, DeviceIoControlKeepsToTheCallersBuffer) {
    QnApiScriptedService* svc = nullptr;
    USBDevice* d = openOne(svc);
    ASSERT_NE(d, nullptr);
    const uint32_t handle = 1;
    svc->setDefaultReply(replyWith(std::vector<uint8_t>(1536, 'x')));
    size_t returned = 7;
    {
        hx::test::GuardedBuffer buf(64);
        ASSERT_TRUE(d->DeviceIoControl(handle, 0, nullptr, 0, buf.data(), 64, &returned, nullptr));
        EXPECT_EQ(returned, 64u);
        EXPECT_EQ(buf.data()[62], 'x');
        EXPECT_EQ(buf.data()[63], 0);
    }
    {
        hx::test::GuardedBuffer buf(1, true);
        buf.data()[0] = 0x42;
        ASSERT_TRUE(d->DeviceIoControl(handle, 1, nullptr, 0, buf.data(), 0, &returned, nullptr));
        EXPECT_EQ(returned, 0u);
        EXPECT_EQ(buf.data()[0], 0x42);
    }
    {
        std::vector<uint8_t> big(2000, 0xEE);
        ASSERT_TRUE(
            d->DeviceIoControl(handle, 56, nullptr, 0, big.data(), big.size(), &returned, nullptr));
        EXPECT_EQ(returned, 1536u);
        EXPECT_EQ(big[1535], 'x');
        EXPECT_EQ(big[1536], 0xEE);
    }
    svc->clearRecords();
    uint8_t out[8];
    EXPECT_FALSE(d->DeviceIoControl(0, 0, nullptr, 0, out, sizeof out, &returned, nullptr));
    EXPECT_FALSE(d->DeviceIoControl(handle, 7, nullptr, 0, out, sizeof out, &returned, nullptr));
    EXPECT_EQ(returned, 0u);
    EXPECT_TRUE(svc->received().empty());
}

// The cached configuration and map as a code-69 reply.
ScriptedReply configAndMap(uint32_t ins, uint32_t outs, std::vector<int32_t> inMap,
                           std::vector<int32_t> outMap) {
    QN_Sorvik_ConfigAndMap m{};
    m.cConfig = {48000, ins, 24, outs, 24};
    for (int i = 0; i < 8; ++i) {
        m.cMap.mEInputMap[i] = i < int(inMap.size()) ? inMap[i] : 0xFF;
        m.cMap.mEOutputMap[i] = i < int(outMap.size()) ? outMap[i] : 0xFF;
    }
    std::vector<uint8_t> b(sizeof m);
    std::memcpy(b.data(), &m, sizeof m);
    return replyWith(b);
}
ScriptedReply levelWords(std::vector<int32_t> words) {
    std::vector<uint8_t> b(words.size() * 4);
    std::memcpy(b.data(), words.data(), b.size());
    return replyWith(b);
}

TEST_F(ScriptedApi, LevelsOfASorvikDeviceGoBackToTheirSlots) {
    struct Case {
        int16_t vendor, product;
        uint32_t ins, outs;
        std::vector<int32_t> inMap, outMap;
        std::vector<uint32_t> wantIn, wantOut; // leading entries; inputs past the slots keep 0x55
    } cases[] = {
        // Product 4, two inputs in use on slots 0 and 3.
        {0x1935,
         4,
         2,
         2,
         {160, 0xFF, 0xFF, 0x1A1},
         {32, 33},
         {1, 0, 0, 2, 0, 0, 0, 0, 0x55},
         {1, 2, 0, 0, 0, 0, 0}},
        // Product 8: the slots past the map's eight take the rest in order.
        {0x1935,
         8,
         10,
         12,
         {160, 161, 128, 129, 130, 131, 132, 133},
         {32, 0xFF, 70, 71, 0xFF, 0xFF, 0xFF, 0xFF},
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0x55},
         {1, 0, 2, 3, 0, 0, 0, 0, 4, 5, 6, 7, 0}},
        // Another vendor: as is.
        {0x0D8C, 4, 2, 2, {}, {}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, {1, 2, 3}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.product);
        QnApiScriptedService* svc = nullptr;
        qnapiTerm();
        events.seen.clear();
        USBDevice* d = openOne(svc, k.vendor, k.product);
        ASSERT_NE(d, nullptr);
        svc->queueReply(configAndMap(k.ins, k.outs, k.inMap, k.outMap));
        d->updateSorvikConfigAndMap();
        std::vector<int32_t> reply;
        for (int i = 1; i <= 32; ++i)
            reply.push_back(i);
        uint32_t in[32], out[32];
        std::fill(std::begin(in), std::end(in), 0x55u);
        std::fill(std::begin(out), std::end(out), 0x55u);
        svc->queueReply(levelWords(reply));
        ASSERT_TRUE(d->getInLevels(in));
        svc->queueReply(levelWords(reply));
        ASSERT_TRUE(d->getOutLevels(out));
        for (size_t i = 0; i < k.wantIn.size(); ++i)
            EXPECT_EQ(in[i], k.wantIn[i]) << "in " << i;
        for (size_t i = 0; i < k.wantOut.size(); ++i)
            EXPECT_EQ(out[i], k.wantOut[i]) << "out " << i;
        hx::apitest::unpublish(svc);
        services.clear();
    }
}

TEST_F(ScriptedApi, RepliesAndFailuresOfTheTypedRequests) {
    QnApiScriptedService* svc = nullptr;
    USBDevice* d = openOne(svc);
    ASSERT_NE(d, nullptr);
    // A failure leaves the caller's record untouched.
    QN_DeviceConfiguration c{1, 2, 3, 4, 5};
    svc->queueReply({kIOReturnError, 1540, {}});
    EXPECT_FALSE(d->getCurrentConfiguration(c));
    EXPECT_EQ(c.bitsOutput, 5u);
    // The CPLD setter sends the read's reply back with code 5 and bit 3 set.
    svc->clearRecords();
    svc->queueReply(replyWord(0x10));
    EXPECT_TRUE(d->setOlvqCpldMixOutSel(true));
    auto got = svc->received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(codeOf(got[0]), 4u);
    EXPECT_EQ(codeOf(got[1]), 5u);
    EXPECT_EQ(got[1][kUnion], 0x18);
    // Re-enumeration: done when answered or when the device already left.
    for (auto [result, want] :
         {std::pair{kIOReturnSuccess, true}, std::pair{kIOReturnNoDevice, true},
          std::pair{kIOReturnError, false}}) {
        svc->queueReply({result, 1540, {}});
        EXPECT_EQ(d->reenumerateDevice(), want) << std::hex << result;
    }
    // setBufferSize and getConfigStatus send nothing.
    svc->clearRecords();
    EXPECT_EQ(d->setBufferSize(256), 0u);
    EXPECT_EQ(d->getConfigStatus(), 0u);
    EXPECT_TRUE(svc->received().empty());
    // The Sorvik name: null sends nothing, a long one goes as 32 bytes, a
    // short one zero-padded; a read ends at byte 31.
    EXPECT_FALSE(d->setSorvikDeviceName(nullptr));
    EXPECT_TRUE(svc->received().empty());
    const std::string longName(40, 'N');
    ASSERT_TRUE(d->setSorvikDeviceName(longName.c_str()));
    ASSERT_TRUE(d->setSorvikDeviceName("ab"));
    got = svc->received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0][kUnion + 31], 'N');
    EXPECT_EQ(got[0][kUnion + 32], 0);
    EXPECT_EQ(got[1][kUnion + 1], 'b');
    EXPECT_EQ(got[1][kUnion + 2], 0);
    svc->queueReply(replyWith(std::vector<uint8_t>(64, 'z')));
    char name[32];
    ASSERT_TRUE(d->getSorvikDeviceName(name));
    EXPECT_EQ(std::string(name), std::string(31, 'z'));
    svc->queueReply({kIOReturnError, 1540, {}});
    EXPECT_FALSE(d->getSorvikDeviceName(name));
    EXPECT_EQ(name[0], 0);
}

TEST_F(ScriptedApi, FirmwareFromTheDeviceWhenTheKernelHasNoWord) {
    QnApiScriptedService* svc = nullptr;
    USBDevice* d = openOne(svc);
    ASSERT_NE(d, nullptr);
    svc->queueReply(replyWord(0)); // 23: no word
    std::vector<uint8_t> dev(260, 0);
    dev[0] = 7, dev[1] = 1, dev[2] = 23;
    qnWriteU32(dev.data(), 256, 3);
    svc->queueReply(replyWith(dev));                           // 34
    svc->queueReply(replyWith(std::vector<uint8_t>(40, 'F'))); // 24
    QnVersion v;
    hx::test::StdoutCapture out;
    ASSERT_TRUE(d->getFirmwareVersion(v, false));
    const std::string printed = out.finish();
    EXPECT_NE(printed.find("fwupdater 01020307\n"), std::string::npos);
    EXPECT_NE(printed.find("uFirmwareVersion 01020307\n"), std::string::npos);
    EXPECT_STREQ(v.text, "1.2.3");
    EXPECT_EQ(v.build, 7u);
    EXPECT_EQ(std::string(v.firmware), std::string(15, 'F'));
    auto got = svc->received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(codeOf(got[1]), 34u);
    EXPECT_EQ(got[1][kUnion + 256], 3);    // uLength
    EXPECT_EQ(got[1][kUnion + 276], 0x56); // bRequest
}

TEST_F(ScriptedApi, AFullControlPortBatchGoesInBlocks) {
    QnApiScriptedService* svc = nullptr;
    USBDevice* d = openOne(svc);
    ASSERT_NE(d, nullptr);
    QNAJPort port;
    port.setDevice(&USBDevice::sendCPortBytesStatic, d);
    for (int i = 0; i < 1024; ++i) {
        ASSERT_TRUE(port.beginByte());
        ASSERT_TRUE(port.addByte(uint8_t(i)));
        port.confirmByte();
    }
    EXPECT_FALSE(port.beginByte()); // full
    ASSERT_TRUE(port.commit());
    auto got = svc->received();
    ASSERT_EQ(got.size(), 5u);
    for (size_t b = 0; b < 5; ++b)
        EXPECT_EQ(got[b][kUnion], b < 4 ? 255 : 4);
    EXPECT_EQ(got[4][kUnion + 4], uint8_t(1023));
    EXPECT_FALSE(USBDevice::sendCPortBytesStatic(nullptr, got[0].data(), 1));
}

TEST_F(ScriptedApi, MarkingAsRemovedDetachesAListedDeviceOnly) {
    events.retainAttached = true;
    QnApiScriptedService* svc = nullptr;
    USBDevice* d = openOne(svc);
    ASSERT_NE(d, nullptr);
    // The calls that have nothing to do on this driver.
    QN_LevelInfo32 levels{};
    svc->queueReply(levelWords({5, 6}));
    EXPECT_TRUE(d->readLevelInfoEx(levels));
    EXPECT_EQ(levels.lvlIn[1], 6);
    EXPECT_FALSE(d->writeAJData(nullptr, 88));
    EXPECT_TRUE(d->levelInfoExAttach() && d->levelInfoExDetach());

    _qnapiMarkAsRemoved(d);
    ASSERT_EQ(events.codes().back(), QNAPI_CBEvent_DeviceDetached);
    EXPECT_TRUE(events.openAtEvent.back());
    EXPECT_FALSE(d->isOpen());
    const size_t seen = events.seen.size();
    _qnapiMarkAsRemoved(d); // no longer listed: the user's reference stays
    _qnapiMarkAsRemoved(nullptr);
    EXPECT_EQ(events.seen.size(), seen);
    EXPECT_EQ(d->release(), 0u);
}

TEST(VersionStrings, StandardForm) {
    struct Row {
        uint64_t major, minor, sub, stage, build;
        const char* text;
    } rows[] = {
        {3, 4, 13, 4, 0, "3.4.13"},  {3, 4, 13, 2, 5, "3.4.13.b5"}, {3, 15, 7, 4, 0, "3.07"},
        {1, 2, 3, 1, 4, "1.2.3.a4"}, {1, 2, 3, 3, 4, "1.2.3.rc4"},  {1, 2, 3, 0, 4, "1.2.3.d4"},
        {1, 2, 3, 9, 4, "1.2.3.d4"},
    };
    for (const Row& r : rows) {
        QnVersion v{};
        v.major = r.major, v.minor = r.minor, v.sub = r.sub, v.stage = r.stage, v.build = r.build;
        _qnapiMakeVersionString(v);
        EXPECT_STREQ(v.text, r.text);
    }
    QnVersion f{};
    f.major = 1, f.sub = 2, f.stage = 3;
    _qnapiMakeVersionStringFirmware(f);
    EXPECT_STREQ(f.text, "1.2.3");
}

} // namespace
