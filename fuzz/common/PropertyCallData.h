// The caller's side of a property call for the plug-in property fuzz targets:
// guarded buffers, the data a call passes (null, raw bytes, a CF object by
// reference or a value translation, as the selector takes it) and the
// release of what a successful get handed out. Which selectors carry what is
// each target's own rule.
#pragma once

#include "fuzz/common/FuzzInput.h"
#include "platform/cf/CoreFoundation.h"
#include "platform/coreaudio/CoreAudioTypes.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

namespace hxfuzz {

inline UInt32 selectorCode(const char* c) {
    return hx::coreaudio::fourCC(*reinterpret_cast<const char(*)[5]>(c));
}

inline bool isOneOf(UInt32 selector, std::initializer_list<const char*> codes) {
    for (const char* c : codes)
        if (selector == selectorCode(c)) return true;
    return false;
}

// A buffer with guard bytes on both sides, filled with a pattern.
struct Guarded {
    static constexpr uint8_t kGuard = 0xA5;
    static constexpr std::size_t kGuardBytes = 32;

    explicit Guarded(std::size_t bytes, uint8_t fill = 0x5A)
        : mem(bytes + 2 * kGuardBytes, kGuard), size(bytes) {
        std::memset(mem.data() + kGuardBytes, fill, bytes);
    }
    uint8_t* data() { return mem.data() + kGuardBytes; }
    // A write before or past the buffer is a finding.
    void check() const {
        for (std::size_t i = 0; i < kGuardBytes; ++i) {
            if (mem[i] != kGuard || mem[kGuardBytes + size + i] != kGuard) {
                std::fprintf(stderr, "property fuzz: guard byte %zu of a %zu-byte buffer written\n",
                             i, size);
                __builtin_trap();
            }
        }
    }
    // The object a call wrote at the start, or null when it wrote none.
    CFTypeRef objectWritten(uint8_t fill = 0x5A) const {
        if (size < sizeof(CFTypeRef)) return nullptr;
        CFTypeRef o;
        std::memcpy(&o, mem.data() + kGuardBytes, sizeof o);
        uintptr_t pattern;
        std::memset(&pattern, fill, sizeof pattern);
        return reinterpret_cast<uintptr_t>(o) == pattern ? nullptr : o;
    }
    std::vector<uint8_t> mem;
    std::size_t size;
};

// What a target's selectors carry, and how it makes a CF object to set.
struct SelectorRules {
    bool (*carriesObject)(UInt32 selector);      // one CF object by reference
    bool (*isTranslation)(UInt32 selector);      // a value translation
    bool (*translatesToObject)(UInt32 selector); // its output a CF object to release
    CFTypeRef (*objectFrom)(Input& in);          // the caller releases it
};

// One call's data: the caller's buffer, and what it leads to.
struct CallData {
    bool null = false;
    std::unique_ptr<Guarded> buffer;
    // A translation's input and output buffers.
    std::unique_ptr<Guarded> input, output;
    CFTypeRef object = nullptr; // a set's borrowed object
    ~CallData() {
        if (object) CFRelease(object);
    }
    void check() const {
        if (buffer) buffer->check();
        if (input) input->check();
        if (output) output->check();
    }
    void* pointer() { return null ? nullptr : buffer->data(); }
};

// Fills d for a call of selector with size bytes of data. Translation is
// the value-translation record's layout (input pointer and size, output
// pointer and size).
template <class Translation>
void dataFrom(Input& in, const SelectorRules& rules, UInt32 selector, UInt32 size, bool isSet,
              CallData& d) {
    enum Kind : uint8_t { kNull, kRaw, kTranslation, kObject };
    Kind kind = Kind(in.u8() % 4);
    // A value the API passes by reference is given as it must be: the caller
    // owns what its pointers lead to.
    const bool object = rules.carriesObject(selector) && size >= sizeof(CFTypeRef);
    const bool translation = rules.isTranslation(selector) && size >= sizeof(Translation);
    if (kind != kNull && object) kind = kObject;
    if (kind != kNull && translation) kind = kTranslation;
    if ((kind == kObject && !object) || (kind == kTranslation && !translation)) kind = kRaw;
    if (kind == kNull) {
        d.null = true;
        return;
    }
    d.buffer = std::make_unique<Guarded>(size);
    switch (kind) {
    case kRaw:
        for (UInt32 i = 0; i < size; ++i)
            d.buffer->data()[i] = in.u8();
        break;
    case kObject:
        if (isSet) {
            d.object = rules.objectFrom(in);
            std::memcpy(d.buffer->data(), &d.object, sizeof d.object);
        }
        break;
    case kTranslation: {
        Translation t{};
        const uint8_t shape = in.u8();
        const UInt32 inSize = in.u8() % 16;
        const UInt32 outSize = in.u8() % 80;
        if (!(shape & 1)) {
            d.input = std::make_unique<Guarded>(inSize);
            for (UInt32 i = 0; i < inSize; ++i)
                d.input->data()[i] = i < 4 ? in.u8() % 4 : in.u8();
            t.mInputData = d.input->data();
        }
        if (!(shape & 2)) {
            d.output = std::make_unique<Guarded>(outSize);
            t.mOutputData = d.output->data();
        }
        // The sizes the translation claims are its buffers' own.
        t.mInputDataSize = inSize;
        t.mOutputDataSize = outSize;
        std::memcpy(d.buffer->data(), &t, sizeof t);
        break;
    }
    default:
        break;
    }
}

// Releases what a successful get handed out.
inline void releaseHandedOut(const SelectorRules& rules, UInt32 selector, OSStatus status,
                             UInt32 givenSize, CallData& d) {
    if (status != 0 || d.null) return;
    if (rules.carriesObject(selector) && givenSize >= sizeof(CFTypeRef)) {
        if (CFTypeRef o = d.buffer->objectWritten()) CFRelease(o);
    }
    if (rules.translatesToObject(selector) && d.output) {
        if (CFTypeRef o = d.output->objectWritten()) CFRelease(o);
    }
}

} // namespace hxfuzz
