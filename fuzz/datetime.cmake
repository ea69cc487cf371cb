zq_add_fuzzer(NAME fuzz_datetime
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_datetime.cc
  LIBS zqdatetime)
