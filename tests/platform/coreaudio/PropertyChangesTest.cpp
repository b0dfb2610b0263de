#include "platform/coreaudio/HALPropertyChanges.h"

#include "platform/base/HXClock.h"

#include <gtest/gtest.h>
#include <thread>

namespace {

using hx::coreaudio::PropertyChange;

class PropertyChanges : public ::testing::Test {
protected:
    void SetUp() override { hx::coreaudio::clearRecordedPropertyChanges(); }
    void TearDown() override {
        hx::coreaudio::setPropertyChangeHook(nullptr);
        hx::coreaudio::clearRecordedPropertyChanges();
    }
    AudioHardwarePlugInInterface* mTable = nullptr;
    AudioHardwarePlugInRef mRef = &mTable;
};

TEST_F(PropertyChanges, TheRecorderKeepsEachCallInOrderWithItsHostTime) {
    const UInt64 before = mach_absolute_time();
    EXPECT_EQ(AudioHardwareDevicePropertyChanged(mRef, 17, 0, true, kAudioDevicePropertyLatency),
              0);
    EXPECT_EQ(AudioHardwareStreamPropertyChanged(mRef, 17, 19, 2, kAudioDevicePropertySafetyOffset),
              0);
    const AudioObjectPropertyAddress addresses[] = {
        {kAudioDevicePropertyDeviceHasChanged, kAudioObjectPropertyScopeGlobal,
         kAudioObjectPropertyElementMaster},
        {kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal,
         kAudioObjectPropertyElementMaster}};
    EXPECT_EQ(AudioObjectPropertiesChanged(mRef, 17, 2, addresses), 0);
    EXPECT_EQ(AudioObjectPropertiesChanged(mRef, 18, 5, nullptr), 0);
    const UInt64 after = mach_absolute_time();

    const std::vector<PropertyChange> got = hx::coreaudio::recordedPropertyChanges();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].call, PropertyChange::Call::Device);
    EXPECT_EQ(got[0].plugIn, mRef);
    EXPECT_EQ(got[0].object, 17u);
    EXPECT_TRUE(got[0].isInput);
    EXPECT_EQ(got[0].selector, kAudioDevicePropertyLatency);
    EXPECT_EQ(got[1].call, PropertyChange::Call::Stream);
    EXPECT_EQ(got[1].stream, 19u);
    EXPECT_EQ(got[1].channel, 2u);
    EXPECT_EQ(got[1].selector, kAudioDevicePropertySafetyOffset);
    EXPECT_EQ(got[2].call, PropertyChange::Call::Object);
    ASSERT_EQ(got[2].addresses.size(), 2u);
    EXPECT_EQ(got[2].addresses[1].mSelector, kAudioDevicePropertyNominalSampleRate);
    EXPECT_EQ(got[2].addresses[1].mScope, kAudioObjectPropertyScopeGlobal);
    EXPECT_TRUE(got[3].addresses.empty());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_GE(got[i].hostTime, i ? got[i - 1].hostTime : before);
        EXPECT_LE(got[i].hostTime, after);
    }
    hx::coreaudio::clearRecordedPropertyChanges();
    EXPECT_TRUE(hx::coreaudio::recordedPropertyChanges().empty());
}

TEST_F(PropertyChanges, AHookTakesTheCallsAndAnswersThem) {
    std::vector<PropertyChange> seen;
    hx::coreaudio::setPropertyChangeHook([&](const PropertyChange& c) {
        seen.push_back(c);
        return kAudioHardwareBadObjectError;
    });
    EXPECT_EQ(
        AudioHardwareDevicePropertyChanged(mRef, 3, 0, false, kAudioDevicePropertyDeviceIsRunning),
        kAudioHardwareBadObjectError);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].selector, kAudioDevicePropertyDeviceIsRunning);
    EXPECT_FALSE(seen[0].isInput);
    EXPECT_TRUE(hx::coreaudio::recordedPropertyChanges().empty());

    hx::coreaudio::setPropertyChangeHook(nullptr);
    EXPECT_EQ(AudioHardwareDevicePropertyChanged(mRef, 3, 0, false,
                                                 kAudioDevicePropertyDeviceIsRunningSomewhere),
              0);
    EXPECT_EQ(hx::coreaudio::recordedPropertyChanges().size(), 1u);
}

TEST_F(PropertyChanges, CallsFromSeveralThreadsAreAllKeptInEachThreadsOrder) {
    constexpr int kThreads = 4, kCalls = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i)
                AudioHardwareStreamPropertyChanged(mRef, AudioDeviceID(t), AudioStreamID(i), 0,
                                                   kAudioDevicePropertyBufferFrameSize);
        });
    for (auto& th : threads)
        th.join();
    const std::vector<PropertyChange> got = hx::coreaudio::recordedPropertyChanges();
    ASSERT_EQ(got.size(), std::size_t(kThreads * kCalls));
    std::vector<int> next(kThreads, 0);
    for (const PropertyChange& c : got)
        EXPECT_EQ(c.stream, AudioStreamID(next[c.object]++));
    for (int n : next)
        EXPECT_EQ(n, kCalls);
}

} // namespace
