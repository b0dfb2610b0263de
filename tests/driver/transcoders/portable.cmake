# Tests of the portable transcoders against the wire-format model and the
# documented layouts.
hx_test(hx_transcoders_dma_test LABEL transcoders
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/DmaConvertTest.cpp
  DEPS hx_transcoders hx_platform_testing)
