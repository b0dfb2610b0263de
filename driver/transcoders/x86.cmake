# Hand-written x86-64 forms of the bit-sliced DMA converters (_ASM: general-
# purpose registers; _SSE: MMX with PINSRW/PSHUFW/PMOVMSKB) and the converter
# table that chooses among them and the portable forms at load.
hx_library(hx_transcoders_x86
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/x86/DMADecode_ASM.S
    ${CMAKE_CURRENT_LIST_DIR}/x86/DMADecode_SSE.S
    ${CMAKE_CURRENT_LIST_DIR}/x86/DMAEncode_ASM.S
    ${CMAKE_CURRENT_LIST_DIR}/x86/DMAEncode_SSE.S
    ${CMAKE_CURRENT_LIST_DIR}/x86/DMAConverterTable.cpp
  DEPS hx_transcoders)
# The table's _ASM-named routines obey the same register rule as the
# hand-written members, and the disassembly check looks at them too.
# clang refuses the standard headers under that flag (long double), so the
# clang builds (fuzzing only) compile the table normally; the gate runs on the
# g++ builds.
target_compile_options(hx_transcoders_x86 PRIVATE
  $<$<AND:$<COMPILE_LANGUAGE:CXX>,$<CXX_COMPILER_ID:GNU>>:-mgeneral-regs-only>)
