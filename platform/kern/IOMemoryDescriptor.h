// Memory descriptors: a description of an area that can be mapped into a
// task. An area from IOMallocAligned (or an IOBufferMemoryDescriptor, which
// allocates that way) is backed by a memfd, so every mapping is a separate
// view of the same pages at its own address: the kernel's view and a user's
// view never share an address, even in one process. A mapping reports the
// area's exact length, and the pages stay valid while any mapping exists.
#pragma once

#include "platform/kern/IOLib.h"
#include "platform/kern/OSObject.h"

#include <memory>

typedef uint32_t IODirection;
enum : IODirection {
    kIODirectionNone = 0,
    kIODirectionIn = 1,  // device to memory
    kIODirectionOut = 2, // memory to device
    kIODirectionInOut = 3,
};

enum : IOOptionBits {
    kIOMapDefaultCache = 0,
    kIOMapReadOnly = 0x00001000,
    kIOMemoryKernelUserShared = 0x00000200,
};

class IOMemoryMap;

class IOMemoryDescriptor : public OSObject {
    OSDeclareDefaultStructors(IOMemoryDescriptor) public :
        // Describes length bytes at address (kernel memory). Mappable into other
        // tasks when the bytes lie in an IOMallocAligned area.
        static IOMemoryDescriptor* withAddress(void* address, IOByteCount length,
                                               IODirection direction);

    IOByteCount getLength() const { return mLength; }
    IODirection getDirection() const { return mDirection; }
    // Wiring for IO: always succeeds here (memory is never paged out).
    virtual IOReturn prepare(IODirection forDirection = kIODirectionNone);
    virtual IOReturn complete(IODirection forDirection = kIODirectionNone);

    IOByteCount readBytes(IOByteCount offset, void* bytes, IOByteCount length) const;
    IOByteCount writeBytes(IOByteCount offset, const void* bytes, IOByteCount length);

    // A new view of the area in the task. atAddress must be 0 or the options
    // must contain kIOMapAnywhere (fixed placement is not offered); a length
    // of 0 maps from offset to the end. Null when the area cannot be mapped.
    IOMemoryMap* createMappingInTask(task_t intoTask, mach_vm_address_t atAddress,
                                     IOOptionBits options, mach_vm_size_t offset = 0,
                                     mach_vm_size_t length = 0);
    // A new view of the whole area for the kernel.
    IOMemoryMap* map(IOOptionBits options = 0);

    // The kernel address of the described bytes.
    void* kernelAddress() const { return mAddress; }
    bool isMappable() const { return mRegion != nullptr; }

protected:
    bool initWithAddress(void* address, IOByteCount length, IODirection direction);

    void* mAddress = nullptr;
    IOByteCount mLength = 0;
    IODirection mDirection = kIODirectionNone;
    std::shared_ptr<hx::kern::SharedRegion> mRegion;
    uint64_t mRegionOffset = 0;
};

class IOBufferMemoryDescriptor : public IOMemoryDescriptor {
    OSDeclareDefaultStructors(IOBufferMemoryDescriptor) public
        : static IOBufferMemoryDescriptor* withOptions(IOOptionBits options, vm_size_t capacity,
                                                       vm_size_t alignment = 1);
    static IOBufferMemoryDescriptor* inTaskWithOptions(task_t inTask, IOOptionBits options,
                                                       vm_size_t capacity, vm_size_t alignment = 1);
    // The physical mask has no meaning here; the buffer is page-aligned.
    static IOBufferMemoryDescriptor* inTaskWithPhysicalMask(task_t inTask, IOOptionBits options,
                                                            mach_vm_size_t capacity,
                                                            mach_vm_address_t physicalMask);
    static IOBufferMemoryDescriptor* withCapacity(vm_size_t capacity, IODirection direction,
                                                  bool contiguous = false);

    void* getBytesNoCopy() { return mAddress; }
    void* getBytesNoCopy(vm_size_t start, vm_size_t withLength);
    vm_size_t getCapacity() const { return mCapacity; }
    // Sets the length in use (at most the capacity).
    void setLength(vm_size_t length);

protected:
    bool initWithCapacity(IOOptionBits options, vm_size_t capacity, vm_size_t alignment);
    void free() override;

private:
    vm_size_t mCapacity = 0;
};

class IOMemoryMap : public OSObject {
    OSDeclareDefaultStructors(IOMemoryMap) public : IOVirtualAddress getVirtualAddress() const {
        return (IOVirtualAddress)mAddress;
    }
    mach_vm_address_t getAddress() const { return (mach_vm_address_t)mAddress; }
    // The mapped bytes: exactly what was asked, not rounded to pages.
    mach_vm_size_t getLength() const { return mLength; }
    mach_vm_size_t getSize() const { return mLength; }
    task_t getAddressTask() const { return mTask; }
    IOReturn unmap();
    // The file behind the mapping and where the mapped bytes start in it
    // (-1 once unmapped): what a host hands another process to map.
    int fileDescriptor() const;
    uint64_t fileOffset() const { return mFileOffset; }

protected:
    friend class IOMemoryDescriptor;
    void free() override;

private:
    task_t mTask = MACH_PORT_NULL;
    void* mAddress = nullptr;
    mach_vm_size_t mLength = 0;
    void* mMapBase = nullptr;
    uint64_t mMapLength = 0;
    uint64_t mFileOffset = 0;
    std::shared_ptr<hx::kern::SharedRegion> mRegion;
};
