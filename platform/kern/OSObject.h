// The kernel's object root: reference counting, run-time class information
// and the registry of classes by name.
//
// An object starts with one reference; release() of the last one calls the
// virtual free(), whose chain of overrides ends in OSObject::free(), which
// deletes the object. Classes announce themselves with the two macros below,
// so the matching engine can create a driver from the class name written in
// its personality ("IOClass").
#pragma once

#include "platform/kern/IOTypes.h"

#include <atomic>
#include <type_traits>

class OSObject;
class OSSerialize;

class OSMetaClass {
public:
    using AllocFunction = OSObject* (*)();

    // Registers the class under its name; a later class of a name already
    // registered is refused with a log line (the first keeps the name).
    OSMetaClass(const char* className, const OSMetaClass* superClass, AllocFunction alloc);
    OSMetaClass(const OSMetaClass&) = delete;
    OSMetaClass& operator=(const OSMetaClass&) = delete;

    const char* getClassName() const { return mName; }
    const OSMetaClass* getSuperClass() const { return mSuper; }
    // A new instance (one reference, not yet init'ed), or null for classes
    // that cannot be created by name.
    OSObject* alloc() const;
    // True when this class is `other` or derives from it.
    bool isSubclassOf(const OSMetaClass* other) const;
    bool isSubclassOf(const char* className) const;

    // True when the registry knows this class under its name.
    bool isRegistered() const;

    static const OSMetaClass* getMetaClassWithName(const char* className);
    static OSObject* allocClassWithName(const char* className);

private:
    const char* mName;
    const OSMetaClass* mSuper;
    AllocFunction mAlloc;
};

#define OSDeclareCommonStructors(className)                                                        \
public:                                                                                            \
    static const OSMetaClass gMetaClass;                                                           \
    const OSMetaClass* getMetaClass() const override;                                              \
    static OSObject* MetaClassAlloc();                                                             \
                                                                                                   \
private:

// Declares the class information and a public default constructor with a
// protected destructor (objects die through release()).
#define OSDeclareDefaultStructors(className)                                                       \
    OSDeclareCommonStructors(className) public : className();                                      \
                                                                                                   \
protected:                                                                                         \
    ~className() override;                                                                         \
                                                                                                   \
private:

#define OSDefineMetaClass(className, superclassName)                                               \
    const OSMetaClass className::gMetaClass(#className, &superclassName::gMetaClass,               \
                                            &className::MetaClassAlloc);                           \
    const OSMetaClass* className::getMetaClass() const {                                           \
        return &className::gMetaClass;                                                             \
    }                                                                                              \
    OSObject* className::MetaClassAlloc() {                                                        \
        return new className;                                                                      \
    }

// For abstract classes: known by name, never created by name.
#define OSDefineAbstractMetaClass(className, superclassName)                                       \
    const OSMetaClass className::gMetaClass(#className, &superclassName::gMetaClass,               \
                                            &className::MetaClassAlloc);                           \
    const OSMetaClass* className::getMetaClass() const {                                           \
        return &className::gMetaClass;                                                             \
    }                                                                                              \
    OSObject* className::MetaClassAlloc() {                                                        \
        return nullptr;                                                                            \
    }

#define OSDefineMetaClassAndStructors(className, superclassName)                                   \
    OSDefineMetaClass(className, superclassName) className::className() {}                         \
    className::~className() {}

template <class T, class U> inline T* hxDynamicCast(U* p) {
    return p ? dynamic_cast<T*>(const_cast<std::remove_const_t<U>*>(p)) : nullptr;
}
#define OSDynamicCast(type, inst) (hxDynamicCast<type>(inst))
#define OSTypeAlloc(type) (new type)

#define OSSafeReleaseNULL(inst)                                                                    \
    do {                                                                                           \
        if (inst) {                                                                                \
            (inst)->release();                                                                     \
            (inst) = nullptr;                                                                      \
        }                                                                                          \
    } while (0)

class OSObject {
public:
    static const OSMetaClass gMetaClass;
    virtual const OSMetaClass* getMetaClass() const;

    virtual bool init() { return true; }

    void retain() const;
    void release() const;
    int getRetainCount() const { return mRetainCount.load(std::memory_order_acquire); }

    virtual bool isEqualTo(const OSObject* other) const { return this == other; }
    // Appends the object's property-list text; false for objects that have
    // none (drivers, devices).
    virtual bool serialize(OSSerialize* s) const;

protected:
    OSObject();
    virtual ~OSObject();
    // The end of every object's life; overrides call their super's free().
    virtual void free();

private:
    mutable std::atomic<int> mRetainCount{1};
};
