// The kernel's per-cycle streaming work, one bus frame (1 ms) at a time:
// writing the decoded input into the device ring with its time stamp and
// time base, the frame pattern, starting and measuring the clients, mixing
// 1, 2 or 8 client rings, the output mixer and packing for the wire.
//
// One benchmark iteration is one second of audio (1,000 cycles), so the CPU
// time per iteration is the CPU time per second of audio. Counters:
// core_pct, that time as a share of one core; worst_cycle_us, the slowest
// single cycle seen (thread CPU time). With meters on, the input completion
// also runs the 2-channel input meter over one frame per packet and keeps
// the input peaks of every sample; meters_ratio is the cycle's time with
// them against the same cycle without them (goal: at most 1.1 at 192 kHz
// with 8 clients).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "abi/AudioSM.h"
#include "bench/BenchSummary.h"
#include "bench/transcoders/BenchBuffers.h"
#include "abi/DriverSM.h"
#include "abi/VIDPID.h"
#include "driver/engine/stream/AudioSMKernel.h"
#include "driver/engine/stream/DriverData.h"
#include "driver/engine/stream/ZrFramePatternObserver.h"
#include "driver/engine/transport/LevelMeters.h"
#include "driver/engine/transport/ZrBulkStreaming.h"
#include "platform/kern/IOLib.h"
#include "platform/kern/IOUserClient.h"

namespace {

uint64_t threadCpuNanos() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

void BM_EngineCycle(benchmark::State& state) {
    const uint32_t rate = uint32_t(state.range(0));
    const int clientCount = int(state.range(1));
    const bool meters = state.range(2) != 0;
    char meterLevels[32] = {};
    int32_t inputPeaks[32] = {};
    uint64_t meterCpu = 0;
    constexpr uint32_t kChannels = 2;

    auto* sm = static_cast<DriverSM*>(IOMallocAligned(sizeof(DriverSM), 4096));
    std::memset(sm, 0, sizeof(DriverSM));
    DriverData* dd = DriverData::create(sm);
    QnChannelSettings settings{rate, kChannels, 24, kChannels, 24, 1};
    dd->setConverters(pcmTo24LSB, settings);
    dd->setOutMixer(outMixer2CH);

    auto* inputMem = static_cast<AudioSM*>(IOMallocAligned(sizeof(AudioSM), 4096));
    AudioSMWriter input;
    input.bind(inputMem, AudioSMGeometry{});
    input._init(kChannels, rate, 0);

    std::vector<AudioSM*> rings;
    std::vector<IOUserClient*> clients;
    for (int c = 0; c < clientCount; ++c) {
        auto* ring = static_cast<AudioSM*>(IOMallocAligned(sizeof(AudioSM), 4096));
        ring->_layout(kChannels, rate, 0);
        std::vector<int32_t> block(4096 * kChannels);
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = int32_t((i * 7919 + c * 104729) % 0x1000000) - 0x800000;
        for (int k = 0; k < 16; ++k)
            ring->writeFrames(block.data(), 4096, 0);
        auto* client = new IOUserClient;
        int slot = -1;
        dd->attachClient(client, ring, 1000 + c, slot, 512);
        rings.push_back(ring);
        clients.push_back(client);
    }

    ZrFramePatternObserver pattern;
    pattern.init(rate, 3, kChannels, 3, kChannels, false, VIDPID(0, 0, 0, nullptr));

    std::vector<int32_t> decoded(size_t(rate / 1000 + 4) * kChannels, 0x123400);
    std::vector<char> wire(size_t(rate / 1000 + 4) * kChannels * 3);
    uint64_t position = 0, host = 1000000, cycle = 0;
    uint32_t errors = 0;
    uint64_t worst = 0;
    uint64_t cycles = 0;
    uint64_t cpuTotal = 0;

    for (auto _ : state) {
        for (int ms = 0; ms < 1000; ++ms, ++cycle) {
            const uint64_t t0 = threadCpuNanos();
            // Input completion: frame pattern, ring write, time base, stamp.
            const int inFrames =
                pattern.onRtsFrame(int(pattern.nominalAt(uint32_t(cycle % 16))), errors);
            if (meters) {
                LevelProcessor2CH(meterLevels, reinterpret_cast<char*>(decoded.data()));
                raiseChannelPeaks(inputPeaks, decoded.data(), uint32_t(inFrames), kChannels);
            }
            input.writeFrames(decoded.data(), uint32_t(inFrames), 0);
            host += 1000000;
            input.writeTimestamp(host);
            if (cycle % 4 == 3) input.AddTimeStamp(host, uint32_t(inFrames) * 4, true);
            // Service cycle: newest stamp, client start, client lead.
            uint64_t stampHost = 0, stampSample = 0;
            input.GetLastTimeStamp(stampHost, stampSample);
            dd->rtsCheckAttachClients(stampSample, position, stampHost);
            int minimum = 0, count = 0;
            dd->rtsGetMinAvailableFrames(minimum, count, position);
            // Output packet: mix, output mixer, pack.
            const uint32_t outFrames = pattern.nextWriteFrames();
            dd->rtsIsocOutput(wire.data(), outFrames * kChannels * 3, position, outFrames, nullptr);
            position += outFrames;
            const uint64_t spent = threadCpuNanos() - t0;
            worst = std::max(worst, spent);
            cpuTotal += spent;
            ++cycles;
        }
        benchmark::DoNotOptimize(wire.data());
        benchmark::ClobberMemory();
    }
    state.counters["core_pct"] =
        benchmark::Counter(double(cpuTotal) / double(cycles) * 1000.0 / 1e9 * 100.0);
    state.counters["worst_cycle_us"] = benchmark::Counter(double(worst) / 1000.0);
    state.counters["errors"] = benchmark::Counter(double(errors));
    if (meters) {
        // The meters' own share: the same work alone, for as many cycles,
        // timed once around the lot (a clock read per cycle would cost more
        // than the meters).
        const uint32_t frames = rate / 1000 + 1;
        const uint64_t m0 = threadCpuNanos();
        for (uint64_t k = 0; k < cycles; ++k) {
            LevelProcessor2CH(meterLevels, reinterpret_cast<char*>(decoded.data()));
            raiseChannelPeaks(inputPeaks, decoded.data(), frames, kChannels);
            benchmark::ClobberMemory();
        }
        meterCpu = threadCpuNanos() - m0;
        if (cpuTotal > meterCpu)
            state.counters["meters_ratio"] =
                benchmark::Counter(double(cpuTotal) / double(cpuTotal - meterCpu));
    }
    benchmark::DoNotOptimize(meterLevels);
    benchmark::DoNotOptimize(inputPeaks);

    for (IOUserClient* c : clients) {
        dd->detachClient(c);
        c->release();
    }
    for (AudioSM* r : rings)
        IOFreeAligned(r, sizeof(AudioSM));
    dd->sharedMemoryDestroyed();
    dd->release();
    IOFreeAligned(inputMem, sizeof(AudioSM));
    IOFreeAligned(sm, sizeof(DriverSM));
}

// The bulk and interrupt cycles: the device's in packets land (markers
// gone), the in side decodes (bulk) or copies (interrupt) them into the
// ring, the out side mixes the clients and encodes (bulk, with MIDI and
// control bytes) or copies (plain interrupt) or swaps and heads (second
// Sorvik generation) its packets. Records are claimed again as soon as
// they are freed, as the completions would.
struct NullBulkHost : BulkStreamHost {
    void stopStreaming(bool) override {}
    void stcNotifyStreaming(uint32_t) override {}
    bool readDmaRegister(uint8_t& v) override {
        v = 0;
        return true;
    }
    void writeDmaRegister(uint8_t) override {}
    void setPipeRates(uint32_t) override {}
};

void BM_TransportCycle(benchmark::State& state) {
    const auto transport = BulkTransport(state.range(0));
    const uint32_t rate = uint32_t(state.range(1));
    const uint32_t channels = uint32_t(state.range(2));
    const int clientCount = 8;
    const bool bulk = transport == BulkTransport::Bulk;
    const bool flb = transport == BulkTransport::InterruptFarlane;
    const uint32_t inPacket = bulk ? 512 : (flb ? 32 + 28 * channels : 16 * channels * 4);
    const uint32_t outPacket = bulk ? 512 : inPacket;
    // The bulk encoders take at most 16 outputs: 32 inputs run with 16.
    const uint32_t outs = bulk ? std::min(channels, 16u) : channels;

    auto* sm = static_cast<DriverSM*>(IOMallocAligned(sizeof(DriverSM), 4096));
    std::memset(sm, 0, sizeof(DriverSM));
    DriverData* dd = DriverData::create(sm);
    QnChannelSettings settings{rate, channels, 24, outs, 24, 1};
    dd->setConverters(pcmTo32LSB, settings);
    auto* inputMem = static_cast<AudioSM*>(IOMallocAligned(sizeof(AudioSM), 4096));
    AudioSMWriter input;
    input.bind(inputMem, AudioSMGeometry{});
    input._init(channels, rate, flb ? 4 : 0);
    std::vector<AudioSM*> rings;
    std::vector<IOUserClient*> clients;
    for (int c = 0; c < clientCount; ++c) {
        auto* ring = static_cast<AudioSM*>(IOMallocAligned(sizeof(AudioSM), 4096));
        ring->_layout(outs, rate, flb ? 4 : 0);
        std::vector<int32_t> block(1024 * outs);
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = int32_t((i * 7919 + c * 104729) % 0x1000000) - 0x800000;
        for (int k = 0; k < 4; ++k)
            ring->writeFrames(block.data(), 1024, 0);
        auto* client = new IOUserClient;
        int slot = -1;
        dd->attachClient(client, ring, 1000 + c, slot, 512);
        rings.push_back(ring);
        clients.push_back(client);
    }
    NullBulkHost host;
    KeThread thread;
    ZrBulkStreaming engine(host, thread);
    engine.attach(dd, &input, nullptr);
    BulkStreamSettings s;
    s.rate = rate;
    s.inChannels = channels;
    s.outChannels = outs;
    if (!engine.configureUnbound(transport, inPacket, outPacket, s)) {
        state.SkipWithError("configuration refused");
        return;
    }
    const uint32_t inFrames = bulk ? engine.inFramesPerPacket() : (flb ? 7 : 16);
    uint32_t next = 1, inCarry = 0, landed = 0;
    uint64_t worst = 0, cycles = 0, cpuTotal = 0;
    auto claimAll = [&] {
        for (uint32_t i = 0; i < 4; ++i) {
            if (bulk) {
                engine.bulkIn(i).unuse();
                engine.bulkIn(i).useIn(next) && ++next;
                engine.bulkOut(i).unuse();
                engine.bulkOut(i).useOut(next, false) && ++next;
            } else {
                engine.intIn(i).unuse();
                engine.intIn(i).useIn(next, false) && ++next;
            }
        }
        if (!bulk)
            for (uint32_t i = 0; i < 8; ++i) {
                uint32_t counter = 0;
                engine.intOut(i).unuse();
                (flb ? engine.intOut(i).useOut_Flb2(next, counter, false)
                     : engine.intOut(i).useOut(next)) &&
                    ++next;
            }
    };
    claimAll();
    for (auto _ : state) {
        for (int ms = 0; ms < 1000; ++ms) {
            // The device lands this millisecond's packets in the oldest
            // records (outside the timed cycle: that is the bus's work).
            inCarry += rate;
            uint32_t packets = inCarry / 1000 / inFrames;
            inCarry -= packets * inFrames * 1000;
            for (uint32_t i = 0; i < 4 && packets; ++i) {
                AudioTransferRecord& r =
                    bulk ? static_cast<AudioTransferRecord&>(engine.bulkIn(i)) : engine.intIn(i);
                if (!r.useNumber()) continue;
                while (packets && landed < r.packetCount()) {
                    uint8_t* p = r.data() + uint64_t(landed) * r.packetSize();
                    std::memset(p + r.packetSize() - 8, 0x5A, 8);
                    if (flb) p[0] = 7;
                    ++landed;
                    --packets;
                }
                if (landed == r.packetCount()) landed = 0;
                break;
            }
            const uint64_t t0 = threadCpuNanos();
            if (bulk) {
                engine.rtsProcessBulkIn();
                engine.rtsProcessBulkOut();
            } else if (flb) {
                engine.rtsProcessInterruptIn_Flb();
                engine.rtsProcessInterruptOut(true);
            } else {
                engine.rtsProcessInterruptIn();
                engine.rtsProcessInterruptOut(false);
            }
            const uint64_t spent = threadCpuNanos() - t0;
            worst = std::max(worst, spent);
            cpuTotal += spent;
            ++cycles;
            claimAll();
        }
        benchmark::ClobberMemory();
    }
    state.counters["core_pct"] =
        benchmark::Counter(double(cpuTotal) / double(cycles) * 1000.0 / 1e9 * 100.0);
    state.counters["worst_cycle_us"] = benchmark::Counter(double(worst) / 1000.0);
    for (IOUserClient* c : clients) {
        dd->detachClient(c);
        c->release();
    }
    for (AudioSM* r : rings)
        IOFreeAligned(r, sizeof(AudioSM));
    dd->sharedMemoryDestroyed();
    dd->release();
    input.unbind();
    IOFreeAligned(inputMem, sizeof(AudioSM));
    IOFreeAligned(sm, sizeof(DriverSM));
}

} // namespace

BENCHMARK(BM_EngineCycle)
    ->ArgNames({"rate", "clients", "meters"})
    ->ArgsProduct({{44100, 96000, 192000}, {1, 2, 8}, {0, 1}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TransportCycle)
    ->ArgNames({"transport", "rate", "channels"})
    ->Args({int(BulkTransport::Bulk), 96000, 2})
    ->Args({int(BulkTransport::Bulk), 96000, 16})
    ->Args({int(BulkTransport::Bulk), 96000, 32})
    ->Args({int(BulkTransport::Interrupt), 96000, 2})
    ->Args({int(BulkTransport::InterruptFarlane), 48000, 4})
    ->Args({int(BulkTransport::InterruptFarlane), 48000, 12})
    ->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    hxbench::TimingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // One call is one second of audio; the streaming work has no memcpy or
    // reference-loop baseline.
    std::vector<hxbench::SummaryRow> rows;
    for (const auto& [name, ns] : reporter.ns)
        rows.push_back({name, "", ns});
    hxbench::printSummary("hx_bench_engine_cycle", rows);
    benchmark::Shutdown();
    return 0;
}
