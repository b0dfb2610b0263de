#include "plugins/server/QnASPlugInObject.h"

#include <cstring>

#include "plugins/server/CAException.h"

namespace {

bool isGlobalMain(const AudioObjectPropertyAddress& a) {
    return a.mScope == kAudioObjectPropertyScopeGlobal &&
           a.mElement == kAudioObjectPropertyElementMaster;
}

bool isBaseSelector(AudioObjectPropertySelector selector) {
    switch (selector) {
    case kAudioObjectPropertyBaseClass:
    case kAudioObjectPropertyClass:
    case kAudioObjectPropertyOwner:
    case kAudioObjectPropertyOwnedObjects:
        return true;
    default:
        return false;
    }
}

} // namespace

QnASPlugInObject::QnASPlugInObject(AudioObjectID inObjectID, AudioClassID inClassID,
                                   AudioClassID inBaseClassID, AudioObjectID inOwnerObjectID)
    : mObjectID(inObjectID), mClassID(inClassID), mBaseClassID(inBaseClassID),
      mOwnerObjectID(inOwnerObjectID) {}

QnASPlugInObject::~QnASPlugInObject() = default;

void QnASPlugInObject::Activate() {
    mIsActive = true;
}

void QnASPlugInObject::Deactivate() {
    mIsActive = false;
}

bool QnASPlugInObject::HasProperty(AudioObjectID, pid_t,
                                   const AudioObjectPropertyAddress& inAddress) const {
    return isGlobalMain(inAddress) && isBaseSelector(inAddress.mSelector);
}

bool QnASPlugInObject::IsPropertySettable(AudioObjectID, pid_t,
                                          const AudioObjectPropertyAddress& inAddress) const {
    if (!isBaseSelector(inAddress.mSelector)) throw CAException(kAudioHardwareUnknownPropertyError);
    return false;
}

UInt32 QnASPlugInObject::GetPropertyDataSize(AudioObjectID, pid_t,
                                             const AudioObjectPropertyAddress& inAddress, UInt32,
                                             const void*) const {
    switch (inAddress.mSelector) {
    case kAudioObjectPropertyBaseClass:
    case kAudioObjectPropertyClass:
    case kAudioObjectPropertyOwner:
        return sizeof(UInt32);
    case kAudioObjectPropertyOwnedObjects:
        return 0;
    default:
        throw CAException(kAudioHardwareUnknownPropertyError);
    }
}

void QnASPlugInObject::GetPropertyData(AudioObjectID, pid_t,
                                       const AudioObjectPropertyAddress& inAddress, UInt32,
                                       const void*, UInt32 inDataSize, UInt32& outDataSize,
                                       void* outData) const {
    UInt32 value = 0;
    switch (inAddress.mSelector) {
    case kAudioObjectPropertyBaseClass:
        value = mBaseClassID;
        break;
    case kAudioObjectPropertyClass:
        value = mClassID;
        break;
    case kAudioObjectPropertyOwner:
        value = mOwnerObjectID;
        break;
    case kAudioObjectPropertyOwnedObjects:
        outDataSize = 0;
        return;
    default:
        throw CAException(kAudioHardwareUnknownPropertyError);
    }
    if (inDataSize < sizeof(UInt32)) throw CAException(kAudioHardwareBadPropertySizeError);
    std::memcpy(outData, &value, sizeof value);
    outDataSize = sizeof value;
}

void QnASPlugInObject::SetPropertyData(AudioObjectID, pid_t, const AudioObjectPropertyAddress&,
                                       UInt32, const void*, UInt32, const void*) {
    throw CAException(kAudioHardwareUnknownPropertyError);
}
