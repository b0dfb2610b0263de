// The device's settings in the audio server host's storage, so that an
// activated device can bring the kernel driver back to its last known state.
//
// Under "com.korvex.hx5100" lies one dictionary: a snapshot of the kernel
// device's registry properties, which the getters read single values back
// from (each getter re-reads storage first, so it never sees a stale copy).
// A Sorvik device's configuration and channel map lie under
// "SORVIK_%16llX" of its 8-byte device state; loose 32-bit values under
// their own names.
//
// Stored data is untrusted: a block counts only when it has exactly its
// size, a stored non-dictionary counts as absent, a non-dictionary
// "ChannelSettings" or "AjExtData" as missing. The working dictionary has a
// lock of its own, innermost of all: activation and kernel notices reach the
// store on two threads.
#pragma once

#include <mutex>

#include "abi/DriverSM.h"
#include "abi/QN_Dispatch.h"
#include "platform/cf/CoreFoundation.h"

class QnStoragePrefs {
public:
    static constexpr CFIndex kReverbBuffersSize = 1536; // six 256-byte parameter blocks
    static constexpr CFIndex kMixerBufferSize = 64;
    static constexpr CFIndex kMixerFractionsSize = 512;
    static constexpr CFIndex kRoutingMatrixSize = 32;

    QnStoragePrefs();
    virtual ~QnStoragePrefs();
    QnStoragePrefs(const QnStoragePrefs&) = delete;
    QnStoragePrefs& operator=(const QnStoragePrefs&) = delete;

    bool readStorageProperties(CFStringRef inKey);
    bool writeStorageProperties(CFDictionaryRef inDictionary);

    bool getStoredChannelValue(const char* inName, int& outValue);
    bool getStoredFrequency(int& outValue) { return getStoredChannelValue("Frequency", outValue); }
    bool getStoredInChannels(int& outValue) {
        return getStoredChannelValue("InChannels", outValue);
    }
    bool getStoredOutChannels(int& outValue) {
        return getStoredChannelValue("OutChannels", outValue);
    }
    bool getStoredInResolution(int& outValue) {
        return getStoredChannelValue("InResolution", outValue);
    }
    bool getStoredOutResolution(int& outValue) {
        return getStoredChannelValue("OutResolution", outValue);
    }

    void getStoredAjExt(QnAjExtData& ioRecord);

    bool getStoredMixerMode(int& outValue);
    bool getStoredMixerKnob(int& outValue);
    bool getStoredMixerValues(int& outValue);

    bool getStoredReverbBuffers(void* outBuffer);
    bool getStoredMixerBuffer(void* outBuffer);
    bool getStoredMixerFractions(void* outBuffer);
    bool getStoredRoutingMatrix(void* outBuffer);

    bool getStoredSorvikConfigAndMapping(QN_Sorvik_ConfigAndMap& outRecord, char* inIdentifier);
    bool setStoredSorvikConfigAndMapping(QN_Sorvik_ConfigAndMap& inRecord, char* inIdentifier,
                                         bool inFlag);

    bool setValue(UInt32 inValue, const char* inName);
    UInt32 getValue(const char* inName, UInt32 inDefault);

    bool settingsSeen() const { return mSettingsSeen; }

    // The working dictionary (a copy for the caller).
    CFDictionaryRef copyWorkingDictionary() const;

private:
    bool getStoredNumber(CFStringRef inKey, const char* inName, int& outValue);
    bool getStoredBlock(CFStringRef inKey, CFIndex inSize, void* outBuffer,
                        const char* inMissingLine);

    mutable std::mutex mDictionaryLock;
    CFMutableDictionaryRef mSettings;
    bool mSettingsSeen = false;
};

// Reads one value from the host's storage (the caller owns it), or null.
CFPropertyListRef readStoredProperties(CFStringRef inKey);
// Writes one value to the host's storage; true when the host took it.
bool storeProperties(CFStringRef inKey, CFPropertyListRef inValue);
