# Configuration loading over arbitrary quantrel.ct bytes.
zq_add_fuzzer(NAME fuzz_load_configuration
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_load_configuration.cc
  LIBS zqloader)
