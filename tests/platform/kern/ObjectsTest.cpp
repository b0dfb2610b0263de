// Objects, containers, class registry and serialization of the kernel side.
#include "platform/kern/OSContainers.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class CountedThing : public OSObject {
    OSDeclareDefaultStructors(CountedThing) public : static int sFreed;

protected:
    void free() override {
        ++sFreed;
        OSObject::free();
    }
};
int CountedThing::sFreed = 0;
OSDefineMetaClassAndStructors(CountedThing, OSObject)

    class DerivedThing : public CountedThing {
    OSDeclareDefaultStructors(DerivedThing)
};
OSDefineMetaClassAndStructors(DerivedThing, CountedThing)

    TEST(KernObjects, ClassRegistryCreatesByNameAndKnowsAncestry) {
    OSObject* o = OSMetaClass::allocClassWithName("DerivedThing");
    ASSERT_NE(o, nullptr);
    EXPECT_STREQ(o->getMetaClass()->getClassName(), "DerivedThing");
    EXPECT_TRUE(o->getMetaClass()->isSubclassOf("CountedThing"));
    EXPECT_TRUE(o->getMetaClass()->isSubclassOf(&OSObject::gMetaClass));
    EXPECT_FALSE(o->getMetaClass()->isSubclassOf("OSString"));
    EXPECT_NE(OSDynamicCast(CountedThing, o), nullptr);
    EXPECT_EQ(OSDynamicCast(OSString, o), nullptr);
    o->release();

    EXPECT_EQ(OSMetaClass::allocClassWithName("NoSuchClass"), nullptr);
    EXPECT_EQ(OSMetaClass::allocClassWithName(nullptr), nullptr);
    // Abstract classes are known by name but never created.
    EXPECT_NE(OSMetaClass::getMetaClassWithName("OSCollection"), nullptr);
    EXPECT_EQ(OSMetaClass::allocClassWithName("OSCollection"), nullptr);
}

TEST(KernObjects, ContainersRetainWhatTheyHoldAndReleaseOnRemoval) {
    CountedThing::sFreed = 0;
    CountedThing* thing = new CountedThing;
    OSDictionary* d = OSDictionary::withCapacity(2);
    OSArray* a = OSArray::withCapacity(2);
    ASSERT_TRUE(d->setObject("k", thing));
    ASSERT_TRUE(a->setObject(thing));
    EXPECT_EQ(thing->getRetainCount(), 3);
    thing->release();
    EXPECT_EQ(CountedThing::sFreed, 0);

    d->setObject("k", OSNumber::withNumber(5, 32)); // replaces (and leaks nothing of) the thing
    EXPECT_EQ(thing->getRetainCount(), 1);
    a->release();
    EXPECT_EQ(CountedThing::sFreed, 1);

    // The number above was created with one reference and stored; drop ours.
    OSNumber* n = OSDynamicCast(OSNumber, d->getObject("k"));
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->getRetainCount(), 2);
    n->release();
    d->release();
}

TEST(KernObjects, DictionaryKeepsInsertionOrderAndComparesDeeply) {
    OSDictionary* d = OSDictionary::withCapacity(4);
    OSNumber* n = OSNumber::withNumber(0x1234, 16);
    OSString* s = OSString::withCString("a<b>&c");
    d->setObject("zeta", n);
    d->setObject("alpha", s);
    d->setObject("flag", kOSBooleanTrue);
    EXPECT_STREQ(d->getKey(0)->getCStringNoCopy(), "zeta");
    EXPECT_STREQ(d->getKey(2)->getCStringNoCopy(), "flag");
    EXPECT_EQ(d->getKey(3), nullptr);

    OSDictionary* copy = OSDictionary::withDictionary(d);
    EXPECT_TRUE(copy->isEqualTo(d));
    copy->setObject("alpha", OSString::withCString("other"));
    copy->getObject("alpha")->release();
    EXPECT_FALSE(copy->isEqualTo(d));

    OSSerialize* out = OSSerialize::withCapacity(64);
    ASSERT_TRUE(d->serialize(out));
    EXPECT_EQ(std::string(out->text()), "<dict><key>zeta</key><integer size=\"16\">0x1234</integer>"
                                        "<key>alpha</key><string>a&lt;b&gt;&amp;c</string>"
                                        "<key>flag</key><true/></dict>");
    out->release();

    OSCollectionIterator* it = OSCollectionIterator::withCollection(d);
    int keys = 0;
    while (OSDynamicCast(OSString, it->getNextObject()))
        ++keys;
    EXPECT_EQ(keys, 3);
    it->release();

    n->release();
    s->release();
    copy->release();
    d->release();
}

TEST(KernObjects, NumbersKeepTheirWidthAndDataSerializesAsBase64) {
    OSNumber* n = OSNumber::withNumber(0x1FF, 8);
    EXPECT_EQ(n->unsigned32BitValue(), 0xFFu);
    EXPECT_EQ(n->numberOfBytes(), 1u);
    EXPECT_EQ(OSNumber::withNumber(1, 0), nullptr);
    n->release();

    const uint8_t bytes[] = {'h', 'x', '5', '1'};
    OSData* d = OSData::withBytes(bytes, sizeof bytes);
    OSSerialize* out = OSSerialize::withCapacity(16);
    ASSERT_TRUE(d->serialize(out));
    EXPECT_STREQ(out->text(), "<data>aHg1MQ==</data>");
    out->release();
    d->release();
}

} // namespace
