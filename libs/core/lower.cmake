# Status codes, clock, atomics, memory primitives, synchronisation,
# reference-counted objects and exit/post-init callbacks.
list(APPEND HX_CORE_SOURCES
  QnAtomic.cpp
  QnCallbacks.cpp
  QnClock.cpp
  QnMemory.cpp
  QnObject.cpp
  QnSync.cpp)
