// A server plug-in driven by its test: one device (input and output stream)
// whose answers, stamps and IO behaviour the test scripts, recording every
// call the host makes in order.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/coreaudio/AudioServerPlugIn.h"

namespace hx::coreaudio::test {

class ScriptedServerPlugIn {
public:
    // First: the driver reference points here, and the entries find the
    // object through it.
    AudioServerPlugInDriverInterface* mInterfacePtr;

    static constexpr AudioObjectID kDevice = 100;
    static constexpr AudioObjectID kInputStream = 101;
    static constexpr AudioObjectID kOutputStream = 102;

    ScriptedServerPlugIn();
    AudioServerPlugInDriverRef driverRef() { return &mInterfacePtr; }

    // Script (set before the host reads or runs).
    Float64 sampleRate = 48000;
    UInt32 ringPeriod = 512;
    UInt32 safetyOffset[2] = {16, 24};
    UInt32 latency[2] = {5, 7};
    UInt32 bytesPerFrame = 6; // two channels of 3 bytes
    UInt32 channels = 2;
    bool listDevice = true;
    std::atomic<int> writePastOnCycle{-1};  // 'rite' Do of that cycle writes one byte too many
    std::atomic<int> sleepOnCycle{-1};      // 'rite' Do of that cycle sleeps 3.5 cycles
    std::atomic<int> stampOffsetOnCall{-1}; // that GetZeroTimeStamp call is off by half a period
    std::atomic<int> stampBackOnCall{-1};   // that call goes one period back

    // What happened.
    std::vector<std::string> calls() const;
    std::vector<Float64> outputTimes() const; // per 'rite' Do
    std::vector<Float64> inputTimes() const;  // per 'read' Do
    std::vector<UInt32> doBytes() const;      // buffer bytes the host gave (from the frame size)
    void* lastChangeInfo() const { return mChangeInfo; }
    UInt32 refCount() const { return mRefCount; }
    AudioServerPlugInHostRef host() const { return mHost; }
    int startCount() const { return mStarts; }

    void record(const std::string& call);

    // The interface entries reach the object through the driver reference.
    static ScriptedServerPlugIn* from(void* driver);

    AudioServerPlugInDriverInterface mInterface;
    AudioServerPlugInHostRef mHost = nullptr;
    std::atomic<UInt32> mRefCount{1};
    std::atomic<int> mStarts{0};
    std::atomic<int> mStampCalls{0};
    std::atomic<int> mCycle{0};
    UInt64 mAnchorHost = 0;
    void* mChangeInfo = nullptr;
    mutable std::mutex mMutex;
    std::vector<std::string> mCalls;
    std::vector<Float64> mOutputTimes;
    std::vector<Float64> mInputTimes;
    std::vector<UInt32> mDoBytes;
};

} // namespace hx::coreaudio::test
