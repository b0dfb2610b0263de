#include "driver/engine/desc/ZrDescriptorProducts.h"

#include "abi/APIDeviceInfo.h"

namespace ZrDescriptorProducts {

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
