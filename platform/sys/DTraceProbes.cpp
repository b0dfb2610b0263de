// Probe registry and event recorder. See DTraceProbes.h.
#include "platform/sys/DTraceProbes.h"

#include <array>
#include <cstring>
#include <memory>
#include <mutex>

namespace hx::sys {

namespace {

struct Registry {
    std::mutex lock;
    std::vector<ProbePoint*> points;
};

Registry& registry() {
    static Registry r;
    return r;
}

struct Recorder {
    std::mutex lock;
    std::unique_ptr<std::array<ProbeEvent, ProbeRecorder::kCapacity>> ring =
        std::make_unique<std::array<ProbeEvent, ProbeRecorder::kCapacity>>();
    uint64_t written = 0;
};

Recorder& recorder() {
    static Recorder r;
    return r;
}

} // namespace

ProbePoint::ProbePoint(const char* provider, const char* name) : mProvider(provider), mName(name) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    r.points.push_back(this);
}

void ProbePoint::fire(std::initializer_list<int64_t> args) {
    if (!enabled()) return;
    mFired.fetch_add(1, std::memory_order_relaxed);
    ProbeRecorder::record(*this, args);
}

void ProbeRecorder::record(const ProbePoint& probe, std::initializer_list<int64_t> args) {
    Recorder& r = recorder();
    std::lock_guard<std::mutex> g(r.lock);
    ProbeEvent& e = (*r.ring)[r.written % kCapacity];
    e.probe = &probe;
    e.argc = 0;
    for (int64_t a : args) {
        if (e.argc == ProbePoint::kMaxArgs) break;
        e.args[e.argc++] = a;
    }
    for (uint32_t i = e.argc; i < ProbePoint::kMaxArgs; ++i)
        e.args[i] = 0;
    ++r.written;
}

std::vector<ProbeEvent> ProbeRecorder::events(const char* name) {
    Recorder& r = recorder();
    std::lock_guard<std::mutex> g(r.lock);
    std::vector<ProbeEvent> out;
    const uint64_t first = r.written > kCapacity ? r.written - kCapacity : 0;
    for (uint64_t i = first; i < r.written; ++i) {
        const ProbeEvent& e = (*r.ring)[i % kCapacity];
        if (!name || std::strcmp(e.probe->name(), name) == 0) out.push_back(e);
    }
    return out;
}

uint64_t ProbeRecorder::lost() {
    Recorder& r = recorder();
    std::lock_guard<std::mutex> g(r.lock);
    return r.written > kCapacity ? r.written - kCapacity : 0;
}

void ProbeRecorder::clear() {
    Recorder& r = recorder();
    std::lock_guard<std::mutex> g(r.lock);
    r.written = 0;
}

ProbePoint* findProbe(const std::string& provider, const std::string& name) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    for (ProbePoint* p : r.points)
        if (provider == p->provider() && name == p->name()) return p;
    return nullptr;
}

std::vector<ProbePoint*> providerProbes(const std::string& provider) {
    Registry& r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    std::vector<ProbePoint*> out;
    for (ProbePoint* p : r.points)
        if (provider == p->provider()) out.push_back(p);
    return out;
}

std::size_t enableProvider(const std::string& provider, bool on) {
    const auto points = providerProbes(provider);
    for (ProbePoint* p : points)
        p->setEnabled(on);
    return points.size();
}

} // namespace hx::sys
