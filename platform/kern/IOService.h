// The kernel's service registry: registry entries with property tables and
// provider/client links, services with their life cycle, matching of driver
// personalities against registered nubs, interest notifications and the
// power-management root domain.
//
// Threads: matching (init, attach, probe, start) and the second phase of
// termination (stop, detach, free) run on the kernel's own work thread, never
// inside a call a driver made. terminate() itself runs its first phase on the
// caller's thread: it marks the service inactive, tells its clients and
// interested parties, and terminates its clients; the rest is queued.
// messageClients delivers synchronously to the clients' message() and to
// interest handlers; a handler may remove its own notifier.
#pragma once

#include "platform/kern/IOLib.h"
#include "platform/kern/OSContainers.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class IOService;
class IOUserClient;
class IOPMrootDomain;

namespace hx::kern {
class UserInterest;
}

struct IORegistryPlane;
extern const IORegistryPlane* gIOServicePlane;
extern const OSSymbol* gIOGeneralInterest;

class IORegistryEntry : public OSObject {
    OSDeclareDefaultStructors(IORegistryEntry) public :
        // Takes a copy of the dictionary as the property table.
        virtual bool init(OSDictionary* dictionary = nullptr);
    using OSObject::init;

    bool setProperty(const char* key, OSObject* anObject);
    bool setProperty(const OSSymbol* key, OSObject* anObject);
    bool setProperty(const OSString* key, OSObject* anObject);
    bool setProperty(const char* key, const char* aString);
    bool setProperty(const char* key, bool aBoolean);
    bool setProperty(const char* key, unsigned long long aValue, unsigned numberOfBits);
    bool setProperty(const char* key, const void* bytes, unsigned length);
    void removeProperty(const char* key);
    // Not retained: valid while the property stays set.
    OSObject* getProperty(const char* key) const;
    OSObject* getProperty(const OSString* key) const;
    // Retained for the caller.
    OSObject* copyProperty(const char* key) const;
    // A snapshot of the whole table (a new dictionary sharing the values);
    // what user space reads.
    OSDictionary* dictionaryWithProperties() const;
    bool serializeProperties(OSSerialize* s) const;
    // A user's property write (IORegistryEntrySetCFProperty) as a dictionary
    // of the new values; kIOReturnUnsupported unless an entry takes them.
    virtual IOReturn setProperties(OSObject* properties);

    uint64_t getRegistryEntryID() const { return mEntryID; }
    const char* getName(const IORegistryPlane* plane = nullptr) const;
    void setName(const char* name);

    // Iterators over a snapshot of the links, in attach order.
    OSIterator* getChildIterator(const IORegistryPlane* plane) const;
    OSIterator* getParentIterator(const IORegistryPlane* plane) const;
    IORegistryEntry* getChildEntry(const IORegistryPlane* plane) const;
    IORegistryEntry* getParentEntry(const IORegistryPlane* plane) const;

protected:
    void free() override;
    bool attachToParent(IORegistryEntry* parent);
    void detachFromParent(IORegistryEntry* parent);
    std::vector<IORegistryEntry*> childrenSnapshot() const; // retained
    std::vector<IORegistryEntry*> parentsSnapshot() const;  // retained

private:
    mutable std::mutex mPropertyLock;
    OSDictionary* mProperties = nullptr;
    uint64_t mEntryID = 0;
    std::string mName;
    std::vector<IORegistryEntry*> mChildren; // guarded by the registry lock
    std::vector<IORegistryEntry*> mParents;
};

// A registration that delivers messages to a handler until removed.
class IONotifier : public OSObject {
    OSDeclareCommonStructors(IONotifier) public :
        // Stops delivery and drops the registration. Safe from inside the handler.
        virtual void remove() = 0;
    virtual bool disable() = 0;
    virtual void enable(bool was) = 0;

protected:
    IONotifier() = default;
    ~IONotifier() override = default;
};

typedef IOReturn (*IOServiceInterestHandler)(void* target, void* refCon, UInt32 messageType,
                                             IOService* provider, void* messageArgument,
                                             vm_size_t argSize);

class IOService : public IORegistryEntry {
    OSDeclareDefaultStructors(IOService) public
        : bool init(OSDictionary* dictionary = nullptr) override;

    virtual IOService* probe(IOService* provider, SInt32* score);
    virtual bool start(IOService* provider);
    virtual void stop(IOService* provider);
    virtual bool terminate(IOOptionBits options = 0);
    virtual bool finalize(IOOptionBits options);
    virtual bool didTerminate(IOService* provider, IOOptionBits options, bool* defer);
    virtual bool attach(IOService* provider);
    virtual void detach(IOService* provider);

    // Publishes the service and starts matching drivers against it (on the
    // kernel thread; kIOServiceSynchronous waits until matching is done).
    virtual void registerService(IOOptionBits options = 0);
    bool isRegistered() const { return mRegistered.load(std::memory_order_acquire); }
    bool isInactive() const { return mInactive.load(std::memory_order_acquire); }

    IOService* getProvider() const;
    IOService* getClient() const;
    OSIterator* getClientIterator() const;
    OSIterator* getProviderIterator() const;

    virtual IOReturn messageClients(UInt32 type, void* argument = nullptr, vm_size_t argSize = 0);
    virtual IOReturn messageClient(UInt32 messageType, OSObject* client,
                                   void* messageArgument = nullptr, vm_size_t argSize = 0);
    virtual IOReturn message(UInt32 type, IOService* provider, void* argument = nullptr);

    // Exclusive by default: one client holds the service open at a time.
    virtual bool open(IOService* forClient, IOOptionBits options = 0, void* arg = nullptr);
    virtual void close(IOService* forClient, IOOptionBits options = 0);
    virtual bool isOpen(const IOService* forClient = nullptr) const;

    virtual IOReturn newUserClient(task_t owningTask, void* securityID, UInt32 type,
                                   OSDictionary* properties, IOUserClient** handler);
    virtual IOReturn newUserClient(task_t owningTask, void* securityID, UInt32 type,
                                   IOUserClient** handler);
    virtual bool terminateClient(IOService* client, IOOptionBits options);

    // Only general interest is offered. The handler runs on the thread that
    // sends the message.
    IONotifier* registerInterest(const OSSymbol* typeOfInterest, IOServiceInterestHandler handler,
                                 void* target, void* ref = nullptr);
    // General interest for user space: every later message (and at most
    // kUserInterestArgumentLimit bytes of its argument) is copied into the
    // subscription's queue; the sender never runs subscriber code, and every
    // subscriber sees the service's messages in the same order.
    std::shared_ptr<hx::kern::UserInterest> subscribeUserInterest();

    static IOPMrootDomain* getPMRootDomain();
    virtual IOReturn powerStateWillChangeTo(IOPMPowerFlags flags, unsigned long stateNumber,
                                            IOService* whatDevice);
    virtual IOReturn powerStateDidChangeTo(IOPMPowerFlags flags, unsigned long stateNumber,
                                           IOService* whatDevice);

protected:
    virtual bool handleOpen(IOService* forClient, IOOptionBits options, void* arg);
    virtual void handleClose(IOService* forClient, IOOptionBits options);
    virtual bool handleIsOpen(const IOService* forClient) const;
    void free() override;

private:
    friend struct IOServicePrivate;
    std::atomic<bool> mInactive{false};
    std::atomic<bool> mRegistered{false};
    std::atomic<IOService*> mStartedOn{nullptr}; // provider of a successful start
    std::atomic<bool> mHasDriver{false};         // a matched driver started on this nub
    mutable std::mutex mOpenLock;
    IOService* mOpenedBy = nullptr;
    std::vector<class IOServiceInterestNotifier*>
        mInterest; // guarded by the registry's interest lock
    // Held while a message is queued to every user subscriber, so all see one order.
    std::mutex mUserInterestLock;
    std::vector<std::weak_ptr<hx::kern::UserInterest>> mUserInterest;
};

// The power-management root domain: drivers register interest in system
// sleep and wake. The test hooks below drive a sleep and a wake.
class IOPMrootDomain : public IOService {
    OSDeclareDefaultStructors(IOPMrootDomain) public
        : IOPMPowerFlags registerInterestedDriver(IOService* theDriver);
    IOReturn deRegisterInterestedDriver(IOService* theDriver);
    unsigned interestedDriverCount() const;

private:
    friend struct IOServicePrivate;
    mutable std::mutex mLock;
    std::vector<IOService*> mDrivers;
};

namespace hx::kern {

constexpr vm_size_t kUserInterestArgumentLimit = 4096;

// One user-space subscription to a service's messages: a queue the service
// fills and the subscriber drains on its own thread (waits go through the
// platform clock).
class UserInterest {
public:
    struct Message {
        UInt32 type = 0;
        std::vector<uint8_t> argument;
    };
    // The oldest queued message, if any.
    bool next(Message& out);
    // Waits for a message until the deadline (hx::clock); false when none came.
    bool waitNext(Message& out, uint64_t deadlineNanos);
    size_t pending() const;
    // No more messages are queued.
    void cancel();
    bool isCancelled() const;

    // Hands every later message to sink instead of the queue, in post order,
    // on the sender's thread (the sink only queues: it must not call into the
    // kernel). A transport's port funnels several subscriptions into one
    // ordered stream this way.
    void setSink(std::function<void(Message&&)> sink);

    // The service's side.
    void post(UInt32 type, const void* argument, vm_size_t size);

private:
    mutable std::mutex mLock;
    std::condition_variable mCv;
    std::function<void(Message&&)> mSink;
    std::vector<Message> mQueue;
    size_t mHead = 0;
    bool mCancelled = false;
};

// Publish and terminate subscriptions for user space: services a matching
// dictionary accepts are queued (retained) when they are registered or when
// they begin terminating (after their clients were told), queued the same way
// as user interest, so the sender never runs subscriber code. A service is
// registered once, so it is published once; FirstMatch comes once per
// service, after its first matching has run (drivers probed and started).
enum class ServiceEvent { Publish, Terminate, FirstMatch };

class ServiceSubscription {
public:
    ~ServiceSubscription();
    // The oldest queued service, retained for the caller; null when none.
    IOService* next();
    size_t pending() const;
    // No more services are queued; those queued are dropped.
    void cancel();
    bool isCancelled() const;
    // As UserInterest::setSink: the sink takes over the retained service.
    void setSink(std::function<void(IOService*)> sink);

    ServiceEvent event() const { return mEvent; }
    const OSDictionary* matching() const { return mMatching; }

    // The registry's side.
    void post(IOService* service);

private:
    friend std::shared_ptr<ServiceSubscription> subscribeServices(const OSDictionary*, ServiceEvent,
                                                                  std::vector<IOService*>*);
    ServiceSubscription(const OSDictionary* matching, ServiceEvent event);
    mutable std::mutex mLock;
    std::function<void(IOService*)> mSink;
    std::vector<IOService*> mQueue;
    bool mCancelled = false;
    OSDictionary* mMatching;
    ServiceEvent mEvent;
};

// Whether a matching dictionary accepts the service: "IOProviderClass" names
// its class or a base class, and every personality key it holds ("idVendor",
// "idProduct", ...) equals the service's property. A dictionary with none of
// these keys accepts nothing.
bool serviceMatches(IOService* service, const OSDictionary* matching);
// A second class name user space knows a nub class by: matching ("IOProviderClass")
// and IOObjectConformsTo accept alias for services of className or a subclass.
// Declared where the nub class is registered; kernel matching of driver
// personalities never sees it.
void addUserClassAlias(const char* alias, const char* className);
// Whether the service is of className, a subclass of it, or of a class that
// className is a user-space alias of.
bool serviceConformsTo(IOService* service, const char* className);

// A control request a user process sends on a device nub's default pipe (the
// USB device interface). The USB family sets the handler where it registers
// its nub class; data holds wLength bytes either way, done gets what moved.
struct UserDeviceRequest {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
};
using UserDeviceRequestHandler =
    std::function<IOReturn(IOService* nub, const UserDeviceRequest& r, void* data, uint32_t* done)>;
void setUserDeviceRequestHandler(UserDeviceRequestHandler handler);
// kIOReturnUnsupported when no handler is set or the service is no device nub.
IOReturn userDeviceRequest(IOService* nub, const UserDeviceRequest& r, void* data, uint32_t* done);
// The entry's path in the service plane: "IOService:/" and the names from
// the topmost provider down to the entry, separated by '/'.
std::string servicePlanePath(IORegistryEntry* entry);
// Registered, active services the dictionary accepts, in registration order,
// each retained for the caller.
std::vector<IOService*> copyMatchingServices(const OSDictionary* matching);
// Subscribes to later publishes or terminations of matching services. For a
// publish subscription, existing (when given) receives, retained, the
// matching services already registered (for a first-match subscription,
// those whose matching has run), taken together with the subscription so no
// service is missed or seen twice.
std::shared_ptr<ServiceSubscription> subscribeServices(const OSDictionary* matching,
                                                       ServiceEvent event,
                                                       std::vector<IOService*>* existing = nullptr);

// Adds a driver personality (what an Info.plist's IOKitPersonalities entry
// holds): "IOClass" names the driver class, "IOProviderClass" the nub class,
// "IOProbeScore" an optional starting score; keys such as "idVendor" and
// "idProduct" must equal the nub's properties of the same name. Matching runs
// against every registered nub that has no driver yet.
void addPersonality(const OSDictionary* personality);
// Removes every personality whose "IOClass" is className.
void removePersonalities(const char* className);

// Waits until matching and termination work has settled (not callable from
// the kernel thread).
void waitQuiet();
// Runs work on the kernel thread, later.
void postToKernelThread(std::function<void()> work);
bool onKernelThread();

// Registered, active services whose class is className or derives from it,
// in registration order, each retained for the caller.
std::vector<IOService*> copyServicesOfClass(const char* className);

// Test hooks: the system goes to sleep / wakes up. The root domain tells its
// interested drivers on the power manager's thread; the call returns once
// they have all been told.
void systemWillSleep();
void systemDidWake();
// Delivers one will/did pair with the given flags and power state, on the
// power manager's thread; returns once every interested driver was told.
void deliverPowerChange(IOPMPowerFlags flags, unsigned long state);

} // namespace hx::kern
