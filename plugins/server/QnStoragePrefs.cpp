#include "plugins/server/QnStoragePrefs.h"

#include <cstdio>
#include <cstring>

#include "plugins/server/CACFDictionary.h"
#include "plugins/server/CADebugMacros.h"
#include "plugins/server/QnASPlugInPlugIn.h"

namespace {

constexpr const char* kSettingsKeyText = "com.korvex.hx5100";
constexpr CFIndex kSorvikRecordSize = sizeof(QN_Sorvik_ConfigAndMap);
static_assert(kSorvikRecordSize == 84);

CFMutableDictionaryRef newEmptyDictionary() {
    return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                     &kCFTypeDictionaryValueCallBacks);
}

bool isDictionary(CFTypeRef value) {
    return value && CFGetTypeID(value) == CFDictionaryGetTypeID();
}
bool isData(CFTypeRef value) {
    return value && CFGetTypeID(value) == CFDataGetTypeID();
}

// The Sorvik key of a device's 8-byte state, blank-padded as it always was.
CFStringRef newSorvikKey(const char* inIdentifier) {
    unsigned long long state = 0;
    std::memcpy(&state, inIdentifier, sizeof state);
    char key[32];
    std::snprintf(key, sizeof key, "SORVIK_%16llX", state);
    return CFStringCreateWithCString(nullptr, key, kCFStringEncodingASCII);
}

CFStringRef newNameKey(const char* inName) {
    return inName ? CFStringCreateWithCString(nullptr, inName, kCFStringEncodingUTF8) : nullptr;
}

// Writes `size` bytes to the plug-in's storage under `key`, which it takes
// over (null when it could not be made).
bool writeBytes(const char* where, const void* bytes, size_t size, CFStringRef key) {
    CFDataRef data = CFDataCreate(nullptr, static_cast<const UInt8*>(bytes), CFIndex(size));
    if (!data) {
        LogError("%s Could not create data ref\n", where);
        if (key) CFRelease(key);
        return false;
    }
    if (!key) {
        LogError("%s Could not create key ref\n", where);
        CFRelease(data);
        return false;
    }
    const bool written = QnASPlugInPlugIn::WriteToStorage(key, data) == 0;
    CFRelease(data);
    CFRelease(key);
    return written;
}

} // namespace

QnStoragePrefs::QnStoragePrefs() : mSettings(newEmptyDictionary()) {}

QnStoragePrefs::~QnStoragePrefs() {
    if (mSettings) CFRelease(mSettings);
}

CFDictionaryRef QnStoragePrefs::copyWorkingDictionary() const {
    std::lock_guard<std::mutex> lock(mDictionaryLock);
    return mSettings ? CFDictionaryCreateCopy(nullptr, mSettings) : nullptr;
}

bool QnStoragePrefs::readStorageProperties(CFStringRef inKey) {
    CFStringRef key = inKey ? inKey : CFSTR("com.korvex.hx5100");
    CFPropertyListRef stored = nullptr;
    const OSStatus result = QnASPlugInPlugIn::CopyFromStorage(key, &stored);
    if (stored && !isDictionary(stored)) {
        // Not what this store writes: counts as not found.
        CFRelease(stored);
        stored = nullptr;
    }
    const bool found = stored != nullptr;
    CFMutableDictionaryRef fresh = nullptr;
    if (found) {
        CFShow(stored);
        fresh = CFDictionaryCreateMutableCopy(nullptr, 0, static_cast<CFDictionaryRef>(stored));
        CFRelease(stored);
    } else {
        fresh = newEmptyDictionary();
        LogError("CopyFromStorage %s returned 0x%08x Properties %p\n", kSettingsKeyText,
                 unsigned(result), static_cast<const void*>(fresh));
    }
    CFMutableDictionaryRef previous = nullptr;
    {
        std::lock_guard<std::mutex> lock(mDictionaryLock);
        previous = mSettings;
        mSettings = fresh;
        if (fresh && found) mSettingsSeen = true;
    }
    if (previous) CFRelease(previous);
    if (fresh)
        LogError("CopyFromStorage returned 0x%X Properties %p (%p) %d\n", unsigned(result),
                 static_cast<const void*>(fresh), static_cast<const void*>(previous),
                 int(CFGetRetainCount(fresh)));
    return result == 0;
}

bool QnStoragePrefs::writeStorageProperties(CFDictionaryRef inDictionary) {
    const bool written =
        QnASPlugInPlugIn::WriteToStorage(CFSTR("com.korvex.hx5100"), inDictionary) == 0;
    if (written) {
        std::lock_guard<std::mutex> lock(mDictionaryLock);
        mSettingsSeen = true;
    }
    return written;
}

bool QnStoragePrefs::getStoredChannelValue(const char* inName, int& outValue) {
    readStorageProperties(nullptr);
    CFStringRef name = inName ? CFStringCreateWithCStringNoCopy(
                                    nullptr, inName, kCFStringEncodingASCII, kCFAllocatorNull)
                              : nullptr;
    if (!name) {
        LogError("Get %s setting from prefs: Could not create CFString\n", inName ? inName : "");
        return false;
    }
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(mDictionaryLock);
        CFTypeRef channels =
            mSettings ? CFDictionaryGetValue(mSettings, CFSTR("ChannelSettings")) : nullptr;
        SInt32 value = 0;
        if (!mSettings)
            LogError("Get %s setting from prefs: Could not read device stored settings\n", inName);
        else if (!isDictionary(channels))
            LogError("Get %s setting from prefs: Could not read channel settings\n", inName);
        else if (!CACFDictionary(static_cast<CFDictionaryRef>(channels), false)
                      .GetSInt32(name, value))
            LogError("Get %s setting from prefs: Could not read value\n", inName);
        else {
            outValue = value;
            found = true;
        }
    }
    CFRelease(name);
    return found;
}

void QnStoragePrefs::getStoredAjExt(QnAjExtData& ioRecord) {
    readStorageProperties(nullptr);
    std::lock_guard<std::mutex> lock(mDictionaryLock);
    CFTypeRef ext = mSettings ? CFDictionaryGetValue(mSettings, CFSTR("AjExtData")) : nullptr;
    if (!isDictionary(ext)) {
        LogWarning("Could not find prefs for ext data");
        return;
    }
    ioRecord.setDefaults();
    const CACFDictionary dict(static_cast<CFDictionaryRef>(ext), false);
    struct Field {
        CFStringRef key;
        UInt32* word;
        const char* found;
        const char* missing;
    };
    const Field fields[] = {
        {CFSTR("ClockSource"), &ioRecord.mClockSource, "Reading clock source: %d\n",
         "Reading clock source: no saved pref\n"},
        {CFSTR("DigitalOutMode"), &ioRecord.mDigitalOutMode, "Reading mDigitalOutMode: %d\n",
         "Reading mDigitalOutMode: no saved pref\n"},
        {CFSTR("DigitalOutSelector"), &ioRecord.mDigitalOutSelector,
         "Reading mDigitalOutSelector: %d\n", "Reading mDigitalOutSelector: no saved pref\n"},
        {CFSTR("USB1Mode"), &ioRecord.mUSB1Mode, "Reading mUSB1Mode: %d\n",
         "Reading mUSB1Mode: no saved pref\n"},
    };
    for (const Field& f : fields) {
        UInt32 value = 0;
        if (!dict.HasKey(f.key))
            LogWarning("%s", f.missing);
        else if (dict.GetUInt32(f.key, value)) {
            *f.word = value;
            LogWarning(f.found, int(value));
        }
    }
}

bool QnStoragePrefs::getStoredNumber(CFStringRef inKey, const char* inName, int& outValue) {
    readStorageProperties(nullptr);
    std::lock_guard<std::mutex> lock(mDictionaryLock);
    if (!mSettings) return false;
    const CACFDictionary dict(mSettings, false);
    SInt32 value = 0;
    if (!dict.HasKey(inKey)) {
        LogWarning("Reading %s: no saved pref\n", inName);
        return false;
    }
    if (!dict.GetSInt32(inKey, value)) return false;
    outValue = value;
    LogWarning("Reading %s: %d\n", inName, int(value));
    return true;
}

bool QnStoragePrefs::getStoredMixerMode(int& outValue) {
    return getStoredNumber(CFSTR("MixerMode"), "mixerMode", outValue);
}

bool QnStoragePrefs::getStoredMixerKnob(int& outValue) {
    return getStoredNumber(CFSTR("MixerKnob"), "mixerKnob", outValue);
}

bool QnStoragePrefs::getStoredMixerValues(int& outValue) {
    return getStoredNumber(CFSTR("MixerValues"), "mixerValues", outValue);
}

// A block counts only when it is data of exactly its size: a longer one
// would run past the caller's buffer, a shorter one leave it half stale.
bool QnStoragePrefs::getStoredBlock(CFStringRef inKey, CFIndex inSize, void* outBuffer,
                                    const char* inMissingLine) {
    readStorageProperties(nullptr);
    std::lock_guard<std::mutex> lock(mDictionaryLock);
    if (!mSettings) return false;
    CFTypeRef value = CFDictionaryGetValue(mSettings, inKey);
    if (!isData(value) || CFDataGetLength(static_cast<CFDataRef>(value)) != inSize) {
        if (inMissingLine) LogWarning("%s", inMissingLine);
        return false;
    }
    std::memcpy(outBuffer, CFDataGetBytePtr(static_cast<CFDataRef>(value)), std::size_t(inSize));
    return true;
}

bool QnStoragePrefs::getStoredReverbBuffers(void* outBuffer) {
    return getStoredBlock(CFSTR("ReverbBuffers"), kReverbBuffersSize, outBuffer,
                          "Reading reverbBuffers: no saved pref\n");
}

bool QnStoragePrefs::getStoredMixerBuffer(void* outBuffer) {
    return getStoredBlock(CFSTR("MixerBuffer"), kMixerBufferSize, outBuffer,
                          "Reading mixerBuffer: no saved pref\n");
}

bool QnStoragePrefs::getStoredMixerFractions(void* outBuffer) {
    return getStoredBlock(CFSTR("MixerFractions"), kMixerFractionsSize, outBuffer,
                          "Reading mixerFractions: no saved pref\n");
}

bool QnStoragePrefs::getStoredRoutingMatrix(void* outBuffer) {
    return getStoredBlock(CFSTR("RoutingMatrix"), kRoutingMatrixSize, outBuffer, nullptr);
}

bool QnStoragePrefs::getStoredSorvikConfigAndMapping(QN_Sorvik_ConfigAndMap& outRecord,
                                                     char* inIdentifier) {
    CFStringRef key = newSorvikKey(inIdentifier);
    if (!key) {
        LogError("%s Could not create key ref\n",
                 "bool QnStoragePrefs::getStoredSorvikConfigAndMapping(QN_Sorvik_ConfigAndMap &, "
                 "char *)");
        return false;
    }
    CFPropertyListRef stored = nullptr;
    QnASPlugInPlugIn::CopyFromStorage(key, &stored);
    CFRelease(key);
    const bool found =
        isData(stored) && CFDataGetLength(static_cast<CFDataRef>(stored)) == kSorvikRecordSize;
    if (found)
        std::memcpy(&outRecord, CFDataGetBytePtr(static_cast<CFDataRef>(stored)), sizeof outRecord);
    else
        LogWarning("Reading key_sorvik_mapping: no saved pref\n");
    if (stored) CFRelease(stored);
    return found;
}

bool QnStoragePrefs::setStoredSorvikConfigAndMapping(QN_Sorvik_ConfigAndMap& inRecord,
                                                     char* inIdentifier, bool) {
    static constexpr const char* kWhere =
        "bool QnStoragePrefs::setStoredSorvikConfigAndMapping(QN_Sorvik_ConfigAndMap &, char *, "
        "bool)";
    return writeBytes(kWhere, &inRecord, sizeof inRecord, newSorvikKey(inIdentifier));
}

bool QnStoragePrefs::setValue(UInt32 inValue, const char* inName) {
    static constexpr const char* kWhere = "bool QnStoragePrefs::setValue(qn_uint32, const char *)";
    return writeBytes(kWhere, &inValue, sizeof inValue, newNameKey(inName));
}

UInt32 QnStoragePrefs::getValue(const char* inName, UInt32 inDefault) {
    CFStringRef key = newNameKey(inName);
    if (!key) {
        LogError("%s Could not create key ref\n",
                 "qn_uint32 QnStoragePrefs::getValue(const char *, qn_uint32)");
        return inDefault;
    }
    CFPropertyListRef stored = nullptr;
    QnASPlugInPlugIn::CopyFromStorage(key, &stored);
    CFRelease(key);
    if (!stored) {
        LogWarning("Reading %s: no saved pref\n", inName);
        return inDefault;
    }
    UInt32 result = inDefault;
    if (isData(stored) && CFDataGetLength(static_cast<CFDataRef>(stored)) >= CFIndex(sizeof result))
        std::memcpy(&result, CFDataGetBytePtr(static_cast<CFDataRef>(stored)), sizeof result);
    LogWarning("Reading %s: result:%d\n", inName, int(result));
    CFRelease(stored);
    return result;
}

CFPropertyListRef readStoredProperties(CFStringRef inKey) {
    if (!inKey) return nullptr;
    CFPropertyListRef value = nullptr;
    if (QnASPlugInPlugIn::CopyFromStorage(inKey, &value) != 0 && value) {
        CFRelease(value);
        value = nullptr;
    }
    return value;
}

bool storeProperties(CFStringRef inKey, CFPropertyListRef inValue) {
    if (!inKey) return false;
    return QnASPlugInPlugIn::WriteToStorage(inKey, inValue) == 0;
}
