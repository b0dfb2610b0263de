// "IOServiceFirstPublish" and "IOServiceFirstMatch" on both transports: one
// record per service, when it is first published or has first been matched,
// never again for a service already reported; services already there when
// the subscription is made come with it.
#include "platform/iokit/IOKitTransport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/cf/CFDictionary.h"
#include "platform/cf/CFString.h"
#include "platform/iokit/IOKitLib.h"
#include "platform/iokit/KernelHost.h"
#include "platform/iokit/ProcessTransport.h"
#include "tests/platform/iokit/NotificationCollector.h"
#include "platform/kern/IOService.h"

namespace {

using hx::iokit::Handle;
using hx::iokit::NotificationRecord;

class FirstNoticeNub : public IOService {
    OSDeclareDefaultStructors(FirstNoticeNub)
};
OSDefineMetaClassAndStructors(FirstNoticeNub, IOService)

    FirstNoticeNub* publish(const char* uid) {
    auto* nub = new FirstNoticeNub;
    EXPECT_TRUE(nub->init());
    nub->setProperty("deviceUID", uid);
    nub->registerService(kIOServiceSynchronous);
    return nub;
}

void unpublish(FirstNoticeNub* nub) {
    nub->terminate();
    hx::kern::waitQuiet();
    nub->release();
}

using iokittest::Collector;

struct Road {
    std::unique_ptr<hx::iokit::KernelHost> host;
    std::unique_ptr<hx::iokit::Transport> transport;
    std::string dir;
};

Road makeRoad(const std::string& name) {
    Road road;
    if (name == "in-process") {
        road.transport = hx::iokit::makeInProcessTransport();
        return road;
    }
    char dir[] = "/tmp/hxfirst.XXXXXX";
    EXPECT_NE(::mkdtemp(dir), nullptr);
    road.dir = dir;
    const std::string path = road.dir + "/kernel.sock";
    road.host = std::make_unique<hx::iokit::KernelHost>(path, nullptr);
    std::string error;
    EXPECT_TRUE(road.host->start(error)) << error;
    int page = -1;
    road.transport = hx::iokit::makeProcessTransport(path, error, &page);
    if (page >= 0) ::close(page);
    return road;
}

class FirstNotification : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        road = makeRoad(GetParam());
        ASSERT_EQ(road.transport->createPort(&sink, &port), KERN_SUCCESS);
    }
    void TearDown() override {
        road.transport->destroyPort(port);
        road.transport.reset();
        if (road.host) road.host->stop();
        if (!road.dir.empty()) ::rmdir(road.dir.c_str());
    }
    std::string uid(Handle service) {
        CFTypeRef v = nullptr;
        EXPECT_EQ(road.transport->copyProperty(service, CFSTR("deviceUID"), &v), KERN_SUCCESS);
        std::string text = v ? hx::iokit::utf8Text(CFStringRef(v)) : std::string();
        if (v) CFRelease(v);
        return text;
    }
    std::vector<std::string> uids(const std::vector<NotificationRecord>& records,
                                  NotificationRecord::Kind kind) {
        std::vector<std::string> out;
        for (const auto& r : records) {
            EXPECT_EQ(r.kind, kind);
            EXPECT_EQ(r.tag, 77u);
            out.push_back(uid(r.service));
            road.transport->releaseService(r.service);
        }
        return out;
    }
    Road road;
    Collector sink;
    Handle port = 0;
};

TEST_P(FirstNotification, EachServiceIsReportedOnceWhenItFirstPublishesOrMatches) {
    const struct {
        NotificationRecord::Kind kind;
        const char* name;
    } kinds[] = {{NotificationRecord::FirstPublish, "first publish"},
                 {NotificationRecord::FirstMatch, "first match"}};
    for (const auto& k : kinds) {
        SCOPED_TRACE(k.name);
        Collector records;
        Handle recordPort = 0;
        ASSERT_EQ(road.transport->createPort(&records, &recordPort), KERN_SUCCESS);
        FirstNoticeNub* before = publish("before");
        Handle sub = 0;
        std::vector<Handle> existing;
        CFMutableDictionaryRef m = IOServiceMatching("FirstNoticeNub");
        ASSERT_EQ(road.transport->subscribeServices(recordPort, k.kind, m, 77, &sub, &existing),
                  KERN_SUCCESS);
        CFRelease(m);
        // What was there already comes with the subscription.
        ASSERT_EQ(existing.size(), 1u);
        EXPECT_EQ(uid(existing[0]), "before");
        road.transport->releaseService(existing[0]);

        // A plug is reported once; registering it again and matching it again
        // (a new personality) report nothing more; the next plug is next.
        FirstNoticeNub* plugged = publish("plugged");
        plugged->registerService(kIOServiceSynchronous);
        before->registerService(kIOServiceSynchronous);
        hx::kern::waitQuiet();
        FirstNoticeNub* next = publish("next");
        auto got = records.waitFor(2);
        EXPECT_EQ(uids(got, k.kind), (std::vector<std::string>{"plugged", "next"}));

        // Unplugged and plugged again: a new service, reported once more.
        unpublish(plugged);
        plugged = publish("plugged");
        got = records.waitFor(3);
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(uids({got[2]}, k.kind), (std::vector<std::string>{"plugged"}));

        road.transport->unsubscribe(sub);
        road.transport->destroyPort(recordPort);
        unpublish(before);
        unpublish(plugged);
        unpublish(next);
    }
}

TEST_P(FirstNotification, FirstMatchComesAfterTheDriverStarted) {
    // The first-match record of a nub with a driver names a nub that has its
    // client by the time the record is read.
    Handle sub = 0;
    std::vector<Handle> existing;
    CFMutableDictionaryRef m = IOServiceMatching("FirstNoticeNub");
    ASSERT_EQ(road.transport->subscribeServices(port, NotificationRecord::FirstMatch, m, 77, &sub,
                                                &existing),
              KERN_SUCCESS);
    CFRelease(m);
    EXPECT_TRUE(existing.empty());
    OSDictionary* personality = OSDictionary::withCapacity(2);
    for (const auto& [key, value] :
         {std::pair<const char*, const char*>{"IOClass", "FirstNoticeDriver"},
          {"IOProviderClass", "FirstNoticeNub"}}) {
        OSString* s = OSString::withCString(value);
        personality->setObject(key, s);
        s->release();
    }
    hx::kern::addPersonality(personality);
    personality->release();
    FirstNoticeNub* nub = publish("driven");
    auto got = sink.waitFor(1);
    ASSERT_EQ(got.size(), 1u);
    std::vector<Handle> children;
    ASSERT_EQ(road.transport->neighbours(got[0].service, "IOService", false, children),
              KERN_SUCCESS);
    EXPECT_EQ(children.size(), 1u);
    for (Handle c : children)
        road.transport->releaseService(c);
    EXPECT_EQ(uids(got, NotificationRecord::FirstMatch), (std::vector<std::string>{"driven"}));
    road.transport->unsubscribe(sub);
    hx::kern::removePersonalities("FirstNoticeDriver");
    unpublish(nub);
}

TEST_P(FirstNotification, ANubsFirstMatchComesBeforeItsDriverIsPublished) {
    // As a bus plugs a device: the nub is registered, a driver matches and
    // starts on it and registers its own service while starting. One port
    // hears both: the nub's first match, then the driver's publication.
    Handle nubSub = 0, driverSub = 0;
    std::vector<Handle> existing;
    CFMutableDictionaryRef m = IOServiceMatching("FirstNoticeNub");
    ASSERT_EQ(road.transport->subscribeServices(port, NotificationRecord::FirstMatch, m, 77,
                                                &nubSub, &existing),
              KERN_SUCCESS);
    CFRelease(m);
    m = IOServiceMatching("FirstNoticePublishingDriver");
    ASSERT_EQ(road.transport->subscribeServices(port, NotificationRecord::FirstPublish, m, 78,
                                                &driverSub, &existing),
              KERN_SUCCESS);
    CFRelease(m);
    EXPECT_TRUE(existing.empty());
    OSDictionary* personality = OSDictionary::withCapacity(2);
    for (const auto& [key, value] :
         {std::pair<const char*, const char*>{"IOClass", "FirstNoticePublishingDriver"},
          {"IOProviderClass", "FirstNoticeNub"}}) {
        OSString* s = OSString::withCString(value);
        personality->setObject(key, s);
        s->release();
    }
    hx::kern::addPersonality(personality);
    personality->release();
    for (const char* name : {"bus-plug", "bus-plug-again"}) {
        SCOPED_TRACE(name);
        const size_t before = sink.waitFor(0).size();
        auto* nub = new FirstNoticeNub;
        ASSERT_TRUE(nub->init());
        nub->setProperty("deviceUID", name);
        nub->registerService(); // as the bus does: matching runs on the kernel thread
        hx::kern::waitQuiet();
        auto got = sink.waitFor(before + 2);
        ASSERT_EQ(got.size(), before + 2);
        EXPECT_EQ(got[before].tag, 77u);     // the nub's first match
        EXPECT_EQ(got[before + 1].tag, 78u); // then the driver's service
        EXPECT_EQ(uid(got[before].service), name);
        for (size_t i = before; i < got.size(); ++i)
            road.transport->releaseService(got[i].service);
        unpublish(nub);
    }
    road.transport->unsubscribe(nubSub);
    road.transport->unsubscribe(driverSub);
    hx::kern::removePersonalities("FirstNoticePublishingDriver");
}

INSTANTIATE_TEST_SUITE_P(Transports, FirstNotification, ::testing::Values("in-process", "process"),
                         [](const auto& info) {
                             return std::string(info.param) == "in-process" ? "InProcess"
                                                                            : "Process";
                         });

} // namespace

// A driver that starts on every FirstNoticeNub.
class FirstNoticeDriver : public IOService {
    OSDeclareDefaultStructors(FirstNoticeDriver)
};
OSDefineMetaClassAndStructors(FirstNoticeDriver, IOService)

    // A driver that registers its own service while it starts, as the device
    // driver does.
    class FirstNoticePublishingDriver : public IOService {
    OSDeclareDefaultStructors(FirstNoticePublishingDriver) public
        : bool start(IOService* provider) override {
        if (!IOService::start(provider)) return false;
        registerService();
        return true;
    }
};
OSDefineMetaClassAndStructors(FirstNoticePublishingDriver, IOService)
