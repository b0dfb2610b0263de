// Calls a DMA converter with known values in every callee-saved register and
// a canary on the caller's stack, then reports what the call left behind:
// which callee-saved registers changed, whether the stack pointer came back
// where it was, whether the canary above the return address survived, and
// the x87 environment (its tag word is 0xFFFF when the register stack is
// empty, as the MMX forms must leave it).
#pragma once

#include "driver/transcoders/DMAConvert.h"

#include <cstdint>

struct X86CallReport {
    uint64_t changedRegs; // bit 0 rbx, 1 rbp, 2 r12, 3 r13, 4 r14, 5 r15
    int64_t stackDelta;   // rsp after the call minus rsp before it
    uint64_t canary;      // the word above the return address, after the call
    uint8_t fpuEnv[28];   // fnstenv image; tag word at bytes 8..9
    uint16_t tagWord() const { return uint16_t(fpuEnv[8] | (fpuEnv[9] << 8)); }
};

static_assert(sizeof(X86CallReport) >= 52);

// The value the harness puts on the stack next to the call.
constexpr uint64_t kX86StackCanary = 0x5A17C0DEFEEDF00DULL;

extern "C" {
uint64_t hxX86CheckedCall(DMA_CONVERT_FNC fn, DMA_CONVERT_DATA* data, X86CallReport* report);

// Deliberately broken converters that the harness must catch.
uint64_t hxX86FixtureClobbersRbx(DMA_CONVERT_DATA* data);
uint64_t hxX86FixtureLeavesMmx(DMA_CONVERT_DATA* data);
void hxX86ClearMmx(void);
}
