#include "driver/engine/ZrProductTable.h"

#include "abi/DeviceFamilies.h"

#include "platform/kern/IOService.h"

namespace {

// The products the driver is matched on. The HX-5100 needs none of the
// personality's overrides: its settings and interfaces come from its
// descriptors, so its "QnSpecific" is empty.
struct ZrMatchedProduct {
    uint16_t vendor;
    uint16_t product;
};
constexpr ZrMatchedProduct kMatchedProducts[] = {
    {kKorvexVendorID, kKorvexHX5100ProductID}, // HX-5100
    // The class-compliant products the device controls know.
    {kCadenzaVendorID, kCadenzaTypicalProductID},
    {kCadenzaVendorID, kCadenzaSelectorProductID},
    {kCadenzaVendorID, kCadenzaSyncProductID},
    {kCadenzaVendorID, kCadenzaVendorControlProductID},
    {kCadenzaVendorID, kCadenzaInterfaceSelectorProductID},
    {kCadenzaVendorID, kCadenzaMeterProductID},
    {kOstravVendorID, kOstravSixEightProductID},
    {kOstravVendorID, kOstravSixteenProductID},
    {kOstravVendorID, kOstravSixteenBProductID},
    {kOstravVendorID, kOstravEighteenProductID},
    {kTrunkVendorID, kTrunkProductID},
    {kTrunkVendorID, kTrunk2ProductID},
};

} // namespace

OSDictionary* ZrMakeDriverPersonality(uint16_t vendor, uint16_t product, OSDictionary* qnSpecific) {
    OSDictionary* p = OSDictionary::withCapacity(5);
    OSString* cls = OSString::withCString(kZrServiceClassName);
    OSString* provider = OSString::withCString("IOUSBHostDevice");
    OSNumber* vid = OSNumber::withNumber(vendor, 16);
    OSNumber* pid = OSNumber::withNumber(product, 16);
    OSDictionary* specific = qnSpecific ? qnSpecific : OSDictionary::withCapacity(1);
    p->setObject("IOClass", cls);
    p->setObject("IOProviderClass", provider);
    p->setObject("idVendor", vid);
    p->setObject("idProduct", pid);
    p->setObject("QnSpecific", specific);
    cls->release();
    provider->release();
    vid->release();
    pid->release();
    if (!qnSpecific) specific->release();
    return p;
}

void ZrLoadDriverPersonalities() {
    for (const auto& row : kMatchedProducts) {
        OSDictionary* p = ZrMakeDriverPersonality(row.vendor, row.product, nullptr);
        hx::kern::addPersonality(p);
        p->release();
    }
}

void ZrUnloadDriverPersonalities() {
    hx::kern::removePersonalities(kZrServiceClassName);
}

namespace {

struct ZrListedProduct {
    ZrProductList list;
    uint16_t vendor;
    uint16_t product;
};

constexpr ZrListedProduct kListedProducts[] = {
    // Bulk-protocol products the kernel drives beyond the family both sides list.
    {ZrProductList::QuarnelBulk, kBravaVendorID, kBravaB1ProductID},
    {ZrProductList::QuarnelBulk, kQuarnelVendorID, kQuarnelBulkGoProductID},
    {ZrProductList::QuarnelBulk, kQuarnelVendorID, kQuarnelKX1ProductID},
    {ZrProductList::QuarnelBulk, kQuarnelVendorID, kQuarnelKX2ProductID},
    {ZrProductList::QuarnelBulk, kBulkSelectorVendorID, kBulkSelectorProductID},
    // The bulk start clears both pipes' stalls before its first transfers.
    {ZrProductList::BulkGoClearStall, kQuarnelVendorID, kQuarnelBulkGoProductID},
    // 10 outputs through the fifth-lane encoder.
    {ZrProductList::BulkEncoderKX, kQuarnelVendorID, kQuarnelKX1ProductID},
    {ZrProductList::BulkEncoderKX, kQuarnelVendorID, kQuarnelKX2ProductID},
    // 8 outputs: one of four pairs chosen by the digital-out selector.
    {ZrProductList::BulkSelectorEncoder, kBulkSelectorVendorID, kBulkSelectorProductID},
    {ZrProductList::RegularMidi, kKorvexVendorID, kKorvexLX880ProductID}, // LX880
    {ZrProductList::RegularMidi, kKorvexVendorID, kKorvexLX420ProductID}, // LX420
    {ZrProductList::RegularMidi, kKorvexVendorID, kKorvexLX310ProductID}, // LX310
    {ZrProductList::RegularMidi, kKorvexVendorID, kKorvexLX150ProductID}, // LX150
    {ZrProductList::MakerNoDigital, kQuarnelVendorID, kQuarnelNoDigitalProductID},
    {ZrProductList::LXNoDigital, kKorvexVendorID, kKorvexLX310ProductID}, // LX310
    {ZrProductList::NeverReEnumerated, kTrunkVendorID, kTrunkProductID},  // Trunk
    {ZrProductList::NeverReEnumerated, kTrunkVendorID, kTrunk2ProductID}, // Trunk 2
    {ZrProductList::SetFrequencyRepeats, kSetFreqVendorID, kSetFreqS1ProductID},
    {ZrProductList::SetFrequencyRepeats, kSetFreqVendorID, kSetFreqS2ProductID},
    {ZrProductList::FirmwareVersionAlways, kQuarnelVendorID, kQuarnelBulkB01ProductID},
    {ZrProductList::FirmwareVersionAlways, kQuarnelVendorID, kQuarnelBulkB02ProductID},
    {ZrProductList::FirmwareVersionText, kKorvexVendorID, kKorvexHX5100ProductID},
    {ZrProductList::FirmwareVersionText, kKorvexVendorID, kKorvexLX880ProductID},
    {ZrProductList::FirmwareVersionText, kKorvexVendorID, kKorvexLX420ProductID},
    {ZrProductList::FirmwareVersionText, kKorvexVendorID, kKorvexLX430ProductID},
    {ZrProductList::FirmwareChannelCounts, kPelgraneVendorID, kPelgraneCountsProductID},
    {ZrProductList::Stereo16Only, kPelgraneVendorID, kPelgraneStereo16ProductID},
    {ZrProductList::PicCommands, kPelgraneVendorID, kPelgranePicProductID},
    {ZrProductList::InputErrorsBreak, kHarlowVendorID, kHarlowStrictInputH2ProductID},
    {ZrProductList::InputErrorsBreak, kHarlowVendorID, kHarlowStrictInputH3ProductID},
    {ZrProductList::NeverReEnumerated, kKestrelVendorID, kKestrelProductID},
    {ZrProductList::NeverReEnumerated, kMaravelVendorID, kMaravelM1ProductID},
    {ZrProductList::NeverReEnumerated, kDarrowVendorID, kDarrowD2ProductID},
    {ZrProductList::NeverReEnumerated, kVelmarVendorID, kVelmarV4ProductID},
    {ZrProductList::NeverReEnumerated, kBravaVendorID, kBravaB3ProductID},
    {ZrProductList::NeverReEnumeratedFromFirmware, kKorvexVendorID, kKorvexLX220ProductID},
    {ZrProductList::AlwaysReEnumerated, kMaravelVendorID, kMaravelM2ProductID},
    {ZrProductList::SetInterfaceBeforeBind, kBrindleVendorID, kBrindleB1ProductID},
    {ZrProductList::SetInterfaceBeforeBind, kBrindleVendorID, kBrindleB2ProductID},
    {ZrProductList::ConfigureWaits, kGarnetoVendorID, kGarnetoProductID},
    {ZrProductList::IsocInIsocOutAtRelease, kKsvVendorID, kKsv0ProductID},
    {ZrProductList::ControlSetCurAfterConfig, kTeslinVendorID, kTeslinT11ProductID},
    {ZrProductList::ControlSetInterfaceAfterConfig, kTeslinVendorID, kTeslinT12ProductID},
    {ZrProductList::NoFrequencyReading, kBravaVendorID, kBravaB2ProductID},
    {ZrProductList::MixerModeFirst, kKorvexVendorID, kKorvexHX5100ProductID},
    {ZrProductList::MixerModeSecond, kKorvexVendorID, kKorvexFourByFourProductID},
    {ZrProductList::StartSetCur02FF, kTeslinVendorID, kTeslinT10ProductID},
    {ZrProductList::StartSetCur0A00, kDarrowVendorID, kDarrowD1ProductID},
    {ZrProductList::StartSetCur0201, kVelmarVendorID, kVelmarV4ProductID},
    {ZrProductList::ReselectOutAlternate, kOstravVendorID, kOstravSixEightProductID},
};

// The families user space lists as well are read from the one table both
// sides share.
const DeviceFamilyMember* sharedFamily(ZrProductList list, size_t* count) {
    DeviceFamily family;
    switch (list) {
    case ZrProductList::QuarnelBulk:
        family = DeviceFamilies::kQuarnelBulk;
        break;
    case ZrProductList::QuarnelBulkInIsocOut:
        family = DeviceFamilies::kQuarnelBulkInIsocOut;
        break;
    case ZrProductList::MRW30:
        family = DeviceFamilies::kMRW30;
        break;
    case ZrProductList::Tolvane:
        family = DeviceFamilies::kTolvane;
        break;
    case ZrProductList::Trunk2:
        family = DeviceFamilies::kTrunk2;
        break;
    case ZrProductList::HalvardTrunk:
        family = DeviceFamilies::kTrunk;
        break;
    default:
        return nullptr;
    }
    *count = family.size();
    return family.data();
}

} // namespace

bool ZrIsListedProduct(ZrProductList list, uint16_t vendor, uint16_t product) {
    size_t count = 0;
    if (const DeviceFamilyMember* family = sharedFamily(list, &count))
        if (DeviceFamilies::contains(DeviceFamily(family, count), vendor, product)) return true;
    for (const ZrListedProduct& row : kListedProducts)
        if (row.list == list && row.vendor == vendor && row.product == product) return true;
    return false;
}
