#include "driver/engine/desc/ZrSimpleObject.h"

ZrSimpleArray::~ZrSimpleArray() {
    deleteAll();
}

bool ZrSimpleArray::add(ZrSimpleObject* obj) {
    if (!obj || mCount >= kCapacity) return false;
    obj->incReferences();
    mItems[mCount++] = obj;
    return true;
}

ZrSimpleObject* ZrSimpleArray::remove(ZrSimpleObject* obj) {
    if (!obj) return nullptr;
    for (int i = 0; i < mCount; ++i) {
        if (mItems[i] != obj) continue;
        for (int j = i + 1; j < mCount; ++j)
            mItems[j - 1] = mItems[j];
        mItems[--mCount] = nullptr;
        obj->decReferences();
        return obj;
    }
    return nullptr;
}

void ZrSimpleArray::del(ZrSimpleObject* obj) {
    if (remove(obj) && obj->isDeletable()) delete obj;
}

bool ZrSimpleArray::contains(const ZrSimpleObject* obj) const {
    for (int i = 0; i < mCount; ++i)
        if (mItems[i] == obj) return true;
    return false;
}

void ZrSimpleArray::removeAll() {
    while (mCount > 0) {
        ZrSimpleObject* obj = mItems[--mCount];
        mItems[mCount] = nullptr;
        obj->decReferences();
    }
}

void ZrSimpleArray::deleteAll() {
    // Taken from the end so the array is consistent while each destructor
    // runs (a descriptor's destructor may look at its own arrays).
    while (mCount > 0) {
        ZrSimpleObject* obj = mItems[--mCount];
        mItems[mCount] = nullptr;
        if (obj->decReferences() <= 0) delete obj;
    }
}
