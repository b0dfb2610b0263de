// Peak meters of the audio passing through the driver: one plain function
// per channel count, raising the stored peak of each channel from one
// frame (32-bit words, 24 bits left-aligned). The stored peaks are one
// signed byte per channel, 0..127, read and cleared by level requests.
#pragma once

#include <cstdint>

typedef int (*LevelProcessorFnc)(char* levels, char* frame);

int LevelProcessor2CH(char* levels, char* frame);
int LevelProcessor4CH(char* levels, char* frame);
int LevelProcessor6CH(char* levels, char* frame);
int LevelProcessor8CH(char* levels, char* frame);
int LevelProcessor10CH(char* levels, char* frame);
int LevelProcessor16CH(char* levels, char* frame);
int LevelProcessor18CH(char* levels, char* frame);

// The meters of the hardware maker's own interfaces: no output meter; an
// input meter only on a high-speed bus and only for the 4- and 6-input
// layouts. The HX-5100's 2 inputs get none.
void chooseKorvexMeters(bool highSpeed, uint32_t inChannels, LevelProcessorFnc& input,
                        LevelProcessorFnc& output);

// Raises one entry of a peak block shared with a reader that takes and
// clears entries: one compare-exchange loop, no lock.
inline void raisePeak(int32_t& entry, int32_t value) {
    int32_t seen = __atomic_load_n(&entry, __ATOMIC_RELAXED);
    while (value > seen && !__atomic_compare_exchange_n(&entry, &seen, value, true,
                                                        __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
    }
}

// The largest sample of each of `channels` channels (at most 32) over
// `frames` interleaved frames, raised into peaks.
void raiseChannelPeaks(int32_t* peaks, const int32_t* samples, uint32_t frames, uint32_t channels);
