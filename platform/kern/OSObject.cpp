#include "platform/kern/OSObject.h"

#include "platform/base/HXLog.h"

#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

struct ClassTable {
    std::mutex lock;
    std::map<std::string, const OSMetaClass*> byName;
};

// Function-local so that classes registering during static initialisation
// find it constructed, whatever the order of translation units.
ClassTable& classTable() {
    static ClassTable* table = new ClassTable;
    return *table;
}

} // namespace

OSMetaClass::OSMetaClass(const char* className, const OSMetaClass* superClass, AllocFunction alloc)
    : mName(className), mSuper(superClass), mAlloc(alloc) {
    ClassTable& t = classTable();
    std::lock_guard<std::mutex> g(t.lock);
    // The first class of a name keeps it: a second one would silently change
    // what a personality or a client type creates.
    auto [it, added] = t.byName.emplace(className, this);
    if (!added && it->second != this)
        IOLog("OSMetaClass: class %s is already registered; the second one is refused\n",
              className);
}

bool OSMetaClass::isRegistered() const {
    ClassTable& t = classTable();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.byName.find(mName);
    return it != t.byName.end() && it->second == this;
}

OSObject* OSMetaClass::alloc() const {
    return mAlloc ? mAlloc() : nullptr;
}

bool OSMetaClass::isSubclassOf(const OSMetaClass* other) const {
    for (const OSMetaClass* m = this; m; m = m->mSuper)
        if (m == other) return true;
    return false;
}

bool OSMetaClass::isSubclassOf(const char* className) const {
    if (!className) return false;
    for (const OSMetaClass* m = this; m; m = m->mSuper)
        if (std::strcmp(m->mName, className) == 0) return true;
    return false;
}

const OSMetaClass* OSMetaClass::getMetaClassWithName(const char* className) {
    if (!className) return nullptr;
    ClassTable& t = classTable();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.byName.find(className);
    return it == t.byName.end() ? nullptr : it->second;
}

OSObject* OSMetaClass::allocClassWithName(const char* className) {
    const OSMetaClass* m = getMetaClassWithName(className);
    return m ? m->alloc() : nullptr;
}

// The root cannot be created by name: it is abstract in spirit.
const OSMetaClass OSObject::gMetaClass("OSObject", nullptr, nullptr);
const OSMetaClass* OSObject::getMetaClass() const {
    return &OSObject::gMetaClass;
}

OSObject::OSObject() = default;
OSObject::~OSObject() = default;

void OSObject::retain() const {
    mRetainCount.fetch_add(1, std::memory_order_relaxed);
}

void OSObject::release() const {
    const int before = mRetainCount.fetch_sub(1, std::memory_order_acq_rel);
    if (before == 1) {
        const_cast<OSObject*>(this)->free();
    } else if (before < 1) {
        IOLog("OSObject::release: %s %p released below zero\n", getMetaClass()->getClassName(),
              (const void*)this);
    }
}

bool OSObject::serialize(OSSerialize*) const {
    return false;
}

void OSObject::free() {
    delete this;
}
