// The server host's inner state, shared by its files: the host record the
// plug-in holds, the serial worker threads N and K, and one record per
// device with its IO thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "platform/base/HXClock.h"
#include "platform/coreaudio/ServerHost.h"

namespace hx::coreaudio {

// A serial worker thread taking part in virtual time: tasks run in the
// order posted.
class ServerWorker {
public:
    explicit ServerWorker(const char* name);
    ~ServerWorker(); // ends the thread after the tasks already posted
    void post(std::function<void()> task);
    // Waits until no task is queued or running.
    void waitIdle();
    void stop();

private:
    void run(hx::clock::Reservation seat);

    const char* mName;
    std::mutex mMutex;
    hx::clock::Condition mCondition;
    std::deque<std::function<void()>> mTasks;
    bool mBusy = false;
    bool mStopping = false;
    std::thread mThread;
};

// The record handed to the plug-in as its host. It lives on after the host
// (the plug-in keeps the pointer); its calls then answer 'stop'.
struct ServerHostRecord {
    AudioServerPlugInHostInterface interface;
    std::shared_mutex lock;
    ServerHost::Impl* host = nullptr;
};

// One stream's IO buffer between two canaries.
struct ServerStreamBuffer {
    AudioObjectID stream = 0;
    UInt32 bytes = 0;
    std::vector<UInt8> storage;
    UInt8* data() { return storage.data() + kCanaryBytes; }
    // A float client's buffers (made with the stream's, never on the IO thread).
    AudioStreamBasicDescription format{};
    std::vector<float> floats;
    std::vector<std::int32_t> words;
    static constexpr std::size_t kCanaryBytes = 64;
};

struct ServerDevice {
    ServerDeviceInfo info;
    // Clients and their IO starts; the control lock orders start, stop and
    // configuration changes (never taken by the IO thread).
    std::mutex control;
    std::map<UInt32, int> clientStarts;
    int startCount = 0;
    ServerClientIO clientIO;

    // The IO thread and its hand-over state, under ioMutex.
    std::mutex ioMutex;
    hx::clock::Condition ioCondition;
    std::thread ioThread;
    bool ioStop = false;
    bool parkRequested = false;
    bool parked = false;
    bool resumed = false; // anchor anew (after a start or a resume)
    std::vector<ServerStreamBuffer> buffers[2];
    ServerDeviceInfo ioInfo; // the formats the buffers were made for
};

struct ServerHost::Impl {
    explicit Impl(ServerHostOptions o);

    ServerHostOptions options;
    ServerHostRecord* record = nullptr;
    AudioServerPlugInDriverRef driver = nullptr;
    std::atomic<bool> down{false};

    mutable std::mutex devicesMutex;
    std::map<AudioObjectID, std::unique_ptr<ServerDevice>> deviceRecords;
    UInt32 nextClientID = 1;

    mutable std::mutex notesMutex;
    std::vector<PropertiesChangedCall> calls;
    std::vector<
        std::pair<std::pair<AudioObjectID, AudioObjectPropertyAddress>, ServerPropertyListener>>
        listeners;
    std::vector<ConfigurationChangeRecord> changes;
    bool abortNext = false;

    mutable std::mutex storageMutex;

    std::atomic<std::uint64_t> cycles{0}, stampErrors{0}, drops{0}, canaryHits{0}, changeCount{0};
    std::atomic<std::uint64_t> cycleCpuNanos{0};

    std::unique_ptr<ServerWorker> notifier;     // N
    std::unique_ptr<ServerWorker> configurator; // K

    ServerDevice* find(AudioObjectID id);

    // Host interface calls.
    OSStatus propertiesChanged(AudioObjectID object, UInt32 count,
                               const AudioObjectPropertyAddress* addresses);
    OSStatus copyFromStorage(CFStringRef key, CFPropertyListRef* out);
    OSStatus writeToStorage(CFStringRef key, CFPropertyListRef value);
    OSStatus requestConfigurationChange(AudioObjectID device, UInt64 action, void* info);

    // On N.
    void enumerate();
    bool readDevice(ServerDeviceInfo& info);
    void runListeners(const PropertiesChangedCall& call);
    // On K.
    void configure(AudioObjectID device, UInt64 action, void* info);

    // Storage file.
    std::string storagePath() const;
    CFMutableDictionaryRef loadStorage();
    bool saveStorage(CFDictionaryRef all);

    // IO (ServerHost_IO.cpp).
    void makeBuffers(ServerDevice& d);
    void startIOThread(ServerDevice& d);
    void endIOThread(ServerDevice& d);
    void park(ServerDevice& d);
    void resume(ServerDevice& d);
    void ioThreadMain(ServerDevice* d);
};

} // namespace hx::coreaudio
