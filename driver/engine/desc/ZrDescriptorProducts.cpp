#include "driver/engine/desc/ZrDescriptorProducts.h"

#include "abi/APIDeviceInfo.h"

namespace ZrDescriptorProducts {

namespace {
template <size_t N> bool inList(const VIDPID& id, uint16_t vendor, const uint16_t (&products)[N]) {
    if (id.vendor() != vendor) return false;
    for (uint16_t p : products)
        if (id.product() == p) return true;
    return false;
}
} // namespace

namespace {

constexpr uint16_t kAny = 0xFFFF;
using R = ZrCountsRule;

// One row per listed product (a release-specific row comes before the
// product's general one). Columns: identity, quirks, counts rule with its
// values, the further attempt, the final search's start counts, the
// (The second-generation Sorvik counts are the product table's.)
constexpr ZrDescriptorRow kRows[] = {
    // The hardware brand: the HX-5100, its sibling, LX880 and LX310.
    {kKorvexVendorID, kKorvexHX5100ProductID, kAny, kQuirkSynthesized, R::None, 0, 0, 0, 0, 0, 0, 0,
     0, 0, 0},
    {kKorvexVendorID, kKorvexHX5100SiblingProductID, kAny, kQuirkSynthesized, R::None, 0, 0, 0, 0,
     0, 0, 0, 0, 0, 0},
    {kKorvexVendorID, kKorvexLX880ProductID, kAny, kQuirkSynthesized, R::None, 0, 0, 0, 0, 0, 0, 0,
     0, 0, 0},
    {kKorvexVendorID, kKorvexLX310ProductID, kAny, kQuirkSynthesized, R::None, 0, 0, 0, 0, 0, 0, 0,
     0, 0, 0},
    {kKorvexVendorID, kKorvexMRW30ProductID, kAny, kQuirkMRW30, R::None, 0, 0, 0, 0, 0, 0, 0, 0, 0,
     0},
    // The brand's older interfaces: input on 1, output on 0, alternate 1.
    {kKorvexVendorID, kKorvexLX150ProductID, kAny, 0, R::None, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    {kKorvexVendorID, kKorvexLX220ProductID, kAny, 0, R::None, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    {kKorvexVendorID, kKorvexLX420ProductID, kAny, 0, R::None, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    {kKorvexVendorID, kKorvexLX430ProductID, kAny, 0, R::None, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    {kKorvexVendorID, kKorvexLX440ProductID, kAny, 0, R::None, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    {kKorvexVendorID, kKorvexLX610ProductID, kAny, 0, R::None, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    {kTeslinVendorID, kTeslinT10ProductID, kAny, 0, R::None, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    {kTeslinVendorID, kTeslinT11ProductID, kAny, 0, R::None, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    {kTeslinVendorID, kTeslinT12ProductID, kAny, 0, R::None, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    // Streaming on interface 2; the fixed 2/1 layout (the B3 in one release only).
    {kBrindleVendorID, kBrindleB1ProductID, kAny, kQuirkStreamingOn2, R::None, 0, 0, 0, 0, 0, 0, 0,
     0, 0, 0},
    {kBrindleVendorID, kBrindleB2ProductID, kAny, kQuirkStreamingOn2, R::None, 0, 0, 0, 0, 0, 0, 0,
     0, 0, 0},
    {kBrindleVendorID, kBrindleB3ProductID, kBrindleB3Release, kQuirkStreamingOn2, R::None, 0, 0, 0,
     0, 0, 0, 0, 0, 0, 0},
    {kBrindleVendorID, kBrindleB3ProductID, kAny, kQuirkStreamingOn2, R::None, 0, 0, 0, 0, 0, 0, 0,
     0, 0, 0},
    // Input found by its endpoint on interface 1.
    {kKestrelVendorID, kKestrelProductID, kAny, kQuirkInputOn1, R::Fixed, 2, 2, 24, 24, 0, 0, 0, 0,
     0, 0},
    {kKestrelVendorID, kKestrelK2ProductID, kAny, kQuirkInputOn1, R::None, 0, 0, 0, 0, 44100, 8, 8,
     24, 16, 8},
    {kKestrelVendorID, kKestrelK3ProductID, kAny, kQuirkInputOn1, R::None, 0, 0, 0, 0, 0, 2, 4, 16,
     0, 0},
    // Rate lists the device information states in place of the descriptor's.
    {kOlvqVendorID, kOlvq186ProductID, kAny, kQuirkRates44k48k, R::TwoPlusUSB2, 0, 0, 24, 24, 0, 0,
     0, 0, 0, 0},
    {kOlvqVendorID, kOlvq187ProductID, kAny, kQuirkRates44k48k, R::TwoPlusUSB2, 0, 0, 24, 24, 0, 0,
     0, 0, 0, 0},
    {kPellixVendorID, kPellixProductID, kAny, kQuirkRates32k44k48k | kQuirkMidiOn3, R::None, 0, 0,
     0, 0, 0, 0, 0, 0, 0, 0},
    // Raw fix-ups before parsing.
    {kMaravelVendorID, kMaravelM1ProductID, kAny, kQuirkRawByte164, R::None, 0, 0, 0, 0, 0, 0, 0, 0,
     0, 0},
    {kMaravelVendorID, kMaravelM2ProductID, kAny, kQuirkRawClassACASAS, R::None, 0, 0, 0, 0, 0, 0,
     0, 0, 0, 0},
    {kMaravelVendorID, kMaravelM3ProductID, kAny, kQuirkRawClassAS, R::None, 0, 0, 0, 0, 0, 0, 0, 0,
     0, 0},
    {kMaravelVendorID, kMaravelM4ProductID, kAny, kQuirkRaw24Bits, R::None, 0, 0, 0, 0, 0, 0, 0, 0,
     0, 0},
    // Corrections after parsing.
    {kKsvVendorID, kKsv0ProductID, kAny, kQuirkNo88k96k, R::Fixed, 2, 2, 32, 32, 0, 0, 0, 0, 0, 0},
    {kQuellVendorID, kQuellQ8ProductID, kAny, kQuirkEightChannels, R::None, 0, 0, 0, 0, 0, 0, 0, 0,
     0, 0},
    {kQuellVendorID, kQuellQ16ProductID, kAny, kQuirkNo16BitWith24, R::None, 0, 0, 0, 0, 0, 0, 0, 0,
     0, 0},
    {kQuellVendorID, kQuellQ3ProductID, kAny, kQuirkNoMidiNoMulti, R::None, 0, 0, 0, 0, 0, 0, 0, 0,
     0, 0},
    {kQuellVendorID, kQuellQ32ProductID, kAny, kQuirkSynthesized | kQuirkSynthesizedTwiceNo32k,
     R::None, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    // Interface layouts of the choice.
    {kDarrowVendorID, kDarrowD1ProductID, kAny, kQuirkMidiBelow, R::None, 0, 0, 0, 0, 0, 0, 0, 0, 0,
     0},
    {kDarrowVendorID, kDarrowD2ProductID, kAny, kQuirkMidiBelow, R::None, 0, 0, 0, 0, 0, 0, 0, 0, 0,
     0},
    {kBravaVendorID, kBravaB1ProductID, kAny, kQuirkMidiOn0Alt1, R::None, 0, 0, 0, 0, 0, 0, 0, 0, 0,
     0},
    {kBravaVendorID, kBravaB2ProductID, kAny, kQuirkMidiOn0Alt1, R::None, 0, 0, 0, 0, 0, 0, 0, 0, 0,
     0},
    {kBravaVendorID, kBravaB3ProductID, kAny, kQuirkMidiOn0Alt1, R::None, 0, 0, 0, 0, 0, 0, 0, 0, 0,
     0},
    {kTolvaneVendorID, kTolvaneProductID, kAny, kQuirkLayoutOut2In4, R::None, 0, 0, 0, 0, 0, 0, 0,
     0, 0, 0},
    {kGarnetoVendorID, kGarnetoProductID, kAny, kQuirkOutOn1, R::None, 0, 0, 0, 0, 0, 0, 0, 0, 0,
     0},
    // Synthesized fixed rows with their count defaults, further attempts
    // and final-search starts.
    {kTrunkVendorID, kTrunkProductID, kAny, kQuirkSynthesized, R::HighSpeedDefaults, 16, 8, 24, 24,
     44100, 8, 8, 24, 16, 8},
    {kTrunkVendorID, kTrunk2ProductID, kAny, kQuirkSynthesized, R::HighSpeedDefaults, 16, 10, 24,
     24, 88200, 10, 10, 24, 16, 10},
    {kVelmarVendorID, kVelmarV4ProductID, kAny, kQuirkSynthesized | kQuirkXmos, R::OutsByRate, 0, 0,
     0, 0, 0, 0, 0, 0, 0, 0},
};

} // namespace

const ZrDescriptorRow* descriptorRow(const VIDPID& id) {
    for (const ZrDescriptorRow& row : kRows)
        if (id.isDevice(row.vendor, row.product, row.release)) return &row;
    return nullptr;
}

uint32_t descriptorQuirks(const VIDPID& id) {
    const ZrDescriptorRow* row = descriptorRow(id);
    return row ? row->quirks : 0;
}

bool farlane2ChannelPair(const VIDPID& id, int& ins, int& outs) {
    if (id.vendor() != kSorvikVendorID) return false;
    for (const ZrChannelPair& p : kSorvikFarlane2ChannelPairs) {
        if (p.product == id.product()) {
            ins = p.ins;
            outs = p.outs;
            return true;
        }
    }
    return false;
}

bool isKorvexFamily(const VIDPID& id) {
    static constexpr uint16_t kFamily[] = {kHX5100, kHX5100Sibling, kLX880, kLX310};
    return inList(id, kKorvexVendor, kFamily);
}

bool isKorvex192(const VIDPID& id) {
    static constexpr uint16_t k192[] = {kHX5100, kHX5100Sibling};
    return inList(id, kKorvexVendor, k192);
}

bool isSorvikFarlane1(const VIDPID& id) {
    return id.isSorvikFarlane1();
}
bool isSorvikFarlane2(const VIDPID& id) {
    return inList(id, kSorvikVendor, kSorvikFarlane2);
}
bool isSorvik(const VIDPID& id) {
    return isSorvikFarlane1(id) || isSorvikFarlane2(id);
}

bool featuresLoaded(const VIDPID& id) {
    return id.features() && id.features()->mLoaded;
}

bool featuresLoadedWithout(const VIDPID& id, unsigned flag) {
    return featuresLoaded(id) && !id.features()->hasFlag(flag);
}

bool isMerrowCompatible(const VIDPID& id) {
    return !featuresLoaded(id) || id.features()->hasFlag(eSpecFeature_MerrowCompatible);
}

bool isMRW192Compatible(const VIDPID& id) {
    return !featuresLoaded(id) || id.features()->hasFlag(eSpecFeature_MRW192Compatible);
}

bool wantsSynthesizedDescriptors(const VIDPID& id) {
    return featuresLoaded(id) && !id.features()->hasFlag(eSpecFeature_MerrowCompatible) &&
           id.features()->hasFlag(eSpecFeature_SynthesizedDescriptors);
}

} // namespace ZrDescriptorProducts
