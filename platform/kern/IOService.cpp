#include "platform/kern/IOService.h"

#include "platform/base/HXClock.h"
#include "platform/base/HXWakeBatch.h"
#include "platform/kern/SystemPower.h"
#include "platform/kern/WorkQueue.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

OSDefineMetaClassAndStructors(IORegistryEntry, OSObject)
    OSDefineAbstractMetaClass(IONotifier, OSObject)
        OSDefineMetaClassAndStructors(IOService, IORegistryEntry)
            OSDefineMetaClassAndStructors(IOPMrootDomain, IOService)

                struct IORegistryPlane {
    const char* name;
};
namespace {
const IORegistryPlane kServicePlane{"IOService"};
}
const IORegistryPlane* gIOServicePlane = &kServicePlane;
const OSSymbol* gIOGeneralInterest = OSSymbol::withCString("IOGeneralInterest");

namespace {

// Guards every provider/client link of the registry.
std::mutex& topologyLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}

// Guards interest registrations of every service.
std::mutex& interestLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}

std::atomic<uint64_t> gNextEntryID{0x100000001ULL};

// The kernel's matching and termination thread, and the power manager's.
// Both live as long as the process.
hx::kern::WorkQueue& kernelQueue() {
    static hx::kern::WorkQueue* q = new hx::kern::WorkQueue("kernel", 1);
    return *q;
}
hx::kern::WorkQueue& powerQueue() {
    static hx::kern::WorkQueue* q = new hx::kern::WorkQueue("power", 1);
    return *q;
}

struct Catalogue {
    std::mutex lock;
    std::vector<OSDictionary*> personalities; // retained
    std::vector<IOService*> registered;       // not retained; removed before the last release
    std::vector<IOService*> matched;          // registered services whose first matching has run
    std::vector<std::weak_ptr<hx::kern::ServiceSubscription>> subscriptions;
    // Queues the service to every live subscription of the event that accepts
    // it; called with the lock held, so all subscribers see one order.
    void postLocked(IOService* s, hx::kern::ServiceEvent event) {
        subscriptions.erase(
            std::remove_if(subscriptions.begin(), subscriptions.end(),
                           [&](const std::weak_ptr<hx::kern::ServiceSubscription>& w) {
                               auto sub = w.lock();
                               if (!sub || sub->isCancelled()) return true;
                               if (sub->event() == event &&
                                   hx::kern::serviceMatches(s, sub->matching()))
                                   sub->post(s);
                               return false;
                           }),
            subscriptions.end());
    }
};
Catalogue& catalogue() {
    static Catalogue* c = new Catalogue;
    return *c;
}

// Properties a personality may name that must equal the nub's.
const char* const kMatchingKeys[] = {
    "idVendor",          "idProduct",       "bcdDevice",           "bDeviceClass",
    "bDeviceSubClass",   "bDeviceProtocol", "bConfigurationValue", "bInterfaceNumber",
    "bAlternateSetting", "bInterfaceClass", "bInterfaceSubClass",  "bInterfaceProtocol",
    "locationID",
};

} // namespace

// ---- IORegistryEntry

IOReturn IORegistryEntry::setProperties(OSObject*) {
    return kIOReturnUnsupported;
}

bool IORegistryEntry::init(OSDictionary* dictionary) {
    std::lock_guard<std::mutex> g(mPropertyLock);
    if (!mProperties) mProperties = OSDictionary::withCapacity(16);
    if (!mEntryID) mEntryID = gNextEntryID.fetch_add(1);
    if (dictionary) mProperties->merge(dictionary);
    return true;
}

void IORegistryEntry::free() {
    {
        std::lock_guard<std::mutex> g(mPropertyLock);
        OSSafeReleaseNULL(mProperties);
    }
    OSObject::free();
}

bool IORegistryEntry::setProperty(const char* key, OSObject* anObject) {
    if (!key || !anObject) return false;
    std::lock_guard<std::mutex> g(mPropertyLock);
    if (!mProperties) mProperties = OSDictionary::withCapacity(16);
    return mProperties->setObject(key, anObject);
}

bool IORegistryEntry::setProperty(const OSSymbol* key, OSObject* anObject) {
    return key && setProperty(key->getCStringNoCopy(), anObject);
}

bool IORegistryEntry::setProperty(const OSString* key, OSObject* anObject) {
    return key && setProperty(key->getCStringNoCopy(), anObject);
}

bool IORegistryEntry::setProperty(const char* key, const char* aString) {
    OSString* s = OSString::withCString(aString);
    if (!s) return false;
    const bool ok = setProperty(key, s);
    s->release();
    return ok;
}

bool IORegistryEntry::setProperty(const char* key, bool aBoolean) {
    return setProperty(key, aBoolean ? kOSBooleanTrue : kOSBooleanFalse);
}

bool IORegistryEntry::setProperty(const char* key, unsigned long long aValue,
                                  unsigned numberOfBits) {
    OSNumber* n = OSNumber::withNumber(aValue, numberOfBits);
    if (!n) return false;
    const bool ok = setProperty(key, n);
    n->release();
    return ok;
}

bool IORegistryEntry::setProperty(const char* key, const void* bytes, unsigned length) {
    OSData* d = OSData::withBytes(bytes, length);
    if (!d) return false;
    const bool ok = setProperty(key, d);
    d->release();
    return ok;
}

void IORegistryEntry::removeProperty(const char* key) {
    std::lock_guard<std::mutex> g(mPropertyLock);
    if (mProperties) mProperties->removeObject(key);
}

OSObject* IORegistryEntry::getProperty(const char* key) const {
    std::lock_guard<std::mutex> g(mPropertyLock);
    return mProperties ? mProperties->getObject(key) : nullptr;
}

OSObject* IORegistryEntry::getProperty(const OSString* key) const {
    return key ? getProperty(key->getCStringNoCopy()) : nullptr;
}

OSObject* IORegistryEntry::copyProperty(const char* key) const {
    std::lock_guard<std::mutex> g(mPropertyLock);
    OSObject* o = mProperties ? mProperties->getObject(key) : nullptr;
    if (o) o->retain();
    return o;
}

OSDictionary* IORegistryEntry::dictionaryWithProperties() const {
    std::lock_guard<std::mutex> g(mPropertyLock);
    return mProperties ? OSDictionary::withDictionary(mProperties) : OSDictionary::withCapacity(1);
}

bool IORegistryEntry::serializeProperties(OSSerialize* s) const {
    std::lock_guard<std::mutex> g(mPropertyLock);
    return s && mProperties && mProperties->serialize(s);
}

const char* IORegistryEntry::getName(const IORegistryPlane*) const {
    return mName.empty() ? getMetaClass()->getClassName() : mName.c_str();
}

void IORegistryEntry::setName(const char* name) {
    mName = name ? name : "";
}

bool IORegistryEntry::attachToParent(IORegistryEntry* parent) {
    if (!parent || parent == this) return false;
    std::lock_guard<std::mutex> g(topologyLock());
    if (std::find(mParents.begin(), mParents.end(), parent) != mParents.end()) return false;
    parent->retain();
    retain();
    mParents.push_back(parent);
    parent->mChildren.push_back(this);
    return true;
}

void IORegistryEntry::detachFromParent(IORegistryEntry* parent) {
    {
        std::lock_guard<std::mutex> g(topologyLock());
        auto it = std::find(mParents.begin(), mParents.end(), parent);
        if (it == mParents.end()) return;
        mParents.erase(it);
        auto& kids = parent->mChildren;
        kids.erase(std::find(kids.begin(), kids.end(), this));
    }
    // Outside the lock: either release may end an object's life.
    release();
    parent->release();
}

std::vector<IORegistryEntry*> IORegistryEntry::childrenSnapshot() const {
    std::lock_guard<std::mutex> g(topologyLock());
    for (IORegistryEntry* e : mChildren)
        e->retain();
    return mChildren;
}

std::vector<IORegistryEntry*> IORegistryEntry::parentsSnapshot() const {
    std::lock_guard<std::mutex> g(topologyLock());
    for (IORegistryEntry* e : mParents)
        e->retain();
    return mParents;
}

namespace {
OSIterator* iteratorOver(std::vector<IORegistryEntry*> entries) {
    OSArray* a = OSArray::withCapacity((unsigned)entries.size());
    for (IORegistryEntry* e : entries) {
        a->setObject(e);
        e->release();
    }
    OSIterator* it = OSCollectionIterator::withCollection(a);
    a->release();
    return it;
}
} // namespace

OSIterator* IORegistryEntry::getChildIterator(const IORegistryPlane*) const {
    return iteratorOver(childrenSnapshot());
}

OSIterator* IORegistryEntry::getParentIterator(const IORegistryPlane*) const {
    return iteratorOver(parentsSnapshot());
}

IORegistryEntry* IORegistryEntry::getChildEntry(const IORegistryPlane*) const {
    std::lock_guard<std::mutex> g(topologyLock());
    return mChildren.empty() ? nullptr : mChildren.front();
}

IORegistryEntry* IORegistryEntry::getParentEntry(const IORegistryPlane*) const {
    std::lock_guard<std::mutex> g(topologyLock());
    return mParents.empty() ? nullptr : mParents.front();
}

// ---- interest notifications

class IOServiceInterestNotifier : public IONotifier {
    OSDeclareDefaultStructors(IOServiceInterestNotifier) public : void remove() override;
    bool disable() override { return mEnabled.exchange(false); }
    void enable(bool was) override { mEnabled.store(was); }

    IOService* mOwner = nullptr; // guarded by the interest lock
    IOServiceInterestHandler mHandler = nullptr;
    void* mTarget = nullptr;
    void* mRef = nullptr;
    std::atomic<bool> mEnabled{true};
    std::atomic<bool> mRemoved{false};
};
OSDefineMetaClassAndStructors(IOServiceInterestNotifier, IONotifier)

    struct IOServicePrivate {
    static void unlinkNotifier(IOServiceInterestNotifier* n) {
        std::lock_guard<std::mutex> g(interestLock());
        if (!n->mOwner) return;
        auto& list = n->mOwner->mInterest;
        list.erase(std::remove(list.begin(), list.end(), n), list.end());
        n->mOwner = nullptr;
    }

    static std::vector<IOServiceInterestNotifier*> interestSnapshot(IOService* s) {
        std::lock_guard<std::mutex> g(interestLock());
        std::vector<IOServiceInterestNotifier*> out;
        for (IOServiceInterestNotifier* n : s->mInterest) {
            if (n->mRemoved.load()) continue;
            n->retain();
            out.push_back(n);
        }
        return out;
    }

    static void dropInterest(IOService* s) {
        std::lock_guard<std::mutex> g(interestLock());
        for (IOServiceInterestNotifier* n : s->mInterest)
            n->mOwner = nullptr;
        s->mInterest.clear();
    }

    static void addRegistered(IOService* s) {
        Catalogue& c = catalogue();
        std::lock_guard<std::mutex> g(c.lock);
        if (std::find(c.registered.begin(), c.registered.end(), s) != c.registered.end()) return;
        c.registered.push_back(s);
        c.postLocked(s, hx::kern::ServiceEvent::Publish);
    }

    static void postTerminated(IOService* s) {
        Catalogue& c = catalogue();
        std::lock_guard<std::mutex> g(c.lock);
        if (std::find(c.registered.begin(), c.registered.end(), s) != c.registered.end())
            c.postLocked(s, hx::kern::ServiceEvent::Terminate);
    }

    static void removeRegistered(IOService* s) {
        Catalogue& c = catalogue();
        std::lock_guard<std::mutex> g(c.lock);
        c.registered.erase(std::remove(c.registered.begin(), c.registered.end(), s),
                           c.registered.end());
        c.matched.erase(std::remove(c.matched.begin(), c.matched.end(), s), c.matched.end());
    }

    // The service's first matching has run: first-match subscribers hear of
    // it now, once.
    static void markMatched(IOService* s) {
        Catalogue& c = catalogue();
        std::lock_guard<std::mutex> g(c.lock);
        if (s->isInactive() ||
            std::find(c.registered.begin(), c.registered.end(), s) == c.registered.end() ||
            std::find(c.matched.begin(), c.matched.end(), s) != c.matched.end())
            return;
        c.matched.push_back(s);
        c.postLocked(s, hx::kern::ServiceEvent::FirstMatch);
    }

    static bool personalityMatches(IOService* nub, const OSDictionary* p, SInt32* score) {
        const OSString* providerClass = OSDynamicCast(OSString, p->getObject("IOProviderClass"));
        if (!providerClass || !nub->getMetaClass()->isSubclassOf(providerClass->getCStringNoCopy()))
            return false;
        for (const char* key : kMatchingKeys) {
            OSObject* want = p->getObject(key);
            if (!want) continue;
            OSObject* have = nub->copyProperty(key);
            const bool same = have && want->isEqualTo(have);
            if (have) have->release();
            if (!same) return false;
        }
        const OSNumber* s = OSDynamicCast(OSNumber, p->getObject("IOProbeScore"));
        *score = s ? (SInt32)s->unsigned32BitValue() : 0;
        return true;
    }

    // Creates, probes and starts drivers for a nub; runs on the kernel thread.
    static void matchNub(IOService* nub) {
        runMatching(nub);
        markMatched(nub);
    }

    static void runMatching(IOService* nub) {
        if (nub->isInactive() || nub->mHasDriver.load()) return;
        std::vector<OSDictionary*> personalities;
        {
            Catalogue& c = catalogue();
            std::lock_guard<std::mutex> g(c.lock);
            for (OSDictionary* p : c.personalities) {
                p->retain();
                personalities.push_back(p);
            }
        }
        struct Probed {
            IOService* driver;
            SInt32 score;
        };
        std::vector<Probed> probed;
        for (OSDictionary* p : personalities) {
            SInt32 score = 0;
            if (personalityMatches(nub, p, &score)) {
                const OSString* cls = OSDynamicCast(OSString, p->getObject("IOClass"));
                OSObject* o =
                    cls ? OSMetaClass::allocClassWithName(cls->getCStringNoCopy()) : nullptr;
                IOService* driver = OSDynamicCast(IOService, o);
                if (!driver) {
                    IOLog("IOService: no driver class %s for %s\n",
                          cls ? cls->getCStringNoCopy() : "(none)", nub->getName());
                    if (o) o->release();
                } else if (!driver->init(p)) {
                    driver->release();
                } else if (!driver->attach(nub)) {
                    driver->release();
                } else if (!driver->probe(nub, &score)) {
                    driver->detach(nub);
                    driver->release();
                } else {
                    probed.push_back({driver, score});
                }
            }
            p->release();
        }
        std::stable_sort(probed.begin(), probed.end(),
                         [](const Probed& a, const Probed& b) { return a.score > b.score; });
        bool started = false;
        for (Probed& d : probed) {
            if (!started && !nub->isInactive() && d.driver->start(nub)) {
                d.driver->mStartedOn.store(nub);
                nub->mHasDriver.store(true);
                started = true;
                d.driver->release(); // the provider link keeps it now
            } else {
                d.driver->mStartedOn.store(nullptr); // a failed start is not stopped
                d.driver->detach(nub);
                d.driver->release();
            }
        }
    }

    // Second phase of termination, on the kernel thread: stop and detach.
    static void finishTermination(IOService* s, IOOptionBits options) {
        std::vector<IORegistryEntry*> providers = s->parentsSnapshot();
        for (IORegistryEntry* e : providers) {
            bool defer = false;
            if (IOService* p = OSDynamicCast(IOService, e)) s->didTerminate(p, options, &defer);
        }
        s->finalize(options);
        for (IORegistryEntry* e : providers) {
            if (IOService* p = OSDynamicCast(IOService, e)) s->detach(p);
            e->release();
        }
        removeRegistered(s);
        s->release(); // the hold taken by terminate()
    }

    static void deliverPower(bool sleep) {
        const IOPMPowerFlags flags =
            sleep ? kIOPMSleepCapability
                  : (kIOPMPowerOn | kIOPMDeviceUsable | kIOPMRestartCapability);
        deliverPower(flags, sleep ? 2 : 4);
    }

    static void deliverPower(IOPMPowerFlags flags, unsigned long state) {
        IOPMrootDomain* root = IOService::getPMRootDomain();
        std::vector<IOService*> drivers;
        {
            std::lock_guard<std::mutex> g(root->mLock);
            for (IOService* d : root->mDrivers) {
                d->retain();
                drivers.push_back(d);
            }
        }
        for (IOService* d : drivers) {
            d->powerStateWillChangeTo(flags, state, root);
            d->powerStateDidChangeTo(flags, state, root);
            d->release();
        }
    }
};

void IOServiceInterestNotifier::remove() {
    if (mRemoved.exchange(true)) return;
    IOServicePrivate::unlinkNotifier(this);
    release(); // the registration's reference
}

// ---- IOService

bool IOService::init(OSDictionary* dictionary) {
    return IORegistryEntry::init(dictionary);
}

IOService* IOService::probe(IOService*, SInt32*) {
    return this;
}

bool IOService::start(IOService* provider) {
    mStartedOn.store(provider);
    return true;
}

void IOService::stop(IOService*) {}

bool IOService::finalize(IOOptionBits) {
    IOService* provider = mStartedOn.exchange(nullptr);
    if (provider) stop(provider);
    return true;
}

bool IOService::didTerminate(IOService*, IOOptionBits, bool* defer) {
    if (defer) *defer = false;
    return true;
}

bool IOService::attach(IOService* provider) {
    return attachToParent(provider);
}

void IOService::detach(IOService* provider) {
    detachFromParent(provider);
}

namespace {
// The second phases that a terminate on this thread queued; they are posted
// when the outermost terminate returns, so that the whole tree has finished
// its first phase before any stop runs.
struct PendingTermination {
    int depth = 0;
    std::vector<std::function<void()>> work;
};
thread_local PendingTermination tPending;
} // namespace

bool IOService::terminate(IOOptionBits options) {
    bool expected = false;
    if (!mInactive.compare_exchange_strong(expected, true)) return false;
    retain(); // released by the second phase
    ++tPending.depth;
    messageClients(kIOMessageServiceIsTerminated, nullptr, 0);
    IOServicePrivate::postTerminated(this);
    for (IORegistryEntry* e : childrenSnapshot()) {
        IOService* client = OSDynamicCast(IOService, e);
        if (client && !client->isInactive()) client->terminate(options);
        e->release();
    }
    IOService* self = this;
    tPending.work.push_back(
        [self, options] { IOServicePrivate::finishTermination(self, options); });
    if (--tPending.depth == 0) {
        for (auto& w : tPending.work)
            kernelQueue().post(std::move(w));
        tPending.work.clear();
    }
    return true;
}

void IOService::registerService(IOOptionBits options) {
    if (isInactive()) return;
    mRegistered.store(true, std::memory_order_release);
    const bool onKernel = kernelQueue().isCurrentThread();
    if ((options & kIOServiceSynchronous) && onKernel) {
        IOServicePrivate::addRegistered(this);
        IOServicePrivate::matchNub(this);
        return;
    }
    // Registered from the kernel thread without waiting (a driver's start,
    // inside its nub's matching): the service is published by its own
    // matching job, queued behind the work in hand, as the registry does it.
    // So a nub's first match is heard before the services its driver
    // registers while starting on it.
    const bool deferred = onKernel;
    if (!deferred) IOServicePrivate::addRegistered(this);
    struct Done {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
    };
    auto done = std::make_shared<Done>();
    retain();
    IOService* self = this;
    kernelQueue().post([self, done, deferred] {
        if (deferred && !self->isInactive()) IOServicePrivate::addRegistered(self);
        IOServicePrivate::matchNub(self);
        self->release();
        {
            std::lock_guard<std::mutex> g(done->m);
            done->done = true;
        }
        hx::clock::notifyAll(done->cv);
    });
    if (options & kIOServiceSynchronous) {
        std::unique_lock<std::mutex> lock(done->m);
        hx::clock::wait(done->cv, lock, [&] { return done->done; });
    }
}

IOService* IOService::getProvider() const {
    return OSDynamicCast(IOService, getParentEntry(gIOServicePlane));
}

IOService* IOService::getClient() const {
    return OSDynamicCast(IOService, getChildEntry(gIOServicePlane));
}

OSIterator* IOService::getClientIterator() const {
    return getChildIterator(gIOServicePlane);
}

OSIterator* IOService::getProviderIterator() const {
    return getParentIterator(gIOServicePlane);
}

IOReturn IOService::messageClients(UInt32 type, void* argument, vm_size_t argSize) {
    {
        // The user ports only queue: their wake-ups go out together once
        // every one has its copy.
        hx::wake::Batch batch;
        std::lock_guard<std::mutex> g(mUserInterestLock);
        auto& subs = mUserInterest;
        subs.erase(std::remove_if(subs.begin(), subs.end(),
                                  [&](const std::weak_ptr<hx::kern::UserInterest>& w) {
                                      auto sub = w.lock();
                                      if (!sub || sub->isCancelled()) return true;
                                      sub->post(type, argument, argSize);
                                      return false;
                                  }),
                   subs.end());
    }
    for (IORegistryEntry* e : childrenSnapshot()) {
        messageClient(type, e, argument, argSize);
        e->release();
    }
    for (IOServiceInterestNotifier* n : IOServicePrivate::interestSnapshot(this)) {
        if (!n->mRemoved.load() && n->mEnabled.load())
            n->mHandler(n->mTarget, n->mRef, type, this, argument, argSize);
        n->release();
    }
    return kIOReturnSuccess;
}

std::shared_ptr<hx::kern::UserInterest> IOService::subscribeUserInterest() {
    auto sub = std::make_shared<hx::kern::UserInterest>();
    std::lock_guard<std::mutex> g(mUserInterestLock);
    mUserInterest.push_back(sub);
    return sub;
}

namespace hx::kern {

void UserInterest::setSink(std::function<void(Message&&)> sink) {
    std::lock_guard<std::mutex> g(mLock);
    mSink = std::move(sink);
}

void UserInterest::post(UInt32 type, const void* argument, vm_size_t size) {
    Message m;
    m.type = type;
    if (argument && size) {
        const vm_size_t n = size < kUserInterestArgumentLimit ? size : kUserInterestArgumentLimit;
        m.argument.assign(static_cast<const uint8_t*>(argument),
                          static_cast<const uint8_t*>(argument) + n);
    }
    std::lock_guard<std::mutex> g(mLock);
    if (mCancelled) return;
    if (mSink) {
        mSink(std::move(m));
        return;
    }
    mQueue.push_back(std::move(m));
    hx::clock::notifyAll(mCv);
}

bool UserInterest::next(Message& out) {
    std::lock_guard<std::mutex> g(mLock);
    if (mHead >= mQueue.size()) return false;
    out = std::move(mQueue[mHead++]);
    if (mHead == mQueue.size()) {
        mQueue.clear();
        mHead = 0;
    }
    return true;
}

bool UserInterest::waitNext(Message& out, uint64_t deadlineNanos) {
    {
        std::unique_lock<std::mutex> l(mLock);
        if (!hx::clock::waitUntil(mCv, l, deadlineNanos,
                                  [&] { return mHead < mQueue.size() || mCancelled; }))
            return false;
    }
    return next(out);
}

size_t UserInterest::pending() const {
    std::lock_guard<std::mutex> g(mLock);
    return mQueue.size() - mHead;
}

void UserInterest::cancel() {
    std::lock_guard<std::mutex> g(mLock);
    mCancelled = true;
    mSink = nullptr;
    hx::clock::notifyAll(mCv);
}

bool UserInterest::isCancelled() const {
    std::lock_guard<std::mutex> g(mLock);
    return mCancelled;
}

} // namespace hx::kern

IOReturn IOService::messageClient(UInt32 messageType, OSObject* client, void* messageArgument,
                                  vm_size_t) {
    IOService* s = OSDynamicCast(IOService, client);
    return s ? s->message(messageType, this, messageArgument) : kIOReturnBadArgument;
}

IOReturn IOService::message(UInt32, IOService*, void*) {
    return kIOReturnUnsupported;
}

bool IOService::open(IOService* forClient, IOOptionBits options, void* arg) {
    if (!forClient || isInactive()) return false;
    std::lock_guard<std::mutex> g(mOpenLock);
    return handleOpen(forClient, options, arg);
}

void IOService::close(IOService* forClient, IOOptionBits options) {
    std::lock_guard<std::mutex> g(mOpenLock);
    if (handleIsOpen(forClient)) handleClose(forClient, options);
}

bool IOService::isOpen(const IOService* forClient) const {
    std::lock_guard<std::mutex> g(mOpenLock);
    return handleIsOpen(forClient);
}

bool IOService::handleOpen(IOService* forClient, IOOptionBits, void*) {
    if (mOpenedBy && mOpenedBy != forClient) return false;
    mOpenedBy = forClient;
    return true;
}

void IOService::handleClose(IOService* forClient, IOOptionBits) {
    if (mOpenedBy == forClient) mOpenedBy = nullptr;
}

bool IOService::handleIsOpen(const IOService* forClient) const {
    return forClient ? mOpenedBy == forClient : mOpenedBy != nullptr;
}

IOReturn IOService::newUserClient(task_t, void*, UInt32, OSDictionary*, IOUserClient** handler) {
    if (handler) *handler = nullptr;
    return kIOReturnUnsupported;
}

IOReturn IOService::newUserClient(task_t owningTask, void* securityID, UInt32 type,
                                  IOUserClient** handler) {
    return newUserClient(owningTask, securityID, type, nullptr, handler);
}

bool IOService::terminateClient(IOService* client, IOOptionBits options) {
    return client ? client->terminate(options) : false;
}

IONotifier* IOService::registerInterest(const OSSymbol* typeOfInterest,
                                        IOServiceInterestHandler handler, void* target, void* ref) {
    if (!handler || !typeOfInterest || !typeOfInterest->isEqualTo(gIOGeneralInterest))
        return nullptr;
    IOServiceInterestNotifier* n = new IOServiceInterestNotifier;
    n->mOwner = this;
    n->mHandler = handler;
    n->mTarget = target;
    n->mRef = ref;
    std::lock_guard<std::mutex> g(interestLock());
    mInterest.push_back(n);
    return n;
}

IOPMrootDomain* IOService::getPMRootDomain() {
    static IOPMrootDomain* root = [] {
        IOPMrootDomain* r = new IOPMrootDomain;
        r->init();
        return r;
    }();
    return root;
}

IOReturn IOService::powerStateWillChangeTo(IOPMPowerFlags, unsigned long, IOService*) {
    return kIOPMAckImplied;
}

IOReturn IOService::powerStateDidChangeTo(IOPMPowerFlags, unsigned long, IOService*) {
    return kIOPMAckImplied;
}

void IOService::free() {
    IOServicePrivate::dropInterest(this);
    IOServicePrivate::removeRegistered(this);
    IORegistryEntry::free();
}

// ---- IOPMrootDomain

IOPMPowerFlags IOPMrootDomain::registerInterestedDriver(IOService* theDriver) {
    if (!theDriver) return 0;
    std::lock_guard<std::mutex> g(mLock);
    if (std::find(mDrivers.begin(), mDrivers.end(), theDriver) == mDrivers.end()) {
        theDriver->retain();
        mDrivers.push_back(theDriver);
    }
    return kIOPMPowerOn | kIOPMDeviceUsable;
}

IOReturn IOPMrootDomain::deRegisterInterestedDriver(IOService* theDriver) {
    IOService* found = nullptr;
    {
        std::lock_guard<std::mutex> g(mLock);
        auto it = std::find(mDrivers.begin(), mDrivers.end(), theDriver);
        if (it == mDrivers.end()) return kIOReturnNotFound;
        found = *it;
        mDrivers.erase(it);
    }
    found->release();
    return kIOReturnSuccess;
}

unsigned IOPMrootDomain::interestedDriverCount() const {
    std::lock_guard<std::mutex> g(mLock);
    return (unsigned)mDrivers.size();
}

// ---- hx::kern

namespace hx::kern {

void addPersonality(const OSDictionary* personality) {
    if (!personality) return;
    std::vector<IOService*> nubs;
    {
        Catalogue& c = catalogue();
        std::lock_guard<std::mutex> g(c.lock);
        c.personalities.push_back(OSDictionary::withDictionary(personality));
        for (IOService* s : c.registered) {
            s->retain();
            nubs.push_back(s);
        }
    }
    kernelQueue().post([nubs] {
        for (IOService* s : nubs) {
            IOServicePrivate::matchNub(s);
            s->release();
        }
    });
}

void removePersonalities(const char* className) {
    std::vector<OSDictionary*> gone;
    {
        Catalogue& c = catalogue();
        std::lock_guard<std::mutex> g(c.lock);
        auto keep = std::stable_partition(
            c.personalities.begin(), c.personalities.end(), [&](OSDictionary* p) {
                const OSString* cls = OSDynamicCast(OSString, p->getObject("IOClass"));
                return !(cls && className && cls->isEqualTo(className));
            });
        gone.assign(keep, c.personalities.end());
        c.personalities.erase(keep, c.personalities.end());
    }
    for (OSDictionary* p : gone)
        p->release();
}

void waitQuiet() {
    // Termination queues further work from work items; settle until a pass
    // finds the queue idle twice in a row.
    kernelQueue().waitIdle();
    kernelQueue().waitIdle();
}

void postToKernelThread(std::function<void()> work) {
    kernelQueue().post(std::move(work));
}

bool onKernelThread() {
    return kernelQueue().isCurrentThread();
}

std::vector<IOService*> copyServicesOfClass(const char* className) {
    std::vector<IOService*> out;
    Catalogue& c = catalogue();
    std::lock_guard<std::mutex> g(c.lock);
    for (IOService* s : c.registered) {
        if (s->isInactive() || !s->getMetaClass()->isSubclassOf(className)) continue;
        s->retain();
        out.push_back(s);
    }
    return out;
}

namespace {
struct UserClassAliases {
    std::mutex lock;
    std::vector<std::pair<std::string, std::string>> entries; // alias, class
};
UserClassAliases& userClassAliases() {
    static UserClassAliases* a = new UserClassAliases;
    return *a;
}
} // namespace

void addUserClassAlias(const char* alias, const char* className) {
    if (!alias || !className) return;
    UserClassAliases& a = userClassAliases();
    std::lock_guard<std::mutex> g(a.lock);
    for (const auto& e : a.entries)
        if (e.first == alias && e.second == className) return;
    a.entries.emplace_back(alias, className);
}

bool serviceConformsTo(IOService* service, const char* className) {
    if (!service || !className) return false;
    if (service->getMetaClass()->isSubclassOf(className)) return true;
    UserClassAliases& a = userClassAliases();
    std::lock_guard<std::mutex> g(a.lock);
    for (const auto& e : a.entries)
        if (e.first == className && service->getMetaClass()->isSubclassOf(e.second.c_str()))
            return true;
    return false;
}

namespace {
std::mutex& deviceRequestLock() {
    static std::mutex* m = new std::mutex;
    return *m;
}
UserDeviceRequestHandler& deviceRequestHandler() {
    static UserDeviceRequestHandler* h = new UserDeviceRequestHandler;
    return *h;
}
} // namespace

void setUserDeviceRequestHandler(UserDeviceRequestHandler handler) {
    std::lock_guard<std::mutex> g(deviceRequestLock());
    deviceRequestHandler() = std::move(handler);
}

IOReturn userDeviceRequest(IOService* nub, const UserDeviceRequest& r, void* data, uint32_t* done) {
    UserDeviceRequestHandler h;
    {
        std::lock_guard<std::mutex> g(deviceRequestLock());
        h = deviceRequestHandler();
    }
    if (!h || !nub) return kIOReturnUnsupported;
    return h(nub, r, data, done);
}

std::string servicePlanePath(IORegistryEntry* entry) {
    std::vector<std::string> names;
    IORegistryEntry* e = entry;
    if (e) e->retain();
    // A provider chain is short; the bound only guards against a cycle.
    for (int depth = 0; e && depth < 64; ++depth) {
        names.emplace_back(e->getName(gIOServicePlane));
        IORegistryEntry* parent = e->getParentEntry(gIOServicePlane);
        if (parent) parent->retain();
        e->release();
        e = parent;
    }
    if (e) e->release();
    std::string path = "IOService:";
    for (auto it = names.rbegin(); it != names.rend(); ++it)
        path += "/" + *it;
    if (names.empty()) path += "/";
    return path;
}

bool serviceMatches(IOService* service, const OSDictionary* matching) {
    if (!service || !matching) return false;
    bool known = false;
    if (OSObject* o = matching->getObject("IOProviderClass")) {
        const OSString* cls = OSDynamicCast(OSString, o);
        if (!cls || !serviceConformsTo(service, cls->getCStringNoCopy())) return false;
        known = true;
    }
    for (const char* key : kMatchingKeys) {
        OSObject* want = matching->getObject(key);
        if (!want) continue;
        known = true;
        OSObject* have = service->copyProperty(key);
        const bool same = have && want->isEqualTo(have);
        if (have) have->release();
        if (!same) return false;
    }
    return known;
}

std::vector<IOService*> copyMatchingServices(const OSDictionary* matching) {
    std::vector<IOService*> out;
    Catalogue& c = catalogue();
    std::lock_guard<std::mutex> g(c.lock);
    for (IOService* s : c.registered) {
        if (s->isInactive() || !serviceMatches(s, matching)) continue;
        s->retain();
        out.push_back(s);
    }
    return out;
}

ServiceSubscription::ServiceSubscription(const OSDictionary* matching, ServiceEvent event)
    : mMatching(matching ? OSDictionary::withDictionary(matching) : OSDictionary::withCapacity(0)),
      mEvent(event) {}

ServiceSubscription::~ServiceSubscription() {
    cancel();
    mMatching->release();
}

IOService* ServiceSubscription::next() {
    std::lock_guard<std::mutex> g(mLock);
    if (mQueue.empty()) return nullptr;
    IOService* s = mQueue.front();
    mQueue.erase(mQueue.begin());
    return s;
}

size_t ServiceSubscription::pending() const {
    std::lock_guard<std::mutex> g(mLock);
    return mQueue.size();
}

void ServiceSubscription::cancel() {
    std::vector<IOService*> dropped;
    {
        std::lock_guard<std::mutex> g(mLock);
        mCancelled = true;
        mSink = nullptr;
        dropped.swap(mQueue);
    }
    for (IOService* s : dropped)
        s->release();
}

bool ServiceSubscription::isCancelled() const {
    std::lock_guard<std::mutex> g(mLock);
    return mCancelled;
}

void ServiceSubscription::setSink(std::function<void(IOService*)> sink) {
    std::lock_guard<std::mutex> g(mLock);
    mSink = std::move(sink);
}

void ServiceSubscription::post(IOService* service) {
    std::lock_guard<std::mutex> g(mLock);
    if (mCancelled) return;
    service->retain();
    if (mSink)
        mSink(service);
    else
        mQueue.push_back(service);
}

std::shared_ptr<ServiceSubscription> subscribeServices(const OSDictionary* matching,
                                                       ServiceEvent event,
                                                       std::vector<IOService*>* existing) {
    std::shared_ptr<ServiceSubscription> sub(new ServiceSubscription(matching, event));
    Catalogue& c = catalogue();
    std::lock_guard<std::mutex> g(c.lock);
    if (existing && event != ServiceEvent::Terminate) {
        const std::vector<IOService*>& from =
            event == ServiceEvent::FirstMatch ? c.matched : c.registered;
        for (IOService* s : from) {
            if (s->isInactive() || !serviceMatches(s, sub->matching())) continue;
            s->retain();
            existing->push_back(s);
        }
    }
    c.subscriptions.push_back(sub);
    return sub;
}

// User space hears will-sleep first and the drivers sleep once the
// registrants' callbacks returned; on waking it hears will-power-on before
// the drivers wake and has-powered-on after.
void systemWillSleep() {
    sendSystemPowerMessage(kSystemPowerWillSleep);
    powerQueue().post([] { IOServicePrivate::deliverPower(true); });
    powerQueue().waitIdle();
}

void systemDidWake() {
    sendSystemPowerMessage(kSystemPowerWillPowerOn);
    powerQueue().post([] { IOServicePrivate::deliverPower(false); });
    powerQueue().waitIdle();
    sendSystemPowerMessage(kSystemPowerHasPoweredOn);
}

void deliverPowerChange(IOPMPowerFlags flags, unsigned long state) {
    powerQueue().post([flags, state] { IOServicePrivate::deliverPower(flags, state); });
    powerQueue().waitIdle();
}

} // namespace hx::kern
