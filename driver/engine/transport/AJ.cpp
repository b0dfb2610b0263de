#include "driver/engine/transport/AJ.h"

#include "platform/kern/IOLib.h"
#include "platform/kern/IOMemoryDescriptor.h"

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

// ---- The MIDI client's side (stub until the port's queues land).

AJ::~AJ()
{
    if (mMidiSM)
        mMidiSM->release();
}

IOBufferMemoryDescriptor* AJ::getMidiSM()
{
    std::lock_guard<std::mutex> g(mClientLock);
    if (!mMidiSM)
        mMidiSM = IOBufferMemoryDescriptor::withOptions(kIOMemoryKernelUserShared, kMidiSMSize, 4096);
    return mMidiSM;
}

void AJ::fireOutput()
{
    if (mRecord)
        mRecord("AJ::fireOutput");
}

bool AJ::clientAttach(const void* client)
{
    bool ok = false;
    {
        std::lock_guard<std::mutex> g(mClientLock);
        if (!mAttached && client) {
            mAttached = client;
            ok = true;
        }
    }
    if (mRecord)
        mRecord(std::string("AJ::clientAttach ") + (ok ? "1" : "0"));
    return ok;
}

void AJ::clientDetach(const void* client)
{
    {
        std::lock_guard<std::mutex> g(mClientLock);
        if (mAttached == client)
            mAttached = nullptr;
    }
    if (mRecord)
        mRecord("AJ::clientDetach");
}
