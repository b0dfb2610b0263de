// Arrays and dictionaries.
#include "platform/cf/CFInternal.h"

#include <cstdio>

using namespace hx::cf;

namespace {

const void* typeRetain(CFAllocatorRef, const void* v) {
    return CFRetain(v);
}
void typeRelease(CFAllocatorRef, const void* v) {
    CFRelease(v);
}
const void* copyStringRetain(CFAllocatorRef, const void* v) {
    CFStringRef copy = CFStringCreateCopy(nullptr, static_cast<CFStringRef>(v));
    return copy ? copy : CFRetain(v);
}

void indentTo(std::string& out, int indent) {
    out.append(std::size_t(indent) * 4, ' ');
}

void describeValue(const void* v, CFStringRef (*copyDescription)(const void*), std::string& out,
                   int indent) {
    if (v && copyDescription == &CFCopyDescription) {
        object(v)->describe(out, indent);
    } else if (v && copyDescription) {
        CFStringRef d = copyDescription(v);
        out += utf8(d);
        CFRelease(d);
    } else {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%p", v);
        out += buf;
    }
}

bool validRange(std::size_t size, CFRange r) {
    return r.location >= 0 && r.length >= 0 && std::size_t(r.location) <= size &&
           std::size_t(r.length) <= size - std::size_t(r.location);
}

bool arrayValueEqual(const HXCFArray& a, const void* x, const void* y) {
    return x == y || (a.mCallBacks.equal && x && y && a.mCallBacks.equal(x, y));
}

HXCFArray* newArray(const CFArrayCallBacks* callBacks, bool isMutable) {
    auto* a = new HXCFArray;
    if (callBacks) a->mCallBacks = *callBacks;
    a->mMutable = isMutable;
    return a;
}

HXCFArray* copyArray(const HXCFArray& from, bool isMutable) {
    HXCFArray* a = newArray(&from.mCallBacks, isMutable);
    a->mValues.reserve(from.mValues.size());
    for (const void* v : from.mValues)
        a->mValues.push_back(a->retainValue(v));
    return a;
}

// Objects held under the object callbacks are never null.
bool acceptsValue(const HXCFArray& a, const void* v) {
    return v || a.mCallBacks.retain != &typeRetain;
}

HXCFDictionary* newDictionary(const CFDictionaryKeyCallBacks* keys,
                              const CFDictionaryValueCallBacks* values, bool isMutable) {
    auto* d = new HXCFDictionary;
    if (keys) d->mKeyCallBacks = *keys;
    if (values) d->mValueCallBacks = *values;
    d->mMutable = isMutable;
    return d;
}

HXCFDictionary* copyDictionary(const HXCFDictionary& from, bool isMutable) {
    HXCFDictionary* d = newDictionary(&from.mKeyCallBacks, &from.mValueCallBacks, isMutable);
    d->mEntries.reserve(from.mEntries.size());
    for (const auto& e : from.mEntries) {
        const void* k = d->mKeyCallBacks.retain ? d->mKeyCallBacks.retain(nullptr, e.key) : e.key;
        const void* v =
            d->mValueCallBacks.retain ? d->mValueCallBacks.retain(nullptr, e.value) : e.value;
        d->mEntries.push_back({k, v, e.hash});
    }
    return d;
}

bool acceptsEntry(const HXCFDictionary& d, const void* key, const void* value) {
    return (key || d.mKeyCallBacks.retain == nullptr) &&
           (value || d.mValueCallBacks.retain == nullptr);
}

} // namespace

// ---- Arrays

HXCFArray::~HXCFArray() {
    for (const void* v : mValues)
        releaseValue(v);
}

const void* HXCFArray::retainValue(const void* v) const {
    return mCallBacks.retain ? mCallBacks.retain(nullptr, v) : v;
}

void HXCFArray::releaseValue(const void* v) const {
    if (mCallBacks.release) mCallBacks.release(nullptr, v);
}

bool HXCFArray::equals(const Object& other) const {
    const auto& o = static_cast<const HXCFArray&>(other);
    if (mValues.size() != o.mValues.size()) return false;
    for (std::size_t i = 0; i < mValues.size(); ++i)
        if (!arrayValueEqual(*this, mValues[i], o.mValues[i])) return false;
    return true;
}

void HXCFArray::describe(std::string& out, int indent) const {
    out += "(\n";
    for (std::size_t i = 0; i < mValues.size(); ++i) {
        indentTo(out, indent + 1);
        describeValue(mValues[i], mCallBacks.copyDescription, out, indent + 1);
        out += i + 1 < mValues.size() ? ",\n" : "\n";
    }
    indentTo(out, indent);
    out += ')';
}

// ---- Dictionaries

HXCFDictionary::~HXCFDictionary() {
    for (const auto& e : mEntries) {
        if (mKeyCallBacks.release) mKeyCallBacks.release(nullptr, e.key);
        if (mValueCallBacks.release) mValueCallBacks.release(nullptr, e.value);
    }
}

long HXCFDictionary::find(const void* key) const {
    const CFHashCode h =
        mKeyCallBacks.hash ? mKeyCallBacks.hash(key) : reinterpret_cast<CFHashCode>(key);
    for (std::size_t i = 0; i < mEntries.size(); ++i) {
        const Entry& e = mEntries[i];
        if (e.key == key) return long(i);
        if (e.hash == h && mKeyCallBacks.equal && key && mKeyCallBacks.equal(e.key, key))
            return long(i);
    }
    return -1;
}

void HXCFDictionary::set(const void* key, const void* value) {
    const void* v = mValueCallBacks.retain ? mValueCallBacks.retain(nullptr, value) : value;
    long i = find(key);
    if (i >= 0) {
        if (mValueCallBacks.release)
            mValueCallBacks.release(nullptr, mEntries[std::size_t(i)].value);
        mEntries[std::size_t(i)].value = v;
        return;
    }
    const CFHashCode h =
        mKeyCallBacks.hash ? mKeyCallBacks.hash(key) : reinterpret_cast<CFHashCode>(key);
    const void* k = mKeyCallBacks.retain ? mKeyCallBacks.retain(nullptr, key) : key;
    mEntries.push_back({k, v, h});
}

void HXCFDictionary::removeAt(std::size_t i) {
    Entry e = mEntries[i];
    mEntries.erase(mEntries.begin() + long(i));
    if (mKeyCallBacks.release) mKeyCallBacks.release(nullptr, e.key);
    if (mValueCallBacks.release) mValueCallBacks.release(nullptr, e.value);
}

bool HXCFDictionary::equals(const Object& other) const {
    const auto& o = static_cast<const HXCFDictionary&>(other);
    if (mEntries.size() != o.mEntries.size()) return false;
    for (const auto& e : mEntries) {
        long j = o.find(e.key);
        if (j < 0) return false;
        const void* ov = o.mEntries[std::size_t(j)].value;
        if (e.value != ov &&
            !(mValueCallBacks.equal && e.value && ov && mValueCallBacks.equal(e.value, ov)))
            return false;
    }
    return true;
}

void HXCFDictionary::describe(std::string& out, int indent) const {
    out += "{\n";
    for (const auto& e : mEntries) {
        indentTo(out, indent + 1);
        describeValue(e.key, mKeyCallBacks.copyDescription, out, indent + 1);
        out += " = ";
        describeValue(e.value, mValueCallBacks.copyDescription, out, indent + 1);
        out += ";\n";
    }
    indentTo(out, indent);
    out += '}';
}

extern "C" {

const CFArrayCallBacks kCFTypeArrayCallBacks = {0, typeRetain, typeRelease, CFCopyDescription,
                                                CFEqual};
const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {
    0, typeRetain, typeRelease, CFCopyDescription, CFEqual, CFHash};
const CFDictionaryKeyCallBacks kCFCopyStringDictionaryKeyCallBacks = {
    0, copyStringRetain, typeRelease, CFCopyDescription, CFEqual, CFHash};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {0, typeRetain, typeRelease,
                                                                    CFCopyDescription, CFEqual};

CFTypeID CFArrayGetTypeID(void) {
    return kTypeArray;
}

CFArrayRef CFArrayCreate(CFAllocatorRef, const void** values, CFIndex numValues,
                         const CFArrayCallBacks* callBacks) {
    if (numValues < 0 || (!values && numValues > 0)) return nullptr;
    HXCFArray* a = newArray(callBacks, false);
    for (CFIndex i = 0; i < numValues; ++i) {
        if (!acceptsValue(*a, values[i])) {
            delete a;
            return nullptr;
        }
        a->mValues.push_back(a->retainValue(values[i]));
    }
    return a;
}

CFArrayRef CFArrayCreateCopy(CFAllocatorRef, CFArrayRef theArray) {
    auto* a = as<HXCFArray>(theArray);
    if (!a) return nullptr;
    if (!a->mMutable) return static_cast<CFArrayRef>(CFRetain(a));
    return copyArray(*a, false);
}

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef, CFIndex, const CFArrayCallBacks* callBacks) {
    return newArray(callBacks, true);
}

CFMutableArrayRef CFArrayCreateMutableCopy(CFAllocatorRef, CFIndex, CFArrayRef theArray) {
    auto* a = as<HXCFArray>(theArray);
    return a ? copyArray(*a, true) : nullptr;
}

CFIndex CFArrayGetCount(CFArrayRef theArray) {
    auto* a = as<HXCFArray>(theArray);
    return a ? CFIndex(a->mValues.size()) : 0;
}

const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx) {
    auto* a = as<HXCFArray>(theArray);
    if (!a || idx < 0 || std::size_t(idx) >= a->mValues.size()) return nullptr;
    return a->mValues[std::size_t(idx)];
}

void CFArrayGetValues(CFArrayRef theArray, CFRange range, const void** values) {
    auto* a = as<HXCFArray>(theArray);
    if (!a || !values || !validRange(a->mValues.size(), range)) return;
    for (CFIndex i = 0; i < range.length; ++i)
        values[i] = a->mValues[std::size_t(range.location + i)];
}

CFIndex CFArrayGetFirstIndexOfValue(CFArrayRef theArray, CFRange range, const void* value) {
    auto* a = as<HXCFArray>(theArray);
    if (!a || !validRange(a->mValues.size(), range)) return kCFNotFound;
    for (CFIndex i = range.location; i < range.location + range.length; ++i)
        if (arrayValueEqual(*a, a->mValues[std::size_t(i)], value)) return i;
    return kCFNotFound;
}

Boolean CFArrayContainsValue(CFArrayRef theArray, CFRange range, const void* value) {
    return CFArrayGetFirstIndexOfValue(theArray, range, value) != kCFNotFound;
}

CFIndex CFArrayGetCountOfValue(CFArrayRef theArray, CFRange range, const void* value) {
    auto* a = as<HXCFArray>(theArray);
    if (!a || !validRange(a->mValues.size(), range)) return 0;
    CFIndex n = 0;
    for (CFIndex i = range.location; i < range.location + range.length; ++i)
        n += arrayValueEqual(*a, a->mValues[std::size_t(i)], value);
    return n;
}

void CFArrayApplyFunction(CFArrayRef theArray, CFRange range, CFArrayApplierFunction applier,
                          void* context) {
    auto* a = as<HXCFArray>(theArray);
    if (!a || !applier || !validRange(a->mValues.size(), range)) return;
    for (CFIndex i = range.location; i < range.location + range.length; ++i)
        applier(a->mValues[std::size_t(i)], context);
}

void CFArrayAppendValue(CFMutableArrayRef theArray, const void* value) {
    auto* a = asMutable<HXCFArray>(theArray);
    if (a && acceptsValue(*a, value)) a->mValues.push_back(a->retainValue(value));
}

void CFArrayInsertValueAtIndex(CFMutableArrayRef theArray, CFIndex idx, const void* value) {
    auto* a = asMutable<HXCFArray>(theArray);
    if (!a || idx < 0 || std::size_t(idx) > a->mValues.size() || !acceptsValue(*a, value)) return;
    a->mValues.insert(a->mValues.begin() + idx, a->retainValue(value));
}

void CFArraySetValueAtIndex(CFMutableArrayRef theArray, CFIndex idx, const void* value) {
    auto* a = asMutable<HXCFArray>(theArray);
    if (!a || idx < 0 || std::size_t(idx) > a->mValues.size() || !acceptsValue(*a, value)) return;
    if (std::size_t(idx) == a->mValues.size()) {
        a->mValues.push_back(a->retainValue(value));
        return;
    }
    const void* old = a->mValues[std::size_t(idx)];
    a->mValues[std::size_t(idx)] = a->retainValue(value);
    a->releaseValue(old);
}

void CFArrayRemoveValueAtIndex(CFMutableArrayRef theArray, CFIndex idx) {
    auto* a = asMutable<HXCFArray>(theArray);
    if (!a || idx < 0 || std::size_t(idx) >= a->mValues.size()) return;
    const void* old = a->mValues[std::size_t(idx)];
    a->mValues.erase(a->mValues.begin() + idx);
    a->releaseValue(old);
}

void CFArrayRemoveAllValues(CFMutableArrayRef theArray) {
    auto* a = asMutable<HXCFArray>(theArray);
    if (!a) return;
    std::vector<const void*> old;
    old.swap(a->mValues);
    for (const void* v : old)
        a->releaseValue(v);
}

void CFArrayAppendArray(CFMutableArrayRef theArray, CFArrayRef otherArray, CFRange otherRange) {
    auto* a = asMutable<HXCFArray>(theArray);
    auto* o = as<HXCFArray>(otherArray);
    if (!a || !o || !validRange(o->mValues.size(), otherRange)) return;
    std::vector<const void*> add(o->mValues.begin() + otherRange.location,
                                 o->mValues.begin() + otherRange.location + otherRange.length);
    for (const void* v : add)
        if (acceptsValue(*a, v)) a->mValues.push_back(a->retainValue(v));
}

CFTypeID CFDictionaryGetTypeID(void) {
    return kTypeDictionary;
}

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef, const void** keys, const void** values,
                                   CFIndex numValues, const CFDictionaryKeyCallBacks* keyCallBacks,
                                   const CFDictionaryValueCallBacks* valueCallBacks) {
    if (numValues < 0 || ((!keys || !values) && numValues > 0)) return nullptr;
    HXCFDictionary* d = newDictionary(keyCallBacks, valueCallBacks, false);
    for (CFIndex i = 0; i < numValues; ++i) {
        if (!acceptsEntry(*d, keys[i], values[i])) {
            delete d;
            return nullptr;
        }
        d->set(keys[i], values[i]);
    }
    return d;
}

CFDictionaryRef CFDictionaryCreateCopy(CFAllocatorRef, CFDictionaryRef theDict) {
    auto* d = as<HXCFDictionary>(theDict);
    if (!d) return nullptr;
    if (!d->mMutable) return static_cast<CFDictionaryRef>(CFRetain(d));
    return copyDictionary(*d, false);
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks) {
    return newDictionary(keyCallBacks, valueCallBacks, true);
}

CFMutableDictionaryRef CFDictionaryCreateMutableCopy(CFAllocatorRef, CFIndex,
                                                     CFDictionaryRef theDict) {
    auto* d = as<HXCFDictionary>(theDict);
    return d ? copyDictionary(*d, true) : nullptr;
}

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict) {
    auto* d = as<HXCFDictionary>(theDict);
    return d ? CFIndex(d->mEntries.size()) : 0;
}

Boolean CFDictionaryGetValueIfPresent(CFDictionaryRef theDict, const void* key,
                                      const void** value) {
    auto* d = as<HXCFDictionary>(theDict);
    if (!d) return false;
    long i = d->find(key);
    if (i < 0) return false;
    if (value) *value = d->mEntries[std::size_t(i)].value;
    return true;
}

const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key) {
    const void* v = nullptr;
    CFDictionaryGetValueIfPresent(theDict, key, &v);
    return v;
}

Boolean CFDictionaryContainsKey(CFDictionaryRef theDict, const void* key) {
    return CFDictionaryGetValueIfPresent(theDict, key, nullptr);
}

Boolean CFDictionaryContainsValue(CFDictionaryRef theDict, const void* value) {
    auto* d = as<HXCFDictionary>(theDict);
    if (!d) return false;
    for (const auto& e : d->mEntries)
        if (e.value == value || (d->mValueCallBacks.equal && value && e.value &&
                                 d->mValueCallBacks.equal(e.value, value)))
            return true;
    return false;
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void** keys, const void** values) {
    auto* d = as<HXCFDictionary>(theDict);
    if (!d) return;
    for (std::size_t i = 0; i < d->mEntries.size(); ++i) {
        if (keys) keys[i] = d->mEntries[i].key;
        if (values) values[i] = d->mEntries[i].value;
    }
}

void CFDictionaryApplyFunction(CFDictionaryRef theDict, CFDictionaryApplierFunction applier,
                               void* context) {
    auto* d = as<HXCFDictionary>(theDict);
    if (!d || !applier) return;
    // The applier may not change the dictionary; walk a snapshot all the same.
    std::vector<HXCFDictionary::Entry> entries = d->mEntries;
    for (const auto& e : entries)
        applier(e.key, e.value, context);
}

void CFDictionaryAddValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
    auto* d = asMutable<HXCFDictionary>(theDict);
    if (d && acceptsEntry(*d, key, value) && d->find(key) < 0) d->set(key, value);
}

void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
    auto* d = asMutable<HXCFDictionary>(theDict);
    if (d && acceptsEntry(*d, key, value)) d->set(key, value);
}

void CFDictionaryReplaceValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
    auto* d = asMutable<HXCFDictionary>(theDict);
    if (d && acceptsEntry(*d, key, value) && d->find(key) >= 0) d->set(key, value);
}

void CFDictionaryRemoveValue(CFMutableDictionaryRef theDict, const void* key) {
    auto* d = asMutable<HXCFDictionary>(theDict);
    if (!d) return;
    long i = d->find(key);
    if (i >= 0) d->removeAt(std::size_t(i));
}

void CFDictionaryRemoveAllValues(CFMutableDictionaryRef theDict) {
    auto* d = asMutable<HXCFDictionary>(theDict);
    while (d && !d->mEntries.empty())
        d->removeAt(d->mEntries.size() - 1);
}
}
