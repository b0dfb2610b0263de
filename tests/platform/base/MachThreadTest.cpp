#include "platform/base/MachPort.h"
#include "platform/base/MachThread.h"

#include <atomic>
#include <gtest/gtest.h>
#include <sched.h>
#include <thread>

namespace {

struct Readback {
    kern_return_t basicResult;
    policy_t policy;
    kern_return_t schedResult;
    integer_t basePriority;
};

Readback readBack(thread_act_t port) {
    Readback r{};
    thread_basic_info_data_t basic{};
    mach_msg_type_number_t count = THREAD_BASIC_INFO_COUNT;
    r.basicResult =
        thread_info(port, THREAD_BASIC_INFO, reinterpret_cast<thread_info_t>(&basic), &count);
    r.policy = basic.policy;
    policy_timeshare_info_data_t ts{};
    count = POLICY_TIMESHARE_INFO_COUNT;
    r.schedResult = thread_info(port, THREAD_SCHED_TIMESHARE_INFO,
                                reinterpret_cast<thread_info_t>(&ts), &count);
    r.basePriority = ts.base_priority;
    return r;
}

kern_return_t setImportance(thread_act_t port, integer_t importance) {
    thread_precedence_policy_data_t p{importance};
    return thread_policy_set(port, THREAD_PRECEDENCE_POLICY, reinterpret_cast<thread_policy_t>(&p),
                             THREAD_PRECEDENCE_POLICY_COUNT);
}

// Runs body on a fresh thread and gives it that thread's port.
template <typename F> void onNewThread(F body) {
    std::thread t([&] { body(mach_thread_self()); });
    t.join();
}

TEST(MachThread, NewThreadIsTimeshareAtPriority31) {
    onNewThread([](thread_act_t port) {
        Readback r = readBack(port);
        EXPECT_EQ(r.basicResult, KERN_SUCCESS);
        EXPECT_EQ(r.policy, POLICY_TIMESHARE);
        EXPECT_EQ(r.schedResult, KERN_SUCCESS);
        EXPECT_EQ(r.basePriority, 31);
    });
}

TEST(MachThread, PrecedenceSetsClampedBasePriority) {
    struct Case {
        integer_t importance;
        integer_t base;
    };
    const Case cases[] = {{0, 31},  {1, 32},          {32, 63},
                          {33, 63}, {-31, 0},         {-40, 0},
                          {10, 41}, {0x7fffffff, 63}, {int(0x80000000), 0}};
    for (const Case& c : cases)
        onNewThread([&](thread_act_t port) {
            ASSERT_EQ(setImportance(port, c.importance), KERN_SUCCESS);
            Readback r = readBack(port);
            EXPECT_EQ(r.policy, POLICY_TIMESHARE) << c.importance;
            EXPECT_EQ(r.basePriority, c.base) << c.importance;
        });
}

TEST(MachThread, AnotherThreadCanSetAndReadAThreadsPriority) {
    std::atomic<bool> done{false};
    std::thread t([&] {
        while (!done.load())
            std::this_thread::yield();
    });
    const mach_port_t port = pthread_mach_thread_np(t.native_handle());
    EXPECT_EQ(port, pthread_mach_thread_np(t.native_handle())); // stable
    EXPECT_NE(port, mach_thread_self());
    ASSERT_EQ(setImportance(port, 32), KERN_SUCCESS);
    EXPECT_EQ(readBack(port).basePriority, 63);
    EXPECT_EQ(readBack(mach_thread_self()).basePriority, 31); // the caller is untouched
    done.store(true);
    t.join();
}

TEST(MachThread, LinuxSchedulingUntouchedWithoutRealtimeSwitch) {
    if (hx::mach::realtimeScheduling()) GTEST_SKIP() << "HX_RT=1 set";
    onNewThread([](thread_act_t port) {
        ASSERT_EQ(setImportance(port, 32), KERN_SUCCESS);
        thread_time_constraint_policy_data_t tc{1000, 200, 500, 1};
        ASSERT_EQ(thread_policy_set(port, THREAD_TIME_CONSTRAINT_POLICY,
                                    reinterpret_cast<thread_policy_t>(&tc),
                                    THREAD_TIME_CONSTRAINT_POLICY_COUNT),
                  KERN_SUCCESS);
        int policy = -1;
        sched_param sp{};
        ASSERT_EQ(pthread_getschedparam(pthread_self(), &policy, &sp), 0);
        EXPECT_EQ(policy, SCHED_OTHER);
        thread_time_constraint_policy_data_t back{};
        ASSERT_TRUE(hx::mach::timeConstraint(port, &back));
        EXPECT_EQ(back.period, 1000u);
        EXPECT_EQ(back.constraint, 500u);
    });
}

TEST(MachThread, BadCallsAreRefused) {
    onNewThread([](thread_act_t port) {
        integer_t buf[16] = {};
        mach_msg_type_number_t count = 2;
        EXPECT_EQ(thread_info(port, THREAD_BASIC_INFO, buf, &count), KERN_INVALID_ARGUMENT);
        count = 16;
        EXPECT_EQ(thread_info(port, 999, buf, &count), KERN_INVALID_ARGUMENT);
        EXPECT_EQ(thread_info(port, THREAD_SCHED_FIFO_INFO, buf, &count), KERN_INVALID_POLICY);
        EXPECT_EQ(thread_info(0, THREAD_BASIC_INFO, buf, &count), KERN_INVALID_ARGUMENT);
        EXPECT_EQ(thread_policy_set(port, THREAD_PRECEDENCE_POLICY, buf, 0), KERN_INVALID_ARGUMENT);
        EXPECT_EQ(thread_policy_set(port, THREAD_PRECEDENCE_POLICY, nullptr, 1),
                  KERN_INVALID_ARGUMENT);
        EXPECT_EQ(thread_policy_set(mach_task_self(), THREAD_PRECEDENCE_POLICY, buf, 1),
                  KERN_INVALID_ARGUMENT);
        // computation longer than the constraint cannot be met
        thread_time_constraint_policy_data_t tc{1000, 600, 500, 1};
        EXPECT_EQ(thread_policy_set(port, THREAD_TIME_CONSTRAINT_POLICY,
                                    reinterpret_cast<thread_policy_t>(&tc), 4),
                  KERN_INVALID_ARGUMENT);
    });
}

TEST(MachThread, AThreadEndingForgetsItsState) {
    // A later thread that may reuse the same pthread_t starts from defaults.
    for (int i = 0; i < 20; ++i)
        onNewThread([](thread_act_t port) {
            EXPECT_EQ(readBack(port).basePriority, 31);
            setImportance(port, 20);
        });
}

} // namespace
