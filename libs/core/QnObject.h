// Reference-counted heap objects of the core library.
//
// An Object starts with count 0: whoever creates it takes the first
// reference with retain, and the release that takes the count to 0 deletes
// it (unless a delete hook decides otherwise). ObjectVar holds exactly one
// reference to a non-null object. Class allocation goes through the
// library's memory functions and reports exhaustion with null, not a throw.
#pragma once

#include "libs/core/QnStatus.h"

#include <cstddef>

class Object {
public:
    // Decides on every release, given the new count, whether to delete.
    typedef bool (*DeleteHook)(Object*, int newCount);

    Object();
    Object(const Object&);
    Object& operator=(const Object&);
    virtual ~Object();

    virtual qn_int64 compare(Object const* other) const;
    virtual qn_int64 hashValue() const;

    int retain();
    int release();
    int releaseNoDelete();
    int refCount() const;

    void setDeleteHook(DeleteHook hook) { mpDeleteHook = hook; }
    // A hook for objects that release must never delete.
    static bool NoDeleteOnZeroCallback(Object*, int);

    static void* operator new(std::size_t size) noexcept;
    static void* operator new[](std::size_t size) noexcept;
    static void operator delete(void* p);
    static void operator delete[](void* p);
    static void* operator new(std::size_t, void* p) noexcept { return p; }
    static void operator delete(void*, void*) {}

protected:
    int mRefCounter;
    DeleteHook mpDeleteHook;
};

class ObjectVar {
public:
    ObjectVar() : mpObject(nullptr) {}
    ObjectVar(Object* o);
    ObjectVar(const ObjectVar& other);
    ObjectVar(ObjectVar&& other) noexcept;
    ~ObjectVar();

    Object* getObject() const { return mpObject; }

    ObjectVar& operator=(Object* o);
    ObjectVar& operator=(const ObjectVar& other);
    ObjectVar& operator=(ObjectVar&& other) noexcept;
    ObjectVar& move(ObjectVar& other);

private:
    Object* mpObject;
};
