# Path text, CT file bytes and object names.
zq_add_fuzzer(NAME fuzz_path SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_path.cc LIBS zqpath)
zq_add_fuzzer(NAME fuzz_ct SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_ct.cc LIBS zqconfig)
zq_add_fuzzer(NAME fuzz_object_name
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_object_name.cc
  LIBS zqconfig)
