// Root of the tools library's class tree: a polymorphic object with an
// atomic reference count. Holders (collections, callers that keep an object
// beyond one call) count it up and down; the decrement that reaches zero
// deletes it.
//
// The count is kept in the header: the look-ups of the plug-ins take and drop
// a reference on every call, so the two operations are inline. Taking a
// reference needs no ordering (the taker already holds one, or a lock keeps
// the object listed); dropping one releases this holder's writes, and the
// last drop acquires all of them before the object is deleted.
#pragma once

#include <atomic>

class ZrObject {
public:
    ZrObject();

    // Ordering used by sorted collections; must give -1, 0 or +1.
    virtual int compare(ZrObject const& other) const;
    virtual bool onCommand(int a, int b);
    virtual ~ZrObject();
    virtual bool isEqual(ZrObject const& other) const;

    int incReferences() { return mReferences.fetch_add(1, std::memory_order_relaxed) + 1; }
    // Deletes the object when the count reaches 0 and then returns 0.
    int decReferences() {
        const int n = mReferences.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (n == 0) delete this;
        return n;
    }

    bool operator==(ZrObject const& other) const { return isEqual(other); }

protected:
    // Copies start uncounted: a count belongs to one object, not its value.
    ZrObject(ZrObject const&) : mReferences(0) {}
    ZrObject& operator=(ZrObject const&) { return *this; }

private:
    std::atomic<int> mReferences;
};
