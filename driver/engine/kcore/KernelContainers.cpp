#include "driver/engine/kcore/KernelContainers.h"

#include <cstring>

#include "platform/base/HXLog.h"

namespace Core {

namespace {

// Bisection over a sorted array: compare(key, item), negative goes lower.
void* bisect(const void* key, uint8_t* data, uint64_t count, uint64_t size,
             pfn_arrayCompare compare, uint64_t& index) {
    uint64_t lo = 0, hi = count;
    while (lo < hi) {
        uint64_t mid = lo + (hi - lo) / 2;
        long long c = compare(key, data + mid * size);
        if (c == 0) {
            index = mid;
            return data + mid * size;
        }
        if (c < 0)
            hi = mid;
        else
            lo = mid + 1;
    }
    return nullptr;
}

// In-place insertion sort: the kernel arrays are short (thread-local table
// buckets), and it needs no extra memory beyond one item.
bool sortItems(uint8_t* data, uint64_t count, uint64_t size, pfn_arrayCompare compare) {
    if (count < 2) return true;
    uint8_t* tmp = static_cast<uint8_t*>(QnKernel::memoryAlloc(size));
    if (!tmp) return false;
    for (uint64_t i = 1; i < count; ++i) {
        std::memcpy(tmp, data + i * size, size);
        uint64_t j = i;
        while (j > 0 && compare(data + (j - 1) * size, tmp) > 0) {
            std::memcpy(data + j * size, data + (j - 1) * size, size);
            --j;
        }
        std::memcpy(data + j * size, tmp, size);
    }
    QnKernel::memoryFree(tmp);
    return true;
}

} // namespace

int Array::init(uint64_t itemSize, pfn_arrayCompare compare) {
    term();
    mItemSize = itemSize;
    mCompare = compare;
    mSorted = compare != nullptr;
    return 0;
}

void Array::term() {
    QnKernel::memoryFree(mData);
    mData = nullptr;
    mCount = mCapacity = mItemSize = 0;
    mCompare = nullptr;
    mSorted = false;
}

void* Array::getItemAt(uint64_t index) const {
    return index < mCount ? mData + index * mItemSize : nullptr;
}

bool Array::sort() {
    if (mSorted) return true;
    if (!mCompare) return false;
    if (!sortItems(mData, mCount, mItemSize, mCompare)) return false;
    mSorted = true;
    return true;
}

void* Array::find(const void* key, int64_t* index) const {
    if (!mSorted) return findLinear(key, index);
    uint64_t at = 0;
    void* item = (key && mCount) ? bisect(key, mData, mCount, mItemSize, mCompare, at) : nullptr;
    if (index) *index = item ? int64_t(at) : -1;
    return item;
}

void* Array::findLinear(const void* key, int64_t* index) const {
    if (index) *index = -1;
    if (!key || !mCompare) return nullptr;
    for (uint64_t i = 0; i < mCount; ++i) {
        uint8_t* item = mData + i * mItemSize;
        if (mCompare(item, key) == 0) {
            if (index) *index = int64_t(i);
            return item;
        }
    }
    return nullptr;
}

int64_t Array::getIndexOf(const void* item) const {
    const uint8_t* p = static_cast<const uint8_t*>(item);
    if (!p || !mData || p < mData || mItemSize == 0) return -1;
    uint64_t offset = uint64_t(p - mData);
    if (offset % mItemSize) {
        IOLog("%s pItem not aligned\n", "Core::Array::getIndexOf");
        return -1;
    }
    uint64_t index = offset / mItemSize;
    return index < mCount ? int64_t(index) : -1;
}

bool Array::addUnsorted(const void* items, uint64_t n) {
    if (!items || n == 0 || mItemSize == 0) return false;
    if (mCapacity < mCount + n) {
        uint64_t grow = mCapacity + n;
        uint64_t quarter = mCapacity + mCapacity / 4;
        uint64_t cap = grow > quarter ? grow : quarter;
        cap = (cap + 15) & ~uint64_t(15);
        if (cap < 16) cap = 16;
        if (cap <= mCount || cap > ~uint64_t(0) / mItemSize) return false;
        uint8_t* block = static_cast<uint8_t*>(QnKernel::memoryAlloc(cap * mItemSize));
        if (!block) {
            IOLog("%s out of memory\n", "Core::Array::addUnsorted");
            return false;
        }
        if (mData) std::memcpy(block, mData, mCapacity * mItemSize);
        std::memset(block + mCapacity * mItemSize, 0, (cap - mCapacity) * mItemSize);
        QnKernel::memoryFree(mData);
        mData = block;
        mCapacity = cap;
    }
    std::memmove(mData + mCount * mItemSize, items, n * mItemSize);
    mCount += n;
    mSorted = false;
    return true;
}

bool Array::add(const void* items, uint64_t n) {
    bool wasSorted = mSorted;
    if (!addUnsorted(items, n)) return false;
    if (wasSorted) sort();
    return true;
}

bool Array::add(const Array& other) {
    if (other.mItemSize != mItemSize) return false;
    return other.mCount == 0 || add(other.mData, other.mCount);
}

bool Array::addUnsorted(const Array& other) {
    if (other.mItemSize != mItemSize) return false;
    return other.mCount == 0 || addUnsorted(other.mData, other.mCount);
}

bool Array::remove(uint64_t index) {
    if (index >= mCount) return false;
    std::memmove(mData + index * mItemSize, mData + (index + 1) * mItemSize,
                 (mCount - index - 1) * mItemSize);
    --mCount;
    return true;
}

int HashTable::init(int bucketCount, uint64_t itemSize, pfn_arrayCompare compare) {
    term();
    if (bucketCount < 1) bucketCount = 1;
    mBuckets = new (std::nothrow) Array[size_t(bucketCount)];
    if (!mBuckets) return -1;
    mBucketCount = bucketCount;
    for (int i = 0; i < bucketCount; ++i)
        mBuckets[i].init(itemSize, compare);
    return 0;
}

void HashTable::term() {
    delete[] mBuckets;
    mBuckets = nullptr;
    mBucketCount = 0;
}

void* HashTable::find(const void* key, uint64_t hash) const {
    if (!mBuckets) return nullptr;
    return mBuckets[hash % uint64_t(mBucketCount)].find(key);
}

bool HashTable::add(const void* item, uint64_t hash) {
    if (!mBuckets) return false;
    return mBuckets[hash % uint64_t(mBucketCount)].add(item, 1);
}

bool HashTable::remove(const void* key, uint64_t hash) {
    if (!mBuckets) return false;
    Array& bucket = mBuckets[hash % uint64_t(mBucketCount)];
    void* item = bucket.find(key);
    return item && bucket.remove(item);
}

} // namespace Core

void RWLock::init() {
    QnKernel::semaphoreCreate(&mGate, 1);
    QnKernel::semaphoreCreate(&mWrite, 1);
    mReaders = 0;
}

void RWLock::term() {
    QnKernel::semaphoreDestroy(&mGate);
    QnKernel::semaphoreDestroy(&mWrite);
}

void RWLock::lockRead() {
    QnKernel::semaphoreAcquire(&mGate, -1);
    if (++mReaders == 1) QnKernel::semaphoreAcquire(&mWrite, -1);
    QnKernel::semaphoreRelease(&mGate);
}

void RWLock::unlockRead() {
    QnKernel::semaphoreAcquire(&mGate, -1);
    if (--mReaders == 0) QnKernel::semaphoreRelease(&mWrite);
    QnKernel::semaphoreRelease(&mGate);
}

void RWLock::lockWrite() {
    QnKernel::semaphoreAcquire(&mWrite, -1);
}
void RWLock::unlockWrite() {
    QnKernel::semaphoreRelease(&mWrite);
}
