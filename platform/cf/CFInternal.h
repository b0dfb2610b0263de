// The object model behind the CF calls (private to platform/cf).
//
// Every object derives from hx::cf::Object as its only base, so a CFTypeRef
// and the Object it names share one address. Immortal objects (constant
// strings, the two booleans, the main run loop) ignore retain and release.
#pragma once

#include "platform/cf/CFArray.h"
#include "platform/cf/CFData.h"
#include "platform/cf/CFDictionary.h"
#include "platform/cf/CFNumber.h"
#include "platform/cf/CFString.h"
#include "platform/cf/CFURL.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace hx::cf {

enum : CFTypeID {
    kTypeDictionary = 18,
    kTypeArray = 19,
    kTypeData = 20,
    kTypeBoolean = 21,
    kTypeNumber = 22,
    kTypeString = 7,
    kTypeURL = 29,
    kTypeBundle = 31,
    kTypeRunLoop = 43,
    kTypeRunLoopSource = 44,
    kTypeRunLoopTimer = 45,
    kTypeUUID = 33,
};

class Object {
public:
    constexpr explicit Object(CFTypeID type, bool immortal = false)
        : mType(type), mImmortal(immortal) {}
    virtual ~Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    CFTypeID typeID() const { return mType; }
    // Called only with an object of the same type.
    virtual bool equals(const Object& other) const { return this == &other; }
    virtual CFHashCode hash() const { return reinterpret_cast<CFHashCode>(this); }
    // Appends a readable description (UTF-8); nested lines take indent levels.
    virtual void describe(std::string& out, int indent) const;

    void makeImmortal() { mImmortal = true; }
    bool immortal() const { return mImmortal; }
    std::atomic<CFIndex> mRefs{1};

private:
    CFTypeID mType;
    bool mImmortal = false;
};

inline const Object* object(CFTypeRef ref) {
    return static_cast<const Object*>(ref);
}

// The object as T when ref names one, else null.
template <class T> T* as(CFTypeRef ref) {
    const Object* o = object(ref);
    return o && o->typeID() == T::kTypeID ? static_cast<T*>(const_cast<Object*>(o)) : nullptr;
}
// The object as T when ref names a changeable one, else null.
template <class T> T* asMutable(CFTypeRef ref) {
    T* t = as<T>(ref);
    return t && t->mMutable ? t : nullptr;
}

std::string describe(CFTypeRef ref);

// ---- Strings (CFString.cpp, CFStringEncoding.cpp, CFStringFormat.cpp)

bool decodeUtf8(const char* bytes, std::size_t n, std::u16string& out);
bool decodeBytes(const UInt8* bytes, std::size_t n, CFStringEncoding encoding, std::u16string& out);
// Appends c (a code point) in the encoding; false when it has no form there.
bool encodeCodePoint(char32_t c, CFStringEncoding encoding, std::string& out);
void appendUtf8(std::u16string_view text, std::string& out); // lone surrogates as U+FFFD
bool isSupportedEncoding(CFStringEncoding encoding);
// printf with %@; %s arguments are UTF-8 (MacRoman when not valid UTF-8).
std::string formatUtf8(const std::string& format, va_list args);

CFStringRef makeString(std::u16string text, bool isMutable = false);
CFStringRef stringFromUtf8(const std::string& text); // null when not UTF-8
std::string utf8(CFStringRef s);                     // empty for a non-string
const std::u16string* chars(CFTypeRef s);            // null for a non-string

// ---- Numbers

CFNumberRef makeInteger(std::int64_t v);
CFNumberRef makeReal(double v);
// True for an integer-typed number, whose value is then in *v.
bool integerValue(CFNumberRef n, std::int64_t* v);
bool realValue(CFNumberRef n, double* v);

// ---- URLs (CFURL.cpp)

CFURLRef makeFileURL(const std::string& otherPath, bool isDirectory);
std::string urlPath(CFURLRef url); // the other system's path, empty for a non-URL

// ---- Property lists (CFPropertyList.cpp)

// Parses an XML document; null with a reason when it is refused.
CFPropertyListRef readPropertyList(const std::uint8_t* bytes, std::size_t n,
                                   CFOptionFlags mutability, std::string* why);
// Writes the XML document; false when the tree is not a property list.
bool writePropertyList(CFPropertyListRef plist, std::string& out);
CFPropertyListRef deepCopy(CFPropertyListRef plist, CFOptionFlags mutability, int depth = 0);

// ---- Files (HXFile.cpp)

enum class ReadResult { Ok, Missing, TooLarge, Failed };
ReadResult readFile(const std::string& hostPath, std::string& out, std::size_t maxBytes);
// Writes through a temporary file beside the target and a rename; mode < 0
// keeps the default. Answers 0 or an errno value.
int writeFileAtomically(const std::string& hostPath, const void* data, std::size_t n, int mode);
// mkdir -p; answers 0 or an errno value.
int makeFolders(const std::string& hostPath, int mode);
// Answers true when the write-failure test seam claims this path.
bool writeFailsOnPurpose(const std::string& hostPath);

// The size over which a property-list file is refused.
inline constexpr std::size_t kMaxPropertyListFile = 16u << 20;

} // namespace hx::cf

struct HXCFString final : hx::cf::Object {
    static constexpr CFTypeID kTypeID = hx::cf::kTypeString;
    HXCFString() : Object(kTypeID) {}
    bool equals(const Object& other) const override;
    CFHashCode hash() const override;
    void describe(std::string& out, int indent) const override;
    void setText(std::u16string t);

    std::u16string mText;
    std::string mAscii; // the text when it is all ASCII and the string immutable
    bool mIsAscii = false;
    bool mMutable = false;
};

struct HXCFNumber final : hx::cf::Object {
    static constexpr CFTypeID kTypeID = hx::cf::kTypeNumber;
    HXCFNumber() : Object(kTypeID) {}
    bool equals(const Object& other) const override;
    CFHashCode hash() const override;
    void describe(std::string& out, int indent) const override;

    CFNumberType mType = kCFNumberSInt32Type;
    bool mIsFloat = false;
    std::int64_t mInt = 0;
    double mReal = 0;
};

struct HXCFBoolean final : hx::cf::Object {
    static constexpr CFTypeID kTypeID = hx::cf::kTypeBoolean;
    constexpr explicit HXCFBoolean(bool v) : Object(kTypeID, true), mValue(v) {}
    bool equals(const Object& other) const override;
    void describe(std::string& out, int indent) const override;
    bool mValue;
};

struct HXCFData final : hx::cf::Object {
    static constexpr CFTypeID kTypeID = hx::cf::kTypeData;
    HXCFData() : Object(kTypeID) {}
    bool equals(const Object& other) const override;
    CFHashCode hash() const override;
    void describe(std::string& out, int indent) const override;
    std::vector<UInt8> mBytes;
    bool mMutable = false;
};

struct HXCFArray final : hx::cf::Object {
    static constexpr CFTypeID kTypeID = hx::cf::kTypeArray;
    HXCFArray() : Object(kTypeID) {}
    ~HXCFArray() override;
    bool equals(const Object& other) const override;
    CFHashCode hash() const override { return mValues.size(); }
    void describe(std::string& out, int indent) const override;
    const void* retainValue(const void* v) const;
    void releaseValue(const void* v) const;

    std::vector<const void*> mValues;
    CFArrayCallBacks mCallBacks{};
    bool mMutable = false;
};

struct HXCFDictionary final : hx::cf::Object {
    static constexpr CFTypeID kTypeID = hx::cf::kTypeDictionary;
    HXCFDictionary() : Object(kTypeID) {}
    ~HXCFDictionary() override;
    bool equals(const Object& other) const override;
    CFHashCode hash() const override { return mEntries.size(); }
    void describe(std::string& out, int indent) const override;

    struct Entry {
        const void* key;
        const void* value;
        CFHashCode hash;
    };
    // Index of key, or -1.
    long find(const void* key) const;
    void set(const void* key, const void* value);
    void removeAt(std::size_t i);

    std::vector<Entry> mEntries;
    CFDictionaryKeyCallBacks mKeyCallBacks{};
    CFDictionaryValueCallBacks mValueCallBacks{};
    bool mMutable = false;
};

namespace hx::cf {
// The main bundle's identifier as the program set it; empty for none.
std::string mainBundleIdentifier();
// Reads a property-list file that must hold a dictionary. Answers the
// dictionary, or null for a missing file (*present false) or an unreadable
// one (*present true, *why the reason).
CFDictionaryRef readDictionaryFile(const std::string& hostPath, CFOptionFlags mutability,
                                   bool* present, std::string* why);
} // namespace hx::cf
