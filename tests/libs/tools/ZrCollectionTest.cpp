// Reference-holding collections and the sorted collection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libs/tools/ZrCollection.h"
#include "libs/tools/ZrString.h"

namespace {

// Records its destruction and the commands it receives.
class Probe : public ZrObject {
public:
    Probe(int id, std::vector<int>* log) : mId(id), mLog(log) {}
    ~Probe() override { mLog->push_back(-mId); }
    bool onCommand(int a, int b) override {
        mLog->push_back(mId * 100 + a + b);
        return true;
    }

private:
    int mId;
    std::vector<int>* mLog;
};

// An element ordering that answers any magnitude, not just -1/0/+1.
class Wide : public ZrObject {
public:
    explicit Wide(int v) : value(v) {}
    int compare(ZrObject const& other) const override {
        return (value - static_cast<Wide const&>(other).value) * 7;
    }
    int value;
};

std::vector<std::string> texts(ZrCollection const& c) {
    std::vector<std::string> out;
    for (int i = 0; i < c.count(); ++i)
        out.emplace_back(static_cast<char const*>(*static_cast<ZrString*>(c.atPos(i))));
    return out;
}

TEST(ZrCollection, GrowsByDoublingFromFive) {
    ZrCollection c;
    EXPECT_EQ(c.getCapacity(), 5);
    std::vector<int> caps;
    for (int i = 0; i < 41; ++i) {
        ASSERT_TRUE(c.add(new ZrString("x")));
        if (caps.empty() || caps.back() != c.getCapacity()) caps.push_back(c.getCapacity());
    }
    EXPECT_EQ(caps, (std::vector<int>{5, 10, 20, 40, 80}));
    c.removeAll();
    EXPECT_EQ(c.count(), 0);
    EXPECT_EQ(c.getCapacity(), 80); // never shrinks
}

TEST(ZrCollection, HoldsAtMost40960Elements) {
    ZrCollection c;
    ZrString* shared = new ZrString("s");
    shared->incReferences(); // ours, so the collection's drops don't free it
    for (int i = 0; i < 40960; ++i)
        ASSERT_TRUE(c.add(shared)) << i;
    EXPECT_EQ(c.count(), 40960);
    EXPECT_EQ(c.getCapacity(), 40960);
    EXPECT_FALSE(c.add(shared));
    EXPECT_EQ(c.count(), 40960);
    c.removeAll();
    EXPECT_EQ(shared->decReferences(), 0);
}

TEST(ZrCollection, NullIsNeverStored) {
    ZrCollection c;
    EXPECT_FALSE(c.add(nullptr));
    EXPECT_EQ(c.count(), 0);
    c.remove(nullptr);
    EXPECT_EQ(c.findIndex(nullptr), -1);
    EXPECT_EQ(c.find(nullptr), nullptr);
    EXPECT_FALSE(c.findSame(nullptr));
    EXPECT_EQ(c.findSameIndex(nullptr), -1);
    EXPECT_EQ(c.atPos(0), nullptr);
    EXPECT_EQ(c.atPos(-1), nullptr);
}

TEST(ZrCollection, RemoveDropsOneReferenceOfTheFirstOccurrence) {
    std::vector<int> log;
    Probe* twice = new Probe(1, &log);
    Probe* other = new Probe(2, &log);
    ZrCollection c;
    c.add(twice);
    c.add(other);
    c.add(twice);
    c.remove(twice);
    EXPECT_TRUE(log.empty());
    ASSERT_EQ(c.count(), 2);
    EXPECT_EQ(c.atPos(0), other);
    EXPECT_EQ(c.atPos(1), twice);
    EXPECT_EQ(c.findSameIndex(twice), 1);

    // The last reference goes: destroyed during remove, before the move.
    c.remove(other);
    EXPECT_EQ(log, (std::vector<int>{-2}));
    ASSERT_EQ(c.count(), 1);
    EXPECT_EQ(c.atPos(0), twice);
    EXPECT_EQ(c.atPos(1), nullptr);
}

TEST(ZrCollection, ObjectInTwoCollectionsSurvivesOne) {
    std::vector<int> log;
    Probe* p = new Probe(7, &log);
    {
        ZrCollection a;
        ZrCollection b;
        a.add(p);
        b.add(p);
        a.remove(p);
        EXPECT_TRUE(log.empty());
        EXPECT_TRUE(b.findSame(p));
    }
    EXPECT_EQ(log, (std::vector<int>{-7}));
}

TEST(ZrCollection, EqualitySearchMatchesTheFirstElement) {
    ZrCollection c;
    c.add(new ZrString("first"));
    c.add(new ZrString("second"));
    ZrString key("second");
    EXPECT_EQ(c.findIndex(&key), 0);
    EXPECT_EQ(c.find(&key), c.atPos(0));
}

TEST(ZrCollection, ForEachCallsInIndexOrder) {
    std::vector<int> log;
    ZrCollection c;
    for (int id = 1; id <= 3; ++id)
        c.add(new Probe(id, &log));
    c.forEach(4, 5);
    EXPECT_EQ(log, (std::vector<int>{109, 209, 309}));
}

TEST(ZrCollection, ExpandRules) {
    ZrCollection c;
    c.expand(3);
    EXPECT_EQ(c.getCapacity(), 10);
    c.expand(0);
    EXPECT_EQ(c.getCapacity(), 15);
    c.expand(40);
    EXPECT_EQ(c.getCapacity(), 40);
}

TEST(ZrSortedCollection, SortsOnInsertAndFindsTheFirstOfARun) {
    ZrSortedCollection c;
    for (char const* t : {"c", "a", "b"})
        c.add(new ZrString(t));
    EXPECT_EQ(texts(c), (std::vector<std::string>{"a", "b", "c"}));
    for (int i = 0; i < 3; ++i)
        c.add(new ZrString("b"));
    EXPECT_EQ(texts(c), (std::vector<std::string>{"a", "b", "b", "b", "b", "c"}));
    ZrString key("b");
    EXPECT_EQ(c.findIndex(&key), 1);
    ZrString missing("bb");
    EXPECT_EQ(c.findIndex(&missing), -1);
    ZrString last("c");
    EXPECT_EQ(c.findIndex(&last), 5);
}

TEST(ZrSortedCollection, UnsortedModeAndResort) {
    ZrSortedCollection c;
    c.add(new ZrString("m"));
    c.addUnsorted(new ZrString("z"));
    c.addUnsorted(new ZrString("a"));
    EXPECT_FALSE(c.isSorted());
    c.add(new ZrString("b")); // appended while unsorted
    EXPECT_EQ(texts(c), (std::vector<std::string>{"m", "z", "a", "b"}));
    ZrString key("a");
    EXPECT_EQ(c.findIndex(&key), 0); // linear isEqual search
    c.setSorted(true);
    EXPECT_EQ(texts(c), (std::vector<std::string>{"a", "b", "m", "z"}));
    c.add(new ZrString("c"));
    EXPECT_EQ(texts(c), (std::vector<std::string>{"a", "b", "c", "m", "z"}));
    EXPECT_EQ(c.findIndex(&key), 0);
    EXPECT_FALSE(c.addUnsorted(nullptr));
    EXPECT_TRUE(c.isSorted());

    c.addUnsorted(new ZrString("0"));
    c.forceResort();
    EXPECT_EQ(texts(c).front(), "0");
}

// Counts sorts by watching compare calls.
class CountingString : public ZrString {
public:
    CountingString(char const* t, int* calls) : ZrString(t), mCalls(calls) {}
    int compare(ZrObject const& other) const override {
        ++*mCalls;
        return ZrString::compare(other);
    }

private:
    int* mCalls;
};

TEST(ZrSortedCollection, SetSortedOnASortedCollectionDoesNotSort) {
    int calls = 0;
    ZrSortedCollection c;
    for (char const* t : {"q", "w", "e", "r"})
        c.add(new CountingString(t, &calls));
    calls = 0;
    c.setSorted(true);
    EXPECT_EQ(calls, 0);
}

TEST(ZrSortedCollection, UsesTheSignOfWideComparisons) {
    ZrSortedCollection c;
    int const values[] = {50, 10, 40, 20, 30, 20, 60};
    for (int v : values)
        c.add(new Wide(v));
    std::vector<int> got;
    for (int i = 0; i < c.count(); ++i)
        got.push_back(static_cast<Wide*>(c.atPos(i))->value);
    EXPECT_EQ(got, (std::vector<int>{10, 20, 20, 30, 40, 50, 60}));
    Wide key(20);
    EXPECT_EQ(c.findIndex(&key), 1);
    Wide key40(40);
    EXPECT_EQ(c.findIndex(&key40), 4);

    c.addUnsorted(new Wide(5));
    c.addUnsorted(new Wide(55));
    c.doSort();
    got.clear();
    for (int i = 0; i < c.count(); ++i)
        got.push_back(static_cast<Wide*>(c.atPos(i))->value);
    EXPECT_EQ(got, (std::vector<int>{5, 10, 20, 20, 30, 40, 50, 55, 60}));
}

TEST(ZrSortedCollection, GrowsPastTheLimitOfThePlainCollection) {
    ZrSortedCollection c;
    for (int i = 0; i < 50000; ++i)
        ASSERT_TRUE(c.add(new Wide(i % 1000)));
    EXPECT_EQ(c.count(), 50000);
    Wide key(999);
    EXPECT_EQ(c.findIndex(&key), 49950);
}

} // namespace
