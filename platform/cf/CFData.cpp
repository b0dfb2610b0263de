#include "platform/cf/CFInternal.h"

#include <cstdio>
#include <cstring>

using namespace hx::cf;

namespace {

// What an empty buffer answers: a valid pointer, never read.
const UInt8 kNoBytes[1] = {0};

bool validRange(const std::vector<UInt8>& b, CFRange r) {
    return r.location >= 0 && r.length >= 0 && std::size_t(r.location) <= b.size() &&
           std::size_t(r.length) <= b.size() - std::size_t(r.location);
}

HXCFData* newData(const UInt8* bytes, CFIndex length, bool isMutable) {
    auto* d = new HXCFData;
    d->mMutable = isMutable;
    if (bytes && length > 0) d->mBytes.assign(bytes, bytes + length);
    return d;
}

} // namespace

bool HXCFData::equals(const Object& other) const {
    return mBytes == static_cast<const HXCFData&>(other).mBytes;
}

CFHashCode HXCFData::hash() const {
    CFHashCode h = 1469598103934665603ull;
    for (std::size_t i = 0; i < mBytes.size() && i < 64; ++i)
        h = (h ^ mBytes[i]) * 1099511628211ull;
    return h ^ mBytes.size();
}

void HXCFData::describe(std::string& out, int) const {
    out += '<';
    char hex[3];
    for (std::size_t i = 0; i < mBytes.size(); ++i) {
        if (i && i % 4 == 0) out += ' ';
        std::snprintf(hex, sizeof hex, "%02x", mBytes[i]);
        out += hex;
    }
    out += '>';
}

extern "C" {

CFTypeID CFDataGetTypeID(void) {
    return kTypeData;
}

CFDataRef CFDataCreate(CFAllocatorRef, const UInt8* bytes, CFIndex length) {
    if (length < 0 || (!bytes && length > 0)) return nullptr;
    return newData(bytes, length, false);
}

CFDataRef CFDataCreateWithBytesNoCopy(CFAllocatorRef alloc, const UInt8* bytes, CFIndex length,
                                      CFAllocatorRef) {
    // Always copied; the caller keeps its buffer.
    return CFDataCreate(alloc, bytes, length);
}

CFDataRef CFDataCreateCopy(CFAllocatorRef, CFDataRef theData) {
    auto* d = as<HXCFData>(theData);
    if (!d) return nullptr;
    if (!d->mMutable) return static_cast<CFDataRef>(CFRetain(d));
    return newData(d->mBytes.data(), CFIndex(d->mBytes.size()), false);
}

CFMutableDataRef CFDataCreateMutable(CFAllocatorRef, CFIndex) {
    return newData(nullptr, 0, true);
}

CFMutableDataRef CFDataCreateMutableCopy(CFAllocatorRef, CFIndex, CFDataRef theData) {
    auto* d = as<HXCFData>(theData);
    return d ? newData(d->mBytes.data(), CFIndex(d->mBytes.size()), true) : nullptr;
}

CFIndex CFDataGetLength(CFDataRef theData) {
    auto* d = as<HXCFData>(theData);
    return d ? CFIndex(d->mBytes.size()) : 0;
}

const UInt8* CFDataGetBytePtr(CFDataRef theData) {
    auto* d = as<HXCFData>(theData);
    if (!d) return nullptr;
    return d->mBytes.empty() ? kNoBytes : d->mBytes.data();
}

UInt8* CFDataGetMutableBytePtr(CFMutableDataRef theData) {
    auto* d = asMutable<HXCFData>(theData);
    if (!d) return nullptr;
    return d->mBytes.empty() ? const_cast<UInt8*>(kNoBytes) : d->mBytes.data();
}

void CFDataGetBytes(CFDataRef theData, CFRange range, UInt8* buffer) {
    auto* d = as<HXCFData>(theData);
    if (!d || !buffer || !validRange(d->mBytes, range) || range.length == 0) return;
    std::memcpy(buffer, d->mBytes.data() + range.location, std::size_t(range.length));
}

void CFDataSetLength(CFMutableDataRef theData, CFIndex length) {
    auto* d = asMutable<HXCFData>(theData);
    if (d && length >= 0) d->mBytes.resize(std::size_t(length), 0);
}

void CFDataIncreaseLength(CFMutableDataRef theData, CFIndex extraLength) {
    auto* d = asMutable<HXCFData>(theData);
    if (d && extraLength > 0) d->mBytes.resize(d->mBytes.size() + std::size_t(extraLength), 0);
}

void CFDataAppendBytes(CFMutableDataRef theData, const UInt8* bytes, CFIndex length) {
    auto* d = asMutable<HXCFData>(theData);
    if (d && bytes && length > 0) d->mBytes.insert(d->mBytes.end(), bytes, bytes + length);
}

void CFDataReplaceBytes(CFMutableDataRef theData, CFRange range, const UInt8* newBytes,
                        CFIndex newLength) {
    auto* d = asMutable<HXCFData>(theData);
    if (!d || !validRange(d->mBytes, range) || newLength < 0 || (!newBytes && newLength > 0))
        return;
    std::vector<UInt8> repl(newBytes, newBytes + newLength);
    auto at = d->mBytes.begin() + range.location;
    at = d->mBytes.erase(at, at + range.length);
    d->mBytes.insert(at, repl.begin(), repl.end());
}

void CFDataDeleteBytes(CFMutableDataRef theData, CFRange range) {
    CFDataReplaceBytes(theData, range, nullptr, 0);
}
}
