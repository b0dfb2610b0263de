// Copies of the class-specific interface descriptors (type 0x24) of audio
// interfaces. The audio-streaming record understands the Type I format
// descriptor (channels, subframe size, resolution, sample-rate list) and can
// build one, for the products whose own descriptors do not say what they
// stream.
#pragma once

#include <cstdint>

#include "driver/engine/desc/ZrSimpleObject.h"

class USBByteBuffer;
class ZrDeviceIds;
struct APIStreamingInfo;

class ZrInterfaceDescriptorSpecificAC : public ZrSimpleObject {
public:
    static constexpr uint32_t kRoom = 128;

    bool scan(USBByteBuffer& buf);
    void clear();
    const uint8_t* data() const { return mData; }
    uint8_t length() const { return mData[0]; }

private:
    uint8_t mData[kRoom] = {};
};

class ZrInterfaceDescriptorSpecificAS : public ZrSimpleObject {
public:
    static constexpr uint32_t kRoom = 256;

    bool scan(USBByteBuffer& buf);
    void clear();
    const uint8_t* data() const { return mData; }
    uint8_t length() const { return mData[0]; }

    bool isFormatType() const;
    uint8_t getNumChannels() const;
    uint8_t getSubframeSize() const;
    uint8_t getBitResolution() const;
    // min(bSamFreqType, rates the descriptor's length actually holds); 0 for
    // a continuous range.
    uint32_t getCountFrequencies() const;
    bool isContinousFrequency() const;
    uint32_t getLowerFrequency() const;
    uint32_t getUpperFrequency() const;
    uint32_t getFrequency(uint32_t i) const;
    void clearFrequency(uint32_t i);
    void setNumChannels(uint8_t n);

    // Builders for synthesized formats.
    void genInit(int channels, int bits);
    void genAddSR(uint32_t rate);
    void genAddSRBitmap(uint32_t bits);

    void getAPIStreamingInfo(APIStreamingInfo& info, const ZrDeviceIds& ids) const;

private:
    uint32_t rateAt(uint32_t offset) const;
    uint8_t mData[kRoom] = {};
};
