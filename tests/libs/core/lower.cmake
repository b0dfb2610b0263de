# Tests of the status codes, clock, atomics, memory primitives,
# synchronisation, objects and callbacks.
hx_test(hx_test_core_lower_clock LABEL core
  SOURCES LowerClockTest.cpp
  DEPS hx_core)

hx_test(hx_test_core_lower_atomic LABEL core TSAN
  SOURCES LowerAtomicTest.cpp
  DEPS hx_core)

hx_test(hx_test_core_lower_memory LABEL core
  SOURCES LowerMemoryTest.cpp
  DEPS hx_core)

hx_test(hx_test_core_lower_sync LABEL core TSAN
  SOURCES LowerSyncTest.cpp
  DEPS hx_core)

hx_test(hx_test_core_lower_object LABEL core TSAN
  SOURCES LowerObjectTest.cpp
  DEPS hx_core)

hx_test(hx_test_core_lower_callbacks LABEL core TSAN
  SOURCES LowerCallbacksTest.cpp
  DEPS hx_core)
