// Recovery of a broken stream, in the two stages user space asks for: stage
// 1 claims the break (one caller per break), stops what still runs and
// unconfigures the device; stage 2 configures the current settings again
// and restarts streaming, telling every client.
#pragma once

#include <cstdint>

class ZrIsocStreaming;

// What recovery asks of the device.
class StreamRecoveryHost {
public:
    virtual ~StreamRecoveryHost() = default;
    virtual bool isStreamingStarted() = 0;
    virtual void stopStreaming(bool wait) = 0;
    // Product requests after a system power-down (before unconfiguring).
    virtual void powerDownRequests() {}
    virtual void unconfigureDevice(const char* reason) = 0;
    virtual bool hasDriverData() = 0;
    virtual uint8_t digitalLock() = 0;
    // Prepares the current settings again with force; true when the device
    // is configured afterwards.
    virtual bool prepareNewConfig() = 0;
    virtual void reinitClientsForStreaming() = 0;
    virtual void startStreaming() = 0;
    virtual void stcNotify(uint32_t code) = 0;
};

// stage 1, or any other value for stage 2; true when the stage ran.
// wasPowerDownMode is the device's mbWasPowerDownMode.
bool handleStreamBroken(int stage, ZrIsocStreaming& engine, bool& wasPowerDownMode,
                        StreamRecoveryHost& host);
