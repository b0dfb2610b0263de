# Threads, messaging, and the library's start-up and shutdown.
hx_test(hx_core_threads_messaging_test LABEL core TSAN
  SOURCES ThreadsMessagingTest.cpp
  DEPS hx_core)
hx_test(hx_core_threads_lifecycle_test LABEL core TSAN
  SOURCES ThreadsLifecycleTest.cpp
  DEPS hx_core hx_platform_testing)
hx_test(hx_core_init_test LABEL core TSAN
  SOURCES InitTest.cpp
  DEPS hx_core hx_platform_testing)
hx_test(hx_core_init_never_started_test LABEL core
  SOURCES InitNeverStartedTest.cpp
  DEPS hx_core hx_platform_testing)
