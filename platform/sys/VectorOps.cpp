// Plain loops for the vector routines. See VectorOps.h.
#include "platform/sys/VectorOps.h"

void vDSP_sveD(const double* A, vDSP_Stride IA, double* C, vDSP_Length N) {
    double sum = 0.0;
    for (vDSP_Length n = 0; n < N; ++n)
        sum += A[vDSP_Stride(n) * IA];
    *C = sum;
}

void vDSP_meanvD(const double* A, vDSP_Stride IA, double* C, vDSP_Length N) {
    if (N == 0) {
        *C = 0.0;
        return;
    }
    double sum = 0.0;
    vDSP_sveD(A, IA, &sum, N);
    *C = sum / double(N);
}

void vDSP_vsaddD(const double* A, vDSP_Stride IA, const double* B, double* C, vDSP_Stride IC,
                 vDSP_Length N) {
    const double b = *B;
    for (vDSP_Length n = 0; n < N; ++n)
        C[vDSP_Stride(n) * IC] = A[vDSP_Stride(n) * IA] + b;
}

void vDSP_dotprD(const double* A, vDSP_Stride IA, const double* B, vDSP_Stride IB, double* C,
                 vDSP_Length N) {
    double sum = 0.0;
    for (vDSP_Length n = 0; n < N; ++n)
        sum += A[vDSP_Stride(n) * IA] * B[vDSP_Stride(n) * IB];
    *C = sum;
}

void vDSP_svesqD(const double* A, vDSP_Stride IA, double* C, vDSP_Length N) {
    vDSP_dotprD(A, IA, A, IA, C, N);
}
