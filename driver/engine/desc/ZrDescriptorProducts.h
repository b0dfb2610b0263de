// Products whose descriptors the model corrects, completes or reads in a
// product-specific way. Quirks are data: code asks these predicates, never
// compares identifiers inline.
//
// The identifiers are this driver's own choice; the simulated devices are
// built with the same values. The HX-5100's come from the product table.
#pragma once

#include <cstdint>

#include "abi/VIDPID.h"
#include "driver/engine/ZrProductTable.h"

namespace ZrDescriptorProducts {

constexpr uint16_t kKorvexVendor = kKorvexVendorID;
constexpr uint16_t kHX5100 = kKorvexHX5100ProductID;
constexpr uint16_t kHX5100Sibling = 0x5101;  // the HX-5100's rack sibling: same interfaces and rates
constexpr uint16_t kLX880 = 0x0880;
constexpr uint16_t kLX310 = 0x0310;

// First-generation Sorvik devices (fixed 48 kHz alternates built by the
// driver) and the second protocol generation (formats derived from the
// interrupt endpoints' packet sizes).
constexpr uint16_t kSorvikVendor = 0x2F5C;
constexpr uint16_t kSorvikFarlane1[] = {0x0101, 0x0102, 0x0103, 0x0104};
constexpr uint16_t kSorvikFarlane2[] = {0x0201, 0x0202, 0x0203, 0x0204, 0x0205, 0x0206, 0x0207};

// The HX-5100 and its three siblings of the hardware brand.
bool isKorvexFamily(const VIDPID& id);
// The two of the family that stream up to 192 kHz at high speed.
bool isKorvex192(const VIDPID& id);
bool isSorvikFarlane1(const VIDPID& id);
bool isSorvikFarlane2(const VIDPID& id);
bool isSorvik(const VIDPID& id);

// The identity's view of its specific-features record.
bool isMerrowCompatible(const VIDPID& id);
bool isMRW192Compatible(const VIDPID& id);
bool wantsSynthesizedDescriptors(const VIDPID& id);
bool featuresLoaded(const VIDPID& id);
bool featuresLoadedWithout(const VIDPID& id, unsigned flag);

}  // namespace ZrDescriptorProducts
