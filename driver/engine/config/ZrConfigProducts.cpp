#include "driver/engine/config/ZrConfigProducts.h"

#include "driver/engine/ZrProductTable.h"

namespace {

struct Row {
    uint16_t vendor;
    uint16_t product;
    uint32_t flags;
};

// One row per listed product; the identifiers are the product table's.
constexpr Row kRows[] = {
    {kKorvexVendorID, kKorvexHX5100ProductID, kZrProductHX5100},
    {kKorvexVendorID, kKorvexLX150ProductID, kZrProductLX150},
    {kKorvexVendorID, kKorvexLX420ProductID, kZrProductLX420},
    {kKorvexVendorID, kKorvexLX430ProductID, kZrProductLX4xxFurther},
    {kKorvexVendorID, kKorvexLX440ProductID, kZrProductLX4xxFixed18},
    {kKorvexVendorID, kKorvexLX610ProductID, kZrProductLX610},
    {kKorvexVendorID, kKorvexLX880ProductID, kZrProductLX880},
    {kKsvVendorID, kKsv0ProductID, kZrProductKSV0},
    {kPellixVendorID, kPellixProductID,
     kZrProductPellix | kZrProductSelectorNonMerrow | kZrProductLock44k |
         kZrProductSelectorRateRead},
    {kKestrelVendorID, kKestrelProductID, kZrProductKestrel},
    {kKestrelVendorID, kKestrelK2ProductID, kZrProductKestrelLike},
    {kKestrelVendorID, kKestrelK3ProductID, kZrProductKestrelLike},
    {kTeslinVendorID, kTeslinT10ProductID, kZrProductTUSBMSB},
    {kTrunkVendorID, kTrunkProductID, kZrProductTUSB2ch},
    {kTrunkVendorID, kTrunk2ProductID, kZrProductTUSB2ch},
    {kQuarnelVendorID, kQuarnelBulkB01ProductID, kZrProductMerrowBulk},
    {kQuarnelVendorID, kQuarnelBulkB02ProductID, kZrProductMerrowBulk},
    {kQuarnelVendorID, kQuarnelNoDigitalProductID, kZrProductSelectorNonMerrow | kZrProductLock44k},
    {kTolvaneVendorID, kTolvaneProductID, kZrProductTolvane},
    {kDarrowVendorID, kDarrowD1ProductID, kZrProductMI4},
    {kOlvqVendorID, kOlvq186ProductID,
     kZrProductOlvq | kZrProductOlvqSelector | kZrProductOlvqCodec},
    {kOlvqVendorID, kOlvq187ProductID, kZrProductOlvq | kZrProductOlvqSelector},
    {kOlvqVendorID, kOlvq188ProductID, kZrProductOlvq | kZrProductOlvqSelector},
    {kOlvqEarlierVendorID, kOlvqEarlierProductID, kZrProductOlvq},
    {kGarnetoVendorID, kGarnetoProductID, kZrProductGarneto},
    {kBravaVendorID, kBravaB1ProductID, kZrProductBrava},
    {kVelmarVendorID, kVelmarV4ProductID, kZrProductStreamingSetCur},
    {kSetFreqVendorID, kSetFreqS1ProductID, kZrProductSelectorFree},
};

} // namespace

uint32_t ZrConfigProductFlagsFor(uint16_t vendor, uint16_t product) {
    uint32_t flags = 0;
    for (const Row& row : kRows)
        if (row.vendor == vendor && row.product == product) flags |= row.flags;
    if (vendor == kSorvikVendorID) {
        for (uint16_t p : kSorvikFarlane2ProductIDs)
            if (p == product) flags |= kZrProductSorvikFarlane;
    }
    return flags;
}

bool ZrFarlane2ChannelPair(uint16_t vendor, uint16_t product, uint32_t& ins, uint32_t& outs) {
    if (vendor != kSorvikVendorID) return false;
    for (const ZrChannelPair& p : kSorvikFarlane2ChannelPairs) {
        if (p.product == product) {
            ins = p.ins;
            outs = p.outs;
            return true;
        }
    }
    return false;
}
