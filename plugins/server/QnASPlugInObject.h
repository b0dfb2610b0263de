// The base of every object the audio server host addresses by ID: its
// identity (ID, class, base class, owner), an active flag, and the five
// property operations the driver interface calls. A derived class answers
// its own selectors and hands every other one to these, which answer the
// identity properties in the global scope, element 0.
#pragma once

#include "platform/coreaudio/AudioServerPlugIn.h"

class QnASPlugInObject {
public:
    QnASPlugInObject(AudioObjectID inObjectID, AudioClassID inClassID, AudioClassID inBaseClassID,
                     AudioObjectID inOwnerObjectID);

    virtual void Activate();
    virtual void Deactivate();
    virtual ~QnASPlugInObject();

    virtual bool HasProperty(AudioObjectID inObjectID, pid_t inClientPID,
                             const AudioObjectPropertyAddress& inAddress) const;
    virtual bool IsPropertySettable(AudioObjectID inObjectID, pid_t inClientPID,
                                    const AudioObjectPropertyAddress& inAddress) const;
    virtual UInt32 GetPropertyDataSize(AudioObjectID inObjectID, pid_t inClientPID,
                                       const AudioObjectPropertyAddress& inAddress,
                                       UInt32 inQualifierDataSize,
                                       const void* inQualifierData) const;
    virtual void GetPropertyData(AudioObjectID inObjectID, pid_t inClientPID,
                                 const AudioObjectPropertyAddress& inAddress,
                                 UInt32 inQualifierDataSize, const void* inQualifierData,
                                 UInt32 inDataSize, UInt32& outDataSize, void* outData) const;
    virtual void SetPropertyData(AudioObjectID inObjectID, pid_t inClientPID,
                                 const AudioObjectPropertyAddress& inAddress,
                                 UInt32 inQualifierDataSize, const void* inQualifierData,
                                 UInt32 inDataSize, const void* inData);

    AudioObjectID GetObjectID() const { return mObjectID; }
    AudioClassID GetClassID() const { return mClassID; }
    AudioClassID GetBaseClassID() const { return mBaseClassID; }
    AudioObjectID GetOwnerObjectID() const { return mOwnerObjectID; }
    bool IsActive() const { return mIsActive; }

protected:
    const AudioObjectID mObjectID;
    const AudioClassID mClassID;
    const AudioClassID mBaseClassID;
    const AudioObjectID mOwnerObjectID;
    bool mIsActive = false;
};
