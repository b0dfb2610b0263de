// Result codes and basic integer types of the core library.
//
// A qn_status is 0 for success; every failure has the top bit set, so it is
// negative as a signed 32-bit value and callers test for success against 0.
#pragma once

#include <cstddef>
#include <cstdint>

typedef int8_t qn_int8;
typedef uint8_t qn_uint8;
typedef int16_t qn_int16;
typedef uint16_t qn_uint16;
typedef int32_t qn_int32;
typedef uint32_t qn_uint32;
typedef int64_t qn_int64;
typedef uint64_t qn_uint64;
typedef intptr_t qn_intptr;
typedef uintptr_t qn_uintptr;

typedef qn_int32 qn_status;

// Every code the library reports. The values are fixed: callers and logs
// compare against them numerically.
constexpr qn_status QN_SUCCESS = 0;
constexpr qn_status QN_ERR_GENERAL =
    qn_status(0x80000000u); // could not create/signal, unknown wait result
constexpr qn_status QN_ERR_BAD_ARGUMENT =
    qn_status(0x80000001u); // null pointer, zero length, bad time-out
constexpr qn_status QN_ERR_WRONG_STATE =
    qn_status(0x80000003u); // operation not allowed in the object's state
constexpr qn_status QN_ERR_NO_SEMAPHORE =
    qn_status(0x8000000bu); // release of a semaphore that does not exist
constexpr qn_status QN_ERR_TIMEOUT = qn_status(0x8000000cu);    // a wait ran out of time
constexpr qn_status QN_ERR_ABORTED = qn_status(0x8000000du);    // a wait was aborted
constexpr qn_status QN_ERR_TERMINATED = qn_status(0x8000000eu); // the waited-on object went away

constexpr bool qn_succeeded(qn_status s) {
    return s == QN_SUCCESS;
}
constexpr bool qn_failed(qn_status s) {
    return s != QN_SUCCESS;
}
