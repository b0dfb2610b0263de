// Property reads and writes of the device on four host threads at once:
// every read answers, every write is taken, and the values stay whole.
#include "tests/plugins/server/DevicePropertyFixture.h"

#include <atomic>
#include <thread>

using namespace hx::test;

using DevicePropertiesThreads = DevicePropertyFixture;

TEST_F(DevicePropertiesThreads, ReadsAndWritesOnFourThreads) {
    constexpr int kRounds = 100;
    std::atomic<int> failures{0};
    const auto reads = [&](pid_t pid) {
        for (int i = 0; i < kRounds; ++i) {
            UInt32 size = 0;
            Float64 rate = 0;
            if (get(fcc("nsrt"), kGlob, 0, 8, size, &rate, pid) || rate != 48000) ++failures;
            UInt32 w = 0;
            for (const char* sel : {"ltnc", "saft", "goin", "csrc", "ring"})
                if (get(code(sel), kOutp, 0, 4, size, &w, pid)) ++failures;
            for (const char* sel : {"lnam", "QnMM", "QnCS", "QnIO"}) {
                CFTypeRef o = nullptr;
                if (get(code(sel), kGlob, 0, 8, size, &o, pid)) ++failures;
                if (o) CFRelease(o);
            }
        }
    };
    const auto writes = [&] {
        for (int i = 0; i < kRounds; ++i) {
            CFNumberRef n = CFNumberCreate(nullptr, kCFNumberSInt32Type, &i);
            if (setObject(fcc("DbLI"), n) || setObject(fcc("DbSO"), n) || setObject(fcc("QnDM"), n))
                ++failures;
            CFRelease(n);
            device->AddDeviceClient(nullptr);
        }
    };
    const pid_t pid = reader("MixDeck");
    service->clearCalls();
    std::thread a(reads, pid), b(reads, kUnknownPid), c(writes), d(reads, pid);
    a.join();
    b.join();
    c.join();
    d.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(requestsOf(35), size_t(kRounds)); // one per digital-output write
    CFNumberRef last = nullptr;
    UInt32 size = 0;
    ASSERT_EQ(get(fcc("QnMM"), kGlob, 0, 8, size, &last), 0);
    CFRelease(last);
}
