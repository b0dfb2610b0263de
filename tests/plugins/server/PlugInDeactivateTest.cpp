// Deactivating the plug-in object (its own process: the plug-in is one per
// process): the list empties at once, every device is retired on the global
// serial queue - deactivated, both references dropped, deleted there.
#include "plugins/server/QnASPlugInPlugIn.h"

#include <atomic>
#include <gtest/gtest.h>
#include <string>

#include "plugins/server/CADispatchQueue.h"
#include "plugins/server/QnASPlugInObjectMap.h"

namespace {

std::atomic<int> gDeactivated{0};
std::atomic<int> gDeletedOnGlobalQueue{0};

class Device : public QnASPlugInObject {
public:
    explicit Device(AudioObjectID id)
        : QnASPlugInObject(id, kAudioDeviceClassID, kAudioObjectClassID, kAudioObjectPlugInObject) {
    }
    void Deactivate() override {
        gDeactivated++;
        QnASPlugInObject::Deactivate();
    }
    ~Device() override {
        if (std::string(dispatch_queue_get_label(DISPATCH_CURRENT_QUEUE_LABEL)) ==
            "com.apple.audio.CADispatchQueue.SerialQueue")
            gDeletedOnGlobalQueue++;
    }
};

TEST(PlugInDeactivate, RetiresEveryDeviceOnTheGlobalSerialQueue) {
    QnASPlugInPlugIn* plugIn = QnASPlugInPlugIn::GetInstance();
    ASSERT_NE(plugIn, nullptr);
    AudioObjectID ids[2];
    for (AudioObjectID& id : ids) {
        id = QnASPlugInObjectMap::GetNextObjectID();
        ASSERT_TRUE(QnASPlugInObjectMap::MapObject(id, new Device(id)));
        plugIn->TestSeam_AddDevice(id);
    }
    plugIn->Deactivate();
    EXPECT_FALSE(plugIn->IsActive());
    EXPECT_TRUE(plugIn->CopyDeviceList().empty());
    hx::dispatch::drain(CADispatchQueue::GetGlobalSerialQueue().GetDispatchQueue());
    EXPECT_EQ(gDeactivated.load(), 2);
    EXPECT_EQ(gDeletedOnGlobalQueue.load(), 2);
    for (AudioObjectID id : ids)
        EXPECT_EQ(QnASPlugInObjectMap::CopyObjectByObjectID(id), nullptr);
    // The plug-in object itself stays mapped.
    EXPECT_EQ(QnASPlugInObjectMap::CopyObjectByObjectID(1), plugIn);
    QnASPlugInObjectMap::ReleaseObject(plugIn);
}

} // namespace
