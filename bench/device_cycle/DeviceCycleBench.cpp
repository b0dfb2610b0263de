// The device layer's user-space cycle on in-memory rings, buffer by buffer:
// read from the input ring with the cycle's geometry, convert to float,
// call 1 or 4 float IO procedures that copy input to output, convert and mix
// their outputs, write into the output ring. The same functions the audio
// thread's cycle calls, in its order.
//
// One iteration is one second of audio, so the CPU time per iteration is the
// CPU time per second of audio. Counter core_pct: that time as a share of
// one core (goal: under 0.5 % at 192 kHz with 4 procedures).
#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "abi/AudioSM.h"
#include "device/AudioChannelMap.h"
#include "device/AudioThreadTools.h"

namespace {

OSStatus copyProc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* in,
                  const AudioTimeStamp*, AudioBufferList* out, const AudioTimeStamp*, void*) {
    std::memcpy(out->mBuffers[0].mData, in->mBuffers[0].mData, out->mBuffers[0].mDataByteSize);
    return 0;
}

uint64_t threadCpuNanos() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

void BM_DeviceCycle(benchmark::State& state) {
    const uint32_t rate = uint32_t(state.range(0));
    const int procs = int(state.range(1));
    constexpr uint32_t kChannels = 2, kFrames = 256;
    auto inRing = std::make_unique<AudioSM>();
    auto outRing = std::make_unique<AudioSM>();
    const AudioSMGeometry g = AudioSMGeometry::forLayout(kChannels, 0);
    for (size_t i = 0; i < sizeof inRing->mSamples / 4; ++i)
        reinterpret_cast<int32_t*>(inRing->mSamples)[i] = int32_t(i << 8);
    AudioIOBuffer in, out;
    in.create(kChannels, kChannels, kFrames);
    out.create(kChannels, kChannels, kFrames);
    const uint32_t cycles = rate / kFrames;
    uint64_t pos = 0;
    AudioTimeStamp t{};
    uint64_t cpuNanos = 0;
    for (auto _ : state) {
        const uint64_t start = threadCpuNanos();
        for (uint32_t c = 0; c < cycles; ++c) {
            audioSMReadAudio(inRing->mSamples, g, pos, in.mRingBuffer, kFrames, audioInt32CopySet);
            convertIntToFloat(in.mRingBuffer, kChannels, in.procData(), kChannels, kFrames);
            audioInt32Clear(out.mRingBuffer, kChannels * kFrames);
            for (int p = 0; p < procs; ++p) {
                std::memset(out.procData(), 0, kChannels * kFrames * 4);
                copyProc(0, &t, &in.mBufferList, &t, &out.mBufferList, &t, nullptr);
                audioConvertFloatToSInt32LowAligned(out.procData(), kChannels, kFrames);
                const auto* o = reinterpret_cast<const int32_t*>(out.procData());
                if (p == 0)
                    audioMapChannelsSet(o, kChannels, out.mRingBuffer, kChannels, kFrames);
                else
                    audioMapChannelsAdd(o, kChannels, out.mRingBuffer, kChannels, kFrames);
            }
            audioSMWriteAudio(outRing->mSamples, g, pos + 944, out.mRingBuffer, kFrames,
                              audioInt32CopySet);
            pos += kFrames;
        }
        benchmark::DoNotOptimize(outRing->mSamples[0]);
        cpuNanos += threadCpuNanos() - start;
    }
    // One iteration is one second of audio.
    state.counters["core_pct"] = 100.0 * double(cpuNanos) / 1e9 / double(state.iterations());
}

BENCHMARK(BM_DeviceCycle)
    ->Args({48000, 1})
    ->Args({48000, 4})
    ->Args({192000, 1})
    ->Args({192000, 4})
    ->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
