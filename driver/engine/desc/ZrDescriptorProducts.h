// What the descriptor model asks of a device beyond its descriptors: the
// product row's descriptor quirks, counts rule and fixed alternates (read
// once into the identity's traits, driver/engine/ZrDeviceTraits.h), and the
// identity's view of its specific-features record.
//
// The identifiers are this driver's own choice; the simulated devices are
// built with the same values.
#pragma once

#include <cstdint>

#include "abi/VIDPID.h"
#include "driver/engine/ZrDeviceTraits.h"

namespace ZrDescriptorProducts {

constexpr uint16_t kKorvexVendor = kKorvexVendorID;
constexpr uint16_t kHX5100 = kKorvexHX5100ProductID;
constexpr uint16_t kHX5100Sibling = kKorvexHX5100SiblingProductID;
constexpr uint16_t kLX880 = kKorvexLX880ProductID;
constexpr uint16_t kLX310 = kKorvexLX310ProductID;
constexpr uint16_t kSorvikVendor = kSorvikVendorID;
inline constexpr const uint16_t (&kSorvikFarlane1)[4] = kSorvikFarlane1ProductIDs;
inline constexpr const uint16_t (&kSorvikFarlane2)[7] = kSorvikFarlane2ProductIDs;

// The identity's view of its specific-features record.
bool isMerrowCompatible(const VIDPID& id);
bool isMRW192Compatible(const VIDPID& id);
bool wantsSynthesizedDescriptors(const VIDPID& id);
bool featuresLoaded(const VIDPID& id);
bool featuresLoadedWithout(const VIDPID& id, unsigned flag);

} // namespace ZrDescriptorProducts
