# Tests of the portable transcoders against the wire-format model and the
# documented layouts.
hx_test(hx_transcoders_dma_test LABEL transcoders
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/DmaConvertTest.cpp
  DEPS hx_transcoders hx_platform_testing)
hx_test(hx_transcoders_pcm_test LABEL transcoders
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/PcmConvertTest.cpp
  DEPS hx_transcoders hx_platform_testing)
hx_test(hx_transcoders_postprocess_test LABEL transcoders
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/PostProcessTest.cpp
  DEPS hx_transcoders)
hx_test(hx_transcoders_outmixer_test LABEL transcoders
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/OutMixerTest.cpp
  DEPS hx_transcoders)
