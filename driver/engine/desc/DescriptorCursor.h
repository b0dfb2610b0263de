// Cursor moves shared by the descriptor readers. Every reader resumes at the
// start of the last descriptor it owns plus that descriptor's bLength,
// bounded by the bytes left, whatever it managed to read in between: the
// length byte is the only thing that says where the next descriptor starts.
#pragma once

#include <cstdint>

#include "abi/USBByteBuffer.h"
#include "platform/usb/StandardUSB.h"

namespace DescriptorCursor {

// Descriptor types of USB and of the audio device class, by the names the
// readers use; the values are the host stack's.
enum : uint8_t {
    kTypeDevice = StandardUSB::kDescriptorTypeDevice,
    kTypeConfiguration = StandardUSB::kDescriptorTypeConfiguration,
    kTypeInterface = StandardUSB::kDescriptorTypeInterface,
    kTypeEndpoint = StandardUSB::kDescriptorTypeEndpoint,
    kTypeHID = 0x21,
    kTypeCSInterface = StandardUSB::kDescriptorTypeClassSpecificInterface,
    kTypeCSEndpoint = StandardUSB::kDescriptorTypeClassSpecificEndpoint,
};

inline void moveTo(USBByteBuffer& buf, uint32_t target) {
    uint32_t pos = buf.getReadPosition();
    if (target > pos)
        buf.forward(target - pos);
    else if (target < pos)
        buf.rewind(pos - target);
}

// Places the cursor just past the descriptor that starts at start.
inline void skipDescriptor(USBByteBuffer& buf, uint32_t start, uint8_t length) {
    uint64_t end = uint64_t(start) + length;
    moveTo(buf, end < buf.getSize() ? uint32_t(end) : buf.getSize());
}

// A descriptor whose length byte is 0 or 1 cannot say where the next one
// starts: parsing of the whole set ends there, keeping what was read.
inline bool endsSet(const USBByteBuffer& buf) {
    return buf.getRemaining() < 2 || buf.peek(0) < 2;
}

} // namespace DescriptorCursor
