// The phono stage's RIAA equaliser: a recursive filter with one fixed
// coefficient set per rate family, run on one channel of an interleaved
// buffer (stride samples apart).
#pragma once

#include <cstdint>

class RIAA {
public:
    void init(int rate, int stride);
    void init_Filter_Coef(int rate, int stride, bool highOrder);
    void processReplacing(const float* input, float* output, int samples);

    // Prints the per-call line of processReplacing; off by default (it runs
    // on the audio path).
    static bool sTraceCalls;

    uint8_t orderFlag() const { return mOrder; }
    double gain() const { return g; }
    double coefficient(int n) const { return c[n - 1]; }
    int32_t stride() const { return mStride; }

private:
    double evaluate(double input) const;
    void shift();

    uint8_t mOrder = 0;
    double x0 = 0, x1 = 0, x2 = 0, x3 = 0, x4 = 0;
    double y0 = 0, y1 = 0, y2 = 0, y3 = 0, y4 = 0;
    double c[8] = {};
    double g = 0;
    int32_t mStride = 1;
};
