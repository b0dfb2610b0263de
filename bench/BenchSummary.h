// The summary table every benchmark program ends with, written the same way
// in each: one row per measured body with its time per call and that time as
// a multiple of a memcpy of the same bytes and of the reference bit loop
// (below 1: faster). "-" where a program has no such baseline for the row.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace hxbench {

struct SummaryRow {
    std::string name;
    std::string form;     // e.g. C, ASM, SSE; empty when there is one form
    double ns = -1;       // time per call
    double memcpyNs = -1; // < 0: no baseline
    double referenceNs = -1;
};

inline void printSummary(const char* program, const std::vector<SummaryRow>& rows) {
    std::printf(
        "\nsummary of %s (time per call; multiples of memcpy's and of the reference loop's time)\n",
        program);
    std::printf("%-36s %-5s %12s %10s %12s\n", "benchmark", "form", "ns/call", "x memcpy",
                "x reference");
    auto multiple = [](double t, double base, int width) {
        if (t > 0 && base > 0)
            std::printf(" %*.2f", width, t / base);
        else
            std::printf(" %*s", width, "-");
    };
    for (const SummaryRow& r : rows) {
        std::printf("%-36s %-5s %12.1f", r.name.c_str(), r.form.empty() ? "-" : r.form.c_str(),
                    r.ns);
        multiple(r.ns, r.memcpyNs, 10);
        multiple(r.ns, r.referenceNs, 12);
        std::printf("\n");
    }
}

} // namespace hxbench
