// Kernel memory: memfd-backed aligned areas and their descriptors, mapped a
// second time at another address as a user task would see them.
#include "platform/kern/IOMemoryDescriptor.h"

#include <gtest/gtest.h>
#include <sanitizer/asan_interface.h>
#include <unistd.h>

#include <cstring>

#include "tests/support/Sanitizers.h"

namespace {

TEST(KernMemory, AlignedAreaMapsTwiceAtDifferentAddressesWithTheExactLength) {
    const vm_size_t size = 30744; // not a whole number of pages
    void* area = IOMallocAligned(size, 4096);
    ASSERT_NE(area, nullptr);
    EXPECT_EQ((uintptr_t)area % 4096, 0u);
    std::memset(area, 0, size);

    IOMemoryDescriptor* md = IOMemoryDescriptor::withAddress(area, size, kIODirectionInOut);
    ASSERT_NE(md, nullptr);
    ASSERT_TRUE(md->isMappable());
    task_t user = hx::kern::createTask(4242);
    IOMemoryMap* view = md->createMappingInTask(user, 0, kIOMapAnywhere);
    ASSERT_NE(view, nullptr);
    EXPECT_NE(view->getVirtualAddress(), (IOVirtualAddress)area);
    EXPECT_EQ(view->getLength(), size);

    // Writes through either view are seen through the other.
    auto* kernelBytes = static_cast<uint8_t*>(area);
    auto* userBytes = reinterpret_cast<uint8_t*>(view->getVirtualAddress());
    kernelBytes[size - 1] = 0x5A;
    userBytes[100] = 0xA5;
    EXPECT_EQ(userBytes[size - 1], 0x5A);
    EXPECT_EQ(kernelBytes[100], 0xA5);

    // The user's view outlives the kernel's allocation.
    md->release();
    IOFreeAligned(area, size);
    EXPECT_EQ(userBytes[size - 1], 0x5A);
    userBytes[0] = 1;
    view->release();
    hx::kern::destroyTask(user);
}

// An area keeps an inaccessible page on each side: a stray access just
// before or after it faults at once instead of reaching other memory. Under
// the address sanitizer the bytes between its size and its page end are
// reported as well.
TEST(KernMemoryDeathTest, AnAccessBesideAnAreaFaults) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const vm_size_t page = vm_size_t(::sysconf(_SC_PAGESIZE));
    const vm_size_t size = page + 100;
    auto* area = static_cast<volatile uint8_t*>(IOMallocAligned(size, 4096));
    ASSERT_NE(area, nullptr);
    area[0] = 1;
    area[size - 1] = 2;
    EXPECT_DEATH(area[-1] = 1, "");
    EXPECT_DEATH(area[2 * page] = 1, "");
    EXPECT_DEATH((void)area[2 * page + page - 1], "");
#ifdef HX_TEST_ASAN
    EXPECT_TRUE(__asan_address_is_poisoned(const_cast<uint8_t*>(area + size)));
    EXPECT_TRUE(__asan_address_is_poisoned(const_cast<uint8_t*>(area + 2 * page - 1)));
    EXPECT_FALSE(__asan_address_is_poisoned(const_cast<uint8_t*>(area + size - 1)));
#endif
    IOFreeAligned(const_cast<uint8_t*>(area), size);
#ifdef HX_TEST_ASAN
    // What the area leaves behind carries no poison to a later mapping at
    // its place.
    EXPECT_EQ(__asan_region_is_poisoned(const_cast<uint8_t*>(area), 2 * page), nullptr);
#endif
}

TEST(KernMemory, SubrangeMappingStartsAtTheOffset) {
    IOBufferMemoryDescriptor* buf =
        IOBufferMemoryDescriptor::withOptions(kIODirectionInOut, 3 * 4096 + 10, 4096);
    ASSERT_NE(buf, nullptr);
    auto* bytes = static_cast<uint8_t*>(buf->getBytesNoCopy());
    for (unsigned i = 0; i < buf->getCapacity(); ++i)
        bytes[i] = (uint8_t)(i * 7);
    IOMemoryMap* part =
        buf->createMappingInTask(kernel_task, 0, kIOMapAnywhere | kIOMapReadOnly, 5000, 100);
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part->getLength(), 100u);
    const auto* view = reinterpret_cast<const uint8_t*>(part->getVirtualAddress());
    EXPECT_EQ(std::memcmp(view, bytes + 5000, 100), 0);
    // Out of range, or a fixed address, gives no mapping.
    EXPECT_EQ(buf->createMappingInTask(kernel_task, 0, kIOMapAnywhere, 5000, buf->getLength()),
              nullptr);
    EXPECT_EQ(buf->createMappingInTask(kernel_task, 0x10000, 0), nullptr);
    part->release();
    buf->release();
}

TEST(KernMemory, PlainHeapMemoryIsDescribedButNotMappable) {
    void* p = IOMalloc(256);
    IOMemoryDescriptor* md = IOMemoryDescriptor::withAddress(p, 256, kIODirectionOut);
    ASSERT_NE(md, nullptr);
    EXPECT_FALSE(md->isMappable());
    EXPECT_EQ(md->map(), nullptr);
    const char text[] = "abc";
    EXPECT_EQ(md->writeBytes(254, text, 3), 2u); // clipped at the end
    md->release();
    IOFree(p, 256);
    EXPECT_EQ(IOMallocAligned(0, 4096), nullptr);
}

} // namespace
