// The rules of the stream-format and clock-source selectors that need no
// device: the format-supported test and the format match over a list of
// descriptions, and the clock source list and names. Pure functions, so the
// selectors and their tests share them.
#pragma once

#include "platform/coreaudio/CoreAudioTypes.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace zrformats {

// The highest rate a caller may ask for, and the wildcard channel count.
inline constexpr double kHighestRate = 384000.0;
inline constexpr uint32_t kAnyChannels = 256;

// Whether a description has every field the query sets (is not 0).
inline bool matchesQuery(const AudioStreamBasicDescription& query,
                         const AudioStreamBasicDescription& d) {
    if (query.mSampleRate != 0.0 && query.mSampleRate != d.mSampleRate) return false;
    auto same = [](UInt32 want, UInt32 have) { return want == 0 || want == have; };
    return same(query.mFormatID, d.mFormatID) && same(query.mFormatFlags, d.mFormatFlags) &&
           same(query.mBytesPerPacket, d.mBytesPerPacket) &&
           same(query.mFramesPerPacket, d.mFramesPerPacket) &&
           same(query.mBytesPerFrame, d.mBytesPerFrame) &&
           same(query.mChannelsPerFrame, d.mChannelsPerFrame) &&
           same(query.mBitsPerChannel, d.mBitsPerChannel);
}

// Whether some description of the list matches the query.
inline bool anyMatches(const AudioStreamBasicDescription& query,
                       const AudioStreamBasicDescription* list, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i)
        if (matchesQuery(query, list[i])) return true;
    return false;
}

// A match query as float linear PCM with its channel count's frame size.
inline void normaliseQuery(AudioStreamBasicDescription* query) {
    query->mBytesPerFrame = query->mChannelsPerFrame * 4;
    query->mBytesPerPacket = query->mBytesPerFrame;
    query->mFormatID = kAudioFormatLinearPCM;
    query->mFormatFlags = kAudioFormatFlagIsFloat;
    query->mFramesPerPacket = 1;
}

// Replaces the (normalised) query with the nearest description of the
// list: nearest rate first (the query's, else currentRate, else the highest
// rate), then nearest channel count (the query's, else any), then the most
// bits; once a given rate or channel count is met exactly, descriptions
// missing it are passed over. The query's rate must be finite and within
// [0, kHighestRate]. False (the query kept) when none was taken.
inline bool nearestFormat(AudioStreamBasicDescription* query,
                          const AudioStreamBasicDescription* list, uint32_t count,
                          uint32_t currentRate) {
    const bool rateGiven = query->mSampleRate != 0.0;
    int64_t wantedRate = int64_t(kHighestRate);
    if (rateGiven)
        wantedRate = int64_t(query->mSampleRate);
    else if (currentRate != 0)
        wantedRate = currentRate;
    const bool channelsGiven = query->mChannelsPerFrame != 0;
    const int64_t wantedChannels = channelsGiven ? int64_t(query->mChannelsPerFrame) : kAnyChannels;
    int64_t bestRate = int64_t(kHighestRate);
    int64_t bestChannels = kAnyChannels;
    bool taken = false;
    for (uint32_t i = 0; i < count; ++i) {
        const AudioStreamBasicDescription& d = list[i];
        const double rate = d.mSampleRate;
        // A listed rate outside what a device can run is as far as can be.
        const int64_t listed = rate >= 0.0 && rate <= kHighestRate ? int64_t(rate) : -1;
        const int64_t rateDistance =
            listed < 0 ? int64_t(kHighestRate) + 1 : std::llabs(wantedRate - listed);
        const int64_t channelDistance = std::llabs(wantedChannels - int64_t(d.mChannelsPerFrame));
        if (rateGiven && bestRate == 0 && rateDistance != 0) continue;
        if (channelsGiven && bestChannels == 0 && channelDistance != 0) continue;
        auto take = [&] {
            *query = d;
            taken = true;
            bestRate = rateDistance;
            bestChannels = channelDistance;
        };
        if (rateDistance < bestRate) take();
        if (channelDistance < bestChannels) take();
        if (rateDistance == bestRate && channelDistance == bestChannels &&
            d.mBitsPerChannel > query->mBitsPerChannel)
            take();
    }
    return taken;
}

// The clock sources: 0 and, on the Trunk2 only, 1.
inline uint32_t clockSourceCount(bool trunk2) {
    return trunk2 ? 2 : 1;
}

// A clock source's name, or null for an ID without one.
inline const char* clockSourceName(bool trunk2, uint32_t id) {
    if (id == 0) return trunk2 ? "Internal" : "Hardware";
    if (id == 1) return trunk2 ? "S/PDIF" : "Internal";
    return nullptr;
}

// Fills a caller's list of clock source IDs: every entry its size holds
// 0xFFFFFFFF, then the sources' IDs; the size becomes what the IDs take.
// Under one entry (or no pointers): 'who?'; room for fewer entries than
// there are sources: '!siz'; both with nothing written.
inline OSStatus fillClockSourceList(bool trunk2, UInt32* ioSize, void* data) {
    if (!ioSize || !data || *ioSize < 4) return kAudioHardwareUnknownPropertyError;
    const uint32_t n = clockSourceCount(trunk2);
    const uint32_t room = *ioSize / 4;
    if (room < n) return kAudioHardwareBadPropertySizeError;
    auto* bytes = static_cast<uint8_t*>(data);
    for (uint32_t i = 0; i < room; ++i) {
        const UInt32 entry = i < n ? i : 0xFFFFFFFF;
        std::memcpy(bytes + 4 * i, &entry, 4);
    }
    *ioSize = 4 * n;
    return 0;
}

} // namespace zrformats
