#include "driver/clients/AJ.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "abi/AudioSM.h"
#include "abi/DriverSM.h"
#include "abi/QN_StateChange.h"
#include "driver/engine/config/ZrConfigProducts.h"
#include "driver/engine/desc/ZrInterfaceDescriptor.h"
#include "driver/engine/desc/ZrPipeDescriptor.h"
#include "platform/base/HXClock.h"
#include "platform/kern/IOLib.h"
#include "platform/kern/IOMemoryDescriptor.h"
#include "platform/usb/IOUSBHostFamily.h"

namespace {

constexpr uint32_t kBulkWriteTimeoutMs = 500;
constexpr uint32_t kLX4xx = kZrProductLX420 | kZrProductLX4xxFurther | kZrProductLX4xxFixed18;
constexpr uint32_t kLX880OrHX5100 = kZrProductLX880 | kZrProductHX5100;
constexpr uint32_t kFullSpeedInBlock = 9;
constexpr uint32_t kHighSpeedInBlock = 512;

void copyString(char* to, const char* from) {
    std::memcpy(to, from, 255);
    to[255] = 0;
}

} // namespace

AJ::~AJ() {
    freeBlocks();
    if (mMidiSMDesc) mMidiSMDesc->release();
}

// ---- Life cycle

void AJ::init(AJDevice* device) {
    mpDevice = device;
    mFields.launchButtonState = 0;
    mFields.launchPressTime = hx::clock::nowNanos();
    mPending.store(0);
    m_pcMidiInterface = nullptr;
    m_pcMidiInPipe = m_pcMidiOutPipe = nullptr;
    mRunning.store(false);
    mCPortQueue.init();
    mControlByte = kInitialControlByte;
    mFireImmediately = 1;
    mPacketSize = 512;
    mParser = inACR_HX5100;
    if (!mMidiSMDesc) {
        mMidiSMDesc =
            IOBufferMemoryDescriptor::withOptions(kIOMemoryKernelUserShared, kMidiSMSize, 4096);
        if (mMidiSMDesc) {
            m_pMidiSM = static_cast<MidiSharedMemory*>(mMidiSMDesc->getBytesNoCopy());
            std::memset(m_pMidiSM, 0, kMidiSMSize);
        }
    }
    if (m_pMidiSM) {
        m_pMidiSM->mClosing = 0;
        for (int q = 0; q < 2; ++q) {
            m_pMidiSM->mOut[q].init();
            mReader[q].reset(m_pMidiSM->mOut[q]);
        }
    }
    mClient = nullptr;
}

void AJ::copyIdentity() {
    DriverSM* sm = mpDevice ? mpDevice->ajDriverSM() : nullptr;
    if (!m_pMidiSM || !sm) return;
    m_pMidiSM->mVendorID = sm->mVendor;
    m_pMidiSM->mProductID = sm->mProduct;
    copyString(m_pMidiSM->mDeviceString1, sm->mVendorString);
    copyString(m_pMidiSM->mDeviceString2, sm->mProductString);
    copyString(m_pMidiSM->mDeviceUID, sm->mDeviceUID);
}

void AJ::initializeSM() {
    if (!m_pMidiSM) {
        IOLog("AJ::InitializeSM [MIDI]m_pMidiSM NULL\n");
        return;
    }
    if (!mpDevice || !mpDevice->ajDriverSM()) {
        IOLog("AJ::InitializeSM [MIDI]mpDevice->mpDriverSM NULL\n");
        return;
    }
    copyIdentity();
}

void AJ::onDeviceDescriptorScanned() {
    static const char* kFn = "void AJ::onDeviceDescriptorScanned()";
    if (!mpDevice) {
        IOLog("%s mpDevice is NULL\n", kFn);
        return;
    }
    IOLog("%s VID:%04X PID:%04X\n", kFn, mpDevice->ajVendorID(), mpDevice->ajProductID());
    const uint32_t product = mpDevice->ajProductFlags();
    if (product & kLX4xx) {
        mPacketSize = 512;
        mPort1Offset = 4;
        mParser = inACR_LX420;
        mpDevice->ajSetFamilyCode(6);
        IOLog("%s - detected lx4xx\n", kFn);
        IOLog("%s overwrite kInAcr for LX4xx\n", kFn);
    } else if (product & kLX880OrHX5100) {
        mPacketSize = 512;
        mParser = inACR_HX5100;
        mpDevice->ajSetFamilyCode(7);
        IOLog("%s overwrite kInAcr for LX880/HX5100\n", kFn);
    } else if (!mpDevice->ajHasRegularMidi()) {
        const int group = mpDevice->ajSorvikGroup();
        mPacketSize = group == 1 ? 64 : group == 2 ? 512 : 9;
        mPort1Offset = group ? 0 : 4;
        mParser = group ? inACR_Reg : inACR_M4_M4_C1;
    } else {
        mPacketSize = 16;
        mPort1Offset = 0;
        mParser = inACR_Reg;
    }
}

void AJ::assignPipes(ZrInterfaceDescriptor* intf) {
    m_pcMidiInterface = intf;
    m_pcMidiInPipe = m_pcMidiOutPipe = nullptr;
    IOLog("%s m_pcMidiInterface is: %p\n", "void AJ::assignPipes(DEVICE_OBJECT *)", (void*)intf);
    if (!intf || (mpDevice && mpDevice->ajOtherMaker() == 1)) return;
    m_pcMidiOutPipe = intf->getBulkOutPipe();
    if (!m_pcMidiOutPipe) m_pcMidiOutPipe = intf->getInterruptOutPipe();
    m_pcMidiInPipe = intf->getInterruptInPipe();
    if (!m_pcMidiInPipe) m_pcMidiInPipe = intf->getBulkInPipe();
    // The bulk protocol carries MIDI output inside its audio packets.
    if (mpDevice && mpDevice->ajIsBulkProtocol()) m_pcMidiOutPipe = nullptr;
}

bool AJ::initPipes() {
    bool ok = true;
    if (m_pcMidiOutPipe) ok = mpDevice->ajInitPipe(m_pcMidiOutPipe, "m_pcMidiOutPipe") && ok;
    if (m_pcMidiInPipe) ok = mpDevice->ajInitPipe(m_pcMidiInPipe, "m_pcMidiInPipe") && ok;
    return ok;
}

void AJ::closePipes() {
    for (ZrPipeDescriptor* p : {m_pcMidiOutPipe, m_pcMidiInPipe})
        if (p)
            if (IOUSBHostPipe* pipe = mpDevice->ajGetPipe(p))
                pipe->abort(kAbortSynchronous, kIOReturnAborted);
    for (ZrPipeDescriptor* p : {m_pcMidiOutPipe, m_pcMidiInPipe})
        if (p) mpDevice->ajClosePipe(p);
}

void AJ::makeBlocks() {
    auto make = [this](Block& b, uint32_t size) {
        if (b.buffer) return;
        b.port = this;
        b.buffer = IOBufferMemoryDescriptor::withOptions(
            0, std::max<uint32_t>(size, MidiRB::kMinBytes), 4096);
        b.data = b.buffer ? static_cast<uint8_t*>(b.buffer->getBytesNoCopy()) : nullptr;
        b.size = b.buffer ? size : 0;
        b.used.store(false);
    };
    for (Block& b : mOut)
        make(b, uint16_t(mPacketSize));
    for (Block& b : mIn)
        make(b, mInBlockSize);
}

// Blocks go only when no transfer uses them: the pipes were aborted
// synchronously before.
void AJ::freeBlocks() {
    for (Block* set : {mOut, mIn})
        for (uint32_t i = 0; i < (set == mOut ? kOutBlocks : kInBlocks); ++i) {
            if (set[i].buffer) set[i].buffer->release();
            set[i].buffer = nullptr;
            set[i].data = nullptr;
            set[i].size = 0;
        }
}

void AJ::configurationDone(bool highSpeed) {
    IOLog("AJ::configurationDone()\n");
    mHighSpeed = highSpeed;
    const bool regular = mpDevice->ajHasRegularMidi();
    const int group = mpDevice->ajSorvikGroup();
    const uint32_t product = mpDevice->ajProductFlags();
    const uint32_t speedBlock = highSpeed ? kHighSpeedInBlock : kFullSpeedInBlock;
    if (regular && (product & (kLX4xx | kLX880OrHX5100))) {
        mPacketSize = 512, mPort1Offset = 4, mInBlockSize = speedBlock;
    } else if (regular) {
        mPacketSize = 16, mPort1Offset = 0, mInBlockSize = speedBlock;
    } else if (group == 1) {
        mPacketSize = 64, mPort1Offset = 0, mInBlockSize = 64;
    } else if (group == 2) {
        mPacketSize = 512, mPort1Offset = 0, mInBlockSize = speedBlock;
    } else {
        mPacketSize = 9, mPort1Offset = 4, mInBlockSize = speedBlock;
    }
    mPattern.init();
    if (highSpeed && mpDevice->ajFamilyCode() == 8) {
        mPacketSize = 42, mPort1Offset = 0;
        mPattern.initRX5();
    }
    // Blocks sized for an earlier configuration are made again.
    bool resize = false;
    for (Block& b : mOut)
        resize |= b.buffer && b.size != uint16_t(mPacketSize);
    for (Block& b : mIn)
        resize |= b.buffer && b.size != mInBlockSize;
    if (resize && mPending.load() == 0) freeBlocks();
    makeBlocks();
    mControlByte = kInitialControlByte;
    if (mpDevice->ajIsBulkProtocol()) {
        mFireImmediately = 0;
        mControlByte = 0xFF;
        std::lock_guard<std::mutex> g(mCPortLock);
        mCPortQueue.init();
    }
    copyIdentity();
    if (m_pMidiSM)
        IOLog("AJ::configurationDone [MIDI] vendor=%04X product=%04X UID=%s\n",
              m_pMidiSM->mVendorID, m_pMidiSM->mProductID, m_pMidiSM->mDeviceUID);
}

// ---- Start and stop

void AJ::chooseBulkParser() {
    const uint32_t rate = mpDevice->ajSampleRate();
    mPattern.initForBulk(rate);
    if (rate == 32000 || rate == 44100 || rate == 48000) {
        mParser = inACR_M4_C1, mPort1Offset = 0;
    } else if (rate == 88200 || rate == 96000) {
        mParser = mpDevice->ajAudioInIsInterrupt1024() ? inACR_M2 : inACR_M1_C1;
        mPort1Offset = 0;
    }
}

void AJ::chooseParser() {
    const uint32_t code = mpDevice->ajFamilyCode();
    const uint32_t product = mpDevice->ajProductFlags();
    if (code == 255) {
        mParser = inACR_M4_M4_C1;
        if (mpDevice->ajIsBrava()) {
            mPattern.initForBulk(mpDevice->ajSampleRate());
            mParser = inACR_M1_C1, mPort1Offset = 0;
            return;
        }
        const int other = mpDevice->ajOtherMaker();
        if (other == 2)
            mParser = inACR_M4_C1, mPort1Offset = 0;
        else if (other == 3)
            mParser = inACR_M4_C1;
        else if (product & kLX4xx)
            mParser = inACR_LX420, mPort1Offset = 0;
        else if (product & kLX880OrHX5100)
            mParser = inACR_HX5100, mPort1Offset = 0;
        if (mpDevice->ajIsBulkProtocol()) return chooseBulkParser();
        if (mpDevice->ajSorvikGroup() || mpDevice->ajHasRegularMidi())
            mParser = inACR_Reg, mPort1Offset = 0;
        return;
    }
    mPort1Offset = 4;
    mParser = inACR_M4_M4_C1;
    switch (code) {
    case 0:
        mParser = inACR_Reg, mPort1Offset = 0;
        break;
    case 1:
        return chooseBulkParser();
    case 2:
        mParser = inACR_M4_C1;
        break;
    case 3:
        mParser = inACR_M4_C1, mPort1Offset = 0;
        break;
    case 4:
        break;
    case 5:
        mParser = inACR_M1_C1, mPort1Offset = 0;
        break;
    case 6:
        mParser = inACR_LX420, mPort1Offset = 0;
        IOLog("%s use kInACR_LX420 with 2offset 0\n", "void AJ::streamingStarted()");
        break;
    case 7:
        mParser = inACR_HX5100, mPort1Offset = 0;
        break;
    case 8:
        mParser = inACR_RX5, mPort1Offset = 0;
        break;
    default:
        break;
    }
}

void AJ::streamingStarted() {
    static const char* kFn = "void AJ::streamingStarted()";
    IOLog("%s\n", kFn);
    if (mpDevice)
        IOLog("%s mpDevice->inCompletionRoutine() is :%d fr:%d\n", kFn,
              int(mpDevice->ajFamilyCode()), int(mpDevice->ajSampleRate()));
    if (!m_pcMidiInterface || !mpDevice) {
        IOLog("%s m_pcMidiInterface is NULL\n", kFn);
        return;
    }
    if (mRunning.load()) return;
    while (mBulkSlotBusy.exchange(true, std::memory_order_acquire))
        std::this_thread::yield();
    chooseParser();
    mBulkSlotBusy.store(false, std::memory_order_release);
    incCounter();
    mRunning.store(true);
    for (auto& e : mLevelIn)
        e.store(0);
    for (auto& e : mLevelOut)
        e.store(0);
    for (uint32_t i = 0; i < kInBlocks; ++i)
        bulkRead();
}

void AJ::streamingStopped() {
    if (!m_pcMidiInterface || !mRunning.exchange(false)) return;
    for (ZrPipeDescriptor* p : {m_pcMidiOutPipe, m_pcMidiInPipe})
        if (p)
            if (IOUSBHostPipe* pipe = mpDevice->ajGetPipe(p))
                pipe->abort(kAbortSynchronous, kIOReturnAborted);
    decCounter();
}

void AJ::unconfigure() {
    streamingStopped();
    m_pcMidiInterface = nullptr;
    m_pcMidiInPipe = m_pcMidiOutPipe = nullptr;
}

void AJ::term() {
    streamingStopped();
    m_pcMidiInterface = nullptr;
    m_pcMidiInPipe = m_pcMidiOutPipe = nullptr;
    AJClient* client = nullptr;
    {
        std::lock_guard<std::mutex> g(mClientLock);
        client = mClient;
    }
    if (client && m_pMidiSM) {
        m_pMidiSM->mClosing = 1;
        client->triggerClient();
        IOSleep(200);
    }
    {
        std::lock_guard<std::mutex> g(mClientLock);
        client = mClient;
        mClient = nullptr;
    }
    if (client) client->ajRelease();
    // Transfers still in flight (a pipe that could not be aborted) keep
    // their blocks: those go with the port.
    if (mPending.load() == 0) freeBlocks();
}

// ---- Input

void AJ::bulkRead() {
    if (!mRunning.load()) return;
    Block* b = nullptr;
    for (Block& c : mIn)
        if (c.buffer && c.use()) {
            b = &c;
            break;
        }
    if (!b) return;
    IOUSBHostPipe* pipe = m_pcMidiInPipe ? mpDevice->ajGetPipe(m_pcMidiInPipe) : nullptr;
    if (!pipe) {
        b->unuse();
        return;
    }
    incCounter();
    // A read never runs past its block: 9 bytes at full speed.
    const uint32_t n = std::min(mPacketSize, b->size);
    std::memset(b->data, 0, n);
    IOUSBHostCompletion c{this, &AJ::inCompletion, b};
    if (pipe->io(b->buffer, n, &c, 0) != kIOReturnSuccess) {
        b->unuse();
        decCounter();
        return;
    }
    mReadsStarted.fetch_add(1);
    uint32_t seen = mLargestRead.load();
    while (n > seen && !mLargestRead.compare_exchange_weak(seen, n)) {
    }
}

void AJ::inCompletion(void* owner, void* parameter, IOReturn status, uint32_t transferred) {
    AJ* self = static_cast<AJ*>(owner);
    Block* b = static_cast<Block*>(parameter);
    if (status == kIOReturnSuccess) {
        {
            std::lock_guard<std::mutex> g(self->mInLock);
            self->mStamp = hx::clock::nowNanos();
            AJStatusFields& f = self->mFields;
            f.statusValue1 = self->mpDevice->ajPortWord(0);
            f.statusValue2 = self->mpDevice->ajPortWord(1);
            f.modeWord = self->mpDevice->ajPortWord(2);
            self->mFields.footswitchMode = self->mpDevice->ajFootswitchMode();
            self->mFields.footswitchProtocol = self->mpDevice->ajFootswitchProtocol();
            const AJStatusFields before = self->mFields;
            self->mParser(*self, b->data, std::min(transferred, b->size));
            const uint16_t now[3] = {f.statusValue1, f.statusValue2, f.modeWord};
            const uint16_t was[3] = {before.statusValue1, before.statusValue2, before.modeWord};
            for (unsigned w = 0; w < 3; ++w)
                if (now[w] != was[w]) self->mpDevice->ajSetPortWord(w, now[w]);
        }
        b->unuse();
        self->bulkRead();
    } else {
        b->unuse();
        // A failed read is tried again (the bus serves it a frame later at
        // the earliest), unless the transfers were aborted or the device went.
        if (status != kIOReturnAborted && status != kIOReturnNoDevice &&
            status != kIOReturnNotAttached)
            self->bulkRead();
    }
    self->decCounter();
}

AJStatusFields AJ::statusFields() {
    std::lock_guard<std::mutex> g(mInLock);
    return mFields;
}

uint32_t AJ::productFlags() const {
    return mpDevice ? mpDevice->ajProductFlags() : 0;
}

int32_t* AJ::levels() {
    int32_t* l = mpDevice ? mpDevice->ajLevels() : nullptr;
    return l ? l : mScratchLevels;
}

void AJ::stateChange(uint32_t code) {
    if (mpDevice) mpDevice->ajStateChange(code);
}

void AJ::setReadChannels(int in, int out) {
    if (mpDevice) mpDevice->ajSetReadChannels(in, out);
}

uint32_t AJ::putMidiInput(int ring, const uint8_t* bytes, uint32_t n) {
    if (!m_pMidiSM || ring < 0 || ring > 1) return 0;
    return mWriter[ring].putFrame(m_pMidiSM->mIn[ring], bytes, n, mStamp);
}

void AJ::triggerClient() {
    std::lock_guard<std::mutex> g(mClientLock);
    if (AJClient* c = mClient.load()) c->triggerClient();
}

// ---- Output

uint32_t AJ::midiOut0(const uint8_t* bytes, uint32_t n) {
    const uint32_t put = m_pMidiSM ? m_pMidiSM->mOut[0].put(bytes, n) : 0;
    if (put && mFireImmediately) fireOutput();
    return put;
}

uint32_t AJ::midiOut1(const uint8_t* bytes, uint32_t n) {
    const uint32_t put = m_pMidiSM ? m_pMidiSM->mOut[1].put(bytes, n) : 0;
    if (put && mFireImmediately) fireOutput();
    return put;
}

void AJ::fireOutput() {
    if (!m_pcMidiOutPipe || !m_pMidiSM) return;
    if (!mRunning.load()) {
        clearQueues();
        return;
    }
    if (mOutputBusy.fetch_add(1) == 0)
        fireOutputInternal();
    else
        mOutputBusy.fetch_sub(1);
}

void AJ::releaseOutput() {
    mOutputBusy.store(0);
    if (m_pMidiSM)
        audiosm::store32(AUDIOSM_AT(m_pMidiSM, MidiSharedMemory, mOutputInProgress), 0,
                         __ATOMIC_RELEASE);
}

void AJ::clearQueues() {
    if (m_pMidiSM) {
        std::lock_guard<std::mutex> g(mOutLock);
        for (int q = 0; q < 2; ++q)
            if (!mReader[q].isEmpty(m_pMidiSM->mOut[q])) mReader[q].clear(m_pMidiSM->mOut[q]);
    }
    std::lock_guard<std::mutex> g(mCPortLock);
    mCPortQueue.init();
}

bool AJ::portZeroOnly() const {
    return mpDevice->ajHasRegularMidi() || mpDevice->ajSorvikGroup() != 0;
}

bool AJ::queuesEmpty() {
    std::lock_guard<std::mutex> g(mOutLock);
    // A fill count past the queue empties it here (logged by the reader).
    uint8_t none = 0;
    for (int q = 0; q < 2; ++q)
        mReader[q].get(m_pMidiSM->mOut[q], &none, 0);
    if (!mReader[0].isEmpty(m_pMidiSM->mOut[0])) return false;
    // Packets of port 0 only: bytes of port 1 and the control port never go.
    if (portZeroOnly()) return true;
    if (!mReader[1].isEmpty(m_pMidiSM->mOut[1])) return false;
    std::lock_guard<std::mutex> c(mCPortLock);
    return mCPortQueue.fill() == 0;
}

bool AJ::fillPacket(Block& b) {
    const uint32_t count = mPattern.nextPacketCount();
    const uint32_t size = b.size;
    std::lock_guard<std::mutex> g(mOutLock);
    if (portZeroOnly()) {
        std::memset(b.data, 0, size);
        b.length = mReader[0].get(m_pMidiSM->mOut[0], b.data, size);
        return true;
    }
    std::memset(b.data, kMidiNoByte, size);
    b.length = size;
    // Port 0 from byte 0, port 1 from its offset; neither reaches the last
    // byte (the control byte) nor the other port's bytes.
    const uint32_t room0 =
        std::min(count, mPort1Offset > 0 && mPort1Offset < size ? mPort1Offset : size - 1);
    mReader[0].get(m_pMidiSM->mOut[0], b.data, room0);
    if (mPort1Offset > 0 && mPort1Offset < size - 1)
        mReader[1].get(m_pMidiSM->mOut[1], b.data + mPort1Offset,
                       std::min(count, size - 1 - mPort1Offset));
    {
        std::lock_guard<std::mutex> c(mCPortLock);
        uint8_t byte = 0;
        if (mCPortQueue.get(&byte, 1) == 1) mControlByte = byte;
    }
    b.data[size - 1] = mControlByte;
    return true;
}

void AJ::fireOutputInternal() {
    audiosm::store32(AUDIOSM_AT(m_pMidiSM, MidiSharedMemory, mOutputInProgress), 1,
                     __ATOMIC_RELEASE);
    if (!mRunning.load()) {
        clearQueues();
        return releaseOutput();
    }
    if (queuesEmpty()) return releaseOutput();
    Block* b = nullptr;
    for (Block& c : mOut)
        if (c.buffer && c.use()) {
            b = &c;
            break;
        }
    if (!b) return releaseOutput();
    fillPacket(*b);
    if (!sendRB(*b)) {
        b->unuse();
        releaseOutput();
    }
}

bool AJ::sendRB(Block& b) {
    if (!m_pcMidiOutPipe) {
        IOLog("AJ::sendRB m_pcMidiOutPipe NULL\n");
        return false;
    }
    IOUSBHostPipe* pipe = mpDevice->ajGetPipe(m_pcMidiOutPipe);
    if (!pipe) {
        IOLog("AJ::sendRB m_pcMidiOutPipe->mUSBPipe NULL\n");
        return false;
    }
    incCounter();
    const uint32_t timeout = m_pcMidiOutPipe->isInterruptPipe() ? 0 : kBulkWriteTimeoutMs;
    IOUSBHostCompletion c{this, &AJ::outCompletion, &b};
    if (pipe->io(b.buffer, b.length, &c, timeout) != kIOReturnSuccess) {
        decCounter();
        return false;
    }
    return true;
}

void AJ::outCompletion(void* owner, void* parameter, IOReturn status, uint32_t) {
    AJ* self = static_cast<AJ*>(owner);
    Block* b = static_cast<Block*>(parameter);
    b->unuse();
    // A failed write ends the chain: the next fireOutput starts a new one.
    if (status == kIOReturnSuccess)
        self->fireOutputInternal();
    else
        self->releaseOutput();
    self->decCounter();
}

IOReturn AJ::sendCPort(const uint8_t* bytes, uint32_t n) {
    if (!bytes || n == 0 || !mRunning.load()) return kIOReturnSuccess;
    // Packets of port 0 only carry no control byte; the bulk audio
    // protocol's packets carry it whatever the MIDI interface is.
    if (mpDevice && !mpDevice->ajIsBulkProtocol() && portZeroOnly()) return kIOReturnIOError;
    uint32_t done = 0;
    for (uint32_t tries = 1; tries <= kCPortTries; ++tries) {
        {
            std::lock_guard<std::mutex> g(mCPortLock);
            done += mCPortQueue.put(bytes + done, n - done);
        }
        if (mFireImmediately) fireOutput();
        if (done == n) return kIOReturnSuccess;
        if (!mRunning.load()) break;
        IOSleep(kCPortWaitMs);
    }
    return kIOReturnIOError;
}

// ---- The bulk audio transport's bytes

bool AJ::nextBulkSlot() {
    if (!mRunning.load(std::memory_order_acquire)) return false;
    if (mBulkSlotBusy.exchange(true, std::memory_order_acquire)) return false;
    const bool flagged = mPattern.nextBulkSlot();
    mBulkSlotBusy.store(false, std::memory_order_release);
    return flagged;
}

// Both queues are looked at before their locks are tried: an empty queue
// (the control port's almost always) costs one load. The queue's own get
// decides under the lock, so a byte queued meanwhile waits for the next
// packet, as it would behind a lock held elsewhere.
bool AJ::takeBulkMidiByte(uint8_t& byte) {
    if (!m_pMidiSM || !mRunning.load(std::memory_order_acquire)) return false;
    if (m_pMidiSM->mOut[0].fill() == 0) return false;
    std::unique_lock<std::mutex> g(mOutLock, std::try_to_lock);
    return g.owns_lock() && mReader[0].get(m_pMidiSM->mOut[0], &byte, 1) == 1;
}

bool AJ::takeBulkControlByte(uint8_t& byte) {
    if (mCPortQueue.fill() == 0) return false;
    std::unique_lock<std::mutex> g(mCPortLock, std::try_to_lock);
    return g.owns_lock() && mCPortQueue.get(&byte, 1) == 1;
}

// ---- The client

// Locks in the order output, input, client (the input completion holds the
// input lock while it signals the client).
bool AJ::clientAttach(AJClient* client) {
    std::lock_guard<std::mutex> o(mOutLock);
    std::lock_guard<std::mutex> i(mInLock);
    std::lock_guard<std::mutex> g(mClientLock);
    if (!m_pMidiSM || mClient) return false;
    mClient = client;
    if (client) {
        client->ajRetain();
        releaseOutput();
        for (int q = 0; q < 2; ++q) {
            m_pMidiSM->mOut[q].init();
            mReader[q].reset(m_pMidiSM->mOut[q]);
            mWriter[q].reset(m_pMidiSM->mIn[q]);
        }
    }
    return true;
}

void AJ::clientDetach(AJClient* client) {
    AJClient* gone = nullptr;
    {
        std::lock_guard<std::mutex> g(mClientLock);
        if (client && mClient == client) {
            gone = mClient;
            mClient = nullptr;
        }
    }
    if (gone) gone->ajRelease();
}

bool AJ::isAttached(AJClient* client) const {
    std::lock_guard<std::mutex> g(mClientLock);
    return client && mClient == client;
}

// ---- The level record

void AJ::getLevelInfo(QN_LevelInfo* info) {
    if (!info) return;
    for (unsigned i = 0; i < 32; ++i) {
        info->lvlIn[i] = mLevelIn[i].exchange(0, std::memory_order_relaxed);
        info->lvlOut[i] = mLevelOut[i].exchange(0, std::memory_order_relaxed);
    }
}

void AJ::raiseLevel(bool output, unsigned channel, int8_t value) {
    if (channel >= 32) return;
    std::atomic<int8_t>& e = output ? mLevelOut[channel] : mLevelIn[channel];
    int8_t seen = e.load(std::memory_order_relaxed);
    while (value > seen && !e.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
    }
}
