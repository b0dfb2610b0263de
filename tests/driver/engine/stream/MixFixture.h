// A driver shared area with its client mixer, and clients with output rings
// laid out the way the audio user client lays them out before attaching.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "abi/AudioSM.h"
#include "abi/DriverSM.h"
#include "driver/engine/stream/DriverData.h"
#include "platform/kern/IOLib.h"
#include "platform/kern/IOUserClient.h"
#include "tests/driver/engine/stream/RingMemory.h"

namespace hx::test {

struct MixClient {
    IOUserClient* client = new IOUserClient;
    RingMemory ring;
    int slot = -1;
    ~MixClient() { client->release(); }

    // Writes frames whose every sample of channel c is values[c], at the
    // ring's write position plus offset.
    void writeConstant(const std::vector<int32_t>& values, uint32_t frames, uint64_t offset = 0) {
        std::vector<int32_t> block(size_t(frames) * values.size());
        for (uint32_t f = 0; f < frames; ++f)
            for (size_t c = 0; c < values.size(); ++c)
                block[f * values.size() + c] = values[c];
        ring->writeFrames(block.data(), frames, offset);
    }
};

class MixFixture : public testing::Test {
protected:
    void SetUp() override {
        sm = static_cast<DriverSM*>(IOMallocAligned(sizeof(DriverSM), 4096));
        std::memset(sm, 0, sizeof(DriverSM));
        dd = DriverData::create(sm);
        ASSERT_NE(dd, nullptr);
        QnChannelSettings settings{48000, 2, 24, 2, 24, 1};
        dd->setConverters(pcmTo32LSB, settings);
    }
    void TearDown() override {
        dd->detachAllClients();
        dd->sharedMemoryDestroyed();
        dd->release();
        IOFreeAligned(sm, sizeof(DriverSM));
    }

    // Lays out the client's ring and attaches it.
    bool attach(MixClient& c, uint32_t channels = 2, uint64_t token = 0, int id = 1234,
                uint32_t param = 512) {
        c.ring->_layout(channels, 48000, 0);
        return dd->attachClient(c.client, c.ring.sm, id, c.slot, param, token);
    }

    // Mixes one packet of frames x 2 channels at position into wire.
    std::vector<int32_t> mix(uint64_t position, uint32_t frames, uint32_t channels = 2) {
        std::vector<int32_t> wire(size_t(frames) * channels, 0x5A5A5A5A);
        dd->rtsIsocOutput(reinterpret_cast<char*>(wire.data()), uint32_t(wire.size() * 4), position,
                          frames, nullptr);
        return wire;
    }

    DriverSM* sm = nullptr;
    DriverData* dd = nullptr;
};

} // namespace hx::test
