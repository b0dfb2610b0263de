// The MIDI and control port's streaming hooks as the streaming engine calls
// them. The port itself (its interface, pipes, parsers and queues) is not
// here yet: without an interface, starting only reports that and stopping
// has nothing to abort.
#pragma once

#include <functional>
#include <mutex>
#include <string>

class IOBufferMemoryDescriptor;

class AJ {
public:
    AJ() = default;
    ~AJ();
    AJ(const AJ&) = delete;
    AJ& operator=(const AJ&) = delete;

    void streamingStarted();
    void streamingStopped();
    bool isRunning() const { return mRunning; }

    // ---- The MIDI client's side. Until the port's queues land, the port
    // owns a zeroed MIDI shared area and records what the client asks of it
    // through the recorder it is given.
    static constexpr uint32_t kMidiSMSize = 459564;
    void setStubRecorder(std::function<void(const std::string&)> recorder) { mRecord = std::move(recorder); }
    // The MIDI shared area, made on first use; null when it cannot be made.
    IOBufferMemoryDescriptor* getMidiSM();
    bool hasMidiSM() const { return mMidiSM != nullptr; }
    void fireOutput();
    // True only while no client is attached.
    bool clientAttach(const void* client);
    void clientDetach(const void* client);

private:
    void* m_pcMidiInterface = nullptr;
    bool mRunning = false;

    std::mutex mClientLock;
    IOBufferMemoryDescriptor* mMidiSM = nullptr;
    const void* mAttached = nullptr;
    std::function<void(const std::string&)> mRecord;
};
