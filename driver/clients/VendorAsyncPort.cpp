#include "driver/clients/VendorAsyncPort.h"

#include <algorithm>
#include <cstring>

#include "abi/AudioSM.h"
#include "driver/engine/desc/ZrConfigurationDescriptor.h"
#include "driver/engine/desc/ZrInterfaceDescriptor.h"
#include "driver/engine/desc/ZrPipeDescriptor.h"
#include "platform/base/HXClock.h"
#include "platform/kern/IOLib.h"
#include "platform/kern/IOMemoryDescriptor.h"

namespace {

constexpr uint8_t kVendorInterfaceNumber = 4;

uint32_t blockState(const AsyncTransportData* area, uint32_t k) {
    return audiosm::load32(AUDIOSM_CAT(&area->mBlocks[k], AsyncTransportBlock, mState),
                           __ATOMIC_ACQUIRE);
}

void setBlockState(AsyncTransportData* area, uint32_t k, uint32_t state) {
    audiosm::store32(AUDIOSM_AT(&area->mBlocks[k], AsyncTransportBlock, mState), state,
                     __ATOMIC_RELEASE);
}

void setBlockLength(AsyncTransportData* area, uint32_t k, uint32_t length) {
    audiosm::store32(AUDIOSM_AT(&area->mBlocks[k], AsyncTransportBlock, mLength), length,
                     __ATOMIC_RELAXED);
}

} // namespace

bool VendorAsyncPort::Block::use(uint32_t k) {
    if (!buffer || !changeState(BlockState::Idle, BlockState::Taken)) return false;
    // The index is set before the transfer counts as flying: an abort reads
    // it only from a flying block.
    index = k;
    changeState(BlockState::Taken, BlockState::Flying);
    return true;
}

void VendorAsyncPort::Block::unuse() {
    for (;;) {
        const BlockState s = state.load(std::memory_order_acquire);
        if (s == BlockState::Idle || changeState(s, BlockState::Idle)) return;
    }
}

VendorAsyncPort::~VendorAsyncPort() {
    mTimer.term();
    for (Block* set : {mInRB, mOutRB})
        for (int i = 0; i < 2; ++i)
            OSSafeReleaseNULL(set[i].buffer);
}

// ---- Life cycle

bool VendorAsyncPort::onInit() {
    if (!init(kAreaBytes)) {
        IOLog("VendorAsyncPort::onInit-mAsyncDataIn failed\n");
        return false;
    }
    mIOCount.store(0);
    mOpen.store(0);
    mClosing.store(0);
    for (Block* set : {mInRB, mOutRB})
        for (int i = 0; i < 2; ++i) {
            Block& b = set[i];
            b.port = this;
            if (b.buffer) continue;
            b.buffer = IOBufferMemoryDescriptor::withOptions(0, kBlockBytes, 4096);
            b.data = b.buffer ? static_cast<uint8_t*>(b.buffer->getBytesNoCopy()) : nullptr;
        }
    return true;
}

void VendorAsyncPort::onTerm() {
    closeOwner(true);
    // Transfers an abort gave up on still use their request blocks and this
    // area: both go only after their completions ran.
    for (bool logged = false; mIOCount.load() != 0 || inFlight() != 0; IOSleep(kAbortStepMs))
        if (!logged) {
            IOLog("VendorAsyncPort::onTerm wait for transfers:%d\n", int(inFlight()));
            logged = true;
        }
    term(true);
    for (Block* set : {mInRB, mOutRB})
        for (int i = 0; i < 2; ++i) {
            OSSafeReleaseNULL(set[i].buffer);
            set[i].data = nullptr;
        }
}

void VendorAsyncPort::onFindInterfaces(VendorAsyncDevice* device,
                                       ZrConfigurationDescriptor* configuration) {
    IOLog("VendorAsyncPort::onFindInterfaces\n");
    mInterface = nullptr;
    if (!device || !device->vendorIsFarlane()) return;
    mInterface = configuration ? configuration->getInterface(kVendorInterfaceNumber) : nullptr;
    if (!mInterface) IOLog("VendorAsyncPort::onFindInterfaces NO Sorvik Vendor interface\n");
}

bool VendorAsyncPort::onConfigureDone(VendorAsyncDevice* device) {
    IOLog("VendorAsyncPort::onConfigureDone\n");
    if (!device) {
        IOLog("VendorAsyncPort::onConfigureDone no device\n");
        return false;
    }
    mpDevice = device;
    if (!device->vendorIsFarlane()) {
        IOLog("VendorAsyncPort::onConfigureDone no farlane device\n");
        return true;
    }
    if (!mInterface) {
        IOLog("VendorAsyncPort::onConfigureDone no interface\n");
        return true;
    }
    if (!device->vendorMatchInterface(mInterface)) {
        IOLog("VendorAsyncPort::onConfigureDone matchInterface failed\n");
        return false;
    }
    ZrPipeDescriptor* in = mInterface->getBulkInPipe();
    if (!in) in = mInterface->getInterruptInPipe();
    ZrPipeDescriptor* out = mInterface->getBulkOutPipe();
    if (!in || !out) {
        IOLog("VendorAsyncPort::onConfigureDone mpInPipe:%p mpOutPipe:%p\n", (void*)in, (void*)out);
        return false;
    }
    mpInPipe.store(in);
    mpOutPipe.store(out);
    if (!device->vendorInitPipe(in, "VendorAsyncPort mpInPipe")) {
        IOLog("VendorAsyncPort::onConfigureDone mpInPipe->initPipe failed\n");
        return false;
    }
    if (!device->vendorInitPipe(out, "VendorAsyncPort mpOutPipe")) {
        IOLog("VendorAsyncPort::onConfigureDone mpOutPipe->initPipe failed\n");
        return false;
    }
    return true;
}

void VendorAsyncPort::onUnconfigure() {
    IOLog("VendorAsyncPort::onUnconfigure\n");
    abort(owner(), true);
    // No pass may use the pipes while they go.
    takeGuards();
    if (ZrPipeDescriptor* in = mpInPipe.exchange(nullptr)) {
        IOLog("VendorAsyncPort::onUnconfigure - close in pipe\n");
        if (mpDevice) mpDevice->vendorClosePipe(in);
    }
    if (ZrPipeDescriptor* out = mpOutPipe.exchange(nullptr)) {
        IOLog("VendorAsyncPort::onUnconfigure - close out pipe\n");
        if (mpDevice) mpDevice->vendorClosePipe(out);
    }
    if (mInterface) {
        IOLog("VendorAsyncPort::onUnconfigure - close interface\n");
        if (mpDevice) mpDevice->vendorCloseInterface(mInterface);
        mInterface = nullptr;
    }
    mInGuard.store(0);
    mOutGuard.store(0);
}

// ---- Ownership

uint32_t VendorAsyncPort::open(VendorAsyncClient* client) {
    IOLog("VendorAsyncPort::open from %p\n", (void*)client);
    if (!client) {
        IOLog("VendorAsyncPort::open from %p QN_IO_INVALID_PARAMETER\n", (void*)client);
        return kInvalidParameter;
    }
    VendorAsyncClient* current = mOwner.load();
    if (current == client) {
        IOLog("VendorAsyncPort::open from %p already open\n", (void*)client);
        return kDone;
    }
    {
        std::lock_guard<std::mutex> g(mOwnAreaLock);
        // A previous owner's abandoned writes still hold its area.
        if (current || mOwnAreaPending) {
            IOLog("VendorAsyncPort::open from %p already open by another client\n", (void*)client);
            return kOpenByAnother;
        }
        // The owner's area stays locked while the port may touch it: the
        // client frees it only once the lock is free.
        SharedMemory* area = client->vendorOwnArea();
        mOwnArea = area && area->lock() ? area : nullptr;
        mOwnData.store(mOwnArea ? static_cast<AsyncTransportData*>(mOwnArea->getMemory())
                                : nullptr);
    }
    client->vendorRetain();
    mOwner.store(client);
    mInIndex.store(0);
    mOutIndex.store(0);
    if (AsyncTransportData* in = inputArea())
        audiosm::store32(AUDIOSM_AT(in, AsyncTransportData, mKernelFill), 0, __ATOMIC_RELEASE);
    if (AsyncTransportData* out = ownData())
        audiosm::store32(AUDIOSM_AT(out, AsyncTransportData, mUserRequest), 0, __ATOMIC_RELEASE);
    mInGuard.store(0);
    mOutGuard.store(0);
    mClosing.store(0);
    mOpen.store(1);
    if (!mTimerRunning && mTimer.create(this)) {
        mTimer.setService(&VendorAsyncPort::timerService);
        mTimerRunning = true;
    }
    return kDone;
}

uint32_t VendorAsyncPort::close(VendorAsyncClient* client, bool wait) {
    VendorAsyncClient* current = mOwner.load();
    IOLog("VendorAsyncPort::close %p from %p\n", (void*)current, (void*)client);
    if (!client || client != current) return kInvalidParameter;
    mClosing.store(1);
    abort(client, wait);
    if (mTimerRunning) mTimer.term();
    mTimerRunning = false;
    // A pass still running ends; later ones see the closing flag.
    takeGuards();
    abandonInFlight();
    mInGuard.store(0);
    mOutGuard.store(0);
    mOwner.store(nullptr);
    client->vendorRelease();
    mOpen.store(0);
    releaseOwnArea();
    return kDone;
}

uint32_t VendorAsyncPort::abort(VendorAsyncClient* client, bool wait) {
    if (!client) {
        IOLog("VendorAsyncPort::abort no file\n");
        return kInvalidParameter;
    }
    if (client != mOwner.load()) {
        IOLog("VendorAsyncPort::abort not owner file\n");
        return kInvalidParameter;
    }
    IOLog("VendorAsyncPort::abort abort pipes\n");
    const uint8_t wasOpen = mOpen.exchange(0);
    if (ZrPipeDescriptor* in = mpInPipe.load()) {
        IOLog("VendorAsyncPort::abort mpInPipe:%p\n", (void*)in);
        if (mpDevice) mpDevice->vendorAbortPipe(in);
    }
    if (ZrPipeDescriptor* out = mpOutPipe.load()) {
        IOLog("VendorAsyncPort::abort mpOutPipe:%p\n", (void*)out);
        if (mpDevice) mpDevice->vendorAbortPipe(out);
    }
    if (wait && !waitIOCount()) abandonInFlight();
    IOLog("VendorAsyncPort::Abort - mIOCount:%d\n", int(mIOCount.load()));
    mOpen.store(wasOpen);
    return kDone;
}

bool VendorAsyncPort::waitIOCount() {
    IOLog("VendorAsyncPort::Abort wait mIOCount(%d) to zero\n", int(mIOCount.load()));
    const uint64_t deadline = hx::clock::deadlineAfter(uint64_t(kAbortWaitMs) * 1000000);
    while (mIOCount.fetch_add(1) != 0) {
        mIOCount.fetch_sub(1);
        if (hx::clock::nowNanos() >= deadline) {
            IOLog("VendorAsyncPort::Abort wait mIOCount gave up mIOCount:%d\n",
                  int(mIOCount.load()));
            return false;
        }
        IOSleep(kAbortStepMs);
    }
    IOLog("VendorAsyncPort::Abort wait mIOCount satisfied mIOCount:%d\n", int(mIOCount.load()));
    mIOCount.fetch_sub(1);
    return true;
}

// Transfers still in flight fail their blocks now; their completions, when
// they come, only give back what they hold.
void VendorAsyncPort::abandonInFlight() {
    for (bool input : {true, false}) {
        Block* set = input ? mInRB : mOutRB;
        AsyncTransportData* area = input ? inputArea() : ownData();
        for (int i = 0; i < 2; ++i) {
            if (!set[i].changeState(BlockState::Flying, BlockState::Abandoned)) continue;
            if (area && set[i].index < kAsyncBlockCount)
                setBlockState(area, set[i].index, kAsyncBlockFailed);
        }
    }
}

void VendorAsyncPort::takeGuards() {
    for (std::atomic<uint32_t>* guard : {&mInGuard, &mOutGuard}) {
        uint32_t expected = 0;
        while (!guard->compare_exchange_strong(expected, 1)) {
            expected = 0;
            IOSleep(1);
        }
    }
}

void VendorAsyncPort::releaseOwnArea() {
    std::lock_guard<std::mutex> g(mOwnAreaLock);
    mOwnData.store(nullptr);
    if (mOutRB[0].isUsed() || mOutRB[1].isUsed()) {
        mOwnAreaPending = mOwnArea != nullptr;
        return;
    }
    if (mOwnArea) mOwnArea->unlock();
    mOwnArea = nullptr;
    mOwnAreaPending = false;
}

uint32_t VendorAsyncPort::inFlight() const {
    uint32_t n = 0;
    for (const Block* set : {mInRB, mOutRB})
        for (int i = 0; i < 2; ++i)
            n += set[i].isUsed() ? 1 : 0;
    return n;
}

// ---- Passes

bool VendorAsyncPort::blockReady(const AsyncTransportData* area, uint32_t index) const {
    return area && blockState(area, index % kAsyncBlockCount) == kAsyncBlockReady;
}

void VendorAsyncPort::timerService(void* port) {
    auto* self = static_cast<VendorAsyncPort*>(port);
    if (!self->mOpen.load() || self->mClosing.load()) return;
    if (self->blockReady(self->inputArea(), self->mInIndex.load()) ||
        self->blockReady(self->ownData(), self->mOutIndex.load()))
        self->onService();
}

void VendorAsyncPort::onService() {
    processInput(1);
    processOutput(false, 1);
}

bool VendorAsyncPort::canProcess(bool input) {
    if (!mOpen.load() || mClosing.load()) return false;
    const char* fn = input ? "processInput" : "processOutput";
    ZrPipeDescriptor* pipe = input ? mpInPipe.load() : mpOutPipe.load();
    if (!pipe || !mpDevice) {
        IOLog("VendorAsyncPort::%s - no pipe\n", fn);
        return false;
    }
    if (!mOwner.load()) {
        IOLog("VendorAsyncPort::%s - no mpVendorAsyncClient\n", fn);
        return false;
    }
    if (!(input ? inputArea() : ownData())) {
        IOLog("VendorAsyncPort::%s - no pAsyncData\n", fn);
        return false;
    }
    if (!mpDevice->vendorHasUSBPipe(pipe)) {
        IOLog("VendorAsyncPort::%s - no %s->mUSBPipe\n", fn, input ? "mpInPipe" : "mpOutPipe");
        return false;
    }
    return true;
}

VendorAsyncPort::Block* VendorAsyncPort::takeBlock(Block (&set)[2], uint32_t k) {
    for (Block& b : set)
        if (b.use(k)) return &b;
    return nullptr;
}

void VendorAsyncPort::processInput(uint32_t passes) {
    uint32_t free = 0;
    if (!mInGuard.compare_exchange_strong(free, 1)) return;
    mIOCount.fetch_add(1);
    if (canProcess(true)) {
        AsyncTransportData* area = inputArea();
        for (uint32_t pass = 0; pass <= passes; ++pass) {
            if (!blockReady(area, mInIndex.load()) || !startRead(area, mInIndex.load())) break;
            if (!mOpen.load() || mClosing.load()) break;
        }
        IOLog("VendorAsyncPort::processInput loop break\n");
    }
    mInGuard.store(0);
    mIOCount.fetch_sub(1);
}

bool VendorAsyncPort::startRead(AsyncTransportData* area, uint32_t k) {
    Block* rb = takeBlock(mInRB, k);
    if (!rb) return false;
    // The length is read once: what the completion may copy is bounded by it.
    rb->length = area->mBlocks[k].clampedLength();
    mIOCount.fetch_add(1);
    setBlockState(area, k, kAsyncBlockInFlight);
    IOUSBHostCompletion c{this, &VendorAsyncPort::inCompletion, rb};
    const IOReturn r = mpDevice->vendorIO(mpInPipe.load(), rb->buffer, rb->length, &c, 0);
    if (r != kIOReturnSuccess) {
        IOLog("VendorAsyncPort::processInput mpInPipe->mUSBPipe->Read returned:%08X\n",
              unsigned(r));
        setBlockState(area, k, kAsyncBlockFailed);
        rb->unuse();
        mIOCount.fetch_sub(1);
        return false;
    }
    mStarted.fetch_add(1);
    const uint32_t next = (k + 1) % kAsyncBlockCount;
    mInIndex.store(next);
    audiosm::store32(AUDIOSM_AT(area, AsyncTransportData, mKernelFill), next, __ATOMIC_RELEASE);
    return true;
}

void VendorAsyncPort::processOutput(bool fromUser, uint32_t passes) {
    uint32_t free = 0;
    if (!mOutGuard.compare_exchange_strong(free, 1)) return;
    mIOCount.fetch_add(1);
    if (canProcess(false)) {
        AsyncTransportData* area = ownData();
        for (uint32_t pass = 0; pass <= passes; ++pass) {
            const uint32_t k = mOutIndex.load();
            if (!blockReady(area, k)) {
                if (fromUser)
                    IOLog("VendorAsyncPort::processOutput(from user mode) no block for output "
                          "found at %d\n",
                          int(k));
                break;
            }
            if (!startWrite(area, k)) break;
            if (!mOpen.load() || mClosing.load()) break;
        }
        IOLog("VendorAsyncPort::processOutput loop break\n");
    }
    mOutGuard.store(0);
    mIOCount.fetch_sub(1);
}

bool VendorAsyncPort::startWrite(AsyncTransportData* area, uint32_t k) {
    Block* rb = takeBlock(mOutRB, k);
    if (!rb) return false;
    rb->length = area->mBlocks[k].clampedLength();
    std::memcpy(rb->data, area->mBlocks[k].mData, rb->length);
    mIOCount.fetch_add(1);
    setBlockState(area, k, kAsyncBlockInFlight);
    IOUSBHostCompletion c{this, &VendorAsyncPort::outCompletion, rb};
    const IOReturn r =
        mpDevice->vendorIO(mpOutPipe.load(), rb->buffer, rb->length, &c, kWriteTimeoutMs);
    // The device takes a write better with a short pause behind it; on the
    // platform clock, so a virtual clock still moves.
    IODelay(kWritePauseUs);
    if (r != kIOReturnSuccess) {
        IOLog("VendorAsyncPort::processOutput mpOutPipe->mUSBPipe->Write returned:%08X\n",
              unsigned(r));
        setBlockState(area, k, kAsyncBlockFailed);
        {
            std::lock_guard<std::mutex> g(mOwnAreaLock);
            rb->unuse();
        }
        mIOCount.fetch_sub(1);
        return false;
    }
    mStarted.fetch_add(1);
    const uint32_t next = (k + 1) % kAsyncBlockCount;
    mOutIndex.store(next);
    audiosm::store32(AUDIOSM_AT(area, AsyncTransportData, mUserRequest), next, __ATOMIC_RELEASE);
    return true;
}

// ---- Completions (USB threads)

void VendorAsyncPort::inCompletion(void* owner, void* parameter, IOReturn status,
                                   uint32_t transferred) {
    if (status != kIOReturnSuccess)
        IOLog("VendorAsyncPort::inCompletion status:0x%08X\n", unsigned(status));
    auto* self = static_cast<VendorAsyncPort*>(owner);
    auto* rb = static_cast<Block*>(parameter);
    if (!self || !rb) return;
    self->finishIn(*rb, status, transferred);
    self->processInput(2);
    self->endTransfer(*rb);
}

void VendorAsyncPort::finishIn(Block& rb, IOReturn status, uint32_t transferred) {
    AsyncTransportData* area = inputArea();
    if (!rb.changeState(BlockState::Flying, BlockState::Completing) || !mOwner.load() || !area)
        return;
    const uint32_t k = rb.index;
    if (k >= kAsyncBlockCount) {
        IOLog("VendorAsyncPort::inCompletion unknown block index\n");
        return;
    }
    if (status != kIOReturnSuccess) {
        IOLog("VendorAsyncPort::inCompletion error iostatus:0x%08X\n", unsigned(status));
        setBlockState(area, k, kAsyncBlockFailed);
        return;
    }
    // The client may have shrunk the block meanwhile: never more than it
    // holds now, nor than was asked for.
    const uint32_t now = area->mBlocks[k].clampedLength();
    uint32_t n = std::min(transferred, rb.length);
    if (now < n) {
        IOLog("VendorAsyncPort::inCompletion success with overflow len:%d transferred:%d\n",
              int(now), int(transferred));
        n = now;
    } else {
        setBlockLength(area, k, n);
    }
    std::memcpy(area->mBlocks[k].mData, rb.data, n);
    setBlockState(area, k, kAsyncBlockDone);
}

void VendorAsyncPort::outCompletion(void* owner, void* parameter, IOReturn status,
                                    uint32_t /*transferred*/) {
    if (status != kIOReturnSuccess)
        IOLog("VendorAsyncPort::outCompletion status:0x%08X\n", unsigned(status));
    auto* self = static_cast<VendorAsyncPort*>(owner);
    auto* rb = static_cast<Block*>(parameter);
    if (!self || !rb) return;
    self->finishOut(*rb, status);
    self->processOutput(false, 2);
    self->endTransfer(*rb);
}

void VendorAsyncPort::finishOut(Block& rb, IOReturn status) {
    AsyncTransportData* area = ownData();
    if (!rb.changeState(BlockState::Flying, BlockState::Completing) || !mOwner.load() || !area)
        return;
    const uint32_t k = rb.index;
    if (k >= kAsyncBlockCount) {
        IOLog("VendorAsyncPort::outCompletion unknown block index\n");
        return;
    }
    if (status != kIOReturnSuccess) {
        IOLog("VendorAsyncPort::outCompletion error iostatus:0x%08X\n", unsigned(status));
        setBlockState(area, k, kAsyncBlockFailed);
        return;
    }
    setBlockState(area, k, kAsyncBlockDone);
}

// The request block goes back, then the count: after that the completion
// touches nothing of the port.
void VendorAsyncPort::endTransfer(Block& rb) {
    {
        std::lock_guard<std::mutex> g(mOwnAreaLock);
        rb.unuse();
        if (mOwnAreaPending && !mOutRB[0].isUsed() && !mOutRB[1].isUsed()) {
            if (mOwnArea) mOwnArea->unlock();
            mOwnArea = nullptr;
            mOwnAreaPending = false;
        }
    }
    mIOCount.fetch_sub(1);
}
