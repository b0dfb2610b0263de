// The control-port batch and the two codec register models: the bytes each
// write puts on the port, the shadow and its shortcut, and the batch's
// bounds.
#include "api/QNAJPort.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Sink {
    std::vector<std::vector<uint8_t>> batches;
    bool accept = true;
    static bool send(void* context, const uint8_t* bytes, size_t count) {
        auto* s = static_cast<Sink*>(context);
        s->batches.emplace_back(bytes, bytes + count);
        return s->accept;
    }
};

// The AK4524 word for a register and value with port byte p.
std::vector<uint8_t> akWord(uint8_t p, uint8_t reg, uint8_t value) {
    std::vector<uint8_t> w = {uint8_t(p | 0xE0), uint8_t(p | 0xC0)};
    const uint16_t bits = uint16_t(0b101 << 13 | (reg & 0x1F) << 8 | value);
    for (int b = 15; b >= 0; --b) {
        if (bits >> b & 1) {
            w.push_back(uint8_t(p | 0x40));
            w.push_back(uint8_t(p | 0xC0));
        } else {
            w.push_back(p);
            w.push_back(uint8_t(p | 0x80));
        }
    }
    w.push_back(uint8_t(p | 0xE0));
    return w;
}

TEST(QNAJCodecAK4524, ForcedVolumeSendsTheWholeWord) {
    QNAJCodecAK4524 codec;
    Sink sink;
    codec.setDevice(&Sink::send, &sink);
    EXPECT_TRUE(codec.volOut(0, 0x7F, false)); // unchanged: nothing sent
    EXPECT_TRUE(sink.batches.empty());
    ASSERT_TRUE(codec.volOut(0, 0x7F, true));
    ASSERT_EQ(sink.batches.size(), 1u);
    const std::vector<uint8_t>& w = sink.batches[0];
    ASSERT_EQ(w.size(), 35u);
    const std::vector<uint8_t> head = {0xE0, 0xC0, 0x40, 0xC0, 0x00, 0x80, 0x40, 0xC0};
    EXPECT_EQ(std::vector<uint8_t>(w.begin(), w.begin() + 8), head);
    EXPECT_EQ(w.back(), 0xE0);
    EXPECT_EQ(w, akWord(0, 6, 0x7F));
}

TEST(QNAJCodecAK4524, MuteAndVolumeKeepTheShadow) {
    QNAJCodecAK4524 codec;
    Sink sink;
    codec.setDevice(&Sink::send, &sink);
    ASSERT_TRUE(codec.muteOut(1, true, false));
    ASSERT_TRUE(codec.volOut(1, 0xC0, false)); // stores 0x40, sends 0 while muted
    EXPECT_EQ(codec.getVolOut(1), 0x40);
    ASSERT_TRUE(codec.volIn(0, 0x90, false));
    ASSERT_TRUE(codec.muteIn(0, true, false));
    ASSERT_EQ(sink.batches.size(), 4u);
    EXPECT_EQ(sink.batches[0], akWord(0, 7, 0));
    EXPECT_EQ(sink.batches[1], akWord(0, 7, 0));
    EXPECT_EQ(sink.batches[2], akWord(0, 4, 0x90));
    EXPECT_EQ(sink.batches[3], akWord(0, 4, 0));
    EXPECT_FALSE(codec.volOut(2, 1, true));
    EXPECT_EQ(codec.getVolOut(-1), 0);
    EXPECT_FALSE(codec.getMuteIn(5));
}

TEST(QNAJCodecAK4524, PortLinesSelectorsAndMonitor) {
    QNAJCodecAK4524 codec;
    Sink sink;
    codec.setDevice(&Sink::send, &sink);
    ASSERT_TRUE(codec.radioValue(0, PemrikRadio3, false));
    EXPECT_EQ(codec.getRadioValue(0), PemrikRadio3);
    ASSERT_TRUE(codec.radioValue(1, PemrikRadioValue(1), false)); // 1 is 0: unchanged
    ASSERT_TRUE(codec.setHWMonitor(true, false));
    EXPECT_TRUE(codec.getHWMonitor());
    EXPECT_EQ(codec.getPortByte(), 0x1C);
    ASSERT_EQ(sink.batches.size(), 2u);
    EXPECT_EQ(sink.batches[0], std::vector<uint8_t>{0xEC});
    EXPECT_EQ(sink.batches[1], std::vector<uint8_t>{0xFC});
    // Register writes keep the port lines.
    ASSERT_TRUE(codec.volIn(1, 1, false));
    EXPECT_EQ(sink.batches[2], akWord(0x1C, 5, 1));
}

TEST(QNAJCodecAK4524, LevelTexts) {
    EXPECT_FLOAT_EQ(QNAJCodecAK4524::volOutToDB(0x7F), 0.0f);
    EXPECT_FLOAT_EQ(QNAJCodecAK4524::volOutToDB(0), -999.0f);
    EXPECT_FLOAT_EQ(QNAJCodecAK4524::volInToDB(0xA4), 18.0f);
    EXPECT_FLOAT_EQ(QNAJCodecAK4524::volInToDB(0xFF), 18.0f);
    EXPECT_FLOAT_EQ(QNAJCodecAK4524::volInToDB(0x84), 2.0f);
    QNAJCodecAK4524 codec;
    Sink sink;
    codec.setDevice(&Sink::send, &sink);
    EXPECT_STREQ(codec.volOutToDBString(0), "0.0");
    ASSERT_TRUE(codec.volOut(0, 0, false));
    EXPECT_STREQ(codec.volOutToDBString(0), "e");
    EXPECT_STREQ(codec.volOutToDBString(3), "e");
}

TEST(QNAJCodecAK4524, StateRecordRoundTrip) {
    QNAJCodecAK4524 a, b;
    Sink sink;
    a.setDevice(&Sink::send, &sink);
    a.muteIn(1, true, false);
    a.volOut(0, 0x22, false);
    a.setPortByte(0x13, false);
    PemrikData d;
    a.buildInfo(d);
    EXPECT_EQ(d.size, 88u);
    EXPECT_EQ(d.version, 1u);
    b.takeInfo(d);
    EXPECT_TRUE(b.getMuteIn(1));
    EXPECT_EQ(b.getVolOut(0), 0x22);
    EXPECT_EQ(b.getPortByte(), 0x13);
    b.updatePemrikoData(nullptr); // nothing to send to
}

TEST(QNAJPort, AWordThatDoesNotFitFailsAndTheBatchKeepsItsBytes) {
    QNAJCodecAK4524 codec;
    Sink sink;
    codec.setDevice(&Sink::send, &sink);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(codec.beginByte());
        ASSERT_TRUE(codec.addByte(uint8_t(i)));
        codec.confirmByte();
    }
    EXPECT_FALSE(codec.volOut(0, 0x10, false));
    EXPECT_EQ(codec.getVolOut(0), 0x10);
    EXPECT_EQ(codec.count(), 1000u);
    EXPECT_TRUE(sink.batches.empty());
    // The value is stored, but the codec may not have it: the same value
    // goes out again.
    codec.cancelBytes();
    ASSERT_TRUE(codec.volOut(0, 0x10, false));
    ASSERT_EQ(sink.batches.size(), 1u);
    EXPECT_EQ(sink.batches[0], akWord(0, 6, 0x10));
    EXPECT_TRUE(codec.volOut(0, 0x10, false));
    EXPECT_EQ(sink.batches.size(), 1u);
}

TEST(QNAJPort, AFailedSendMakesTheNextSetterSendAgain) {
    QNAJCodecWM8776 codec;
    Sink sink;
    sink.accept = false;
    codec.setDevice(&Sink::send, &sink);
    EXPECT_FALSE(codec.muteIn(0, true, false));
    sink.accept = true;
    EXPECT_TRUE(codec.muteIn(0, true, false));
    EXPECT_EQ(sink.batches.size(), 2u);
    EXPECT_EQ(sink.batches[0], sink.batches[1]);
    EXPECT_TRUE(codec.muteIn(0, true, false));
    EXPECT_EQ(sink.batches.size(), 2u);
}

TEST(QNAJPort, CommitWithoutASendFunctionEmptiesTheBatch) {
    QNAJPort port;
    ASSERT_TRUE(port.beginByte());
    ASSERT_TRUE(port.addByte(1));
    port.confirmByte();
    EXPECT_EQ(port.count(), 1u);
    EXPECT_FALSE(port.commit());
    EXPECT_EQ(port.count(), 0u);
}

TEST(QNAJCodecWM8776, WordAndMuxRegister) {
    QNAJCodecWM8776 codec;
    Sink sink;
    codec.setDevice(&Sink::send, &sink);
    EXPECT_FALSE(codec.setADC_MUX(WM8776_ADC_MUX(5), true));
    EXPECT_TRUE(codec.setADC_MUX(WM8776_ADC_MUX(0), false)); // unchanged
    ASSERT_TRUE(codec.setADC_MUX(WM8776_ADC_MUX(2), false));
    ASSERT_TRUE(codec.muteIn(1, true, false));
    ASSERT_EQ(sink.batches.size(), 2u);
    for (auto& w : sink.batches) {
        ASSERT_EQ(w.size(), 36u);
        EXPECT_EQ(w[0], 0x9F);
        EXPECT_EQ(std::vector<uint8_t>(w.end() - 3, w.end()),
                  (std::vector<uint8_t>{0x9F, 0x1F, 0x9F}));
    }
    // Register 21, value 1 << 2 | 0x40: the 16 bits as (data, clock) pairs.
    const uint16_t word = uint16_t(21 << 9 | 0x44);
    for (int b = 15; b >= 0; --b) {
        const bool one = word >> b & 1;
        const size_t at = 1 + 2 * size_t(15 - b);
        EXPECT_EQ(sink.batches[1][at], one ? 0xDF : 0x9F) << b;
        EXPECT_EQ(sink.batches[1][at + 1], one ? 0xFF : 0xBF) << b;
    }
    EXPECT_EQ(codec.getADC_MUX(), 2);
    EXPECT_TRUE(codec.getMuteIn(1));
}

} // namespace
