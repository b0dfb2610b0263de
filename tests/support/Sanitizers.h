// Whether the test is built with the address sanitizer: HX_TEST_ASAN is
// defined then (the compilers name it differently).
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define HX_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HX_TEST_ASAN 1
#endif
#endif
