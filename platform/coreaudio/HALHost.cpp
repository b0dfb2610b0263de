#include "platform/coreaudio/HALHostImpl.h"

#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/cf/CFPlugIn.h"
#include "platform/cf/HXCF.h"
#include "platform/sys/HXProcess.h"

#include <atomic>
#include <filesystem>

namespace hx::coreaudio {

std::atomic<HALHost*> gLoadedHALHost{nullptr};

namespace {

AudioObjectPropertyAddress deviceListAddress() {
    return {kAudioHardwarePropertyDevices, kAudioObjectPropertyScopeGlobal,
            kAudioObjectPropertyElementMaster};
}

} // namespace

HALHost* currentHALHost() {
    return gLoadedHALHost.load(std::memory_order_acquire);
}

// ---- The plug-in's calls

OSStatus HALHost::Impl::claimDeviceID(AudioDeviceID* out) {
    if (!out) return kAudioHardwareIllegalOperationError;
    std::lock_guard<std::mutex> g(lock);
    if (failClaim) {
        failClaim = false;
        return kAudioHardwareUnspecifiedError;
    }
    const AudioObjectID id = nextID++;
    objects[id] = Object{Kind::Device};
    *out = id;
    return 0;
}

OSStatus HALHost::Impl::claimStreamID(AudioDeviceID owner, AudioStreamID* out) {
    if (!out) return kAudioHardwareIllegalOperationError;
    std::lock_guard<std::mutex> g(lock);
    auto it = objects.find(owner);
    if (it == objects.end() || it->second.kind != Kind::Device) return kAudioHardwareBadDeviceError;
    if (failClaim) {
        failClaim = false;
        return kAudioHardwareUnspecifiedError;
    }
    const AudioObjectID id = nextID++;
    objects[id] = Object{Kind::Stream, owner};
    *out = id;
    return 0;
}

OSStatus HALHost::Impl::devicesCreated(UInt32 count, const AudioDeviceID* ids) {
    if (count && !ids) return kAudioHardwareIllegalOperationError;
    std::lock_guard<std::mutex> g(lock);
    if (failCreated) {
        failCreated = false;
        return kAudioHardwareUnspecifiedError;
    }
    for (UInt32 i = 0; i < count; ++i) {
        auto it = objects.find(ids[i]);
        if (it == objects.end() || it->second.kind != Kind::Device || it->second.published) {
            hx::log::format("HAL host: DevicesCreated for %u, which is no new device; ignored\n",
                            unsigned(ids[i]));
            continue;
        }
        it->second.published = true;
        deviceList.push_back(ids[i]);
        announced.push_back({HALAnnouncement::Kind::DevicesCreated, ids[i], {}});
    }
    queueLocked(kAudioObjectSystemObject, deviceListAddress());
    return 0;
}

OSStatus HALHost::Impl::streamsCreated(AudioDeviceID owner, UInt32 count,
                                       const AudioStreamID* ids) {
    if (count && !ids) return kAudioHardwareIllegalOperationError;
    std::lock_guard<std::mutex> g(lock);
    std::vector<AudioStreamID> made;
    for (UInt32 i = 0; i < count; ++i) {
        auto it = objects.find(ids[i]);
        if (it == objects.end() || it->second.kind != Kind::Stream || it->second.owner != owner)
            continue;
        it->second.published = true;
        streamLists[owner].push_back(ids[i]);
        made.push_back(ids[i]);
    }
    announced.push_back({HALAnnouncement::Kind::StreamsCreated, owner, made});
    return 0;
}

OSStatus HALHost::Impl::devicesDied(UInt32 count, const AudioDeviceID* ids) {
    if (count && !ids) return kAudioHardwareIllegalOperationError;
    std::lock_guard<std::mutex> g(lock);
    for (UInt32 i = 0; i < count; ++i) {
        const AudioDeviceID id = ids[i];
        auto it = objects.find(id);
        if (it == objects.end() || it->second.kind != Kind::Device || !it->second.published) {
            hx::log::format("HAL host: DevicesDied for %u, which it never created; ignored\n",
                            unsigned(id));
            announced.push_back({HALAnnouncement::Kind::DiedIgnored, id, {}});
            continue;
        }
        for (AudioStreamID s : streamLists[id])
            objects.erase(s);
        streamLists.erase(id);
        objects.erase(it);
        std::erase(deviceList, id);
        announced.push_back({HALAnnouncement::Kind::DevicesDied, id, {}});
        queueLocked(kAudioObjectSystemObject, deviceListAddress());
    }
    return 0;
}

OSStatus HALHost::Impl::propertyChanged(const PropertyChange& change) {
    std::lock_guard<std::mutex> g(lock);
    switch (change.call) {
    case PropertyChange::Call::Device:
        queueLocked(change.object, {change.selector,
                                    change.isInput ? kAudioDevicePropertyScopeInput
                                                   : kAudioDevicePropertyScopeOutput,
                                    change.channel});
        break;
    case PropertyChange::Call::Stream:
        queueLocked(change.stream,
                    {change.selector, kAudioObjectPropertyScopeGlobal, change.channel});
        break;
    case PropertyChange::Call::Object:
        for (const AudioObjectPropertyAddress& a : change.addresses)
            queueLocked(change.object, a);
        break;
    }
    return 0;
}

void HALHost::Impl::queueLocked(AudioObjectID object, const AudioObjectPropertyAddress& address) {
    queue.push_back({object, address});
    changed.notifyAll();
}

// ---- Threads

void HALHost::Impl::markerPerform(void* info) {
    auto* self = static_cast<Impl*>(info);
    std::unique_lock<std::mutex> lk(self->lock);
    self->markerSeen = self->markerAsked;
    if (self->stopping) CFRunLoopStop(CFRunLoopGetCurrent());
    // Parked: no notification callback starts while the plug-in is torn
    // down (one that runs already has finished before the marker).
    if (self->parkRequested) {
        self->parked = true;
        self->changed.notifyAll();
        self->changed.wait(lk, [&] { return !self->parkRequested; });
        self->parked = false;
    }
    self->changed.notifyAll();
}

void HALHost::Impl::parkMain(bool park) {
    std::unique_lock<std::mutex> lk(lock);
    if (!mainLoop) return;
    parkRequested = park;
    changed.notifyAll();
    if (!park) return;
    lk.unlock();
    CFRunLoopSourceSignal(marker);
    lk.lock();
    changed.wait(lk, [&] { return parked; });
}

void HALHost::Impl::runMain(hx::clock::Reservation seat) {
    hx::clock::Participant participant(std::move(seat));
    hx::cf::setMainThread();
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFRunLoopAddSource(loop, marker, kCFRunLoopDefaultMode);
    {
        std::lock_guard<std::mutex> g(lock);
        mainLoop = loop;
        mainReady = true;
    }
    changed.notifyAll();
    for (;;) {
        {
            std::lock_guard<std::mutex> g(lock);
            if (stopping) break;
        }
        CFRunLoopRun();
    }
    CFRunLoopRemoveSource(loop, marker, kCFRunLoopDefaultMode);
}

namespace {

bool matches(const AudioObjectPropertyAddress& want, const AudioObjectPropertyAddress& got) {
    return (want.mSelector == got.mSelector ||
            want.mSelector == kAudioObjectPropertyScopeWildcard) &&
           (want.mScope == got.mScope || want.mScope == kAudioObjectPropertyScopeWildcard) &&
           (want.mElement == got.mElement || want.mElement == kAudioObjectPropertyElementWildcard);
}

} // namespace

void HALHost::Impl::runNotices(hx::clock::Reservation seat) {
    hx::clock::Participant participant(std::move(seat));
    std::unique_lock<std::mutex> lk(lock);
    for (;;) {
        changed.wait(lk, [&] { return stopping || !queue.empty(); });
        if (queue.empty()) break;
        const HALNotice n = queue.front();
        queue.pop_front();
        delivering = true;
        std::vector<HALPropertyListener> fns;
        for (const Listener& l : listeners)
            if (l.object == n.object && matches(l.address, n.address)) fns.push_back(l.fn);
        lk.unlock();
        for (auto& fn : fns)
            fn(n.object, 1, &n.address);
        lk.lock();
        delivered.push_back(n);
        delivering = false;
        changed.notifyAll();
    }
}

void HALHost::Impl::startThreads() {
    CFRunLoopSourceContext context{};
    context.info = this;
    context.perform = markerPerform;
    // Last in its pass: whatever was signalled before it has run.
    marker = CFRunLoopSourceCreate(nullptr, 1 << 30, &context);
    threadN = std::thread(
        [this, seat = hx::clock::Reservation()]() mutable { runNotices(std::move(seat)); });
    if (!options.runMainLoop) return;
    threadM = std::thread(
        [this, seat = hx::clock::Reservation()]() mutable { runMain(std::move(seat)); });
    std::unique_lock<std::mutex> lk(lock);
    changed.wait(lk, [&] { return mainReady; });
}

void HALHost::Impl::stopThreads() {
    {
        std::lock_guard<std::mutex> g(lock);
        stopping = true;
    }
    changed.notifyAll();
    if (marker) CFRunLoopSourceSignal(marker);
    {
        hx::clock::Idle idle;
        if (threadM.joinable()) threadM.join();
        if (threadN.joinable()) threadN.join();
    }
    if (marker) {
        CFRunLoopSourceInvalidate(marker);
        CFRelease(marker);
        marker = nullptr;
    }
    std::lock_guard<std::mutex> g(lock);
    stopping = false;
    mainReady = false;
    mainLoop = nullptr;
}

// ---- Loading and unloading

OSStatus HALHost::Impl::loadBundle(const std::string& path) {
    CFUUIDRef type = kAudioHardwarePlugInTypeID;
    std::string bundle = path;
    if (bundle.empty()) {
        std::vector<std::string> found = hx::cf::plugInsForType(kHALPlugInFolder, type);
        if (found.empty()) {
            hx::log::format("HAL host: no HAL plug-in in %s\n", kHALPlugInFolder);
            return kAudioHardwareUnspecifiedError;
        }
        bundle = found.front();
    }
    hx::cf::LoadedFactory f = hx::cf::loadFactory(bundle, type);
    if (!f.function) return kAudioHardwareUnspecifiedError;
    auto r = static_cast<AudioHardwarePlugInRef>(f.function(nullptr, type));
    if (!r) {
        hx::log::format("HAL host: the factory of %s made no plug-in\n", bundle.c_str());
        return kAudioHardwareUnspecifiedError;
    }
    void* iface = nullptr;
    if ((*r)->QueryInterface(r, CFUUIDGetUUIDBytes(kAudioHardwarePlugInInterface4ID), &iface) !=
            S_OK ||
        !iface) {
        hx::log::format("HAL host: %s refused the HAL plug-in interface\n", bundle.c_str());
        (*r)->Release(r);
        return kAudioHardwareUnspecifiedError;
    }
    (*r)->Release(r); // the extra reference QueryInterface gave
    ref = static_cast<AudioHardwarePlugInRef>(iface);
    registerHALPlugIn(ref, this);
    {
        std::lock_guard<std::mutex> g(lock);
        plugInID = nextID++;
        objects[plugInID] = Object{Kind::PlugIn, 0, true};
    }
    return (*ref)->InitializeWithObjectID(ref, plugInID);
}

void HALHost::Impl::leaveNothingBehind() {
    std::multimap<AudioDeviceID, AudioDeviceIOProc> s, c, a;
    std::map<AudioDeviceID, int> d;
    {
        std::lock_guard<std::mutex> g(lock);
        s.swap(started);
        c.swap(created);
        a.swap(added);
        d.swap(deviceStarts);
    }
    for (auto& [device, proc] : s)
        (*ref)->DeviceStop(ref, device, proc);
    for (auto& [device, count] : d)
        for (int i = 0; i < count; ++i)
            (*ref)->DeviceStop(ref, device, nullptr);
    for (auto& [device, id] : c)
        (*ref)->DeviceDestroyIOProcID(ref, device, id);
    for (auto& [device, proc] : a)
        (*ref)->DeviceRemoveIOProc(ref, device, proc);
}

// ---- HALHost

HALHost::HALHost(HALHostOptions options) : mImpl(std::make_unique<Impl>(std::move(options))) {}

HALHost::~HALHost() {
    unload();
}

bool HALHost::installBundle(const std::string& builtBundle) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path from(builtBundle);
    const fs::path to = fs::path(hx::path::map(kHALPlugInFolder)) / from.filename();
    fs::create_directories(to.parent_path(), ec);
    // Each file is written beside its place and renamed over it: a library
    // a host of this process already loaded keeps its mapped file, where a
    // copy over it in place would change the code it runs.
    for (fs::recursive_directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path target = to / fs::relative(it->path(), from, ec);
        if (ec) break;
        if (it->is_directory(ec)) {
            fs::create_directories(target, ec);
            continue;
        }
        const fs::path fresh = target.string() + ".installing";
        fs::copy_file(it->path(), fresh, fs::copy_options::overwrite_existing, ec);
        if (!ec) fs::rename(fresh, target, ec);
    }
    if (ec)
        hx::log::format("HAL host: cannot install %s: %s\n", builtBundle.c_str(),
                        ec.message().c_str());
    return !ec;
}

OSStatus HALHost::load(const std::string& bundlePath) {
    Impl& m = *mImpl;
    if (m.ref) return kAudioHardwareIllegalOperationError;
    if (!m.options.processName.empty()) hx::sys::setOwnProcessName(m.options.processName);
    if (!m.options.release.empty()) hx::sys::setEmulatedRelease(m.options.release);
    m.startThreads();
    HALHost* expected = nullptr;
    gLoadedHALHost.compare_exchange_strong(expected, this);
    const OSStatus status = m.loadBundle(bundlePath);
    if (!m.ref) {
        expected = this;
        gLoadedHALHost.compare_exchange_strong(expected, nullptr);
        m.stopThreads();
    }
    return status;
}

void HALHost::unload() {
    Impl& m = *mImpl;
    if (!m.ref) return;
    m.leaveNothingBehind();
    // Thread M starts no callback while the manager goes (a callback
    // waiting for the manager's lock would hold the platform clock).
    m.parkMain(true);
    (*m.ref)->Teardown(m.ref);
    while ((*m.ref)->Release(m.ref) > 0) {
    }
    m.parkMain(false);
    settle();
    unregisterHALPlugIn(m.ref);
    m.stopThreads();
    HALHost* self = this;
    gLoadedHALHost.compare_exchange_strong(self, nullptr);
    std::lock_guard<std::mutex> g(m.lock);
    m.ref = nullptr;
    m.plugInID = 0;
    m.objects.clear();
    m.deviceList.clear();
    m.streamLists.clear();
    m.listeners.clear();
}

bool HALHost::loaded() const {
    return mImpl->ref != nullptr;
}

AudioHardwarePlugInRef HALHost::plugIn() const {
    return mImpl->ref;
}

AudioObjectID HALHost::plugInObjectID() const {
    return mImpl->plugInID;
}

std::vector<AudioDeviceID> HALHost::devices() const {
    std::lock_guard<std::mutex> g(mImpl->lock);
    return mImpl->deviceList;
}

std::vector<AudioStreamID> HALHost::streams(AudioDeviceID device) const {
    std::lock_guard<std::mutex> g(mImpl->lock);
    auto it = mImpl->streamLists.find(device);
    return it == mImpl->streamLists.end() ? std::vector<AudioStreamID>{} : it->second;
}

std::vector<HALAnnouncement> HALHost::announcements() const {
    std::lock_guard<std::mutex> g(mImpl->lock);
    return mImpl->announced;
}

std::vector<HALNotice> HALHost::notices() const {
    std::lock_guard<std::mutex> g(mImpl->lock);
    return mImpl->delivered;
}

void HALHost::addListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                          HALPropertyListener listener) {
    std::lock_guard<std::mutex> g(mImpl->lock);
    mImpl->listeners.push_back({object, address, std::move(listener)});
}

void HALHost::settle() {
    Impl& m = *mImpl;
    std::unique_lock<std::mutex> lk(m.lock);
    // Rounds until one passes in which nothing new was queued.
    for (;;) {
        const std::size_t before = m.delivered.size() + m.queue.size();
        if (m.mainLoop) {
            const std::uint64_t asked = ++m.markerAsked;
            lk.unlock();
            CFRunLoopSourceSignal(m.marker);
            lk.lock();
            m.changed.wait(lk, [&] { return m.markerSeen >= asked; });
        }
        if (m.threadN.joinable())
            m.changed.wait(lk, [&] { return m.queue.empty() && !m.delivering; });
        if (m.delivered.size() + m.queue.size() == before) break;
    }
}

void HALHost::failNextClaim() {
    std::lock_guard<std::mutex> g(mImpl->lock);
    mImpl->failClaim = true;
}

void HALHost::failNextDevicesCreated() {
    std::lock_guard<std::mutex> g(mImpl->lock);
    mImpl->failCreated = true;
}

} // namespace hx::coreaudio
