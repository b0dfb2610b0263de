// Statically defined trace points, as the other system's tracing facility
// offers them to a program: a probe point belongs to a provider, is off
// until a tracer enables it, and costs one relaxed load while off. The
// caller tests `enabled()` before it computes the arguments, so a disabled
// probe never costs the argument work.
//
// Enabled probes hand their arguments (64-bit integers, at most eight) to
// the process's recorder, a fixed ring of events a test or tool reads back.
// Firing neither allocates nor blocks for long: one short lock per event.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace hx::sys {

class ProbePoint {
public:
    static constexpr std::size_t kMaxArgs = 8;

    // Registers the point under (provider, name) for the life of the process.
    ProbePoint(const char* provider, const char* name);
    ProbePoint(const ProbePoint&) = delete;
    ProbePoint& operator=(const ProbePoint&) = delete;

    bool enabled() const { return mEnabled.load(std::memory_order_relaxed); }
    void setEnabled(bool on) { mEnabled.store(on, std::memory_order_relaxed); }
    // Records the arguments (beyond eight are dropped) when enabled.
    void fire(std::initializer_list<int64_t> args);

    const char* provider() const { return mProvider; }
    const char* name() const { return mName; }
    uint64_t fired() const { return mFired.load(std::memory_order_relaxed); }

private:
    const char* mProvider;
    const char* mName;
    std::atomic<bool> mEnabled{false};
    std::atomic<uint64_t> mFired{0};
};

struct ProbeEvent {
    const ProbePoint* probe = nullptr;
    uint32_t argc = 0;
    int64_t args[ProbePoint::kMaxArgs] = {};
};

// The process's recorder: keeps the latest kCapacity events in firing order.
class ProbeRecorder {
public:
    static constexpr std::size_t kCapacity = 65536;

    static void record(const ProbePoint& probe, std::initializer_list<int64_t> args);
    // The events kept, oldest first; with a name only that probe's.
    static std::vector<ProbeEvent> events(const char* name = nullptr);
    static uint64_t lost(); // events overwritten before they were read
    static void clear();
};

// Finds a registered point; null when none has that provider and name.
ProbePoint* findProbe(const std::string& provider, const std::string& name);
// Every registered point of a provider.
std::vector<ProbePoint*> providerProbes(const std::string& provider);
// Enables or disables every point of a provider; answers how many.
std::size_t enableProvider(const std::string& provider, bool on);

} // namespace hx::sys
