#include "platform/kern/OSContainers.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

OSDefineMetaClassAndStructors(OSString, OSObject) OSDefineMetaClassAndStructors(OSSymbol, OSString)
    OSDefineMetaClassAndStructors(OSNumber, OSObject)
        OSDefineMetaClassAndStructors(OSData, OSObject)
            OSDefineMetaClassAndStructors(OSBoolean, OSObject)
                OSDefineAbstractMetaClass(OSCollection, OSObject)
                    OSDefineMetaClassAndStructors(OSArray, OSCollection)
                        OSDefineMetaClassAndStructors(OSDictionary, OSCollection)
                            OSDefineAbstractMetaClass(OSIterator, OSObject)
                                OSDefineMetaClassAndStructors(OSCollectionIterator, OSIterator)
                                    OSDefineMetaClassAndStructors(OSSerialize, OSObject)

    // ---- OSString / OSSymbol

    OSString* OSString::withCString(const char* text) {
    OSString* s = new OSString;
    if (!s->initWithCString(text)) {
        s->release();
        return nullptr;
    }
    return s;
}

OSString* OSString::withString(const OSString* other) {
    return other ? withCString(other->getCStringNoCopy()) : nullptr;
}

bool OSString::initWithCString(const char* text) {
    if (!text) return false;
    mText = text;
    return true;
}

bool OSString::isEqualTo(const char* text) const {
    return text && mText == text;
}

bool OSString::isEqualTo(const OSObject* other) const {
    const OSString* s = OSDynamicCast(OSString, other);
    return s && s->mText == mText;
}

bool OSString::serialize(OSSerialize* s) const {
    return s->addString("<string>") && s->addXMLEscaped(mText.data(), mText.size()) &&
           s->addString("</string>");
}

const OSSymbol* OSSymbol::withCString(const char* text) {
    if (!text) return nullptr;
    OSSymbol* s = new OSSymbol;
    s->mText = text;
    return s;
}

const OSSymbol* OSSymbol::withString(const OSString* other) {
    return other ? withCString(other->getCStringNoCopy()) : nullptr;
}

// ---- OSNumber

OSNumber* OSNumber::withNumber(unsigned long long value, unsigned numberOfBits) {
    OSNumber* n = new OSNumber;
    if (!n->init(value, numberOfBits)) {
        n->release();
        return nullptr;
    }
    return n;
}

bool OSNumber::init(unsigned long long value, unsigned numberOfBits) {
    if (numberOfBits == 0 || numberOfBits > 64) return false;
    mBits = numberOfBits;
    setValue(value);
    return true;
}

void OSNumber::setValue(unsigned long long value) {
    mValue = mBits == 64 ? value : (value & ((1ULL << mBits) - 1));
}

bool OSNumber::isEqualTo(const OSObject* other) const {
    const OSNumber* n = OSDynamicCast(OSNumber, other);
    return n && n->mValue == mValue;
}

bool OSNumber::serialize(OSSerialize* s) const {
    char buf[64];
    std::snprintf(buf, sizeof buf, "<integer size=\"%u\">0x%" PRIx64 "</integer>", mBits, mValue);
    return s->addString(buf);
}

// ---- OSData

OSData* OSData::withBytes(const void* bytes, unsigned length) {
    OSData* d = new OSData;
    if (!d->initWithBytes(bytes, length)) {
        d->release();
        return nullptr;
    }
    return d;
}

OSData* OSData::withCapacity(unsigned capacity) {
    OSData* d = new OSData;
    d->mBytes.reserve(capacity);
    return d;
}

bool OSData::initWithBytes(const void* bytes, unsigned length) {
    if (!bytes && length) return false;
    const uint8_t* b = static_cast<const uint8_t*>(bytes);
    mBytes.assign(b, b + length);
    return true;
}

bool OSData::appendBytes(const void* bytes, unsigned length) {
    if (!bytes && length) return false;
    const uint8_t* b = static_cast<const uint8_t*>(bytes);
    mBytes.insert(mBytes.end(), b, b + length);
    return true;
}

bool OSData::isEqualTo(const OSObject* other) const {
    const OSData* d = OSDynamicCast(OSData, other);
    return d && d->mBytes == mBytes;
}

bool OSData::serialize(OSSerialize* s) const {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out = "<data>";
    for (size_t i = 0; i < mBytes.size(); i += 3) {
        uint32_t v = (uint32_t)mBytes[i] << 16;
        if (i + 1 < mBytes.size()) v |= (uint32_t)mBytes[i + 1] << 8;
        if (i + 2 < mBytes.size()) v |= mBytes[i + 2];
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += i + 1 < mBytes.size() ? kDigits[(v >> 6) & 63] : '=';
        out += i + 2 < mBytes.size() ? kDigits[v & 63] : '=';
    }
    out += "</data>";
    return s->addString(out.c_str());
}

// ---- OSBoolean

OSBoolean* hxMakeSharedBoolean(bool value) {
    OSBoolean* b = new OSBoolean;
    b->mValue = value;
    return b;
}
OSBoolean* const kOSBooleanTrue = hxMakeSharedBoolean(true);
OSBoolean* const kOSBooleanFalse = hxMakeSharedBoolean(false);

OSBoolean* OSBoolean::withBoolean(bool value) {
    return value ? kOSBooleanTrue : kOSBooleanFalse;
}

bool OSBoolean::isEqualTo(const OSObject* other) const {
    const OSBoolean* b = OSDynamicCast(OSBoolean, other);
    return b && b->mValue == mValue;
}

bool OSBoolean::serialize(OSSerialize* s) const {
    return s->addString(mValue ? "<true/>" : "<false/>");
}

// ---- OSArray

OSArray* OSArray::withCapacity(unsigned capacity) {
    OSArray* a = new OSArray;
    a->mItems.reserve(capacity);
    return a;
}

OSArray* OSArray::withObjects(const OSObject* objects[], unsigned count, unsigned capacity) {
    if (!objects && count) return nullptr;
    OSArray* a = withCapacity(capacity > count ? capacity : count);
    for (unsigned i = 0; i < count; ++i) {
        if (!a->setObject(objects[i])) {
            a->release();
            return nullptr;
        }
    }
    return a;
}

OSObject* OSArray::getObject(unsigned index) const {
    return index < mItems.size() ? mItems[index] : nullptr;
}

bool OSArray::setObject(const OSObject* object) {
    return setObject((unsigned)mItems.size(), object);
}

bool OSArray::setObject(unsigned index, const OSObject* object) {
    if (!object || index > mItems.size()) return false;
    object->retain();
    mItems.insert(mItems.begin() + index, const_cast<OSObject*>(object));
    return true;
}

void OSArray::removeObject(unsigned index) {
    if (index >= mItems.size()) return;
    OSObject* o = mItems[index];
    mItems.erase(mItems.begin() + index);
    o->release();
}

void OSArray::flushCollection() {
    std::vector<OSObject*> items;
    items.swap(mItems);
    for (OSObject* o : items)
        o->release();
}

bool OSArray::isEqualTo(const OSObject* other) const {
    const OSArray* a = OSDynamicCast(OSArray, other);
    if (!a || a->mItems.size() != mItems.size()) return false;
    for (size_t i = 0; i < mItems.size(); ++i)
        if (!mItems[i]->isEqualTo(a->mItems[i])) return false;
    return true;
}

bool OSArray::serialize(OSSerialize* s) const {
    if (!s->addString("<array>")) return false;
    for (OSObject* o : mItems)
        if (!o->serialize(s)) return false;
    return s->addString("</array>");
}

void OSArray::free() {
    flushCollection();
    OSCollection::free();
}

// ---- OSDictionary

OSDictionary* OSDictionary::withCapacity(unsigned capacity) {
    OSDictionary* d = new OSDictionary;
    d->mItems.reserve(capacity);
    return d;
}

OSDictionary* OSDictionary::withObjects(const OSObject* objects[], const OSSymbol* keys[],
                                        unsigned count, unsigned capacity) {
    return withObjects(objects, reinterpret_cast<const OSString**>(keys), count, capacity);
}

OSDictionary* OSDictionary::withObjects(const OSObject* objects[], const OSString* keys[],
                                        unsigned count, unsigned capacity) {
    if ((!objects || !keys) && count) return nullptr;
    OSDictionary* d = withCapacity(capacity > count ? capacity : count);
    for (unsigned i = 0; i < count; ++i) {
        if (!d->setObject(keys[i], objects[i])) {
            d->release();
            return nullptr;
        }
    }
    return d;
}

OSDictionary* OSDictionary::withDictionary(const OSDictionary* other, unsigned capacity) {
    if (!other) return nullptr;
    OSDictionary* d = withCapacity(capacity > other->getCount() ? capacity : other->getCount());
    d->merge(other);
    return d;
}

OSObject* OSDictionary::getObject(const char* key) const {
    if (!key) return nullptr;
    for (const auto& [k, v] : mItems)
        if (k->isEqualTo(key)) return v;
    return nullptr;
}

OSObject* OSDictionary::getObject(const OSString* key) const {
    return key ? getObject(key->getCStringNoCopy()) : nullptr;
}

bool OSDictionary::setObject(const char* key, const OSObject* object) {
    if (!key || !object) return false;
    object->retain();
    for (auto& [k, v] : mItems) {
        if (k->isEqualTo(key)) {
            OSObject* old = v;
            v = const_cast<OSObject*>(object);
            old->release();
            return true;
        }
    }
    mItems.emplace_back(OSSymbol::withCString(key), const_cast<OSObject*>(object));
    return true;
}

bool OSDictionary::setObject(const OSString* key, const OSObject* object) {
    return key ? setObject(key->getCStringNoCopy(), object) : false;
}

void OSDictionary::removeObject(const char* key) {
    if (!key) return;
    for (auto it = mItems.begin(); it != mItems.end(); ++it) {
        if (it->first->isEqualTo(key)) {
            auto entry = *it;
            mItems.erase(it);
            entry.first->release();
            entry.second->release();
            return;
        }
    }
}

void OSDictionary::removeObject(const OSString* key) {
    if (key) removeObject(key->getCStringNoCopy());
}

void OSDictionary::flushCollection() {
    std::vector<std::pair<const OSSymbol*, OSObject*>> items;
    items.swap(mItems);
    for (auto& [k, v] : items) {
        k->release();
        v->release();
    }
}

bool OSDictionary::merge(const OSDictionary* other) {
    if (!other) return false;
    if (other == this) return true;
    for (const auto& [k, v] : other->mItems)
        if (!setObject(k, v)) return false;
    return true;
}

const OSSymbol* OSDictionary::getKey(unsigned i) const {
    return i < mItems.size() ? mItems[i].first : nullptr;
}

bool OSDictionary::isEqualTo(const OSObject* other) const {
    const OSDictionary* d = OSDynamicCast(OSDictionary, other);
    if (!d || d->mItems.size() != mItems.size()) return false;
    for (const auto& [k, v] : mItems) {
        OSObject* o = d->getObject(k);
        if (!o || !v->isEqualTo(o)) return false;
    }
    return true;
}

bool OSDictionary::serialize(OSSerialize* s) const {
    if (!s->addString("<dict>")) return false;
    for (const auto& [k, v] : mItems) {
        if (!s->addString("<key>") || !s->addXMLEscaped(k->getCStringNoCopy(), k->getLength()) ||
            !s->addString("</key>"))
            return false;
        if (!v->serialize(s)) return false;
    }
    return s->addString("</dict>");
}

void OSDictionary::free() {
    flushCollection();
    OSCollection::free();
}

// ---- OSCollectionIterator

OSCollectionIterator* OSCollectionIterator::withCollection(const OSCollection* collection) {
    if (!collection) return nullptr;
    OSCollectionIterator* it = new OSCollectionIterator;
    collection->retain();
    it->mCollection = collection;
    return it;
}

OSObject* OSCollectionIterator::getNextObject() {
    if (!mCollection || mNext >= mCollection->getCount()) return nullptr;
    return mCollection->iterationItem(mNext++);
}

void OSCollectionIterator::free() {
    if (mCollection) mCollection->release();
    mCollection = nullptr;
    OSIterator::free();
}

// ---- OSSerialize

OSSerialize* OSSerialize::withCapacity(unsigned capacity) {
    OSSerialize* s = new OSSerialize;
    s->mText.reserve(capacity);
    return s;
}

bool OSSerialize::addString(const char* text) {
    if (!text) return false;
    mText += text;
    return true;
}

bool OSSerialize::addXMLEscaped(const char* text, size_t length) {
    if (!text && length) return false;
    for (size_t i = 0; i < length; ++i) {
        switch (text[i]) {
        case '<':
            mText += "&lt;";
            break;
        case '>':
            mText += "&gt;";
            break;
        case '&':
            mText += "&amp;";
            break;
        default:
            mText += text[i];
            break;
        }
    }
    return true;
}
