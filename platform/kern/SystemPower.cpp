// The root power domain's list of user-space registrants and its awaited
// broadcast.
#include "platform/kern/SystemPower.h"

#include "platform/base/HXClock.h"

#include <algorithm>
#include <condition_variable>
#include <vector>

namespace hx::kern {

struct SystemPowerAccess {
    static std::mutex& lock(SystemPowerRegistrant& r) { return r.mLock; }
    static SystemPowerRegistrant::Sink& sink(SystemPowerRegistrant& r) { return r.mSink; }
    static bool& cancelled(SystemPowerRegistrant& r) { return r.mCancelled; }
    static uint64_t& awaiting(SystemPowerRegistrant& r) { return r.mAwaiting; }
};

namespace {

struct Registry {
    std::mutex lock;
    std::condition_variable answered;
    std::vector<std::weak_ptr<SystemPowerRegistrant>> registrants;
    uint64_t nextID = 0;
};

Registry& registry() {
    static auto* r = new Registry;
    return *r;
}

} // namespace

bool isSystemPowerMessage(UInt32 type) {
    switch (type) {
    case kSystemPowerCanSleep:
    case kSystemPowerWillSleep:
    case kSystemPowerWillNotSleep:
    case kSystemPowerHasPoweredOn:
    case kSystemPowerWillPowerOn:
        return true;
    default:
        return false;
    }
}

void SystemPowerRegistrant::acknowledge(uint64_t notificationID) {
    Registry& reg = registry();
    std::lock_guard<std::mutex> g(reg.lock);
    if (notificationID == 0 || mAwaiting != notificationID) return;
    mAwaiting = 0;
    hx::clock::notifyAll(reg.answered);
}

void SystemPowerRegistrant::cancel() {
    {
        std::lock_guard<std::mutex> g(mLock);
        mCancelled = true;
        mSink = nullptr;
    }
    Registry& reg = registry();
    std::lock_guard<std::mutex> g(reg.lock);
    mAwaiting = 0;
    hx::clock::notifyAll(reg.answered);
}

bool SystemPowerRegistrant::isCancelled() const {
    std::lock_guard<std::mutex> g(mLock);
    return mCancelled;
}

std::shared_ptr<SystemPowerRegistrant> registerSystemPower(SystemPowerRegistrant::Sink sink) {
    auto r = std::make_shared<SystemPowerRegistrant>();
    SystemPowerAccess::sink(*r) = std::move(sink);
    Registry& reg = registry();
    std::lock_guard<std::mutex> g(reg.lock);
    reg.registrants.push_back(r);
    return r;
}

size_t systemPowerRegistrantCount() {
    Registry& reg = registry();
    std::lock_guard<std::mutex> g(reg.lock);
    size_t n = 0;
    for (auto& w : reg.registrants)
        if (auto r = w.lock(); r && !r->isCancelled()) ++n;
    return n;
}

size_t sendSystemPowerMessage(UInt32 type) {
    if (!isSystemPowerMessage(type)) return 0;
    const bool awaited = type == kSystemPowerCanSleep || type == kSystemPowerWillSleep;
    Registry& reg = registry();
    std::vector<std::pair<std::shared_ptr<SystemPowerRegistrant>, uint64_t>> told;
    {
        std::lock_guard<std::mutex> g(reg.lock);
        auto& list = reg.registrants;
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [](const std::weak_ptr<SystemPowerRegistrant>& w) {
                                      auto r = w.lock();
                                      return !r || r->isCancelled();
                                  }),
                   list.end());
        for (auto& w : list) {
            auto r = w.lock();
            if (!r) continue;
            const uint64_t id = ++reg.nextID;
            if (awaited) SystemPowerAccess::awaiting(*r) = id;
            told.emplace_back(std::move(r), id);
        }
    }
    size_t sent = 0;
    for (auto& [r, id] : told) {
        std::lock_guard<std::mutex> g(SystemPowerAccess::lock(*r));
        if (SystemPowerAccess::cancelled(*r) || !SystemPowerAccess::sink(*r)) continue;
        SystemPowerAccess::sink (*r)(type, id);
        ++sent;
    }
    if (awaited) {
        std::unique_lock<std::mutex> l(reg.lock);
        hx::clock::waitUntil(reg.answered, l, hx::clock::deadlineAfter(kSystemPowerAnswerNanos),
                             [&] {
                                 for (auto& [r, id] : told)
                                     if (SystemPowerAccess::awaiting(*r) == id) return false;
                                 return true;
                             });
        for (auto& [r, id] : told)
            if (SystemPowerAccess::awaiting(*r) == id) SystemPowerAccess::awaiting(*r) = 0;
    }
    return sent;
}

} // namespace hx::kern
