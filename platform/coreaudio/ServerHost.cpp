#include "platform/coreaudio/ServerHost.h"

#include <algorithm>
#include <cstring>
#include <pthread.h>
#include <syslog.h>

#include "platform/cf/CoreFoundation.h"
#include "platform/coreaudio/ServerHostImpl.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/sys/HXProcess.h"

namespace hx::coreaudio {

namespace {

constexpr OSStatus kStop = kAudioHardwareNotRunningError;
constexpr OSStatus kNope = kAudioHardwareIllegalOperationError;
constexpr OSStatus kBadObject = kAudioHardwareBadObjectError;
constexpr UInt32 kMaxChannels = 64;

AudioObjectPropertyAddress
address(AudioObjectPropertySelector selector,
        AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    return AudioObjectPropertyAddress{selector, scope, kAudioObjectPropertyElementMaster};
}

bool sameAddress(const AudioObjectPropertyAddress& a, const AudioObjectPropertyAddress& b) {
    return a.mSelector == b.mSelector && a.mScope == b.mScope && a.mElement == b.mElement;
}

// Runs a host-interface call against the host, or answers 'stop' once the
// host is gone.
template <class Call> OSStatus withHost(AudioServerPlugInHostRef ref, Call call) {
    auto* record =
        reinterpret_cast<ServerHostRecord*>(const_cast<AudioServerPlugInHostInterface*>(ref));
    if (!record) return kBadObject;
    std::shared_lock<std::shared_mutex> lock(record->lock);
    if (!record->host) return kStop;
    return call(*record->host);
}

OSStatus hostPropertiesChanged(AudioServerPlugInHostRef ref, AudioObjectID object, UInt32 count,
                               const AudioObjectPropertyAddress* addresses) {
    return withHost(
        ref, [&](ServerHost::Impl& h) { return h.propertiesChanged(object, count, addresses); });
}

OSStatus hostCopyFromStorage(AudioServerPlugInHostRef ref, CFStringRef key,
                             CFPropertyListRef* out) {
    return withHost(ref, [&](ServerHost::Impl& h) { return h.copyFromStorage(key, out); });
}

OSStatus hostWriteToStorage(AudioServerPlugInHostRef ref, CFStringRef key,
                            CFPropertyListRef value) {
    return withHost(ref, [&](ServerHost::Impl& h) { return h.writeToStorage(key, value); });
}

OSStatus hostRequestChange(AudioServerPlugInHostRef ref, AudioObjectID device, UInt64 action,
                           void* info) {
    return withHost(ref, [&](ServerHost::Impl& h) {
        return h.requestConfigurationChange(device, action, info);
    });
}

} // namespace

// ---- Worker threads

ServerWorker::ServerWorker(const char* name) : mName(name) {
    hx::clock::Reservation seat;
    mThread = std::thread([this, seat = std::move(seat)]() mutable { run(std::move(seat)); });
}

ServerWorker::~ServerWorker() {
    stop();
}

void ServerWorker::run(hx::clock::Reservation seat) {
    hx::clock::Participant participant(std::move(seat));
    pthread_setname_np(pthread_self(), mName); // "N" or "K" in a debugger
    std::unique_lock<std::mutex> lock(mMutex);
    for (;;) {
        mCondition.wait(lock, [this] { return mStopping || !mTasks.empty(); });
        if (mTasks.empty()) break;
        std::function<void()> task = std::move(mTasks.front());
        mTasks.pop_front();
        mBusy = true;
        lock.unlock();
        task();
        lock.lock();
        mBusy = false;
        mCondition.notifyAll();
    }
}

void ServerWorker::post(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mStopping) return;
    mTasks.push_back(std::move(task));
    mCondition.notifyAll();
}

void ServerWorker::waitIdle() {
    std::unique_lock<std::mutex> lock(mMutex);
    mCondition.wait(lock, [this] { return mTasks.empty() && !mBusy; });
}

void ServerWorker::stop() {
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mStopping = true;
        mCondition.notifyAll();
    }
    if (mThread.joinable() && mThread.get_id() != std::this_thread::get_id()) {
        hx::clock::Idle idle;
        mThread.join();
    }
}

// ---- The host

namespace {

// Every host record made in this process: they outlive their hosts (the
// plug-in keeps the pointer) and stay reachable here.
std::mutex gRecordsLock;
std::vector<ServerHostRecord*>& records() {
    static auto* all = new std::vector<ServerHostRecord*>;
    return *all;
}

} // namespace

ServerHost::Impl::Impl(ServerHostOptions o) : options(std::move(o)) {
    record = new ServerHostRecord;
    {
        std::lock_guard<std::mutex> lock(gRecordsLock);
        records().push_back(record);
    }
    record->interface = AudioServerPlugInHostInterface{&hostPropertiesChanged, &hostCopyFromStorage,
                                                       &hostWriteToStorage, &hostRequestChange};
    record->host = this;
    notifier = std::make_unique<ServerWorker>("N");
    configurator = std::make_unique<ServerWorker>("K");
}

ServerHost::ServerHost(ServerHostOptions options)
    : mImpl(std::make_unique<Impl>(std::move(options))) {
    if (!mImpl->options.processName.empty()) hx::sys::setOwnProcessName(mImpl->options.processName);
}

ServerHost::~ServerHost() {
    shutdown();
}

AudioServerPlugInHostRef ServerHost::hostInterface() const {
    return &mImpl->record->interface;
}

OSStatus ServerHost::loadDriver(AudioServerPlugInDriverRef handed) {
    if (!handed || !*handed || mImpl->driver || mImpl->down) return kNope;
    void* queried = nullptr;
    const HRESULT found = (*handed)->QueryInterface(
        handed, uuidBytes(kAudioServerPlugInDriverInterfaceUUIDText), &queried);
    if (found != 0 || !queried) return kNope;
    // The reference the factory made is the host's to give back once it
    // holds the queried one.
    (*handed)->Release(handed);
    AudioServerPlugInDriverRef driver = static_cast<AudioServerPlugInDriverRef>(queried);
    mImpl->driver = driver;
    const OSStatus status = (*driver)->Initialize(driver, hostInterface());
    if (status != 0) {
        syslog(LOG_ERR, "ServerHost: Initialize answered %d\n", int(status));
        return status;
    }
    mImpl->notifier->post([impl = mImpl.get()] { impl->enumerate(); });
    return 0;
}

ServerDevice* ServerHost::Impl::find(AudioObjectID id) {
    std::lock_guard<std::mutex> lock(devicesMutex);
    auto it = deviceRecords.find(id);
    return it == deviceRecords.end() ? nullptr : it->second.get();
}

std::vector<ServerDeviceInfo> ServerHost::devices() const {
    std::vector<ServerDeviceInfo> out;
    std::lock_guard<std::mutex> lock(mImpl->devicesMutex);
    for (auto& [id, d] : mImpl->deviceRecords) {
        std::lock_guard<std::mutex> io(d->ioMutex);
        if (d->info.listed) out.push_back(d->info);
    }
    return out;
}

std::optional<ServerDeviceInfo> ServerHost::device(AudioObjectID id) const {
    ServerDevice* d = mImpl->find(id);
    if (!d) return std::nullopt;
    std::lock_guard<std::mutex> io(d->ioMutex);
    return d->info;
}

// ---- Enumeration (thread N)

namespace {

template <class T>
bool readProperty(AudioServerPlugInDriverRef driver, AudioObjectID object,
                  const AudioObjectPropertyAddress& a, T& out) {
    UInt32 size = 0;
    if ((*driver)->GetPropertyDataSize(driver, object, 0, &a, 0, nullptr, &size) != 0 ||
        size != sizeof(T))
        return false;
    UInt32 got = 0;
    T value{};
    if ((*driver)->GetPropertyData(driver, object, 0, &a, 0, nullptr, sizeof(T), &got, &value) !=
            0 ||
        got != sizeof(T))
        return false;
    out = value;
    return true;
}

bool readIDs(AudioServerPlugInDriverRef driver, AudioObjectID object,
             const AudioObjectPropertyAddress& a, std::vector<AudioObjectID>& out) {
    UInt32 size = 0;
    if ((*driver)->GetPropertyDataSize(driver, object, 0, &a, 0, nullptr, &size) != 0) return false;
    out.assign(size / sizeof(AudioObjectID), 0);
    UInt32 got = 0;
    if ((*driver)->GetPropertyData(driver, object, 0, &a, 0, nullptr, size, &got, out.data()) != 0)
        return false;
    out.resize(std::min<std::size_t>(out.size(), got / sizeof(AudioObjectID)));
    return true;
}

std::string utf8(CFStringRef s) {
    if (!s || CFGetTypeID(s) != CFStringGetTypeID()) return {};
    const CFIndex max =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(s), kCFStringEncodingUTF8) + 1;
    std::string text(std::size_t(max), '\0');
    if (!CFStringGetCString(s, text.data(), max, kCFStringEncodingUTF8)) return {};
    text.resize(std::strlen(text.c_str()));
    return text;
}

bool sensibleFormat(const AudioStreamBasicDescription& f) {
    return f.mFormatID == kAudioFormatLinearPCM && f.mChannelsPerFrame > 0 &&
           f.mChannelsPerFrame <= kMaxChannels && f.mBytesPerFrame > 0;
}

} // namespace

bool ServerHost::Impl::readDevice(ServerDeviceInfo& info) {
    const AudioObjectID id = info.id;
    CFStringRef uid = nullptr;
    if (!readProperty(driver, id, address(kAudioDevicePropertyDeviceUID), uid)) return false;
    info.uid = utf8(uid);
    if (uid) CFRelease(uid);
    if (!readProperty(driver, id, address(kAudioDevicePropertyNominalSampleRate),
                      info.sampleRate) ||
        !readProperty(driver, id, address(kAudioDevicePropertyZeroTimeStampPeriod),
                      info.ringPeriod))
        return false;
    if (info.ringPeriod == 0 || !(info.sampleRate > 0)) return false;
    const AudioObjectPropertyScope scopes[2] = {kAudioDevicePropertyScopeInput,
                                                kAudioDevicePropertyScopeOutput};
    for (int dir = 0; dir < 2; ++dir) {
        std::vector<AudioObjectID> streams;
        if (!readIDs(driver, id, address(kAudioDevicePropertyStreams, scopes[dir]), streams) ||
            !readProperty(driver, id, address(kAudioDevicePropertySafetyOffset, scopes[dir]),
                          info.safetyOffset[dir]) ||
            !readProperty(driver, id, address(kAudioDevicePropertyLatency, scopes[dir]),
                          info.latency[dir]))
            return false;
        info.streams[dir].clear();
        for (AudioObjectID stream : streams) {
            ServerStreamInfo s{stream, {}};
            if (!readProperty(driver, stream, address(kAudioStreamPropertyPhysicalFormat),
                              s.format) ||
                !sensibleFormat(s.format))
                return false;
            info.streams[dir].push_back(s);
        }
    }
    return true;
}

void ServerHost::Impl::enumerate() {
    if (!driver) return;
    std::vector<AudioObjectID> ids;
    readIDs(driver, kAudioObjectPlugInObject, address(kAudioPlugInPropertyDeviceList), ids);
    for (AudioObjectID id : ids) {
        ServerDeviceInfo info;
        info.id = id;
        info.listed = true;
        info.usable = readDevice(info);
        if (!info.usable)
            syslog(LOG_ERR,
                   "ServerHost: device %u answers no usable description; it is never started\n",
                   id);
        std::lock_guard<std::mutex> lock(devicesMutex);
        auto& slot = deviceRecords[id];
        if (!slot) slot = std::make_unique<ServerDevice>();
        std::lock_guard<std::mutex> io(slot->ioMutex);
        slot->info = std::move(info);
    }
    std::lock_guard<std::mutex> lock(devicesMutex);
    for (auto& [id, d] : deviceRecords) {
        if (std::find(ids.begin(), ids.end(), id) == ids.end()) {
            std::lock_guard<std::mutex> io(d->ioMutex);
            d->info.listed = false;
        }
    }
}

// ---- Host interface calls

OSStatus ServerHost::Impl::propertiesChanged(AudioObjectID object, UInt32 count,
                                             const AudioObjectPropertyAddress* addresses) {
    if (count > 0 && !addresses) return kNope;
    PropertiesChangedCall call{
        object, std::vector<AudioObjectPropertyAddress>(addresses, addresses + count)};
    {
        std::lock_guard<std::mutex> lock(notesMutex);
        calls.push_back(call);
    }
    // Listeners and re-reading run later on N: the plug-in may hold its locks.
    notifier->post([this, call = std::move(call)] { runListeners(call); });
    return 0;
}

void ServerHost::Impl::runListeners(const PropertiesChangedCall& call) {
    bool deviceList = false;
    for (const auto& a : call.addresses)
        deviceList |= call.object == kAudioObjectPlugInObject &&
                      (a.mSelector == kAudioPlugInPropertyDeviceList ||
                       a.mSelector == kAudioObjectPropertyOwnedObjects);
    if (deviceList) enumerate();
    std::vector<ServerPropertyListener> matching;
    {
        std::lock_guard<std::mutex> lock(notesMutex);
        for (const auto& [key, listener] : listeners) {
            if (key.first != call.object) continue;
            for (const auto& a : call.addresses)
                if (sameAddress(a, key.second)) {
                    matching.push_back(listener);
                    break;
                }
        }
    }
    for (auto& listener : matching)
        listener(call.object, UInt32(call.addresses.size()), call.addresses.data());
}

void ServerHost::addListener(AudioObjectID object, const AudioObjectPropertyAddress& a,
                             ServerPropertyListener listener) {
    std::lock_guard<std::mutex> lock(mImpl->notesMutex);
    mImpl->listeners.push_back({{object, a}, std::move(listener)});
}

std::vector<PropertiesChangedCall> ServerHost::propertiesChangedCalls() const {
    std::lock_guard<std::mutex> lock(mImpl->notesMutex);
    return mImpl->calls;
}

std::vector<ConfigurationChangeRecord> ServerHost::configurationChanges() const {
    std::lock_guard<std::mutex> lock(mImpl->notesMutex);
    return mImpl->changes;
}

void ServerHost::abortNextConfigurationChange() {
    std::lock_guard<std::mutex> lock(mImpl->notesMutex);
    mImpl->abortNext = true;
}

OSStatus ServerHost::Impl::requestConfigurationChange(AudioObjectID device, UInt64 action,
                                                      void* info) {
    // The info pointer is the plug-in's: handed back untouched, never read.
    configurator->post([this, device, action, info] { configure(device, action, info); });
    return 0;
}

void ServerHost::Impl::configure(AudioObjectID id, UInt64 action, void* info) {
    bool abort = false;
    {
        std::lock_guard<std::mutex> lock(notesMutex);
        abort = abortNext || down;
        abortNext = false;
    }
    std::vector<AudioObjectID> listed;
    readIDs(driver, kAudioObjectPlugInObject, address(kAudioPlugInPropertyDeviceList), listed);
    ServerDevice* d = find(id);
    if (abort || !d || std::find(listed.begin(), listed.end(), id) == listed.end()) {
        (*driver)->AbortDeviceConfigurationChange(driver, id, action, info);
        std::lock_guard<std::mutex> lock(notesMutex);
        changes.push_back({id, action, false});
        return;
    }
    std::lock_guard<std::mutex> control(d->control);
    const int starts = d->startCount;
    if (starts > 0) park(*d);
    for (int i = 0; i < starts; ++i)
        (*driver)->StopIO(driver, id, 0);
    (*driver)->PerformDeviceConfigurationChange(driver, id, action, info);
    ServerDeviceInfo fresh;
    fresh.id = id;
    fresh.listed = true;
    fresh.usable = readDevice(fresh);
    {
        std::lock_guard<std::mutex> io(d->ioMutex);
        d->info = fresh;
    }
    for (int i = 0; i < starts; ++i)
        (*driver)->StartIO(driver, id, 0);
    if (starts > 0) resume(*d);
    changeCount++;
    std::lock_guard<std::mutex> lock(notesMutex);
    changes.push_back({id, action, true});
}

// ---- Clients and IO starts (the caller's thread)

OSStatus ServerHost::addClient(AudioObjectID id, pid_t pid, CFStringRef bundleID,
                               UInt32* outClientID) {
    if (mImpl->down) return kStop;
    ServerDevice* d = mImpl->find(id);
    if (!d) return kBadObject;
    UInt32 clientID = 0;
    {
        std::lock_guard<std::mutex> lock(mImpl->devicesMutex);
        clientID = mImpl->nextClientID++;
    }
    const AudioServerPlugInClientInfo client{clientID, pid, true, bundleID};
    const OSStatus status = (*mImpl->driver)->AddDeviceClient(mImpl->driver, id, &client);
    if (status != 0) return status;
    std::lock_guard<std::mutex> control(d->control);
    d->clientStarts[clientID] = 0;
    if (outClientID) *outClientID = clientID;
    return 0;
}

OSStatus ServerHost::removeClient(AudioObjectID id, UInt32 clientID) {
    ServerDevice* d = mImpl->find(id);
    if (!d) return kBadObject;
    while (true) {
        {
            std::lock_guard<std::mutex> control(d->control);
            auto it = d->clientStarts.find(clientID);
            if (it == d->clientStarts.end()) return kBadObject;
            if (it->second == 0) break;
        }
        stopIO(id, clientID);
    }
    const AudioServerPlugInClientInfo client{clientID, 0, true, nullptr};
    const OSStatus status = (*mImpl->driver)->RemoveDeviceClient(mImpl->driver, id, &client);
    std::lock_guard<std::mutex> control(d->control);
    d->clientStarts.erase(clientID);
    return status;
}

OSStatus ServerHost::startIO(AudioObjectID id, UInt32 clientID) {
    if (mImpl->down) return kStop;
    ServerDevice* d = mImpl->find(id);
    if (!d) return kBadObject;
    std::lock_guard<std::mutex> control(d->control);
    auto it = d->clientStarts.find(clientID);
    if (it == d->clientStarts.end()) return kBadObject;
    {
        std::lock_guard<std::mutex> io(d->ioMutex);
        if (!d->info.usable || !d->info.listed) return kAudioHardwareUnspecifiedError;
    }
    const OSStatus status = (*mImpl->driver)->StartIO(mImpl->driver, id, clientID);
    if (status != 0) return status;
    it->second++;
    if (d->startCount++ == 0) mImpl->startIOThread(*d);
    return 0;
}

OSStatus ServerHost::stopIO(AudioObjectID id, UInt32 clientID) {
    ServerDevice* d = mImpl->find(id);
    if (!d) return kBadObject;
    std::lock_guard<std::mutex> control(d->control);
    auto it = d->clientStarts.find(clientID);
    if (it == d->clientStarts.end() || it->second == 0) return kNope;
    if (d->startCount == 1) mImpl->endIOThread(*d);
    const OSStatus status = (*mImpl->driver)->StopIO(mImpl->driver, id, clientID);
    it->second--;
    d->startCount--;
    return status;
}

void ServerHost::setClientIO(AudioObjectID id, ServerClientIO io) {
    if (ServerDevice* d = mImpl->find(id)) {
        std::lock_guard<std::mutex> lock(d->ioMutex);
        d->clientIO = std::move(io);
    }
}

// ---- Property calls with a client's pid; statuses passed on

Boolean ServerHost::hasProperty(AudioObjectID object, pid_t pid,
                                const AudioObjectPropertyAddress& a) {
    AudioServerPlugInDriverRef driver = mImpl->driver;
    return driver && !mImpl->down ? (*driver)->HasProperty(driver, object, pid, &a) : false;
}

OSStatus ServerHost::isPropertySettable(AudioObjectID object, pid_t pid,
                                        const AudioObjectPropertyAddress& a, Boolean* outSettable) {
    AudioServerPlugInDriverRef driver = mImpl->driver;
    return driver && !mImpl->down
               ? (*driver)->IsPropertySettable(driver, object, pid, &a, outSettable)
               : kStop;
}

OSStatus ServerHost::getPropertyDataSize(AudioObjectID object, pid_t pid,
                                         const AudioObjectPropertyAddress& a, UInt32 qualifierSize,
                                         const void* qualifier, UInt32* outSize) {
    AudioServerPlugInDriverRef driver = mImpl->driver;
    return driver && !mImpl->down ? (*driver)->GetPropertyDataSize(
                                        driver, object, pid, &a, qualifierSize, qualifier, outSize)
                                  : kStop;
}

OSStatus ServerHost::getPropertyData(AudioObjectID object, pid_t pid,
                                     const AudioObjectPropertyAddress& a, UInt32 qualifierSize,
                                     const void* qualifier, UInt32 dataSize, UInt32* outSize,
                                     void* outData) {
    AudioServerPlugInDriverRef driver = mImpl->driver;
    return driver && !mImpl->down
               ? (*driver)->GetPropertyData(driver, object, pid, &a, qualifierSize, qualifier,
                                            dataSize, outSize, outData)
               : kStop;
}

OSStatus ServerHost::setPropertyData(AudioObjectID object, pid_t pid,
                                     const AudioObjectPropertyAddress& a, UInt32 qualifierSize,
                                     const void* qualifier, UInt32 dataSize, const void* data) {
    AudioServerPlugInDriverRef driver = mImpl->driver;
    return driver && !mImpl->down
               ? (*driver)->SetPropertyData(driver, object, pid, &a, qualifierSize, qualifier,
                                            dataSize, data)
               : kStop;
}

// ---- Settling, statistics, shutdown

void ServerHost::settle() {
    // A listener may request a change and a change may notify: go round until
    // all three are quiet together.
    for (int round = 0; round < 8; ++round) {
        mImpl->notifier->waitIdle();
        mImpl->configurator->waitIdle();
        hx::dispatch::drainAll();
    }
    mImpl->notifier->waitIdle();
    mImpl->configurator->waitIdle();
}

ServerHostStatistics ServerHost::statistics() const {
    return ServerHostStatistics{mImpl->cycles,     mImpl->stampErrors, mImpl->drops,
                                mImpl->canaryHits, mImpl->changeCount, mImpl->cycleCpuNanos};
}

void ServerHost::shutdown() {
    Impl& h = *mImpl;
    if (h.down.exchange(true)) return;
    {
        std::unique_lock<std::shared_mutex> lock(h.record->lock);
        h.record->host = nullptr; // the plug-in's later calls answer 'stop'
    }
    // Queued requests see `down` and are aborted in order.
    h.configurator->stop();
    h.notifier->stop();
    std::vector<std::pair<AudioObjectID, ServerDevice*>> all;
    {
        std::lock_guard<std::mutex> lock(h.devicesMutex);
        for (auto& [id, d] : h.deviceRecords)
            all.push_back({id, d.get()});
    }
    for (auto [id, d] : all) {
        std::vector<std::pair<UInt32, int>> clients;
        {
            std::lock_guard<std::mutex> control(d->control);
            if (d->startCount > 0) h.endIOThread(*d);
            clients.assign(d->clientStarts.begin(), d->clientStarts.end());
        }
        for (auto [client, starts] : clients) {
            for (int i = 0; i < starts; ++i)
                (*h.driver)->StopIO(h.driver, id, client);
            const AudioServerPlugInClientInfo info{client, 0, true, nullptr};
            (*h.driver)->RemoveDeviceClient(h.driver, id, &info);
        }
        std::lock_guard<std::mutex> control(d->control);
        d->clientStarts.clear();
        d->startCount = 0;
    }
    if (h.driver) (*h.driver)->Release(h.driver);
}

} // namespace hx::coreaudio
