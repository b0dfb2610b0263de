#include "device/PropertyItem.h"

#include <cstdio>

bool PropertyItem::set(uint32_t value, bool notify) {
    if (mType != ePropUInt32) {
        std::printf("PropertyItem::set(UInt32 v) invalid type %d\n", int(mType));
        return false;
    }
    if (mValue.exchange(value) == value) return false;
    if (notify && mHost) mHost->onPropertyChanged(this);
    return true;
}

uint32_t PropertyItem::getUInt32() const {
    if (mType != ePropUInt32) {
        std::printf("PropertyItem::getUInt32 invalid type %d\n", int(mType));
        return 0;
    }
    return mValue.load();
}
