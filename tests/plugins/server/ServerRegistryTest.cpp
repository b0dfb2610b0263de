// The server build of the shared settings store: same domain and keys as
// the device layer's build, every value as decimal text.
#include "plugins/server/OSXAsioRegistry.h"

#include <cstring>
#include <gtest/gtest.h>

#include "device/OSXAsioRegistry.h"
#include "platform/base/testing/GuardedBuffer.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/cf/HXCF.h"
#include "tests/platform/cf/CFTestSupport.h"

namespace {

class ServerRegistry : public ::testing::Test {
protected:
    ServerRegistry() { hx::cf::resetPreferences(); }
    ~ServerRegistry() override { hx::cf::resetPreferences(); }
    hx::test::TempRoot mRoot;
};

TEST_F(ServerRegistry, DomainFromTheIdentifierRoot) {
    qnas::OSXAsioRegistry a(CFSTR("com.korvex.hx5100"));
    EXPECT_TRUE(CFEqual(a.getDomain(), CFSTR("com.korvex.hx5100.hal")));
    qnas::OSXAsioRegistry b(static_cast<CFStringRef>(nullptr));
    EXPECT_TRUE(CFEqual(b.getDomain(), CFSTR("com.quarnl.hal")));
    qnas::OSXAsioRegistry c("ignored");
    EXPECT_TRUE(CFEqual(c.getDomain(), CFSTR("com.korvex.hx5100.hal")));
    EXPECT_EQ(c.getSettingNode("Settings", true), nullptr);
}

TEST_F(ServerRegistry, NumbersAsDecimalText) {
    qnas::OSXAsioRegistry r(CFSTR("com.korvex.hx5100"));
    r.setUInt32Value(0xFFFFFFFF, "Big");
    CFStringRef text = nullptr;
    r.getStringValue(text, "Big");
    ASSERT_NE(text, nullptr);
    EXPECT_TRUE(CFEqual(text, CFSTR("-1")));
    CFRelease(text);
    UInt32 v = 0;
    EXPECT_TRUE(r.getUInt32Value(v, "Big"));
    EXPECT_EQ(v, 0xFFFFFFFFu);
    UInt8 low = 0;
    r.setUInt32Value(0x1234, "Wide");
    EXPECT_TRUE(r.getUInt8Value(low, "Wide"));
    EXPECT_EQ(low, 0x34);
    bool b = false;
    r.setBoolValue(true, "Flag");
    EXPECT_TRUE(r.getBoolValue(b, "Flag"));
    EXPECT_TRUE(b);
    UInt32 w = 7;
    EXPECT_FALSE(r.getWolfsonRegister(1, 2, w));
    EXPECT_EQ(w, 0u);
    r.setWolfsonRegister(1, 2, 99);
    EXPECT_TRUE(r.getWolfsonRegister(1, 2, w));
    EXPECT_EQ(w, 99u);
}

TEST_F(ServerRegistry, NonStringValuesAndLongTextAreHandled) {
    CFPreferencesSetValue(CFSTR("Data"), CFSTR("x"), CFSTR("com.korvex.hx5100.hal"),
                          kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
    int n = 5;
    CFNumberRef num = CFNumberCreate(nullptr, kCFNumberIntType, &n);
    CFPreferencesSetValue(CFSTR("Number"), num, CFSTR("com.korvex.hx5100.hal"),
                          kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
    CFRelease(num);
    CFPreferencesSetValue(CFSTR("Huge"), CFSTR("99999999999"), CFSTR("com.korvex.hx5100.hal"),
                          kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
    qnas::OSXAsioRegistry r(CFSTR("com.korvex.hx5100"));
    UInt32 v = 3;
    EXPECT_FALSE(r.getUInt32Value(v, "Number")); // a number that is not text: absent
    EXPECT_EQ(v, 0u);
    CFStringRef s = CFSTR("untouched");
    r.getStringValue(s, "Number");
    EXPECT_EQ(s, nullptr);
    SInt32 huge = 0;
    EXPECT_TRUE(r.getUInt32Value(reinterpret_cast<UInt32&>(huge), "Huge"));
    EXPECT_EQ(huge, INT32_MAX); // saturates
}

TEST_F(ServerRegistry, AjExtOnAnEmptyDomain) {
    qnas::OSXAsioRegistry r(CFSTR("com.korvex.hx5100"));
    QnAjExtData ext{};
    std::memset(&ext, 0x7F, sizeof ext);
    r.loadAjExt(ext);
    EXPECT_EQ(ext.mClockSource, 0u);
    EXPECT_EQ(ext.mUSB1Mode, 0u);
    EXPECT_EQ(ext.mDigitalOutMode, 0u);
    EXPECT_EQ(ext.mDigitalOutSelector, 0u);
    EXPECT_EQ(ext.mRoutingIn[0], 0u);
    EXPECT_EQ(ext.mRoutingIn[1], 1u);
    EXPECT_EQ(ext.mRoutingIn[2], 2u);
    EXPECT_EQ(ext.mRoutingOut[0], 0u);
    EXPECT_EQ(ext.mRoutingOut[1], 1u);
}

TEST_F(ServerRegistry, SorvikMappingWithOnlyInputs) {
    qnas::OSXAsioRegistry r(CFSTR("com.korvex.hx5100"));
    for (int i = 0; i < 8; ++i) {
        char key[32];
        std::snprintf(key, sizeof key, "Sorvik_InputMap_%d", i);
        r.setUInt32Value(UInt32(i + 10), key);
    }
    QN_Sorvik_ChannelMap map{};
    EXPECT_FALSE(r.getSorvikMapping(map));
    EXPECT_EQ(map.mEInputMap[3], 13);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(map.mEOutputMap[i], 255);
    QN_Sorvik_ConfigAndMap record{};
    record.cConfig.samplerate = 48000;
    for (int i = 0; i < 8; ++i)
        record.cMap.mEOutputMap[i] = i;
    EXPECT_TRUE(r.setSorvikConfigAndMapping(record, nullptr)); // the host keeps that one
    EXPECT_FALSE(r.getSorvikMapping(map));
    EXPECT_TRUE(r.setSorvikConfigAndMapping(record));
    EXPECT_TRUE(r.getSorvikMapping(map));
    EXPECT_EQ(map.mEOutputMap[6], 6);
    UInt32 rate = 0;
    EXPECT_TRUE(r.getUInt32Value(rate, "Sorvik_SampleRate"));
    EXPECT_EQ(rate, 48000u);
}

TEST_F(ServerRegistry, BlocksOfExactlyTheirSize) {
    qnas::OSXAsioRegistry r(CFSTR("com.korvex.hx5100"));
    std::vector<UInt8> reverb(1536, 0x42);
    r.setReverbBuffers(reverb.data());
    hx::test::GuardedBuffer out(1536);
    EXPECT_TRUE(r.getReverbBuffers(out.data()));
    EXPECT_EQ(out.data()[1535], 0x42);
    std::vector<UInt8> big(2000, 0x99);
    CFDataRef data = CFDataCreate(nullptr, big.data(), CFIndex(big.size()));
    CFPreferencesSetValue(CFSTR("ReverbBuffers"), data, CFSTR("com.korvex.hx5100.hal"),
                          kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
    CFRelease(data);
    std::memset(out.data(), 0x5A, 1536);
    EXPECT_FALSE(r.getReverbBuffers(out.data()));
    EXPECT_EQ(out.data()[0], 0x5A);
    EXPECT_EQ(out.data()[1535], 0x5A);
    hx::test::GuardedBuffer mixer(64);
    EXPECT_FALSE(r.getMixerBuffer(mixer.data()));
}

// What this build writes, the device layer's build reads in another
// process, and the reverse.
TEST_F(ServerRegistry, SharedWithTheDeviceLayerBuild) {
    {
        qnas::OSXAsioRegistry r(CFSTR("com.korvex.hx5100"));
        r.setClockSource(3);
        r.setWolfsonRegister(0, 7, 0x1F);
        r.setMixerMode(2);
    }
    EXPECT_TRUE(hx::cftest::inOtherProcess([] {
        OSXAsioRegistry other(CFSTR("com.korvex.hx5100"));
        uint32_t reg = 0;
        int32_t mode = 0;
        const bool ok = other.getClockSource() == 3 && other.getWolfsonRegister(0, 7, reg) &&
                        reg == 0x1F && other.getMixerMode(mode) && mode == 2;
        other.setDigitalOutMode(4);
        other.setRouting(1, 2, 6);
        return ok;
    }));
    hx::cf::resetPreferences();
    qnas::OSXAsioRegistry r(CFSTR("com.korvex.hx5100"));
    QnAjExtData ext{};
    r.loadAjExt(ext);
    EXPECT_EQ(ext.mDigitalOutMode, 4u);
    EXPECT_EQ(ext.mClockSource, 3u);
    UInt32 routing = 0;
    EXPECT_TRUE(r.getRouting(1, 2, routing));
    EXPECT_EQ(routing, 6u);
}

} // namespace
