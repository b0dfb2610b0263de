// The device's stream and control objects through the device's property
// entries: presence by scope and element, settability and sizes, reads at
// every room between guard bytes, values, writes and the configuration
// changes and notices they lead to, products with their own rules.
#include <cmath>
#include <set>
#include <string>

#include "tests/plugins/server/ServerDeviceFixture.h"

using namespace servertest;

namespace {

enum Obj { InStream, OutStream, InVolume, OutVolume, InSource, OutSource, InMute, OutMute };

const UInt32 kStreamSelectors[] = {fcc("ltnc"), fcc("pft "), fcc("pfta"), fcc("sact"), fcc("schn"),
                                   fcc("sdir"), fcc("sfma"), fcc("sfmt"), fcc("term")};
const UInt32 kControlSelectors[] = {fcc("celm"), fcc("cscp"), fcc("scai"), fcc("scci"),
                                    fcc("scin"), fcc("lcdr"), fcc("lcds"), fcc("lcdv"),
                                    fcc("lcsd"), fcc("lcsv"), fcc("bcvl")};
const UInt32 kBaseSelectors[] = {fcc("bcls"), fcc("clas"), fcc("stdv"), fcc("ownd")};
const UInt32 kUnknownSelectors[] = {fcc("fsiz"), fcc("QNrt"), fcc("QnFW"), 0x7A9B3C11};

// What each object has in global scope, element 0 (the fixture: input
// volume per channel, output volume master-only, a mute both ways).
std::set<UInt32> present(Obj o) {
    std::set<UInt32> s(std::begin(kBaseSelectors), std::end(kBaseSelectors));
    if (o <= OutStream) {
        s.insert(std::begin(kStreamSelectors), std::end(kStreamSelectors));
        return s;
    }
    s.insert({fcc("celm"), fcc("cscp")});
    if (o == InSource || o == OutSource) s.insert({fcc("scai"), fcc("scci"), fcc("scin")});
    if (o == InVolume) s.insert({fcc("lcdr"), fcc("lcds"), fcc("lcdv"), fcc("lcsd"), fcc("lcsv")});
    if (o == InMute || o == OutMute) s.insert(fcc("bcvl"));
    return s;
}

class StreamControl : public ServerDevice {
protected:
    AudioObjectID object(Obj o) const { return device->subObjectID(int(o)); }
};

} // namespace

TEST_F(StreamControl, EverySelectorIsPresentOnlyInGlobalScopeAtElementZero) {
    const AudioObjectPropertyScope scopes[] = {fcc("glob"), fcc("inpt"), fcc("outp"), fcc("ptru"),
                                               fcc("abcd")};
    const AudioObjectPropertyElement elements[] = {0, 1, 5};
    std::vector<UInt32> all;
    all.insert(all.end(), std::begin(kStreamSelectors), std::end(kStreamSelectors));
    all.insert(all.end(), std::begin(kBaseSelectors), std::end(kBaseSelectors));
    all.insert(all.end(), std::begin(kUnknownSelectors), std::end(kUnknownSelectors));
    all.insert(all.end(), std::begin(kControlSelectors), std::end(kControlSelectors));
    for (int o = InStream; o <= OutMute; ++o) {
        const std::set<UInt32> has = present(Obj(o));
        for (UInt32 selector : all)
            for (auto scope : scopes)
                for (auto element : elements) {
                    const bool expected =
                        has.count(selector) && scope == fcc("glob") && element == 0;
                    const AudioObjectPropertyAddress a{selector, scope, element};
                    EXPECT_EQ(device->HasProperty(object(Obj(o)), 0, a), expected)
                        << "object " << o << " selector " << std::hex << selector << " scope "
                        << scope << " element " << element;
                }
    }
}

TEST_F(StreamControl, SettabilityAndSizesFollowTheTable) {
    const OSStatus who = kAudioHardwareUnknownPropertyError;
    struct Row {
        Obj object;
        UInt32 selector;
        OSStatus settableStatus; // 0: the flag below
        bool settable;
        UInt32 size;
    };
    const UInt32 formats = device->logic().getStreamFormatNum(false, true);
    ASSERT_GT(formats, 0u);
    const Row rows[] = {
        {OutStream, fcc("sfmt"), 0, true, 40},
        {OutStream, fcc("pft "), 0, true, 40},
        {InStream, fcc("sact"), 0, true, 4},
        {InStream, fcc("ltnc"), 0, false, 4},
        {InStream, fcc("schn"), 0, false, 4},
        {OutStream, fcc("sdir"), 0, false, 4},
        {OutStream, fcc("term"), 0, false, 4},
        {OutStream, fcc("pfta"), 0, false, 56 * formats},
        {OutStream, fcc("sfma"), 0, false, 56 * formats},
        {OutStream, fcc("clas"), 0, false, 4},
        {OutStream, fcc("ownd"), 0, false, 0},
        {OutStream, fcc("fsiz"), who, false, 0},
        {OutStream, fcc("lcsv"), who, false, 0},
        {InVolume, fcc("lcdr"), 0, true, 16},
        {InVolume, fcc("lcsv"), 0, true, 4},
        {InVolume, fcc("lcdv"), 0, true, 4},
        {InVolume, fcc("lcsd"), 0, true, 4},
        {InVolume, fcc("lcds"), 0, true, 4},
        {OutVolume, fcc("lcsv"), 0, false, 4}, // master-only: no element 1
        {InVolume, fcc("celm"), 0, false, 4},
        {InVolume, fcc("cscp"), 0, false, 4},
        {InVolume, fcc("scci"), who, false, 0},
        {InSource, fcc("scci"), 0, true, 4},
        {InSource, fcc("scai"), 0, true, 12},
        {OutSource, fcc("scai"), 0, true, 4},
        {InSource, fcc("scin"), 0, true, 8},
        {InMute, fcc("bcvl"), 0, true, 4},
        {OutMute, fcc("bcvl"), 0, true, 4},
        {InMute, fcc("lcsv"), who, false, 0},
        {InMute, fcc("QnFW"), who, false, 0},
    };
    for (const Row& r : rows) {
        const AudioObjectPropertyAddress a = global(r.selector);
        bool settable = false;
        UInt32 size = 0;
        EXPECT_EQ(status([&] { settable = device->IsPropertySettable(object(r.object), 0, a); }),
                  r.settableStatus)
            << std::hex << r.selector;
        EXPECT_EQ(
            status([&] { size = device->GetPropertyDataSize(object(r.object), 0, a, 0, nullptr); }),
            r.settableStatus)
            << std::hex << r.selector;
        if (r.settableStatus) continue;
        EXPECT_EQ(settable, r.settable) << std::hex << r.selector;
        EXPECT_EQ(size, r.size) << std::hex << r.selector;
    }
    // No object of this device: '!obj' from all five.
    const AudioObjectPropertyAddress a = global(fcc("clas"));
    const AudioObjectID stranger = 0x7777;
    UInt32 written = 0, value = 0;
    EXPECT_EQ(status([&] { device->HasProperty(stranger, 0, a); }), kAudioHardwareBadObjectError);
    EXPECT_EQ(status([&] { device->IsPropertySettable(stranger, 0, a); }),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(status([&] { device->GetPropertyDataSize(stranger, 0, a, 0, nullptr); }),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(get(stranger, fcc("clas"), 4, &value, written), kAudioHardwareBadObjectError);
    EXPECT_EQ(set32(stranger, fcc("sact"), 1), kAudioHardwareBadObjectError);
}

// Every readable value at rooms 0, needed - 1, needed and needed + 16
// between guard bytes; with less than needed, '!siz' (the list selectors
// write what fits), never a byte outside the room; a null out is refused.
TEST_F(StreamControl, ReadsAtEveryRoomKeepTheGuardBytes) {
    struct Row {
        Obj object;
        UInt32 selector;
        UInt32 needed;
        bool list; // writes min(room / entry, count) entries
        UInt32 entry;
    };
    const UInt32 formats = device->logic().getStreamFormatNum(true, true);
    const Row rows[] = {
        {InStream, fcc("clas"), 4, false, 0},
        {InStream, fcc("bcls"), 4, false, 0},
        {InStream, fcc("stdv"), 4, false, 0},
        {InStream, fcc("ltnc"), 4, false, 0},
        {InStream, fcc("sact"), 4, false, 0},
        {InStream, fcc("schn"), 4, false, 0},
        {InStream, fcc("sdir"), 4, false, 0},
        {InStream, fcc("term"), 4, false, 0},
        {InStream, fcc("pft "), 40, false, 0},
        {OutStream, fcc("sfmt"), 40, false, 0},
        {InStream, fcc("pfta"), 56 * formats, true, 56},
        {InStream, fcc("sfma"), 56 * formats, true, 56},
        {InVolume, fcc("lcsv"), 4, false, 0},
        {InVolume, fcc("lcdv"), 4, false, 0},
        {InVolume, fcc("lcsd"), 4, false, 0},
        {InVolume, fcc("lcds"), 4, false, 0},
        {InVolume, fcc("lcdr"), 16, false, 0},
        {InVolume, fcc("celm"), 4, false, 0},
        {OutVolume, fcc("cscp"), 4, false, 0},
        {InSource, fcc("scci"), 4, false, 0},
        {InSource, fcc("scai"), 12, true, 4},
        {InMute, fcc("bcvl"), 4, false, 0},
        {OutMute, fcc("clas"), 4, false, 0},
    };
    constexpr size_t kGuard = 16;
    for (const Row& r : rows)
        for (UInt32 room : {0u, r.needed - 1, r.needed, r.needed + 16}) {
            std::vector<uint8_t> buffer(kGuard + room + kGuard, 0xA5);
            UInt32 written = 0xFFFF;
            const OSStatus s =
                get(object(r.object), r.selector, room, buffer.data() + kGuard, written);
            const std::string what =
                "selector " + std::to_string(r.selector) + " room " + std::to_string(room);
            if (r.list) {
                EXPECT_EQ(s, 0) << what;
                EXPECT_EQ(written, std::min(room / r.entry, r.needed / r.entry) * r.entry) << what;
            } else if (room < r.needed) {
                EXPECT_EQ(s, kAudioHardwareBadPropertySizeError) << what;
            } else {
                EXPECT_EQ(s, 0) << what;
                EXPECT_EQ(written, r.needed) << what;
            }
            const bool writtenFits = s != 0 || written <= room;
            EXPECT_TRUE(writtenFits) << what;
            for (size_t i = 0; i < kGuard; ++i) {
                ASSERT_EQ(buffer[i], 0xA5) << what;
                ASSERT_EQ(buffer[kGuard + room + i], 0xA5) << what;
            }
        }
    UInt32 written = 0;
    EXPECT_EQ(get(inStream(), fcc("sdir"), 4, nullptr, written),
              kAudioHardwareIllegalOperationError);
    EXPECT_EQ(get(volume(true), fcc("lcsv"), 4, nullptr, written),
              kAudioHardwareIllegalOperationError);
}

TEST_F(StreamControl, StreamValues) {
    EXPECT_EQ(get32(inStream(), fcc("clas")), fcc("astr"));
    EXPECT_EQ(get32(inStream(), fcc("bcls")), fcc("aobj"));
    EXPECT_EQ(get32(outStream(), fcc("stdv")), id);
    EXPECT_EQ(get32(outStream(), fcc("schn")), 1u);
    EXPECT_EQ(get32(outStream(), fcc("term")), fcc("spdf"));
    EXPECT_EQ(get32(inStream(), fcc("sdir")), 1u);
    EXPECT_EQ(get32(outStream(), fcc("sdir")), 0u);
    EXPECT_EQ(get32(inStream(), fcc("ltnc")), 0u);
    for (UInt32 selector : {fcc("pft "), fcc("sfmt")}) {
        AudioStreamBasicDescription f{};
        UInt32 written = 0;
        ASSERT_EQ(get(outStream(), selector, 40, &f, written), 0);
        EXPECT_EQ(f.mFormatID, kAudioFormatLinearPCM);
        EXPECT_EQ(f.mSampleRate, 48000.0);
        EXPECT_EQ(f.mChannelsPerFrame, 2u);
        EXPECT_EQ(f.mBitsPerChannel, 24u);
    }
    // 'pfta' and 'sfma' agree with the device logic's list.
    const UInt32 count = device->logic().getStreamFormatNum(false, true);
    ASSERT_GE(count, 2u);
    std::vector<AudioStreamRangedDescription> expected(count), got(count);
    device->logic().getAvailableFormats(false, expected.data(), count, true, ~0u);
    UInt32 written = 0;
    ASSERT_EQ(get(outStream(), fcc("sfma"), 56 * count, got.data(), written), 0);
    EXPECT_EQ(std::memcmp(got.data(), expected.data(), 56 * count), 0);
    // The active flags are each stream's own.
    EXPECT_EQ(set32(inStream(), fcc("sact"), 0), 0);
    EXPECT_EQ(get32(inStream(), fcc("sact")), 0u);
    EXPECT_EQ(get32(outStream(), fcc("sact")), 1u);
    EXPECT_EQ(set32(inStream(), fcc("sact"), 7), 0);
    EXPECT_EQ(get32(inStream(), fcc("sact")), 1u);
}

TEST_F(StreamControl, FormatWritesQueueAPhysicalFormatChange) {
    serverHost();
    AudioStreamBasicDescription f{};
    UInt32 written = 0;
    ASSERT_EQ(get(inStream(), fcc("pft "), 40, &f, written), 0);
    // Refused before anything is queued.
    AudioStreamBasicDescription ac3 = f;
    ac3.mFormatID = fcc("cac3");
    EXPECT_EQ(set(inStream(), fcc("pft "), 40, &ac3), OSStatus(fcc("!dat")));
    EXPECT_EQ(set(inStream(), fcc("pft "), 39, &f), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(set(inStream(), fcc("sfmt"), 40, nullptr), OSStatus(0xE00002C9));
    EXPECT_EQ(set(inStream(), fcc("sact"), 4, nullptr), OSStatus(0xE00002C9));
    EXPECT_EQ(set(inStream(), fcc("sact"), 2, "\1"), kAudioHardwareBadPropertySizeError);
    for (Float64 rate : {Float64(std::nan("")), -48000.0, 400000.0, Float64(INFINITY)}) {
        AudioStreamBasicDescription bad = f;
        bad.mSampleRate = rate;
        EXPECT_EQ(set(inStream(), fcc("pft "), 40, &bad), OSStatus(fcc("!dat"))) << rate;
    }
    EXPECT_EQ(set(inStream(), fcc("sdir"), 4, "\0\0\0"), kAudioHardwareUnknownPropertyError);
    EXPECT_TRUE(requestedActions().empty());
    // A good one: action 3 with the input direction, performed by the host.
    EXPECT_EQ(set(inStream(), fcc("pft "), 40, &f), 0);
    EXPECT_EQ(performedActions(), std::vector<UInt64>{kQnConfigChangePhysicalFormat});
    EXPECT_EQ(device->outstandingConfigChanges(), 0u);
}

TEST_F(StreamControl, AnInactiveDeviceRefusesReadsDropsStreamWritesAndCarriesControlWrites) {
    serverHost();
    device->QnASPlugInObject::Deactivate();
    UInt32 value = 0, written = 0;
    EXPECT_EQ(get(inStream(), fcc("clas"), 4, &value, written), kAudioHardwareNotRunningError);
    EXPECT_EQ(get(volume(true), fcc("lcsv"), 4, &value, written), kAudioHardwareNotRunningError);
    AudioStreamBasicDescription f = device->copyPhysicalFormat(true);
    f.mFormatID = kAudioFormatLinearPCM;
    EXPECT_EQ(set(inStream(), fcc("pft "), 40, &f), 0);
    EXPECT_EQ(set32(inStream(), fcc("sact"), 0), 0);
    EXPECT_TRUE(device->streamActive(true));
    EXPECT_EQ(set32(mute(true), fcc("bcvl"), 1), 0);
    EXPECT_EQ(area->mControls.cIn.mEndpoints[0].mMute, 1);
    EXPECT_TRUE(requestedActions().empty());
}

TEST_F(StreamControl, ProductRules) {
    struct Row {
        uint16_t product;
        bool pftSettable;
        OSStatus pftWrite;
        size_t queued;
    };
    const Row rows[] = {
        {kKorvexHX5100ProductID, true, 0, 1},
        {kKorvexLX420ProductID, true, 0, 0}, // accepted and ignored
    };
    for (const Row& r : rows) {
        TearDown();
        host.reset();
        start(kKorvexVendorID, r.product);
        serverHost();
        AudioStreamBasicDescription f{};
        UInt32 written = 0;
        ASSERT_EQ(get(outStream(), fcc("pft "), 40, &f, written), 0);
        EXPECT_EQ(device->IsPropertySettable(outStream(), 0, global(fcc("pft "))), r.pftSettable);
        EXPECT_EQ(set(outStream(), fcc("pft "), 40, &f), r.pftWrite);
        EXPECT_EQ(requestedActions().size(), r.queued) << r.product;
    }
}

TEST_F(StreamControl, SorvikFarlanePhysicalFormatIsTheKernels) {
    TearDown();
    start(kSorvikVendorID, kSorvikFarlane1ProductIDs[0]);
    ASSERT_TRUE(device->logic().isSorvikFarlaneDevice());
    serverHost();
    EXPECT_FALSE(device->IsPropertySettable(outStream(), 0, global(fcc("pft "))));
    EXPECT_TRUE(device->IsPropertySettable(outStream(), 0, global(fcc("sfmt"))));
    AudioStreamBasicDescription f{};
    UInt32 written = 0;
    ASSERT_EQ(get(outStream(), fcc("pft "), 40, &f, written), 0);
    EXPECT_EQ(set(outStream(), fcc("pft "), 40, &f), kAudioHardwareUnsupportedOperationError);
    EXPECT_TRUE(requestedActions().empty());
}

TEST_F(StreamControl, ControlIdentity) {
    struct Row {
        Obj object;
        UInt32 clas, bcls, scope;
    };
    const Row rows[] = {
        {InVolume, fcc("vlme"), fcc("levl"), fcc("inpt")},
        {OutVolume, fcc("vlme"), fcc("levl"), fcc("outp")},
        {InMute, fcc("mute"), fcc("togl"), fcc("inpt")},
        {OutMute, fcc("mute"), fcc("togl"), fcc("outp")},
        {InSource, fcc("dsrc"), fcc("slct"), fcc("inpt")},
        {OutSource, fcc("dsrc"), fcc("slct"), fcc("outp")},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(get32(object(r.object), fcc("clas")), r.clas);
        EXPECT_EQ(get32(object(r.object), fcc("bcls")), r.bcls);
        EXPECT_EQ(get32(object(r.object), fcc("cscp")), r.scope);
        EXPECT_EQ(get32(object(r.object), fcc("celm")), 0u);
        EXPECT_EQ(get32(object(r.object), fcc("stdv")), id);
    }
}

TEST_F(StreamControl, VolumeReadsWritesAndConversions) {
    serverHost();
    XsEndpoint& line = area->mControls.cIn.mEndpoints[0];
    line.mVolumes[0].mCur = -48 * 256;
    line.mVolumes[1].mCur = -48 * 256;
    Float32 v = 0;
    UInt32 written = 0;
    ASSERT_EQ(get(volume(true), fcc("lcsv"), 4, &v, written), 0);
    EXPECT_FLOAT_EQ(v, 0.5f);
    ASSERT_EQ(get(volume(true), fcc("lcdv"), 4, &v, written), 0);
    EXPECT_FLOAT_EQ(v, -48.0f);
    // A scalar sets both channels.
    const Float32 quarter = 0.25f;
    EXPECT_EQ(set(volume(true), fcc("lcsv"), 4, &quarter), 0);
    EXPECT_EQ(line.mVolumes[0].mCur, -72 * 256);
    EXPECT_EQ(line.mVolumes[1].mCur, -72 * 256);
    // Decibels land in element 1's range as a scalar; NaN is the bottom.
    const Float32 dB = -24.0f;
    EXPECT_EQ(set(volume(true), fcc("lcdv"), 4, &dB), 0);
    EXPECT_EQ(line.mVolumes[0].mCur, -24 * 256);
    EXPECT_EQ(line.mVolumes[1].mCur, -24 * 256);
    const Float32 nan = std::nanf("");
    EXPECT_EQ(set(volume(true), fcc("lcdv"), 4, &nan), 0);
    EXPECT_EQ(line.mVolumes[0].mCur, -96 * 256);
    EXPECT_EQ(set(volume(true), fcc("lcsv"), 3, &quarter), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(set(volume(true), fcc("lcsv"), 4, nullptr), OSStatus(0xE00002C9));
    EXPECT_EQ(set(volume(true), fcc("lcdr"), 4, &quarter), kAudioHardwareUnknownPropertyError);
    const std::vector<UInt32> expected = {fcc("lcsv"), fcc("lcdv"), fcc("lcsv"),
                                          fcc("lcdv"), fcc("lcsv"), fcc("lcdv")};
    EXPECT_EQ(notices(volume(true)), expected);
    // Conversions in place, clamped, NaN as the lower bound.
    struct Conversion {
        UInt32 selector;
        Float32 in, out;
    };
    CAVolumeCurve curve;
    curve.AddRange(0, 96, -96.0f, 0.0f);
    const Conversion conversions[] = {
        {fcc("lcds"), -120.0f, curve.ConvertDBToScalar(-96.0f)},
        {fcc("lcds"), std::nanf(""), curve.ConvertDBToScalar(-96.0f)},
        {fcc("lcds"), -30.0f, curve.ConvertDBToScalar(-30.0f)},
        {fcc("lcsd"), 1.5f, curve.ConvertScalarToDB(1.0f)},
        {fcc("lcsd"), std::nanf(""), curve.ConvertScalarToDB(0.0f)},
        {fcc("lcsd"), 0.5f, curve.ConvertScalarToDB(0.5f)},
    };
    for (const Conversion& c : conversions) {
        Float32 value = c.in;
        ASSERT_EQ(get(volume(true), c.selector, 4, &value, written), 0);
        EXPECT_FLOAT_EQ(value, c.out) << c.in;
    }
    Float64 range[2] = {};
    ASSERT_EQ(get(volume(true), fcc("lcdr"), 16, range, written), 0);
    EXPECT_EQ(range[0], -96.0);
    EXPECT_EQ(range[1], 0.0);
}

TEST_F(StreamControl, MuteLivesOnTheMasterElement) {
    serverHost();
    EXPECT_EQ(get32(mute(true), fcc("bcvl")), 0u);
    EXPECT_EQ(set32(mute(true), fcc("bcvl"), 1), 0);
    EXPECT_EQ(area->mControls.cIn.mEndpoints[0].mMute, 1);
    EXPECT_EQ(get32(mute(true), fcc("bcvl")), 1u);
    EXPECT_EQ(area->mControls.cOut.mEndpoints[0].mMute, 0);
    EXPECT_EQ(set32(mute(false), fcc("bcvl"), 1), 0);
    EXPECT_EQ(area->mControls.cOut.mEndpoints[0].mMute, 1);
    EXPECT_EQ(notices(mute(true)), std::vector<UInt32>{fcc("bcvl")});
    EXPECT_EQ(notices(mute(false)), std::vector<UInt32>{fcc("bcvl")});
    EXPECT_EQ(set32(mute(true), fcc("lcsv"), 1), kAudioHardwareUnknownPropertyError);
}

TEST_F(StreamControl, DataSourceItemsNamesAndSelection) {
    serverHost();
    UInt32 items[4] = {};
    UInt32 written = 0;
    ASSERT_EQ(get(source(true), fcc("scai"), 8, items, written), 0);
    EXPECT_EQ(written, 8u);
    EXPECT_EQ(items[0], 1u);
    EXPECT_EQ(items[1], 2u);
    EXPECT_EQ(get32(source(true), fcc("scci")), 1u);
    // Names by item; above the count the last; 0 the product name.
    struct NameRow {
        UInt32 item;
        const char* name;
    };
    const NameRow names[] = {{1, "Line"}, {2, "Mic"}, {3, "S/PDIF"}, {9, "S/PDIF"}, {0, "HX-5100"}};
    for (const NameRow& n : names) {
        CFStringRef name = nullptr;
        ASSERT_EQ(get(source(true), fcc("scin"), 8, &name, written, 4, &n.item), 0);
        ASSERT_NE(name, nullptr);
        char text[64] = {};
        CFStringGetCString(name, text, sizeof text, kCFStringEncodingUTF8);
        EXPECT_STREQ(text, n.name);
        CFRelease(name);
    }
    CFStringRef name = nullptr;
    const UInt16 shortItem = 1;
    EXPECT_EQ(get(source(true), fcc("scin"), 8, &name, written, 2, &shortItem),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(get(source(true), fcc("scin"), 8, &name, written, 4, nullptr),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(name, nullptr);
    // Writes: items 1 .. count; the current item requests nothing.
    EXPECT_EQ(set32(source(true), fcc("scci"), 0), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(set32(source(true), fcc("scci"), 4), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(set32(source(true), fcc("scai"), 1), kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(set32(source(true), fcc("scin"), 1), kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(set32(source(true), fcc("scci"), 1), 0);
    EXPECT_TRUE(requestedActions().empty());
    EXPECT_EQ(set32(source(true), fcc("scci"), 3), 0);
    EXPECT_EQ(performedActions(), std::vector<UInt64>{kQnConfigChangeInputDataSource});
    EXPECT_EQ(get32(source(true), fcc("scci")), 3u);
    EXPECT_EQ(area->mControls.cIn.iSelector, 0x04);
}

TEST_F(StreamControl, TheMenuBarReadsTheProductName) {
    hx::sys::addFakeProcess(
        {4242, std::string("SystemUIServer\0", 15), "SystemUIServer", 'S', 501});
    const UInt32 item = 2;
    CFStringRef name = nullptr;
    UInt32 written = 0;
    ASSERT_EQ(get(source(true), fcc("scin"), 8, &name, written, 4, &item, 4242), 0);
    ASSERT_NE(name, nullptr);
    char text[64] = {};
    CFStringGetCString(name, text, sizeof text, kCFStringEncodingUTF8);
    EXPECT_STREQ(text, "HX-5100");
    CFRelease(name);
    hx::sys::clearFakeProcesses();
}

// Every stream and control write: a wrong size is '!siz' whatever the data,
// the right size with no data 0xE00002C9, and nothing is queued or changed.
TEST_F(StreamControl, NullDataIsRefusedAfterTheSizeCheck) {
    serverHost();
    struct Row {
        Obj object;
        UInt32 selector;
        UInt32 size;
    };
    const Row rows[] = {
        {InStream, fcc("sact"), 4}, {InStream, fcc("pft "), 40}, {OutStream, fcc("sfmt"), 40},
        {InVolume, fcc("lcsv"), 4}, {InVolume, fcc("lcdv"), 4},  {InMute, fcc("bcvl"), 4},
        {InSource, fcc("scci"), 4},
    };
    const XsDeviceControls before = area->mControls;
    for (const Row& r : rows) {
        EXPECT_EQ(set(object(r.object), r.selector, r.size + 1, nullptr),
                  kAudioHardwareBadPropertySizeError)
            << std::hex << r.selector;
        EXPECT_EQ(set(object(r.object), r.selector, r.size - 1, nullptr),
                  kAudioHardwareBadPropertySizeError)
            << std::hex << r.selector;
        EXPECT_EQ(set(object(r.object), r.selector, r.size, nullptr), OSStatus(0xE00002C9))
            << std::hex << r.selector;
    }
    EXPECT_EQ(std::memcmp(&before, &area->mControls, sizeof before), 0);
    EXPECT_TRUE(device->streamActive(true));
    EXPECT_TRUE(requestedActions().empty());
    EXPECT_TRUE(notices(volume(true)).empty());
}
