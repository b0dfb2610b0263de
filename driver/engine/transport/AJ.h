// The MIDI and control port's streaming hooks as the streaming engine calls
// them. The port itself (its interface, pipes, parsers and queues) is not
// here yet: without an interface, starting only reports that and stopping
// has nothing to abort.
#pragma once

class AJ {
public:
    void streamingStarted();
    void streamingStopped();
    bool isRunning() const { return mRunning; }

private:
    void* m_pcMidiInterface = nullptr;
    bool mRunning = false;
};
