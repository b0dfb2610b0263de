# Unicode data, sorting, text encodings, string utilities, formatter and
# debug output.
list(APPEND HX_CORE_SOURCES
  QnSort.cpp
  QnUnicode.cpp
  QnTextEncoding.cpp
  QnStringUtils.cpp
  QnFormat.cpp
  QnDebug.cpp
)
