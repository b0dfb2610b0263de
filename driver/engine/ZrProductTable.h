// The products this driver knows by USB identifier, and the override of the
// vendor and product strings the devices report.
//
// Identifiers are this driver's own choice: the simulated devices are built
// with them, and tests plug them in.
#pragma once

#include <cstdint>

constexpr uint16_t kKorvexVendorID = 0x2F4B;
constexpr uint16_t kKorvexHX5100ProductID = 0x5100;

struct ZrProductName {
    uint16_t vendor;
    uint16_t product;
    const char* productName;
    const char* vendorName;  // null: the device's own vendor string stays
};

// Empty strings become "Unknown vendor" and "USB Device"; known products get
// their table names. Both buffers hold 256 bytes.
void driverOverwriteProductVendorStrings(char* vendorString, char* productString, uint16_t vendor,
                                         uint16_t product);
