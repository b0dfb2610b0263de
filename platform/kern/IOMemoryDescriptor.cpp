#include "platform/kern/IOMemoryDescriptor.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

OSDefineMetaClassAndStructors(IOMemoryDescriptor, OSObject)
    OSDefineMetaClassAndStructors(IOBufferMemoryDescriptor, IOMemoryDescriptor)
        OSDefineMetaClassAndStructors(IOMemoryMap, OSObject)

            IOMemoryDescriptor* IOMemoryDescriptor::withAddress(void* address, IOByteCount length,
                                                                IODirection direction) {
    IOMemoryDescriptor* md = new IOMemoryDescriptor;
    if (!md->initWithAddress(address, length, direction)) {
        md->release();
        return nullptr;
    }
    return md;
}

bool IOMemoryDescriptor::initWithAddress(void* address, IOByteCount length, IODirection direction) {
    if (!address || length == 0) return false;
    mAddress = address;
    mLength = length;
    mDirection = direction;
    mRegion = hx::kern::findSharedRegion(address, length);
    if (mRegion) mRegionOffset = (uint64_t)((uintptr_t)address - (uintptr_t)mRegion->kernelAddress);
    return true;
}

IOReturn IOMemoryDescriptor::prepare(IODirection) {
    return kIOReturnSuccess;
}
IOReturn IOMemoryDescriptor::complete(IODirection) {
    return kIOReturnSuccess;
}

IOByteCount IOMemoryDescriptor::readBytes(IOByteCount offset, void* bytes,
                                          IOByteCount length) const {
    if (!bytes || offset >= mLength) return 0;
    const IOByteCount n = length < mLength - offset ? length : mLength - offset;
    std::memcpy(bytes, static_cast<const uint8_t*>(mAddress) + offset, n);
    return n;
}

IOByteCount IOMemoryDescriptor::writeBytes(IOByteCount offset, const void* bytes,
                                           IOByteCount length) {
    if (!bytes || offset >= mLength) return 0;
    const IOByteCount n = length < mLength - offset ? length : mLength - offset;
    std::memcpy(static_cast<uint8_t*>(mAddress) + offset, bytes, n);
    return n;
}

IOMemoryMap* IOMemoryDescriptor::createMappingInTask(task_t intoTask, mach_vm_address_t atAddress,
                                                     IOOptionBits options, mach_vm_size_t offset,
                                                     mach_vm_size_t length) {
    if (!mRegion || !intoTask) return nullptr;
    if (atAddress != 0 && !(options & kIOMapAnywhere)) return nullptr;
    if (offset > mLength) return nullptr;
    if (length == 0) length = mLength - offset;
    if (length == 0 || length > mLength - offset) return nullptr;

    const uint64_t page = (uint64_t)::sysconf(_SC_PAGESIZE);
    const uint64_t fileOffset = mRegionOffset + offset;
    const uint64_t pageOffset = fileOffset % page;
    const uint64_t mapLength = (pageOffset + length + page - 1) / page * page;
    const int prot = (options & kIOMapReadOnly) ? PROT_READ : PROT_READ | PROT_WRITE;
    void* base =
        ::mmap(nullptr, mapLength, prot, MAP_SHARED, mRegion->fd, (off_t)(fileOffset - pageOffset));
    if (base == MAP_FAILED) return nullptr;

    IOMemoryMap* m = new IOMemoryMap;
    m->mTask = intoTask;
    m->mMapBase = base;
    m->mMapLength = mapLength;
    m->mAddress = static_cast<uint8_t*>(base) + pageOffset;
    m->mLength = length;
    m->mFileOffset = fileOffset;
    m->mRegion = mRegion;
    return m;
}

IOMemoryMap* IOMemoryDescriptor::map(IOOptionBits options) {
    return createMappingInTask(kernel_task, 0, options | kIOMapAnywhere, 0, 0);
}

// ---- IOBufferMemoryDescriptor

IOBufferMemoryDescriptor* IOBufferMemoryDescriptor::withOptions(IOOptionBits options,
                                                                vm_size_t capacity,
                                                                vm_size_t alignment) {
    return inTaskWithOptions(kernel_task, options, capacity, alignment);
}

IOBufferMemoryDescriptor* IOBufferMemoryDescriptor::inTaskWithOptions(task_t, IOOptionBits options,
                                                                      vm_size_t capacity,
                                                                      vm_size_t alignment) {
    IOBufferMemoryDescriptor* md = new IOBufferMemoryDescriptor;
    if (!md->initWithCapacity(options, capacity, alignment)) {
        md->release();
        return nullptr;
    }
    return md;
}

IOBufferMemoryDescriptor* IOBufferMemoryDescriptor::inTaskWithPhysicalMask(task_t inTask,
                                                                           IOOptionBits options,
                                                                           mach_vm_size_t capacity,
                                                                           mach_vm_address_t) {
    return inTaskWithOptions(inTask, options, capacity, 1);
}

IOBufferMemoryDescriptor* IOBufferMemoryDescriptor::withCapacity(vm_size_t capacity,
                                                                 IODirection direction, bool) {
    return inTaskWithOptions(kernel_task, direction, capacity, 1);
}

bool IOBufferMemoryDescriptor::initWithCapacity(IOOptionBits options, vm_size_t capacity,
                                                vm_size_t alignment) {
    if (capacity == 0) return false;
    if (alignment == 0 || (alignment & (alignment - 1)) != 0) alignment = 1;
    // Zeroed already: the area is a freshly sized memfd.
    void* bytes = IOMallocAligned(capacity, alignment);
    if (!bytes) return false;
    mCapacity = capacity;
    if (!initWithAddress(bytes, capacity, options & kIODirectionInOut)) {
        IOFreeAligned(bytes, capacity);
        mCapacity = 0;
        return false;
    }
    return true;
}

void* IOBufferMemoryDescriptor::getBytesNoCopy(vm_size_t start, vm_size_t withLength) {
    if (!mAddress || start > mCapacity || withLength > mCapacity - start) return nullptr;
    return static_cast<uint8_t*>(mAddress) + start;
}

void IOBufferMemoryDescriptor::setLength(vm_size_t length) {
    mLength = length <= mCapacity ? length : mCapacity;
}

void IOBufferMemoryDescriptor::free() {
    if (mAddress) IOFreeAligned(mAddress, mCapacity);
    mAddress = nullptr;
    mRegion.reset();
    IOMemoryDescriptor::free();
}

// ---- IOMemoryMap

int IOMemoryMap::fileDescriptor() const {
    return mRegion ? mRegion->fd : -1;
}

IOReturn IOMemoryMap::unmap() {
    if (!mMapBase) return kIOReturnNotAttached;
    ::munmap(mMapBase, mMapLength);
    mMapBase = nullptr;
    mAddress = nullptr;
    mRegion.reset();
    return kIOReturnSuccess;
}

void IOMemoryMap::free() {
    unmap();
    OSObject::free();
}
