// The five property operations of the device object, routed by object ID:
// the device itself, its two streams, its six controls; any other ID is no
// object of this device. The device's own table is answered by the base
// object until the device's property table takes its place here.
#include <syslog.h>

#include "plugins/server/CAException.h"
#include "plugins/server/QnASPlugInDevice.h"

namespace {
// The host's calls reach the device through const entries; the stream and
// control handlers take the device's mutexes and ask the device logic.
QnASPlugInDevice& self(const QnASPlugInDevice* inDevice) {
    return const_cast<QnASPlugInDevice&>(*inDevice);
}
} // namespace

bool QnASPlugInDevice::HasProperty(AudioObjectID inObjectID, pid_t inClientPID,
                                   const AudioObjectPropertyAddress& inAddress) const {
    if (inObjectID == mObjectID)
        return QnASPlugInObject::HasProperty(inObjectID, inClientPID, inAddress);
    if (isStreamID(inObjectID))
        return self(this).Stream_HasProperty(inObjectID, inClientPID, inAddress);
    if (isControlID(inObjectID))
        return self(this).Control_HasProperty(inObjectID, inClientPID, inAddress);
    throw CAException(kAudioHardwareBadObjectError);
}

bool QnASPlugInDevice::IsPropertySettable(AudioObjectID inObjectID, pid_t inClientPID,
                                          const AudioObjectPropertyAddress& inAddress) const {
    if (inObjectID == mObjectID)
        return QnASPlugInObject::IsPropertySettable(inObjectID, inClientPID, inAddress);
    if (isStreamID(inObjectID))
        return self(this).Stream_IsPropertySettable(inObjectID, inClientPID, inAddress);
    if (isControlID(inObjectID))
        return self(this).Control_IsPropertySettable(inObjectID, inClientPID, inAddress);
    throw CAException(kAudioHardwareBadObjectError);
}

UInt32 QnASPlugInDevice::GetPropertyDataSize(AudioObjectID inObjectID, pid_t inClientPID,
                                             const AudioObjectPropertyAddress& inAddress,
                                             UInt32 inQualifierDataSize,
                                             const void* inQualifierData) const {
    if (inObjectID == mObjectID)
        return QnASPlugInObject::GetPropertyDataSize(inObjectID, inClientPID, inAddress,
                                                     inQualifierDataSize, inQualifierData);
    if (isStreamID(inObjectID))
        return self(this).Stream_GetPropertyDataSize(inObjectID, inClientPID, inAddress,
                                                     inQualifierDataSize, inQualifierData);
    if (isControlID(inObjectID))
        return self(this).Control_GetPropertyDataSize(inObjectID, inClientPID, inAddress,
                                                      inQualifierDataSize, inQualifierData);
    throw CAException(kAudioHardwareBadObjectError);
}

void QnASPlugInDevice::GetPropertyData(AudioObjectID inObjectID, pid_t inClientPID,
                                       const AudioObjectPropertyAddress& inAddress,
                                       UInt32 inQualifierDataSize, const void* inQualifierData,
                                       UInt32 inDataSize, UInt32& outDataSize,
                                       void* outData) const {
    if (!mIsActive) {
        syslog(LOG_ERR, "Device inactive, returning\n");
        throw CAException(kAudioHardwareNotRunningError);
    }
    if (inObjectID == mObjectID)
        return QnASPlugInObject::GetPropertyData(inObjectID, inClientPID, inAddress,
                                                 inQualifierDataSize, inQualifierData, inDataSize,
                                                 outDataSize, outData);
    if (isStreamID(inObjectID))
        return self(this).Stream_GetPropertyData(inObjectID, inClientPID, inAddress,
                                                 inQualifierDataSize, inQualifierData, inDataSize,
                                                 outDataSize, outData);
    if (isControlID(inObjectID))
        return self(this).Control_GetPropertyData(inObjectID, inClientPID, inAddress,
                                                  inQualifierDataSize, inQualifierData, inDataSize,
                                                  outDataSize, outData);
    throw CAException(kAudioHardwareBadObjectError);
}

void QnASPlugInDevice::SetPropertyData(AudioObjectID inObjectID, pid_t inClientPID,
                                       const AudioObjectPropertyAddress& inAddress,
                                       UInt32 inQualifierDataSize, const void* inQualifierData,
                                       UInt32 inDataSize, const void* inData) {
    if (inObjectID == mObjectID)
        return QnASPlugInObject::SetPropertyData(inObjectID, inClientPID, inAddress,
                                                 inQualifierDataSize, inQualifierData, inDataSize,
                                                 inData);
    if (isStreamID(inObjectID))
        return Stream_SetPropertyData(inObjectID, inClientPID, inAddress, inQualifierDataSize,
                                      inQualifierData, inDataSize, inData);
    if (isControlID(inObjectID))
        return Control_SetPropertyData(inObjectID, inClientPID, inAddress, inQualifierDataSize,
                                       inQualifierData, inDataSize, inData);
    throw CAException(kAudioHardwareBadObjectError);
}
