// LZW codec on arbitrary bytes: decoding must stay in bounds whatever the
// code stream, and encoding then decoding (the input, and whatever the
// decoder made of it) must give the same bytes back.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "libs/tools/XCodecLZW.h"

namespace {

void roundTrip(XCodecLZW& codec, unsigned char const* bytes, unsigned n) {
    ZrByteBuffer in(const_cast<unsigned char*>(bytes), n);
    ZrByteBuffer packed;
    if (!codec.encode(in, packed)) __builtin_trap();
    ZrByteBuffer unpacked;
    codec.decode(packed, unpacked);
    if (unpacked.getWritePos() != n) __builtin_trap();
    if (n && std::memcmp(unpacked.getBuffer(), bytes, n) != 0) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1u << 20) return 0;
    XCodecLZW codec;
    ZrByteBuffer in(const_cast<unsigned char*>(data), static_cast<unsigned>(size));
    ZrByteBuffer out;
    codec.decode(in, out);
    // The decoder's output is an owned buffer ending at its content.
    if (out.getSize() != out.getWritePos()) __builtin_trap();

    roundTrip(codec, data, static_cast<unsigned>(size));
    if (out.getWritePos() <= (1u << 20)) roundTrip(codec, out.getBuffer(), out.getWritePos());
    return 0;
}
