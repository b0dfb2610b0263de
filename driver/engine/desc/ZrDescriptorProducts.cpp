#include "driver/engine/desc/ZrDescriptorProducts.h"

#include "abi/APIDeviceInfo.h"

namespace ZrDescriptorProducts {

namespace {
template <size_t N> bool inList(const VIDPID& id, uint16_t vendor, const uint16_t (&products)[N])
{
    if (id.vendor() != vendor)
        return false;
    for (uint16_t p : products)
        if (id.product() == p)
            return true;
    return false;
}
}  // namespace

bool isKorvexFamily(const VIDPID& id)
{
    static constexpr uint16_t kFamily[] = {kHX5100, kHX5100Sibling, kLX880, kLX310};
    return inList(id, kKorvexVendor, kFamily);
}

bool isKorvex192(const VIDPID& id)
{
    static constexpr uint16_t k192[] = {kHX5100, kHX5100Sibling};
    return inList(id, kKorvexVendor, k192);
}

bool isSorvikFarlane1(const VIDPID& id) { return inList(id, kSorvikVendor, kSorvikFarlane1); }
bool isSorvikFarlane2(const VIDPID& id) { return inList(id, kSorvikVendor, kSorvikFarlane2); }
bool isSorvik(const VIDPID& id) { return isSorvikFarlane1(id) || isSorvikFarlane2(id); }

bool featuresLoaded(const VIDPID& id) { return id.features() && id.features()->mLoaded; }

bool featuresLoadedWithout(const VIDPID& id, unsigned flag)
{
    return featuresLoaded(id) && !id.features()->hasFlag(flag);
}

bool isMerrowCompatible(const VIDPID& id)
{
    return !featuresLoaded(id) || id.features()->hasFlag(eSpecFeature_MerrowCompatible);
}

bool isMRW192Compatible(const VIDPID& id)
{
    return !featuresLoaded(id) || id.features()->hasFlag(eSpecFeature_MRW192Compatible);
}

bool wantsSynthesizedDescriptors(const VIDPID& id)
{
    return featuresLoaded(id) && !id.features()->hasFlag(eSpecFeature_MerrowCompatible) &&
           id.features()->hasFlag(eSpecFeature_SynthesizedDescriptors);
}

}  // namespace ZrDescriptorProducts
