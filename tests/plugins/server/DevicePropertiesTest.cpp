// The device's property table and reads: presence, settability and size of
// every selector in every scope and element, reads at every room between
// guard bytes, answers by product and by the reading process's name, the
// inactive device, and the device's own client operations.
#include "tests/plugins/server/DevicePropertyFixture.h"

#include <map>
#include <set>

#include "plugins/server/QnASCustomProperties.h"

using namespace hx::test;

namespace {

using DeviceProperties = DevicePropertyFixture;

// Where a selector is present.
enum class Where { Any, DirectionMain, DirectionAny, GlobalMain, Nowhere };

struct Row {
    const char* sel;
    Where where;
    bool settable;
    // Size by scope: glob, inpt, outp, other (-1: fails 'who?').
    int size[4];
};

constexpr int kWho = -1;

// The device's table (HX-5100, not output-only), the base object's four and
// unknown codes.
const Row kTable[] = {
    {"akin", Where::Any, false, {4, 4, 4, 4}},
    {"capp", Where::Any, false, {8, 8, 8, 8}},
    {"clkd", Where::Any, false, {4, 4, 4, 4}},
    {"csc#", Where::Any, false, {4, 4, 4, 4}},
    {"cscn", Where::Any, false, {32, 32, 32, 32}},
    {"csrc", Where::Any, true, {4, 4, 4, 4}},
    {"ctrl", Where::Any, false, {24, 24, 24, 24}},
    {"cust", Where::Any, false, {384, 384, 384, 384}},
    {"dch2", Where::DirectionMain, false, {8, 8, 8, 8}},
    {"dflt", Where::DirectionMain, false, {4, 4, 4, 4}},
    {"goin", Where::Any, false, {4, 4, 4, 4}},
    {"hidn", Where::Any, false, {4, 4, 4, 4}},
    {"icon", Where::Any, false, {8, 8, 8, 8}},
    {"lchn", Where::DirectionAny, false, {8, 8, 8, 8}},
    {"livn", Where::Any, false, {4, 4, 4, 4}},
    {"lmak", Where::Any, false, {8, 8, 8, 8}},
    {"lnam", Where::Any, false, {8, 8, 8, 8}},
    {"ltnc", Where::DirectionMain, false, {4, 4, 4, 4}},
    {"muid", Where::Any, false, {8, 8, 8, 8}},
    {"nsrt", Where::Any, true, {8, 8, 8, 8}},
    {"ownd", Where::Any, false, {32, 16, 16, 0}},
    {"ring", Where::Any, false, {4, 4, 4, 4}},
    {"saft", Where::DirectionMain, false, {4, 4, 4, 4}},
    {"sflt", Where::DirectionMain, false, {4, 4, 4, 4}},
    {"srnd", Where::DirectionAny, false, {52, 52, 52, 52}},
    {"stm#", Where::Any, false, {8, 4, 4, 0}},
    {"tran", Where::Any, false, {4, 4, 4, 4}},
    {"uid ", Where::Any, false, {8, 8, 8, 8}},
    {"bcls", Where::GlobalMain, false, {4, 4, 4, 4}},
    {"clas", Where::GlobalMain, false, {4, 4, 4, 4}},
    {"stdv", Where::GlobalMain, false, {4, 4, 4, 4}},
    {"fsiz", Where::Nowhere, false, {kWho, kWho, kWho, kWho}},
    {"QNrt", Where::Nowhere, false, {kWho, kWho, kWho, kWho}},
    {"QnFW", Where::Nowhere, false, {kWho, kWho, kWho, kWho}},
    {"x7q!", Where::Nowhere, false, {kWho, kWho, kWho, kWho}},
};

bool presentAt(Where w, AudioObjectPropertyScope scope, UInt32 element) {
    const bool direction = scope == kInpt || scope == kOutp;
    switch (w) {
    case Where::Any:
        return true;
    case Where::DirectionMain:
        return direction && element == 0;
    case Where::DirectionAny:
        return direction;
    case Where::GlobalMain:
        return scope == kGlob && element == 0;
    case Where::Nowhere:
        return false;
    }
    return false;
}

int scopeIndex(AudioObjectPropertyScope scope) {
    return scope == kGlob ? 0 : scope == kInpt ? 1 : scope == kOutp ? 2 : 3;
}

const AudioObjectPropertyScope kScopes[] = {kGlob, kInpt, kOutp, kPtru, kOther};
const UInt32 kElements[] = {0, 1, 5};

// Object-valued answers the reader must release.
const std::set<UInt32> kObjectAnswers = {
    code("capp"), code("icon"), code("lchn"), code("lmak"), code("lnam"),
    code("muid"), code("uid "), code("QnCS"), code("QnDM"), code("QnDS"),
    code("QnDV"), code("QnFV"), code("QnIL"), code("QnOL"), code("QnIO"),
    code("QnMM"), code("QnOS"), code("QnPC"), code("QnPD"), code("QnVD"),
    code("QnRM"), code("QnSN"), code("QnSV"), code("QnSW"), code("QnU1")};

} // namespace

TEST_F(DeviceProperties, TheTableAnswersPresenceSettabilityAndSizeEverywhere) {
    for (const Row& row : kTable)
        for (AudioObjectPropertyScope scope : kScopes)
            for (UInt32 element : kElements) {
                SCOPED_TRACE(std::string(row.sel) + " scope " + std::to_string(scope) +
                             " element " + std::to_string(element));
                const AudioObjectPropertyAddress a{code(row.sel), scope, element};
                EXPECT_EQ(device->HasProperty(id, kReaderPid, a),
                          presentAt(row.where, scope, element));
                bool settable = false;
                const OSStatus s =
                    statusOf([&] { settable = device->IsPropertySettable(id, kReaderPid, a); });
                const int size = row.size[scopeIndex(scope)];
                if (row.where == Where::Nowhere) {
                    EXPECT_EQ(s, kAudioHardwareUnknownPropertyError);
                } else {
                    EXPECT_EQ(s, 0);
                    EXPECT_EQ(settable, row.settable);
                }
                UInt32 got = 0;
                const OSStatus z = statusOf(
                    [&] { got = device->GetPropertyDataSize(id, kReaderPid, a, 0, nullptr); });
                if (size == kWho) {
                    EXPECT_EQ(z, kAudioHardwareUnknownPropertyError);
                } else {
                    EXPECT_EQ(z, 0);
                    EXPECT_EQ(got, UInt32(size));
                }
            }
}

TEST_F(DeviceProperties, All31CustomCodesArePresentEverywhereAndTheListedOnesSettable) {
    const std::set<UInt32> settable = {code("QnCS"), code("QnDM"), code("QnFM"), code("QnFP"),
                                       code("QnMB"), code("QnMF"), code("QnMM"), code("QnOS"),
                                       code("QnRB"), code("QnRM"), code("QnRo"), code("QnSt"),
                                       code("QnSV"), code("QnU1"), code("DbSI"), code("DbSO"),
                                       code("DbLI"), code("DbLO"), code("DbWA")};
    ASSERT_EQ(qnas::kCustomPropertyCount, 31u);
    for (const auto& entry : qnas::QnASCustomProperties)
        for (AudioObjectPropertyScope scope : kScopes)
            for (UInt32 element : kElements) {
                const AudioObjectPropertyAddress a{entry.mSelector, scope, element};
                EXPECT_TRUE(device->HasProperty(id, kReaderPid, a));
                EXPECT_EQ(device->IsPropertySettable(id, kReaderPid, a),
                          settable.count(entry.mSelector) == 1)
                    << entry.mSelector;
                EXPECT_EQ(device->GetPropertyDataSize(id, kReaderPid, a, 0, nullptr), 8u);
            }
}

TEST_F(DeviceProperties, AnIDOfNoObjectOfTheDeviceFailsAllFiveOperations) {
    const AudioObjectID stranger = device->subObjectID(7) + 100;
    const AudioObjectPropertyAddress a{fcc("nsrt"), kGlob, 0};
    UInt32 size = 0;
    Float64 rate = 48000;
    EXPECT_EQ(statusOf([&] { device->HasProperty(stranger, 0, a); }), kAudioHardwareBadObjectError);
    EXPECT_EQ(statusOf([&] { device->IsPropertySettable(stranger, 0, a); }),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(statusOf([&] { device->GetPropertyDataSize(stranger, 0, a, 0, nullptr); }),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(get(fcc("nsrt"), kGlob, 0, 8, size, &rate, kReaderPid, stranger),
              kAudioHardwareBadObjectError);
    EXPECT_EQ(statusOf([&] { device->SetPropertyData(stranger, 0, a, 0, nullptr, 8, &rate); }),
              kAudioHardwareBadObjectError);
    // The sub-objects are the device's: their identity answers.
    const AudioObjectPropertyAddress cls{fcc("clas"), kGlob, 0};
    for (int i = 0; i < 8; ++i)
        EXPECT_TRUE(device->HasProperty(device->subObjectID(i), 0, cls));
}

// Every readable selector at rooms 0, needed - 1, needed and needed + 16,
// written between guard bytes; null data 'nope'.
TEST_F(DeviceProperties, ReadsAtEveryRoomStayInsideTheirRoom) {
    struct ReadRow {
        const char* sel;
        AudioObjectPropertyScope scope;
        UInt32 needed;
        enum { Fixed, List, Quiet } shortRoom; // '!siz'; cut list; size 0 without error
    };
    const ReadRow rows[] = {
        {"akin", kGlob, 4, ReadRow::Quiet},   {"capp", kGlob, 8, ReadRow::Fixed},
        {"clkd", kGlob, 4, ReadRow::Fixed},   {"csc#", kGlob, 4, ReadRow::Fixed},
        {"csrc", kGlob, 4, ReadRow::Fixed},   {"ctrl", kGlob, 24, ReadRow::List},
        {"cust", kGlob, 384, ReadRow::Quiet}, {"dch2", kOutp, 8, ReadRow::Fixed},
        {"dflt", kInpt, 4, ReadRow::Fixed},   {"goin", kGlob, 4, ReadRow::Fixed},
        {"hidn", kGlob, 4, ReadRow::Fixed},   {"icon", kGlob, 8, ReadRow::Fixed},
        {"lchn", kInpt, 8, ReadRow::Fixed},   {"livn", kGlob, 4, ReadRow::Fixed},
        {"lmak", kGlob, 8, ReadRow::Fixed},   {"lnam", kGlob, 8, ReadRow::Fixed},
        {"ltnc", kOutp, 4, ReadRow::Fixed},   {"muid", kGlob, 8, ReadRow::Fixed},
        {"nsrt", kGlob, 8, ReadRow::Fixed},   {"ownd", kGlob, 32, ReadRow::List},
        {"ownd", kOutp, 16, ReadRow::List},   {"ring", kGlob, 4, ReadRow::Fixed},
        {"saft", kInpt, 4, ReadRow::Fixed},   {"sflt", kOutp, 4, ReadRow::Fixed},
        {"srnd", kOutp, 52, ReadRow::Fixed},  {"stm#", kGlob, 8, ReadRow::List},
        {"tran", kGlob, 4, ReadRow::Fixed},   {"uid ", kGlob, 8, ReadRow::Fixed},
        {"nsr#", kGlob, 32, ReadRow::List},   {"bcls", kGlob, 4, ReadRow::Fixed},
        {"QnCS", kGlob, 8, ReadRow::Fixed},   {"QnDM", kGlob, 8, ReadRow::Fixed},
        {"QnDS", kGlob, 8, ReadRow::Fixed},   {"QnDV", kGlob, 8, ReadRow::Fixed},
        {"QnFV", kGlob, 8, ReadRow::Fixed},   {"QnIL", kGlob, 8, ReadRow::Fixed},
        {"QnOL", kGlob, 8, ReadRow::Fixed},   {"QnIO", kGlob, 8, ReadRow::Fixed},
        {"QnMM", kGlob, 8, ReadRow::Fixed},   {"QnOS", kGlob, 8, ReadRow::Fixed},
        {"QnPC", kGlob, 8, ReadRow::Fixed},   {"QnPD", kGlob, 8, ReadRow::Fixed},
        {"QnVD", kGlob, 8, ReadRow::Fixed},   {"QnRM", kGlob, 8, ReadRow::Fixed},
        {"QnSN", kGlob, 8, ReadRow::Fixed},   {"QnSV", kGlob, 8, ReadRow::Fixed},
        {"QnSW", kGlob, 8, ReadRow::Fixed},   {"QnTy", kGlob, 8, ReadRow::Fixed},
        {"QnU1", kGlob, 8, ReadRow::Fixed},   {"QnFM", kGlob, 8, ReadRow::Fixed},
        {"QnSt", kGlob, 8, ReadRow::Fixed},
    };
    constexpr UInt32 kGuard = 32;
    for (const ReadRow& row : rows) {
        const UInt32 sel = code(row.sel);
        for (UInt32 room : {0u, row.needed - 1, row.needed, row.needed + 16}) {
            SCOPED_TRACE(std::string(row.sel) + " room " + std::to_string(room));
            std::vector<uint8_t> buffer(room + 2 * kGuard, 0xA5);
            UInt32 size = 0x7777;
            const OSStatus s = get(sel, row.scope, 0, room, size, buffer.data() + kGuard);
            const bool enough = room >= row.needed;
            if (enough) {
                EXPECT_EQ(s, 0);
                EXPECT_EQ(size, sel == code("cust") ? 372u : row.needed);
            } else if (row.shortRoom == ReadRow::Fixed) {
                EXPECT_EQ(s, kAudioHardwareBadPropertySizeError);
            } else {
                EXPECT_EQ(s, 0);
                EXPECT_LE(size, room);
                if (row.shortRoom == ReadRow::Quiet) {
                    EXPECT_EQ(size, 0u);
                }
            }
            EXPECT_TRUE(std::all_of(buffer.begin(), buffer.begin() + kGuard,
                                    [](uint8_t b) { return b == 0xA5; }));
            EXPECT_TRUE(std::all_of(buffer.end() - kGuard, buffer.end(),
                                    [](uint8_t b) { return b == 0xA5; }));
            if (s == 0 && size == 8 && kObjectAnswers.count(sel)) {
                CFTypeRef o;
                std::memcpy(&o, buffer.data() + kGuard, sizeof o);
                if (o) CFRelease(o);
            }
        }
        UInt32 size = 0;
        EXPECT_EQ(get(sel, row.scope, 0, row.needed, size, nullptr),
                  kAudioHardwareIllegalOperationError)
            << row.sel;
    }
}

TEST_F(DeviceProperties, TheWriteOnlyAndUnreadableCodes) {
    UInt32 size = 1234;
    uint8_t room[16] = {};
    EXPECT_EQ(get(fcc("QnRo"), kGlob, 0, 16, size, room), 0);
    EXPECT_EQ(size, 1234u); // left as it came
    for (const char* dbg : {"DbSI", "DbSO", "DbLI", "DbLO", "DbWA", "QNrt", "QnFW", "fsiz"})
        EXPECT_EQ(get(code(dbg), kGlob, 0, 16, size, room), kAudioHardwareUnknownPropertyError)
            << dbg;
    for (const char* wo : {"QnFP", "QnMB", "QnMF", "QnRB"}) {
        CFTypeRef o = reinterpret_cast<CFTypeRef>(uintptr_t(1));
        EXPECT_EQ(get(code(wo), kGlob, 0, 8, size, &o), 0);
        EXPECT_EQ(o, nullptr) << wo;
    }
}

TEST_F(DeviceProperties, ValuesOfTheStandardSelectors) {
    EXPECT_EQ(word(fcc("akin")), id);
    EXPECT_EQ(text(fcc("capp")), "com.korvex.hx5100.control");
    EXPECT_EQ(text(fcc("lmak")), "Korvex");
    EXPECT_EQ(text(fcc("uid ")), "KERNEL-UID_CA");
    EXPECT_EQ(text(fcc("muid")), "KERNEL-UID_CA");
    EXPECT_EQ(word(fcc("livn")), 1u);
    EXPECT_EQ(word(fcc("hidn")), 0u);
    EXPECT_EQ(word(fcc("clkd")), 0u);
    EXPECT_EQ(word(fcc("tran")), fcc("usb "));
    EXPECT_EQ(word(fcc("dflt"), kInpt), 1u);
    EXPECT_EQ(word(fcc("sflt"), kOutp), 1u);
    EXPECT_EQ(word(fcc("ring")), device->ringFrames());
    EXPECT_EQ(word(fcc("ltnc"), kOutp), device->getLatency(false));
    EXPECT_EQ(word(fcc("ltnc"), kInpt), device->getLatency(true));
    EXPECT_EQ(word(fcc("saft"), kInpt), device->getSafetyOffset(true));
    EXPECT_EQ(word(fcc("saft"), kOutp), device->getSafetyOffset(false));
    EXPECT_EQ(word(fcc("csrc")), 0u); // read from the kernel at start-up
    device->storeClockSource(-1);
    EXPECT_EQ(word(fcc("csrc")), 0xFFFFFFFFu);
    Float64 rate = 0;
    UInt32 size = 0;
    ASSERT_EQ(get(fcc("nsrt"), kGlob, 0, 8, size, &rate), 0);
    EXPECT_EQ(rate, 48000.0);
    UInt32 pair[2] = {};
    ASSERT_EQ(get(fcc("dch2"), kOutp, 0, 8, size, pair), 0);
    EXPECT_EQ(pair[0], 1u);
    EXPECT_EQ(pair[1], 2u);
    // Two channel descriptions, left and right.
    uint8_t layout[52];
    ASSERT_EQ(get(fcc("srnd"), kOutp, 0, 52, size, layout), 0);
    UInt32 head[3], label1, label2;
    std::memcpy(head, layout, 12);
    std::memcpy(&label1, layout + 12, 4);
    std::memcpy(&label2, layout + 32, 4);
    EXPECT_EQ(head[0], 0u);
    EXPECT_EQ(head[2], 2u);
    EXPECT_EQ(label1, 1u);
    EXPECT_EQ(label2, 2u);
    // The icon is a URL.
    CFTypeRef icon = object(fcc("icon"));
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(CFGetTypeID(icon), CFURLGetTypeID());
    CFRelease(icon);
}

TEST_F(DeviceProperties, ListsInTheirOrderCutToTheRoom) {
    UInt32 ids[8] = {}, size = 0;
    // 'ownd' in global scope with room for three.
    ASSERT_EQ(get(fcc("ownd"), kGlob, 0, 12, size, ids), 0);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(ids[0], device->streamID(true));
    EXPECT_EQ(ids[1], device->streamID(false));
    EXPECT_EQ(ids[2], device->subObjectID(2)); // input volume
    // 'ctrl': volumes, mutes, data sources.
    ASSERT_EQ(get(fcc("ctrl"), kGlob, 0, 32, size, ids), 0);
    EXPECT_EQ(size, 24u);
    const UInt32 controls[6] = {device->subObjectID(2), device->subObjectID(3),
                                device->subObjectID(6), device->subObjectID(7),
                                device->subObjectID(4), device->subObjectID(5)};
    EXPECT_EQ(std::memcmp(ids, controls, 24), 0);
    ASSERT_EQ(get(fcc("ownd"), kOutp, 0, 32, size, ids), 0);
    const UInt32 output[4] = {device->subObjectID(1), device->subObjectID(3),
                              device->subObjectID(7), device->subObjectID(5)};
    EXPECT_EQ(size, 16u);
    EXPECT_EQ(std::memcmp(ids, output, 16), 0);
    ASSERT_EQ(get(fcc("stm#"), kGlob, 0, 4, size, ids), 0);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(ids[0], device->streamID(true));
    ASSERT_EQ(get(fcc("stm#"), kPtru, 0, 32, size, ids), 0);
    EXPECT_EQ(size, 0u);
    // 'csc#' on a one-clock device: the words after the first stay 0xFFFFFFFF.
    ASSERT_EQ(get(fcc("csc#"), kGlob, 0, 16, size, ids), 0);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(ids[0], 0u);
    EXPECT_EQ(ids[1], 0xFFFFFFFFu);
    EXPECT_EQ(ids[3], 0xFFFFFFFFu);
}

TEST_F(DeviceProperties, TheCustomPropertyListNeedsRoomFor384Bytes) {
    std::vector<uint8_t> room(400, 0xA5);
    UInt32 size = 99;
    ASSERT_EQ(get(fcc("cust"), kGlob, 0, 383, size, room.data()), 0);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(room[0], 0xA5);
    ASSERT_EQ(get(fcc("cust"), kGlob, 0, 384, size, room.data()), 0);
    EXPECT_EQ(size, 372u);
    AudioServerPlugInCustomPropertyInfo last;
    std::memcpy(&last, room.data() + 360, 12);
    EXPECT_EQ(last.mSelector, fcc("DbWA"));
    EXPECT_EQ(last.mPropertyDataType, fcc("plst"));
    EXPECT_EQ(last.mQualifierDataType, 0u);
    EXPECT_EQ(room[372], 0xA5);
}

TEST_F(DeviceProperties, ChannelNamesAndClockSourceNames) {
    EXPECT_EQ(text(fcc("lchn"), kInpt, 1), "Analog 1"); // the product's own names
    EXPECT_EQ(text(fcc("lchn"), kOutp, 0), "Master OUT");
    setIdentity(kTrunkVendorID, kTrunk2ProductID);
    EXPECT_EQ(text(fcc("lchn"), kInpt, 1), "IN 1");
    EXPECT_EQ(text(fcc("lchn"), kOutp, 5), "OUT 5");
    struct Case {
        bool trunk2;
        UInt32 source;
        UInt32 outSize;
        const char* expect; // the output's bytes up to outSize
    };
    const Case cases[] = {
        {false, 0, 32, "Hardware"}, {false, 1, 32, "internal"}, {false, 1, 4, "inte"},
        {false, 0, 4, "Har"},       {false, 7, 32, ""},         {true, 0, 32, "Internal"},
        {true, 1, 32, "S/PDIF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.source) + (c.trunk2 ? " trunk2" : ""));
        setIdentity(c.trunk2 ? kTrunkVendorID : kKorvexVendorID,
                    c.trunk2 ? kTrunk2ProductID : kKorvexHX5100ProductID);
        char out[40];
        std::memset(out, 0x5A, sizeof out);
        UInt32 source = c.source;
        struct {
            void* in;
            UInt32 inSize;
            void* out;
            UInt32 outSize;
        } t{&source, 4, out, c.outSize};
        UInt32 size = 0;
        ASSERT_EQ(get(fcc("cscn"), kGlob, 0, 32, size, &t), 0);
        EXPECT_EQ(size, 32u);
        EXPECT_EQ(std::string(out, strnlen(out, c.outSize)), c.expect);
        EXPECT_EQ(out[c.outSize], 0x5A); // nothing past the output
    }
    // Trunk2 lists two clock sources.
    UInt32 ids[2] = {}, size = 0;
    ASSERT_EQ(get(fcc("csc#"), kGlob, 0, 8, size, ids), 0);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(ids[1], 1u);
    EXPECT_EQ(get(fcc("csc#"), kGlob, 0, 4, size, ids), kAudioHardwareBadPropertySizeError);
    // A short record, a null input or a short input: '!siz'.
    UInt32 source = 0;
    struct {
        void* in;
        UInt32 inSize;
        void* out;
        UInt32 outSize;
    } bad[] = {{nullptr, 4, nullptr, 0}, {&source, 3, nullptr, 0}};
    for (auto& t : bad)
        EXPECT_EQ(get(fcc("cscn"), kGlob, 0, 32, size, &t), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(get(fcc("cscn"), kGlob, 0, 31, size, &bad[0]), kAudioHardwareBadPropertySizeError);
}

TEST_F(DeviceProperties, ReadersByName) {
    struct Case {
        std::string name; // "" : a pid of no process
        OSStatus status;
        const char* lnam;
        UInt32 tran;
    };
    const Case cases[] = {
        {"xplatterx", kAudioHardwareNotRunningError, nullptr, 0},
        {"MixDeck", 0, "HX-5100_CoreAudio", fcc("usb ")},
        {"TrackStudio Express", 0, "HX-5100_CoreAudio", fcc("usb ")},
        {"Vinylo DJ", 0, "HX-5100_CoreAudio", fcc("usb ")},
        {"Cubase 12", 0, "HX-5100 (Core Audio)", fcc("othr")},
        {"cubase", 0, "HX-5100 (Core Audio)", fcc("usb ")},
        {"SystemUIServer", 0, "HX-5100 (Core Audio)", fcc("usb ")},
        {"", 0, "HX-5100 (Core Audio)", fcc("usb ")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const pid_t pid = c.name.empty() ? kUnknownPid : reader(c.name);
        CFTypeRef name = nullptr;
        UInt32 size = 0;
        ASSERT_EQ(get(fcc("lnam"), kGlob, 0, 8, size, &name, pid), c.status);
        if (c.status) {
            UInt32 w = 0;
            for (const char* sel : {"tran", "nsrt", "QnTy", "cust"})
                EXPECT_EQ(get(code(sel), kGlob, 0, 400, size, &w, pid), c.status) << sel;
            continue;
        }
        char buffer[64] = {};
        CFStringGetCString(static_cast<CFStringRef>(name), buffer, sizeof buffer,
                           kCFStringEncodingUTF8);
        CFRelease(name);
        EXPECT_STREQ(buffer, c.lnam);
        EXPECT_EQ(word(fcc("tran"), kGlob, pid), c.tran);
    }
}

TEST_F(DeviceProperties, AnswersByProduct) {
    // A product of the CoreAudio-suffix list: "_CoreAudio" for every reader.
    const DeviceFamilyMember suffixed = DeviceFamilies::kCoreAudioSuffix[0];
    setIdentity(suffixed.vendor, suffixed.product);
    EXPECT_EQ(text(fcc("lnam"), kGlob, 0, reader("SomeApp")), "HX-5100_CoreAudio");
    CFTypeRef n = object(fcc("QnPD"));
    SInt32 product = 0;
    CFNumberGetValue(static_cast<CFNumberRef>(n), kCFNumberSInt32Type, &product);
    CFRelease(n);
    EXPECT_EQ(product, SInt32(SInt16(suffixed.product)));
    // Trunk2: two clock sources.
    setIdentity(kTrunkVendorID, kTrunk2ProductID);
    const AudioObjectPropertyAddress a{fcc("csc#"), kGlob, 0};
    EXPECT_EQ(device->GetPropertyDataSize(id, kReaderPid, a, 0, nullptr), 8u);
    // Output-only: no input stream, input not the default.
    setIdentity(kKorvexVendorID, kKorvexHX5100ProductID);
    device->logic().setSpecFeature(10);
    ASSERT_TRUE(device->logic().isOutputOnly());
    EXPECT_EQ(word(fcc("dflt"), kInpt), 0u);
    EXPECT_EQ(word(fcc("dflt"), kOutp), 1u);
    for (const char* sel : {"stm#", "ownd"}) {
        const AudioObjectPropertyAddress in{code(sel), kInpt, 0};
        EXPECT_EQ(device->GetPropertyDataSize(id, kReaderPid, in, 0, nullptr), 0u) << sel;
        UInt32 ids[4], size = 77;
        ASSERT_EQ(get(code(sel), kInpt, 0, 16, size, ids), 0);
        EXPECT_EQ(size, 0u) << sel;
    }
    const AudioObjectPropertyAddress g{fcc("stm#"), kGlob, 0};
    EXPECT_EQ(device->GetPropertyDataSize(id, kReaderPid, g, 0, nullptr), 8u);
}

TEST_F(DeviceProperties, CustomValuesAreNewObjectsTheReaderOwns) {
    CFTypeRef type = object(fcc("QnTy"));
    ASSERT_NE(type, nullptr);
    char buffer[64] = {};
    CFStringGetCString(static_cast<CFStringRef>(type), buffer, sizeof buffer,
                       kCFStringEncodingUTF8);
    EXPECT_STREQ(buffer, "QuarnelAudioServerPluginType");
    CFRelease(type);
    // The firmware dictionary holds both keys, also without a version string.
    CFTypeRef fv = object(fcc("QnFV"));
    ASSERT_NE(fv, nullptr);
    ASSERT_EQ(CFGetTypeID(fv), CFDictionaryGetTypeID());
    EXPECT_NE(CFDictionaryGetValue(static_cast<CFDictionaryRef>(fv), CFSTR("versionString")),
              nullptr);
    EXPECT_NE(CFDictionaryGetValue(static_cast<CFDictionaryRef>(fv), CFSTR("versionNumber")),
              nullptr);
    CFRelease(fv);
    // Sample width: the larger resolution.
    CFTypeRef sw = object(fcc("QnSW"));
    SInt32 width = 0;
    CFNumberGetValue(static_cast<CFNumberRef>(sw), kCFNumberSInt32Type, &width);
    CFRelease(sw);
    EXPECT_EQ(width, 24);
    // 'QnIO': each read hands out its own reference; releasing it leaves
    // later reads intact.
    for (int i = 0; i < 3; ++i) {
        CFTypeRef io = object(fcc("QnIO"));
        if (io) {
            EXPECT_EQ(CFGetTypeID(io), CFDictionaryGetTypeID());
            EXPECT_GE(CFDictionaryGetCount(static_cast<CFDictionaryRef>(io)), 1);
            CFRelease(io);
        }
    }
    CFTypeRef again = object(fcc("QnIO"));
    ASSERT_NE(again, nullptr);
    EXPECT_NE(CFDictionaryGetValue(static_cast<CFDictionaryRef>(again), CFSTR("deviceUID")),
              nullptr);
    CFRelease(again);
}

TEST_F(DeviceProperties, AnInactiveDeviceAnswersTheTableButNoReads) {
    device->Deactivate();
    ASSERT_FALSE(device->IsActive());
    const AudioObjectPropertyAddress a{fcc("nsrt"), kGlob, 0};
    EXPECT_TRUE(device->HasProperty(id, kReaderPid, a));
    EXPECT_TRUE(device->IsPropertySettable(id, kReaderPid, a));
    EXPECT_EQ(device->GetPropertyDataSize(id, kReaderPid, a, 0, nullptr), 8u);
    hx::log::Capture log;
    UInt32 size = 0;
    uint8_t room[16];
    for (AudioObjectID object : {id, device->streamID(false), device->subObjectID(3)})
        EXPECT_EQ(get(fcc("clas"), kGlob, 0, 16, size, room, kReaderPid, object),
                  kAudioHardwareNotRunningError);
    EXPECT_NE(log.text().find("Device inactive, returning\n"), std::string::npos);
    // Writes are dropped without an error.
    service->clearCalls();
    const Float64 rate = 12345;
    EXPECT_EQ(set(fcc("nsrt"), 8, &rate), 0);
    EXPECT_EQ(set(fcc("nsrt"), 2, nullptr), 0);
    EXPECT_EQ(device->outstandingConfigChanges(), 0u);
    EXPECT_TRUE(service->calls().empty());
}

TEST_F(DeviceProperties, AddDeviceClientTakesTheTypeFromTheOwnProcessName) {
    struct Case {
        const char* own;
        int type;
    };
    const Case cases[] = {
        {"coreaudiod", 5},
        {"Audio MIDI Setup", 2},
        {"Korvex LX-420 Control", 7},
        {"Audacity", 9},
        {"SystemUIServer", 8},
        {"iTunes", 3},
        {"Digital Performer", 4},
        {"iChat", 6},
    };
    const auto runAs = [](const std::string& name) {
        hx::sys::clearFakeProcesses();
        hx::sys::addFakeProcess({getpid(), name, name, 'S', 501});
    };
    for (const Case& c : cases) {
        runAs(c.own);
        device->AddDeviceClient(nullptr);
        EXPECT_EQ(device->clientAppType(), c.type) << c.own;
    }
    // No match, or no name at all, leaves the type as it was; Remove does nothing.
    runAs("Unlisted");
    device->AddDeviceClient(nullptr);
    device->RemoveDeviceClient(nullptr);
    EXPECT_EQ(device->clientAppType(), 6);
    hx::sys::clearFakeProcesses();
    device->AddDeviceClient(nullptr);
    EXPECT_EQ(device->clientAppType(), 6);
}

TEST(ProcessNames, AGoneProcessGivesFalseAndAnEmptyNameALongNameIsCut) {
    char name[24];
    std::memset(name, 'x', sizeof name);
    EXPECT_FALSE(GetProcessNameFromPID(987655, name));
    EXPECT_EQ(name[0], 0);
    hx::sys::addFakeProcess({4712, "TrackStudio Express", "TrackStudio Express", 'S', 501});
    ASSERT_TRUE(GetProcessNameFromPID(4712, name));
    EXPECT_STREQ(name, "TrackStudio Expr"); // the first 16
    EXPECT_FALSE(GetProcessNameFromPID(4712, nullptr));
    hx::sys::clearFakeProcesses();
}
