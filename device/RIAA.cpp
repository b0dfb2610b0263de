#include "device/RIAA.h"

#include <cstdio>

bool RIAA::sTraceCalls = false;

namespace {

struct CoefficientSet {
    int key;
    uint8_t order;
    float g;
    float c[8];
};

constexpr CoefficientSet kSets[] = {
    {441,
     1,
     0.0576899983f,
     {2.03499937f, 0.104998037f, -1.89500201f, -0.965000629f, 0.750310421f, 1.08975363f,
      -0.750863373f, -0.0903065056f}},
    {480,
     1,
     0.0577300005f,
     {2.03220081f, 0.0966027305f, -1.90339732f, -0.967799067f, 0.667873561f, 1.17198992f,
      -0.668382585f, -0.172498897f}},
    {882,
     0,
     0.0522099994f,
     {1.03499937f, -0.930001318f, -0.965000629f, 0.0f, 0.85577482f, 0.999499857f, -0.856274962f,
      0.0f}},
    {960,
     0,
     0.0481499992f,
     {1.03220093f, -0.935598195f, -0.967799067f, 0.0f, 0.866785944f, 0.999575436f, -0.867210507f,
      0.0f}},
};

} // namespace

void RIAA::init(int rate, int stride) {
    mOrder = 0;
    init_Filter_Coef(rate, stride, true);
}

void RIAA::init_Filter_Coef(int rate, int stride, bool /*highOrder*/) {
    mStride = stride;
    std::printf("init_Filter_Coef %d, %d, %d\n", rate, stride, rate / 100);
    g = 0;
    for (double& v : c)
        v = 0;
    for (const CoefficientSet& set : kSets) {
        if (set.key != rate / 100) continue;
        mOrder = set.order;
        g = set.g;
        for (int i = 0; i < 8; ++i)
            c[i] = set.c[i];
    }
    x0 = x1 = x2 = x3 = x4 = 0;
    y0 = y1 = y2 = y3 = y4 = 0;
}

double RIAA::evaluate(double input) const {
    double sum = input + c[0] * x1 + c[1] * x2 + c[2] * x3 + c[4] * y1 + c[5] * y2 + c[6] * y3;
    if (mOrder) sum += c[3] * x4 + c[7] * y4;
    return sum;
}

void RIAA::shift() {
    x4 = x3, x3 = x2, x2 = x1, x1 = x0;
    y4 = y3, y3 = y2, y2 = y1, y1 = y0;
    x0 = 0;
}

void RIAA::processReplacing(const float* input, float* output, int samples) {
    if (sTraceCalls)
        std::printf("processReplacing: in=%p, out=%p, samples=%d\n",
                    static_cast<const void*>(input), static_cast<void*>(output), samples);
    const int stride = mStride > 0 ? mStride : 1;
    for (int i = 0; i < samples; ++i) {
        x0 = input[i * stride];
        y0 = evaluate(x0);
        if (mOrder) {
            // Twice the rate: a zero follows every sample, every second result is kept.
            shift();
            y0 = evaluate(0.0);
        }
        output[i * stride] = float(g * y0);
        shift();
    }
}
