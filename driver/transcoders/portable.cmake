# Portable kernel sample-format transcoders: bit-sliced DMA converters, PCM
# packing, input post-processors and output mixers.
hx_library(hx_transcoders
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/DMADecode_C.cpp
    ${CMAKE_CURRENT_LIST_DIR}/DMAEncode_C.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PCMConvert.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PostProcess.cpp
    ${CMAKE_CURRENT_LIST_DIR}/OutMixer.cpp
  DEPS hx_platform_base)
# The bit-sliced loops gain from full unrolling and vectorisation on the
# real-time path.
set_source_files_properties(
  ${CMAKE_CURRENT_LIST_DIR}/DMADecode_C.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DMAEncode_C.cpp
  PROPERTIES COMPILE_OPTIONS "-O3")
