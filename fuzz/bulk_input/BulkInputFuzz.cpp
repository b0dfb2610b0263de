// Bulk and interrupt input processing fed random buffers, transferred
// counts and done flags: the device decides what lands in a transfer
// record, the real-time consumer must never read or write outside it.
//
// Input: byte 0 the layout (bulk 2 inputs on 512-byte packets, bulk 18
// inputs on 1,024-byte packets, plain interrupt, second Sorvik
// generation), bytes 1..4 the transferred count (little-endian), byte 5
// the done flag and a partial-arrival split, then the buffer's bytes
// (repeated to fill the record).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "abi/AudioSM.h"
#include "driver/engine/stream/AudioSMKernel.h"
#include "driver/engine/transport/ZrBulkStreaming.h"
#include "platform/kern/IOLib.h"

namespace {

struct NullHost : BulkStreamHost {
    void stopStreaming(bool) override {}
    void stcNotifyStreaming(uint32_t) override {}
    bool readDmaRegister(uint8_t& v) override {
        v = 0;
        return true;
    }
    void writeDmaRegister(uint8_t) override {}
    void setPipeRates(uint32_t) override {}
};

void fillRecord(AudioTransferRecord& r, const uint8_t* src, size_t n, uint32_t upTo) {
    const uint64_t bytes = uint64_t(upTo) * r.packetSize();
    for (uint64_t i = 0; i < bytes && n; ++i)
        r.data()[i] = src[i % n];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) return 0;
    const uint8_t layout = data[0] % 4;
    uint32_t transferred;
    std::memcpy(&transferred, data + 1, 4);
    const bool done = data[5] & 1;
    const uint8_t split = data[5] >> 1;
    const uint8_t* payload = data + 6;
    const size_t n = size - 6;

    AudioSM* sm = static_cast<AudioSM*>(IOMallocAligned(sizeof(AudioSM), 4096));
    std::memset(static_cast<void*>(sm), 0, sizeof(AudioSM));
    {
        AudioSMWriter ring;
        NullHost host;
        KeThread thread;
        ZrBulkStreaming engine(host, thread);
        BulkStreamSettings s;
        s.rate = 48000;
        s.inChannels = layout == 1 ? 18 : (layout == 3 ? 4 : 2);
        s.outChannels = 2;
        ring.bind(sm, AudioSMGeometry{});
        ring._init(s.inChannels, s.rate, layout == 3 ? 4 : 0);
        engine.attach(nullptr, &ring, nullptr);
        static const BulkTransport kTransport[] = {BulkTransport::Bulk, BulkTransport::Bulk,
                                                   BulkTransport::Interrupt,
                                                   BulkTransport::InterruptFarlane};
        static const uint32_t kIn[] = {512, 1024, 256, 32 + 28 * 4};
        static const uint32_t kOut[] = {512, 512, 128, 32 + 28 * 2};
        s.outChannels = layout == 3 ? 2 : 2;
        if (engine.configureUnbound(kTransport[layout], kIn[layout], kOut[layout], s)) {
            if (layout < 2) {
                AudioBulkIRP& r = engine.bulkIn(0);
                if (r.useIn(1)) {
                    fillRecord(r, payload, n, split % (kBulkIRPPackets + 1));
                    engine.rtsProcessBulkIn();
                    r.mTransferedBytes.store(transferred);
                    if (done) r.setDone();
                    fillRecord(r, payload, n, kBulkIRPPackets);
                    engine.rtsProcessBulkIn();
                }
            } else {
                AudioInterruptIRP& r = engine.intIn(0);
                if (r.useIn(1, false)) {
                    fillRecord(r, payload, n, split % (kInterruptInPackets + 1));
                    if (layout == 2)
                        engine.rtsProcessInterruptIn();
                    else
                        engine.rtsProcessInterruptIn_Flb();
                    r.mTransferedBytes.store(transferred);
                    if (done) r.setDone();
                    if (layout == 2)
                        engine.rtsProcessInterruptIn();
                    else
                        engine.rtsProcessInterruptIn_Flb();
                }
            }
        }
        ring.unbind();
    }
    IOFreeAligned(sm, sizeof(AudioSM));
    return 0;
}
