// Containers that only the kernel build of the core library has: a growable
// array of fixed-size items, a hash table of such arrays, and a reader/writer
// lock that lets readers in while other readers are inside.
#pragma once

#include <cstdint>

#include "driver/engine/kcore/KernelCore.h"

namespace Core {

typedef long long (*pfn_arrayCompare)(const void* a, const void* b);

class Array {
public:
    Array() = default;
    ~Array() { term(); }
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;

    int init(uint64_t itemSize, pfn_arrayCompare compare);
    void term();

    uint64_t count() const { return mCount; }
    uint64_t capacity() const { return mCapacity; }
    bool isSorted() const { return mSorted; }

    void* getItemAt(uint64_t index) const;
    bool sort();
    void* find(const void* key, int64_t* index = nullptr) const;
    void* findLinear(const void* key, int64_t* index = nullptr) const;
    int64_t getIndexOf(const void* item) const;
    bool addUnsorted(const void* items, uint64_t n);
    bool add(const void* items, uint64_t n);
    bool add(const Array& other);
    bool addUnsorted(const Array& other);
    bool remove(const void* item) { return remove(uint64_t(getIndexOf(item))); }
    bool remove(uint64_t index);

private:
    uint64_t mCount = 0;
    pfn_arrayCompare mCompare = nullptr;
    uint64_t mItemSize = 0;
    uint64_t mCapacity = 0;
    uint8_t* mData = nullptr;
    bool mSorted = false;
};

class HashTable {
public:
    HashTable() = default;
    ~HashTable() { term(); }
    HashTable(const HashTable&) = delete;
    HashTable& operator=(const HashTable&) = delete;

    int init(int bucketCount, uint64_t itemSize, pfn_arrayCompare compare);
    void term();
    int bucketCount() const { return mBucketCount; }

    void* find(const void* key, uint64_t hash) const;
    bool add(const void* item, uint64_t hash);
    bool remove(const void* key, uint64_t hash);

private:
    Array* mBuckets = nullptr;
    int mBucketCount = 0;
};

} // namespace Core

class RWLock {
public:
    void init();
    void term();
    void lockRead();
    void unlockRead();
    void lockWrite();
    void unlockWrite();

private:
    QnKernel::qn_semaphore_t mGate{};
    QnKernel::qn_semaphore_t mWrite{};
    int32_t mReaders = 0;
};
