#include "driver/engine/transport/LevelMeters.h"

#include <cstring>

namespace {

template <int N> int levelProcessor(char* levels, char* frame) {
    for (int k = 0; k < N; ++k) {
        int32_t sample;
        std::memcpy(&sample, frame + 4 * k, 4);
        const int8_t top = int8_t(uint32_t(sample) >> 24);
        // -128 has no 8-bit magnitude: it leaves the level alone.
        const int8_t magnitude = top < 0 ? int8_t(-int(top)) : top;
        // Each entry is read and cleared by level requests on another
        // thread: one atomic load and store per entry, no lock.
        if (magnitude > int8_t(__atomic_load_n(&levels[k], __ATOMIC_RELAXED)))
            __atomic_store_n(&levels[k], char(magnitude), __ATOMIC_RELAXED);
    }
    return N;
}

} // namespace

int LevelProcessor2CH(char* levels, char* frame) {
    return levelProcessor<2>(levels, frame);
}
int LevelProcessor4CH(char* levels, char* frame) {
    return levelProcessor<4>(levels, frame);
}
int LevelProcessor6CH(char* levels, char* frame) {
    return levelProcessor<6>(levels, frame);
}
int LevelProcessor8CH(char* levels, char* frame) {
    return levelProcessor<8>(levels, frame);
}
int LevelProcessor10CH(char* levels, char* frame) {
    return levelProcessor<10>(levels, frame);
}
int LevelProcessor16CH(char* levels, char* frame) {
    return levelProcessor<16>(levels, frame);
}
int LevelProcessor18CH(char* levels, char* frame) {
    return levelProcessor<18>(levels, frame);
}

void chooseKorvexMeters(bool highSpeed, uint32_t inChannels, LevelProcessorFnc& input,
                        LevelProcessorFnc& output) {
    input = nullptr;
    output = nullptr;
    if (!highSpeed) return;
    if (inChannels == 4)
        input = LevelProcessor4CH;
    else if (inChannels == 6)
        input = LevelProcessor6CH;
}

void raiseChannelPeaks(int32_t* peaks, const int32_t* samples, uint32_t frames, uint32_t channels) {
    if (!frames || !channels) return;
    const uint32_t kept = channels < 32 ? channels : 32;
    for (uint32_t c = 0; c < kept; ++c) {
        int32_t best = samples[c];
        for (uint32_t f = 1; f < frames; ++f) {
            const int32_t v = samples[uint64_t(f) * channels + c];
            if (v > best) best = v;
        }
        raisePeak(peaks[c], best);
    }
}
