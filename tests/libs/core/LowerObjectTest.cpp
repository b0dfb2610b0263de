#include "libs/core/QnObject.h"

#include <gtest/gtest.h>
#include <thread>
#include <utility>
#include <vector>

namespace {

int gLive = 0; // instances alive

class Counted : public Object {
public:
    Counted() { ++gLive; }
    Counted(const Counted& o) : Object(o) { ++gLive; }
    Counted& operator=(const Counted&) = default;
    ~Counted() override { --gLive; }
    int refs() const { return refCount(); }
    using Object::setDeleteHook;
    ObjectVar mNext; // for chains
};

class CoreObject : public ::testing::Test {
protected:
    void SetUp() override { gLive = 0; }
    void TearDown() override { EXPECT_EQ(gLive, 0); }
};

TEST_F(CoreObject, RetainAndReleaseDeleteAtZero) {
    Counted* o = new Counted;
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(o->refs(), 0);
    EXPECT_EQ(o->retain(), 1);
    EXPECT_EQ(o->retain(), 2);
    EXPECT_EQ(o->release(), 1);
    EXPECT_EQ(gLive, 1);
    EXPECT_EQ(o->release(), 0);
    EXPECT_EQ(gLive, 0);
}

TEST_F(CoreObject, NoDeleteHookAndReleaseNoDeleteKeepTheObject) {
    Counted* o = new Counted;
    o->setDeleteHook(Object::NoDeleteOnZeroCallback);
    o->retain();
    EXPECT_EQ(o->release(), 0);
    EXPECT_EQ(gLive, 1);
    o->setDeleteHook(nullptr);
    o->retain();
    EXPECT_EQ(o->releaseNoDelete(), 0);
    EXPECT_EQ(gLive, 1);
    delete o;
}

TEST_F(CoreObject, CopiesStartWithTheirOwnCount) {
    Counted a;
    a.retain();
    Counted b(a);
    EXPECT_EQ(b.refs(), 0);
    b.retain();
    b.retain();
    b = a;
    EXPECT_EQ(b.refs(), 2);
    EXPECT_EQ(a.refs(), 1);
    a.releaseNoDelete();
    b.releaseNoDelete();
    b.releaseNoDelete();
}

TEST_F(CoreObject, HolderCopyMoveAndAssign) {
    Counted* o = new Counted;
    {
        ObjectVar v(o);
        EXPECT_EQ(o->refs(), 1);
        {
            ObjectVar copy(v);
            EXPECT_EQ(o->refs(), 2);
        }
        EXPECT_EQ(o->refs(), 1);
        v = o; // the same object: no change
        EXPECT_EQ(o->refs(), 1);
        ObjectVar& alias = v;
        v = alias;
        EXPECT_EQ(o->refs(), 1);
        ObjectVar moved(std::move(v));
        EXPECT_EQ(v.getObject(), nullptr);
        EXPECT_EQ(o->refs(), 1);
        ObjectVar target;
        target = std::move(moved);
        EXPECT_EQ(moved.getObject(), nullptr);
        EXPECT_EQ(target.getObject(), o);
        EXPECT_EQ(o->refs(), 1);
        Counted* p = new Counted;
        target = p; // the old object goes
        EXPECT_EQ(gLive, 1);
        target.move(target); // moving into itself gives the reference up
        EXPECT_EQ(target.getObject(), nullptr);
        EXPECT_EQ(gLive, 0);
    }
    EXPECT_EQ(gLive, 0);
}

// Each node holds the only reference to the next; walking with v = next
// must take the next node before the current one (and its holder) goes.
TEST_F(CoreObject, WalkingAChainWithAssignmentIsSafe) {
    constexpr int kNodes = 10;
    ObjectVar head(new Counted);
    {
        Counted* tail = static_cast<Counted*>(head.getObject());
        for (int i = 1; i < kNodes; ++i) {
            Counted* n = new Counted;
            tail->mNext = n;
            tail = n;
        }
    }
    EXPECT_EQ(gLive, kNodes);
    int visited = 0;
    ObjectVar v(head);
    head = nullptr;
    while (v.getObject()) {
        ++visited;
        v = static_cast<Counted*>(v.getObject())->mNext; // copy assignment
        EXPECT_EQ(gLive, kNodes - visited);
    }
    EXPECT_EQ(visited, kNodes);

    // The same with the move form.
    ObjectVar first(new Counted);
    static_cast<Counted*>(first.getObject())->mNext = new Counted;
    first = std::move(static_cast<Counted*>(first.getObject())->mNext);
    EXPECT_EQ(gLive, 1);
    first = nullptr;
}

TEST_F(CoreObject, ConcurrentRetainReleaseDeletesOnce) {
    Counted* o = new Counted;
    o->retain();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([o] {
            for (int i = 0; i < 5000; ++i) {
                ObjectVar v(o);
                ObjectVar w(v);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(o->refs(), 1);
    o->release();
}

TEST_F(CoreObject, ArrayAndPlacementAllocation) {
    Counted* arr = new Counted[3];
    ASSERT_NE(arr, nullptr);
    EXPECT_EQ(gLive, 3);
    delete[] arr;
    alignas(Counted) unsigned char storage[sizeof(Counted)];
    Counted* p = new (storage) Counted;
    EXPECT_EQ(static_cast<void*>(p), static_cast<void*>(storage));
    p->~Counted();
}

} // namespace
