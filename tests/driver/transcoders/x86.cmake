# Tests of the hand-written x86-64 converters and the converter table.
set(hx_x86_dir ${CMAKE_CURRENT_LIST_DIR})

# Calls members with canaries in the callee-saved registers (assembler).
add_library(hx_x86_call_harness STATIC ${hx_x86_dir}/X86CallHarness.S)
target_include_directories(hx_x86_call_harness PUBLIC ${PROJECT_SOURCE_DIR})

hx_test(hx_transcoders_x86_decoder_test LABEL transcoders
  SOURCES ${hx_x86_dir}/X86DecoderTest.cpp
  DEPS hx_transcoders_x86 hx_transcoders hx_x86_call_harness hx_platform_testing)

hx_test(hx_transcoders_x86_encoder_test LABEL transcoders
  SOURCES ${hx_x86_dir}/X86EncoderTest.cpp
  DEPS hx_transcoders_x86 hx_transcoders hx_x86_call_harness hx_platform_testing)

hx_test(hx_transcoders_x86_table_test LABEL transcoders
  SOURCES ${hx_x86_dir}/X86ConverterTableTest.cpp
  DEPS hx_transcoders_x86 hx_transcoders hx_x86_call_harness)

# The full 2^24 sweep inside runs only with HX_TRANSCODERS_FULL_SWEEP=1.
hx_test(hx_transcoders_x86_sweep_test LABEL transcoders TIMEOUT 1800
  SOURCES ${hx_x86_dir}/X86SweepTest.cpp
  DEPS hx_transcoders_x86 hx_transcoders hx_x86_call_harness)

# The disassembly gate over the library, and its own test on fixtures it
# must reject for the right reason.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
if(CMAKE_OBJDUMP)
  set(hx_x86_objdump ${CMAKE_OBJDUMP})
else()
  set(hx_x86_objdump objdump)
endif()
set(hx_x86_gate ${Python3_EXECUTABLE} ${hx_x86_dir}/x86_gate.py --objdump ${hx_x86_objdump})

hx_command_test(hx_transcoders_x86_gate LABEL transcoders
  COMMAND ${hx_x86_gate} --expect-symbols ASM=31,SSE=33
          $<TARGET_FILE:hx_transcoders_x86>)

foreach(fixture xmm noemms misc)
  add_library(hx_x86_gate_fixture_${fixture} OBJECT ${hx_x86_dir}/x86_gate_fixture_${fixture}.S)
endforeach()
hx_command_test(hx_transcoders_x86_gate_rejects_xmm LABEL transcoders
  COMMAND ${hx_x86_gate} --expect-reject gateFixtureXmm_SSE=xmm
          $<TARGET_OBJECTS:hx_x86_gate_fixture_xmm>)
hx_command_test(hx_transcoders_x86_gate_rejects_missing_emms LABEL transcoders
  COMMAND ${hx_x86_gate} --expect-reject gateFixtureNoEmms_SSE=emms
          $<TARGET_OBJECTS:hx_x86_gate_fixture_noemms>)
hx_command_test(hx_transcoders_x86_gate_rejects_other_faults LABEL transcoders
  COMMAND ${hx_x86_gate}
          --expect-reject gateFixturePaddq_SSE=mmx-op
          --expect-reject gateFixturePshufb_SSE=mmx-op
          --expect-reject gateFixtureMovnti_SSE=gp-simd
          --expect-reject gateFixtureMmx_ASM=mmx-reg
          --expect-reject gateFixtureX87_ASM=x87
          $<TARGET_OBJECTS:hx_x86_gate_fixture_misc>)
