# Unicode data and sorting, text encodings, string utilities, formatter and
# debug output of the core library.
hx_test(hx_core_text_unicode_test LABEL core
  SOURCES TextUnicodeTest.cpp TextSortTest.cpp
  DEPS hx_core)
hx_test(hx_core_text_encoding_test LABEL core
  SOURCES TextEncodingTest.cpp TextStringTest.cpp
  DEPS hx_core hx_platform_testing)
hx_test(hx_core_text_format_test LABEL core
  SOURCES TextFormatTest.cpp
  DEPS hx_core)
hx_test(hx_core_text_debug_test LABEL core
  SOURCES TextDebugTest.cpp
  DEPS hx_core hx_platform_testing)
