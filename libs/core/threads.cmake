# Threads with message loops, and the library's start-up and shutdown.
list(APPEND HX_CORE_SOURCES
  QnThread.cpp
  QnInit.cpp)
