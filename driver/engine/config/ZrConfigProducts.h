// What the configuration choices need to know about a device: which listed
// product it is (as flags, read once at attach, so the choosers test flags
// and never identifiers), its bus speed and its specific-features record.
//
// The identifiers come from the product table; each listed product's row
// gives its flags.
#pragma once

#include <cstdint>

#include "abi/APIDeviceInfo.h"

enum ZrConfigProduct : uint32_t {
    kZrProductHX5100 = 1u << 0,
    kZrProductLX150 = 1u << 1,
    kZrProductLX420 = 1u << 2,
    kZrProductLX610 = 1u << 3,
    kZrProductLX880 = 1u << 4,
    kZrProductLX4xxFurther = 1u << 5, // the further LX4xx product (port register read every time)
    kZrProductLX4xxFixed18 = 1u << 6, // the LX4xx product whose selector takes the fixed 18
    kZrProductKSV0 = 1u << 7,         // another maker's
    kZrProductPellix = 1u << 8,
    kZrProductKestrel = 1u << 9,
    kZrProductKestrelLike =
        1u << 10,                    // the second and third listed products with a 1-channel output
    kZrProductTUSBMSB = 1u << 11,    // the listed product of another maker (MSB-first 24-bit)
    kZrProductTUSB2ch = 1u << 12,    // the further maker's two products (the Trunk pair)
    kZrProductMerrowBulk = 1u << 13, // the driver maker's bulk protocol
    kZrProductSorvikFarlane = 1u << 14, // the Farlane-family Sorvik products
    kZrProductTolvane = 1u << 15,
    kZrProductMI4 = 1u << 16,  // the 4-channel listed product (swapped 4-channel input)
    kZrProductOlvq = 1u << 17, // the Olvq products with a CPLD byte
    kZrProductSelectorNonMerrow = 1u
                                  << 18, // the two non-Merrow products that still use the selector
    kZrProductLock44k = 1u << 19,        // the two products that set 44.1 kHz before a lock read
    kZrProductGarneto = 1u << 20,
    kZrProductBrava = 1u << 21,
    kZrProductStreamingSetCur = 1u << 22, // the device told of streaming over its control interface
    kZrProductSelectorFree = 1u << 23, // the other maker's device whose selector update is skipped
    kZrProductOlvqSelector = 1u << 24, // the three Olvq products with their own selector layout
    kZrProductOlvqCodec = 1u << 25,    // the Olvq product sent a codec write when configured
    kZrProductSelectorRateRead =
        1u << 26, // reads the rate, then the selector again, after a good read
};

// The LX4xx family as the selector and port-register code sees it.
constexpr uint32_t kZrProductLX4xxFamily =
    kZrProductLX420 | kZrProductLX4xxFurther | kZrProductLX4xxFixed18;

// Flags of a device by its identifiers; 0 for a device this driver does not list.
uint32_t ZrConfigProductFlagsFor(uint16_t vendor, uint16_t product);

// A second-generation Sorvik product's own channel pair (input, output);
// false for the others, which take 4 and 4.
bool ZrFarlane2ChannelPair(uint16_t vendor, uint16_t product, uint32_t& ins, uint32_t& outs);

struct ZrDeviceTraits {
    uint32_t products = 0; // ZrConfigProduct bits
    bool highSpeed = false;
    const APISpecificFeatures* features = nullptr; // null: no features record loaded
    bool merrowCompatible = true;
    bool mrw192Compatible = true;
    bool noDigital = false; // ZrDevice::ajHasNoDigital
    bool can192k = true;    // the device offers 192 kHz with the current formats

    bool is(uint32_t productBits) const { return (products & productBits) != 0; }
    bool hasFeatures() const { return features != nullptr; }
    bool hasFeature(unsigned n) const { return features && features->hasFlag(n); }
};
