// Input and output blocks shared by the transcoder benchmarks: a 4 KiB input
// of fixed pseudo-random bytes, a 4 KiB output and a carried word.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace hxbench {

struct Buffers {
    std::vector<uint8_t> in = std::vector<uint8_t>(4096);
    std::vector<uint8_t> out = std::vector<uint8_t>(4096);
    int32_t carry = 0;
    Buffers() {
        std::mt19937 rng(1);
        for (auto& b : in)
            b = uint8_t(rng());
    }
};

}  // namespace hxbench
