// Growable arrays of ZrObject pointers that hold one reference per stored
// element, and the sorted variant ordered by ZrObject::compare.
#pragma once

#include "libs/tools/ZrObject.h"

class ZrCollection : public ZrObject {
public:
    ZrCollection();
    ~ZrCollection() override;
    ZrCollection(ZrCollection const&) = delete;
    ZrCollection& operator=(ZrCollection const&) = delete;

    virtual int count() const { return mCount; }
    virtual void reset() {}
    virtual bool add(ZrObject* obj);
    virtual void remove(ZrObject* obj);
    virtual int findIndex(ZrObject* key);
    virtual ZrObject* find(ZrObject* key);
    virtual bool findSame(ZrObject* obj);
    virtual int findSameIndex(ZrObject* obj);

    ZrCollection& removeAll();
    ZrObject* atPos(int i) const;
    void forEach(int a, int b);
    void expand(int n);

    int getCapacity() const { return mCapacity; }

protected:
    int mCapacity;
    int mCount;
    ZrObject** mItems;
};

class ZrSortedCollection : public ZrCollection {
public:
    ZrSortedCollection();
    ~ZrSortedCollection() override;

    bool add(ZrObject* obj) override;
    int findIndex(ZrObject* key) override;
    virtual bool addUnsorted(ZrObject* obj);
    virtual void doSort();

    void forceResort() { doSort(); }
    void setSorted(bool on);
    bool isSorted() const { return mSorted; }

private:
    bool mSorted;
};
