#include "driver/engine/ZrProductTable.h"

#include <cstring>

#include "abi/DeviceFamilies.h"
#include "driver/engine/ZrDeviceTraits.h"

namespace {

using enum ZrProductList;
using R = ZrCountsRule;

// The Sorvik generations' rows: every product of a generation differs in
// the same way, the second's by its channel pair too.
constexpr ZrProductRow farlane1(uint16_t product) {
    return {.vendor = kSorvikVendorID, .product = product, .lists = ZrLists({SorvikFarlane1})};
}
constexpr ZrProductRow farlane2(uint16_t product, const ZrChannelPair* pair = nullptr) {
    return {.vendor = kSorvikVendorID,
            .product = product,
            .lists = ZrLists({SorvikFarlane2}),
            .configFlags = kZrProductSorvikFarlane,
            .channelPair = pair};
}

// One row per product, written by field; a field a row does not name is
// the default (nothing differs). The matched rows come in the order the
// personalities are loaded: the HX-5100 first.
constexpr ZrProductRow kProductRows[] = {
    // ---- The hardware brand. Its interfaces are matched as vendor-specific.
    {.vendor = kKorvexVendorID, .lists = ZrLists({KorvexInterfaces})},
    // HX-5100: settings and interfaces from its descriptors (its
    // personality has no overrides); formats synthesized up to 192 kHz.
    {.vendor = kKorvexVendorID,
     .product = kKorvexHX5100ProductID,
     .lists = ZrLists({FirmwareVersionText, MixerModeFirst, KorvexFamily, Korvex192}),
     .configFlags = kZrProductHX5100,
     .descriptorQuirks = kQuirkSynthesized,
     .productName = "HX-5100",
     .vendorName = "Korvex",
     .matched = true},
    // Rack sibling: same interfaces and rates.
    {.vendor = kKorvexVendorID,
     .product = kKorvexHX5100SiblingProductID,
     .lists = ZrLists({KorvexFamily, Korvex192}),
     .descriptorQuirks = kQuirkSynthesized},
    // Four-by-four sibling: the second product with a mixer mode.
    {.vendor = kKorvexVendorID,
     .product = kKorvexFourByFourProductID,
     .lists = ZrLists({MixerModeSecond})},
    {.vendor = kKorvexVendorID,
     .product = kKorvexLX880ProductID,
     .lists = ZrLists({RegularMidi, FirmwareVersionText, KorvexFamily}),
     .configFlags = kZrProductLX880,
     .descriptorQuirks = kQuirkSynthesized},
    // LX310: no digital port; its synthesized formats log its counts.
    {.vendor = kKorvexVendorID,
     .product = kKorvexLX310ProductID,
     .lists = ZrLists({RegularMidi, LXNoDigital, KorvexFamily}),
     .descriptorQuirks = kQuirkSynthesized | kQuirkLogsCounts},
    {.vendor = kKorvexVendorID,
     .product = kKorvexMRW30ProductID,
     .lists = ZrLists({MRW30}),
     .descriptorQuirks = kQuirkMRW30},
    // The brand's older interfaces.
    {.vendor = kKorvexVendorID,
     .product = kKorvexLX150ProductID,
     .lists = ZrLists({RegularMidi}),
     .configFlags = kZrProductLX150},
    {.vendor = kKorvexVendorID,
     .product = kKorvexLX220ProductID,
     .lists = ZrLists({NeverReEnumeratedFromFirmware}),
     .noReEnumerateFirmware = 0x01050100},
    {.vendor = kKorvexVendorID,
     .product = kKorvexLX420ProductID,
     .lists = ZrLists({RegularMidi, FirmwareVersionText}),
     .configFlags = kZrProductLX420},
    {.vendor = kKorvexVendorID,
     .product = kKorvexLX430ProductID,
     .lists = ZrLists({FirmwareVersionText}),
     .configFlags = kZrProductLX4xxFurther},
    {.vendor = kKorvexVendorID,
     .product = kKorvexLX440ProductID,
     .configFlags = kZrProductLX4xxFixed18},
    {.vendor = kKorvexVendorID, .product = kKorvexLX610ProductID, .configFlags = kZrProductLX610},

    // ---- Class-compliant products the device controls know.
    {.vendor = kCadenzaVendorID,
     .product = kCadenzaTypicalProductID,
     .matched = true,
     .controlsLayout = ZrControlsLayout::Typical},
    {.vendor = kCadenzaVendorID,
     .product = kCadenzaSelectorProductID,
     .matched = true,
     .controlsLayout = ZrControlsLayout::InputSelector},
    {.vendor = kCadenzaVendorID,
     .product = kCadenzaSyncProductID,
     .matched = true,
     .controlsLayout = ZrControlsLayout::SyncSources},
    {.vendor = kCadenzaVendorID,
     .product = kCadenzaVendorControlProductID,
     .matched = true,
     .controlsLayout = ZrControlsLayout::VendorControl},
    {.vendor = kCadenzaVendorID,
     .product = kCadenzaInterfaceSelectorProductID,
     .lists = ZrLists({InterfaceSelectorControls}),
     .matched = true,
     .controlsLayout = ZrControlsLayout::InterfaceSelector},
    {.vendor = kCadenzaVendorID,
     .product = kCadenzaMeterProductID,
     .classMeters = ZrClassMeters::TwoChannel,
     .matched = true,
     .controlsLayout = ZrControlsLayout::Meter},
    {.vendor = kOstravVendorID,
     .product = kOstravSixEightProductID,
     .lists = ZrLists({ReselectOutAlternate}),
     .classMeters = ZrClassMeters::SixEight,
     .matched = true},
    {.vendor = kOstravVendorID,
     .product = kOstravSixteenProductID,
     .classMeters = ZrClassMeters::EightSixteen,
     .matched = true},
    {.vendor = kOstravVendorID,
     .product = kOstravSixteenBProductID,
     .classMeters = ZrClassMeters::EightSixteen,
     .matched = true},
    {.vendor = kOstravVendorID,
     .product = kOstravEighteenProductID,
     .classMeters = ZrClassMeters::EightEighteen,
     .matched = true},
    // The Halvard Trunk pair: synthesized fixed alternates, their own
    // start-ups, count defaults, further attempts and final-search starts.
    {.vendor = kTrunkVendorID,
     .product = kTrunkProductID,
     .lists = ZrLists({NeverReEnumerated, HalvardTrunk, HalvardControls}),
     .configFlags = kZrProductTUSB2ch,
     .descriptorQuirks = kQuirkSynthesized,
     .countsRule = R::HighSpeedDefaults,
     .counts = {.ins = 16, .outs = 8, .inBits = 24, .outBits = 24},
     .furtherAttempt = {.rate = 44100, .ins = 8, .outs = 8, .bits = 24},
     .finalSearchStart = {.ins = 16, .outs = 8},
     .fixedAlternates = {.present = true,
                         .outInterface = 1,
                         .outAlternate = 2,
                         .inInterface = 2,
                         .inAlternate = 2,
                         .clearAlternate = 1,
                         .highSpeedChannels = 6,
                         .fullSpeedChannels = 2},
     .matched = true,
     .controlsLayout = ZrControlsLayout::Trunk},
    {.vendor = kTrunkVendorID,
     .product = kTrunk2ProductID,
     .lists = ZrLists({NeverReEnumerated, Trunk2, HalvardControls}),
     .configFlags = kZrProductTUSB2ch,
     .descriptorQuirks = kQuirkSynthesized,
     .countsRule = R::HighSpeedDefaults,
     .counts = {.ins = 16, .outs = 10, .inBits = 24, .outBits = 24},
     .furtherAttempt = {.rate = 88200, .ins = 10, .outs = 10, .bits = 24},
     .finalSearchStart = {.ins = 16, .outs = 10},
     .fixedAlternates = {.present = true,
                         .outInterface = 1,
                         .outAlternate = 2,
                         .inInterface = 2,
                         .inAlternate = 2,
                         .clearAlternate = 1,
                         .highSpeedChannels = 4,
                         .fullSpeedChannels = 2,
                         .secondFormat192 = true},
     .matched = true,
     .controlsLayout = ZrControlsLayout::Trunk},

    // ---- The driver maker's own devices.
    {.vendor = kQuarnelVendorID,
     .product = kQuarnelBulkB01ProductID,
     .lists = ZrLists({QuarnelBulk, FirmwareVersionAlways}),
     .configFlags = kZrProductMerrowBulk},
    {.vendor = kQuarnelVendorID,
     .product = kQuarnelBulkB02ProductID,
     .lists = ZrLists({QuarnelBulk, FirmwareVersionAlways}),
     .configFlags = kZrProductMerrowBulk},
    // The bulk start clears both pipes' stalls before its first transfers.
    {.vendor = kQuarnelVendorID,
     .product = kQuarnelBulkGoProductID,
     .lists = ZrLists({QuarnelBulk, BulkGoClearStall})},
    // 10 outputs through the fifth-lane encoder.
    {.vendor = kQuarnelVendorID,
     .product = kQuarnelKX1ProductID,
     .lists = ZrLists({QuarnelBulk, BulkEncoderKX})},
    {.vendor = kQuarnelVendorID,
     .product = kQuarnelKX2ProductID,
     .lists = ZrLists({QuarnelBulk, BulkEncoderKX})},
    {.vendor = kQuarnelVendorID,
     .product = kQuarnelBulkInIsocOutProductID,
     .lists = ZrLists({QuarnelBulkInIsocOut})},
    {.vendor = kQuarnelVendorID,
     .product = kQuarnelPhonoProductID,
     .lists = ZrLists({QuarnelBulkInIsocOut})},
    {.vendor = kQuarnelVendorID,
     .product = kQuarnelNoDigitalProductID,
     .lists = ZrLists({MakerNoDigital}),
     .configFlags = kZrProductSelectorNonMerrow | kZrProductLock44k},
    // Rate list of its device information in place of the descriptor's; MIDI
    // on interface 3.
    {.vendor = kPellixVendorID,
     .product = kPellixProductID,
     .configFlags = kZrProductPellix | kZrProductSelectorNonMerrow | kZrProductLock44k |
                    kZrProductSelectorRateRead,
     .descriptorQuirks = kQuirkRates32k44k48k | kQuirkMidiOn3},

    // ---- Sorvik: first generation (fixed 48 kHz alternates built by the
    // driver, a channel map) and the second (formats from interrupt packet
    // sizes, five with their own channel pair).
    farlane1(kSorvikFarlane1ProductIDs[0]),
    farlane1(kSorvikFarlane1ProductIDs[1]),
    farlane1(kSorvikFarlane1ProductIDs[2]),
    farlane1(kSorvikFarlane1ProductIDs[3]),
    farlane2(kSorvikFarlane2ProductIDs[0], &kSorvikFarlane2ChannelPairs[0]),
    farlane2(kSorvikFarlane2ProductIDs[1], &kSorvikFarlane2ChannelPairs[1]),
    farlane2(kSorvikFarlane2ProductIDs[2], &kSorvikFarlane2ChannelPairs[2]),
    farlane2(kSorvikFarlane2ProductIDs[3], &kSorvikFarlane2ChannelPairs[3]),
    farlane2(kSorvikFarlane2ProductIDs[4], &kSorvikFarlane2ChannelPairs[4]),
    farlane2(kSorvikFarlane2ProductIDs[5]),
    farlane2(kSorvikFarlane2ProductIDs[6]),

    // ---- Other makers.
    // Streaming on interface 2; SET_INTERFACE(0) on it before binding.
    {.vendor = kBrindleVendorID,
     .product = kBrindleB1ProductID,
     .lists = ZrLists({SetInterfaceBeforeBind}),
     .descriptorQuirks = kQuirkStreamingOn2},
    {.vendor = kBrindleVendorID,
     .product = kBrindleB2ProductID,
     .lists = ZrLists({SetInterfaceBeforeBind}),
     .descriptorQuirks = kQuirkStreamingOn2},
    {.vendor = kBrindleVendorID,
     .product = kBrindleB3ProductID,
     .descriptorQuirks = kQuirkStreamingOn2},
    // The Olvq products: a CPLD byte, their own selector layout; two with
    // the device information's rate list and counts of 2 (4 at high speed).
    {.vendor = kOlvqVendorID,
     .product = kOlvq186ProductID,
     .configFlags = kZrProductOlvq | kZrProductOlvqSelector | kZrProductOlvqCodec,
     .descriptorQuirks = kQuirkRates44k48k,
     .countsRule = R::TwoPlusUSB2,
     .counts = {.inBits = 24, .outBits = 24}},
    {.vendor = kOlvqVendorID,
     .product = kOlvq187ProductID,
     .configFlags = kZrProductOlvq | kZrProductOlvqSelector,
     .descriptorQuirks = kQuirkRates44k48k,
     .countsRule = R::TwoPlusUSB2,
     .counts = {.inBits = 24, .outBits = 24}},
    {.vendor = kOlvqVendorID,
     .product = kOlvq188ProductID,
     .configFlags = kZrProductOlvq | kZrProductOlvqSelector},
    // The Olvq product of the earlier vendor identifier: 8-channel bulk
    // protocol, one of four output pairs chosen by its digital-out selector.
    {.vendor = kBulkSelectorVendorID,
     .product = kBulkSelectorProductID,
     .lists = ZrLists({QuarnelBulk, BulkSelectorEncoder}),
     .configFlags = kZrProductOlvq},
    {.vendor = kTeslinVendorID,
     .product = kTeslinT10ProductID,
     .lists = ZrLists({StartSetCur02FF}),
     .configFlags = kZrProductTUSBMSB},
    {.vendor = kTeslinVendorID,
     .product = kTeslinT11ProductID,
     .lists = ZrLists({ControlSetCurAfterConfig})},
    {.vendor = kTeslinVendorID,
     .product = kTeslinT12ProductID,
     .lists = ZrLists({ControlSetInterfaceAfterConfig})},
    // Every Kestrel device takes the start's SET_CUR 0x02FF; input found by
    // its endpoint on interface 1.
    {.vendor = kKestrelVendorID, .lists = ZrLists({StartSetCur02FF})},
    {.vendor = kKestrelVendorID,
     .product = kKestrelProductID,
     .lists = ZrLists({NeverReEnumerated}),
     .configFlags = kZrProductKestrel,
     .descriptorQuirks = kQuirkInputOn1,
     .countsRule = R::Fixed,
     .counts = {.ins = 2, .outs = 2, .inBits = 24, .outBits = 24}},
    {.vendor = kKestrelVendorID,
     .product = kKestrelK2ProductID,
     .configFlags = kZrProductKestrelLike,
     .descriptorQuirks = kQuirkInputOn1,
     .furtherAttempt = {.rate = 44100, .ins = 8, .outs = 8, .bits = 24},
     .finalSearchStart = {.ins = 16, .outs = 8}},
    {.vendor = kKestrelVendorID,
     .product = kKestrelK3ProductID,
     .configFlags = kZrProductKestrelLike,
     .descriptorQuirks = kQuirkInputOn1,
     .furtherAttempt = {.ins = 2, .outs = 4, .bits = 16}},
    // Raw descriptor fix-ups before parsing.
    {.vendor = kMaravelVendorID,
     .product = kMaravelM1ProductID,
     .lists = ZrLists({NeverReEnumerated}),
     .descriptorQuirks = kQuirkRawByte164},
    {.vendor = kMaravelVendorID,
     .product = kMaravelM2ProductID,
     .lists = ZrLists({AlwaysReEnumerated}),
     .descriptorQuirks = kQuirkRawClassACASAS},
    {.vendor = kMaravelVendorID,
     .product = kMaravelM3ProductID,
     .descriptorQuirks = kQuirkRawClassAS},
    {.vendor = kMaravelVendorID,
     .product = kMaravelM4ProductID,
     .descriptorQuirks = kQuirkRaw24Bits},
    {.vendor = kGarnetoVendorID,
     .product = kGarnetoProductID,
     .lists = ZrLists({ConfigureWaits}),
     .configFlags = kZrProductGarneto,
     .descriptorQuirks = kQuirkOutOn1},
    // Brava: MIDI on alternate 1 of interface 0 without a MIDI interface.
    {.vendor = kBravaVendorID, .lists = ZrLists({BravaMaker})},
    {.vendor = kBravaVendorID,
     .product = kBravaB1ProductID,
     .lists = ZrLists({QuarnelBulk, BulkBravaLayout}),
     .configFlags = kZrProductBrava,
     .descriptorQuirks = kQuirkMidiOn0Alt1},
    {.vendor = kBravaVendorID,
     .product = kBravaB2ProductID,
     .lists = ZrLists({NoFrequencyReading}),
     .descriptorQuirks = kQuirkMidiOn0Alt1},
    {.vendor = kBravaVendorID,
     .product = kBravaB3ProductID,
     .lists = ZrLists({NeverReEnumerated}),
     .descriptorQuirks = kQuirkMidiOn0Alt1},
    // Without the double rates; at release 3.00 isochronous both ways.
    {.vendor = kKsvVendorID,
     .product = kKsv0ProductID,
     .lists = ZrLists({IsocInIsocOutAtRelease}),
     .configFlags = kZrProductKSV0,
     .descriptorQuirks = kQuirkNo88k96k,
     .countsRule = R::Fixed,
     .counts = {.ins = 2, .outs = 2, .inBits = 32, .outBits = 32},
     .isocBothWaysRelease = 0x0300},
    // Corrections after parsing.
    {.vendor = kQuellVendorID,
     .product = kQuellQ8ProductID,
     .descriptorQuirks = kQuirkEightChannels},
    {.vendor = kQuellVendorID,
     .product = kQuellQ16ProductID,
     .descriptorQuirks = kQuirkNo16BitWith24},
    {.vendor = kQuellVendorID,
     .product = kQuellQ3ProductID,
     .descriptorQuirks = kQuirkNoMidiNoMulti},
    {.vendor = kQuellVendorID,
     .product = kQuellQ32ProductID,
     .descriptorQuirks = kQuirkSynthesized | kQuirkSynthesizedTwiceNo32k,
     .fixedAlternates = {.present = true,
                         .outInterface = 1,
                         .outAlternate = 1,
                         .inInterface = 2,
                         .inAlternate = 1,
                         .highSpeedChannels = 2,
                         .fullSpeedChannels = 2}},
    // Chip-based interface with selectable rate sets.
    {.vendor = kVelmarVendorID,
     .product = kVelmarV4ProductID,
     .lists = ZrLists({NeverReEnumerated, StartSetCur0201}),
     .configFlags = kZrProductStreamingSetCur,
     .descriptorQuirks = kQuirkSynthesized | kQuirkXmos,
     .countsRule = R::OutsByRate,
     .fixedAlternates = {.present = true,
                         .outInterface = 1,
                         .outAlternate = 1,
                         .inInterface = 2,
                         .inAlternate = 1,
                         .highSpeedChannels = 4,
                         .fullSpeedChannels = 2,
                         .secondFormat192 = true,
                         .rateSets = true}},
    // MIDI on the interface below the one found, 4-channel input on 10.
    {.vendor = kDarrowVendorID,
     .product = kDarrowD1ProductID,
     .lists = ZrLists({StartSetCur0A00}),
     .configFlags = kZrProductMI4,
     .descriptorQuirks = kQuirkMidiBelow},
    {.vendor = kDarrowVendorID,
     .product = kDarrowD2ProductID,
     .lists = ZrLists({NeverReEnumerated}),
     .descriptorQuirks = kQuirkMidiBelow},
    // Output 2, input 4 (5 by the selector), control 1; a routing value.
    {.vendor = kTolvaneVendorID,
     .product = kTolvaneProductID,
     .lists = ZrLists({Tolvane}),
     .configFlags = kZrProductTolvane,
     .descriptorQuirks = kQuirkLayoutOut2In4},
    {.vendor = kSetFreqVendorID,
     .product = kSetFreqS1ProductID,
     .lists = ZrLists({SetFrequencyRepeats}),
     .configFlags = kZrProductSelectorFree},
    {.vendor = kSetFreqVendorID,
     .product = kSetFreqS2ProductID,
     .lists = ZrLists({SetFrequencyRepeats})},
    {.vendor = kPelgraneVendorID,
     .product = kPelgranePicProductID,
     .lists = ZrLists({PicCommands})},
    {.vendor = kPelgraneVendorID,
     .product = kPelgraneCountsProductID,
     .lists = ZrLists({FirmwareChannelCounts})},
    {.vendor = kPelgraneVendorID,
     .product = kPelgraneStereo16ProductID,
     .lists = ZrLists({Stereo16Only})},
    {.vendor = kHarlowVendorID,
     .product = kHarlowExactClockProductID,
     .lists = ZrLists({ExactClock})},
    {.vendor = kHarlowVendorID,
     .product = kHarlowStrictInputH2ProductID,
     .lists = ZrLists({InputErrorsBreak})},
    {.vendor = kHarlowVendorID,
     .product = kHarlowStrictInputH3ProductID,
     .lists = ZrLists({InputErrorsBreak})},
};

constexpr ZrProductRow kUnlistedRow{};

void copyBounded(char* dst, const char* src) {
    std::strncpy(dst, src, 255);
    dst[255] = 0;
}

} // namespace

std::span<const ZrProductRow> ZrProductRows() {
    return kProductRows;
}

const ZrProductRow& ZrProductRowFor(uint16_t vendor, uint16_t product) {
    for (const ZrProductRow& row : kProductRows)
        if (row.vendor == vendor && row.product == product && product != kZrAnyProduct) return row;
    return kUnlistedRow;
}

uint64_t ZrProductListsFor(uint16_t vendor, uint16_t product) {
    uint64_t lists = 0;
    for (const ZrProductRow& row : kProductRows)
        if (row.vendor == vendor && (row.product == product || row.product == kZrAnyProduct))
            lists |= row.lists;
    return lists;
}

bool ZrIsListedProduct(ZrProductList list, uint16_t vendor, uint16_t product) {
    return (ZrProductListsFor(vendor, product) >> unsigned(list)) & 1;
}

uint32_t ZrConfigProductFlagsFor(uint16_t vendor, uint16_t product) {
    return ZrProductRowFor(vendor, product).configFlags;
}

void driverOverwriteProductVendorStrings(char* vendorString, char* productString, uint16_t vendor,
                                         uint16_t product) {
    if (!vendorString || !productString) return;
    if (vendorString[0] == 0) copyBounded(vendorString, "Unknown vendor");
    if (productString[0] == 0) copyBounded(productString, "USB Device");
    const ZrProductRow& row = ZrProductRowFor(vendor, product);
    if (!row.productName) return;
    copyBounded(productString, row.productName);
    if (row.vendorName) copyBounded(vendorString, row.vendorName);
}

ZrDeviceTraits ZrReadDeviceTraits(uint16_t vendor, uint16_t product, uint16_t release) {
    const ZrProductRow& row = ZrProductRowFor(vendor, product);
    ZrDeviceTraits t;
    t.products = row.configFlags;
    t.lists = ZrProductListsFor(vendor, product);
    t.descriptorQuirks = row.descriptorQuirks;
    t.release = release;
    t.row = &row;
    return t;
}
