zq_add_bench(NAME kernel_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/kernel_bench.cc LIBS zqkernel)
