#include "abi/ProductIdentities.h"

#include <cstring>

#include "abi/VIDPID.h"

namespace {

// One row per product whose reported names the driver replaces.
struct ZrProductName {
    uint16_t vendor;
    uint16_t product;
    const char* productName;
    const char* vendorName; // null: the device's own vendor string stays
};

constexpr ZrProductName kProductNames[] = {
    {kKorvexVendorID, kKorvexHX5100ProductID, "HX-5100", "Korvex"},
};

void copyBounded(char* dst, const char* src) {
    std::strncpy(dst, src, 255);
    dst[255] = 0;
}

} // namespace

void driverOverwriteProductVendorStrings(char* vendorString, char* productString, uint16_t vendor,
                                         uint16_t product) {
    if (!vendorString || !productString) return;
    if (vendorString[0] == 0) copyBounded(vendorString, "Unknown vendor");
    if (productString[0] == 0) copyBounded(productString, "USB Device");
    VIDPID id(vendor, product, 0, nullptr);
    for (const auto& row : kProductNames) {
        if (!id.isDevice(row.vendor, row.product, 0xFFFF)) continue;
        copyBounded(productString, row.productName);
        if (row.vendorName) copyBounded(vendorString, row.vendorName);
        break;
    }
}
