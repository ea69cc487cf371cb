# Loading 100 000 conversion entries: time and memory per entry, no quadratic step.
zq_add_bench(NAME load_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/load_bench.cc
  LIBS zqloader)
