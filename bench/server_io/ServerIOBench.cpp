// One IO cycle of the audio server device against the shared rings of a
// scripted kernel service: GetZeroTimeStamp, then Will/Begin/Do/End for
// 'read' and 'rite', 2 channels x 512 frames. The anchor copies the cycle's
// bytes with memcpy.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "abi/AudioSM.h"
#include "driver/engine/stream/AudioSMKernel.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "plugins/server/QnASPlugInDevice.h"
#include "tests/plugins/server/ScriptedKernelService.h"

namespace {
constexpr UInt32 kFrames = 512, kChannels = 2;
constexpr UInt32 kRead = hx::coreaudio::fourCC("read"), kWrite = hx::coreaudio::fourCC("rite");

void BM_ServerIOCycle(benchmark::State& state) {
    const UInt32 rate = UInt32(state.range(0));
    hx::test::TempRoot root;
    std::filesystem::create_directories(hx::path::map("/tmp"));
    auto* service = hx::test::ScriptedKernelService::publish("BENCH-UID");
    auto* area = reinterpret_cast<DriverSM*>(service->area(1));
    area->mChannelSettings = QnChannelSettings{rate, kChannels, 24, kChannels, 24, 0};
    AudioSMWriter writer; // the kernel's side of the input ring
    writer.bind(reinterpret_cast<AudioSM*>(service->area(4)), AudioSMGeometry{});
    writer._init(kChannels, rate, 0);
    reinterpret_cast<AudioSM*>(service->area(5))->_layout(kChannels, rate, 0);
    QnASPlugInIOKitIterator it(IOServiceMatching("ScriptedKernelService"));
    io_object_t entry = it.Next();
    {
        QnASPlugInDevice device(91, entry);
        IOObjectRelease(entry);
        if (!device._HW_Open()) {
            state.SkipWithError("no connection");
        } else {
            device.copyPhysicalFormat(true);
            device.copyPhysicalFormat(false);
            device.StartIO();
            std::vector<uint8_t> in(kFrames * kChannels * 4), out(kFrames * kChannels * 4, 1);
            std::vector<int32_t> block(kFrames * kChannels, 0x100);
            UInt64 kernelHost = 0;
            Float64 t = 0;
            for (auto _ : state) {
                state.PauseTiming(); // the kernel delivers the cycle's input
                kernelHost += UInt64(kFrames) * 1000000000ull / rate;
                writer.AddTimeStamp(kernelHost, kFrames, true);
                writer.writeFrames(block.data(), kFrames, 0);
                state.ResumeTiming();
                Float64 sample = 0;
                UInt64 host = 0, seed = 0;
                device.GetZeroTimeStamp(sample, host, seed);
                AudioServerPlugInIOCycleInfo info{};
                info.mInputTime.mSampleTime = t;
                info.mOutputTime.mSampleTime = t + kFrames;
                for (UInt32 op : {kRead, kWrite}) {
                    bool will = false, inPlace = false;
                    device.WillDoIOOperation(op, will, inPlace);
                    device.BeginIOOperation(op, kFrames, info);
                    benchmark::DoNotOptimize(device.DoIOOperation(
                        0, op, kFrames, info, op == kRead ? in.data() : out.data(), nullptr));
                    device.EndIOOperation(op, kFrames, info);
                }
                t += kFrames;
                benchmark::ClobberMemory();
            }
            device.StopIO();
        }
    }
    hx::test::ScriptedKernelService::unpublish(service);
    state.SetItemsProcessed(int64_t(state.iterations()) * kFrames);
}

void BM_Anchor(benchmark::State& state) {
    std::vector<uint8_t> a(kFrames * kChannels * 4, 1), b(a.size()), c(a.size()), d(a.size());
    for (auto _ : state) {
        std::memcpy(b.data(), a.data(), a.size());
        std::memcpy(d.data(), c.data(), c.size());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kFrames);
}
} // namespace

BENCHMARK(BM_ServerIOCycle)->Arg(48000)->Arg(192000);
BENCHMARK(BM_Anchor);
BENCHMARK_MAIN();
