// The server build of the shared settings store: the same preference domain
// ("com.korvex.hx5100.hal", current user, any host) and the same keys as
// the HAL plug-in, control panel and helper, so settings changed while the
// audio server owns the device reach them. Every value is decimal text
// under a flat key (blocks are data of their fixed size); every write is
// synchronised at once; nothing is kept in memory.
//
// Stored values are untrusted: a non-string number counts as absent (0,
// false), a block counts only with exactly its size, and number text beyond
// 32 bits saturates.
#pragma once

#include "abi/DriverSM.h"
#include "abi/QN_Dispatch.h"
#include "libs/tools/XML.h"
#include "platform/cf/CoreFoundation.h"

namespace qnas {

class OSXAsioRegistry : public XML::Doc {
public:
    static constexpr CFIndex kReverbBuffersSize = 1536; // six 256-byte parameter blocks
    static constexpr CFIndex kMixerBufferSize = 64;

    // The domain is "<idRoot>.hal" ("com.quarnl.hal" for null); every call
    // still addresses "com.korvex.hx5100.hal".
    explicit OSXAsioRegistry(CFStringRef inIDRoot);
    explicit OSXAsioRegistry(const char* inFileName);
    ~OSXAsioRegistry() override;
    OSXAsioRegistry(const OSXAsioRegistry&) = delete;
    OSXAsioRegistry& operator=(const OSXAsioRegistry&) = delete;

    CFStringRef getDomain() const { return mDomain; }

    bool setStringValue(CFStringRef inValue, const char* inKey);
    // The stored string (the caller owns it) or null; always true.
    bool getStringValue(CFStringRef& outValue, const char* inKey);
    void setBoolValue(bool inValue, const char* inKey);
    bool getBoolValue(bool& outValue, const char* inKey);
    void setUInt8Value(UInt8 inValue, const char* inKey);
    bool getUInt8Value(UInt8& outValue, const char* inKey);
    void setUInt16Value(UInt16 inValue, const char* inKey);
    bool getUInt16Value(UInt16& outValue, const char* inKey);
    void setUInt32Value(UInt32 inValue, const char* inKey);
    bool getUInt32Value(UInt32& outValue, const char* inKey);

    void setDigitalOutMode(UInt32 inValue);
    void setDigitalOutSelector(UInt32 inValue);
    void setClockSource(UInt32 inValue);
    void setUSB1Mode(UInt32 inValue);
    void setWolfsonRegister(int inCodec, int inRegister, UInt32 inValue);
    bool getWolfsonRegister(int inCodec, int inRegister, UInt32& outValue);
    void setForceInternal(UInt32 inValue);
    bool getForceInternal(UInt32& outValue);
    void setRouting(int inFirst, int inSecond, UInt32 inValue);
    bool getRouting(int inFirst, int inSecond, UInt32& outValue);
    void setFootSwitchMode(UInt32 inValue);
    bool getFootSwitchMode(UInt32& outValue);
    void setFootSwitchProtocol(UInt32 inValue);
    bool getFootSwitchProtocol(UInt32& outValue);
    void setMixerMode(int inValue);
    bool getMixerMode(int& outValue);
    void setReverbBuffers(const void* inBytes);
    bool getReverbBuffers(void* outBytes);
    void setMixerBuffer(const void* inBytes);
    bool getMixerBuffer(void* outBytes);
    void setMixerFractions(const void* inBytes);
    void setRoutingMatrix(const void* inBytes);

    void loadAjExt(QnAjExtData& outRecord);
    bool setSorvikConfigAndMapping(QN_Sorvik_ConfigAndMap& inRecord);
    // In the audio server the Sorvik blob lives in the host's storage.
    bool setSorvikConfigAndMapping(QN_Sorvik_ConfigAndMap& inRecord, char* inIdentifier);
    bool getSorvikMapping(QN_Sorvik_ChannelMap& outMap);

    bool convertToCFPrefs();
    bool store();
    XML::Node* getSettingNode(const char* inName, bool inCreate);

private:
    void setNumber(const char* inKey, SInt32 inValue, bool inSynchronize = true);
    bool getNumber(const char* inKey, SInt32& outValue);
    void setBlock(const char* inKey, const void* inBytes, CFIndex inSize);
    bool getBlock(const char* inKey, void* outBytes, CFIndex inSize);
    void setValue(CFStringRef inKey, CFPropertyListRef inValue);
    CFPropertyListRef copyValue(const char* inKey);

    ZrString mFileName;
    CFStringRef mDomain = nullptr;
};

} // namespace qnas
