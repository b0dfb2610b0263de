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
