#include "driver/clients/USBMidi.h"

#include <algorithm>
#include <cstring>

#include "abi/AudioSM.h"
#include "abi/DriverSM.h"
#include "driver/engine/desc/ZrPipeDescriptor.h"
#include "platform/kern/IOLib.h"
#include "platform/kern/IOMemoryDescriptor.h"
#include "platform/usb/IOUSBHostFamily.h"

// ---- USBMidiPattern -------------------------------------------------------

USBMidiPattern::USBMidiPattern() {
    init();
    initForBulk(44100);
}

void USBMidiPattern::init(bool) {
    mPacketIndex = 0;
    for (uint32_t i = 0; i < kCounts; ++i)
        mCounts[i] = (i % 8 == 0 && i < 248) ? 4 : 3;
}

void USBMidiPattern::initRX5() {
    mPacketIndex = 0;
    std::fill(std::begin(mCounts), std::end(mCounts), 39u);
}

uint32_t USBMidiPattern::initForBulk(uint32_t rate) {
    mSlotCount = 0;
    std::fill(std::begin(mSlots), std::end(mSlots), 0u);
    const int64_t quarter = rate / 4;
    if (quarter * 1000 >= 6250000) {
        const int64_t step = quarter * 1000 / 6250;
        int64_t acc = 1000;
        while (mSlotCount < kMaxBulkSlots) {
            if (acc > 0) {
                mSlots[mSlotCount++] = 1;
                acc -= step;
            } else {
                mSlots[mSlotCount++] = 0;
            }
            acc += 1000;
            if (acc == 0) break;
        }
        if (acc == 0 && mSlotCount < kMaxBulkSlots) mSlots[mSlotCount++] = 0;
    }
    return checkBulkRate1K();
}

uint32_t USBMidiPattern::checkBulkRate1K() {
    mBulkReadPos = mSlotCount;
    const uint32_t ones = uint32_t(std::count(mSlots, mSlots + mSlotCount, 1u));
    return ones ? mSlotCount * 1000 / ones : 0;
}

bool USBMidiPattern::nextBulkSlot() {
    if (mSlotCount == 0) return false;
    if (mBulkReadPos >= mSlotCount) mBulkReadPos = 0;
    return mSlots[mBulkReadPos++] != 0;
}

// ---- MidiRB ---------------------------------------------------------------

MidiRB::MidiRB(uint32_t size) {
    const uint32_t bytes = std::max(size, kMinBytes);
    mBuffer = IOBufferMemoryDescriptor::withOptions(16, bytes, 4096);
    if (mBuffer) {
        mData = static_cast<uint8_t*>(mBuffer->getBytesNoCopy());
        mSize = bytes;
    }
}

MidiRB::~MidiRB() {
    if (mBuffer) mBuffer->release();
}

void MidiRB::setUsed(bool used) {
    if (used) {
        changeState(MidiRBState::Idle, MidiRBState::Used);
        return;
    }
    mBusy = 0;
    changeState(MidiRBState::Used, MidiRBState::Idle);
    if (changeState(MidiRBState::Orphaned, MidiRBState::Idle)) delete this;
}

void MidiRB::unuse() {
    for (;;) {
        const MidiRBState s = state();
        if (s == MidiRBState::Orphaned) return;
        if (s == MidiRBState::Used) {
            if (changeState(s, MidiRBState::Orphaned)) return; // goes when its transfer completes
        } else if (changeState(s, MidiRBState::Orphaned)) {
            delete this;
            return;
        }
    }
}

void MidiRB::setAutoDeleteOnCompletion(bool flag) {
    if (!flag) {
        changeState(MidiRBState::Orphaned, MidiRBState::Used);
        return;
    }
    if (!isUsed()) mBusy = 0;
    unuse();
}

void MidiRB::initReadMidi() {
    if (mData) std::memset(mData, kMidiNoByte, mSize);
}

void MidiRB::initWriteMidi() {
    if (!mData) return;
    std::memset(mData, kMidiNoByte, 8);
    std::memset(mData + 8, 0x55, 4);
}

uint32_t MidiRB::placeMidiData(USBMidiPattern& pattern, MidiQueue& q0, MidiQueue& q1) {
    uint32_t used0 = 0, used1 = 0;
    q0.getLength(&used0, nullptr);
    q1.getLength(&used1, nullptr);
    if (used0 + used1 == 0 || !mData) return 0;
    const uint32_t n = std::min(pattern.nextPacketCount(), 4u);
    if (n == 0) return used0 + used1;
    q0.get(mData, n);
    q1.get(mData + 4, n);
    q0.getLength(&used0, nullptr);
    q1.getLength(&used1, nullptr);
    return used0 + used1;
}

uint32_t MidiRB::getMidiData(MidiInputTarget first, MidiInputTarget second, uint64_t timeStamp) {
    if (!mData) return 0;
    uint32_t stored = 0;
    if (first.ring && first.writer)
        stored += first.writer->putFrame(*first.ring, mData, 4, timeStamp);
    if (second.ring && second.writer)
        stored += second.writer->putFrame(*second.ring, mData + 4, 4, timeStamp);
    return stored;
}

// ---- USBMidiDevice --------------------------------------------------------

std::atomic<uint32_t> fixmeStartFrame{0};

USBMidiDevice::USBMidiDevice(USBMidiHost* host) : mHost(host) {}

USBMidiDevice::~USBMidiDevice() {
    terminateRBs();
    if (mSM) mSM->release();
}

void USBMidiDevice::release() {
    if (mRefs.fetch_sub(1) == 1) delete this;
}

bool USBMidiDevice::init(bool highSpeed, const DriverSM* sm) {
    mHighSpeed = highSpeed ? 1 : 0;
    if (!mSM) {
        mSM = IOBufferMemoryDescriptor::withOptions(kIOMemoryKernelUserShared, kMidiSMBytes, 4096);
        m_pMidiSM = mSM ? static_cast<MidiSharedMemory*>(mSM->getBytesNoCopy()) : nullptr;
        if (m_pMidiSM) std::memset(m_pMidiSM, 0, kMidiSMBytes);
    }
    if (!m_pMidiSM || !sm) {
        IOLog("USBMidiDevice init: could not allocate Shared memory\n");
        return false;
    }
    m_pMidiSM->mVendorID = sm->mVendor;
    m_pMidiSM->mProductID = sm->mProduct;
    std::memcpy(m_pMidiSM->mDeviceString1, sm->mVendorString, 255);
    std::memcpy(m_pMidiSM->mDeviceString2, sm->mProductString, 255);
    std::memcpy(m_pMidiSM->mDeviceUID, sm->mDeviceUID, 255);
    IOLog("USBMidiDevice [MIDI] vendor=%04X product=%04X UID=%s\n", m_pMidiSM->mVendorID,
          m_pMidiSM->mProductID, m_pMidiSM->mDeviceUID);
    mPattern.init();
    return true;
}

void USBMidiDevice::term() {
    IOBufferMemoryDescriptor* sm = mSM;
    mSM = nullptr;
    m_pMidiSM = nullptr;
    if (sm) sm->release();
    terminateRBs();
}

void USBMidiDevice::terminateRBs() {
    for (MidiRB** set : {mOut, mIn})
        for (uint32_t i = 0; i < kBlocks; ++i) {
            if (set[i]) set[i]->unuse();
            set[i] = nullptr;
        }
}

void USBMidiDevice::configurationDone() {
    auto make = [](MidiRB** set, ZrPipeDescriptor* pipe) {
        if (!pipe) return;
        for (uint32_t i = 0; i < kBlocks; ++i)
            if (!set[i]) set[i] = new MidiRB(pipe->getMaxPacketSize());
    };
    make(mOut, m_pcMidiOutPipe);
    make(mIn, m_pcMidiInPipe);
}

bool USBMidiDevice::initPipes() {
    bool ok = true;
    if (m_pcMidiInPipe) ok = mHost->usbMidiInitPipe(m_pcMidiInPipe, "m_pcMidiInPipe") && ok;
    if (m_pcMidiOutPipe) ok = mHost->usbMidiInitPipe(m_pcMidiOutPipe, "m_pcMidiOutPipe") && ok;
    return ok;
}

void USBMidiDevice::closePipes() {
    for (ZrPipeDescriptor* p : {m_pcMidiInPipe, m_pcMidiOutPipe})
        if (p) mHost->usbMidiClosePipe(p);
    m_pcMidiInPipe = m_pcMidiOutPipe = nullptr;
}

uint32_t USBMidiDevice::getAllocatedBandWidth() const {
    uint32_t total = 0;
    for (ZrPipeDescriptor* p : {m_pcMidiInPipe, m_pcMidiOutPipe})
        if (p) total += mHost->usbMidiBandwidth(p);
    return total;
}

void USBMidiDevice::start() {
    if (mRunning.load() || !m_pMidiSM) return;
    mStarted = 1;
    mRunning.store(true);
    fixmeStartFrame.store(0);
    if (m_pcMidiInPipe && m_pcMidiOutPipe)
        for (uint32_t i = 0; i < kStartReads; ++i)
            requestMidiIn();
}

void USBMidiDevice::stop() {
    if (!mRunning.exchange(false)) return;
    for (ZrPipeDescriptor* p : {m_pcMidiInPipe, m_pcMidiOutPipe})
        if (p)
            if (IOUSBHostPipe* pipe = mHost->usbMidiGetPipe(p))
                pipe->abort(kAbortSynchronous, kIOReturnAborted);
    for (MidiRB** set : {mOut, mIn})
        for (uint32_t i = 0; i < kBlocks; ++i)
            if (set[i] && set[i]->isUsed()) mHost->cancelMidiRB(set[i]);
}

MidiRB* USBMidiDevice::findFreeRequestBlock(bool in) {
    for (MidiRB* rb : in ? mIn : mOut)
        if (rb && !rb->isUsed()) {
            rb->setUsed(true);
            return rb;
        }
    return nullptr;
}

void USBMidiDevice::requestMidiIn() {
    if (!mRunning.load() || !m_pcMidiInPipe) return;
    if (MidiRB* rb = findFreeRequestBlock(true))
        if (!read(rb)) rb->setUsed(false);
}

bool USBMidiDevice::read(MidiRB* rb) {
    IOUSBHostPipe* pipe = m_pcMidiInPipe ? mHost->usbMidiGetPipe(m_pcMidiInPipe) : nullptr;
    if (!pipe || !rb) return false;
    rb->initReadMidi();
    IOUSBHostCompletion c{this, &USBMidiDevice::readComplete, rb};
    const uint32_t n = std::min<uint32_t>(m_pcMidiInPipe->getMaxPacketSize(), rb->size());
    return pipe->io(rb->buffer(), n, &c, 0) == kIOReturnSuccess;
}

bool USBMidiDevice::write(MidiRB* rb) {
    IOUSBHostPipe* pipe = m_pcMidiOutPipe ? mHost->usbMidiGetPipe(m_pcMidiOutPipe) : nullptr;
    if (!pipe || !rb) return false;
    IOUSBHostCompletion c{this, &USBMidiDevice::writeComplete, rb};
    return pipe->io(rb->buffer(), MidiRB::kPacketBytes, &c, kWriteTimeoutMs) == kIOReturnSuccess;
}

void USBMidiDevice::readComplete(void*, void* parameter, IOReturn, uint32_t) {
    static_cast<MidiRB*>(parameter)->setUsed(false);
}

void USBMidiDevice::writeComplete(void*, void* parameter, IOReturn, uint32_t) {
    static_cast<MidiRB*>(parameter)->setUsed(false);
}

void USBMidiDevice::processMidi() {
    if (!m_pMidiSM) return;
    void* word = AUDIOSM_AT(m_pMidiSM, MidiSharedMemory, mOutputInProgress);
    uint32_t seen = audiosm::load32(word, __ATOMIC_ACQUIRE);
    while (int32_t(seen) <= 0 && !audiosm::cas32(word, seen, 1)) {
    }
}
