// The double-precision vector routines of the other system's signal
// processing library that the suite calls, as plain loops: a mean, adding a
// scalar, a dot product and sums. Strides count elements; a length of 0
// gives a sum and a mean of 0.
#pragma once

#include <cstddef>
#include <cstdint>

using vDSP_Length = unsigned long;
using vDSP_Stride = long;

// *C = mean of A[0], A[IA], ... (N elements); 0 when N is 0.
void vDSP_meanvD(const double* A, vDSP_Stride IA, double* C, vDSP_Length N);
// C[n*IC] = A[n*IA] + *B.
void vDSP_vsaddD(const double* A, vDSP_Stride IA, const double* B, double* C, vDSP_Stride IC,
                 vDSP_Length N);
// *C = sum of A[n*IA] * B[n*IB].
void vDSP_dotprD(const double* A, vDSP_Stride IA, const double* B, vDSP_Stride IB, double* C,
                 vDSP_Length N);
// *C = sum of A[n*IA] squared.
void vDSP_svesqD(const double* A, vDSP_Stride IA, double* C, vDSP_Length N);
// *C = sum of A[n*IA].
void vDSP_sveD(const double* A, vDSP_Stride IA, double* C, vDSP_Length N);
