#include "driver/engine/kcore/KernelObject.h"

#include "driver/engine/kcore/KernelCore.h"

namespace QnKernel {

Object::~Object() {
    QN_KASSERT(mRefCounter == 0);
}

int32_t Object::retain() {
    return __atomic_add_fetch(&mRefCounter, 1, __ATOMIC_SEQ_CST);
}

int32_t Object::release() {
    // Read before the count drops: once it has, another holder may delete.
    ReleaseHook hook = mpReleaseHook;
    int32_t old = __atomic_fetch_sub(&mRefCounter, 1, __ATOMIC_SEQ_CST);
    int32_t value = old - 1;
    QN_KASSERT(value >= 0);
    bool destroy = hook ? hook(this, value) : value <= 0;
    if (destroy) {
        delete this;
    }
    return value;
}

int32_t Object::releaseNoDelete() {
    int32_t value = __atomic_sub_fetch(&mRefCounter, 1, __ATOMIC_SEQ_CST);
    QN_KASSERT(value >= 0);
    return value;
}

void* Object::operator new(std::size_t size) noexcept {
    return memoryAlloc(size);
}
void* Object::operator new[](std::size_t size) noexcept {
    return memoryAlloc(size);
}
void Object::operator delete(void* p) noexcept {
    memoryFree(p);
}
void Object::operator delete[](void* p) noexcept {
    memoryFree(p);
}
void Object::operator delete(void* p, std::size_t) noexcept {
    memoryFree(p);
}
void Object::operator delete[](void* p, std::size_t) noexcept {
    memoryFree(p);
}

ObjectVar::ObjectVar(Object* o) : mpObject(o) {
    if (mpObject) mpObject->retain();
}

ObjectVar::ObjectVar(const ObjectVar& other) : ObjectVar(other.mpObject) {}

ObjectVar::~ObjectVar() {
    if (mpObject) mpObject->release();
}

ObjectVar& ObjectVar::operator=(Object* o) {
    if (o == mpObject) return *this;
    if (o) o->retain();
    Object* old = mpObject;
    mpObject = o;
    if (old) old->release();
    return *this;
}

} // namespace QnKernel
