// Root of the tools library's class tree: a polymorphic object with an
// atomic reference count. Holders (collections, callers that keep an object
// beyond one call) count it up and down; the decrement that reaches zero
// deletes it.
#pragma once

class ZrObject {
public:
    ZrObject();

    // Ordering used by sorted collections; must give -1, 0 or +1.
    virtual int compare(ZrObject const& other) const;
    virtual bool onCommand(int a, int b);
    virtual ~ZrObject();
    virtual bool isEqual(ZrObject const& other) const;

    int incReferences();
    // Deletes the object when the count reaches 0 and then returns 0.
    int decReferences();

    bool operator==(ZrObject const& other) const { return isEqual(other); }

protected:
    // Copies start uncounted: a count belongs to one object, not its value.
    ZrObject(ZrObject const&) : mReferences(0) {}
    ZrObject& operator=(ZrObject const&) { return *this; }

private:
    int volatile mReferences;
};
