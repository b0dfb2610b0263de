// Reference-counted objects of the kernel build of the core library.
//
// An Object starts with count 0; retain and release return the new count.
// Without a release hook the release that takes the count to 0 or below
// deletes the object; with one, the hook decides. Objects live in core
// memory blocks (size-headed kernel allocations). ObjectVar holds one
// reference. Both live in namespace QnKernel so they never meet the user
// build's Object and ObjectVar in one process.
#pragma once

#include <cstddef>
#include <cstdint>

namespace QnKernel {

class Object {
public:
    // Given the object and its new count, says whether to delete it.
    typedef bool (*ReleaseHook)(Object*, int32_t newCount);

    Object() = default;
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    int32_t retain();
    int32_t release();
    int32_t releaseNoDelete();
    virtual int64_t hashValue() const { return 0; }
    int32_t refCount() const { return __atomic_load_n(&mRefCounter, __ATOMIC_SEQ_CST); }

    void setReleaseHook(ReleaseHook hook) { mpReleaseHook = hook; }

    static void* operator new(std::size_t size) noexcept;
    static void* operator new[](std::size_t size) noexcept;
    static void operator delete(void* p) noexcept;
    static void operator delete[](void* p) noexcept;
    static void operator delete(void* p, std::size_t) noexcept;
    static void operator delete[](void* p, std::size_t) noexcept;

protected:
    int32_t mRefCounter = 0;
    ReleaseHook mpReleaseHook = nullptr;
};

class ObjectVar {
public:
    ObjectVar() = default;
    ObjectVar(Object* o);
    ObjectVar(const ObjectVar& other);
    ~ObjectVar();

    ObjectVar& operator=(Object* o);
    ObjectVar& operator=(const ObjectVar& other) { return *this = other.mpObject; }

    Object* getObject() const { return mpObject; }

private:
    Object* mpObject = nullptr;
};

} // namespace QnKernel
