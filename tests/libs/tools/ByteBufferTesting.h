// Helpers shared by the byte buffer and LZW codec tests: the bytes a buffer
// holds up to its write position, and an owned buffer holding given bytes.
#pragma once

#include <vector>

#include "libs/tools/ZrByteBuffer.h"

namespace hx::test {

using Bytes = std::vector<unsigned char>;

inline Bytes content(ZrByteBuffer const& b) {
    return Bytes(b.getBuffer(), b.getBuffer() + b.getWritePos());
}

// Leaves b owning exactly v, read and write positions at 0 and v.size().
inline void fill(ZrByteBuffer& b, Bytes const& v) {
    b.resize(0);
    if (!v.empty()) b.write(const_cast<unsigned char*>(v.data()), static_cast<unsigned>(v.size()));
    b.resizeAndKeep(static_cast<unsigned>(v.size()));
}

} // namespace hx::test
