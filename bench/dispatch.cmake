# A dispatch pass over many registered tags against the bare kernel scan.
zq_add_bench(NAME dispatch_bench
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/dispatch_bench.cc
  LIBS zqruntime)
