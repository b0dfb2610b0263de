// The IO-procedure registry, starting and stopping, and one cycle's calls.
//
// Registration and removal run on client threads under mProcLock and publish
// a new immutable list; the audio thread takes the newest list at the start
// of a cycle (announcing it in mCycleList) and never waits for a client. A
// replaced list, and the entries only it still holds, are freed once no
// cycle holds it.
#include <cstdio>
#include <cstring>

#include "device/AudioChannelMap.h"
#include "device/ZrOSXDevice.h"

namespace {

constexpr uint32_t kSlotCycleCounterOffset = 40;

} // namespace

// ---- IOProcEntry

void IOProcEntry::start() {
    if (mStarted || !mProc) return;
    mStarted = mDevice->attachIOProc(true);
}

void IOProcEntry::stop() {
    if (!mStarted || !mProc) return;
    mStarted = false;
    mDevice->attachIOProc(false);
}

bool IOProcEntry::callIOProc(AudioObjectID device, const AudioTimeStamp* now,
                             const AudioBufferList* in, const AudioTimeStamp* inTime,
                             AudioBufferList* out, const AudioTimeStamp* outTime,
                             uint32_t outChannels) {
    if (!mStarted || !mProc) return false;
    mInUse = true;
    mOutUse = true;
    // Stands in for a missing side: one buffer, no channels, no bytes, no data.
    AudioBufferList local{};
    local.mNumberBuffers = 1;
    void* data = mClientData.load();
    if (in && in->mBuffers[0].mNumberChannels) {
        if (out && out->mBuffers[0].mNumberChannels)
            return mProc(device, now, in, inTime, out, outTime, data) == 0;
        local.mBuffers[0].mNumberChannels = outChannels;
        local.mBuffers[0].mDataByteSize = outChannels * 4;
        mProc(device, now, in, inTime, &local, outTime, data);
        return false;
    }
    return mProc(device, now, &local, inTime, out, outTime, data) == 0;
}

// ---- Registry

void ZrOSXDevice::publishIOProcsLocked() {
    auto* list = new IOProcList;
    list->entries = mProcs;
    for (IOProcEntry* e : list->entries)
        e->incReferences();
    IOProcList* old = mPublished.exchange(list, std::memory_order_seq_cst);
    if (old) mRetired.push_back(old);
    reclaimIOProcListsLocked();
}

void ZrOSXDevice::reclaimIOProcListsLocked() {
    IOProcList* held = mCycleList.load(std::memory_order_seq_cst);
    for (size_t i = 0; i < mRetired.size();) {
        IOProcList* l = mRetired[i];
        if (l == held) {
            ++i;
            continue;
        }
        for (IOProcEntry* e : l->entries)
            e->decReferences();
        delete l;
        mRetired.erase(mRetired.begin() + std::ptrdiff_t(i));
    }
}

IOProcList* ZrOSXDevice::takeCycleList() {
    // Hazard announcement: after the store, a publisher that replaced the
    // list sees it held, or this re-read sees the replacement.
    for (;;) {
        IOProcList* l = mPublished.load(std::memory_order_seq_cst);
        mCycleList.store(l, std::memory_order_seq_cst);
        if (mPublished.load(std::memory_order_seq_cst) == l) return l;
    }
}

void ZrOSXDevice::releaseCycleList() {
    mCycleList.store(nullptr, std::memory_order_seq_cst);
}

int ZrOSXDevice::ioProcCount() {
    std::lock_guard<std::mutex> g(mProcLock);
    return int(mProcs.size());
}

bool ZrOSXDevice::addIOProc(AudioDeviceIOProc proc, void* clientData) {
    if (!proc) return false;
    std::lock_guard<std::mutex> g(mProcLock);
    for (IOProcEntry* e : mProcs)
        if (e->hasIOProc(proc)) {
            e->setClientData(clientData);
            return true;
        }
    auto* e = new IOProcEntry(this, proc, clientData);
    e->incReferences();
    mProcs.push_back(e);
    publishIOProcsLocked();
    return true;
}

IOProcEntry* ZrOSXDevice::addIOProcID(AudioDeviceIOProc proc, void* clientData) {
    if (!proc) return nullptr;
    std::lock_guard<std::mutex> g(mProcLock);
    for (IOProcEntry* e : mProcs)
        if (e->hasIOProcWithClientData(proc, clientData)) return e;
    auto* e = new IOProcEntry(this, proc, clientData);
    e->incReferences();
    mProcs.push_back(e);
    publishIOProcsLocked();
    return e;
}

IOProcEntry* ZrOSXDevice::findEntryLocked(void* procOrID) {
    for (IOProcEntry* e : mProcs)
        if (static_cast<void*>(e) == procOrID) return e;
    for (IOProcEntry* e : mProcs)
        if (reinterpret_cast<void*>(e->proc()) == procOrID) return e;
    return nullptr;
}

bool ZrOSXDevice::removeIOProc(AudioDeviceIOProc proc) {
    IOProcEntry* found = nullptr;
    {
        std::lock_guard<std::mutex> g(mProcLock);
        for (IOProcEntry* e : mProcs)
            if (e->hasIOProc(proc)) {
                found = e;
                break;
            }
        if (!found) return false;
        found->incReferences();
    }
    const bool removed = removeIOProcID(found);
    found->decReferences();
    return removed;
}

bool ZrOSXDevice::removeIOProcID(IOProcEntry* entry) {
    {
        std::lock_guard<std::mutex> g(mProcLock);
        bool listed = false;
        for (IOProcEntry* e : mProcs)
            listed = listed || e == entry;
        if (!listed) return false;
        entry->incReferences();
    }
    entry->stop();
    std::lock_guard<std::mutex> g(mProcLock);
    for (size_t i = 0; i < mProcs.size(); ++i)
        if (mProcs[i] == entry) {
            mProcs.erase(mProcs.begin() + std::ptrdiff_t(i));
            entry->decReferences(); // the registry's reference
            break;
        }
    publishIOProcsLocked();
    entry->decReferences();
    return true;
}

void ZrOSXDevice::removeAllIOProcs() {
    std::vector<IOProcEntry*> all;
    {
        std::lock_guard<std::mutex> g(mProcLock);
        all = mProcs;
        for (IOProcEntry* e : all)
            e->incReferences();
    }
    for (IOProcEntry* e : all) {
        removeIOProcID(e);
        e->decReferences();
    }
}

// Client threads take the device mutex before the attach lock (a start
// prepares the hardware, which the device logic does under its mutex). The
// audio thread, which stops what is left when it ends, never takes it.
ZrOSXDevice::AttachGuard::AttachGuard(ZrOSXDevice& device)
    : mDevice(device), mDeviceLock(device.deviceMutex(), std::defer_lock) {
    if (!device.onAudioThread()) mDeviceLock.lock();
    mLock.lock(&device.mAttachLock, true);
    device.mAttachHolder = pthread_self();
}

ZrOSXDevice::AttachGuard::~AttachGuard() {
    mDevice.mAttachHolder = pthread_t();
}

bool ZrOSXDevice::holdsAttachLock() const {
    return pthread_equal(mAttachHolder.load(), pthread_self());
}

bool ZrOSXDevice::onDeviceStartProcOrID(void* procOrID) {
    if (!procOrID) {
        AttachGuard lock(*this);
        ++mDeviceStarts;
        if (mThreadState.load() == 0) {
            prepareHardware();
            sendRunningNotices(true);
        }
        return true;
    }
    IOProcEntry* e = nullptr;
    {
        std::lock_guard<std::mutex> g(mProcLock);
        e = findEntryLocked(procOrID);
        if (e) e->incReferences();
    }
    if (!e) {
        std::fprintf(stderr, "ZrOSXDevice::onDeviceStart - no ioproc\n");
        return false;
    }
    e->start();
    e->decReferences();
    return true;
}

bool ZrOSXDevice::onDeviceStopProcOrID(void* procOrID) {
    if (!procOrID) {
        AttachGuard lock(*this);
        if (mDeviceStarts > 0) {
            const int32_t was = mDeviceStarts--;
            if (was == 1 && mThreadState.load() != 0) {
                mThreadState = 0;
                std::printf("ZrOSXDevice::onDeviceStopProcOrID !inProcID, callDetach\n");
                callDetach();
                sendRunningNotices(false);
            }
        }
        return true;
    }
    IOProcEntry* e = nullptr;
    {
        std::lock_guard<std::mutex> g(mProcLock);
        e = findEntryLocked(procOrID);
        if (e) e->incReferences();
    }
    if (!e) return false;
    e->stop();
    e->decReferences();
    return true;
}

bool ZrOSXDevice::attachIOProc(bool on) {
    AttachGuard lock(*this);
    if (!on) {
        --mStartedProcs;
    } else {
        // A change kept local while others streamed goes to the kernel now.
        mSettingsApplied = false;
        if (pendingDirection() != 0) {
            applyPendingSettings(ioprocHasAttachedIn(), ioprocHasAttachedOut());
            mSettingsApplied = true;
        }
        ++mStartedProcs;
    }
    const int32_t started = mStartedProcs.load();
    if (started == 0 && mDeviceStarts == 0 && mThreadState.load() != 0) {
        sendRunningNotices(false);
        mThreadState = 0;
        callDetach();
        return true;
    }
    if (mThreadState.load() != 0 || started < 1) return true;
    sendRunningNotices(true);
    if (mSettingsApplied) {
        mSettingsApplied = false;
        quiesceCycles();
        createIOBuffers();
    }
    prepareHardware();
    return true;
}

bool ZrOSXDevice::ioprocHasAttachedIn() {
    std::lock_guard<std::mutex> g(mProcLock);
    for (IOProcEntry* e : mProcs)
        if (e->hasIOProcIn()) return true;
    return false;
}

bool ZrOSXDevice::ioprocHasAttachedOut() {
    std::lock_guard<std::mutex> g(mProcLock);
    for (IOProcEntry* e : mProcs)
        if (e->hasIOProcOut()) return true;
    return false;
}

OSStatus ZrOSXDevice::getStreamUsage(AudioDeviceIOProc procOrID, bool isInput, bool& inUse) {
    std::lock_guard<std::mutex> g(mProcLock);
    IOProcEntry* e = findEntryLocked(reinterpret_cast<void*>(procOrID));
    if (!e) return OSStatus(0xE00002C0);
    inUse = e->inUse(isInput);
    return 0;
}

OSStatus ZrOSXDevice::setStreamUsage(AudioDeviceIOProc procOrID, bool isInput, bool inUse) {
    std::lock_guard<std::mutex> g(mProcLock);
    IOProcEntry* e = findEntryLocked(reinterpret_cast<void*>(procOrID));
    if (!e) return OSStatus(0xE00002C0);
    e->setInUse(isInput, inUse);
    return 0;
}

OSStatus ZrOSXDevice::getStreamConfiguration(bool isInput, AudioBufferList* list) const {
    if (!list) return OSStatus(0xE00002BC);
    const AudioIOBuffer& b = isInput ? mBufIn : mBufOut;
    list->mNumberBuffers = 1;
    list->mBuffers[0].mNumberChannels = b.procChannels();
    list->mBuffers[0].mDataByteSize = b.mBufferList.mBuffers[0].mDataByteSize;
    list->mBuffers[0].mData = nullptr;
    return 0;
}

// ---- One cycle's calls (audio thread)

void ZrOSXDevice::callIOProcs(uint64_t, uint32_t frames) {
    AudioIOBuffer& in = mBufIn;
    AudioIOBuffer& out = mBufOut;
    const bool codec = mCodecFlags[0] || mCodecFlags[1];
    if (in.exists()) {
        if (codec || mInFormatFlags == kAudioFormatFlagIsFloat)
            convertIntToFloat(in.mRingBuffer, in.mBufferChannels, in.procData(), in.procChannels(),
                              frames);
        else
            audioMapChannelsSet(in.mRingBuffer, in.mBufferChannels,
                                reinterpret_cast<int32_t*>(in.procData()), in.procChannels(),
                                frames);
        if (codec && mInFormatFlags == kAudioFormatFlagIsSignedInteger)
            audioConvertFloatToSInt32(in.procData(), in.procChannels(), frames);
    }
    if (out.mRingBuffer) audioInt32Clear(out.mRingBuffer, out.mBufferChannels * frames);
    IOProcList* list = takeCycleList();
    bool first = true;
    const AudioBufferList* inList = in.exists() ? &in.mBufferList : nullptr;
    AudioBufferList* outList = out.mBufferList.mBuffers[0].mData ? &out.mBufferList : nullptr;
    for (size_t i = 0; list && i < list->entries.size(); ++i) {
        IOProcEntry* e = list->entries[i];
        if (outList) std::memset(out.procData(), 0, size_t(out.procChannels()) * frames * 4);
        const bool produced =
            e->callIOProc(mAudioDeviceID, &mFilter.currentTime(), inList, &mFilter.inputTime(),
                          outList, &mFilter.outputTime(), out.procChannels());
        if (!produced || !out.mRingBuffer || !outList) continue;
        if (mOutFormatFlags == kAudioFormatFlagIsFloat)
            audioConvertFloatToSInt32LowAligned(out.procData(), out.procChannels(), frames);
        else
            audioConvertSint32ToSInt32LowAligned(out.procData(), out.procChannels(), frames);
        const auto* produced32 = reinterpret_cast<const int32_t*>(out.procData());
        if (first)
            audioMapChannelsSet(produced32, out.procChannels(), out.mRingBuffer,
                                out.mBufferChannels, frames);
        else
            audioMapChannelsAdd(produced32, out.procChannels(), out.mRingBuffer,
                                out.mBufferChannels, frames);
        first = false;
    }
    releaseCycleList();
    writeSlotWord(kSlotCycleCounterOffset, readSlotWord(kSlotCycleCounterOffset) + 1);
}
