// The kernel's readers and writers of the MIDI area, and the vendor area's
// bounded accessors, on arbitrary contents: the input sets the header words
// a client could write (fill counts, indexes, lengths) and a sequence of
// kernel operations. No access may leave the area, no call may loop
// endlessly, and no read may deliver more than asked or than the ring holds.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "abi/MidiSM.h"
#include "fuzz/common/FuzzInput.h"

namespace {

using hxfuzz::Input;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MidiSharedMemory* sm = new MidiSharedMemory();
    static AsyncTransportData* async = new AsyncTransportData();
    Input in{data, size};

    Queue64KReader readers[2];
    MidiIOWriter writers[2];
    for (int q = 0; q < 2; ++q) {
        sm->mOut[q].initNoMemSet();
        readers[q].reset(sm->mOut[q]);
        writers[q].reset(sm->mIn[q]);
        // What a client could have written.
        sm->mOut[q].mFill = in.u32();
        sm->mOut[q].mWrite = uint16_t(in.u32());
        sm->mOut[q].mRead = uint16_t(in.u32());
        sm->mIn[q].mReadIndex = in.u32();
        sm->mIn[q].mWriteIndex = in.u32();
    }
    MidiQueueStorage<64> mq;
    mq.queue.mWritePos = in.u32();
    mq.queue.mReadPos = in.u32();
    mq.queue.mFill = in.u32();

    uint8_t buf[1024];
    while (in.n) {
        const uint8_t op = in.u8();
        const int q = op & 1;
        const uint32_t len = in.u8() * 4u;
        switch ((op >> 1) % 7) {
        case 0: {
            const uint32_t got = readers[q].get(sm->mOut[q], buf, len);
            if (got > len) __builtin_trap();
            break;
        }
        case 1:
            sm->mOut[q].put(buf, len);
            break;
        case 2:
            sm->mOut[q].mFill = in.u32(); // the client scribbles again
            sm->mOut[q].mRead = uint16_t(in.u32());
            break;
        case 3: {
            std::memset(buf, in.u8(), len);
            if (writers[q].putFrame(sm->mIn[q], buf, len, 1) > len) __builtin_trap();
            MidiIOElement e;
            for (int i = 0; i < 4 && sm->mIn[q].get(e); ++i)
                if (e.mLength > kMidiIOElementBytes)
                    break; // a length the client wrote; the reader's own business
            break;
        }
        case 4: {
            const uint32_t got = mq.queue.get(buf, len);
            uint32_t used = 0, free = 0;
            mq.queue.getLength(&used, &free);
            if (got > len || used + free != 64) __builtin_trap();
            mq.queue.put(buf, len);
            break;
        }
        case 5: {
            AsyncTransportBlock& b = async->block(in.u32());
            b.mLength = in.u32();
            if (b.clampedLength() > kAsyncBlockDataBytes) __builtin_trap();
            std::memset(b.mData, 0, b.clampedLength());
            break;
        }
        case 6:
            readers[q].clear(sm->mOut[q]);
            if (!readers[q].isEmpty(sm->mOut[q])) __builtin_trap();
            break;
        }
    }
    return 0;
}
