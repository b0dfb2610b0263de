// Reference-counted base of the descriptor model and its fixed-capacity
// array. The array never grows: a device can present at most as many
// interfaces, alternates and endpoints as fit in 64 slots per level, and
// whatever does not fit is refused and freed by the scan that made it.
#pragma once

#include <cstdint>

class ZrSimpleObject {
public:
    ZrSimpleObject() = default;
    virtual ~ZrSimpleObject() = default;
    ZrSimpleObject(const ZrSimpleObject&) = delete;
    ZrSimpleObject& operator=(const ZrSimpleObject&) = delete;

    virtual bool isDeletable() const { return mReferenceCount <= 0; }

    int32_t incReferences() { return ++mReferenceCount; }
    int32_t decReferences() { return --mReferenceCount; }
    int32_t getReferenceCount() const { return mReferenceCount; }

private:
    int32_t mReferenceCount = 0;
};

class ZrSimpleArray : public ZrSimpleObject {
public:
    static constexpr int kCapacity = 64;

    ZrSimpleArray() = default;
    ~ZrSimpleArray() override;

    // False for null or when the array is full; otherwise takes a reference.
    bool add(ZrSimpleObject* obj);
    // By identity; drops the reference and closes the gap. The object or null.
    ZrSimpleObject* remove(ZrSimpleObject* obj);
    // Remove, then delete the object when nobody else holds it.
    void del(ZrSimpleObject* obj);
    bool contains(const ZrSimpleObject* obj) const;
    ZrSimpleObject* atPos(int i) const { return (i < 0 || i >= mCount) ? nullptr : mItems[i]; }
    template <class T> T* at(int i) const { return static_cast<T*>(atPos(i)); }
    int count() const { return mCount; }
    bool isFull() const { return mCount >= kCapacity; }
    // Drops every reference; deletes nothing.
    void removeAll();
    // Drops every reference and deletes what nobody else holds.
    void deleteAll();

private:
    int32_t mCount = 0;
    ZrSimpleObject* mItems[kCapacity] = {};
};
