// The product table's invariants (each identity once, rows that agree with
// the families user space reads), what a row causes in the traits a device
// reads from it, the names it reports, and a scan of the driver's sources
// for identifiers compared outside the table and the traits.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "abi/DeviceFamilies.h"
#include "driver/engine/ZrDeviceTraits.h"
#include "driver/engine/ZrProductTable.h"

namespace {

using enum ZrProductList;

TEST(ProductTable, EachIdentityHasOneRow) {
    std::set<std::pair<uint16_t, uint16_t>> seen;
    for (const ZrProductRow& row : ZrProductRows())
        EXPECT_TRUE(seen.insert({row.vendor, row.product}).second)
            << std::hex << row.vendor << ":" << row.product;
}

TEST(ProductTable, MakerRowsCarryListsOnly) {
    for (const ZrProductRow& row : ZrProductRows()) {
        if (row.product != kZrAnyProduct) continue;
        SCOPED_TRACE(row.vendor);
        EXPECT_NE(row.lists, 0u);
        EXPECT_EQ(row.configFlags, 0u);
        EXPECT_EQ(row.descriptorQuirks, 0u);
        EXPECT_FALSE(row.fixedAlternates.present);
        EXPECT_EQ(row.channelPair, nullptr);
        EXPECT_EQ(row.productName, nullptr);
        EXPECT_FALSE(row.matched);
    }
}

// The lists both sides read: a row is on the list exactly when the family
// names its identity (the bulk protocol's list adds the kernel's own
// products to the shared family).
TEST(ProductTable, RowsAgreeWithTheSharedFamilies) {
    struct Shared {
        ZrProductList list;
        DeviceFamily family;
        bool exact;
    };
    const Shared shared[] = {
        {QuarnelBulk, DeviceFamilies::kQuarnelBulk, false},
        {QuarnelBulkInIsocOut, DeviceFamilies::kQuarnelBulkInIsocOut, true},
        {MRW30, DeviceFamilies::kMRW30, true},
        {Tolvane, DeviceFamilies::kTolvane, true},
        {HalvardTrunk, DeviceFamilies::kTrunk, true},
        {Trunk2, DeviceFamilies::kTrunk2, true},
    };
    for (const Shared& s : shared) {
        SCOPED_TRACE(int(s.list));
        for (const DeviceFamilyMember& m : s.family)
            EXPECT_TRUE(ZrProductRowFor(m.vendor, m.product).has(s.list))
                << std::hex << m.vendor << ":" << m.product;
        if (!s.exact) continue;
        for (const ZrProductRow& row : ZrProductRows()) {
            if (row.has(s.list)) {
                EXPECT_TRUE(DeviceFamilies::contains(s.family, row.vendor, row.product))
                    << std::hex << row.vendor << ":" << row.product;
            }
        }
    }
    // The mixer-mode family is the two mixer-mode lists.
    for (const ZrProductRow& row : ZrProductRows())
        EXPECT_EQ(row.has(MixerModeFirst) || row.has(MixerModeSecond),
                  DeviceFamilies::contains(DeviceFamilies::kMixerMode, row.vendor, row.product))
            << std::hex << row.vendor << ":" << row.product;
}

TEST(ProductTable, SorvikRowsAreTheTwoGenerations) {
    size_t first = 0, second = 0, pairs = 0;
    for (const ZrProductRow& row : ZrProductRows()) {
        SCOPED_TRACE(row.product);
        EXPECT_EQ(row.has(SorvikFarlane1),
                  DeviceFamilies::isSorvikFarlane1(row.vendor, row.product));
        EXPECT_EQ(row.has(SorvikFarlane2),
                  DeviceFamilies::isSorvikFarlane2(row.vendor, row.product));
        EXPECT_EQ(row.has(SorvikFarlane2), (row.configFlags & kZrProductSorvikFarlane) != 0);
        first += row.has(SorvikFarlane1);
        second += row.has(SorvikFarlane2);
        if (row.channelPair) {
            ++pairs;
            EXPECT_TRUE(row.has(SorvikFarlane2));
            EXPECT_EQ(row.channelPair->product, row.product);
        }
    }
    EXPECT_EQ(first, std::size(kSorvikFarlane1ProductIDs));
    EXPECT_EQ(second, std::size(kSorvikFarlane2ProductIDs));
    EXPECT_EQ(pairs, std::size(kSorvikFarlane2ChannelPairs));
}

TEST(ProductTable, MatchedRowsStartWithTheHX5100) {
    std::vector<const ZrProductRow*> matched;
    for (const ZrProductRow& row : ZrProductRows())
        if (row.matched) matched.push_back(&row);
    ASSERT_FALSE(matched.empty());
    EXPECT_EQ(matched[0]->vendor, kKorvexVendorID);
    EXPECT_EQ(matched[0]->product, kKorvexHX5100ProductID);
    // Every class-compliant product the device controls know is matched.
    for (uint16_t p : {kCadenzaTypicalProductID, kCadenzaMeterProductID})
        EXPECT_TRUE(ZrProductRowFor(kCadenzaVendorID, p).matched);
    EXPECT_TRUE(ZrProductRowFor(kTrunkVendorID, kTrunk2ProductID).matched);
}

// What a row causes in the traits a device reads once.
TEST(DeviceTraits, AMakersRowReachesEveryProductOfTheMaker) {
    // Every Kestrel device takes the start's SET_CUR; the Teslin one only
    // by its own row.
    EXPECT_TRUE(ZrReadDeviceTraits(kKestrelVendorID, 0x0777, 0).has(StartSetCur02FF));
    EXPECT_TRUE(ZrReadDeviceTraits(kKestrelVendorID, kKestrelProductID, 0).has(StartSetCur02FF));
    EXPECT_TRUE(ZrReadDeviceTraits(kTeslinVendorID, kTeslinT10ProductID, 0).has(StartSetCur02FF));
    EXPECT_FALSE(ZrReadDeviceTraits(kTeslinVendorID, kTeslinT11ProductID, 0).has(StartSetCur02FF));
    // The maker row adds to the product's own lists.
    const ZrDeviceTraits k1 = ZrReadDeviceTraits(kKestrelVendorID, kKestrelProductID, 0);
    EXPECT_TRUE(k1.has(NeverReEnumerated));
    EXPECT_TRUE(k1.hasQuirk(kQuirkInputOn1));
    EXPECT_TRUE(ZrReadDeviceTraits(kKorvexVendorID, 0x7777, 0).has(KorvexInterfaces));
    EXPECT_FALSE(ZrReadDeviceTraits(kQuarnelVendorID, 0x7777, 0).has(KorvexInterfaces));
}

TEST(DeviceTraits, RowFieldsWithAConditionOfTheirOwn) {
    // Isochronous both ways at the row's release only.
    EXPECT_TRUE(ZrReadDeviceTraits(kKsvVendorID, kKsv0ProductID, 0x0300).isocBothWays());
    EXPECT_FALSE(ZrReadDeviceTraits(kKsvVendorID, kKsv0ProductID, 0x0301).isocBothWays());
    EXPECT_FALSE(ZrReadDeviceTraits(kKsvVendorID, 0x0009, 0x0300).isocBothWays());
    // Re-enumeration: never for the listed, from firmware 1.5.1.0 on for one.
    const ZrDeviceTraits lx220 = ZrReadDeviceTraits(kKorvexVendorID, kKorvexLX220ProductID, 0);
    EXPECT_FALSE(lx220.neverReEnumerated(0x010500FF));
    EXPECT_TRUE(lx220.neverReEnumerated(0x01050100));
    EXPECT_TRUE(ZrReadDeviceTraits(kBravaVendorID, kBravaB3ProductID, 0).neverReEnumerated(0));
    EXPECT_FALSE(ZrReadDeviceTraits(kBravaVendorID, kBravaB2ProductID, 0).neverReEnumerated(~0u));
    // No tolerance at 48 and 96 kHz for the exact clock.
    const ZrDeviceTraits exact = ZrReadDeviceTraits(kHarlowVendorID, kHarlowExactClockProductID, 0);
    EXPECT_TRUE(exact.exactClockAt(48000));
    EXPECT_TRUE(exact.exactClockAt(96000));
    EXPECT_FALSE(exact.exactClockAt(44100));
    EXPECT_FALSE(
        ZrReadDeviceTraits(kHarlowVendorID, kHarlowStrictInputH2ProductID, 0).exactClockAt(48000));
}

TEST(DeviceTraits, SorvikChannelPairsAndRingHeaders) {
    struct Case {
        uint16_t product;
        bool own;
        uint32_t ins, outs, extra;
    };
    const Case cases[] = {
        {kSorvikFarlane2ProductIDs[0], true, 12, 2, 4},
        {kSorvikFarlane2ProductIDs[1], true, 8, 6, 4},
        {kSorvikFarlane2ProductIDs[2], true, 12, 12, 4},
        {kSorvikFarlane2ProductIDs[5], false, 4, 4, 4},
        {kSorvikFarlane1ProductIDs[0], false, 4, 4, 2},
        {0x00FE, false, 4, 4, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.product);
        const ZrDeviceTraits t = ZrReadDeviceTraits(kSorvikVendorID, c.product, 0);
        uint32_t ins = 4, outs = 4;
        EXPECT_EQ(t.channelPair(ins, outs), c.own);
        EXPECT_EQ(ins, c.ins);
        EXPECT_EQ(outs, c.outs);
        EXPECT_EQ(t.clientRingExtraBytes(), c.extra);
    }
    // Another maker's product of the same number is no Sorvik.
    const ZrDeviceTraits other =
        ZrReadDeviceTraits(kKorvexVendorID, kSorvikFarlane2ProductIDs[0], 0);
    EXPECT_FALSE(other.isSorvik());
    EXPECT_EQ(other.clientRingExtraBytes(), 0u);
}

TEST(DeviceTraits, AnIdentityReadsItsTraitsOnce) {
    const ZrDeviceIds ids(VIDPID(kTrunkVendorID, kTrunk2ProductID, 0x0100, nullptr));
    EXPECT_TRUE(ids.traits().has(Trunk2));
    EXPECT_TRUE(ids.traits().row->fixedAlternates.present);
    EXPECT_EQ(ids.traits().row->furtherAttempt.rate, 88200);
    const ZrDeviceIds none(VIDPID(0, 0, 0, nullptr));
    ASSERT_NE(none.traits().row, nullptr);
    EXPECT_EQ(none.traits().lists, 0u);
    EXPECT_FALSE(none.traits().row->fixedAlternates.present);
}

TEST(ProductNames, EmptyStringsGetDefaultsAndKnownProductsTheirNames) {
    char v[256] = {}, p[256] = {};
    driverOverwriteProductVendorStrings(v, p, 0x1111, 0x2222);
    EXPECT_STREQ(v, "Unknown vendor");
    EXPECT_STREQ(p, "USB Device");
    std::strcpy(v, "Maker");
    std::strcpy(p, "Thing");
    driverOverwriteProductVendorStrings(v, p, 0x1111, 0x2222);
    EXPECT_STREQ(v, "Maker");
    EXPECT_STREQ(p, "Thing");
    driverOverwriteProductVendorStrings(v, p, kKorvexVendorID, kKorvexHX5100ProductID);
    EXPECT_STREQ(v, "Korvex");
    EXPECT_STREQ(p, "HX-5100");
}

// ---- No identifier compared outside the table and the traits.

// A line with its comment and its string and character literals removed.
std::string codeOf(const std::string& line) {
    std::string out;
    char quote = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quote) {
            if (c == '\\')
                ++i;
            else if (c == quote)
                quote = 0;
            continue;
        }
        if (c == '"' || c == '\'') {
            quote = c;
            continue;
        }
        if (c == '/' && i + 1 < line.size() && line[i + 1] == '/') break;
        out += c;
    }
    return out;
}

// Whether a line of code compares a vendor or product identifier, or calls
// the shared identity predicates the traits stand for.
bool comparesIdentity(const std::string& code) {
    static const std::regex identity(R"(\bk\w*(VendorID|ProductIDs?)\b|\bm_u(Vendor|Product)\b|)"
                                     R"(\.(vendor|product)\(\)|\b(vendor|product)I[dD]\b|)"
                                     R"(\brow\.(vendor|product)\b)");
    static const std::regex predicate(R"(\bisDevice\(|\bisSorvikFarlane[12]\()");
    const bool compares =
        code.find("==") != std::string::npos || code.find("!=") != std::string::npos;
    return (compares && std::regex_search(code, identity)) || std::regex_search(code, predicate);
}

TEST(NoIdentityCompare, TheScanFindsComparisonsAndSkipsTextAndComments) {
    EXPECT_TRUE(comparesIdentity(codeOf("    if (vendor == kKorvexVendorID) {")));
    EXPECT_TRUE(comparesIdentity(codeOf("    return mDescriptor.m_uProduct != 3;")));
    EXPECT_TRUE(comparesIdentity(codeOf("    if (ids.product() == kLX310)")));
    EXPECT_TRUE(comparesIdentity(codeOf("    if (id.isDevice(v, p)) return;")));
    EXPECT_FALSE(comparesIdentity(codeOf("    IOLog(\"isSorvikFarlane2() == 1\\n\");")));
    EXPECT_FALSE(comparesIdentity(codeOf("    // vendor == kKorvexVendorID")));
    EXPECT_FALSE(comparesIdentity(codeOf("    sm.mVendor = d.m_uVendor;")));
    EXPECT_FALSE(comparesIdentity(codeOf("    if (isListed(ZrProductList::Tolvane)) {")));
}

TEST(NoIdentityCompare, TheDriverAsksTraitsNotIdentifiers) {
    namespace fs = std::filesystem;
    const fs::path root = fs::path(HX_SOURCE_DIR) / "driver";
    ASSERT_TRUE(fs::is_directory(root)) << root;
    // The table and the traits are where identifiers are compared. The
    // client harness chooses its simulated device by the identity its
    // caller names.
    const std::set<std::string> allowed = {
        "engine/ZrProductTable.cpp",
        "engine/ZrProductTable.h",
        "engine/ZrDeviceTraits.h",
    };
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const fs::path& path = entry.path();
        if (!entry.is_regular_file() || (path.extension() != ".cpp" && path.extension() != ".h"))
            continue;
        const std::string rel = fs::relative(path, root).generic_string();
        if (allowed.count(rel) || rel.rfind("clients/harness/", 0) == 0) continue;
        ++files;
        std::ifstream in(path);
        std::string line;
        for (int n = 1; std::getline(in, line); ++n)
            EXPECT_FALSE(comparesIdentity(codeOf(line))) << rel << ":" << n << ": " << line;
    }
    EXPECT_GT(files, 50u);
}

} // namespace
