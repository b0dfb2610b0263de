#include "platform/usb/USBBus.h"

#include "platform/base/HXClock.h"
#include "platform/kern/IOService.h"
#include "platform/kern/WorkQueue.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <thread>

using namespace StandardUSB;

OSDefineMetaClassAndStructors(IOUSBHostDevice, IOService)
    // User space also knows the device nub by the older class name.
    [[maybe_unused]] static const bool gUSBDeviceAlias =
        (hx::kern::addUserClassAlias("IOUSBDevice", "IOUSBHostDevice"),
         // A user process's control requests on a device's default pipe.
         hx::kern::setUserDeviceRequestHandler([](IOService* nub,
                                                  const hx::kern::UserDeviceRequest& r, void* data,
                                                  uint32_t* done) -> IOReturn {
             IOUSBHostDevice* dev = OSDynamicCast(IOUSBHostDevice, nub);
             if (!dev) return kIOReturnUnsupported;
             if (dev->isInactive() || dev->isUnplugged()) return kIOReturnNoDevice;
             DeviceRequest setup{r.requestType, r.request, r.value, r.index, r.length};
             uint32_t moved = 0;
             const IOReturn status = dev->deviceRequest(dev, setup, data, moved);
             *done = moved > r.length ? r.length : moved;
             return status;
         }),
         true);
OSDefineMetaClassAndStructors(IOUSBHostInterface, IOService)
    OSDefineMetaClassAndStructors(IOUSBHostPipe, OSObject)

        namespace hx::usb {

    namespace {
    constexpr uint64_t kFrameNanos = 1000000; // one 1 ms bus frame
    constexpr uint64_t kUnitNanos = 125000;   // one microframe: the grid isochronous packets sit on
    // The host controller fetches an OUT packet's payload from memory this long
    // before the packet's (micro)frame; what the driver writes later is not sent.
    constexpr uint64_t kFetchAheadNanos = kIsochronousFetchAheadFrames * kFrameNanos;
    } // namespace

    bool RequestMatch::matches(const DeviceRequest& s) const {
        return (!requestType || *requestType == s.bmRequestType) &&
               (!request || *request == s.bRequest) && (!value || *value == s.wValue) &&
               (!index || *index == s.wIndex);
    }

    struct FaultRule {
        int id;
        RequestMatch match;
        Fault fault;
        uint32_t remaining; // 0 with `forever`
        bool forever;
        uint32_t hits = 0;
    };

    struct Port {
        IOUSBHostDevice* device = nullptr; // retained while plugged
        std::shared_ptr<DeviceModel> model;
        std::vector<FaultRule> faults;
    };

    // One default-pipe request from submission to completion.
    struct Transfer {
        IOUSBHostDevice* device = nullptr; // retained until the completion ran
        std::shared_ptr<DeviceModel> model;
        uint8_t port = 0;
        DeviceRequest setup{};
        std::vector<uint8_t> data; // wLength bytes: staged OUT data or the IN reply
        void* buffer = nullptr;
        IOMemoryDescriptor* md = nullptr; // retained
        uint64_t dueNanos = 0;            // when the device sees it
        uint64_t deadlineNanos = 0;       // 0: no time-out
        uint64_t deliverNanos = 0;
        bool answered = false;
        bool done = false;
        IOReturn status = kIOReturnSuccess;
        uint32_t length = 0;
        bool async = false;
        IOUSBHostCompletion completion{};
        std::shared_ptr<int> abortGroup; // completions a synchronous abort waits for
    };

    // One isochronous transfer: a frame list served packet by packet at the
    // packets' (micro)frames.
    struct IsochTransfer {
        IOUSBHostPipe* pipe = nullptr;     // retained until the completion ran
        IOUSBHostDevice* device = nullptr; // retained until the completion ran
        std::shared_ptr<DeviceModel> model;
        uint8_t address = 0;
        bool in = false;
        IOMemoryDescriptor* md = nullptr; // retained
        IOUSBHostIsochronousFrame* frames = nullptr;
        uint32_t count = 0;
        std::vector<uint32_t> requests; // copied at submission
        std::vector<uint32_t> offsets;
        std::vector<uint8_t> fetched; // OUT payload as the controller fetched it, at the offsets
        uint64_t firstUnit = 0;
        uint32_t periodUnits = 8;
        uint32_t next = 0;      // next packet to serve
        uint32_t nextFetch = 0; // next OUT packet whose payload is still in the driver's buffer
        IOReturn status = kIOReturnSuccess;
        IOUSBHostIsochronousCompletion completion{};
        std::shared_ptr<int> abortGroup;

        uint64_t unitOf(uint32_t k) const { return firstUnit + (uint64_t)k * periodUnits; }
    };

    // One bulk or interrupt transfer, moved packet by packet. Bulk: up to
    // kBulkPacketsPerMicroframe packets a microframe while the device takes
    // or gives them; interrupt: one packet each interval. A NAK tries again
    // at the next (micro)frame (bulk) or interval (interrupt). At high speed
    // the packets move at their microframes, as a controller polls them;
    // at full speed a frame's worth moves at the frame's start.
    struct BulkTransfer {
        IOUSBHostPipe* pipe = nullptr;     // retained until the completion ran
        IOUSBHostDevice* device = nullptr; // retained until the completion ran
        std::shared_ptr<DeviceModel> model;
        uint8_t address = 0;
        bool in = false;
        bool interrupt = false;
        bool microframes = false; // high speed: served microframe by microframe
        uint32_t maxPacket = 512;
        uint32_t periodUnits = 8;         // interrupt: the interval in 125 us units
        IOMemoryDescriptor* md = nullptr; // retained
        uint32_t length = 0;              // bytes asked for
        std::vector<uint8_t> packet;      // one packet on its way
        uint64_t dueNanos = 0;
        uint64_t deadlineNanos = 0; // 0: no time-out
        IOReturn status = kIOReturnSuccess;
        uint32_t transferred = 0;
        IOUSBHostCompletion completion{};
        std::shared_ptr<int> abortGroup;
    };

    struct BusCore {
        BusOptions options;
        // The frame clock's epoch: the platform time of the first frame's start,
        // moved on by every host pause the bus rode over. Written by the
        // scheduler under the lock, read by frame-number readers without it.
        std::atomic<uint64_t> t0{0};
        uint64_t pauseThreshold = 0; // 0: host pauses are not ridden over
        std::atomic<uint64_t> pausesAbsorbed{0};
        mutable std::mutex lock;
        std::condition_variable wake; // the scheduler's
        std::condition_variable done; // synchronous requests and aborts
        std::vector<Port> ports;
        std::vector<std::shared_ptr<Transfer>> transfers;
        std::vector<std::shared_ptr<IsochTransfer>> isoch; // in submission order
        std::map<IOUSBHostPipe*, std::deque<std::shared_ptr<IsochTransfer>>>
            isochDone;                                   // completions to run, per pipe
        std::vector<uint8_t> packet;                     // one packet's bytes while it is served
        std::vector<std::shared_ptr<BulkTransfer>> bulk; // in submission order
        std::map<IOUSBHostPipe*, std::deque<std::shared_ptr<BulkTransfer>>> bulkDone;
        bool stopping = false;
        bool held = false; // the scheduler serves nothing (a starved host controller)
        uint64_t heldFrom = 0, heldUntil = 0; // the last hold, for the packets it made miss
        int nextFaultID = 1;
        IOService* root = nullptr;
        std::thread scheduler;
        std::unique_ptr<hx::kern::WorkQueue> pool;

        uint64_t epoch() const { return t0.load(std::memory_order_relaxed); }
        std::weak_ptr<BusCore> weakSelf;
        // The device leaves its port and comes back on it (the same model, its
        // state kept), on the kernel thread, once its pending requests ended.
        static void reEnumerate(const std::shared_ptr<BusCore>& self, uint8_t port,
                                IOUSBHostDevice* dev);
        static uint8_t plugInto(const std::shared_ptr<BusCore>& core,
                                std::shared_ptr<DeviceModel> model, uint8_t port);
        // Takes the device off its port; its service is terminated on the
        // kernel thread (inline when already there).
        static void unplugFrom(const std::shared_ptr<BusCore>& core, uint8_t port,
                               bool onKernelThread = false);
        uint64_t frameAt(uint64_t nanos) const {
            const uint64_t e = epoch();
            return options.firstFrame + (nanos > e ? nanos - e : 0) / kFrameNanos;
        }
        uint64_t frameStart(uint64_t frame) const {
            return epoch() + (frame - options.firstFrame) * kFrameNanos;
        }
        uint64_t unitAt(uint64_t nanos) const {
            const uint64_t e = epoch();
            return options.firstFrame * 8 + (nanos > e ? nanos - e : 0) / kUnitNanos;
        }
        uint64_t unitStart(uint64_t unit) const {
            return epoch() + (unit - options.firstFrame * 8) * kUnitNanos;
        }

        // Called by the scheduler (under the lock) on waking at `now` from a wait
        // that was due at `expected` (0: a wait without deadline). A wake-up
        // later than the threshold is a pause of the whole machine: the frame
        // clock and the pending requests' times move on by it.
        void absorbHostPause(uint64_t expected, uint64_t now) {
            if (!pauseThreshold || !expected || now <= expected || now - expected <= pauseThreshold)
                return;
            const uint64_t pause = now - expected;
            t0.store(epoch() + pause, std::memory_order_relaxed);
            for (auto& t : bulk) {
                t->dueNanos += pause;
                if (t->deadlineNanos) t->deadlineNanos += pause;
            }
            for (auto& t : transfers) {
                t->dueNanos += pause;
                if (t->deliverNanos) t->deliverNanos += pause;
                if (t->deadlineNanos) t->deadlineNanos += pause;
            }
            pausesAbsorbed.fetch_add(1, std::memory_order_relaxed);
        }

        // Reading the controller's frame register orders the reader's earlier
        // stores before anything the controller fetches afterwards (an uncached
        // register read does on the hardware); the OUT fetch pairs with it.
        mutable std::atomic<uint64_t> frameReads{0};

        uint64_t frameNumber(AbsoluteTime* theTime) const {
            frameReads.fetch_add(1, std::memory_order_acq_rel);
            const uint64_t f = frameAt(hx::clock::nowNanos());
            if (theTime) *theTime = frameStart(f);
            return f;
        }

        Port* portOf(uint8_t port) {
            return port >= 1 && port <= ports.size() ? &ports[port - 1] : nullptr;
        }

        IOReturn submit(IOUSBHostDevice* dev, const DeviceRequest& setup, void* buffer,
                        IOMemoryDescriptor* md, uint32_t timeoutMs,
                        const IOUSBHostCompletion* completion, std::shared_ptr<Transfer>* out) {
            const bool in = setup.bmRequestType & kRequestDirectionIn;
            if (setup.wLength && !buffer && !md) return kIOReturnBadArgument;
            if (md && md->getLength() < setup.wLength) return kIOReturnBadArgument;
            auto t = std::make_shared<Transfer>();
            t->setup = setup;
            t->data.assign(setup.wLength, 0);
            if (!in && setup.wLength) {
                if (buffer)
                    std::memcpy(t->data.data(), buffer, setup.wLength);
                else
                    md->readBytes(0, t->data.data(), setup.wLength);
            }
            t->buffer = buffer;
            t->md = md;
            if (completion) {
                t->async = true;
                t->completion = *completion;
            }
            std::lock_guard<std::mutex> g(lock);
            Port* p = portOf(dev->mPort);
            if (stopping || dev->isUnplugged() || !p || p->device != dev) return kIOReturnNoDevice;
            const uint64_t now = hx::clock::nowNanos();
            t->device = dev;
            t->model = p->model;
            t->port = dev->mPort;
            t->dueNanos = frameStart(frameAt(now) + 1);
            t->deadlineNanos = timeoutMs ? now + (uint64_t)timeoutMs * kFrameNanos : 0;
            dev->retain();
            if (md) md->retain();
            transfers.push_back(t);
            if (out) *out = t;
            hx::clock::notifyOne(wake);
            return kIOReturnSuccess;
        }

        IOReturn controlSync(IOUSBHostDevice* dev, const DeviceRequest& setup, void* buffer,
                             IOMemoryDescriptor* md, uint32_t& bytes, uint32_t timeoutMs) {
            bytes = 0;
            std::shared_ptr<Transfer> t;
            const IOReturn r = submit(dev, setup, buffer, md, timeoutMs, nullptr, &t);
            if (r != kIOReturnSuccess) return r;
            std::unique_lock<std::mutex> l(lock);
            hx::clock::wait(done, l, [&] { return t->done; });
            bytes = t->length;
            return t->status;
        }

        // Ends a transfer (under the lock): copies the reply, then wakes the
        // waiter or queues the completion.
        void finish(const std::shared_ptr<Transfer>& t, IOReturn status, uint32_t length) {
            t->status = status;
            t->length = status == kIOReturnSuccess ? length : 0;
            const bool in = t->setup.bmRequestType & kRequestDirectionIn;
            if (status == kIOReturnSuccess && in && t->length) {
                if (t->buffer)
                    std::memcpy(t->buffer, t->data.data(), t->length);
                else
                    t->md->writeBytes(0, t->data.data(), t->length);
            }
            t->done = true;
            if (!t->async) {
                hx::clock::notifyAll(done);
                t->device->release(); // the waiter still holds its own
                if (t->md) t->md->release();
                t->device = nullptr;
                return;
            }
            pool->post([this, t] {
                t->completion.action(t->completion.owner, t->completion.parameter, t->status,
                                     t->length);
                IOUSBHostDevice* dev = t->device;
                IOMemoryDescriptor* md = t->md;
                {
                    std::lock_guard<std::mutex> g(lock);
                    if (t->abortGroup) --*t->abortGroup;
                    t->device = nullptr;
                    t->md = nullptr;
                }
                hx::clock::notifyAll(done);
                if (md) md->release();
                dev->release();
            });
        }

        // The first armed fault that matches decides: a stall or failure keeps
        // the request from the device, a delay holds back the device's answer.
        void answer(Transfer& t) {
            uint64_t delayNanos = 0;
            if (Port* p = portOf(t.port)) {
                for (FaultRule& rule : p->faults) {
                    if (!rule.match.matches(t.setup) || (!rule.forever && rule.remaining == 0))
                        continue;
                    ++rule.hits;
                    if (!rule.forever) --rule.remaining;
                    if (rule.fault.kind != Fault::Kind::Delay) {
                        t.status = rule.fault.status;
                        t.length = 0;
                        t.deliverNanos = t.dueNanos;
                        t.answered = true;
                        return;
                    }
                    delayNanos = (uint64_t)rule.fault.delayMs * kFrameNanos;
                    break;
                }
            }
            const ControlResult r = t.model->control(t.setup, t.data.data());
            if (t.model->takeReEnumerationRequest())
                if (std::shared_ptr<BusCore> self = weakSelf.lock())
                    reEnumerate(self, t.port, t.device);
            t.status = r.status;
            t.length = std::min<uint32_t>(r.length, t.setup.wLength);
            t.deliverNanos = t.dueNanos + delayNanos;
            t.answered = true;
        }

        // Queues an isochronous completion (under the lock). Completions of one
        // pipe run one at a time and in order, as a host stack delivers them;
        // different pipes' completions may run at once.
        void finishIsoch(const std::shared_ptr<IsochTransfer>& t) {
            auto& queue = isochDone[t->pipe];
            queue.push_back(t);
            if (queue.size() == 1)
                pool->post([this, pipe = t->pipe] { runIsochCompletions(pipe); });
        }

        void runIsochCompletions(IOUSBHostPipe* key) {
            runCompletions(isochDone, key, [](IsochTransfer& t) {
                t.completion.action(t.completion.owner, t.completion.parameter, t.status, t.frames);
            });
        }

        // Runs one pipe's queued completions in order, then gives back what
        // each transfer held. Either kind of transfer; `call` runs its action.
        template <class Transfer, class Call>
        void runCompletions(std::map<IOUSBHostPipe*, std::deque<std::shared_ptr<Transfer>>>& queues,
                            IOUSBHostPipe* key, Call call) {
            for (;;) {
                std::shared_ptr<Transfer> t;
                {
                    std::lock_guard<std::mutex> g(lock);
                    t = queues[key].front();
                }
                call(*t);
                IOUSBHostPipe* pipe = t->pipe;
                IOUSBHostDevice* dev = t->device;
                IOMemoryDescriptor* md = t->md;
                bool last = false;
                {
                    std::lock_guard<std::mutex> g(lock);
                    if (t->abortGroup) --*t->abortGroup;
                    t->pipe = nullptr;
                    t->device = nullptr;
                    t->md = nullptr;
                    auto it = queues.find(key);
                    it->second.pop_front();
                    last = it->second.empty();
                    if (last) queues.erase(it);
                }
                hx::clock::notifyAll(done);
                md->release();
                pipe->release();
                dev->release();
                if (last) return;
            }
        }

        // Ends the isochronous transfers `which` selects (under the lock): the
        // packets not served yet get `status` and 0 bytes.
        template <class Pred>
        void endIsoch(Pred which, IOReturn status, const std::shared_ptr<int>& group) {
            for (size_t i = 0; i < isoch.size();) {
                std::shared_ptr<IsochTransfer> t = isoch[i];
                if (!which(*t)) {
                    ++i;
                    continue;
                }
                isoch.erase(isoch.begin() + i);
                for (uint32_t k = t->next; k < t->count; ++k) {
                    t->frames[k].status = status;
                    t->frames[k].completeCount = 0;
                }
                t->next = t->count;
                t->status = status;
                if (group) {
                    t->abortGroup = group;
                    ++*group;
                }
                finishIsoch(t);
            }
        }

        // Queues a bulk completion (under the lock); one pipe's run in order.
        void finishBulk(const std::shared_ptr<BulkTransfer>& t, IOReturn status,
                        uint32_t transferred) {
            t->status = status;
            t->transferred = transferred;
            auto& queue = bulkDone[t->pipe];
            queue.push_back(t);
            if (queue.size() == 1) pool->post([this, pipe = t->pipe] { runBulkCompletions(pipe); });
        }

        void runBulkCompletions(IOUSBHostPipe* key) {
            runCompletions(bulkDone, key, [](BulkTransfer& t) {
                t.completion.action(t.completion.owner, t.completion.parameter, t.status,
                                    t.transferred);
            });
        }

        template <class Pred>
        void endBulk(Pred which, IOReturn status, const std::shared_ptr<int>& group) {
            for (size_t i = 0; i < bulk.size();) {
                std::shared_ptr<BulkTransfer> t = bulk[i];
                if (!which(*t)) {
                    ++i;
                    continue;
                }
                bulk.erase(bulk.begin() + i);
                if (group) {
                    t->abortGroup = group;
                    ++*group;
                }
                finishBulk(t, status, t->transferred);
            }
        }

        // Serves the bulk and interrupt transfers due at `now`, one transfer
        // per endpoint at a time, in submission order. Returns when the next
        // one is due.
        uint64_t serveBulk(uint64_t now) {
            uint64_t next = UINT64_MAX;
            // Per endpoint: the packets it may still move in this (micro)frame,
            // or nothing once a transfer of it waits (NAK) for a later one.
            std::map<std::pair<IOUSBHostDevice*, uint8_t>, uint32_t> budget;
            const uint64_t frame = frameAt(now);
            const uint64_t unit = unitAt(now);
            for (size_t i = 0; i < bulk.size();) {
                std::shared_ptr<BulkTransfer> t = bulk[i];
                if (t->deadlineNanos && t->deadlineNanos <= now) {
                    bulk.erase(bulk.begin() + i);
                    finishBulk(t, kIOReturnTimeout, t->transferred);
                    continue;
                }
                const auto [left, first] =
                    budget.try_emplace({t->device, t->address}, packetBudget(*t, unit));
                if (t->dueNanos <= now && (first || left->second > 0)) {
                    if (std::optional<IOReturn> end = movePackets(
                            *t, frame, t->microframes ? unit : frame * 8, left->second)) {
                        bulk.erase(bulk.begin() + i);
                        finishBulk(t, *end, t->transferred);
                        continue; // the pipe's next transfer goes on in this (micro)frame
                    }
                    left->second = 0;
                    t->dueNanos = retryAt(*t, frame, unit);
                } else if (t->dueNanos <= now) {
                    left->second = 0;
                    // Its pipe's earlier transfer waits.
                    t->dueNanos = t->microframes ? unitStart(unit + 1) : frameStart(frame + 1);
                }
                next = std::min(next, t->dueNanos);
                if (t->deadlineNanos) next = std::min(next, t->deadlineNanos);
                ++i;
            }
            return next;
        }

        // When a transfer that moved what it could (or was NAKed) tries
        // again: bulk at the next (micro)frame, interrupt at its next
        // interval.
        uint64_t retryAt(const BulkTransfer& t, uint64_t frame, uint64_t unit) const {
            if (t.microframes) {
                const uint64_t step = t.interrupt ? std::max<uint32_t>(t.periodUnits, 1) : 1;
                return unitStart((unit / step + 1) * step);
            }
            const uint64_t step = t.interrupt ? std::max<uint64_t>(t.periodUnits / 8, 1) : 1;
            return frameStart(frame + step);
        }

        // The packets a transfer may move in one service: bulk several a
        // microframe (a frame's worth at full speed), interrupt one an
        // interval.
        static uint32_t packetBudget(const BulkTransfer& t, uint64_t unit) {
            if (t.microframes) {
                if (!t.interrupt) return kBulkPacketsPerMicroframe;
                return unit % std::max<uint32_t>(t.periodUnits, 1) == 0 ? 1 : 0;
            }
            if (!t.interrupt) return 8 * kBulkPacketsPerMicroframe;
            return t.periodUnits >= 8 ? 1 : 8 / t.periodUnits;
        }

        // Moves the transfer's packets due in `frame` (at grid unit `unit`),
        // at most `budget` (counted down); the status that ends it (a short
        // packet, the whole length, an error), or nothing while it goes on.
        std::optional<IOReturn> movePackets(BulkTransfer& t, uint64_t frame, uint64_t unit,
                                            uint32_t& budget) {
            for (; budget > 0; --budget) {
                const uint32_t want = std::min(t.maxPacket, t.length - t.transferred);
                t.packet.resize(want);
                if (!t.in && want) t.md->readBytes(t.transferred, t.packet.data(), want);
                const IsochResult r =
                    t.in ? t.model->transferIn(t.address, frame, t.packet.data(), want, unit)
                         : t.model->transferOut(t.address, frame, t.packet.data(), want, unit);
                if (r.status == kIOReturnNotReady) return std::nullopt;
                if (r.status != kIOReturnSuccess) return r.status;
                const uint32_t moved = std::min(r.length, want);
                if (t.in) landPacket(t, moved);
                t.transferred += moved;
                if (moved < t.maxPacket || t.transferred >= t.length) {
                    --budget;
                    return kIOReturnSuccess;
                }
            }
            return std::nullopt;
        }

        // An IN packet lands in the buffer as the controller writes it: its
        // last 8 bytes last, with release order, so a reader that loads them
        // with acquire sees the whole packet.
        static void landPacket(BulkTransfer& t, uint32_t moved) {
            auto* base = static_cast<uint8_t*>(t.md->kernelAddress()) + t.transferred;
            const uint32_t head = moved >= 8 ? moved - 8 : 0;
            std::memcpy(base, t.packet.data(), head);
            uint8_t* tail = base + head;
            if (moved >= 8 && reinterpret_cast<uintptr_t>(tail) % 4 == 0) {
                uint32_t words[2];
                std::memcpy(words, t.packet.data() + head, 8);
                std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(tail))
                    .store(words[0], std::memory_order_release);
                std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(tail + 4))
                    .store(words[1], std::memory_order_release);
            } else {
                std::atomic_thread_fence(std::memory_order_release);
                std::memcpy(tail, t.packet.data() + head, moved - head);
            }
        }

        // True for a packet whose slot passed while the scheduler was held: a
        // starved controller missed it. The scheduler thread merely running late
        // misses nothing, as a controller that keeps its own time would not.
        bool missedInHold(uint64_t start) const {
            const uint64_t end = start + kFrameNanos;
            return heldUntil > heldFrom && end > heldFrom && end <= heldUntil;
        }

        // Fetches the OUT payload of every packet whose fetch time has come
        // (the controller reads it ahead of the packet's (micro)frame).
        void fetchOut(IsochTransfer& t, uint64_t now) {
            while (t.nextFetch < t.count &&
                   unitStart(t.unitOf(t.nextFetch)) <= now + kFetchAheadNanos) {
                const uint32_t k = t.nextFetch++;
                frameReads.load(std::memory_order_acquire);
                if (t.requests[k])
                    t.md->readBytes(t.offsets[k], t.fetched.data() + t.offsets[k], t.requests[k]);
            }
        }

        // Serves packet k at its (micro)frame: the OUT payload is the one fetched
        // ahead (serveIsochronous has fetched up to a frame past `now`, so every
        // packet due now is in), the IN payload is written now.
        void serveIsoch(IsochTransfer& t) {
            const uint32_t k = t.next++;
            IOUSBHostIsochronousFrame& f = t.frames[k];
            const uint64_t unit = t.unitOf(k);
            const uint64_t start = unitStart(unit);
            f.timeStamp = hx::clock::nanosToTicks(start);
            IsochResult r{kIOReturnIsoTooOld, 0};
            if (!missedInHold(start)) {
                const IsochSlot slot{unit / 8, (uint8_t)(unit % 8), unit, t.periodUnits};
                const uint32_t n = t.requests[k];
                if (t.in) {
                    if (packet.size() < n) packet.resize(n);
                    r = t.model->isochronousIn(t.address, slot, packet.data(), n);
                    if (r.length) t.md->writeBytes(t.offsets[k], packet.data(), r.length);
                } else {
                    r = t.model->isochronousOut(t.address, slot, t.fetched.data() + t.offsets[k],
                                                n);
                    if (r.status == kIOReturnSuccess) r.length = n;
                }
            }
            f.status = r.status;
            f.completeCount = r.status == kIOReturnSuccess ? r.length : 0;
            if (f.status != kIOReturnSuccess && t.status == kIOReturnSuccess) t.status = f.status;
        }

        // Serves every isochronous packet whose (micro)frame has come, slot by
        // slot and within a slot OUT before IN (a device sees the host's data of
        // a microframe before answering its IN tokens); completes transfers whose
        // last packet's period is over. Returns when the next one is due.
        uint64_t serveIsochronous(uint64_t now) {
            for (auto& t : isoch)
                if (!t->in) fetchOut(*t, now);
            for (;;) {
                uint64_t unit = UINT64_MAX;
                for (auto& t : isoch)
                    if (t->next < t->count && unitStart(t->unitOf(t->next)) <= now)
                        unit = std::min(unit, t->unitOf(t->next));
                if (unit == UINT64_MAX) break;
                for (bool in : {false, true})
                    for (auto& t : isoch)
                        if (t->in == in && t->next < t->count && t->unitOf(t->next) == unit)
                            serveIsoch(*t);
            }
            uint64_t next = UINT64_MAX;
            for (size_t i = 0; i < isoch.size();) {
                std::shared_ptr<IsochTransfer> t = isoch[i];
                if (t->next < t->count) {
                    next = std::min(next, unitStart(t->unitOf(t->next)));
                    if (!t->in && t->nextFetch < t->count) {
                        const uint64_t at = unitStart(t->unitOf(t->nextFetch));
                        next = std::min(next, at > kFetchAheadNanos ? at - kFetchAheadNanos : 0);
                    }
                } else {
                    const uint64_t end = unitStart(t->unitOf(t->count - 1) + t->periodUnits);
                    if (end <= now) {
                        isoch.erase(isoch.begin() + i);
                        finishIsoch(t);
                        continue;
                    }
                    next = std::min(next, end);
                }
                ++i;
            }
            return next;
        }

        void run() {
            std::unique_lock<std::mutex> l(lock);
            uint64_t expected = 0; // when the last wait was due; 0: none
            while (!stopping) {
                if (held) {
                    hx::clock::wait(wake, l);
                    expected = 0;
                    continue;
                }
                const uint64_t now = hx::clock::nowNanos();
                absorbHostPause(expected, now);
                uint64_t next = std::min(serveIsochronous(now), serveBulk(now));
                for (size_t i = 0; i < transfers.size();) {
                    std::shared_ptr<Transfer> t = transfers[i];
                    if (!t->answered && t->dueNanos <= now) answer(*t);
                    if (t->answered && t->deadlineNanos && t->deliverNanos > t->deadlineNanos) {
                        if (t->deadlineNanos <= now) {
                            transfers.erase(transfers.begin() + i);
                            finish(t, kIOReturnTimeout, 0);
                            continue;
                        }
                        next = std::min(next, t->deadlineNanos);
                    } else if (t->answered && t->deliverNanos <= now) {
                        transfers.erase(transfers.begin() + i);
                        finish(t, t->status, t->length);
                        continue;
                    } else {
                        next = std::min(next, t->answered ? t->deliverNanos : t->dueNanos);
                    }
                    ++i;
                }
                expected = next == UINT64_MAX ? 0 : next;
                hx::clock::waitUntil(wake, l, next); // UINT64_MAX is the clock's kForever
            }
        }

        // Ends the device's pending requests (under the lock); returns how many
        // asynchronous completions that queued, counted in `group`.
        void endTransfersOf(IOUSBHostDevice* dev, IOReturn status,
                            const std::shared_ptr<int>& group, bool withIsochronous = false) {
            if (withIsochronous) {
                endIsoch([dev](const IsochTransfer& t) { return t.device == dev; }, status, group);
                endBulk([dev](const BulkTransfer& t) { return t.device == dev; }, status, group);
            }
            for (size_t i = 0; i < transfers.size();) {
                std::shared_ptr<Transfer> t = transfers[i];
                if (t->device != dev) {
                    ++i;
                    continue;
                }
                transfers.erase(transfers.begin() + i);
                if (group && t->async) {
                    t->abortGroup = group;
                    ++*group;
                }
                finish(t, status, 0);
            }
        }

        void abortDevice(IOUSBHostDevice* dev, IOReturn status, bool wait,
                         bool withIsochronous = false) {
            auto group = std::make_shared<int>(0);
            std::unique_lock<std::mutex> l(lock);
            endTransfersOf(dev, status, group, withIsochronous);
            // A bus thread cannot wait for the completions queued behind it.
            if (wait && !pool->isCurrentThread())
                hx::clock::wait(done, l, [&] { return *group == 0; });
        }

        void shutdown() {
            {
                std::lock_guard<std::mutex> g(lock);
                stopping = true;
                for (auto& t : transfers)
                    finish(t, kIOReturnNoDevice, 0);
                transfers.clear();
                endIsoch([](const IsochTransfer&) { return true; }, kIOReturnNoDevice, nullptr);
                endBulk([](const BulkTransfer&) { return true; }, kIOReturnNoDevice, nullptr);
            }
            hx::clock::notifyAll(wake);
            if (scheduler.joinable()) scheduler.join();
            pool.reset(); // runs the completions still queued
            OSSafeReleaseNULL(root);
        }
    };

    // ---- Bus

    Bus::Bus(BusOptions options) : mCore(std::make_shared<BusCore>()) {
        if (options.firstFrame == 0) options.firstFrame = 1;
        if (options.completionThreads < 2) options.completionThreads = 2;
        if (options.ports == 0) options.ports = 1;
        mCore->options = options;
        mCore->weakSelf = mCore;
        mCore->t0 = hx::clock::nowNanos();
        mCore->pauseThreshold = hx::clock::isVirtual() ? 0 : kHostPauseThresholdNanos;
        mCore->ports.resize(options.ports);
        mCore->root = new IOService;
        mCore->root->init();
        mCore->root->setName("HXUSBHostController");
        mCore->pool =
            std::make_unique<hx::kern::WorkQueue>("usb-completion", options.completionThreads);
        BusCore* core = mCore.get();
        // The scheduler takes part in virtual time: a frame advances only once
        // the threads it woke are waiting again.
        hx::clock::Reservation seat;
        mCore->scheduler = std::thread([core, seat = std::move(seat)]() mutable {
            hx::clock::Participant participant(std::move(seat));
            core->run();
        });
    }

    Bus::~Bus() {
        for (uint8_t p = 1; p <= mCore->ports.size(); ++p)
            unplug(p);
        hx::kern::waitQuiet();
        mCore->shutdown();
    }

    uint32_t Bus::locationIDForPort(uint8_t port) {
        return 0x14000000u | ((uint32_t)port << 20);
    }

    uint64_t Bus::frameNumber() const {
        return mCore->frameNumber(nullptr);
    }

    void Bus::setHostPauseThreshold(uint64_t nanos) {
        std::lock_guard<std::mutex> g(mCore->lock);
        mCore->pauseThreshold = nanos;
    }

    uint64_t Bus::hostPausesAbsorbed() const {
        return mCore->pausesAbsorbed.load(std::memory_order_relaxed);
    }

    void Bus::holdScheduling(bool hold) {
        {
            std::lock_guard<std::mutex> g(mCore->lock);
            const uint64_t now = hx::clock::nowNanos();
            if (hold && !mCore->held) mCore->heldFrom = now;
            if (!hold && mCore->held) mCore->heldUntil = now;
            mCore->held = hold;
        }
        hx::clock::notifyAll(mCore->wake);
    }

    uint8_t BusCore::plugInto(const std::shared_ptr<BusCore>& core,
                              std::shared_ptr<DeviceModel> model, uint8_t port) {
        if (!model) return 0;
        std::span<const uint8_t> dd = model->deviceDescriptor();
        if (dd.size() < sizeof(DeviceDescriptor)) return 0;
        IOUSBHostDevice* dev = new IOUSBHostDevice;
        {
            std::lock_guard<std::mutex> g(core->lock);
            if (port == 0) {
                for (uint8_t p = 1; p <= core->ports.size() && !port; ++p)
                    if (!core->ports[p - 1].device) port = p;
            }
            Port* p = core->portOf(port);
            if (!p || p->device) {
                dev->release();
                return 0;
            }
            p->device = dev;
            p->model = model;
        }
        // Enumeration: the stack caches the device and configuration descriptors.
        dev->init();
        dev->mBus = core;
        dev->mPort = port;
        dev->mSpeed = model->speed();
        dev->mDeviceDescriptor.assign(dd.begin(), dd.end());
        const auto* d = reinterpret_cast<const DeviceDescriptor*>(dev->mDeviceDescriptor.data());
        for (uint8_t i = 0; i < d->bNumConfigurations; ++i) {
            std::span<const uint8_t> c = model->configurationDescriptor(i);
            dev->mConfigurations.emplace_back(c.begin(), c.end());
        }
        dev->setName("IOUSBHostDevice");
        dev->setProperty("idVendor", d->idVendor, 16);
        dev->setProperty("idProduct", d->idProduct, 16);
        dev->setProperty("bcdDevice", d->bcdDevice, 16);
        dev->setProperty("bDeviceClass", d->bDeviceClass, 8);
        dev->setProperty("bDeviceSubClass", d->bDeviceSubClass, 8);
        dev->setProperty("bDeviceProtocol", d->bDeviceProtocol, 8);
        dev->setProperty("locationID", Bus::locationIDForPort(port), 32);
        dev->setProperty("Device Speed", model->speed(), 8);
        dev->attach(core->root);
        dev->registerService();
        return port;
    }

    void BusCore::unplugFrom(const std::shared_ptr<BusCore>& core, uint8_t port,
                             bool onKernelThread) {
        IOUSBHostDevice* dev = nullptr;
        {
            std::lock_guard<std::mutex> g(core->lock);
            Port* p = core->portOf(port);
            if (!p || !p->device) return;
            dev = p->device;
            p->device = nullptr;
            p->model.reset();
            dev->mUnplugged.store(true);
            core->endTransfersOf(dev, kIOReturnNoDevice, nullptr, true);
        }
        auto end = [dev] {
            dev->terminate(0);
            // After the second phases that terminate queued.
            hx::kern::postToKernelThread([dev] { dev->release(); });
        };
        if (onKernelThread)
            end();
        else
            hx::kern::postToKernelThread(end);
    }

    void BusCore::reEnumerate(const std::shared_ptr<BusCore>& self, uint8_t port,
                              IOUSBHostDevice* dev) {
        if (!dev) return;
        dev->retain();
        hx::kern::postToKernelThread([self, port, dev] {
            // The request that asked for it is answered first.
            for (;;) {
                bool pending = false;
                {
                    std::lock_guard<std::mutex> g(self->lock);
                    for (const auto& t : self->transfers)
                        pending |= t->device == dev && !t->done;
                }
                if (!pending) break;
                hx::clock::sleepFor(kFrameNanos);
            }
            std::shared_ptr<DeviceModel> model;
            {
                std::lock_guard<std::mutex> g(self->lock);
                if (Port* p = self->portOf(port); p && p->device == dev) model = p->model;
            }
            dev->release();
            if (!model) return;
            unplugFrom(self, port, true);
            // Back on its port once the old service has gone.
            hx::kern::postToKernelThread([self, model, port] { plugInto(self, model, port); });
        });
    }

    uint8_t Bus::plug(std::shared_ptr<DeviceModel> model, uint8_t port) {
        return BusCore::plugInto(mCore, std::move(model), port);
    }

    void Bus::unplug(uint8_t port) {
        BusCore::unplugFrom(mCore, port);
    }

    IOUSBHostDevice* Bus::copyDevice(uint8_t port) const {
        std::lock_guard<std::mutex> g(mCore->lock);
        Port* p = mCore->portOf(port);
        if (!p || !p->device) return nullptr;
        p->device->retain();
        return p->device;
    }

    int Bus::addFault(uint8_t port, const RequestMatch& match, const Fault& fault, uint32_t count) {
        std::lock_guard<std::mutex> g(mCore->lock);
        Port* p = mCore->portOf(port);
        if (!p) return 0;
        const int id = mCore->nextFaultID++;
        p->faults.push_back({id, match, fault, count, count == 0});
        return id;
    }

    int Bus::failDeviceDescriptorReads(uint8_t port, uint32_t count, const Fault& fault) {
        RequestMatch m;
        m.requestType = kRequestDirectionIn | kRequestTypeStandard | kRequestRecipientDevice;
        m.request = kDeviceRequestGetDescriptor;
        m.value = kDescriptorTypeDevice << 8;
        return count ? addFault(port, m, fault, count) : 0;
    }

    uint32_t Bus::faultHits(uint8_t port, int faultID) const {
        std::lock_guard<std::mutex> g(mCore->lock);
        Port* p = mCore->portOf(port);
        if (!p) return 0;
        for (const FaultRule& r : p->faults)
            if (r.id == faultID) return r.hits;
        return 0;
    }

    void Bus::clearFaults(uint8_t port) {
        std::lock_guard<std::mutex> g(mCore->lock);
        if (Port* p = mCore->portOf(port)) p->faults.clear();
    }

} // namespace hx::usb

// ---- IOUSBHostDevice

using hx::usb::BusCore;

bool IOUSBHostDevice::isUnplugged() const {
    return mUnplugged.load();
}

const DeviceDescriptor* IOUSBHostDevice::getDeviceDescriptor() const {
    return mDeviceDescriptor.size() >= sizeof(DeviceDescriptor)
               ? reinterpret_cast<const DeviceDescriptor*>(mDeviceDescriptor.data())
               : nullptr;
}

const ConfigurationDescriptor* IOUSBHostDevice::getConfigurationDescriptor(uint8_t index) const {
    if (index >= mConfigurations.size() ||
        mConfigurations[index].size() < sizeof(ConfigurationDescriptor))
        return nullptr;
    return reinterpret_cast<const ConfigurationDescriptor*>(mConfigurations[index].data());
}

const StringDescriptor* IOUSBHostDevice::getStringDescriptor(uint8_t index, uint16_t languageID) {
    const uint32_t key = ((uint32_t)languageID << 8) | index;
    {
        std::lock_guard<std::mutex> g(mLock);
        auto it = mStrings.find(key);
        if (it != mStrings.end())
            return reinterpret_cast<const StringDescriptor*>(it->second.data());
    }
    uint8_t reply[255] = {};
    DeviceRequest r{kRequestDirectionIn | kRequestTypeStandard | kRequestRecipientDevice,
                    kDeviceRequestGetDescriptor, (uint16_t)((kDescriptorTypeString << 8) | index),
                    languageID, sizeof reply};
    uint32_t bytes = 0;
    if (deviceRequest(this, r, reply, bytes) != kIOReturnSuccess || bytes < 2 ||
        reply[1] != kDescriptorTypeString)
        return nullptr;
    // Kept in a zeroed 256-byte block: a reader trusting the length byte
    // never runs past what the device sent.
    std::vector<uint8_t> block(256, 0);
    std::memcpy(block.data(), reply, bytes);
    std::lock_guard<std::mutex> g(mLock);
    auto it = mStrings.emplace(key, std::move(block)).first;
    return reinterpret_cast<const StringDescriptor*>(it->second.data());
}

uint64_t IOUSBHostDevice::getFrameNumber(AbsoluteTime* theTime) const {
    if (isUnplugged() || !mBus) {
        if (theTime) *theTime = 0;
        return 0;
    }
    return mBus->frameNumber(theTime);
}

IOReturn IOUSBHostDevice::deviceRequest(IOService*, DeviceRequest& request, void* dataBuffer,
                                        uint32_t& bytesTransferred, uint32_t completionTimeoutMs) {
    if (!mBus) return kIOReturnNoDevice;
    return mBus->controlSync(this, request, dataBuffer, nullptr, bytesTransferred,
                             completionTimeoutMs);
}

IOReturn IOUSBHostDevice::deviceRequest(IOService*, DeviceRequest& request,
                                        IOMemoryDescriptor* dataBuffer, uint32_t& bytesTransferred,
                                        uint32_t completionTimeoutMs) {
    if (!mBus) return kIOReturnNoDevice;
    return mBus->controlSync(this, request, nullptr, dataBuffer, bytesTransferred,
                             completionTimeoutMs);
}

IOReturn IOUSBHostDevice::deviceRequest(IOService*, DeviceRequest& request,
                                        IOMemoryDescriptor* dataBuffer,
                                        IOUSBHostCompletion* completion,
                                        uint32_t completionTimeoutMs) {
    if (!completion || !completion->action) return kIOReturnBadArgument;
    if (!mBus) return kIOReturnNoDevice;
    return mBus->submit(this, request, nullptr, dataBuffer, completionTimeoutMs, completion,
                        nullptr);
}

IOReturn IOUSBHostDevice::abortDeviceRequests(IOOptionBits options, IOReturn withError) {
    if (!mBus) return kIOReturnNoDevice;
    mBus->abortDevice(this, withError, options & kAbortSynchronous);
    return kIOReturnSuccess;
}

IOReturn IOUSBHostDevice::setConfiguration(uint8_t configurationValue, bool matchInterfaces) {
    if (isUnplugged() || !mBus) return kIOReturnNoDevice;
    DeviceRequest r{kRequestDirectionOut | kRequestTypeStandard | kRequestRecipientDevice,
                    kDeviceRequestSetConfiguration, configurationValue, 0, 0};
    uint32_t bytes = 0;
    const IOReturn status = deviceRequest(this, r, (void*)nullptr, bytes);
    if (status != kIOReturnSuccess) return status;
    dropInterfaces();
    if (configurationValue == 0) return kIOReturnSuccess;
    const ConfigurationDescriptor* config = nullptr;
    for (uint8_t i = 0; i < mConfigurations.size() && !config; ++i) {
        const ConfigurationDescriptor* c = getConfigurationDescriptor(i);
        if (c && c->bConfigurationValue == configurationValue) config = c;
    }
    if (!config) return kIOReturnNotFound;
    const DeviceDescriptor* d = getDeviceDescriptor();
    std::vector<IOUSBHostInterface*> made;
    for (const InterfaceDescriptor* i = getNextInterfaceDescriptor(config, nullptr); i;
         i = getNextInterfaceDescriptor(config, reinterpret_cast<const Descriptor*>(i))) {
        if (i->bAlternateSetting != 0) continue;
        IOUSBHostInterface* intf = new IOUSBHostInterface;
        intf->init();
        intf->mDevice = this;
        intf->mConfig = config;
        intf->mCurrent.store(i);
        intf->setName("IOUSBHostInterface");
        intf->setProperty("bInterfaceNumber", i->bInterfaceNumber, 8);
        intf->setProperty("bAlternateSetting", i->bAlternateSetting, 8);
        intf->setProperty("bInterfaceClass", i->bInterfaceClass, 8);
        intf->setProperty("bInterfaceSubClass", i->bInterfaceSubClass, 8);
        intf->setProperty("bInterfaceProtocol", i->bInterfaceProtocol, 8);
        intf->setProperty("bConfigurationValue", config->bConfigurationValue, 8);
        intf->setProperty("idVendor", d->idVendor, 16);
        intf->setProperty("idProduct", d->idProduct, 16);
        intf->attach(this);
        made.push_back(intf);
    }
    {
        std::lock_guard<std::mutex> g(mLock);
        mInterfaces = made;
    }
    if (matchInterfaces)
        for (IOUSBHostInterface* intf : made)
            intf->registerService();
    return kIOReturnSuccess;
}

IOReturn IOUSBHostDevice::reEnumerateDevice(IOOptionBits) {
    if (isUnplugged() || !mBus) return kIOReturnNoDevice;
    hx::usb::BusCore::reEnumerate(mBus, mPort, this);
    return kIOReturnSuccess;
}

IOReturn IOUSBHostDevice::reset() {
    if (isUnplugged() || !mBus) return kIOReturnNoDevice;
    mBus->abortDevice(this, kIOReturnAborted, false, true);
    std::shared_ptr<hx::usb::DeviceModel> model;
    {
        std::lock_guard<std::mutex> g(mBus->lock);
        if (hx::usb::Port* p = mBus->portOf(mPort); p && p->device == this) model = p->model;
    }
    if (!model) return kIOReturnNoDevice;
    model->busReset();
    dropInterfaces();
    return kIOReturnSuccess;
}

void IOUSBHostDevice::dropInterfaces() {
    std::vector<IOUSBHostInterface*> gone;
    {
        std::lock_guard<std::mutex> g(mLock);
        gone.swap(mInterfaces);
    }
    for (IOUSBHostInterface* i : gone) {
        i->dropPipes();
        i->terminate(0);
        i->release();
    }
}

bool IOUSBHostDevice::finalize(IOOptionBits options) {
    dropInterfaces();
    return IOService::finalize(options);
}

void IOUSBHostDevice::free() {
    dropInterfaces();
    mBus.reset();
    IOService::free();
}

// ---- IOUSBHostInterface

const InterfaceDescriptor* IOUSBHostInterface::getInterfaceDescriptor() const {
    return mCurrent.load();
}

uint64_t IOUSBHostInterface::getFrameNumber(AbsoluteTime* theTime) const {
    return mDevice ? mDevice->getFrameNumber(theTime) : 0;
}

IOReturn IOUSBHostInterface::selectAlternateSetting(uint8_t bAlternateSetting) {
    if (!mDevice || mDevice->isUnplugged()) return kIOReturnNoDevice;
    if (isInactive()) return kIOReturnNotAttached;
    const InterfaceDescriptor* now = mCurrent.load();
    DeviceRequest r{kRequestDirectionOut | kRequestTypeStandard | kRequestRecipientInterface,
                    kDeviceRequestSetInterface, bAlternateSetting, now->bInterfaceNumber, 0};
    uint32_t bytes = 0;
    const IOReturn status = mDevice->deviceRequest(this, r, (void*)nullptr, bytes);
    if (status != kIOReturnSuccess) return status;
    for (const InterfaceDescriptor* i = getNextInterfaceDescriptor(mConfig, nullptr); i;
         i = getNextInterfaceDescriptor(mConfig, reinterpret_cast<const Descriptor*>(i))) {
        if (i->bInterfaceNumber == now->bInterfaceNumber &&
            i->bAlternateSetting == bAlternateSetting) {
            dropPipes();
            mCurrent.store(i);
            setProperty("bAlternateSetting", bAlternateSetting, 8);
            return kIOReturnSuccess;
        }
    }
    return kIOReturnNotFound;
}

IOUSBHostPipe* IOUSBHostInterface::copyPipe(uint8_t address) {
    if (isInactive() || !mDevice) return nullptr;
    std::lock_guard<std::mutex> g(mLock);
    auto it = mPipes.find(address);
    if (it == mPipes.end()) {
        const InterfaceDescriptor* current = mCurrent.load();
        const EndpointDescriptor* found = nullptr;
        for (const EndpointDescriptor* e = getNextEndpointDescriptor(mConfig, current, nullptr);
             e && !found; e = getNextEndpointDescriptor(mConfig, current,
                                                        reinterpret_cast<const Descriptor*>(e)))
            if (e->bEndpointAddress == address) found = e;
        if (!found) return nullptr;
        IOUSBHostPipe* pipe = new IOUSBHostPipe;
        pipe->mDevice = mDevice;
        mDevice->retain();
        std::memcpy(&pipe->mEndpoint, found, sizeof pipe->mEndpoint);
        it = mPipes.emplace(address, pipe).first;
    }
    it->second->retain();
    return it->second;
}

bool IOUSBHostInterface::open(IOService* forClient, IOOptionBits options, void* arg) {
    if (!IOService::open(forClient, options, arg)) return false;
    if (options & kUSBHostOpenOptionSelectAlternateInterface) {
        if (selectAlternateSetting((uint8_t)(uintptr_t)arg) != kIOReturnSuccess) {
            close(forClient);
            return false;
        }
    }
    return true;
}

void IOUSBHostInterface::dropPipes() {
    std::map<uint8_t, IOUSBHostPipe*> gone;
    {
        std::lock_guard<std::mutex> g(mLock);
        gone.swap(mPipes);
    }
    for (auto& [address, pipe] : gone) {
        pipe->mStale.store(true);
        pipe->abort(kAbortAsynchronous, kIOReturnAborted);
        pipe->release();
    }
}

void IOUSBHostInterface::free() {
    dropPipes();
    IOService::free();
}

// ---- IOUSBHostPipe

IOReturn IOUSBHostPipe::clearStall(bool withRequest) {
    if (!mDevice || mDevice->isUnplugged()) return kIOReturnNoDevice;
    if (isStale()) return kIOReturnNotAttached;
    if (!withRequest) return kIOReturnSuccess;
    DeviceRequest r{kRequestDirectionOut | kRequestTypeStandard | kRequestRecipientEndpoint,
                    kDeviceRequestClearFeature, kFeatureEndpointHalt, mEndpoint.bEndpointAddress,
                    0};
    uint32_t bytes = 0;
    return mDevice->deviceRequest(nullptr, r, (void*)nullptr, bytes);
}

IOReturn IOUSBHostPipe::abort(IOOptionBits options, IOReturn withError, IOService*) {
    if (!mDevice || !mDevice->mBus) return kIOReturnNoDevice;
    BusCore& bus = *mDevice->mBus;
    auto group = std::make_shared<int>(0);
    std::unique_lock<std::mutex> l(bus.lock);
    bus.endIsoch([this](const hx::usb::IsochTransfer& t) { return t.pipe == this; }, withError,
                 group);
    bus.endBulk([this](const hx::usb::BulkTransfer& t) { return t.pipe == this; }, withError,
                group);
    if ((options & kAbortSynchronous) && !bus.pool->isCurrentThread())
        hx::clock::wait(bus.done, l, [&] { return *group == 0; });
    return mDevice->isUnplugged() ? kIOReturnNoDevice : kIOReturnSuccess;
}

uint64_t IOUSBHostPipe::getFrameNumber(AbsoluteTime* theTime) const {
    if (!mDevice) {
        if (theTime) *theTime = 0;
        return 0;
    }
    return mDevice->getFrameNumber(theTime);
}

IOReturn IOUSBHostPipe::io(IOMemoryDescriptor* dataBuffer, IOUSBHostIsochronousFrame* frameList,
                           uint32_t frameListCount, uint64_t firstFrameNumber,
                           IOUSBHostIsochronousCompletion* completion) {
    if (!mDevice || !mDevice->mBus || mDevice->isUnplugged()) return kIOReturnNoDevice;
    if (isStale()) return kIOReturnNotAttached;
    if (getEndpointType(&mEndpoint) != kEndpointTypeIsochronous || !dataBuffer || !frameList ||
        frameListCount == 0 || !completion || !completion->action)
        return kIOReturnBadArgument;
    const bool highSpeed = mDevice->getSpeed() >= kUSBHostConnectionSpeedHigh;
    const uint16_t wMax = mEndpoint.wMaxPacketSize;
    const uint32_t maxPacket =
        getEndpointMaxPacketSize(&mEndpoint) * (highSpeed ? 1 + ((wMax >> 11) & 3) : 1);
    const uint8_t interval = std::clamp<uint8_t>(mEndpoint.bInterval, 1, 16);
    auto t = std::make_shared<hx::usb::IsochTransfer>();
    t->periodUnits = highSpeed ? 1u << (interval - 1) : 8u << (interval - 1);
    t->requests.resize(frameListCount);
    t->offsets.resize(frameListCount);
    uint64_t total = 0;
    for (uint32_t k = 0; k < frameListCount; ++k) {
        const uint32_t n = frameList[k].requestCount;
        if (n > maxPacket) return kIOReturnBadArgument;
        t->requests[k] = n;
        t->offsets[k] = (uint32_t)total;
        total += n;
    }
    if (total > dataBuffer->getLength()) return kIOReturnBadArgument;
    t->address = mEndpoint.bEndpointAddress;
    t->in = isEndpointIn(&mEndpoint);
    if (!t->in) t->fetched.assign(total, 0);
    t->frames = frameList;
    t->count = frameListCount;
    t->firstUnit = firstFrameNumber * 8;
    t->completion = *completion;
    BusCore& bus = *mDevice->mBus;
    std::lock_guard<std::mutex> g(bus.lock);
    hx::usb::Port* p = bus.portOf(mDevice->mPort);
    if (bus.stopping || mDevice->isUnplugged() || !p || p->device != mDevice)
        return kIOReturnNoDevice;
    // The first packet's frame must still be ahead of the bus.
    if (firstFrameNumber <= bus.frameAt(hx::clock::nowNanos())) return kIOReturnIsoTooOld;
    for (uint32_t k = 0; k < frameListCount; ++k) {
        frameList[k].status = kIOReturnNotReady;
        frameList[k].completeCount = 0;
        frameList[k].timeStamp = 0;
    }
    t->model = p->model;
    t->pipe = this;
    t->device = mDevice;
    t->md = dataBuffer;
    retain();
    mDevice->retain();
    dataBuffer->retain();
    bus.isoch.push_back(t);
    hx::clock::notifyOne(bus.wake);
    return kIOReturnSuccess;
}

IOReturn IOUSBHostPipe::io(IOMemoryDescriptor* dataBuffer, uint32_t length,
                           IOUSBHostCompletion* completion, uint32_t completionTimeoutMs) {
    if (!mDevice || !mDevice->mBus || mDevice->isUnplugged()) return kIOReturnNoDevice;
    if (isStale()) return kIOReturnNotAttached;
    const uint8_t type = getEndpointType(&mEndpoint);
    if ((type != kEndpointTypeBulk && type != kEndpointTypeInterrupt) || !dataBuffer ||
        !completion || !completion->action || length > dataBuffer->getLength())
        return kIOReturnBadArgument;
    auto t = std::make_shared<hx::usb::BulkTransfer>();
    t->address = mEndpoint.bEndpointAddress;
    t->in = isEndpointIn(&mEndpoint);
    t->interrupt = type == kEndpointTypeInterrupt;
    const bool highSpeed = mDevice->getSpeed() >= kUSBHostConnectionSpeedHigh;
    t->maxPacket = std::max<uint32_t>(getEndpointMaxPacketSize(&mEndpoint), 1);
    const uint8_t interval = std::max<uint8_t>(mEndpoint.bInterval, 1);
    t->periodUnits = highSpeed ? 1u << (std::min<uint8_t>(interval, 16) - 1) : 8u * interval;
    t->microframes = highSpeed;
    t->length = length;
    t->completion = *completion;
    BusCore& bus = *mDevice->mBus;
    std::lock_guard<std::mutex> g(bus.lock);
    hx::usb::Port* p = bus.portOf(mDevice->mPort);
    if (bus.stopping || mDevice->isUnplugged() || !p || p->device != mDevice)
        return kIOReturnNoDevice;
    const uint64_t now = hx::clock::nowNanos();
    t->dueNanos = bus.frameStart(bus.frameAt(now) + 1);
    t->deadlineNanos =
        completionTimeoutMs ? now + (uint64_t)completionTimeoutMs * hx::usb::kFrameNanos : 0;
    t->model = p->model;
    t->pipe = this;
    t->device = mDevice;
    t->md = dataBuffer;
    retain();
    mDevice->retain();
    dataBuffer->retain();
    bus.bulk.push_back(t);
    hx::clock::notifyOne(bus.wake);
    return kIOReturnSuccess;
}

void IOUSBHostPipe::free() {
    OSSafeReleaseNULL(mDevice);
    OSObject::free();
}
