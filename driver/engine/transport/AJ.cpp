#include "driver/engine/transport/AJ.h"

#include "platform/kern/IOLib.h"

void AJ::streamingStarted()
{
    if (!m_pcMidiInterface) {
        IOLog("%s m_pcMidiInterface is NULL\n", "void AJ::streamingStarted()");
        return;
    }
    mRunning = true;
}

void AJ::streamingStopped()
{
    if (!m_pcMidiInterface || !mRunning)
        return;
    mRunning = false;
}

// ---- The level record ----

void AJ::getLevelInfo(QN_LevelInfo* info)
{
    if (!info)
        return;
    for (unsigned i = 0; i < 32; ++i) {
        info->lvlIn[i] = mLevelIn[i].exchange(0, std::memory_order_relaxed);
        info->lvlOut[i] = mLevelOut[i].exchange(0, std::memory_order_relaxed);
    }
}

void AJ::raiseLevel(bool output, unsigned channel, int8_t value)
{
    if (channel >= 32)
        return;
    std::atomic<int8_t>& e = output ? mLevelOut[channel] : mLevelIn[channel];
    int8_t seen = e.load(std::memory_order_relaxed);
    while (value > seen && !e.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}
