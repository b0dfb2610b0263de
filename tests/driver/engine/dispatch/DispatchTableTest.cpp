// Every request code on an HX-5100, before the type-4 open (the updater
// state unknown) and after it: the result, and the union beyond each code's
// stated reply size left as the requester sent it; then the rows whose
// inputs matter.
#include "DispatchFixture.h"

#include <map>
#include <string>

#include "platform/base/HXLog.h"

namespace {

using namespace dispatchtest;

constexpr uint8_t kFill = 0xA5;

// Bytes of the union a code may write (0: none).
uint32_t statedSize(uint32_t code) {
    static const std::map<uint32_t, uint32_t> sizes = {
        {2, 4},   {4, 1},     {8, 20},   {10, 4},   {11, 4},   {12, 4},   {13, 4},  {14, 4},
        {15, 4},  {16, 4},    {17, 8},   {18, 256}, {19, 256}, {20, 4},   {21, 16}, {22, 4},
        {23, 4},  {24, 16},   {25, 4},   {26, 4},   {27, 4},   {28, 4},   {29, 4},  {30, 4},
        {31, 4},  {32, 4},    {35, 64},  {38, 4},   {39, 12},  {40, 12},  {41, 6},  {42, 6},
        {43, 4},  {45, 4},    {48, 4},   {49, 128}, {50, 4},   {51, 4},   {53, 4},  {55, 512},
        {57, 32}, {59, 1536}, {60, 128}, {62, 64},  {63, 16},  {65, 64},  {66, 64}, {67, 8},
        {68, 84}, {69, 84},   {70, 33},  {71, 256}, {72, 128}, {74, 512}, {77, 4},  {78, 4},
    };
    auto it = sizes.find(code);
    return it == sizes.end() ? 0 : it->second;
}

// What a record full of 0xA5 bytes gets, before and after the open.
IOReturn expected(uint32_t code, bool open) {
    switch (code) {
    case 6:
    case 7:
    case 46:
    case 47:
    case 64:
    case 73:
    case 79:
    case 80:
    case 14: // source 0xA5A5A5A5
    case 34: // length above 256
    case 41:
    case 42: // codec and register out of range
    case 55: // channel out of range
    case 68: // rate out of range
    case 71: // 255 characters
        return kIOReturnBadArgument;
    case 16:
    case 28:
        return open ? kIOReturnSuccess : kIOReturnBadArgument;
    case 9:
        return open ? kIOReturnBadArgument : kIOReturnSuccess;
    default:
        return kIOReturnSuccess;
    }
}

TEST(DispatchTable, EveryCodeBeforeAndAfterTheOpenAnswersItsResultAndWritesOnlyItsStatedSize) {
    Device d;
    ASSERT_TRUE(d.svc);
    for (bool open : {false, true}) {
        if (open) d.openNoUpdater();
        for (uint32_t code = 0; code <= 80; ++code) {
            // Firmware-update mode and re-enumeration end what follows: their own tests.
            if (code == 33 || code == 76) continue;
            SCOPED_TRACE("code " + std::to_string(code) + (open ? " open" : " before the open"));
            QN_Dispatch rec;
            std::memset(&rec, kFill, sizeof rec);
            rec.code = code;
            const IOReturn r = d.call(rec);
            EXPECT_EQ(r, expected(code, open));
            if (code == 59) {
                // 58 stored buffers just before: the code word turns 0.
                EXPECT_EQ(rec.code, 0u);
                continue;
            }
            EXPECT_EQ(rec.code, code);
            const uint8_t* u = reinterpret_cast<const uint8_t*>(&rec.data);
            // 68 answers the configuration in force also when it refuses; 71
            // ends the text at byte 255 first.
            const uint32_t size =
                r == kIOReturnSuccess || code == 68 || code == 71 ? statedSize(code) : 0;
            bool untouched = true;
            for (uint32_t i = size; i < sizeof rec.data; ++i)
                untouched &= u[i] == kFill;
            EXPECT_TRUE(untouched) << "bytes past " << size << " changed";
        }
    }
}

TEST(DispatchTable, ValuesOfTheSimpleRows) {
    Device d;
    ASSERT_TRUE(d.svc);
    d.openNoUpdater();
    struct Row {
        uint32_t code, in, out;
    } rows[] = {
        {10, 0, 3}, {11, 5, 20}, {12, 0, 8}, {13, 0, 12},         {14, 0, 1},
        {14, 1, 1}, {14, 2, 0},  {20, 0, 1}, {22, 0, 0x03040D00},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.code);
        QN_Dispatch rec = Device::record(row.code, row.in);
        EXPECT_EQ(d.call(rec), kIOReturnSuccess);
        EXPECT_EQ(rec.data.ulValue, row.out);
    }
    // 17 with no lock: status 1 and the current rate.
    QN_Dispatch st = Device::record(17);
    EXPECT_EQ(d.call(st), kIOReturnSuccess);
    EXPECT_EQ(st.data.cDigitalStatus.eStatus, 1);
    EXPECT_EQ(st.data.cDigitalStatus.uFreq, d.dev->getCurrentSettings().Frequency);
    // 24: the firmware text, NUL-padded to 16 bytes.
    QN_Dispatch fw = Device::record(24);
    std::memset(fw.data.cString, 'x', sizeof fw.data.cString);
    EXPECT_EQ(d.call(fw), kIOReturnSuccess);
    EXPECT_EQ(std::string(fw.data.cString), "1.2.3");
    for (int i = 5; i < 16; ++i)
        EXPECT_EQ(fw.data.cString[i], 0);
    EXPECT_EQ(fw.data.cString[16], 'x');
    // 19: the model name of the shared area.
    QN_Dispatch name = Device::record(19);
    EXPECT_EQ(d.call(name), kIOReturnSuccess);
    EXPECT_EQ(std::string(name.data.cString), std::string(d.dev->getDriverSM()->mModelName));
}

TEST(DispatchTable, TheDriverVersionTextFollowsTheSentTextCutTo15Characters) {
    Device d;
    ASSERT_TRUE(d.svc);
    struct Case {
        const char* sent;
        const char* answer;
    } cases[] = {{"", "v3.4.13"},
                 {"HX ", "HX v3.4.13"},
                 {"Driver-Kit-", "Driver-Kit-v3.4"},
                 {"0123456789ABCDEFGHIJ", "0123456789ABCDE"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent);
        QN_Dispatch rec = Device::record(63);
        std::memset(rec.data.cString, 'z', sizeof rec.data.cString);
        std::memcpy(rec.data.cString, c.sent,
                    std::strlen(c.sent) + (std::strlen(c.sent) < 20 ? 1 : 0));
        const char after = rec.data.cString[16];
        EXPECT_EQ(d.call(rec), kIOReturnSuccess);
        EXPECT_EQ(std::string(rec.data.cString), c.answer);
        EXPECT_EQ(rec.data.cString[16], after);
    }
}

TEST(DispatchGate, BeforeTheOpenTheGatedSettersDoNothingAndTheRefusingOnesLogFirst) {
    Device d;
    ASSERT_TRUE(d.svc);
    d.model->clearTrace();
    const auto states = d.stateCodes().size();
    hx::log::Capture log;
    QN_Dispatch clock = Device::record(16, 1);
    EXPECT_EQ(d.call(clock), kIOReturnBadArgument);
    EXPECT_NE(log.text().find("EQN_SetClockSource:1\n"), std::string::npos);
    QN_Dispatch mode = Device::record(28, 1);
    EXPECT_EQ(d.call(mode), kIOReturnBadArgument);
    QN_Dispatch cfg = Device::record(9);
    cfg.data.cConfig = {96000, 2, 24, 2, 24};
    EXPECT_EQ(d.call(cfg), kIOReturnSuccess);
    QN_Dispatch sel = Device::record(3, 1);
    EXPECT_EQ(d.call(sel), kIOReturnSuccess);
    QN_Dispatch cpld = Device::record(5, 0x08);
    EXPECT_EQ(d.call(cpld), kIOReturnSuccess);
    EXPECT_TRUE(d.model->trace().empty());
    EXPECT_EQ(d.stateCodes().size(), states);
    EXPECT_NE(d.dev->getCurrentSettings().Frequency, 96000u);
    EXPECT_EQ(d.dev->getAjExtData().mDigitalOutMode, 0u);
}

TEST(DispatchGate, FirmwareUpdateModeStopsStreamingAndClosesTheGate) {
    Device d;
    ASSERT_TRUE(d.svc);
    d.openNoUpdater();
    ASSERT_TRUE(d.stream(stereo24(48000)));
    QN_Dispatch enter = Device::record(33);
    EXPECT_EQ(d.call(enter), kIOReturnSuccess);
    EXPECT_EQ(d.dev->getFwUpdaterState(), kFwUpdaterActive);
    EXPECT_FALSE(d.dev->isStreamingStarted());
    auto codes = d.stateCodes();
    EXPECT_NE(std::find(codes.begin(), codes.end(), uint32_t(STC_FirmwareUpdateMode)), codes.end());
    d.model->clearTrace();
    QN_Dispatch cfg = Device::record(9);
    cfg.data.cConfig = {96000, 2, 24, 2, 24};
    EXPECT_EQ(d.call(cfg), kIOReturnSuccess);
    QN_Dispatch clock = Device::record(16, 1), mode = Device::record(28, 1);
    EXPECT_EQ(d.call(clock), kIOReturnBadArgument);
    EXPECT_EQ(d.call(mode), kIOReturnBadArgument);
    EXPECT_TRUE(d.model->trace().empty());
    EXPECT_EQ(d.dev->getCurrentSettings().Frequency, 48000u);
}

TEST(DispatchRequests, RequestersAreNeededForOwnership) {
    Device d;
    ASSERT_TRUE(d.svc);
    for (uint32_t code : {29u, 30u, 31u, 32u, 77u, 78u}) {
        QN_Dispatch rec = Device::record(code, 1);
        EXPECT_EQ(d.call(rec, nullptr), kIOReturnNotOpen) << code;
        EXPECT_EQ(rec.data.ulValue, 1u);
    }
}

TEST(DispatchRequests, ExclusivityTakesInputsNotPrivateDataAndClosingLosesIt) {
    Device d;
    ASSERT_TRUE(d.svc);
    // A control client and an audio client (whose close gives up what it
    // owns; a control client's close clears no owner).
    d.openNoUpdater();
    IOUserClient* a = d.client;
    IOUserClient* b = d.user.open(d.svc.svc, 0);
    ASSERT_NE(b, nullptr);
    const uint64_t idA = d.svc->clientIdentifier(a), idB = d.svc->clientIdentifier(b);
    auto ask = [&](uint32_t code, uint32_t value, IOUserClient* who) {
        QN_Dispatch rec = Device::record(code, value);
        EXPECT_EQ(d.call(rec, who), kIOReturnSuccess);
        return rec.data.ulValue;
    };
    DriverSM* sm = d.dev->getDriverSM();
    EXPECT_EQ(ask(30, 1, a), 1u);
    EXPECT_EQ(ask(78, 1, a), 1u);
    EXPECT_EQ(ask(30, 1, b), 1u); // B takes A's inputs
    EXPECT_EQ(ask(29, 0, a), 0u);
    EXPECT_EQ(ask(78, 1, b), 0u); // not the private data
    EXPECT_EQ(ask(78, 0, b), 0u); // nor can B give it up for A
    EXPECT_EQ(ask(77, 0, a), 1u);
    EXPECT_EQ(uint64_t(sm->mExclusiveInputOwner), idB);
    EXPECT_EQ(uint64_t(sm->mPrivateDataOwner), idA);
    // Writing the shared copies changes no owner.
    sm->mPrivateDataOwner = idB;
    sm->mExclusiveInputOwner = idA;
    EXPECT_EQ(ask(77, 0, b), 0u);
    EXPECT_EQ(ask(29, 0, a), 0u);
    EXPECT_EQ(ask(29, 0, b), 1u);
    // The owner gives the private data up; then B may take it.
    EXPECT_EQ(ask(78, 0, a), 0u);
    EXPECT_EQ(d.dev->getPrivateDataOwner(), 0u);
    EXPECT_EQ(ask(78, 1, b), 1u);
    EXPECT_EQ(ask(32, 1, b), 1u);
    EXPECT_EQ(ask(31, 0, b), 1u);
    // B closes: it loses what it owned.
    d.closeClient(b);
    EXPECT_EQ(d.dev->getInputsOwner(), 0u);
    EXPECT_EQ(d.dev->getOutputsOwner(), 0u);
    EXPECT_EQ(d.dev->getPrivateDataOwner(), 0u);
    EXPECT_EQ(uint64_t(sm->mPrivateDataOwner), 0u);
}

TEST(DispatchRequests, RawDeviceRequests) {
    Device d;
    ASSERT_TRUE(d.svc);
    // GET_DESCRIPTOR(device).
    QN_Dispatch rec = Device::record(34);
    QN_VendorOrClassRequest& r = rec.data.cDevRequest;
    r.uLength = 18;
    r.wValue = 0x0100;
    r.eIn = 0x80;
    r.bRequest = 6;
    EXPECT_EQ(d.call(rec), kIOReturnSuccess);
    EXPECT_EQ(r.uLength, 18u);
    EXPECT_EQ(r.data[0], 18);
    EXPECT_EQ(r.data[1], 1);
    EXPECT_EQ(qnReadU16(r.data, 8), kKorvexVendorID);

    // Refused records send nothing.
    struct Bad {
        uint32_t length;
        int32_t in, type, recipient;
    } bad[] = {{257, 0x80, 0, 0},
               {4, 1, 0x40, 0},
               {4, 0x80, 0x60, 0},
               {4, 0x80, 0x40, 4},
               {4, 0, 0x40, -1}};
    for (const Bad& b : bad) {
        d.model->clearTrace();
        QN_Dispatch x = Device::record(34);
        x.data.cDevRequest = {};
        x.data.cDevRequest.uLength = b.length;
        x.data.cDevRequest.eIn = b.in;
        x.data.cDevRequest.eType = b.type;
        x.data.cDevRequest.eRecipient = b.recipient;
        x.data.cDevRequest.bRequest = 0x49;
        EXPECT_EQ(d.call(x), kIOReturnBadArgument);
        EXPECT_TRUE(d.model->trace().empty());
    }
    // A stalled vendor request: its status, the length as sent.
    QN_Dispatch st = Device::record(34);
    st.data.cDevRequest.uLength = 3;
    st.data.cDevRequest.eIn = 0x80;
    st.data.cDevRequest.eType = 0x40;
    st.data.cDevRequest.bRequest = 0x77;
    EXPECT_EQ(d.call(st), IOReturn(kUSBHostReturnPipeStalled));
    EXPECT_EQ(st.data.cDevRequest.uLength, 3u);
}

TEST(DispatchRequests, CodecRegistersGoToTheirFilesAndTheMirror) {
    Device d;
    ASSERT_TRUE(d.svc);
    d.openNoUpdater();
    QN_Dispatch set = Device::record(42);
    set.data.cWMCodecRequest = {1, 5, 0x1F};
    d.model->clearTrace();
    EXPECT_EQ(d.call(set), kIOReturnSuccess);
    EXPECT_EQ(requestsOf(*d.model), (std::vector<Req>{{0x40, 0x41, 0x0A1F, 0x106, 0}}));
    EXPECT_EQ(d.model->codecRegister(1, 5), 0x1F);
    EXPECT_EQ(d.model->codecRegister(0, 5), 0);
    QN_Dispatch get = Device::record(41);
    get.data.cWMCodecRequest = {1, 5, 0};
    EXPECT_EQ(d.call(get), kIOReturnSuccess);
    EXPECT_EQ(get.data.cWMCodecRequest.nValue, 0x1F);
    EXPECT_EQ(d.bytesProperty("WolfsonRegisters").size(), 176u);
    bool seen = false;
    for (const QN_StateChange& s : d.stateRecords())
        seen |=
            s.mCode == STC_ChangeWolfson && s.mParam1 == 1 && uint32_t(s.mParam2) == 0x0005001Fu;
    EXPECT_TRUE(seen);

    // Out of range: refused, nothing sent, nothing stored.
    struct Bad {
        uint32_t code;
        QN_WMCodecRequest r;
    } bad[] = {
        {42, {4, 0, 1}}, {42, {0, 22, 1}}, {42, {0, 0, 0x200}}, {41, {4, 0, 0}}, {41, {0, 22, 0}}};
    for (const Bad& b : bad) {
        d.model->clearTrace();
        QN_Dispatch x = Device::record(b.code);
        x.data.cWMCodecRequest = b.r;
        EXPECT_EQ(d.call(x), kIOReturnBadArgument);
        EXPECT_TRUE(d.model->trace().empty());
        EXPECT_EQ(x.data.cWMCodecRequest.nValue, b.r.nValue);
    }
}

TEST(DispatchRequests, ReverbBuffersAnswerAfterTheyWereSentAndGoOutAtStart) {
    Device d;
    ASSERT_TRUE(d.svc);
    d.openNoUpdater();
    QN_Dispatch get = Device::record(59);
    std::memset(&get.data, 0x5A, sizeof get.data);
    EXPECT_EQ(d.call(get), kIOReturnSuccess);
    EXPECT_EQ(get.code, 0xFFFFFFFFu);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(&get.data)[0], 0x5A);

    QN_Dispatch send = Device::record(58);
    for (int block = 0; block < 6; ++block)
        std::memset(send.data.cReverbBuffers[block], block + 1, 256);
    EXPECT_EQ(d.call(send), kIOReturnSuccess);
    EXPECT_EQ(d.bytesProperty("ReverbBuffers").size(), 1536u);
    QN_Dispatch again = Device::record(59);
    EXPECT_EQ(d.call(again), kIOReturnSuccess);
    EXPECT_EQ(again.code, 0u);
    EXPECT_EQ(again.data.cReverbBuffers[5][255], 6);

    ASSERT_TRUE(d.stream(stereo24(48000)));
    ASSERT_TRUE(d.model->dspBlock().has_value());
    EXPECT_EQ((*d.model->dspBlock())[0], 2); // block 1: 48 kHz
    EXPECT_EQ(d.model->dspBlockCount(), 1u);
    ASSERT_TRUE(d.stream(stereo24(192000)));
    EXPECT_EQ(d.model->dspBlockCount(), 1u);
}

TEST(DispatchRequests, TheMixerBufferReachesTheDeviceAndSucceedsWhenStalled) {
    Device d;
    ASSERT_TRUE(d.svc);
    QN_Dispatch send = Device::record(61);
    for (int i = 0; i < 64; ++i)
        send.data.cMixerBuffer[i] = uint8_t(i * 3);
    EXPECT_EQ(d.call(send), kIOReturnSuccess);
    EXPECT_EQ(d.model->mixerBuffer()[10], 30);
    EXPECT_EQ(d.bytesProperty("MixerBuffer").size(), 64u);
    auto codes = d.stateCodes();
    EXPECT_EQ(codes.back(), uint32_t(STC_MixerBufferStored));

    hx::usb::RequestMatch m;
    m.request = 0x4D;
    d.rig.bus().addFault(d.port, m, hx::usb::Fault::stall());
    hx::log::Capture log;
    send.data.cMixerBuffer[10] = 99;
    EXPECT_EQ(d.call(send), kIOReturnSuccess);
    EXPECT_NE(log.text().find("Could not write mixer buffer (0x"), std::string::npos);
    EXPECT_EQ(d.model->mixerBuffer()[10], 30);
    QN_Dispatch get = Device::record(62);
    EXPECT_EQ(d.call(get), kIOReturnSuccess);
    EXPECT_EQ(get.data.cMixerBuffer[10], 99);
}

TEST(DispatchRequests, LevelsAreTakenOnceAndGetReadsWithoutClearing) {
    Device d;
    ASSERT_TRUE(d.svc);
    d.dev->raiseInputLevel(3, 77);
    d.dev->getAJ().raiseLevel(false, 1, 12);
    d.dev->getAJ().raiseLevel(true, 31, 100);
    QN_Dispatch take = Device::record(72);
    EXPECT_EQ(d.call(take), kIOReturnSuccess);
    EXPECT_EQ(take.data.iLevels[3], 77);
    EXPECT_EQ(d.call(take), kIOReturnSuccess);
    EXPECT_EQ(take.data.iLevels[3], 0);
    QN_Dispatch lvl = Device::record(35);
    EXPECT_EQ(d.call(lvl), kIOReturnSuccess);
    EXPECT_EQ(lvl.data.cLvl.lvlIn[1], 12);
    EXPECT_EQ(lvl.data.cLvl.lvlOut[31], 100);
    EXPECT_EQ(d.call(lvl), kIOReturnSuccess);
    EXPECT_EQ(lvl.data.cLvl.lvlOut[31], 0);
}

TEST(DispatchRequests, MixerFractionsAndRouting) {
    Device d;
    ASSERT_TRUE(d.svc);
    QN_Dispatch one = Device::record(55);
    one.data.cMixerFraction = {7, {3, 0}, {1, 2}};
    EXPECT_EQ(d.call(one), kIOReturnSuccess);
    EXPECT_EQ(one.data.cMixerFractions.mMixerFractionLeft[7].nDenominator, 1);
    EXPECT_EQ(one.data.cMixerFractions.mMixerFractionRight[7].nNumerator, 1);
    EXPECT_EQ(d.bytesProperty("MixerFractions").size(), 512u);
    for (int32_t channel : {-1, 32}) {
        QN_Dispatch bad = Device::record(55);
        bad.data.cMixerFraction = {channel, {3, 3}, {1, 1}};
        EXPECT_EQ(d.call(bad), kIOReturnBadArgument);
    }
    QN_Dispatch all = Device::record(74);
    EXPECT_EQ(d.call(all), kIOReturnSuccess);
    EXPECT_EQ(all.data.cMixerFractions.mMixerFractionLeft[7].nNumerator, 3);

    // Routing: the output side's pair 2 stores nothing but is published.
    QN_Dispatch set = Device::record(40);
    set.data.cRoutingRequest = {0, 2, 5};
    EXPECT_EQ(d.call(set), kIOReturnSuccess);
    set.data.cRoutingRequest = {1, 2, 4};
    EXPECT_EQ(d.call(set), kIOReturnSuccess);
    EXPECT_EQ(d.dev->getAjExtData().mRoutingIn[2], 4u);
    QN_Dispatch get = Device::record(39);
    get.data.cRoutingRequest = {0, 7, 0};
    EXPECT_EQ(d.call(get), kIOReturnSuccess);
    EXPECT_EQ(get.data.cRoutingRequest.nChannelPairDevice, 7u);
    get.data.cRoutingRequest = {1, 2, 0};
    EXPECT_EQ(d.call(get), kIOReturnSuccess);
    EXPECT_EQ(get.data.cRoutingRequest.nChannelPairDevice, 4u);
}

TEST(DispatchStreaming, SuspendAnswersOnceAndResumeRestarts) {
    Device d;
    ASSERT_TRUE(d.svc);
    d.openNoUpdater();
    ASSERT_TRUE(d.stream(stereo24(48000)));
    QN_Dispatch suspend = Device::record(38);
    EXPECT_EQ(d.call(suspend), kIOReturnSuccess);
    EXPECT_EQ(suspend.data.ulValue, 1u);
    EXPECT_FALSE(d.dev->isStreamingStarted());
    EXPECT_EQ(d.call(suspend), kIOReturnSuccess);
    EXPECT_EQ(suspend.data.ulValue, 0u);
    d.model->clearTrace();
    QN_Dispatch resume = Device::record(37);
    EXPECT_EQ(d.call(resume), kIOReturnSuccess);
    EXPECT_TRUE(d.dev->isStreamingStarted());
    // Resume sets the rate on both endpoints.
    auto trace = requestsOf(*d.model);
    EXPECT_NE(std::find(trace.begin(), trace.end(), kSetRateIn), trace.end());
    EXPECT_NE(std::find(trace.begin(), trace.end(), kSetRateOut), trace.end());
    // A running stream is left alone.
    d.model->clearTrace();
    EXPECT_EQ(d.call(resume), kIOReturnSuccess);
    EXPECT_TRUE(d.model->trace().empty());
}

TEST(DispatchStreaming, ANewConfigurationStartsASuspendedStreamAfresh) {
    Device d;
    ASSERT_TRUE(d.svc);
    d.openNoUpdater();
    ASSERT_TRUE(d.stream(stereo24(48000)));
    QN_Dispatch suspend = Device::record(38);
    ASSERT_EQ(d.call(suspend), kIOReturnSuccess);
    ASSERT_EQ(suspend.data.ulValue, 1u);
    QN_Dispatch cfg = Device::record(9);
    cfg.data.cConfig = {44100, 2, 24, 2, 24};
    EXPECT_EQ(d.call(cfg), kIOReturnSuccess);
    EXPECT_TRUE(d.dev->isStreamingStarted());
    EXPECT_FALSE(d.dev->isStreamingSuspended());
}

// The transmitter registers after streaming starts in each digital-out
// mode: the start writes the mode for the rate it runs at.
TEST(DispatchStreaming, StreamingWritesTheDigitalOutModeForItsRate) {
    const struct {
        uint32_t mode, rate;
        uint8_t r0d, r0f, r10, r11;
    } cases[] = {
        {0, 44100, 0x04, 0x00, 0x00, 0x0B}, {0, 48000, 0x04, 0x00, 0x02, 0x0B},
        {0, 96000, 0x04, 0x00, 0x0A, 0x0B}, {1, 44100, 0x41, 0x2C, 0x00, 0x00},
        {1, 96000, 0x01, 0x2C, 0x00, 0x10}, {1, 192000, 0x01, 0x2C, 0x00, 0x18},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(std::to_string(k.mode) + " at " + std::to_string(k.rate));
        Device d;
        ASSERT_TRUE(d.svc);
        d.openNoUpdater();
        QN_Dispatch mode = Device::record(28, k.mode);
        ASSERT_EQ(d.call(mode), kIOReturnSuccess);
        ASSERT_TRUE(d.stream(stereo24(k.rate)));
        EXPECT_EQ(d.model->transmitterRegister(0x0D), k.r0d);
        EXPECT_EQ(d.model->transmitterRegister(0x0F), k.r0f);
        EXPECT_EQ(d.model->transmitterRegister(0x10), k.r10);
        EXPECT_EQ(d.model->transmitterRegister(0x11), k.r11);
        // A mode above 1 is stored as 0.
        QN_Dispatch bad = Device::record(28, 2);
        EXPECT_EQ(d.call(bad), kIOReturnSuccess);
        EXPECT_EQ(bad.data.ulValue, 0u);
    }
}

TEST(DispatchStreaming, SetCurrentConfigReconfiguresAndRestartsOrReportsAStalledDevice) {
    Device d;
    ASSERT_TRUE(d.svc);
    d.openNoUpdater();
    ASSERT_TRUE(d.stream(stereo24(48000)));
    QN_Dispatch cfg = Device::record(9);
    cfg.data.cConfig = {96000, 2, 24, 2, 24};
    EXPECT_EQ(d.call(cfg), kIOReturnSuccess);
    EXPECT_TRUE(d.dev->isStreamingStarted());
    EXPECT_EQ(d.model->sampleRate(), 96000u);

    for (QN_DeviceConfiguration bad : {QN_DeviceConfiguration{7999, 2, 24, 2, 24},
                                       QN_DeviceConfiguration{48000, 33, 24, 2, 24}}) {
        cfg.data.cConfig = bad;
        EXPECT_EQ(d.call(cfg), kIOReturnBadArgument);
        EXPECT_EQ(d.dev->getCurrentSettings().Frequency, 96000u);
    }

    hx::usb::RequestMatch m;
    m.request = 0x0B; // SET_INTERFACE
    d.rig.bus().addFault(d.port, m, hx::usb::Fault::stall());
    cfg.data.cConfig = {44100, 2, 24, 2, 24};
    EXPECT_EQ(d.call(cfg), kIOReturnIOError);
    EXPECT_EQ(d.dev->getCurrentSettings().Frequency, 44100u);
}

TEST(DispatchStreaming, DigitalOutModeWritesOnlyTheRegistersThatDiffer) {
    Device d;
    ASSERT_TRUE(d.svc);
    d.openNoUpdater();
    ASSERT_TRUE(d.stream(stereo24(96000)));
    d.model->clearTrace();
    QN_Dispatch mode = Device::record(28, 1);
    EXPECT_EQ(d.call(mode), kIOReturnSuccess);
    EXPECT_EQ(mode.data.ulValue, 1u);
    EXPECT_EQ(d.model->transmitterRegister(0x0D), 0x01);
    EXPECT_EQ(d.model->transmitterRegister(0x0F), 0x2C);
    EXPECT_EQ(d.model->transmitterRegister(0x11), 0x10);
    // Read, then 0x0D, 0x0F, 0x10, 0x11 (0x0E stays 0).
    std::vector<Req> expected = {{0xC0, 0x41, 0x0D00, 0x101, 5},
                                 {0x40, 0x41, 0x0D01, 0x101, 0},
                                 {0x40, 0x41, 0x0F2C, 0x101, 0},
                                 {0x40, 0x41, 0x1000, 0x101, 0},
                                 {0x40, 0x41, 0x1110, 0x101, 0}};
    EXPECT_EQ(requestsOf(*d.model), expected);
    EXPECT_EQ(d.stateCodes().back(), uint32_t(STC_DigiOutModeChanged));
}

TEST(DispatchStreaming, ClockSourceFollowsTheDigitalInput) {
    Device d;
    ASSERT_TRUE(d.svc);
    d.openNoUpdater();
    ASSERT_TRUE(d.stream(stereo24(48000)));
    d.model->setDigitalInput(48000);
    QN_Dispatch clock = Device::record(16, 1);
    EXPECT_EQ(d.call(clock), kIOReturnSuccess);
    EXPECT_EQ(clock.data.ulValue, 1u);
    EXPECT_EQ(d.model->selectorByte() & 0x02, 0);
    EXPECT_TRUE(d.dev->isStreamingStarted());
    EXPECT_EQ(d.stateCodes().back(), uint32_t(STC_SampleCkSrcChanged));
    QN_Dispatch get = Device::record(15);
    EXPECT_EQ(d.call(get), kIOReturnSuccess);
    EXPECT_EQ(get.data.ulValue, 1u);
    QN_Dispatch st = Device::record(17);
    EXPECT_EQ(d.call(st), kIOReturnSuccess);
    EXPECT_EQ(st.data.cDigitalStatus.eStatus, 2);
    EXPECT_EQ(st.data.cDigitalStatus.uFreq, 48000u);
}

} // namespace

namespace {

using namespace dispatchtest;

// The HX-5100 sets its rate on both endpoints before the start and again at
// the resume, then writes its digital-out mode.
TEST(StartSteps, TheHX5100StartSetsBothRatesTwiceThenTheDigitalOutMode) {
    Device d;
    ASSERT_TRUE(d.svc);
    d.openNoUpdater();
    ASSERT_TRUE(d.configure(stereo24(48000)));
    d.model->clearTrace();
    d.svc->dispatchLock().lockMutex("start");
    d.dev->startStreamAfterConfig();
    d.svc->dispatchLock().unlock();
    const std::vector<Req> trace = requestsOf(*d.model);
    const std::vector<Req> expected = {kSetRateIn,
                                       kSetRateOut,
                                       kSetRateIn,
                                       kSetRateOut,
                                       {0xC0, 0x41, 0x0D00, 0x101, 5},
                                       {0x40, 0x41, 0x1002, 0x101, 0}};
    EXPECT_EQ(trace, expected);
    EXPECT_TRUE(d.dev->isStreamingStarted());
}

} // namespace
