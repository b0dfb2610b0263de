// The object base class and the process-wide object map.
#include "plugins/server/QnASPlugInObject.h"
#include "plugins/server/QnASPlugInObjectMap.h"

#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plugins/server/CADispatchQueue.h"
#include "plugins/server/CAException.h"

namespace {

// What each test object's destructor saw.
struct Destruction {
    int count = 0;
    bool onGlobalQueue = false;
    std::uint64_t sequence = 0;
};

std::mutex gLogMutex;
std::map<int, Destruction> gDestructions;
std::atomic<std::uint64_t> gSequence{0};

class TestObject : public QnASPlugInObject {
public:
    TestObject(AudioObjectID id, int tag)
        : QnASPlugInObject(id, kAudioDeviceClassID, kAudioObjectClassID, kAudioObjectPlugInObject),
          mTag(tag) {}
    ~TestObject() override {
        std::lock_guard<std::mutex> lock(gLogMutex);
        Destruction& d = gDestructions[mTag];
        d.count++;
        d.onGlobalQueue = std::string(dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL)) ==
                          "com.apple.audio.CADispatchQueue.SerialQueue";
        d.sequence = ++gSequence;
    }

private:
    int mTag;
};

std::atomic<int> gNextTag{1};

void drainGlobal() {
    hx::dispatch::drain(CADispatchQueue::GetGlobalSerialQueue().GetDispatchQueue());
}

Destruction destructionOf(int tag) {
    std::lock_guard<std::mutex> lock(gLogMutex);
    auto it = gDestructions.find(tag);
    return it == gDestructions.end() ? Destruction{} : it->second;
}

TEST(QnASPlugInObjectMap, IDsGrowByOneAndAreNeverReused) {
    const UInt32 a = QnASPlugInObjectMap::GetNextObjectID();
    const UInt32 b = QnASPlugInObjectMap::GetNextObjectID();
    EXPECT_GE(a, 32u);
    EXPECT_EQ(b, a + 1);
}

TEST(QnASPlugInObjectMap, MappingRulesAndCounts) {
    const int tag = gNextTag++;
    const UInt32 idA = QnASPlugInObjectMap::GetNextObjectID();
    const UInt32 idB = QnASPlugInObjectMap::GetNextObjectID();
    auto* a = new TestObject(idA, tag);
    auto* b = new TestObject(idB, gNextTag++);
    EXPECT_FALSE(QnASPlugInObjectMap::MapObject(0, a));
    EXPECT_FALSE(QnASPlugInObjectMap::MapObject(idA, nullptr));
    ASSERT_TRUE(QnASPlugInObjectMap::MapObject(idA, a));
    EXPECT_FALSE(QnASPlugInObjectMap::MapObject(idA, b)); // the ID still names a
    EXPECT_FALSE(QnASPlugInObjectMap::MapObject(idA, a));
    ASSERT_TRUE(QnASPlugInObjectMap::MapObject(idB, a)); // a second ID of a
    EXPECT_EQ(QnASPlugInObjectMap::CopyObjectByObjectID(idB), a);
    EXPECT_EQ(QnASPlugInObjectMap::RetainObject(a), 3u);
    EXPECT_EQ(QnASPlugInObjectMap::CopyObjectByObjectID(0), nullptr);
    EXPECT_EQ(QnASPlugInObjectMap::CopyObjectByObjectID(0xFFFFFFF0u), nullptr);
    QnASPlugInObjectMap::UnmapObject(idA, b); // names a: nothing
    EXPECT_EQ(QnASPlugInObjectMap::CopyObjectByObjectID(idA), a);
    EXPECT_EQ(QnASPlugInObjectMap::ReleaseObject(a), 3u);
    EXPECT_EQ(QnASPlugInObjectMap::ReleaseObject(a), 2u);
    EXPECT_EQ(QnASPlugInObjectMap::ReleaseObject(a), 1u);
    EXPECT_EQ(QnASPlugInObjectMap::ReleaseObject(b), 0u); // unmapped
    EXPECT_EQ(QnASPlugInObjectMap::RetainObject(b), 0u);
    EXPECT_EQ(QnASPlugInObjectMap::ReleaseObject(a), 0u);
    // Gone from the map at once, deleted later on the global serial queue.
    EXPECT_EQ(QnASPlugInObjectMap::CopyObjectByObjectID(idA), nullptr);
    EXPECT_EQ(QnASPlugInObjectMap::CopyObjectByObjectID(idB), nullptr);
    drainGlobal();
    EXPECT_EQ(destructionOf(tag).count, 1);
    EXPECT_TRUE(destructionOf(tag).onGlobalQueue);
    QnASPlugInObjectMap::DestroyObject(b); // not in the map: deleted at once
}

TEST(QnASPlugInObjectMap, HeldObjectWhoseLastIDIsUnmappedLivesUntilReleased) {
    const int tag = gNextTag++;
    const UInt32 id = QnASPlugInObjectMap::GetNextObjectID();
    auto* a = new TestObject(id, tag);
    ASSERT_TRUE(QnASPlugInObjectMap::MapObject(id, a));
    QnASPlugInObject* held = QnASPlugInObjectMap::CopyObjectByObjectID(id);
    ASSERT_EQ(held, a);
    QnASPlugInObjectMap::UnmapObject(id, a);
    EXPECT_EQ(QnASPlugInObjectMap::CopyObjectByObjectID(id), nullptr); // hidden at once
    QnASPlugInObjectMap::DestroyObject(a); // still held by the map: nothing
    drainGlobal();
    EXPECT_EQ(destructionOf(tag).count, 0);
    EXPECT_EQ(held->GetObjectID(), id); // still valid
    EXPECT_EQ(QnASPlugInObjectMap::ReleaseObject(held), 0u);
    drainGlobal();
    EXPECT_EQ(destructionOf(tag).count, 1);
    EXPECT_TRUE(destructionOf(tag).onGlobalQueue);
}

// Entries removed before, between and after others: every remaining ID
// still names its own object (with its count), the removed ones none, and
// IDs mapped afterwards join the right entries.
TEST(QnASPlugInObjectMap, RemovingEntriesKeepsTheOthersIDs) {
    constexpr int kObjects = 5;
    TestObject* objects[kObjects];
    UInt32 ids[kObjects][2];
    for (int i = 0; i < kObjects; ++i) {
        ids[i][0] = QnASPlugInObjectMap::GetNextObjectID();
        ids[i][1] = QnASPlugInObjectMap::GetNextObjectID();
        objects[i] = new TestObject(ids[i][0], gNextTag++);
        ASSERT_TRUE(QnASPlugInObjectMap::MapObject(ids[i][0], objects[i]));
        ASSERT_TRUE(QnASPlugInObjectMap::MapObject(ids[i][1], objects[i]));
    }
    // The first, the middle and the last go.
    for (int gone : {0, 2, 4})
        EXPECT_EQ(QnASPlugInObjectMap::ReleaseObject(objects[gone]), 0u);
    for (int i = 0; i < kObjects; ++i)
        for (UInt32 id : ids[i]) {
            QnASPlugInObject* found = QnASPlugInObjectMap::CopyObjectByObjectID(id);
            if (i % 2 == 0) {
                EXPECT_EQ(found, nullptr) << "object " << i;
                continue;
            }
            EXPECT_EQ(found, objects[i]) << "object " << i;
            EXPECT_EQ(QnASPlugInObjectMap::ReleaseObject(found), 1u);
        }
    const UInt32 extra = QnASPlugInObjectMap::GetNextObjectID();
    ASSERT_TRUE(QnASPlugInObjectMap::MapObject(extra, objects[3]));
    EXPECT_EQ(QnASPlugInObjectMap::CopyObjectByObjectID(extra), objects[3]);
    EXPECT_EQ(QnASPlugInObjectMap::ReleaseObject(objects[3]), 1u);
    EXPECT_EQ(QnASPlugInObjectMap::CopyObjectByObjectID(ids[1][1]), objects[1]);
    EXPECT_EQ(QnASPlugInObjectMap::ReleaseObject(objects[1]), 1u);
    for (int kept : {1, 3})
        EXPECT_EQ(QnASPlugInObjectMap::ReleaseObject(objects[kept]), 0u);
    EXPECT_EQ(QnASPlugInObjectMap::CopyObjectByObjectID(extra), nullptr);
    drainGlobal();
}

TEST(QnASPlugInObjectMap, DestroyObjectDeletesAnUnmappedObjectAtOnce) {
    const int tag = gNextTag++;
    QnASPlugInObjectMap::DestroyObject(new TestObject(QnASPlugInObjectMap::GetNextObjectID(), tag));
    EXPECT_EQ(destructionOf(tag).count, 1);
    EXPECT_FALSE(destructionOf(tag).onGlobalQueue);
    QnASPlugInObjectMap::DestroyObject(nullptr);
    QnASPlugInObjectMap::Dump();
}

// Eight threads copy and release every object while each retires its own:
// every destructor runs once, on the global serial queue, after what was
// queued there before the retiring release.
TEST(QnASPlugInObjectMap, EightThreadsCopyReleaseAndRetire) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 16;
    struct Item {
        UInt32 id;
        int tag;
        TestObject* object;
        std::atomic<std::uint64_t> markerSequence{0};
    };
    std::vector<std::unique_ptr<Item>> items;
    for (int i = 0; i < kThreads * kPerThread; ++i) {
        auto item = std::make_unique<Item>();
        item->id = QnASPlugInObjectMap::GetNextObjectID();
        item->tag = gNextTag++;
        item->object = new TestObject(item->id, item->tag);
        ASSERT_TRUE(QnASPlugInObjectMap::MapObject(item->id, item->object));
        items.push_back(std::move(item));
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                for (auto& item : items) {
                    if (QnASPlugInObject* o = QnASPlugInObjectMap::CopyObjectByObjectID(item->id)) {
                        EXPECT_EQ(o->GetObjectID(), item->id);
                        QnASPlugInObjectMap::ReleaseObject(o);
                    }
                }
            }
            for (int i = t * kPerThread; i < (t + 1) * kPerThread; ++i) {
                Item* item = items[std::size_t(i)].get();
                CADispatchQueue::GetGlobalSerialQueue().Dispatch(
                    false, [item] { item->markerSequence = ++gSequence; });
                QnASPlugInObjectMap::ReleaseObject(item->object);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    drainGlobal();
    for (auto& item : items) {
        const Destruction d = destructionOf(item->tag);
        EXPECT_EQ(d.count, 1);
        EXPECT_TRUE(d.onGlobalQueue);
        EXPECT_GT(d.sequence, item->markerSequence.load());
        EXPECT_EQ(QnASPlugInObjectMap::CopyObjectByObjectID(item->id), nullptr);
    }
}

// ---- The base's properties

struct BaseCase {
    const char* name;
    AudioObjectPropertySelector selector;
    AudioObjectPropertyScope scope;
    bool has;
    UInt32 size;
};

class BaseProperties : public ::testing::TestWithParam<BaseCase> {};

TEST_P(BaseProperties, Answers) {
    const BaseCase& c = GetParam();
    TestObject o(77, 0);
    const AudioObjectPropertyAddress a{c.selector, c.scope, 0};
    EXPECT_EQ(o.HasProperty(77, 0, a), c.has);
    if (c.has) {
        EXPECT_EQ(o.GetPropertyDataSize(77, 0, a, 0, nullptr), c.size);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, BaseProperties,
    ::testing::Values(
        BaseCase{"bcls", kAudioObjectPropertyBaseClass, kAudioObjectPropertyScopeGlobal, true, 4},
        BaseCase{"clas", kAudioObjectPropertyClass, kAudioObjectPropertyScopeGlobal, true, 4},
        BaseCase{"stdv", kAudioObjectPropertyOwner, kAudioObjectPropertyScopeGlobal, true, 4},
        BaseCase{"ownd", kAudioObjectPropertyOwnedObjects, kAudioObjectPropertyScopeGlobal, true,
                 0},
        BaseCase{"clasInput", kAudioObjectPropertyClass, kAudioDevicePropertyScopeInput, false, 0},
        BaseCase{"other", kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal,
                 false, 0}),
    [](const auto& info) { return std::string(info.param.name); });

OSStatus statusOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const CAException& e) {
        return e.GetError();
    }
    return 0;
}

TEST(QnASPlugInObject, BaseDataAndErrors) {
    TestObject o(77, 0);
    const AudioObjectPropertyAddress clas{kAudioObjectPropertyClass,
                                          kAudioObjectPropertyScopeGlobal, 0};
    const AudioObjectPropertyAddress owner{kAudioObjectPropertyOwner,
                                           kAudioObjectPropertyScopeGlobal, 0};
    const AudioObjectPropertyAddress ownd{kAudioObjectPropertyOwnedObjects,
                                          kAudioObjectPropertyScopeGlobal, 0};
    const AudioObjectPropertyAddress other{kAudioDevicePropertyNominalSampleRate,
                                           kAudioObjectPropertyScopeGlobal, 0};
    UInt32 value = 0, size = 99;
    o.GetPropertyData(77, 0, clas, 0, nullptr, 4, size, &value);
    EXPECT_EQ(value, kAudioDeviceClassID);
    EXPECT_EQ(size, 4u);
    o.GetPropertyData(77, 0, owner, 0, nullptr, 4, size, &value);
    EXPECT_EQ(value, kAudioObjectPlugInObject);
    o.GetPropertyData(77, 0, ownd, 0, nullptr, 16, size, &value);
    EXPECT_EQ(size, 0u);
    UInt16 small = 0;
    EXPECT_EQ(statusOf([&] { o.GetPropertyData(77, 0, clas, 0, nullptr, 2, size, &small); }),
              kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(statusOf([&] { o.GetPropertyDataSize(77, 0, other, 0, nullptr); }),
              kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(statusOf([&] { o.IsPropertySettable(77, 0, other); }),
              kAudioHardwareUnknownPropertyError);
    EXPECT_FALSE(o.IsPropertySettable(77, 0, clas));
    EXPECT_EQ(statusOf([&] { o.SetPropertyData(77, 0, clas, 0, nullptr, 4, &value); }),
              kAudioHardwareUnknownPropertyError);
    EXPECT_FALSE(o.IsActive());
    o.Activate();
    EXPECT_TRUE(o.IsActive());
    o.Deactivate();
    EXPECT_FALSE(o.IsActive());
}

} // namespace
