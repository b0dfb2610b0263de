# Helpers shared by every folder's CMakeLists.txt.

# Adds each listed subdirectory that has a CMakeLists.txt, so folders can
# land one at a time.
function(hx_add_subdirectories)
  foreach(dir IN LISTS ARGN)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()

# Includes every *.cmake fragment beside the calling CMakeLists.txt, in name
# order, in the caller's scope (a macro, so fragments can append to the
# caller's source lists). Lets several parts of one folder be built at once.
macro(hx_include_fragments)
  file(GLOB _hx_fragments CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cmake)
  list(SORT _hx_fragments)
  foreach(_hx_fragment IN LISTS _hx_fragments)
    include(${_hx_fragment})
  endforeach()
endmacro()

# Adds every subdirectory that has a CMakeLists.txt (bench/ and fuzz/ take
# one program folder each).
function(hx_add_all_subdirectories)
  file(GLOB dirs LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(d IN LISTS dirs)
    if(IS_DIRECTORY ${d} AND EXISTS ${d}/CMakeLists.txt)
      add_subdirectory(${d})
    endif()
  endforeach()
endfunction()

# hx_library(NAME SOURCES ... [DEPS ...])
# Every library sees the repository root as its include root, so headers are
# included by their path in the tree ("libs/core/QnStatus.h"). Libraries are
# static unless the folder sets HX_LIBRARY_TYPE (platform/ makes its
# libraries shared: one platform per process, also for a loaded plug-in).
function(hx_library name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS" ${ARGN})
  if(NOT HX_LIBRARY_TYPE)
    set(HX_LIBRARY_TYPE STATIC)
  endif()
  add_library(${name} ${HX_LIBRARY_TYPE} ${A_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${A_DEPS})
endfunction()

# The set of test executables the thread-sanitizer run needs; the tsan preset
# builds only this target.
if(NOT TARGET hx_tests_tsan)
  add_custom_target(hx_tests_tsan)
endif()

# hx_test(NAME LABEL <folder label> SOURCES ... [DEPS ...] [TSAN])
# One GoogleTest executable, run as one CTest test carrying the folder's label,
# plus "tsan" for tests of concurrent code. Keep executables small and focused
# so CTest can run them in parallel.
function(hx_test name)
  cmake_parse_arguments(A "TSAN" "LABEL;TIMEOUT" "SOURCES;DEPS" ${ARGN})
  if(NOT A_LABEL)
    message(FATAL_ERROR "hx_test(${name}) needs a LABEL")
  endif()
  set(labels ${A_LABEL})
  if(A_TSAN)
    list(APPEND labels tsan)
  endif()
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_DEPS} GTest::gtest GTest::gtest_main pthread)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  if(A_TSAN)
    add_dependencies(hx_tests_tsan ${name})
  endif()
  # One CTest test per executable: list properties such as LABELS do not
  # survive per-case discovery on this CMake.
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  set_tests_properties(${name} PROPERTIES LABELS "${labels}" TIMEOUT ${A_TIMEOUT})
endfunction()

# A plain (non-GoogleTest) test command with labels.
function(hx_command_test name)
  cmake_parse_arguments(A "TSAN" "LABEL" "COMMAND" ${ARGN})
  add_test(NAME ${name} COMMAND ${A_COMMAND})
  set(labels ${A_LABEL})
  if(A_TSAN)
    list(APPEND labels tsan)
  endif()
  set_tests_properties(${name} PROPERTIES LABELS "${labels}")
endfunction()

# hx_fuzz_replay(NAME LABEL <label> SOURCES <target sources> CORPUS <dirs...> [DEPS ...])
# Replays a fuzz target's corpus and crash reproducers as an ordinary test,
# with the compiler of the build (no libFuzzer needed).
function(hx_fuzz_replay name)
  cmake_parse_arguments(A "" "LABEL" "SOURCES;CORPUS;DEPS" ${ARGN})
  add_executable(${name} ${A_SOURCES} ${PROJECT_SOURCE_DIR}/fuzz/common/ReplayMain.cpp)
  target_link_libraries(${name} PRIVATE ${A_DEPS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  add_test(NAME ${name} COMMAND ${name} ${A_CORPUS})
  set_tests_properties(${name} PROPERTIES LABELS "${A_LABEL}")
endfunction()
