#include "libs/core/QnObject.h"

#include "libs/core/QnMemory.h"
#include "platform/base/OSAtomic.h"

Object::Object() : mRefCounter(0), mpDeleteHook(nullptr) {}

Object::Object(const Object&) : mRefCounter(0), mpDeleteHook(nullptr) {}

Object& Object::operator=(const Object&) {
    return *this;
}

Object::~Object() = default;

qn_int64 Object::compare(Object const*) const {
    return 0;
}

qn_int64 Object::hashValue() const {
    return 0;
}

int Object::retain() {
    return OSAtomicAdd32Barrier(1, &mRefCounter);
}

int Object::release() {
    // Read the hook before letting go of our reference: once the count drops,
    // another thread's release may delete the object.
    const auto hook = mpDeleteHook;
    const int n = OSAtomicAdd32Barrier(-1, &mRefCounter);
    const bool del = hook ? hook(this, n) : n <= 0;
    if (del) delete this;
    return n;
}

int Object::releaseNoDelete() {
    return OSAtomicAdd32Barrier(-1, &mRefCounter);
}

int Object::refCount() const {
    return __atomic_load_n(&mRefCounter, __ATOMIC_SEQ_CST);
}

bool Object::NoDeleteOnZeroCallback(Object*, int) {
    return false;
}

void* Object::operator new(std::size_t size) noexcept {
    return memoryAlloc(size);
}
void* Object::operator new[](std::size_t size) noexcept {
    return memoryAlloc(size);
}
void Object::operator delete(void* p) {
    memoryFree(p);
}
void Object::operator delete[](void* p) {
    memoryFree(p);
}

ObjectVar::ObjectVar(Object* o) : mpObject(o) {
    if (o) o->retain();
}

ObjectVar::ObjectVar(const ObjectVar& other) : mpObject(other.mpObject) {
    if (mpObject) mpObject->retain();
}

ObjectVar::ObjectVar(ObjectVar&& other) noexcept : mpObject(other.mpObject) {
    other.mpObject = nullptr;
}

ObjectVar::~ObjectVar() {
    if (mpObject) mpObject->release();
}

ObjectVar& ObjectVar::operator=(Object* o) {
    if (o == mpObject) return *this;
    // Take the new object before letting go of the old one: the old object
    // may hold the only other reference to the new one (walking a chain with
    // v = next).
    if (o) o->retain();
    Object* old = mpObject;
    mpObject = o;
    if (old) old->release();
    return *this;
}

ObjectVar& ObjectVar::operator=(const ObjectVar& other) {
    return *this = other.mpObject;
}

ObjectVar& ObjectVar::operator=(ObjectVar&& other) noexcept {
    return move(other);
}

ObjectVar& ObjectVar::move(ObjectVar& other) {
    if (&other == this) {
        // Moving a holder into itself gives its reference up.
        Object* o = mpObject;
        mpObject = nullptr;
        if (o) o->release();
        return *this;
    }
    // Take the pointer first, then release the old object (which may own
    // `other`).
    Object* incoming = other.mpObject;
    other.mpObject = nullptr;
    Object* old = mpObject;
    mpObject = incoming;
    if (old) old->release();
    return *this;
}
