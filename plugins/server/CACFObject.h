// Holders of one CoreFoundation reference: the holder releases it once when
// it dies if it owns it (the will-release flag). Assigning a raw object
// retains it and makes the holder its owner.
#pragma once

#include "platform/cf/CoreFoundation.h"

template <class CFObjectType> class CACFObject {
public:
    CACFObject() = default;
    explicit CACFObject(CFObjectType inObject, bool inWillRelease = true)
        : mCFObject(inObject), mWillRelease(inWillRelease) {}
    CACFObject(const CACFObject& inOther)
        : mCFObject(inOther.mCFObject), mWillRelease(inOther.mWillRelease) {
        if (mWillRelease && mCFObject) CFRetain(mCFObject);
    }
    ~CACFObject() { Release(); }

    CACFObject& operator=(const CACFObject& inOther) {
        if (this != &inOther) *this = inOther.mCFObject;
        return *this;
    }
    CACFObject& operator=(CFObjectType inObject) {
        if (inObject) CFRetain(inObject);
        Release();
        mCFObject = inObject;
        mWillRelease = true;
        return *this;
    }

    bool IsValid() const { return mCFObject != nullptr; }
    bool WillRelease() const { return mWillRelease; }
    void SetWillRelease(bool inWillRelease) { mWillRelease = inWillRelease; }
    CFObjectType GetCFObject() const { return mCFObject; }
    CFObjectType CopyCFObject() const {
        if (mCFObject) CFRetain(mCFObject);
        return mCFObject;
    }

private:
    void Release() {
        if (mWillRelease && mCFObject) CFRelease(mCFObject);
        mCFObject = nullptr;
    }

    CFObjectType mCFObject = nullptr;
    bool mWillRelease = true;
};

typedef CACFObject<CFNumberRef> CACFNumber;
typedef CACFObject<CFBooleanRef> CACFBoolean;
typedef CACFObject<CFTypeRef> CACFType;
