// Port rights and the dispatch sources watching them, through the plug-in
// queue's death notifications and receivers.
#include "plugins/server/CADispatchQueue.h"
#include "plugins/server/CAException.h"

#include <atomic>
#include <gtest/gtest.h>

#include "platform/base/MachPort.h"
#include "platform/base/MachPortRights.h"

namespace {

mach_port_t receiveWithSend() {
    mach_port_name_t port = 0;
    EXPECT_EQ(mach_port_allocate(mach_task_self(), MACH_PORT_RIGHT_RECEIVE, &port), KERN_SUCCESS);
    EXPECT_EQ(mach_port_insert_right(mach_task_self(), port, port, MACH_MSG_TYPE_MAKE_SEND),
              KERN_SUCCESS);
    return port;
}

TEST(MachPortRights, DestroyedReceiveRightLeavesADeadName) {
    const mach_port_t port = receiveWithSend();
    hx::mach::PortRights r;
    ASSERT_TRUE(hx::mach::portRights(port, r));
    EXPECT_TRUE(r.receive);
    EXPECT_EQ(r.sendReferences, 1u);
    EXPECT_EQ(mach_port_mod_refs(mach_task_self(), port, MACH_PORT_RIGHT_RECEIVE, -1),
              KERN_SUCCESS);
    ASSERT_TRUE(hx::mach::portRights(port, r));
    EXPECT_FALSE(r.receive);
    EXPECT_TRUE(r.dead);
    EXPECT_EQ(mach_port_mod_refs(mach_task_self(), port, MACH_PORT_RIGHT_SEND, -1),
              KERN_INVALID_RIGHT);
    EXPECT_EQ(mach_port_deallocate(mach_task_self(), port), KERN_SUCCESS);
    EXPECT_FALSE(hx::mach::portRights(port, r)); // the name is free
    EXPECT_EQ(mach_port_deallocate(mach_task_self(), port), KERN_INVALID_NAME);
}

TEST(CADispatchQueueMachPorts, DeathSourceFiresWhenTheReceiveRightGoes) {
    CADispatchQueue q("test.ports");
    const mach_port_t port = receiveWithSend();
    std::atomic<int> deaths{0};
    q.InstallMachPortDeathNotification(port, [&] { deaths++; });
    q.InstallMachPortDeathNotification(port, [&] { deaths += 100; }); // one source per port
    hx::dispatch::drain(q.GetDispatchQueue());
    EXPECT_EQ(deaths.load(), 0);
    mach_port_mod_refs(mach_task_self(), port, MACH_PORT_RIGHT_RECEIVE, -1);
    hx::dispatch::drain(q.GetDispatchQueue());
    EXPECT_EQ(deaths.load(), 1);
    q.RemoveMachPortDeathNotification(port);
    q.RemoveMachPortDeathNotification(port); // unknown now: nothing
    mach_port_deallocate(mach_task_self(), port);
}

TEST(CADispatchQueueMachPorts, ReceiverSeesMessagesUntilRemoved) {
    CADispatchQueue q("test.ports");
    const mach_port_t port = receiveWithSend();
    std::atomic<int> messages{0};
    q.InstallMachPortReceiver(port, [&] { messages++; });
    EXPECT_TRUE(hx::mach::postMessage(port));
    EXPECT_TRUE(hx::mach::postMessage(port));
    hx::dispatch::drain(q.GetDispatchQueue());
    EXPECT_EQ(messages.load(), 2);
    std::atomic<bool> cancelled{false};
    q.RemoveMachPortReceiver(port, dispatch_block_t([&] { cancelled = true; }));
    hx::mach::postMessage(port);
    hx::dispatch::drain(q.GetDispatchQueue());
    EXPECT_EQ(messages.load(), 2);
    EXPECT_TRUE(cancelled);
    mach_port_deallocate(mach_task_self(), port);
    mach_port_mod_refs(mach_task_self(), port, MACH_PORT_RIGHT_RECEIVE, -1);
}

TEST(CADispatchQueueMachPorts, RemovingWithDeallocateAndDestroyLeavesNoRight) {
    CADispatchQueue q("test.ports");
    const mach_port_t port = receiveWithSend();
    q.InstallMachPortReceiver(port, [] {});
    q.RemoveMachPortReceiver(port, true, true);
    hx::dispatch::drain(q.GetDispatchQueue());
    hx::mach::PortRights r;
    EXPECT_FALSE(hx::mach::portRights(port, r));
}

TEST(CADispatchQueueMachPorts, PortZeroIsRefused) {
    CADispatchQueue q("test.ports");
    OSStatus status = 0;
    try {
        q.InstallMachPortDeathNotification(MACH_PORT_NULL, [] {});
    } catch (const CAException& e) {
        status = e.GetError();
    }
    EXPECT_EQ(status, OSStatus(0x6E6F7065));              // 'nope'
    q.RemoveMachPortReceiver(MACH_PORT_NULL, true, true); // not watched: nothing
}

} // namespace
