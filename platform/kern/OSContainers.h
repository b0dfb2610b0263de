// The kernel's property-list objects: strings, symbols, numbers, data,
// booleans, arrays, dictionaries, an iterator, and the serializer that turns
// them into property-list text.
//
// Containers retain what they hold and release it when it leaves. Like their
// originals they take no lock: a container shared between threads is guarded
// by its owner (the registry guards property tables).
#pragma once

#include "platform/kern/OSObject.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

class OSString : public OSObject {
    OSDeclareDefaultStructors(OSString) public : static OSString* withCString(const char* text);
    static OSString* withString(const OSString* other);
    virtual bool initWithCString(const char* text);

    const char* getCStringNoCopy() const { return mText.c_str(); }
    unsigned getLength() const { return (unsigned)mText.size(); }
    bool isEqualTo(const char* text) const;
    bool isEqualTo(const OSObject* other) const override;
    bool serialize(OSSerialize* s) const override;

protected:
    std::string mText;
};

// Keys of dictionaries and the registry. Unlike the original, equal symbols
// need not be the same object: keys compare by text.
class OSSymbol : public OSString {
    OSDeclareDefaultStructors(OSSymbol) public
        : static const OSSymbol* withCString(const char* text);
    static const OSSymbol* withString(const OSString* other);
};

class OSNumber : public OSObject {
    OSDeclareDefaultStructors(OSNumber) public
        : static OSNumber* withNumber(unsigned long long value, unsigned numberOfBits);
    virtual bool init(unsigned long long value, unsigned numberOfBits);
    using OSObject::init;

    unsigned numberOfBits() const { return mBits; }
    unsigned numberOfBytes() const { return (mBits + 7) / 8; }
    uint8_t unsigned8BitValue() const { return (uint8_t)mValue; }
    uint16_t unsigned16BitValue() const { return (uint16_t)mValue; }
    uint32_t unsigned32BitValue() const { return (uint32_t)mValue; }
    uint64_t unsigned64BitValue() const { return mValue; }
    void setValue(unsigned long long value);
    bool isEqualTo(const OSObject* other) const override;
    bool serialize(OSSerialize* s) const override;

private:
    uint64_t mValue = 0;
    unsigned mBits = 64;
};

class OSData : public OSObject {
    OSDeclareDefaultStructors(OSData) public
        : static OSData* withBytes(const void* bytes, unsigned length);
    static OSData* withCapacity(unsigned capacity);
    virtual bool initWithBytes(const void* bytes, unsigned length);

    const void* getBytesNoCopy() const { return mBytes.empty() ? nullptr : mBytes.data(); }
    unsigned getLength() const { return (unsigned)mBytes.size(); }
    bool appendBytes(const void* bytes, unsigned length);
    bool isEqualTo(const OSObject* other) const override;
    bool serialize(OSSerialize* s) const override;

private:
    std::vector<uint8_t> mBytes;
};

class OSBoolean : public OSObject {
    OSDeclareDefaultStructors(OSBoolean) public : static OSBoolean* withBoolean(bool value);
    bool isTrue() const { return mValue; }
    bool isFalse() const { return !mValue; }
    bool getValue() const { return mValue; }
    bool isEqualTo(const OSObject* other) const override;
    bool serialize(OSSerialize* s) const override;

protected:
    // The two shared instances are never freed.
    void free() override {}

private:
    friend OSBoolean* hxMakeSharedBoolean(bool value);
    bool mValue = false;
};
extern OSBoolean* const kOSBooleanTrue;
extern OSBoolean* const kOSBooleanFalse;

class OSCollection : public OSObject {
    OSDeclareCommonStructors(OSCollection) public : virtual unsigned getCount() const = 0;

protected:
    OSCollection() = default;
    ~OSCollection() override = default;
    friend class OSCollectionIterator;
    // The item at position i in iteration order (for dictionaries, the key).
    virtual OSObject* iterationItem(unsigned i) const = 0;
};

class OSArray : public OSCollection {
    OSDeclareDefaultStructors(OSArray) public : static OSArray* withCapacity(unsigned capacity);
    static OSArray* withObjects(const OSObject* objects[], unsigned count, unsigned capacity = 0);

    unsigned getCount() const override { return (unsigned)mItems.size(); }
    OSObject* getObject(unsigned index) const;
    bool setObject(const OSObject* object);
    bool setObject(unsigned index, const OSObject* object);
    void removeObject(unsigned index);
    void flushCollection();
    bool isEqualTo(const OSObject* other) const override;
    bool serialize(OSSerialize* s) const override;

protected:
    void free() override;
    OSObject* iterationItem(unsigned i) const override { return getObject(i); }

private:
    std::vector<OSObject*> mItems;
};

// Keeps keys in insertion order, so serialized text and iteration are stable.
class OSDictionary : public OSCollection {
    OSDeclareDefaultStructors(OSDictionary) public
        : static OSDictionary* withCapacity(unsigned capacity);
    static OSDictionary* withObjects(const OSObject* objects[], const OSSymbol* keys[],
                                     unsigned count, unsigned capacity = 0);
    static OSDictionary* withObjects(const OSObject* objects[], const OSString* keys[],
                                     unsigned count, unsigned capacity = 0);
    // A shallow copy: the values are shared (retained).
    static OSDictionary* withDictionary(const OSDictionary* other, unsigned capacity = 0);

    unsigned getCount() const override { return (unsigned)mItems.size(); }
    OSObject* getObject(const char* key) const;
    OSObject* getObject(const OSString* key) const;
    bool setObject(const char* key, const OSObject* object);
    bool setObject(const OSString* key, const OSObject* object);
    void removeObject(const char* key);
    void removeObject(const OSString* key);
    void flushCollection();
    // Copies (retains) every entry of `other` into this dictionary.
    bool merge(const OSDictionary* other);
    // The key at position i in insertion order, or null.
    const OSSymbol* getKey(unsigned i) const;
    bool isEqualTo(const OSObject* other) const override;
    bool serialize(OSSerialize* s) const override;

protected:
    void free() override;
    OSObject* iterationItem(unsigned i) const override { return const_cast<OSSymbol*>(getKey(i)); }

private:
    std::vector<std::pair<const OSSymbol*, OSObject*>> mItems;
};

class OSIterator : public OSObject {
    OSDeclareCommonStructors(OSIterator) public : virtual OSObject* getNextObject() = 0;
    virtual void reset() = 0;

protected:
    OSIterator() = default;
    ~OSIterator() override = default;
};

// Walks a collection: an array's objects, a dictionary's keys. It retains
// the collection while it lives.
class OSCollectionIterator : public OSIterator {
    OSDeclareDefaultStructors(OSCollectionIterator) public
        : static OSCollectionIterator* withCollection(const OSCollection* collection);
    OSObject* getNextObject() override;
    void reset() override { mNext = 0; }

protected:
    void free() override;

private:
    const OSCollection* mCollection = nullptr;
    unsigned mNext = 0;
};

// Collects property-list text (XML style: <dict>, <key>, <integer>, ...).
class OSSerialize : public OSObject {
    OSDeclareDefaultStructors(OSSerialize) public
        : static OSSerialize* withCapacity(unsigned capacity);

    const char* text() const { return mText.c_str(); }
    unsigned getLength() const { return (unsigned)mText.size() + 1; }
    bool addString(const char* text);
    bool addXMLEscaped(const char* text, size_t length);
    void clearText() { mText.clear(); }

private:
    std::string mText;
};
