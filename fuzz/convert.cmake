# Block-to-tag and tag-to-block conversion with arbitrary entries, flags and bytes.
zq_add_fuzzer(NAME fuzz_convert_from
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_convert_from.cc
  LIBS zqconvert)
zq_add_fuzzer(NAME fuzz_convert_to
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_convert_to.cc
  LIBS zqconvert)
