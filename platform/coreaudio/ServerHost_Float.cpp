// The float client's conversions between the IO buffers' physical format and
// 32-bit floats, with the device layer's transcoders and float scaling, so a
// float client of the server host hears and plays what a client of the
// device layer or of the HAL plug-in does.
//
// Real-time path: no allocation, no lock, no logging.
#include <cstring>

#include "device/AudioChannelMap.h"
#include "device/UserTranscoders.h"
#include "platform/coreaudio/ServerHost.h"

namespace hx::coreaudio {

namespace {

// Bytes of one sample of a signed-integer format, 0 when not handled.
UInt32 integerSampleBytes(const AudioStreamBasicDescription& f) {
    if (!(f.mFormatFlags & kAudioFormatFlagIsSignedInteger) || f.mChannelsPerFrame == 0) return 0;
    const UInt32 b = f.mBytesPerFrame / f.mChannelsPerFrame;
    return b == 2 || b == 3 || b == 4 ? b : 0;
}

bool isFloat(const AudioStreamBasicDescription& f) {
    return (f.mFormatFlags & kAudioFormatFlagIsFloat) && f.mChannelsPerFrame != 0 &&
           f.mBytesPerFrame == 4 * f.mChannelsPerFrame;
}

} // namespace

bool serverPhysicalToFloat(const AudioStreamBasicDescription& format, const void* data,
                           std::int32_t* words, float* out, UInt32 frames) {
    const UInt32 ch = format.mChannelsPerFrame;
    const UInt32 count = frames * ch;
    if (isFloat(format)) {
        std::memcpy(out, data, std::size_t(count) * 4);
        return true;
    }
    const auto* src = static_cast<const uint8_t*>(data);
    switch (integerSampleBytes(format)) {
    case 4:
        std::memcpy(words, data, std::size_t(count) * 4);
        break;
    case 3:
        audioInt24to32Copy(words, src, count);
        break;
    case 2:
        audioInt16to32Copy(words, src, count);
        break;
    default:
        std::memset(out, 0, std::size_t(count) * 4);
        return false;
    }
    convertIntToFloat(words, ch, out, ch, frames);
    return true;
}

bool serverFloatToPhysical(const AudioStreamBasicDescription& format, const float* in,
                           std::int32_t* words, void* data, UInt32 frames) {
    const UInt32 ch = format.mChannelsPerFrame;
    const UInt32 count = frames * ch;
    if (isFloat(format)) {
        std::memcpy(data, in, std::size_t(count) * 4);
        return true;
    }
    const UInt32 bytes = integerSampleBytes(format);
    if (bytes == 0) {
        std::memset(data, 0, std::size_t(format.mBytesPerFrame) * frames);
        return false;
    }
    // 24-bit right-aligned, then aligned high as the physical samples are.
    std::memcpy(words, in, std::size_t(count) * 4);
    audioConvertFloatToSInt32LowAligned(words, ch, frames);
    for (UInt32 i = 0; i < count; ++i)
        words[i] = std::int32_t(std::uint32_t(words[i]) << 8);
    auto* dst = static_cast<uint8_t*>(data);
    if (bytes == 4)
        std::memcpy(dst, words, std::size_t(count) * 4);
    else if (bytes == 3)
        audioInt32to24Copy(dst, words, count);
    else
        audioInt32to16Copy(dst, words, count);
    return true;
}

} // namespace hx::coreaudio
