#include "platform/cf/CFInternal.h"

#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"

#include <cstdio>

namespace {
// Distinct non-null allocators; none is ever dereferenced.
struct AllocatorTag {
    int unused;
};
AllocatorTag gSystemAllocator, gMallocAllocator, gNullAllocator;
} // namespace

extern "C" {
const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFAllocatorRef kCFAllocatorSystemDefault =
    reinterpret_cast<CFAllocatorRef>(&gSystemAllocator);
const CFAllocatorRef kCFAllocatorMalloc = reinterpret_cast<CFAllocatorRef>(&gMallocAllocator);
const CFAllocatorRef kCFAllocatorNull = reinterpret_cast<CFAllocatorRef>(&gNullAllocator);
}

namespace hx::cf {

void Object::describe(std::string& out, int) const {
    char buf[64];
    std::snprintf(buf, sizeof buf, "<CFType %lu %p>", typeID(), static_cast<const void*>(this));
    out += buf;
}

std::string describe(CFTypeRef ref) {
    std::string out;
    if (ref)
        object(ref)->describe(out, 0);
    else
        out = "(null)";
    return out;
}

} // namespace hx::cf

using hx::cf::object;

extern "C" {

CFTypeRef CFRetain(CFTypeRef cf) {
    if (!cf) return nullptr;
    const auto* o = object(cf);
    if (!o->immortal())
        const_cast<hx::cf::Object*>(o)->mRefs.fetch_add(1, std::memory_order_relaxed);
    return cf;
}

void CFRelease(CFTypeRef cf) {
    if (!cf) return;
    auto* o = const_cast<hx::cf::Object*>(object(cf));
    if (o->immortal()) return;
    if (o->mRefs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete o;
}

CFIndex CFGetRetainCount(CFTypeRef cf) {
    if (!cf) return 0;
    const auto* o = object(cf);
    return o->immortal() ? CFIndex(0x7fffffff) : o->mRefs.load(std::memory_order_relaxed);
}

CFTypeID CFGetTypeID(CFTypeRef cf) {
    return cf ? object(cf)->typeID() : 0;
}

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2) {
    if (cf1 == cf2) return cf1 != nullptr;
    if (!cf1 || !cf2) return false;
    const auto* a = object(cf1);
    const auto* b = object(cf2);
    return a->typeID() == b->typeID() && a->equals(*b);
}

CFHashCode CFHash(CFTypeRef cf) {
    return cf ? object(cf)->hash() : 0;
}

CFStringRef CFCopyDescription(CFTypeRef cf) {
    if (!cf) return nullptr;
    return hx::cf::stringFromUtf8(hx::cf::describe(cf));
}

void CFShow(CFTypeRef obj) {
    std::string text = hx::cf::describe(obj);
    text += '\n';
    hx::log::write(text.data(), text.size());
}

CFAbsoluteTime CFAbsoluteTimeGetCurrent(void) {
    return double(hx::clock::nowNanos()) / 1e9;
}
}
