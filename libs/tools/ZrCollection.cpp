#include "libs/tools/ZrCollection.h"

#include <cstdlib>

namespace {

constexpr int kInitialCapacity = 5;
constexpr int kGrowthLimit = 0x7FFF;

// Ordering of two elements reduced to its sign, so an element class whose
// compare answers any negative or positive value still sorts and searches
// consistently.
inline int orderOf(ZrObject const& a, ZrObject const& b) {
    int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int qsortOrder(void const* a, void const* b) {
    ZrObject* const* x = static_cast<ZrObject* const*>(a);
    ZrObject* const* y = static_cast<ZrObject* const*>(b);
    return orderOf(**x, **y);
}

} // namespace

// ---- ZrCollection ----

ZrCollection::ZrCollection()
    : mCapacity(kInitialCapacity), mCount(0), mItems(new ZrObject*[kInitialCapacity]()) {}

ZrCollection::~ZrCollection() {
    removeAll();
    delete[] mItems;
}

bool ZrCollection::add(ZrObject* obj) {
    if (!obj) return false;
    if (mCount == mCapacity) {
        if (mCapacity >= kGrowthLimit) return false;
        expand(mCapacity * 2);
    }
    mItems[mCount++] = obj;
    obj->incReferences();
    return true;
}

void ZrCollection::remove(ZrObject* obj) {
    if (!obj) return;
    int i = findSameIndex(obj);
    if (i < 0) return;
    obj->decReferences();
    for (int j = i; j + 1 < mCount; ++j)
        mItems[j] = mItems[j + 1];
    mItems[mCount - 1] = nullptr;
    --mCount;
}

ZrCollection& ZrCollection::removeAll() {
    for (int i = 0; i < mCount; ++i) {
        ZrObject* obj = mItems[i];
        if (obj) obj->decReferences();
        mItems[i] = nullptr;
    }
    mCount = 0;
    return *this;
}

ZrObject* ZrCollection::atPos(int i) const {
    if (i < 0 || i >= mCount) return nullptr;
    return mItems[i];
}

int ZrCollection::findIndex(ZrObject* key) {
    if (!key) return -1;
    for (int i = 0; i < mCount; ++i)
        if (mItems[i] && mItems[i]->isEqual(*key)) return i;
    return -1;
}

ZrObject* ZrCollection::find(ZrObject* key) {
    int i = findIndex(key);
    return i < 0 ? nullptr : atPos(i);
}

bool ZrCollection::findSame(ZrObject* obj) {
    return findSameIndex(obj) >= 0;
}

int ZrCollection::findSameIndex(ZrObject* obj) {
    if (!obj) return -1;
    for (int i = 0; i < mCount; ++i)
        if (mItems[i] == obj) return i;
    return -1;
}

void ZrCollection::forEach(int a, int b) {
    for (int i = 0; i < mCount; ++i)
        if (mItems[i]) mItems[i]->onCommand(a, b);
}

void ZrCollection::expand(int n) {
    if (n <= mCapacity || n == 0) n = mCapacity + 5;
    ZrObject** grown = new ZrObject*[n]();
    for (int i = 0; i < mCount; ++i)
        grown[i] = mItems[i];
    delete[] mItems;
    mItems = grown;
    mCapacity = n;
}

// ---- ZrSortedCollection ----

ZrSortedCollection::ZrSortedCollection() : mSorted(true) {}

ZrSortedCollection::~ZrSortedCollection() {}

bool ZrSortedCollection::add(ZrObject* obj) {
    if (!obj) return false;
    if (!mSorted) return ZrCollection::add(obj);
    if (mCount == mCapacity) expand(mCapacity * 2);
    int lo = 0;
    int hi = mCount - 1;
    while (lo <= hi) {
        int mid = (lo + hi) / 2;
        int c = orderOf(*mItems[mid], *obj);
        if (c < 0) {
            lo = mid + 1;
        } else if (c == 0) {
            lo = mid;
            break;
        } else {
            hi = mid - 1;
        }
    }
    for (int j = mCount; j > lo; --j)
        mItems[j] = mItems[j - 1];
    mItems[lo] = obj;
    ++mCount;
    obj->incReferences();
    return true;
}

int ZrSortedCollection::findIndex(ZrObject* key) {
    if (!key) return -1;
    if (!mSorted) return ZrCollection::findIndex(key);
    int lo = 0;
    int hi = mCount - 1;
    while (lo <= hi) {
        int mid = (lo + hi) / 2;
        if (!mItems[mid]) return -1;
        int c = orderOf(*mItems[mid], *key);
        if (c < 0) {
            lo = mid + 1;
        } else if (c > 0) {
            hi = mid - 1;
        } else {
            while (mid > 0 && mItems[mid - 1] && orderOf(*mItems[mid - 1], *key) == 0)
                --mid;
            return mid;
        }
    }
    return -1;
}

bool ZrSortedCollection::addUnsorted(ZrObject* obj) {
    if (!obj) return false;
    mSorted = false;
    return ZrCollection::add(obj);
}

void ZrSortedCollection::doSort() {
    if (mCount > 1) std::qsort(mItems, static_cast<size_t>(mCount), sizeof(ZrObject*), qsortOrder);
    mSorted = true;
}

void ZrSortedCollection::setSorted(bool on) {
    if (on == mSorted) return;
    mSorted = on;
    if (on) doSort();
}
