// The vendor port: one audio client at a time owns the vendor interface of
// the Farlane products (interface 4) and moves data blocks over its bulk
// pipes through two rings of 128 blocks of 8,192 bytes. Reads land in the
// device's area (memory type 6: this object's own memory), writes come from
// the owner's own area (memory type 7).
//
// Both areas are writable by user space. The kernel keeps its ring
// positions, each transfer's block and the length it read privately and
// only publishes the positions; a block's length is read once and clamped.
// A transfer that outlives an abort's bounded wait is abandoned: its
// completion touches no block, and what it still uses (its request block,
// the owner's area) is given back only when it has run.
//
// Passes: while the port is open a 1 ms timer on the port's kernel thread
// starts a pass when the block at the kernel's position is ready (user space
// signals nothing after filling a block); each completion starts the next
// passes itself. At most one input and one output pass run at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "abi/MidiSM.h"
#include "driver/engine/SharedMemory.h"
#include "driver/engine/transport/KeThread.h"
#include "platform/base/MacTypes.h"
#include "platform/usb/IOUSBHostFamily.h"

class IOBufferMemoryDescriptor;
class ZrConfigurationDescriptor;
class ZrInterfaceDescriptor;
class ZrPipeDescriptor;

// The owner as the port sees it: the audio client.
class VendorAsyncClient {
public:
    virtual ~VendorAsyncClient() = default;
    virtual void vendorRetain() = 0;
    virtual void vendorRelease() = 0;
    // The client's own asynchronous area (memory type 7), made on demand;
    // null when it cannot be made.
    virtual SharedMemory* vendorOwnArea() = 0;
};

// What the port needs of its device.
class VendorAsyncDevice {
public:
    virtual ~VendorAsyncDevice() = default;
    // One of the Sorvik Farlane products (either generation).
    virtual bool vendorIsFarlane() const = 0;
    // Claims the interface through the kernel device's interface matching.
    virtual bool vendorMatchInterface(ZrInterfaceDescriptor*& intf) = 0;
    virtual void vendorCloseInterface(ZrInterfaceDescriptor* intf) = 0;
    virtual bool vendorInitPipe(ZrPipeDescriptor* pipe, const char* name) = 0;
    virtual void vendorClosePipe(ZrPipeDescriptor* pipe) = 0;
    virtual bool vendorHasUSBPipe(ZrPipeDescriptor* pipe) const = 0;
    // A bulk or interrupt transfer on the pipe; the completion runs on a
    // USB thread unless the start fails.
    virtual IOReturn vendorIO(ZrPipeDescriptor* pipe, IOMemoryDescriptor* buffer, uint32_t length,
                              IOUSBHostCompletion* completion, uint32_t timeoutMs) = 0;
    virtual void vendorAbortPipe(ZrPipeDescriptor* pipe) = 0;
};

class VendorAsyncPort : public SharedMemory {
public:
    static constexpr uint32_t kAreaBytes = kAsyncTransportBytes;
    static constexpr uint32_t kBlockBytes = kAsyncBlockDataBytes;
    static constexpr uint32_t kWriteTimeoutMs = 5000;
    static constexpr uint32_t kWritePauseUs = 500;
    static constexpr uint32_t kAbortStepMs = 10;
    // An abort waits this long for the transfers in flight, then abandons them.
    static constexpr uint32_t kAbortWaitMs = 2000;
    static constexpr uint32_t kTimerPeriodMs = 1;
    // Answers of open, close and abort.
    static constexpr uint32_t kDone = 0;
    static constexpr uint32_t kInvalidParameter = 3;
    static constexpr uint32_t kOpenByAnother = 4;

    VendorAsyncPort() = default;
    ~VendorAsyncPort() override;

    bool onInit();
    void onTerm();
    void onFindInterfaces(VendorAsyncDevice* device, ZrConfigurationDescriptor* configuration);
    bool onConfigureDone(VendorAsyncDevice* device);
    void onUnconfigure();

    uint32_t open(VendorAsyncClient* client);
    uint32_t close(VendorAsyncClient* client, bool wait);
    uint32_t abort(VendorAsyncClient* client, bool wait);
    // Stream stop and teardown: the current owner's abort and close.
    uint32_t abortOwner(bool wait) { return abort(owner(), wait); }
    uint32_t closeOwner(bool wait) { return close(owner(), wait); }
    void onService();

    void processInput(uint32_t passes);
    void processOutput(bool fromUser, uint32_t passes);

    // ---- For tests and the fuzz target.
    void setDevice(VendorAsyncDevice* device) { mpDevice = device; }
    VendorAsyncClient* owner() const { return mOwner.load(); }
    AsyncTransportData* inputArea() const { return static_cast<AsyncTransportData*>(getMemory()); }
    ZrInterfaceDescriptor* interface() const { return mInterface; }
    ZrPipeDescriptor* inPipe() const { return mpInPipe.load(); }
    ZrPipeDescriptor* outPipe() const { return mpOutPipe.load(); }
    uint32_t ioCount() const { return mIOCount.load(); }
    bool isOpen() const { return mOpen.load() != 0; }
    bool isClosing() const { return mClosing.load() != 0; }
    uint32_t transfersStarted() const { return mStarted.load(); }
    uint32_t inFlight() const;
    KeThread& timer() { return mTimer; }

private:
    // A request block's lifecycle, so that its completion and an abort
    // that gives up on its transfer never both touch it.
    enum class BlockState : uint8_t {
        Idle,       // free
        Taken,      // claimed; its ring index is being set
        Flying,     // its transfer is queued
        Completing, // its completion took it
        Abandoned,  // an abort failed its ring block; the completion only gives it back
    };
    struct Block {
        VendorAsyncPort* port = nullptr;
        IOBufferMemoryDescriptor* buffer = nullptr;
        uint8_t* data = nullptr;
        uint32_t index = 0;  // the ring block it serves
        uint32_t length = 0; // the block's length as read at the start
        std::atomic<BlockState> state{BlockState::Idle};
        // The one way the state changes: from `from` to `to` if it still
        // is `from`.
        bool changeState(BlockState from, BlockState to) {
            return state.compare_exchange_strong(from, to, std::memory_order_acq_rel,
                                                 std::memory_order_acquire);
        }
        bool isUsed() const { return state.load(std::memory_order_acquire) != BlockState::Idle; }
        bool use(uint32_t k);
        void unuse();
    };
    static void inCompletion(void* owner, void* parameter, IOReturn status, uint32_t transferred);
    static void outCompletion(void* owner, void* parameter, IOReturn status, uint32_t transferred);
    static void timerService(void* port);
    void finishIn(Block& rb, IOReturn status, uint32_t transferred);
    void finishOut(Block& rb, IOReturn status);
    void endTransfer(Block& rb);
    bool canProcess(bool input);
    bool startRead(AsyncTransportData* area, uint32_t k);
    bool startWrite(AsyncTransportData* area, uint32_t k);
    Block* takeBlock(Block (&set)[2], uint32_t k);
    bool waitIOCount();
    void abandonInFlight();
    void takeGuards();
    void releaseOwnArea();
    bool blockReady(const AsyncTransportData* area, uint32_t index) const;
    AsyncTransportData* ownData() const { return mOwnData.load(); }

    VendorAsyncDevice* mpDevice = nullptr;
    ZrInterfaceDescriptor* mInterface = nullptr;
    std::atomic<ZrPipeDescriptor*> mpInPipe{nullptr};
    std::atomic<ZrPipeDescriptor*> mpOutPipe{nullptr};
    std::atomic<VendorAsyncClient*> mOwner{nullptr};
    // The owner's area, locked while the port may touch it.
    std::mutex mOwnAreaLock;
    SharedMemory* mOwnArea = nullptr;
    std::atomic<AsyncTransportData*> mOwnData{nullptr};
    bool mOwnAreaPending = false; // given back by the last abandoned write
    std::atomic<uint8_t> mOpen{0};
    std::atomic<uint8_t> mClosing{0};
    std::atomic<uint32_t> mIOCount{0};
    std::atomic<uint32_t> mInGuard{0};
    std::atomic<uint32_t> mOutGuard{0};
    // The kernel's ring positions, written under their pass guard.
    std::atomic<uint32_t> mInIndex{0};
    std::atomic<uint32_t> mOutIndex{0};
    std::atomic<uint32_t> mStarted{0};
    Block mInRB[2];
    Block mOutRB[2];
    KeThread mTimer;
    bool mTimerRunning = false;
};
